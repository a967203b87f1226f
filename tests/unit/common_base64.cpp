// Base64 as SASL exchanges carry it.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/base64.h"

using namespace common;

TEST(Base64, AsTheRfcWritesItAndNothingElseDecodes) {
    // RFC 4648's test vectors.
    const std::pair<const char *, const char *> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto &[plain, coded] : vectors) {
        EXPECT_EQ(base64Encode(plain), coded);
        EXPECT_EQ(base64Decode(coded), std::optional<std::string>(plain)) << coded;
    }
    const std::string plain("\0alice\0pw", 9);
    EXPECT_EQ(base64Decode(base64Encode(plain)), plain);
    for (const char *bad : {"Zg=", "Zg", "Z===", "Zm9v\r\n", "Zm 9", "Zg==Zg==", "Zm=v", "Zm9*"})
        EXPECT_FALSE(base64Decode(bad)) << bad;
}
