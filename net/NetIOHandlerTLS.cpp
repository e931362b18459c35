#include "net/NetIOHandlerTLS.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <exception>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>
#include <poll.h>
#include <sys/socket.h>

using Clock = std::chrono::steady_clock;

// What the socket BIO needs: the descriptor, and for the handshake a deadline
// after which a read gives up.
struct TNetTLSBioState {
    int fd = -1;
    bool hasDeadline = false;
    Clock::time_point deadline;
    bool timedOut = false;
    // An exception of the anti-freeze hook, kept while OpenSSL's C code is
    // on the stack and raised again once the handshake call returned.
    std::exception_ptr failure;
};

namespace {

// Our own socket BIO: OpenSSL's writes with write(2), which raises SIGPIPE
// when the peer has gone; ours sends with MSG_NOSIGNAL like the socket
// stack, and lets the handshake wait for input with a deadline.
// Sends never block: a full socket makes OpenSSL answer "want write", and
// the connection waits for room through TransportWritable with its limit.
// During the handshake the wait for room happens here, to its deadline.
int BioWrite(BIO* bio, const char* data, int length)
{
    auto* state = static_cast<TNetTLSBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::send(state->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (state->hasDeadline) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(state->deadline - Clock::now());
                pollfd p {state->fd, POLLOUT, 0};
                if (left.count() > 0 && ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) >= 0)
                    continue;
                state->timedOut = true;
                errno = ETIMEDOUT;
                return -1;
            }
            BIO_set_retry_write(bio);
        }
        return static_cast<int>(n);
    }
}

