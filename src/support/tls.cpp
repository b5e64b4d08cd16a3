// TLS sessions and the server certificate, over OpenSSL 3. Sockets are
// driven through a small BIO that sends with MSG_NOSIGNAL, so a peer that
// vanished never raises SIGPIPE inside OpenSSL.
#include "support/tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "platform/files.h"
#include "platform/net.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"

namespace support {

class SslSession {
  public:
    SslSession(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}
    SslSession(const SslSession&) = delete;
    SslSession& operator=(const SslSession&) = delete;
    ~SslSession() { SSL_free(ssl_); }
    SSL* ssl() const { return ssl_; }
    int fd() const { return fd_; }

  private:
    SSL* ssl_;
    int fd_;
};

namespace {

// --- small owners --------------------------------------------------------------

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
struct BioFree {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// Every queued OpenSSL error as one text, and the queue emptied.
std::string openssl_errors(std::string_view what) {
    std::string out(what);
    unsigned long e;
    bool first = true;
    while ((e = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        out.append(first ? ": " : "; ").append(buf);
        first = false;
    }
    return out;
}

// --- socket BIO ------------------------------------------------------------------

int fd_of(BIO* b) {
    return int(reinterpret_cast<intptr_t>(BIO_get_data(b)));
}

int bio_write(BIO* b, const char* data, int len) {
    BIO_clear_retry_flags(b);
    long n = platform::send_once(fd_of(b), data, size_t(len));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
    return int(n);
}

int bio_read(BIO* b, char* buf, int len) {
    BIO_clear_retry_flags(b);
    long n = platform::recv_once(fd_of(b), buf, size_t(len));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
    return int(n);
}

long bio_ctrl(BIO* b, int cmd, long, void* ptr) {
    switch (cmd) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_C_GET_FD:
            if (ptr) *static_cast<int*>(ptr) = fd_of(b);
            return fd_of(b);
        default:
            return 0;
    }
}

int bio_create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "smsgw socket");
        if (m) {
            BIO_meth_set_write(m, bio_write);
            BIO_meth_set_read(m, bio_read);
            BIO_meth_set_ctrl(m, bio_ctrl);
            BIO_meth_set_create(m, bio_create);
        }
        return m;
    }();
    return method;
}

// --- shared contexts ---------------------------------------------------------

struct FilesStamp {
    platform::FileStamp cert, key;
    bool operator==(const FilesStamp&) const = default;
};

std::optional<FilesStamp> stamp_files() {
    FilesStamp s{platform::file_stamp(sslCertificatePath()), platform::file_stamp(sslKeyPath())};
    if (!s.cert.exists || !s.key.exists) return std::nullopt;
    return s;
}

std::mutex g_mu;
CtxPtr g_client;
CtxPtr g_server;
FilesStamp g_server_stamp;

void tune(SSL_CTX* ctx) {
    // Peers that drop the connection without a close notification are
    // treated like a socket close (0), as the callers expect of recv.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
}

CtxPtr new_server_ctx(std::string& error) {
    ERR_clear_error();
    CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        error = openssl_errors("SSL_CTX_new failed");
        return nullptr;
    }
    tune(ctx.get());
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), sslCertificatePath().c_str()) != 1) {
        error = openssl_errors("Cannot load " + sslCertificatePath());
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), sslKeyPath().c_str(), SSL_FILETYPE_PEM) != 1) {
        error = openssl_errors("Cannot load " + sslKeyPath());
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1) {
        error = openssl_errors("Certificate and key do not match");
        return nullptr;
    }
    return ctx;
}

// The context to use for one session, with a reference of its own.
SSL_CTX* client_ctx(std::string& error) {
    std::lock_guard lk(g_mu);
    if (!g_client) {
        ERR_clear_error();
        g_client.reset(SSL_CTX_new(TLS_client_method()));
        if (!g_client) {
            error = openssl_errors("SSL_CTX_new failed");
            return nullptr;
        }
        tune(g_client.get());
        SSL_CTX_set_verify(g_client.get(), SSL_VERIFY_NONE, nullptr);
    }
    SSL_CTX_up_ref(g_client.get());
    return g_client.get();
}

