// TLS sessions over connected sockets (OpenSSL 3): client sessions for
// outbound links, server sessions for the HTTPS and SMPP-over-TLS
// listeners, and the server certificate kept in the private data directory
// as SSLCERT.PEM and SSLKEY.PEM.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace support {

class SslSession;  // opaque; owns the SSL object, never the socket
struct SslSessionDeleter {
    void operator()(SslSession* s) const noexcept;
};
using SslSessionPtr = std::unique_ptr<SslSession, SslSessionDeleter>;

constexpr unsigned kSslHandshakeTimeoutMs = 30000;
constexpr unsigned kSslSendTimeoutMs = 30000;

// Non-zero when TLS is usable.
int sslInitLib();
// Releases the shared contexts; live sessions keep what they use.
void sslTermLib();

// Client handshake on a connected socket. Null on failure with the reason
// in error (the caller closes the socket). The peer's certificate is not
// verified: links name no trust store and no host name reaches this call.
SslSessionPtr sslInitSession(int fd, std::string& error,
                             unsigned timeout_ms = kSslHandshakeTimeoutMs);
// What a client checks of the peer's certificate: the chain up to the CA
// certificates in ca_file (empty: the system's trust store) and, when host
// is not empty, that the certificate names host.
struct SslVerify {
    std::string ca_file;
    std::string host;
};
// Client handshake that verifies the peer as asked; a certificate that
// fails reports "Certificate verification failed: <reason>" in error.
SslSessionPtr sslInitSession(int fd, std::string& error, const SslVerify& verify,
                             unsigned timeout_ms = kSslHandshakeTimeoutMs);
// Server handshake with SSLCERT.PEM / SSLKEY.PEM (re-loaded when either
// file changes). Null on failure with the reason in error.
SslSessionPtr sslAcceptSession(int fd, std::string& error,
                               unsigned timeout_ms = kSslHandshakeTimeoutMs);

// Socket-like results: bytes sent (all of len) or received, 0 when the
// peer closed the session, -1 on error (errno EAGAIN when a non-blocking
// socket has nothing yet).
long sslSend(SslSession* s, const void* data, size_t len);
long sslRecv(SslSession* s, void* buf, size_t size);
// Non-zero when decrypted data waits in the session (poll on the socket
// would not show it).
int sslDataPending(SslSession* s);
// Sends the close notification and frees the session (s becomes null).
void sslFreeSession(SslSessionPtr& s);

// Non-zero when SSLCERT.PEM and SSLKEY.PEM both load and belong together.
int sslServerCertExists();
// Non-zero when that certificate exists and was issued by someone else
// (not self-signed).
int sslSignedCertExists();

enum class CertKeyType { Rsa2048, EcP256 };
// Writes a new self-signed certificate (10 years, SHA-256) and its key to
// the private data directory, replacing both. common_name empty: the host
// name. Non-zero on success; error receives the reason otherwise.
int sslGenerateCertificate(std::string_view common_name = {},
                           CertKeyType type = CertKeyType::Rsa2048, std::string* error = nullptr);

std::string sslCertificatePath();  // <private>/SSLCERT.PEM
std::string sslKeyPath();          // <private>/SSLKEY.PEM

}  // namespace support
