// TLS for the sockets: the contexts (OpenSSL 3, TLS 1.2 or newer), what a client checks of a
// server's certificate, and the reasons an admin reads when a check fails. The socket layer drives
// the handshakes; this file knows the certificates.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_st X509;

namespace common {

// A listener's certificate chain and key, loaded once.
class TlsServerContext {
public:
    // certFile holds the certificate (and its chain), keyFile its key, both PEM.
    static Result<std::shared_ptr<TlsServerContext>> load(const std::string &certFile,
                                                          const std::string &keyFile);
    ~TlsServerContext();
    SSL_CTX *context() const { return ctx_; }

private:
    explicit TlsServerContext(SSL_CTX *ctx) : ctx_(ctx) {}
    SSL_CTX *ctx_;
};

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
