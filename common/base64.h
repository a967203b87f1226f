// Base64 as RFC 4648 writes it (the standard alphabet, "=" padding), for SASL exchanges
// (RFC 4422, RFC 4616 PLAIN, RFC 7628 OAUTHBEARER). Decoding is strict: no blanks, no other
// alphabet, the padding where it belongs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace common {

std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace common
