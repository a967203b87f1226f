#include "common/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <deque>
#include <unordered_map>

#include "common/asciitext.h"
#include "common/hostport.h"

namespace common {

namespace {

void harden(SSL_CTX *ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A peer that just closes its connection ends its stream like any other; what it meant to
    // say is for the protocol above to judge (a POP3 answer without its end is incomplete).
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION |
                                 SSL_OP_NO_COMPRESSION);
    // Writes go out of a queue that moves and grows.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // One receive takes in as many records as have come, instead of one call per record header
    // and body.
    SSL_CTX_set_read_ahead(ctx, 1);
}

std::string lastError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "the connection ended during the handshake";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    // "error:0A000086:SSL routines::certificate verify failed" -> the last part.
    std::string_view text(buf);
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos)
        text.remove_prefix(colon + 1);
    return std::string(text);
}

// The names a certificate is for: its DNS and IP subject alternative names, else its common name.
std::string namesOf(X509 *cert) {
    std::string names;
    auto add = [&](const std::string &n) {
        if (!names.empty()) names += ", ";
        names += n;
    };
    if (auto *sans = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name,
                                                                    nullptr, nullptr))) {
        for (int i = 0; i < sk_GENERAL_NAME_num(sans) && i < 4; ++i) {
            const GENERAL_NAME *g = sk_GENERAL_NAME_value(sans, i);
            if (g->type == GEN_DNS) {
                const ASN1_STRING *s = g->d.dNSName;
                add(replytext(std::string_view(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)),
                                               std::size_t(ASN1_STRING_length(s))),
                              100));
            } else if (g->type == GEN_IPADD) {
                const ASN1_STRING *s = g->d.iPAddress;
                char buf[64];
                const unsigned char *p = ASN1_STRING_get0_data(s);
                if (ASN1_STRING_length(s) == 4) {
                    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
                    add(buf);
                } else {
                    add("an IPv6 address");
                }
            }
        }
        GENERAL_NAMES_free(sans);
    }
    if (names.empty()) {
        char cn[256] = {0};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
            names = replytext(cn, 100);
    }
    return names.empty() ? "no name" : names;
}

// The server's own certificate, kept with its SSL from the check on, so that a refusal can say
// what it was for (OpenSSL keeps no peer certificate of a failed handshake).
int leafIndex() {
    static const int index = SSL_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void *, void *leaf, CRYPTO_EX_DATA *, int, long, void *) {
            X509_free(static_cast<X509 *>(leaf));
        });
    return index;
}

int keepLeaf(int ok, X509_STORE_CTX *store) {
    if (X509_STORE_CTX_get_error_depth(store) == 0) {
        SSL *ssl = static_cast<SSL *>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        X509 *leaf = X509_STORE_CTX_get_current_cert(store);
        if (ssl && leaf && !SSL_get_ex_data(ssl, leafIndex())) {
            X509_up_ref(leaf);
            SSL_set_ex_data(ssl, leafIndex(), leaf);
        }
    }
    return ok;
}

// ---- sessions to resume -------------------------------------------------------------------------
// A client keeps the last session each server gave it, by the name it checked, and offers it at
// the next connection to that name: the server then need not sign, nor the client check a chain,
// again (nginx's proxy_ssl_session_reuse). A session comes only from a handshake whose check
// passed; a pinned connection keeps none.

class SessionCache {
public:
    ~SessionCache() {
        for (auto &[name, session] : sessions_) SSL_SESSION_free(session);
    }
    SSL_SESSION *find(const std::string &name) const {
        const auto it = sessions_.find(name);
        return it == sessions_.end() ? nullptr : it->second;
    }
    // Takes the reference.
    void keep(const std::string &name, SSL_SESSION *session) {
        auto it = sessions_.find(name);
        if (it != sessions_.end()) {
            SSL_SESSION_free(it->second);
            it->second = session;
            return;
        }
        if (sessions_.size() >= kMost) {  // many servers: the oldest name goes
            SSL_SESSION_free(sessions_.at(order_.front()));
            sessions_.erase(order_.front());
            order_.pop_front();
        }
        sessions_.emplace(name, session);
        order_.push_back(name);
    }

private:
    static constexpr std::size_t kMost = 1024;
    std::unordered_map<std::string, SSL_SESSION *> sessions_;
    std::deque<std::string> order_;
};

SessionCache &sessions() {
    static SessionCache cache;
    return cache;
}

// The name a client SSL's session is kept under (none: it keeps none).
int nameIndex() {
    static const int index = SSL_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void *, void *name, CRYPTO_EX_DATA *, int, long, void *) {
            delete static_cast<std::string *>(name);
        });
    return index;
}