int BioRead(BIO* bio, char* data, int length)
{
    auto* state = static_cast<TNetTLSBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (state->hasDeadline) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(state->deadline - Clock::now());
            int wait = static_cast<int>(std::max<int64_t>(0, left.count()));
            // With the anti-freeze hook, wait in its steps and let it run.
            const bool pump = TNetAntiFreezeBase::ShouldUse();
            if (pump)
                wait = std::min(wait, AntiFreezeInstance->IdleTimeOut);
            pollfd p {state->fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait);
            if (ready > 0)
                break;
            if (ready < 0 && errno == EINTR)
                continue;
            if (pump && Clock::now() < state->deadline) {
                try {
                    TNetAntiFreezeBase::DoProcess(true);
                    continue;
                } catch (...) {
                    state->failure = std::current_exception();
                }
            }
            state->timedOut = true;
            errno = ETIMEDOUT;
            return -1;
        }
    }
    for (;;) {
        const ssize_t n = ::recv(state->fd, data, static_cast<size_t>(length), 0);
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

BIO_METHOD* SocketBioMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Lumora socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

// The oldest queued OpenSSL error as text, and the queue emptied.
std::string TakeOpenSSLError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    // "error:0A000086:SSL routines::certificate verify failed": the reason is
    // what a person can act on.
    const char* reason = ERR_reason_error_string(code);
    return reason ? std::string(reason) : std::string(text);
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

// ---------------------------------------------------------------- exceptions

namespace {
std::string RefusalText(const std::string& host, const std::string& reason, const std::string& fingerprint,
                        const std::string& trusted)
{
    if (fingerprint.empty())
        return Format("The certificate of %s was refused (%s).", host.c_str(), reason.c_str());
    if (!trusted.empty())
        return Format("The certificate of %s differs from the trusted fingerprint: its SHA-256 fingerprint is %s, "
                      "the trusted one is %s.",
                      host.c_str(), fingerprint.c_str(), trusted.c_str());
    return Format("The certificate of %s was refused (%s). Its SHA-256 fingerprint is %s.", host.c_str(),
                  reason.c_str(), fingerprint.c_str());
}
} // namespace

ENetTLSCertificateRefused::ENetTLSCertificateRefused(const std::string& host, std::string reason,
                                                     std::string fingerprint, std::string trustedFingerprint)
    : ENetTLSError(RefusalText(host, reason, fingerprint, trustedFingerprint)), m_reason(std::move(reason)),
      m_fingerprint(std::move(fingerprint)), m_trustedFingerprint(std::move(trustedFingerprint))
{
}

// ---------------------------------------------------------------- TNetIOHandlerTLS

TNetIOHandlerTLS::TNetIOHandlerTLS() : m_bioState(std::make_unique<TNetTLSBioState>()) {}

TNetIOHandlerTLS::~TNetIOHandlerTLS()
{
    FreeSSL(false);
    if (m_ctx)
        SSL_CTX_free(m_ctx);
}

std::string TNetIOHandlerTLS::NormalizeFingerprint(const std::string& text)
{
    std::string s = text;
    // "sha256 Fingerprint=AB:CD:..." as openssl prints it.
    if (const size_t eq = s.rfind('='); eq != std::string::npos)
        s = s.substr(eq + 1);
    std::string digits;
    for (char c : s) {
        if (c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (!IsHexDigit(c))
            return {};
        digits += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    }
    return digits.size() == 64 ? digits : std::string();
}

std::string TNetIOHandlerTLS::FormatFingerprint(const unsigned char* digest, unsigned length)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        if (i > 0)
            out += ':';
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

void TNetIOHandlerTLS::SetTrustedFingerprint(const std::string& fingerprint)
{
    m_trustedFingerprint = NormalizeFingerprint(fingerprint);
}

void TNetIOHandlerTLS::EnsureContext()
{
    if (m_ctx)
        return;
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx)
        throw ENetTLSError("TLS is not available: " + TakeOpenSSLError());
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(m_ctx, TLS1_3_VERSION);
    // The chain is verified during the handshake, but the decision is ours
    // (VerifyPeer): that is where a trusted fingerprint can accept a
    // certificate the store does not, and where the refusal names the reason.
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(m_ctx);
    // Many servers simply close after the last byte; that is an end of data,
    // not a failure. Renegotiation is never wanted by a client like ours.
    SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // A record that carries no application data (a TLS 1.3 session ticket)
    // must not make a read block: TransportReadable waits for real data.
    SSL_CTX_clear_mode(m_ctx, SSL_MODE_AUTO_RETRY);
    // A send that could not go out whole is retried from where it stopped,
    // from the same bytes wherever the caller keeps them.
    SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Sessions are kept per connection (for FTP's data channel), not in a cache.
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(m_ctx, &TNetIOHandlerTLS::NewSessionCallback);
}

int TNetIOHandlerTLS::NewSessionCallback(ssl_st* ssl, ssl_session_st* session)
{
    auto* self = static_cast<TNetIOHandlerTLS*>(SSL_get_app_data(ssl));
    if (!self)
        return 0;
    self->m_latestSession = TNetTLSSession(session, SSL_SESSION_free);
    return 1; // the reference is ours now
}

TNetTLSSession TNetIOHandlerTLS::Session() const
{
    if (m_latestSession)
        return m_latestSession;
    if (m_ssl) {
        if (SSL_SESSION* s = SSL_get1_session(m_ssl))
            return TNetTLSSession(s, SSL_SESSION_free);
    }
    return {};
}

bool TNetIOHandlerTLS::SessionReused() const { return m_ssl && SSL_session_reused(m_ssl) == 1; }

std::string TNetIOHandlerTLS::ProtocolName() const { return m_ssl ? SSL_get_version(m_ssl) : std::string(); }

void TNetIOHandlerTLS::FreeSSL(bool sendCloseNotify)
{
    m_sendWantsRead = false;
    if (!m_ssl)
        return;
    if (sendCloseNotify) {
        // Our close_notify tells the server the data ended here and was not
        // cut off; its answer is not awaited.
        SSL_shutdown(m_ssl);
    }
    SSL_free(m_ssl); // frees the BIO too
    m_ssl = nullptr;
    ERR_clear_error();
}

void TNetIOHandlerTLS::RaiseSSLFailure(int result, const char* what)
{
    const int error = SSL_get_error(m_ssl, result);
    const int savedErrno = errno;
    std::string reason = TakeOpenSSLError();
    if (reason.empty()) {
        if (m_bioState->timedOut)
            reason = "timed out";
        else if (error == SSL_ERROR_SYSCALL && savedErrno != 0)
            reason = std::strerror(savedErrno);
        else
            reason = "the connection was closed";
    }
    throw ENetTLSError(Format("%s: %s", what, reason.c_str()));
}

void TNetIOHandlerTLS::StartTLS(const std::string& hostName)
{
    TNetSocketHandle* binding = SocketBinding();
    if (!binding || !binding->HandleAllocated())
        throw ENetClosedSocket();
    EnsureContext();
    FreeSSL(false);
    m_latestSession.reset();
    ERR_clear_error();

    m_ssl = SSL_new(m_ctx);
    if (!m_ssl)
        throw ENetTLSError("TLS is not available: " + TakeOpenSSLError());
    SSL_set_app_data(m_ssl, this);
    BIO* bio = BIO_new(SocketBioMethod());
    *m_bioState = TNetTLSBioState {};
    m_bioState->fd = binding->Handle();
    BIO_set_data(bio, m_bioState.get());
    SSL_set_bio(m_ssl, bio, bio);

    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    if (StackInstance && StackInstance->IsIPv4Text(hostName)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, hostName.c_str());
    } else {
        SSL_set_tlsext_host_name(m_ssl, hostName.c_str());
        SSL_set1_host(m_ssl, hostName.c_str());
    }
    if (m_resumeSession)
        SSL_set_session(m_ssl, m_resumeSession.get());

    if (m_handshakeTimeout != WaitForever && m_handshakeTimeout >= 0) {
        m_bioState->hasDeadline = true;
        m_bioState->deadline = Clock::now() + std::chrono::milliseconds(m_handshakeTimeout);
    }
    const int result = SSL_connect(m_ssl);
    m_bioState->hasDeadline = false;
    if (m_bioState->failure) {
        FreeSSL(false);
        std::rethrow_exception(std::exchange(m_bioState->failure, nullptr));
    }
    if (result != 1) {
        try {
            RaiseSSLFailure(result, "TLS handshake failed");
        } catch (...) {
            FreeSSL(false);
            throw;
        }
    }
    VerifyPeer(hostName);
}

void TNetIOHandlerTLS::VerifyPeer(const std::string& hostName)
{
    X509* certificate = SSL_get0_peer_certificate(m_ssl);
    if (!certificate) {
        FreeSSL(false);
        throw ENetTLSCertificateRefused(hostName, "the server sent no certificate", "");
    }
    const long result = SSL_get_verify_result(m_ssl);
    if (result == X509_V_OK)
        return;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    const std::string fingerprint = FormatFingerprint(digest, length);
    if (!m_trustedFingerprint.empty() && NormalizeFingerprint(fingerprint) == m_trustedFingerprint)
        return;
    const std::string reason = X509_verify_cert_error_string(result);
    FreeSSL(false);
    std::string trusted;
    for (size_t i = 0; i + 1 < m_trustedFingerprint.size(); i += 2)
        trusted += (i > 0 ? ":" : "") + m_trustedFingerprint.substr(i, 2);
    throw ENetTLSCertificateRefused(hostName, reason, fingerprint, trusted);
}

void TNetIOHandlerTLS::CloseTransport()
{
    if (!m_ssl) {
        TNetIOHandlerSocket::CloseTransport();
        return;
    }
    TNetSocketHandle* binding = SocketBinding();
    if (binding && binding->HandleAllocated()) {
        // Our close_notify says the data ended here. Then read what the
        // server still sends -- session tickets (kept for the next
        // resumption), its own close_notify -- until it closes or the linger
        // time is over, so that the close is a FIN and not a reset.
        SSL_shutdown(m_ssl);
        const int fd = binding->Handle();
        // And a FIN, for servers that wait for the end of the stream itself.
        ::shutdown(fd, SHUT_WR);
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_closeLinger);
        // Without a linger time this is only about records already here: a
        // peer still sending a large answer we gave up on is not read to its
        // end.
        int64_t budget = m_closeLinger > 0 ? INT64_MAX : 256 * 1024;
        char sink[16384];
        while (budget > 0) {
            if (SSL_pending(m_ssl) <= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                int wait = static_cast<int>(std::max<int64_t>(0, left.count()));
                const bool pump = TNetAntiFreezeBase::ShouldUse();
                if (pump)
                    wait = std::min(wait, AntiFreezeInstance->IdleTimeOut);
                pollfd p {fd, POLLIN, 0};
                const int ready = ::poll(&p, 1, wait);
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready == 0 && pump && Clock::now() < deadline) {
                    try {
                        TNetAntiFreezeBase::DoProcess(true);
                        continue;
                    } catch (const std::exception&) {
                        // Closing goes on; the waiting request gives up at
                        // its next wait.
                    }
                }
                if (ready <= 0)
                    break;
            }
            const int n = SSL_read(m_ssl, sink, sizeof sink);
            if (n <= 0 && SSL_get_error(m_ssl, n) != SSL_ERROR_WANT_READ)
                break;
            budget -= std::max(n, 1);
        }
        ERR_clear_error();
    }
    FreeSSL(false);
    TNetIOHandlerSocket::CloseTransport();
}