// Verifying client contexts, one per CA file ("" = the system's trust
// store): loading a trust store costs far more than a handshake. A CA file
// that changed on disk is loaded again.
struct VerifyCtx {
    CtxPtr ctx;
    time_t mtime = 0;
};
std::map<std::string, VerifyCtx> g_verify;

SSL_CTX* verify_ctx(const std::string& ca_file, std::string& error) {
    time_t mtime = 0;
    if (!ca_file.empty()) {
        std::optional<time_t> t = platform::file_mtime(ca_file);
        if (!t) {
            error = "Cannot load the CA certificates " + ca_file + " (no such file)";
            return nullptr;
        }
        mtime = *t;
    }
    std::lock_guard lk(g_mu);
    VerifyCtx& slot = g_verify[ca_file];
    if (!slot.ctx || slot.mtime != mtime) {
        ERR_clear_error();
        CtxPtr fresh(SSL_CTX_new(TLS_client_method()));
        if (!fresh) {
            error = openssl_errors("Cannot create the TLS client context");
            return nullptr;
        }
        tune(fresh.get());
        int loaded = ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(fresh.get())
                         : SSL_CTX_load_verify_locations(fresh.get(), ca_file.c_str(), nullptr);
        if (loaded != 1) {
            error = openssl_errors("Cannot load the CA certificates " + ca_file);
            return nullptr;
        }
        SSL_CTX_set_verify(fresh.get(), SSL_VERIFY_PEER, nullptr);
        slot.ctx = std::move(fresh);
        slot.mtime = mtime;
    }
    SSL_CTX_up_ref(slot.ctx.get());
    return slot.ctx.get();
}

SSL_CTX* server_ctx(std::string& error) {
    std::optional<FilesStamp> st = stamp_files();
    if (!st) {
        error = "No server certificate (" + sslCertificatePath() + ", " + sslKeyPath() + ")";
        return nullptr;
    }
    std::lock_guard lk(g_mu);
    if (!g_server || !(g_server_stamp == *st)) {
        CtxPtr fresh = new_server_ctx(error);
        if (!fresh) return nullptr;
        g_server = std::move(fresh);
        g_server_stamp = *st;
    }
    SSL_CTX_up_ref(g_server.get());
    return g_server.get();
}

// --- sessions --------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

unsigned remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? unsigned(left.count()) : 0;
}

// Waits for what OpenSSL asked for; false on time-out or a poll error.
bool wait_for(int fd, int ssl_error, Clock::time_point deadline) {
    unsigned left = remaining_ms(deadline);
    if (left == 0) return false;
    int r = ssl_error == SSL_ERROR_WANT_WRITE ? platform::wait_writable(fd, left)
                                              : platform::wait_readable(fd, left);
    return r > 0;
}

SslSessionPtr handshake(int fd, bool server, std::string& error, unsigned timeout_ms,
                        const SslVerify* verify = nullptr) {
    error.clear();
    if (fd < 0) {
        error = "Invalid socket";
        return nullptr;
    }
    CtxPtr ctx_ref;
    if (verify && !server) {
        SSL_CTX* ctx = verify_ctx(verify->ca_file, error);
        if (!ctx) return nullptr;
        ctx_ref.reset(ctx);  // the reference taken there
    } else {
        SSL_CTX* ctx = server ? server_ctx(error) : client_ctx(error);
        if (!ctx) return nullptr;
        ctx_ref.reset(ctx);  // the reference taken above
    }
    ERR_clear_error();
    SSL* ssl = SSL_new(ctx_ref.get());
    if (!ssl) {
        error = openssl_errors("SSL_new failed");
        return nullptr;
    }
    SslSessionPtr session(new SslSession(ssl, fd));
    if (verify && !server && !verify->host.empty()) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (X509_VERIFY_PARAM_set1_host(param, verify->host.c_str(), verify->host.size()) != 1) {
            error = "Invalid host name for the certificate check: " + verify->host;
            return nullptr;
        }
        SSL_set_tlsext_host_name(ssl, verify->host.c_str());
    }
    BIO* bio = socket_method() ? BIO_new(socket_method()) : nullptr;
    if (!bio) {
        error = openssl_errors("Cannot create the socket BIO");
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(intptr_t(fd)));
    SSL_set_bio(ssl, bio, bio);  // the session owns the BIO from here
    if (server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);

    // The handshake runs non-blocking so that a silent peer cannot hold the
    // thread past the time-out; the socket's own mode is restored after.
    bool was_nonblocking = false;
    if (!platform::get_nonblocking(fd, &was_nonblocking)) {
        error = platform::strprintf("Invalid socket (%s)", std::strerror(errno));
        return nullptr;
    }
    bool was_blocking = !was_nonblocking;
    if (was_blocking) platform::set_nonblocking(fd, true);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ok = false;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_do_handshake(ssl);
        if (r == 1) {
            ok = true;
            break;
        }
        int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            if (wait_for(fd, e, deadline)) continue;
            error = server ? "SSL accept timed out" : "SSL connect timed out";
            break;
        }
        if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
            error = errno ? platform::strprintf("SSL handshake failed: %s", std::strerror(errno))
                          : std::string("SSL handshake failed: connection closed by peer");
        } else if (e == SSL_ERROR_ZERO_RETURN) {
            error = "SSL handshake failed: connection closed by peer";
        } else if (verify && SSL_get_verify_result(ssl) != X509_V_OK) {
            error = std::string("Certificate verification failed: ") +
                    X509_verify_cert_error_string(SSL_get_verify_result(ssl));
        } else {
            error = openssl_errors("SSL handshake failed");
        }
        break;
    }
    if (was_blocking) platform::set_nonblocking(fd, false);
    ERR_clear_error();
    if (!ok) return nullptr;
    return session;
}

}  // namespace

