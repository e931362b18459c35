#include "net/NetHTTP.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <climits>

// The HTTP client flow: redirects, authorization, retries and the connection
// each request goes over.

namespace {
using asciitext::SameText;
} // namespace

TNetHTTPNextStep TNetHTTPProtocol::DecideNextStep()
{
    TNetHTTPRequest& request = *m_request;
    TNetHTTPResponse& response = *m_response;
    const int code = response.StatusCode();
    m_http->m_authorizationRetry = false;

    if ((code / 100 == 3 && code != 304) || !response.Location().empty()) {
        std::string location = response.Location();
        TNetHTTPMethod method = request.Method;
        TNetHTTPNextStep result;
        // The decision comes before the body is touched: a refused redirect
        // raises with the body as its error text.
        if (m_http->HandleRedirects() && m_http->m_redirectCount < m_http->RedirectMaximum()) {
            if (!m_http->DoOnRedirect(location, method, m_http->m_redirectCount))
                RaiseProtocolError();
            request.URL = location;
            request.Method = method;
            result = TNetHTTPNextStep::FollowNewURL;
        } else {
            if (!m_http->DoOnRedirect(location, method, m_http->m_redirectCount))
                RaiseProtocolError();
            response.SetLocation(location);
            result = TNetHTTPNextStep::Done;
        }
        if (m_http->IsConnected())
            DiscardBody();
        return result;
    }

    TNetHTTPNextStep result = TNetHTTPNextStep::Undecided;
    bool inProcessAuth = false;
    if (code / 100 != 2) {
        result = TNetHTTPNextStep::FollowNewURL;
        if (code == 401) {
            if (m_http->m_authRetryCount >= m_http->AuthRetries() || !m_http->DoOnAuthorization()) {
                if (request.Authentication())
                    request.Authentication()->Reset();
                RaiseProtocolError();
            }
        } else if (code == 407) {
            if (m_http->m_proxyAuthRetryCount >= m_http->AuthRetries() || !m_http->DoOnProxyAuthorization()) {
                if (m_http->ProxyParams().Authentication())
                    m_http->ProxyParams().Authentication()->Reset();
                RaiseProtocolError();
            }
        } else {
            RaiseProtocolError();
        }
        m_http->m_authorizationRetry = true;
        inProcessAuth = (m_http->HTTPOptions() & hoInProcessAuth) != 0;
    }

    if (m_http->IsConnected()) {
        if (inProcessAuth) {
            DiscardBody();
            result = TNetHTTPNextStep::RepeatRequest;
        } else if (m_http->m_authorizationRetry) {
            // Without in-process authorization the request goes again on a
            // new connection; the 401/407 body is not the caller's content.
            DiscardBody();
            m_http->CloseConnection();
            result = TNetHTTPNextStep::FollowNewURL;
        } else {
            if (code != 204)
                ReadBody();
            result = TNetHTTPNextStep::Done;
        }
    }
    return result;
}

// ---------------------------------------------------------------- TNetCustomHTTP

TNetCustomHTTP::TNetCustomHTTP()
    : m_targetURI(std::make_unique<TNetURI>()), m_protocol(std::make_unique<TNetHTTPProtocol>(this)),
      m_proxyParams(std::make_unique<TNetProxyConnectionInfo>())
{
    m_targetURI->Port = "80";
    m_proxyParams->Clear();
    TNetTCPClient::SetPort(80);
}

TNetCustomHTTP::~TNetCustomHTTP()
{
    if (m_cookieManager) {
        if (m_ownsCookieManager)
            delete m_cookieManager;
        else
            m_cookieManager->DetachClient(this);
    }
    m_cookieManager = nullptr;
    CloseSocketOnly();
}

void TNetCustomHTTP::SetHost(const std::string& host)
{
    TNetTCPClient::SetHost(host);
    if (m_targetURI)
        m_targetURI->Host = host;
}

void TNetCustomHTTP::SetPort(int port)
{
    TNetTCPClient::SetPort(port);
    if (m_targetURI)
        m_targetURI->Port = std::to_string(port);
}

void TNetCustomHTTP::SetCookieManager(TNetCookieManager* manager)
{
    if (manager == m_cookieManager)
        return;
    if (m_cookieManager) {
        if (m_ownsCookieManager)
            delete m_cookieManager;
        else
            m_cookieManager->DetachClient(this);
    }
    m_cookieManager = manager;
    m_ownsCookieManager = false;
    if (manager)
        manager->AttachClient(this);
}

void TNetCustomHTTP::CookieManagerDestroyed(TNetCookieManager* manager)
{
    if (manager == m_cookieManager) {
        m_cookieManager = nullptr;
        m_ownsCookieManager = false;
    }
}

