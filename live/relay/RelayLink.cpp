// Resolving, connecting and the TLS handshake of the relay's connection.

#include "live/relay/RelayLink.h"

#include "net/NetIOHandlerTLS.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr int kStepMs = 50;

// A socket BIO that sends with MSG_NOSIGNAL: a peer gone mid-write must
// not raise SIGPIPE in the program.
int BioWrite(BIO* bio, const char* data, int length)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            BIO_set_retry_write(bio);
        return static_cast<int>(n);
    }
}

int BioRead(BIO* bio, char* data, int length)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(fd, data, static_cast<size_t>(length), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            BIO_set_retry_read(bio);
        return static_cast<int>(n);
    }
}

long BioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketBio()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "relay socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

std::string TakeOpenSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    const char* reason = ERR_reason_error_string(code);
    if (reason)
        return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool IsAddressText(const std::string& host)
{
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Waits until fd is ready for `events`; false when interrupted first.
bool WaitReady(int fd, short events, const std::function<bool()>& interrupted)
{
    for (;;) {
        if (interrupted())
            return false;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, kStepMs);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true; // the next call reports the failure
    }
}

} // namespace

std::string RelayHostPort(const RtmpUrl& url)
{
    const int port = url.port ? url.port : (url.scheme == "rtmps" ? 443 : 1935);
    const bool v6 = url.host.find(':') != std::string::npos;
    return (v6 ? "[" + url.host + "]" : url.host) + ":" + std::to_string(port);
}

RelayLink::~RelayLink()
{
    Close();
}

RelayLink::RelayLink(RelayLink&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_ctx(std::exchange(other.m_ctx, nullptr)),
      m_ssl(std::exchange(other.m_ssl, nullptr))
{
}

RelayLink& RelayLink::operator=(RelayLink&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_ctx = std::exchange(other.m_ctx, nullptr);
        m_ssl = std::exchange(other.m_ssl, nullptr);
    }
    return *this;
}

void RelayLink::Close()
{
    if (m_ssl) {
        SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
        m_ssl = nullptr;
        ERR_clear_error();
    }
    if (m_ctx) {
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool RelayLink::Open(const RtmpUrl& url, const std::string& trustedFingerprint,
                     const std::function<bool()>& interrupted, RelayLinkFailure& failure, std::string& error)
{
    Close();
    failure = RelayLinkFailure::None;
    if (!ConnectTcp(url, interrupted, failure, error))
        return false;
    if (url.scheme == "rtmps" && !Handshake(url, trustedFingerprint, interrupted, failure, error)) {
        Close();
        return false;
    }
    return true;
}

bool RelayLink::ConnectTcp(const RtmpUrl& url, const std::function<bool()>& interrupted, RelayLinkFailure& failure,
                           std::string& error)
{
    const std::string where = RelayHostPort(url);
    const int port = url.port ? url.port : (url.scheme == "rtmps" ? 443 : 1935);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (::getaddrinfo(url.host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        failure = RelayLinkFailure::HostNotFound;
        error = "host not found: " + url.host;
        return false;
    }
    int lastError = 0;
    bool timedOut = false;
    for (addrinfo* a = found; a && m_fd < 0 && !timedOut; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            if (!WaitReady(fd, POLLOUT, interrupted)) {
                timedOut = true;
                ::close(fd);
                break;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            rc = soError ? -1 : 0;
            errno = soError;
        }
        if (rc < 0) {
            lastError = errno;
            ::close(fd);
            continue;
        }
        m_fd = fd;
    }
    ::freeaddrinfo(found);
    if (m_fd >= 0)
        return true;
    if (timedOut) {
        failure = RelayLinkFailure::NoAnswer;
        error = "no answer from " + where;
    } else if (lastError == ECONNREFUSED) {
        failure = RelayLinkFailure::Refused;
        error = "connection refused by " + where;
    } else if (lastError == EHOSTUNREACH || lastError == ENETUNREACH) {
        failure = RelayLinkFailure::Unreachable;
        error = where + " cannot be reached";
    } else {
        failure = RelayLinkFailure::Other;
        error = "cannot connect to " + where + " (" + std::strerror(lastError) + ")";
    }
    return false;
}

bool RelayLink::Handshake(const RtmpUrl& url, const std::string& trustedFingerprint,
                          const std::function<bool()>& interrupted, RelayLinkFailure& failure, std::string& error)
{
    const std::string where = RelayHostPort(url);
    auto tlsFailed = [&](const std::string& reason) {
        failure = RelayLinkFailure::TlsFailed;
        error = "TLS handshake with " + where + " failed (" + reason + ")";
        return false;
    };
    ERR_clear_error();
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx)
        return tlsFailed("TLS is not available: " + TakeOpenSslReason());
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    // The chain is verified during the handshake, the decision is made
    // below: a trusted fingerprint may accept what the store does not.
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(m_ctx);
    SSL_CTX_set_options(m_ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    m_ssl = SSL_new(m_ctx);
    if (!m_ssl)
        return tlsFailed("TLS is not available: " + TakeOpenSslReason());
    BIO* bio = BIO_new(SocketBio());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(m_fd)));
    SSL_set_bio(m_ssl, bio, bio);
    if (IsAddressText(url.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), url.host.c_str());
    } else {
        SSL_set_tlsext_host_name(m_ssl, url.host.c_str());
        SSL_set1_host(m_ssl, url.host.c_str());
    }

    for (;;) {
        const int rc = SSL_connect(m_ssl);
        if (rc == 1)
            break;
        const int code = SSL_get_error(m_ssl, rc);
        const int savedErrno = errno;
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            if (!WaitReady(m_fd, code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, interrupted))
                return tlsFailed("the server did not answer it");
            continue;
        }
        std::string reason = TakeOpenSslReason();
        if (reason.empty())
            reason = code == SSL_ERROR_SYSCALL && savedErrno != 0 ? std::strerror(savedErrno)
                                                                   : "the connection was closed";
        return tlsFailed(reason);
    }

    X509* certificate = SSL_get0_peer_certificate(m_ssl);
    if (!certificate) {
        failure = RelayLinkFailure::Certificate;
        error = ENetTLSCertificateRefused(url.host, "the server sent no certificate", "").what();
        return false;
    }
    const long verdict = SSL_get_verify_result(m_ssl);
    if (verdict == X509_V_OK)
        return true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    const std::string fingerprint = TNetIOHandlerTLS::FormatFingerprint(digest, length);
    const std::string trusted = TNetIOHandlerTLS::NormalizeFingerprint(trustedFingerprint);
    if (!trusted.empty() && TNetIOHandlerTLS::NormalizeFingerprint(fingerprint) == trusted)
        return true;
    failure = RelayLinkFailure::Certificate;
    error = ENetTLSCertificateRefused(url.host, X509_verify_cert_error_string(verdict), fingerprint).what();
    return false;
}