void TNetIOHandlerTLS::ConnectTransport(const std::string& host, int port, const std::string& boundIP,
                                        int boundPort, int boundPortMin, int boundPortMax, int timeout)
{
    FreeSSL(false);
    TNetIOHandlerSocket::ConnectTransport(host, port, boundIP, boundPort, boundPortMin, boundPortMax, timeout);
    if (m_mode == TNetTLSMode::Encrypting)
        StartTLS(host);
}

bool TNetIOHandlerTLS::TransportReadable(int timeout)
{
    if (!m_ssl)
        return TNetIOHandlerSocket::TransportReadable(timeout);
    if (SSL_pending(m_ssl) > 0)
        return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeout));
    for (;;) {
        int wait = timeout;
        if (timeout != WaitForever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        if (!TNetIOHandlerSocket::TransportReadable(wait))
            return false;
        // Readable bytes may be a record without application data (a
        // session ticket); only data, a close or an error ends the wait.
        char probe;
        const int n = SSL_peek(m_ssl, &probe, 1);
        if (n > 0)
            return true;
        if (SSL_get_error(m_ssl, n) != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            return true; // the receive reports the close or the failure
        }
        if (timeout != WaitForever && Clock::now() >= deadline)
            return false;
    }
}

int TNetIOHandlerTLS::TransportReceive(void* buffer, int length)
{
    if (!m_ssl)
        return TNetIOHandlerSocket::TransportReceive(buffer, length);
    if (length <= 0)
        return 0;
    for (;;) {
        const int n = SSL_read(m_ssl, buffer, length);
        if (n > 0)
            return n;
        const int error = SSL_get_error(m_ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error == SSL_ERROR_WANT_READ)
            continue; // a record without data; the socket blocks for the next
        if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
            if (errno == 0)
                return 0;
            const int code = MapPosixSocketError(errno);
            ERR_clear_error();
            StackInstance->RaiseSocketFailure(code);
        }
        RaiseSSLFailure(n, "TLS receive failed");
    }
}

bool TNetIOHandlerTLS::TransportWritable(int timeout)
{
    if (!m_ssl || !m_sendWantsRead)
        return TNetIOHandlerSocket::TransportWritable(timeout);
    // OpenSSL needs a record from the server before it can send on (a key
    // update); the socket transport's wait for input, not the TLS one, as
    // that record carries no data.
    return TNetIOHandlerSocket::TransportReadable(timeout);
}

int TNetIOHandlerTLS::TransportSend(const void* buffer, int length)
{
    if (!m_ssl)
        return TNetIOHandlerSocket::TransportSend(buffer, length);
    if (length <= 0)
        return 0;
    m_sendWantsRead = false;
    const int n = SSL_write(m_ssl, buffer, length);
    if (n > 0)
        return n;
    const int error = SSL_get_error(m_ssl, n);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        m_sendWantsRead = error == SSL_ERROR_WANT_READ;
        return 0;
    }
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno != 0) {
        const int code = MapPosixSocketError(errno);
        ERR_clear_error();
        StackInstance->RaiseSocketFailure(code);
    }
    RaiseSSLFailure(n, "TLS send failed");
}