std::string TNetCustomHTTP::GetAsString(const std::string& url)
{
    TNetMemoryStream stream;
    GetToStream(url, stream);
    return stream.Size() > 0 ? stream.DataString() : std::string();
}

void TNetCustomHTTP::GetToStream(const std::string& url, TNetStream& stream)
{
    DoRequest(hmGet, url, nullptr, &stream);
}

void TNetCustomHTTP::Head(const std::string& url) { DoRequest(hmHead, url, nullptr, nullptr); }

void TNetCustomHTTP::Post(const std::string& url, TNetStream& source, TNetStream& response)
{
    DoRequest(hmPost, url, &source, &response);
}

std::string TNetCustomHTTP::PostAsString(const std::string& url, TNetStream& source)
{
    TNetMemoryStream stream;
    Post(url, source, stream);
    return stream.DataString();
}

void TNetCustomHTTP::DoRequest(TNetHTTPMethod method, const std::string& url, TNetStream* source,
                               TNetStream* contentStream)
{
    const int64_t start = contentStream ? contentStream->Position() : 0;
    m_authRetryCount = 0;
    m_proxyAuthRetryCount = 0;
    m_streamOutOfStep = false;
    TNetHTTPRequest& request = Request();
    TNetHTTPResponse& response = Response();
    request.URL = url;
    request.Method = method;
    request.Source = source;
    response.ContentStream = contentStream;

    try {
        bool done = false;
        while (!done) {
            ++m_redirectCount;
            PrepareRequest();
            response.StatusLine = SendAndReadStatusLine();
            for (;;) {
                m_protocol->ReadResponseHeaders();
                ProcessCookies();
                if (response.StatusCode() != 100)
                    break;
                response.StatusLine = ReadLine();
            }

            switch (m_protocol->DecideNextStep()) {
            case TNetHTTPNextStep::Done:
                done = true;
                break;
            case TNetHTTPNextStep::FollowNewURL:
                if (contentStream) {
                    contentStream->SetPosition(start);
                    contentStream->SetSize(start);
                }
                // A redirect starts the authorization count afresh; an
                // authorization retry keeps counting, so a server that
                // refuses every attempt ends the request after AuthRetries.
                if (!m_authorizationRetry) {
                    m_authRetryCount = 0;
                    m_proxyAuthRetryCount = 0;
                }
                break;
            case TNetHTTPNextStep::RepeatRequest:
                --m_redirectCount;
                request.URL = url;
                break;
            case TNetHTTPNextStep::Undecided:
                throw ENetException("Undefined situation");
            }
        }
    } catch (const ENetHTTPProtocolException&) {
        // An error reply is read to its end; the connection may serve again.
        try {
            FinishRequest();
        } catch (const Exception&) {
        }
        throw;
    } catch (...) {
        // Anything else may have stopped in the middle of a reply.
        m_streamOutOfStep = true;
        try {
            FinishRequest();
        } catch (const Exception&) {
            // The request's own failure is the one to report.
        }
        throw;
    }
    FinishRequest();
}

void TNetCustomHTTP::FinishRequest()
{
    m_redirectCount = 0;
    if (m_streamOutOfStep || !Response().KeepAlive()) {
        m_streamOutOfStep = false;
        if (IsConnected())
            CloseConnection();
    }
}

void TNetCustomHTTP::PrepareRequest()
{
    TNetHTTPRequest& request = Request();
    TNetURI& target = *m_targetURI;
    const TNetURI next(request.URL);

    if (!next.Username.empty()) {
        request.SetUsername(next.Username);
        request.SetPassword(next.Password);
    }
    target.Username = request.Username();
    target.Password = request.Password();

    target.Path = ResolvePath(target.Path, next.Path, "/");
    target.Document = next.Document;
    target.Params = next.Params;
    if (!next.Host.empty())
        target.Host = next.Host;
    // A relative URL (a redirect to "/path", say) stays on the current
    // scheme like it stays on the current host: "https" must not turn into
    // plain "http" on the same port.
    if (!next.Protocol.empty())
        target.Protocol = next.Protocol;
    else if (!next.Host.empty() || target.Protocol.empty())
        target.Protocol = "http";

    if (!next.Port.empty()) {
        target.Port = next.Port;
    } else {
        // A port given once stays for later relative or port-less URLs;
        // only the defaults follow the protocol.
        int current = 0;
        if (!NetTryStrToInt(target.Port, current))
            current = 0;
        if (current == 0 || current == 80 || current == 443) {
            if (SameText(target.Protocol, "http"))
                target.Port = "80";
            else if (SameText(target.Protocol, "https"))
                target.Port = "443";
            else
                throw ENetUnknownProtocol("Unknown Protocol");
        }
    }

    request.URL = target.Path + target.Document + target.Params;
    if (request.Method == hmOptions && next.Document == "*")
        request.URL = "*";

    if (m_protocolVersion == pv1_0
        && (request.Method == hmOptions || request.Method == hmTrace || request.Method == hmPut
            || request.Method == hmDelete))
        throw ENetException("This request method is supported in HTTP 1.1");

    if (request.Method == hmPost || request.Method == hmPut) {
        const int64_t size = request.Source ? request.Source->Size() : 0;
        request.SetContentLength(static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX)));
    } else {
        request.SetContentLength(-1);
    }

    request.SetHost(target.Port == "80" ? target.Host : target.Host + ":" + target.Port);
}

