#include "common/tls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

TlsServerContext::TlsServerContext(SSL_CTX *shared, X509 *leaf, EVP_PKEY *key, X509 *chain)
    : ctx_(shared), leaf_(leaf), key_(key), chain_(chain) {
    SSL_CTX_up_ref(ctx_);
    X509_up_ref(leaf_);
    EVP_PKEY_up_ref(key_);
    X509_up_ref(chain_);
}

TlsServerContext::~TlsServerContext() {
    SSL_CTX_free(ctx_);
    X509_free(leaf_);
    EVP_PKEY_free(key_);
    X509_free(chain_);
}

bool TlsServerContext::prepare(SSL *ssl) const {
    if (!leaf_) return true;
    const bool ok = SSL_use_certificate(ssl, leaf_) == 1 && SSL_use_PrivateKey(ssl, key_) == 1 &&
                    SSL_add1_chain_cert(ssl, chain_) == 1;
    if (!ok) ERR_clear_error();
    return ok;
}

X509 *TlsServerContext::certificate() const {
    return leaf_ ? leaf_ : SSL_CTX_get0_certificate(ctx_);
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
    if (ssl && SSL_is_server(ssl)) {
        // What the client said of the certificate it was shown, when it said so by an alert.
        const int reason = ERR_GET_REASON(ERR_peek_error());
        switch (reason) {
            case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
            case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
            case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
            case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
            case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
            case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
                return std::string(kCertificateRefused) + " (" + lastError() + ")";
            default:
                return "TLS with the client failed: " + lastError();
        }
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

// ---- the office's authority ----------------------------------------------------------------

namespace {

std::int64_t timeOf(const ASN1_TIME *t) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    return std::int64_t(timegm(&tm));
}

bool addExtension(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool randomSerial(X509 *cert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7f;  // positive
    bytes[0] |= 0x01;  // and never shorter
    BIGNUM *bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    return ok;
}

// The subject alternative name of a leaf: the one name, as a DNS name or as an address. A name
// is taken only as host names are written (letters, digits, '-', '.', '_'), so nothing in it can
// stand for a second name.
bool addSubjectName(X509 *cert, const std::string &name) {
    GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
    GENERAL_NAME *g = GENERAL_NAME_new();
    if (!names || !g) {
        sk_GENERAL_NAME_free(names);
        GENERAL_NAME_free(g);
        return false;
    }
    if (ASN1_OCTET_STRING *ip = a2i_IPADDRESS(name.c_str())) {
        GENERAL_NAME_set0_value(g, GEN_IPADD, ip);
    } else {
        ASN1_IA5STRING *dns = ASN1_IA5STRING_new();
        ASN1_STRING_set(dns, name.data(), int(name.size()));
        GENERAL_NAME_set0_value(g, GEN_DNS, dns);
    }
    sk_GENERAL_NAME_push(names, g);
    const bool ok = X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1;
    GENERAL_NAMES_free(names);
    return ok;
}

bool nameFitsCertificate(const std::string &name) {
    if (name.empty() || name.size() > 253) return false;
    if (isIPv4Literal(name) || isIPv6Literal(name)) return true;
    for (char c : name)
        if (!(isAsciiLetter(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_')) return false;
    return true;
}

int selectHttp11(SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in,
                 unsigned int inlen, void *) {
    static const unsigned char offered[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char *chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outlen, offered, sizeof offered, in, inlen) ==
        OPENSSL_NPN_NEGOTIATED) {
        *out = chosen;
        return SSL_TLSEXT_ERR_OK;
    }
    // A client that offers no HTTP/1.1 gets no protocol named, and speaks what it speaks.
    return SSL_TLSEXT_ERR_NOACK;
}

std::string fileError(const std::string &path) {
    return path + ": " + std::strerror(errno);
}

// Writes a new file that must not exist, with the mode given; false and why otherwise.
bool writeNew(const std::string &path, mode_t mode, const std::string &text, std::string &why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        why = fileError(path);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = fileError(path);
            ::close(fd);
            ::unlink(path.c_str());
            return false;
        }
        done += std::size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        why = fileError(path);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

std::string pemOf(X509 *cert) {
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, cert);
    char *data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    std::string out(data, std::size_t(n));
    BIO_free(b);
    return out;
}

std::string pemOf(EVP_PKEY *key) {
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    std::string out(data, std::size_t(n));
    OPENSSL_cleanse(data, std::size_t(n));
    BIO_free(b);
    return out;
}

}  // namespace

std::int64_t peerCertificateEnd(SSL *ssl) {
    X509 *cert = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
    return cert ? timeOf(X509_get0_notAfter(cert)) : 0;
}

std::string requestedServerName(SSL *ssl) {
    const char *name = ssl ? SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? std::string(name) : std::string();
}

Result<std::shared_ptr<TlsMint>> TlsMint::load(const std::string &certFile,
                                               const std::string &keyFile, std::size_t cacheSize) {
    std::shared_ptr<TlsMint> m(new TlsMint);
    m->most_ = cacheSize > 0 ? cacheSize : 1;
    FILE *f = std::fopen(certFile.c_str(), "r");
    if (!f) return fail("cannot read the authority's certificate " + fileError(certFile));
    m->ca_ = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!m->ca_) return fail("the authority's certificate " + certFile + " is no PEM certificate");
    if (X509_check_ca(m->ca_) < 1)
        return fail("the certificate " + certFile + " is no certificate authority's");
    struct stat st {};
    if (::stat(keyFile.c_str(), &st) != 0)
        return fail("cannot read the authority's key " + fileError(keyFile));
    if (st.st_mode & S_IROTH)
        return fail("the authority's key " + keyFile +
                    " is readable by every user of this machine: make it readable by its owner "
                    "only (chmod 600)");
    f = std::fopen(keyFile.c_str(), "r");
    if (!f) return fail("cannot read the authority's key " + fileError(keyFile));
    m->caKey_ = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ERR_clear_error();
    if (!m->caKey_) return fail("the authority's key " + keyFile + " is no PEM key (or has a passphrase)");
    if (X509_check_private_key(m->ca_, m->caKey_) != 1) {
        ERR_clear_error();
        return fail("the key " + keyFile + " does not belong to the certificate " + certFile);
    }
    m->caEnd_ = timeOf(X509_get0_notAfter(m->ca_));
    if (m->caEnd_ <= std::int64_t(std::time(nullptr)))
        return fail("the authority's certificate " + certFile + " has expired");
    m->leafKey_ = EVP_EC_gen("P-256");
    if (!m->leafKey_) return fail("cannot make a key for the certificates: " + lastError());
    // One context for every leaf: a context of each would cost some 17 KiB and most of a
    // millisecond to make.
    m->shared_ = SSL_CTX_new(TLS_server_method());
    if (!m->shared_) return fail("cannot set up TLS: " + lastError());
    harden(m->shared_);
    SSL_CTX_set_alpn_select_cb(m->shared_, selectHttp11, nullptr);
    return m;
}

TlsMint::~TlsMint() {
    leaves_.clear();
    SSL_CTX_free(shared_);
    X509_free(ca_);
    EVP_PKEY_free(caKey_);
    EVP_PKEY_free(leafKey_);
}

std::string TlsMint::subject() const {
    char buf[512];
    X509_NAME_oneline(X509_get_subject_name(ca_), buf, sizeof buf);
    return buf;
}

std::shared_ptr<TlsServerContext> TlsMint::leafFor(const std::string &name, std::int64_t serverEnd,
                                                   std::int64_t now) {
    if (!nameFitsCertificate(name)) return nullptr;
    std::int64_t end = now + kMostLeafSeconds;
    if (serverEnd > 0) end = std::min(end, serverEnd);
    end = std::min(end, caEnd_);
    if (const auto it = leaves_.find(name); it != leaves_.end()) {
        Leaf &l = it->second;
        if (l.end <= end && l.end > now + 3600) {
            uses_.splice(uses_.begin(), uses_, l.use);
            return l.context;
        }
        uses_.erase(l.use);
        leaves_.erase(it);
    }
    std::shared_ptr<TlsServerContext> context = mint(name, end, now);
    if (!context) return nullptr;
    while (leaves_.size() >= most_) {
        leaves_.erase(uses_.back());
        uses_.pop_back();
    }
    uses_.push_front(name);
    leaves_.emplace(name, Leaf{context, end, uses_.begin()});
    return context;
}

std::shared_ptr<TlsServerContext> TlsMint::mint(const std::string &name, std::int64_t end,
                                                std::int64_t now) {
    X509 *leaf = X509_new();
    bool ok = leaf && X509_set_version(leaf, 2) == 1 && randomSerial(leaf);
    // A little before now: a client whose clock runs behind takes it too.
    ok = ok && X509_time_adj_ex(X509_getm_notBefore(leaf), 0, -3600, &now) &&
         X509_time_adj_ex(X509_getm_notAfter(leaf), 0, long(end - now), &now);
    X509_NAME *subject = X509_get_subject_name(leaf);
    if (ok && name.size() <= 64)
        ok = X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char *>(name.c_str()), -1,
                                        -1, 0) == 1;
    ok = ok && X509_set_issuer_name(leaf, X509_get_subject_name(ca_)) == 1 &&
         X509_set_pubkey(leaf, leafKey_) == 1 && addSubjectName(leaf, name) &&
         addExtension(leaf, ca_, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(leaf, ca_, NID_key_usage, "critical,digitalSignature") &&
         addExtension(leaf, ca_, NID_ext_key_usage, "serverAuth") &&
         addExtension(leaf, ca_, NID_subject_key_identifier, "hash") &&
         addExtension(leaf, ca_, NID_authority_key_identifier, "keyid:always") &&
         X509_sign(leaf, caKey_, EVP_sha256()) > 0;
    ERR_clear_error();
    if (!ok) {
        X509_free(leaf);
        return nullptr;
    }
    ++minted_;
    std::shared_ptr<TlsServerContext> context(new TlsServerContext(shared_, leaf, leafKey_, ca_));
    X509_free(leaf);
    return context;
}

Result<MadeAuthority> makeTlsAuthority(const std::string &dir, const std::string &commonName,
                                       const std::string &organisation) {
    MadeAuthority made{dir + "/halvex-ca.pem", dir + "/halvex-ca.key"};
    struct stat st {};
    for (const std::string &path : {made.cert, made.key})
        if (::lstat(path.c_str(), &st) == 0)
            return fail(path + " exists already: an authority is never overwritten (its "
                               "clients trust it); move it away first to make another");
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(dir + " is no folder");
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *ca = X509_new();
    const std::int64_t now = std::int64_t(std::time(nullptr));
    bool ok = key && ca && X509_set_version(ca, 2) == 1 && randomSerial(ca) &&
              X509_gmtime_adj(X509_getm_notBefore(ca), -3600) &&
              X509_gmtime_adj(X509_getm_notAfter(ca), 3653L * 86400);
    (void)now;
    X509_NAME *subject = X509_get_subject_name(ca);
    ok = ok &&
         X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char *>(organisation.c_str()),
                                    -1, -1, 0) == 1 &&
         X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char *>(commonName.c_str()), -1,
                                    -1, 0) == 1 &&
         X509_set_issuer_name(ca, subject) == 1 && X509_set_pubkey(ca, key) == 1 &&
         addExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
         addExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         addExtension(ca, ca, NID_subject_key_identifier, "hash") &&
         X509_sign(ca, key, EVP_sha256()) > 0;
    std::string why;
    if (!ok) {
        why = "cannot make the authority: " + lastError();
    } else {
        std::string keyText = pemOf(key);
        ok = writeNew(made.key, 0600, keyText, why);
        OPENSSL_cleanse(keyText.data(), keyText.size());
        if (ok && !writeNew(made.cert, 0644, pemOf(ca), why)) {
            ::unlink(made.key.c_str());
            ok = false;
        }
    }
    X509_free(ca);
    EVP_PKEY_free(key);
    if (!ok) return fail(why);
    return made;
}

}  // namespace common
