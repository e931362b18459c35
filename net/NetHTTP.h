#pragma once
// The HTTP/1.0 and HTTP/1.1 client. It runs on a TNetTCPClient connection,
// builds requests and reads responses with the header records of
// NetHeaderList, keeps cookies in a TNetCookieManager, follows or refuses
// redirects, runs the authorization retry loop and raises
// ENetHTTPProtocolException for error replies. Every call blocks the calling
// thread until the request ends; one request at a time.
//
//   TNetHTTP http;
//   http.Request().SetUserAgent("Mozilla/3.0 (compatible; Lumora)");
//   std::string body = http.GetAsString("http://example.org/ip.html");

#include "net/NetCookies.h"
#include "net/NetHeaderList.h"
#include "net/NetIOHandlerTLS.h"
#include "net/NetStream.h"
#include "net/NetTCPConnection.h"
#include "net/NetURI.h"

#include <functional>
#include <memory>
#include <string>

enum TNetHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmDelete, hmConnect };
enum TNetHTTPProtocolVersion { pv1_0, pv1_1 };
enum TNetHTTPConnectionType { ConnectDirect, ConnectTLS, ConnectViaProxy, ConnectTLSViaProxy };

// HTTPOptions flags. Only hoInProcessAuth changes what the client does.
enum TNetHTTPOption : unsigned {
    hoInProcessAuth = 1,
    hoKeepOrigProtocol = 2,
    hoForceEncodeParams = 4,
};
using TNetHTTPOptions = unsigned;

// What the request loop does after a response.
enum class TNetHTTPNextStep { Done, FollowNewURL, RepeatRequest, Undecided };

// ---------------------------------------------------------------- exceptions

// An error reply: the message is the status line, ReplyErrorCode the status
// code, ErrorMessage the body of the reply.
class ENetHTTPProtocolException : public ENetProtocolReplyError {
public:
    ENetHTTPProtocolException(int code, const std::string& statusLine, std::string errorMessage)
        : ENetProtocolReplyError(code, statusLine), m_errorMessage(std::move(errorMessage)) {}
    const std::string& ErrorMessage() const { return m_errorMessage; }

private:
    std::string m_errorMessage;
};

class ENetUnknownProtocol : public ENetException {
public:
    using ENetException::ENetException;
};

class ENetIOHandlerPropInvalid : public ENetException {
public:
    ENetIOHandlerPropInvalid() : ENetException("IOHandler value is not valid") {}
};

// ---------------------------------------------------------------- events

class TNetCustomHTTP;

// May change the target and the method, and decides (handled) whether to go on.
using TNetHTTPOnRedirectEvent = std::function<void(TNetCustomHTTP* sender, std::string& dest, int& numRedirect,
                                                   bool& handled, TNetHTTPMethod& method)>;
// May change the authentication class picked for the challenges in authInfo.
using TNetOnSelectAuthorization =
    std::function<void(TNetCustomHTTP* sender, TNetAuthenticationClass& authenticationClass,
                       const TNetHeaderList& authInfo)>;
// Supplies credentials (SetUsername/SetPassword on the object); handled false gives up.
using TNetOnAuthorization =
    std::function<void(TNetCustomHTTP* sender, TNetAuthentication* authentication, bool& handled)>;

// ---------------------------------------------------------------- request and response

class TNetHTTPRequest : public TNetRequestHeaderInfo {
public:
    explicit TNetHTTPRequest(TNetCustomHTTP* http) : m_http(http) {}

    // The target as the caller passed it; after preparation the target
    // written in the request line.
    std::string URL;
    TNetHTTPMethod Method = hmGet;
    // A caller's stream sent as the body (not owned), or null.
    TNetStream* Source = nullptr;
    TNetHTTPConnectionType ConnectionKind = ConnectDirect;

    TNetCustomHTTP* HTTP() const { return m_http; }

private:
    TNetCustomHTTP* m_http;
};

