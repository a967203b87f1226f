// TLS for the sockets: the contexts (OpenSSL 3, TLS 1.2 or newer), what a client checks of a
// server's certificate, and the reasons an admin reads when a check fails. The socket layer drives
// the handshakes; this file knows the certificates.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/result.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace common {

// A listener's certificate chain and key, loaded once.
class TlsServerContext {
public:
    // certFile holds the certificate (and its chain), keyFile its key, both PEM.
    static Result<std::shared_ptr<TlsServerContext>> load(const std::string &certFile,
                                                          const std::string &keyFile);
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext &) = delete;
    TlsServerContext &operator=(const TlsServerContext &) = delete;
    SSL_CTX *context() const { return ctx_; }
    // What a new SSL of the context shows: the identity's own certificate, when the context is
    // shared by many (TlsMint's leaves); false when it cannot be set.
    bool prepare(SSL *ssl) const;
    // The certificate shown.
    X509 *certificate() const;

private:
    friend class TlsMint;
    explicit TlsServerContext(SSL_CTX *ctx) : ctx_(ctx) {}
    // Takes a reference to each.
    TlsServerContext(SSL_CTX *shared, X509 *leaf, EVP_PKEY *key, X509 *chain);
    SSL_CTX *ctx_;
    X509 *leaf_ = nullptr;
    EVP_PKEY *key_ = nullptr;
    X509 *chain_ = nullptr;
};

// A certificate authority of the office's own, from which halvex signs a certificate (a leaf) for
// each name its clients ask to reach, so that it can read their HTTPS. Every leaf has the one key
// made when the authority is loaded; the authority's key signs and never leaves this object. A
// leaf names only the name asked for, ends no later than the real server's certificate, 397 days
// from now, or the authority itself, and is kept for the next client, up to a bound.
class TlsMint {
public:
    static constexpr std::int64_t kMostLeafSeconds = 397LL * 86400;
    static constexpr std::size_t kDefaultCache = 4096;

    static Result<std::shared_ptr<TlsMint>> load(const std::string &certFile,
                                                 const std::string &keyFile,
                                                 std::size_t cacheSize = kDefaultCache);
    ~TlsMint();
    TlsMint(const TlsMint &) = delete;
    TlsMint &operator=(const TlsMint &) = delete;

    // What a client that asked for `name` (a host name or an address) is shown: a leaf for it
    // whose end is no later than `serverEnd` (seconds since the epoch; 0: not known), signed now.
    // A kept leaf is given again while it ends within those bounds and not within the hour.
    // Only HTTP/1.1 is offered by ALPN. Null when the name cannot be put in a certificate.
    std::shared_ptr<TlsServerContext> leafFor(const std::string &name, std::int64_t serverEnd,
                                              std::int64_t now);
    std::size_t kept() const { return leaves_.size(); }
    std::uint64_t minted() const { return minted_; }
    // The authority's subject, as a line ("CN=...").
    std::string subject() const;
    X509 *authority() const { return ca_; }

private:
    TlsMint() = default;
    struct Leaf {
        std::shared_ptr<TlsServerContext> context;
        std::int64_t end = 0;
        std::list<std::string>::iterator use;
    };
    std::shared_ptr<TlsServerContext> mint(const std::string &name, std::int64_t end,
                                           std::int64_t now);
    SSL_CTX *shared_ = nullptr;  // the one context of every leaf; each sets its certificate
    X509 *ca_ = nullptr;
    EVP_PKEY *caKey_ = nullptr;
    EVP_PKEY *leafKey_ = nullptr;
    std::int64_t caEnd_ = 0;
    std::size_t most_ = kDefaultCache;
    std::unordered_map<std::string, Leaf> leaves_;
    std::list<std::string> uses_;  // the names, the most recently used first
    std::uint64_t minted_ = 0;
};

// A new authority for TlsMint in `dir`: halvex-ca.pem and halvex-ca.key (readable by its owner
// only), an EC P-256 key, valid for ten years, its subject naming `commonName` and
// `organisation`. An authority that is there already is never overwritten.
struct MadeAuthority {
    std::string cert;
    std::string key;
};
Result<MadeAuthority> makeTlsAuthority(const std::string &dir, const std::string &commonName,
                                       const std::string &organisation);

// The end of a connected peer's certificate (seconds since the epoch), 0 when there is none.
std::int64_t peerCertificateEnd(SSL *ssl);
// The name a client asked for in its hello (server name indication), "" when none.
std::string requestedServerName(SSL *ssl);

// How a failed handshake with a client begins when the client refused the certificate it was
// shown (it does not trust its issuer, or it pins another).
inline constexpr std::string_view kCertificateRefused = "the client refused the certificate";

// What a client asks of the server it reaches.
struct TlsCheck {
    std::string host;         // the name (or address) it was asked to reach
    std::string fingerprint;  // a SHA-256 pin (hex, colons allowed): replaces the chain check
};

// The client side's context: the system's trust store, SSL_CERT_FILE and SSL_CERT_DIR honoured.
SSL_CTX *tlsClientContext();

// Prepares a client SSL for the check: server name indication and the name or address the
// certificate must be for (unless pinned), and the last session of a checked handshake with that
// name to resume.
void prepareTlsClient(SSL *ssl, const TlsCheck &check);

// After a client handshake that OpenSSL accepted: the pin, when there is one. "" or why not.
std::string checkTlsPin(SSL *ssl, const TlsCheck &check);

// Why a handshake failed, in words for the admin ("certificate for mail.example.org has
// expired", "certificate is for other.example, not mail.example.org").
std::string tlsFailureText(SSL *ssl, const TlsCheck &check);

// "TLSv1.3 TLS_AES_256_GCM_SHA384", with " resumed" for a session resumed.
std::string tlsDescription(SSL *ssl);

// The SHA-256 fingerprint of a certificate as lower-case hex; a pin as typed, normalised the same
// way (colons and case dropped), or "" when it is no SHA-256 fingerprint.
std::string certificateFingerprint(X509 *cert);
std::string normaliseFingerprint(std::string_view text);

}  // namespace common
