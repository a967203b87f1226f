// The office's authority and the certificates halvex signs from it: what each leaf names, how
// long it lives, how many are kept, and the authority's own files.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "common/tls.h"

using namespace common;

namespace {

constexpr std::int64_t kDay = 86400;

std::int64_t timeOf(const ASN1_TIME *t) {
    struct tm tm {};
    ASN1_TIME_to_tm(t, &tm);
    return std::int64_t(timegm(&tm));
}

// A folder of the test's own, with an authority made in it.
struct Authority {
    std::string dir;
    MadeAuthority made;
    Authority() {
        char name[] = "/tmp/tlsmint-XXXXXX";
        dir = mkdtemp(name);
        Result<MadeAuthority> m = makeTlsAuthority(dir, "halvex test", "tessaruno tests");
        EXPECT_TRUE(m) << m.why();
        if (m) made = *m;
    }
    ~Authority() { std::system(("rm -rf " + dir).c_str()); }
    std::shared_ptr<TlsMint> load(std::size_t cache = TlsMint::kDefaultCache) {
        Result<std::shared_ptr<TlsMint>> m = TlsMint::load(made.cert, made.key, cache);
        EXPECT_TRUE(m) << m.why();
        return m ? *m : nullptr;
    }
};

X509 *leafOf(const std::shared_ptr<TlsServerContext> &c) {
    return c ? c->certificate() : nullptr;
}

std::string sanOf(X509 *cert) {
    std::string out;
    auto *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *g = sk_GENERAL_NAME_value(names, i);
        if (!out.empty()) out += ",";
        if (g->type == GEN_DNS)
            out += "DNS:" + std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(g->d.dNSName)),
                                        std::size_t(ASN1_STRING_length(g->d.dNSName)));
        else if (g->type == GEN_IPADD)
            out += "IP(" + std::to_string(ASN1_STRING_length(g->d.iPAddress)) + " bytes)";
    }
    GENERAL_NAMES_free(names);
    return out;
}

}  // namespace

TEST(TlsMint, TheAuthorityIsMadeOnceAndItsKeyIsTheOwnersOnly) {
    Authority a;
    struct stat st {};
    ASSERT_EQ(stat(a.made.key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto mint = a.load();
    ASSERT_TRUE(mint);
    EXPECT_NE(mint->subject().find("CN=halvex test"), std::string::npos);
    X509 *ca = mint->authority();
    EXPECT_EQ(X509_check_ca(ca), 1);
    const std::int64_t now = std::time(nullptr);
    EXPECT_NEAR(double(timeOf(X509_get0_notAfter(ca)) - now), double(3653 * kDay), 7200.0);
    // Never overwritten: the folder keeps the first.
    std::ifstream before(a.made.cert);
    const std::string text((std::istreambuf_iterator<char>(before)), {});
    const Result<MadeAuthority> again = makeTlsAuthority(a.dir, "other", "other");
    ASSERT_FALSE(again);
    EXPECT_NE(again.why().find("exists already"), std::string::npos);
    std::ifstream after(a.made.cert);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), text);
    // A key every user can read is not taken; nor is a leaf for a CA.
    chmod(a.made.key.c_str(), 0644);
    const Result<std::shared_ptr<TlsMint>> open = TlsMint::load(a.made.cert, a.made.key);
    ASSERT_FALSE(open);
    EXPECT_NE(open.why().find("chmod 600"), std::string::npos);
    chmod(a.made.key.c_str(), 0600);
}

TEST(TlsMint, ALeafNamesTheNameAskedForAndLivesNoLongerThanTheServersCertificate) {
    Authority a;
    const auto mint = a.load();
    ASSERT_TRUE(mint);
    const std::int64_t now = std::time(nullptr);
    struct Case {
        std::int64_t serverEnd;
        std::int64_t expected;
    };
    const std::int64_t caEnd = timeOf(X509_get0_notAfter(mint->authority()));
    for (const Case &c : {Case{now + 30 * kDay, now + 30 * kDay},        // the server's own
                          Case{0, now + TlsMint::kMostLeafSeconds},      // not known: 397 days
                          Case{now + 5000 * kDay, now + TlsMint::kMostLeafSeconds}}) {
        SCOPED_TRACE(c.serverEnd);
        const std::string name = "h" + std::to_string(c.serverEnd) + ".test";
        X509 *leaf = leafOf(mint->leafFor(name, c.serverEnd, now));
        ASSERT_TRUE(leaf);
        EXPECT_EQ(timeOf(X509_get0_notAfter(leaf)), std::min(c.expected, caEnd));
        EXPECT_LE(timeOf(X509_get0_notBefore(leaf)), now);
        EXPECT_EQ(sanOf(leaf), "DNS:" + name);
        EXPECT_EQ(X509_check_ca(leaf), 0);
        // Signed by the authority, and good for the name as a client checks it.
        EXPECT_EQ(X509_verify(leaf, X509_get0_pubkey(mint->authority())), 1);
        EXPECT_EQ(X509_check_host(leaf, name.c_str(), name.size(), 0, nullptr), 1);
        EXPECT_NE(X509_check_host(leaf, "other.test", 10, 0, nullptr), 1);
    }
    X509 *ip = leafOf(mint->leafFor("127.0.0.1", 0, now));
    ASSERT_TRUE(ip);
    EXPECT_EQ(sanOf(ip), "IP(4 bytes)");
    EXPECT_EQ(X509_check_ip_asc(ip, "127.0.0.1", 0), 1);
    EXPECT_TRUE(leafOf(mint->leafFor("::1", 0, now)));
    // Nothing that could stand for a second name, or no name at all.
    for (const char *bad : {"a.test,DNS:b.test", "a test", "", "a.test\n"})
        EXPECT_FALSE(mint->leafFor(bad, 0, now)) << bad;
}

TEST(TlsMint, LeavesAreKeptUpToTheBoundAndMintedAgainWhenTheServersIsShorter) {
    Authority a;
    const auto mint = a.load(3);
    ASSERT_TRUE(mint);
    const std::int64_t now = std::time(nullptr);
    const auto first = mint->leafFor("a.test", now + 30 * kDay, now);
    EXPECT_EQ(mint->leafFor("a.test", now + 30 * kDay, now), first);
    EXPECT_EQ(mint->leafFor("a.test", now + 60 * kDay, now), first);  // within the longer bound
    EXPECT_EQ(mint->minted(), 1u);
    // The server's certificate ends sooner now: a leaf that ends with it.
    const auto second = mint->leafFor("a.test", now + 10 * kDay, now);
    EXPECT_NE(second, first);
    EXPECT_EQ(timeOf(X509_get0_notAfter(leafOf(second))), now + 10 * kDay);
    // A leaf about to end is not given again.
    const auto later = mint->leafFor("a.test", now + 10 * kDay, now + 10 * kDay - 60);
    EXPECT_NE(later, second);
    for (const char *n : {"b.test", "c.test", "d.test"}) mint->leafFor(n, 0, now);
    EXPECT_EQ(mint->kept(), 3u);
    // a.test was the least used: it went, and is minted anew.
    const std::uint64_t before = mint->minted();
    mint->leafFor("d.test", 0, now);
    EXPECT_EQ(mint->minted(), before);
    mint->leafFor("a.test", 0, now);
    EXPECT_EQ(mint->minted(), before + 1);
    EXPECT_EQ(mint->kept(), 3u);
}