class TNetHTTPResponse : public TNetResponseHeaderInfo {
public:
    explicit TNetHTTPResponse(TNetCustomHTTP* http) : m_http(http) {}

    // The first line of the response.
    std::string StatusLine;
    // The code read from StatusLine (stored on every read), -1 when it does not read.
    int StatusCode();
    TNetHTTPProtocolVersion ResponseVersion() const { return m_responseVersion; }
    // Whether the connection may be used for the next request, computed from
    // the connection's state and the "Connection" headers.
    bool KeepAlive();
    // Receives the body (not owned), or null.
    TNetStream* ContentStream = nullptr;
    // False when the peer closed before the whole announced Content-Length
    // arrived; what did arrive is kept in ContentStream all the same.
    bool BodyComplete() const { return m_bodyComplete; }

private:
    friend class TNetHTTPProtocol;
    TNetCustomHTTP* m_http;
    bool m_bodyComplete = true;
    int m_statusCode = -1;
    TNetHTTPProtocolVersion m_responseVersion = pv1_1;
};

// Builds requests and reads responses on the client's connection.
class TNetHTTPProtocol {
public:
    explicit TNetHTTPProtocol(TNetCustomHTTP* http);
    ~TNetHTTPProtocol();
    TNetHTTPProtocol(const TNetHTTPProtocol&) = delete;
    TNetHTTPProtocol& operator=(const TNetHTTPProtocol&) = delete;

    TNetHTTPRequest& Request() { return *m_request; }
    TNetHTTPResponse& Response() { return *m_response; }

    // Writes the request line, the headers and the empty line in one send.
    void SendRequest(TNetURI* uri);
    void ReadResponseHeaders();
    TNetHTTPNextStep DecideNextStep();
    [[noreturn]] void RaiseProtocolError();
    // Reads the body into the response's content stream (length, chunked or
    // until the peer closes).
    void ReadBody();

private:
    void DiscardBody();
    void ReadChunked(TNetStream& stream);
    void ReadCount(TNetStream& stream, int64_t count);

    TNetCustomHTTP* m_http;
    std::unique_ptr<TNetHTTPRequest> m_request;
    std::unique_ptr<TNetHTTPResponse> m_response;
};

// ---------------------------------------------------------------- the client

class TNetCustomHTTP : public TNetTCPClient {
public:
    TNetCustomHTTP();
    ~TNetCustomHTTP() override;

    // Published properties.
    int AuthRetries() const { return m_authRetries; }
    void SetAuthRetries(int value) { m_authRetries = value; }
    bool AllowCookies() const { return m_allowCookies; }
    void SetAllowCookies(bool value) { m_allowCookies = value; }
    bool HandleRedirects() const { return m_handleRedirects; }
    void SetHandleRedirects(bool value) { m_handleRedirects = value; }
    TNetHTTPProtocolVersion ProtocolVersion() const { return m_protocolVersion; }
    void SetProtocolVersion(TNetHTTPProtocolVersion value) { m_protocolVersion = value; }
    int RedirectMaximum() const { return m_redirectMaximum; }
    void SetRedirectMaximum(int value) { m_redirectMaximum = value; }
    TNetProxyConnectionInfo& ProxyParams() { return *m_proxyParams; }
    TNetHTTPRequest& Request() { return m_protocol->Request(); }
    // Copies Accept, AcceptCharSet, AcceptEncoding, AcceptLanguage, From,
    // Password, Referer, UserAgent, Username and BasicAuthentication.
    void SetRequest(const TNetRequestHeaderInfo& request) { m_protocol->Request().Assign(request); }
    TNetHTTPResponse& Response() { return m_protocol->Response(); }
    TNetHTTPOptions HTTPOptions() const { return m_httpOptions; }
    void SetHTTPOptions(TNetHTTPOptions value) { m_httpOptions = value; }
    TNetCookieManager* CookieManager() const { return m_cookieManager; }
    // Frees the previous manager when the client owned it; an assigned manager
    // is not owned (and is forgotten when it is destroyed first).
    void SetCookieManager(TNetCookieManager* manager);
    bool OwnsCookieManager() const { return m_ownsCookieManager; }