TNetHTTPConnectionType TNetCustomHTTP::ChooseHostAndPort()
{
    const TNetURI& target = *m_targetURI;
    const bool https = SameText(target.Protocol, "https");
    auto* tls = dynamic_cast<TNetIOHandlerTLS*>(IOHandler());
    // "https" needs a TLS transport; the tunnel through a proxy (CONNECT) is
    // not built, so a proxy serves plain "http" only.
    if (https && (!tls || !m_proxyParams->ProxyServer().empty()))
        throw ENetIOHandlerPropInvalid();

    if (m_proxyParams->ProxyServer().empty()) {
        const int port = NetStrToInt(target.Port);
        const TNetTLSMode mode = https ? TNetTLSMode::Encrypting : TNetTLSMode::PassThrough;
        // A connection kept from the other scheme cannot serve this one.
        const bool schemeChanged = tls && IsConnected() && tls->Encrypted() != https;
        if (!SameText(Host(), target.Host) || Port() != port || schemeChanged) {
            if (IsConnected())
                CloseConnection();
            SetHost(target.Host);
            SetPort(port);
        }
        if (tls)
            tls->SetMode(mode);
        return https ? ConnectTLS : ConnectDirect;
    }
    if (tls)
        tls->SetMode(TNetTLSMode::PassThrough);
    if (!SameText(Host(), m_proxyParams->ProxyServer()) || Port() != m_proxyParams->ProxyPort()) {
        if (IsConnected())
            CloseConnection();
        // The plain setters: TargetURI keeps the origin server.
        TNetTCPClient::SetHost(m_proxyParams->ProxyServer());
        TNetTCPClient::SetPort(m_proxyParams->ProxyPort());
    }
    return ConnectViaProxy;
}

void TNetCustomHTTP::OpenConnection()
{
    TNetHTTPRequest& request = Request();
    request.ConnectionKind = ChooseHostAndPort();
    if (request.ConnectionKind == ConnectViaProxy)
        request.URL = m_targetURI->RequestURI();

    if (m_protocolVersion == pv1_0 && request.Connection().empty()) {
        if (request.ConnectionKind == ConnectDirect)
            request.SetConnection("keep-alive");
        else if (request.ConnectionKind == ConnectViaProxy)
            request.SetProxyConnection("keep-alive");
    }

    EnsureConnected();
    m_protocol->SendRequest(m_targetURI.get());
    if ((request.Method == hmPost || request.Method == hmPut) && request.Source)
        WriteFromStream(*request.Source, true);
}

namespace {
// Requests that may go twice without harm; a body from a stream is sent once.
bool Repeatable(TNetHTTPMethod method) { return method != hmPost && method != hmPut && method != hmConnect; }

// What a server's close of an idle kept-alive connection looks like to the
// request that was sent over it just then.
bool ClosedUnderneath(const ENetSocketError& e)
{
    const int code = e.LastError();
    return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN || code == WSAENOTCONN;
}
} // namespace

std::string TNetCustomHTTP::SendAndReadStatusLine()
{
    // A server may close a kept-alive connection at any moment it is idle;
    // when that moment falls between our check and our request, the close
    // reaches us instead of an answer. Nothing of the request was handled
    // then, so it goes once more on a new connection, as browsers do.
    try {
        OpenConnection();
        return ReadLine();
    } catch (const ENetConnClosedGracefully&) {
        if (!m_reusedConnection || !Repeatable(Request().Method))
            throw;
    } catch (const ENetSocketError& e) {
        if (!m_reusedConnection || !Repeatable(Request().Method) || !ClosedUnderneath(e))
            throw;
    }
    if (IsConnected())
        CloseConnection();
    OpenConnection();
    return ReadLine();
}

void TNetCustomHTTP::EnsureConnected()
{
    if (!Response().KeepAlive() && IsConnected())
        CloseConnection();
    PollClosed(false);
    m_reusedConnection = IsConnected();
    if (!IsConnected())
        ConnectToHost(ReadTimeout());
}