void SslSessionDeleter::operator()(SslSession* s) const noexcept {
    delete s;
}

std::string sslCertificatePath() {
    return GetPrivateDataDirectory() + "SSLCERT.PEM";
}
std::string sslKeyPath() {
    return GetPrivateDataDirectory() + "SSLKEY.PEM";
}

int sslInitLib() {
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
        return 0;
    return socket_method() ? 1 : 0;
}

void sslTermLib() {
    std::lock_guard lk(g_mu);
    g_client.reset();
    g_server.reset();
    g_verify.clear();
    g_server_stamp = FilesStamp{};
}

SslSessionPtr sslInitSession(int fd, std::string& error, unsigned timeout_ms) {
    return handshake(fd, false, error, timeout_ms);
}

SslSessionPtr sslInitSession(int fd, std::string& error, const SslVerify& verify,
                             unsigned timeout_ms) {
    return handshake(fd, false, error, timeout_ms, &verify);
}

SslSessionPtr sslAcceptSession(int fd, std::string& error, unsigned timeout_ms) {
    return handshake(fd, true, error, timeout_ms);
}

long sslSend(SslSession* s, const void* data, size_t len) {
    if (!s || (!data && len)) {
        errno = EINVAL;
        return -1;
    }
    if (len == 0) return 0;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSslSendTimeoutMs);
    while (done < len) {
        ERR_clear_error();
        size_t n = 0;
        int r = SSL_write_ex(s->ssl(), p + done, len - done, &n);
        if (r == 1) {
            done += n;
            continue;
        }
        int e = SSL_get_error(s->ssl(), r);
        if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) &&
            wait_for(s->fd(), e, deadline))
            continue;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            errno = ETIMEDOUT;
        else if (errno == 0)
            errno = EPIPE;
        ERR_clear_error();
        return -1;
    }
    return long(done);
}

long sslRecv(SslSession* s, void* buf, size_t size) {
    if (!s || (!buf && size)) {
        errno = EINVAL;
        return -1;
    }
    if (size == 0) return 0;
    ERR_clear_error();
    errno = 0;
    size_t n = 0;
    int r = SSL_read_ex(s->ssl(), buf, size, &n);
    if (r == 1) return long(n);
    int e = SSL_get_error(s->ssl(), r);
    switch (e) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0 && errno == 0) return 0;  // plain EOF
            [[fallthrough]];
        default:
            if (errno == 0) errno = EPROTO;
            ERR_clear_error();
            return -1;
    }
}

int sslDataPending(SslSession* s) {
    return s && SSL_pending(s->ssl()) > 0 ? 1 : 0;
}

void sslFreeSession(SslSessionPtr& s) {
    if (!s) return;
    // One close notification, without waiting for the peer's: the socket
    // is about to be closed by the caller anyway.
    ERR_clear_error();
    if (SSL_is_init_finished(s->ssl())) SSL_shutdown(s->ssl());
    ERR_clear_error();
    s.reset();
}