int newSession(SSL *ssl, SSL_SESSION *session) {
    const auto *name = static_cast<const std::string *>(SSL_get_ex_data(ssl, nameIndex()));
    if (!name || SSL_get_verify_result(ssl) != X509_V_OK) return 0;
    sessions().keep(*name, session);
    return 1;  // the cache holds the reference now
}

}  // namespace

// ---- contexts ----------------------------------------------------------------------------------

Result<std::shared_ptr<TlsServerContext>> TlsServerContext::load(const std::string &certFile,
                                                                  const std::string &keyFile) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) return fail("cannot set up TLS: " + lastError());
    harden(ctx);
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
        SSL_CTX_free(ctx);
        return fail("cannot load the certificate " + certFile + ": " + lastError());
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        return fail("cannot load the key " + keyFile + ": " + lastError());
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        SSL_CTX_free(ctx);
        return fail("the key " + keyFile + " does not belong to the certificate " + certFile);
    }
    return std::shared_ptr<TlsServerContext>(new TlsServerContext(ctx));
}

TlsServerContext::~TlsServerContext() {
    SSL_CTX_free(ctx_);
}

SSL_CTX *tlsClientContext() {
    static SSL_CTX *ctx = [] {
        SSL_CTX *c = SSL_CTX_new(TLS_client_method());
        harden(c);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, keepLeaf);
        SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(c, newSession);
        // The system's store; OpenSSL reads SSL_CERT_FILE and SSL_CERT_DIR for it.
        SSL_CTX_set_default_verify_paths(c);
        return c;
    }();
    return ctx;
}

void prepareTlsClient(SSL *ssl, const TlsCheck &check) {
    const bool address = isIPv4Literal(check.host) || isIPv6Literal(check.host);
    if (!address) SSL_set_tlsext_host_name(ssl, check.host.c_str());
    if (!check.fingerprint.empty()) {
        // The pin stands for the chain: a self-signed server is fine when it is this one.
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        return;
    }
    if (address)
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), check.host.c_str());
    else
        SSL_set1_host(ssl, check.host.c_str());
    SSL_set_ex_data(ssl, nameIndex(), new std::string(check.host));
    if (SSL_SESSION *last = sessions().find(check.host)) SSL_set_session(ssl, last);
}

std::string checkTlsPin(SSL *ssl, const TlsCheck &check) {
    if (check.fingerprint.empty()) return {};
    X509 *cert = SSL_get0_peer_certificate(ssl);
    if (!cert) return "the server " + check.host + " sent no certificate";
    const std::string got = certificateFingerprint(cert);
    if (got == normaliseFingerprint(check.fingerprint)) return {};
    return "certificate of " + check.host + " has the fingerprint " + got + ", not the one pinned";
}

std::string tlsFailureText(SSL *ssl, const TlsCheck &check) {
    const std::string &host = check.host;
    const long v = ssl ? SSL_get_verify_result(ssl) : X509_V_OK;
    X509 *cert = ssl ? static_cast<X509 *>(SSL_get_ex_data(ssl, leafIndex())) : nullptr;
    if (!cert && ssl) cert = SSL_get0_peer_certificate(ssl);
    if (v != X509_V_OK) ERR_clear_error();
    switch (v) {
        case X509_V_OK:
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "certificate for " + host + " has expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "certificate for " + host + " is not valid yet";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "certificate is for " + (cert ? namesOf(cert) : std::string("another name")) +
                   ", not " + host;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "certificate for " + host + " is self-signed, not issued by a trusted authority";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return "certificate for " + host + " is not issued by a trusted authority";
        case X509_V_ERR_CERT_REVOKED:
            return "certificate for " + host + " has been revoked";
        default:
            return "certificate for " + host + " is not valid: " + X509_verify_cert_error_string(v);
    }
    return "TLS with " + host + " failed: " + lastError();
}

std::string tlsDescription(SSL *ssl) {
    if (!ssl) return {};
    return std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl) +
           (SSL_session_reused(ssl) ? " resumed" : "");
}

std::string certificateFingerprint(X509 *cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(cert, EVP_sha256(), md, &n) != 1) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out.push_back(hex[md[i] >> 4]);
        out.push_back(hex[md[i] & 15]);
    }
    return out;
}

std::string normaliseFingerprint(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == ':' || isBlank(c)) continue;
        if (!isHexDigit(c)) return {};
        out.push_back(asciiLower(c));
    }
    return out.size() == 64 ? out : std::string();
}

}  // namespace common