void TNetCustomHTTP::ProcessCookies()
{
    if (!m_cookieManager && m_allowCookies) {
        m_cookieManager = new TNetCookieManager();
        m_ownsCookieManager = true;
    }
    if (!m_cookieManager)
        return;
    TNetHeaderList values;
    Response().RawHeaders().ExtractValues("Set-cookie", &values);
    for (const std::string& value : values.Lines())
        m_cookieManager->AddServerCookie(value, m_targetURI->Host);
    values.Clear();
    Response().RawHeaders().ExtractValues("Set-cookie2", &values);
    for (const std::string& value : values.Lines())
        m_cookieManager->AddServerCookie2(value, m_targetURI->Host);
}

bool TNetCustomHTTP::DoOnRedirect(std::string& location, TNetHTTPMethod& method, int redirectCount)
{
    bool handled = m_handleRedirects;
    if (OnRedirect) {
        int count = redirectCount;
        OnRedirect(this, location, count, handled, method);
    }
    return handled;
}

bool TNetCustomHTTP::AskForCredentials(TNetAuthentication& authentication, const TNetOnAuthorization& handler,
                                       bool proxy)
{
    TNetHTTPRequest& request = Request();
    auto giveCredentials = [&]() {
        authentication.SetUsername(proxy ? m_proxyParams->ProxyUsername() : request.Username());
        authentication.SetPassword(proxy ? m_proxyParams->ProxyPassword() : request.Password());
    };
    giveCredentials();
    authentication.SetAuthParams(proxy ? Response().ProxyAuthenticate() : Response().WWWAuthenticate());
    // A handler that claims success without supplying what the scheme asks
    // for would be asked forever; it gets AuthRetries chances.
    for (int asked = 0;;) {
        switch (authentication.Next()) {
        case wnDoRequest:
            return true;
        case wnFail:
            return false;
        case wnAskTheProgram: {
            if (asked++ >= std::max(1, m_authRetries))
                return false;
            giveCredentials();
            bool handled = false;
            handler(this, &authentication, handled);
            if (!handled)
                return false;
            if (proxy) {
                m_proxyParams->SetBasicAuthentication(true);
                m_proxyParams->SetProxyUsername(authentication.Username());
                m_proxyParams->SetProxyPassword(authentication.Password());
            } else {
                request.SetBasicAuthentication(true);
                request.SetUsername(authentication.Username());
                request.SetPassword(authentication.Password());
            }
            break;
        }
        }
    }
}

namespace {

// The first challenge whose scheme has a registered class.
TNetAuthenticationClass SchemeOf(const TNetHeaderList& challenges)
{
    for (const std::string& line : challenges.Lines()) {
        std::string rest = line;
        if (TNetAuthenticationClass found = FindAuthScheme(CutField(rest, " ")))
            return found;
    }
    return nullptr;
}

} // namespace

bool TNetCustomHTTP::DoOnAuthorization()
{
    ++m_authRetryCount;
    TNetHTTPRequest& request = Request();
    if (!request.Authentication()) {
        TNetAuthenticationClass authClass = SchemeOf(Response().WWWAuthenticate());
        if (!authClass)
            return false;
        if (OnSelectAuthorization)
            OnSelectAuthorization(this, authClass, Response().WWWAuthenticate());
        if (!authClass || !authClass->Create)
            return false;
        request.SetAuthentication(authClass->Create());
    }
    if (!OnAuthorization)
        return false;
    return AskForCredentials(*request.Authentication(), OnAuthorization, false);
}

bool TNetCustomHTTP::DoOnProxyAuthorization()
{
    ++m_proxyAuthRetryCount;
    if (!m_proxyParams->Authentication()) {
        TNetAuthenticationClass authClass = SchemeOf(Response().ProxyAuthenticate());
        if (!authClass)
            return false;
        if (OnSelectProxyAuthorization)
            OnSelectProxyAuthorization(this, authClass, Response().ProxyAuthenticate());
        if (!authClass || !authClass->Create)
            return false;
        m_proxyParams->SetAuthentication(authClass->Create());
    }
    // The password that failed is not offered again.
    m_proxyParams->SetProxyPassword("");
    m_proxyParams->Authentication()->Reset();
    if (!OnProxyAuthorization)
        return false;
    return AskForCredentials(*m_proxyParams->Authentication(), OnProxyAuthorization, true);
}

void TNetCustomHTTP::NotifyDisconnected()
{
    TNetTCPClient::NotifyDisconnected();
    if (!m_protocol)
        return;
    TNetHTTPRequest& request = m_protocol->Request();
    if (TNetAuthentication* auth = request.Authentication(); auth && auth->CurrentStep() >= auth->Steps())
        request.SetAuthentication(nullptr);
    if (m_proxyParams && m_proxyParams->Authentication())
        m_proxyParams->Authentication()->Reset();
}