int sslServerCertExists() {
    if (!stamp_files()) return 0;
    std::string error;
    return new_server_ctx(error) ? 1 : 0;
}

int sslSignedCertExists() {
    if (!sslServerCertExists()) return 0;
    ERR_clear_error();
    BioPtr in(BIO_new_file(sslCertificatePath().c_str(), "r"));
    if (!in) return 0;
    X509Ptr cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        ERR_clear_error();
        return 0;
    }
    // Self-signed: it names itself as issuer and its own key verifies it.
    bool self_signed =
        X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())) == 0 &&
        X509_verify(cert.get(), X509_get0_pubkey(cert.get())) == 1;
    ERR_clear_error();
    return self_signed ? 0 : 1;
}

namespace {

bool dns_name(std::string_view s) {
    if (s.empty() || s.size() > 253) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.'))
            return false;
    return true;
}

bool add_ext(X509* cert, int nid, const std::string& value) {
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
    if (!ext) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

std::string bio_text(BIO* b) {
    char* p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    return n > 0 && p ? std::string(p, size_t(n)) : std::string();
}

std::mutex g_generate_mu;

}  // namespace

int sslGenerateCertificate(std::string_view common_name, CertKeyType type, std::string* error) {
    std::string local_error;
    std::string& err = error ? *error : local_error;
    err.clear();
    std::string cn(common_name);
    if (cn.empty()) {
        char host[256] = {};
        cn = ::gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "localhost";
    }
    if (cn.size() > 64) cn.resize(64);  // the X.509 upper bound of a common name

    ERR_clear_error();
    PkeyPtr key(type == CertKeyType::EcP256
                    ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                    : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048)));
    if (!key) {
        err = openssl_errors("Key generation failed");
        return 0;
    }
    X509Ptr cert(X509_new());
    BnPtr serial(BN_new());
    if (!cert || !serial || !BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) ||
        !X509_set_version(cert.get(), X509_VERSION_3) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 24 * 3600) ||
        !X509_set_pubkey(cert.get(), key.get())) {
        err = openssl_errors("Certificate set-up failed");
        return 0;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (!X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                    0) ||
        !X509_set_issuer_name(cert.get(), name)) {
        err = openssl_errors("Certificate name failed");
        return 0;
    }
    bool ext_ok =
        add_ext(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
        add_ext(cert.get(), NID_key_usage,
                type == CertKeyType::EcP256 ? "critical,digitalSignature"
                                            : "critical,digitalSignature,keyEncipherment") &&
        add_ext(cert.get(), NID_ext_key_usage, "serverAuth") &&
        add_ext(cert.get(), NID_subject_key_identifier, "hash");
    if (ext_ok && dns_name(cn)) ext_ok = add_ext(cert.get(), NID_subject_alt_name, "DNS:" + cn);
    if (!ext_ok || !X509_sign(cert.get(), key.get(), EVP_sha256())) {
        err = openssl_errors("Certificate signing failed");
        return 0;
    }

    BioPtr cert_bio(BIO_new(BIO_s_mem()));
    BioPtr key_bio(BIO_new(BIO_s_secmem()));
    if (!cert_bio || !key_bio || !PEM_write_bio_X509(cert_bio.get(), cert.get()) ||
        !PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                  nullptr)) {
        err = openssl_errors("PEM encoding failed");
        return 0;
    }
    std::string key_pem = bio_text(key_bio.get());
    std::string cert_pem = bio_text(cert_bio.get());

    std::lock_guard lk(g_generate_mu);
    if (!platform::replace_private_file(sslKeyPath(), key_pem)) {
        err =
            platform::strprintf("Cannot write %s (%s)", sslKeyPath().c_str(), std::strerror(errno));
        OPENSSL_cleanse(key_pem.data(), key_pem.size());
        return 0;
    }
    OPENSSL_cleanse(key_pem.data(), key_pem.size());
    if (!platform::replace_file(sslCertificatePath(), cert_pem)) {
        err = platform::strprintf("Cannot write %s (%s)", sslCertificatePath().c_str(),
                                  std::strerror(errno));
        return 0;
    }
    platform::trace("sslGenerateCertificate",
                    platform::strprintf("New self-signed certificate for %s", cn.c_str()));
    return 1;
}

}  // namespace support
