#pragma once
// The TLS transport: a socket transport that can run TLS 1.2 or 1.3 (client
// side) over its socket, through OpenSSL. It starts in pass-through mode
// (plain bytes, exactly like TNetIOHandlerSocket); in encrypting mode the
// handshake runs right after the TCP connect, or whenever StartTLS is called
// on a connected socket (FTP's AUTH TLS, or an accepted active data channel).
//
// The server's certificate is verified against the system's trust store
// (OpenSSL's default paths, so SSL_CERT_FILE / SSL_CERT_DIR apply) with
// host-name (or IP address) checking. A certificate that fails is refused with
// ENetTLSCertificateRefused naming the reason and the certificate's SHA-256
// fingerprint; a certificate whose fingerprint equals TrustedFingerprint is
// accepted all the same (for self-signed hosts).
//
// Session reuse: a data channel resumes the control channel's session when
// given it with SetResumeSession (RFC 4217 servers often require this).
//
// Threading as for the socket transport: one thread at a time.

#include "net/NetIOHandlerSocket.h"

#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;
struct bio_st;
struct TNetTLSBioState;

class ENetTLSError : public ENetException {
public:
    using ENetException::ENetException;
};

// The server's certificate failed verification and is not the trusted one.
class ENetTLSCertificateRefused : public ENetTLSError {
public:
    // `trustedFingerprint` ("AB:CD:...") is the one the user trusts, when
    // there is one: the certificate was then replaced, and the message says so.
    ENetTLSCertificateRefused(const std::string& host, std::string reason, std::string fingerprint,
                              std::string trustedFingerprint = {});
    const std::string& Reason() const { return m_reason; }
    // "AB:CD:..." (32 pairs), empty when the server sent no certificate.
    const std::string& Fingerprint() const { return m_fingerprint; }
    const std::string& TrustedFingerprint() const { return m_trustedFingerprint; }

private:
    std::string m_reason;
    std::string m_fingerprint;
    std::string m_trustedFingerprint;
};

using TNetTLSSession = std::shared_ptr<ssl_session_st>;

enum class TNetTLSMode { PassThrough, Encrypting };

class TNetIOHandlerTLS : public TNetIOHandlerSocket {
public:
    TNetIOHandlerTLS();
    ~TNetIOHandlerTLS() override;

    // PassThrough (the default) leaves the socket plain; Encrypting makes the
    // next connect run the handshake. Changing it has no effect on a
    // connection already running.
    TNetTLSMode Mode() const { return m_mode; }
    void SetMode(TNetTLSMode mode) { m_mode = mode; }

    // 64 hex digits, colons, blanks and letter case ignored (as
    // `openssl x509 -fingerprint -sha256` prints it, with or without its
    // "sha256 Fingerprint=" prefix). Anything else trusts nothing.
    const std::string& TrustedFingerprint() const { return m_trustedFingerprint; }
    void SetTrustedFingerprint(const std::string& fingerprint);

    // Limit for the handshake in milliseconds (WaitForever: none).
    int HandshakeTimeout() const { return m_handshakeTimeout; }
    void SetHandshakeTimeout(int ms) { m_handshakeTimeout = ms; }

    // How long closing waits for the server to close its side after our
    // close_notify (ms; 0: only what has arrived is read). Unread input at
    // close makes the socket reset, and a reset can make the server drop
    // data of ours it has not read yet: an upload waits for the server.
    int CloseLinger() const { return m_closeLinger; }
    void SetCloseLinger(int ms) { m_closeLinger = ms; }

    // The session the next handshake offers to resume (e.g. the control
    // channel's), or none.
    void SetResumeSession(TNetTLSSession session) { m_resumeSession = std::move(session); }
    // The newest resumable session of the running connection (TLS 1.3
    // tickets arrive after the handshake, with the first reads), or none.
    TNetTLSSession Session() const;

    // True while TLS runs over the socket.
    bool Encrypted() const { return m_ssl != nullptr; }
    // After a handshake: whether it resumed the offered session.
    bool SessionReused() const;
    // "TLSv1.3", "TLSv1.2", or "" when plain.
    std::string ProtocolName() const;

    // Runs the client handshake over the connected socket and verifies the
    // server's certificate for `hostName` (a name or a dotted address).
    // Raises ENetTLSError or ENetTLSCertificateRefused; the socket stays open
    // for the caller to close.
    void StartTLS(const std::string& hostName);

    void CloseTransport() override;
    void ConnectTransport(const std::string& host, int port, const std::string& boundIP, int boundPort,
                          int boundPortMin, int boundPortMax, int timeout) override;
    bool TransportReadable(int timeout) override;
    bool TransportWritable(int timeout) override;
    int TransportReceive(void* buffer, int length) override;
    int TransportSend(const void* buffer, int length) override;

    // "" when the text is not a fingerprint; otherwise 64 upper-case hex digits.
    static std::string NormalizeFingerprint(const std::string& text);
    // SHA-256 of `der` as "AB:CD:...".
    static std::string FormatFingerprint(const unsigned char* digest, unsigned length);

private:
    void EnsureContext();
    void FreeSSL(bool sendCloseNotify);
    void VerifyPeer(const std::string& hostName);
    [[noreturn]] void RaiseSSLFailure(int result, const char* what);
    static int NewSessionCallback(ssl_st* ssl, ssl_session_st* session);

    TNetTLSMode m_mode = TNetTLSMode::PassThrough;
    std::string m_trustedFingerprint;
    int m_handshakeTimeout = 30000;
    int m_closeLinger = 0;
    ssl_ctx_st* m_ctx = nullptr;
    ssl_st* m_ssl = nullptr;
    std::unique_ptr<TNetTLSBioState> m_bioState;
    TNetTLSSession m_resumeSession;
    TNetTLSSession m_latestSession;
    bool m_sendWantsRead = false; // the last send waits for input, not for room
};