    // Also set TargetURI's host and port text.
    void SetHost(const std::string& host) override;
    void SetPort(int port) override;

    TNetHTTPOnRedirectEvent OnRedirect;
    TNetOnSelectAuthorization OnSelectAuthorization;
    TNetOnSelectAuthorization OnSelectProxyAuthorization;
    TNetOnAuthorization OnAuthorization;
    TNetOnAuthorization OnProxyAuthorization;

    TNetURI& TargetURI() { return *m_targetURI; }
    TNetHTTPProtocol& HTTPProtocol() { return *m_protocol; }
    int AuthRetryCount() const { return m_authRetryCount; }
    int ProxyAuthRetryCount() const { return m_proxyAuthRetryCount; }
    int RedirectCount() const { return m_redirectCount; }

    // A GET whose whole body is answered as a byte string. Raises
    // ENetHTTPProtocolException for an error reply and the connection's
    // exceptions (ENetSocketError, ENetConnClosedGracefully, ...) for
    // transport failures.
    std::string GetAsString(const std::string& url);
    // A GET whose body is written to stream.
    void GetToStream(const std::string& url, TNetStream& stream);
    void Head(const std::string& url);
    void Post(const std::string& url, TNetStream& source, TNetStream& response);
    std::string PostAsString(const std::string& url, TNetStream& source);

    // The request loop: the one entry point for every method. source and
    // contentStream may be null.
    virtual void DoRequest(TNetHTTPMethod method, const std::string& url, TNetStream* source,
                           TNetStream* contentStream);

    void NotifyDisconnected() override;

protected:
    // Answer true to send the request again with credentials.
    virtual bool DoOnAuthorization();
    virtual bool DoOnProxyAuthorization();
    // Starts from HandleRedirects; OnRedirect may change all three.
    virtual bool DoOnRedirect(std::string& location, TNetHTTPMethod& method, int redirectCount);

private:
    friend class TNetHTTPProtocol;
    friend class TNetHTTPResponse;
    friend class TNetCookieManager;

    void PrepareRequest();
    TNetHTTPConnectionType ChooseHostAndPort();
    void OpenConnection();
    void EnsureConnected();
    std::string SendAndReadStatusLine();
    void ProcessCookies();
    void CookieManagerDestroyed(TNetCookieManager* manager);
    bool AskForCredentials(TNetAuthentication& authentication, const TNetOnAuthorization& handler, bool proxy);
    void FinishRequest();

    int m_authRetries = 3;
    bool m_allowCookies = true;
    bool m_handleRedirects = false;
    TNetHTTPProtocolVersion m_protocolVersion = pv1_1;
    int m_redirectMaximum = 15;
    TNetHTTPOptions m_httpOptions = hoForceEncodeParams;
    TNetCookieManager* m_cookieManager = nullptr;
    bool m_ownsCookieManager = false;

    std::unique_ptr<TNetURI> m_targetURI;
    std::unique_ptr<TNetHTTPProtocol> m_protocol;
    std::unique_ptr<TNetProxyConnectionInfo> m_proxyParams;
    int m_authRetryCount = 0;
    int m_proxyAuthRetryCount = 0;
    int m_redirectCount = 0;
    // Set when a body ended in a way that leaves the connection's position in
    // the byte stream unknown; the connection is then not reused.
    bool m_streamOutOfStep = false;
    // Set by EnsureConnected when the request goes over a connection that
    // already served one.
    bool m_reusedConnection = false;
    // Set when the last DecideNextStep came from an authorization retry.
    bool m_authorizationRetry = false;
};

// The published component.
class TNetHTTP : public TNetCustomHTTP {
public:
    TNetHTTP() = default;
};
