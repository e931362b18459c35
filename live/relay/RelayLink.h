#pragma once
// The relay's own connection to the ingest: resolving, the TCP connect and,
// for rtmps://, the TLS handshake with the server's certificate checked.
//
// The certificate is verified against the system's trust store (OpenSSL's
// default paths, so SSL_CERT_FILE / SSL_CERT_DIR apply) together with the
// host name or address of the URL, as the FTP and HTTPS paths do. A
// certificate that fails is refused with the same text as there, naming its
// SHA-256 fingerprint; a certificate whose fingerprint is the trusted one is
// accepted all the same (an ingest with a self-signed certificate).
//
// Every wait is bounded by `interrupted`, asked at least every 50 ms.

#include "live/relay/RtmpUrl.h"

#include <functional>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

enum class RelayLinkFailure {
    None,
    HostNotFound,
    Refused,      // nothing listens there
    NoAnswer,     // the connect or the TLS handshake ran out of time
    Unreachable,
    TlsFailed,    // the TLS handshake failed
    Certificate,  // the certificate was refused: only the user can mend that
    Other,
};

class RelayLink {
public:
    RelayLink() = default;
    ~RelayLink();
    RelayLink(RelayLink&& other) noexcept;
    RelayLink& operator=(RelayLink&& other) noexcept;
    RelayLink(const RelayLink&) = delete;
    RelayLink& operator=(const RelayLink&) = delete;

    // Connects to the URL's host and port; for rtmps:// runs the handshake
    // and checks the certificate (trustedFingerprint as in the settings, ""
    // for none). On failure: the kind and the text for the status line.
    bool Open(const RtmpUrl& url, const std::string& trustedFingerprint, const std::function<bool()>& interrupted,
              RelayLinkFailure& failure, std::string& error);

    int Fd() const { return m_fd; }
    ssl_st* Ssl() const { return m_ssl; } // null for rtmp://
    // Sends TLS's close_notify (not awaited) and closes the socket.
    void Close();

private:
    bool ConnectTcp(const RtmpUrl& url, const std::function<bool()>& interrupted, RelayLinkFailure& failure,
                    std::string& error);
    bool Handshake(const RtmpUrl& url, const std::string& trustedFingerprint,
                   const std::function<bool()>& interrupted, RelayLinkFailure& failure, std::string& error);

    int m_fd = -1;
    ssl_ctx_st* m_ctx = nullptr;
    ssl_st* m_ssl = nullptr;
};

// "host:port" as the status lines show it ("[::1]:1935" for IPv6).
std::string RelayHostPort(const RtmpUrl& url);
