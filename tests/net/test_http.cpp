// The HTTP client against real servers on loopback: a scripted server that
// checks the exact request bytes and plays good and hostile replies, and
// Python's http.server.

#include "net/NetHTTP.h"
#include "net/NetHTTPBounded.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using testsupport::HttpRecordedRequest;
using testsupport::HttpScriptedReply;
using testsupport::HttpTestServer;

namespace {

const char kUserAgent[] = "Mozilla/3.0 (compatible; Lumora)";

// A server that answers every request with the same reply.
HttpTestServer::Handler Always(const std::string& bytes, bool close = false)
{
    return [bytes, close](int, const HttpRecordedRequest&) { return HttpScriptedReply {bytes, close}; };
}

// A server that answers the requests in turn with the given replies (the last
// one repeats).
HttpTestServer::Handler InTurn(std::vector<HttpScriptedReply> replies)
{
    return [replies](int index, const HttpRecordedRequest&) {
        return replies[std::min<std::size_t>(static_cast<std::size_t>(index), replies.size() - 1)];
    };
}

// The client as the main window configures it, with a read time-out so that a
// fault shows up as a failure rather than a hang.
void ConfigureLikeMainWindow(TNetHTTP& http)
{
    http.SetAllowCookies(true);
    http.SetHTTPOptions(hoForceEncodeParams);
    http.Request().SetContentType("text/html");
    http.Request().SetAccept("text/html, */*");
    http.Request().SetUserAgent(kUserAgent);
    http.Request().SetContentLength(-1);
    http.Request().SetBasicAuthentication(false);
    http.ProxyParams().SetBasicAuthentication(false);
    http.ProxyParams().SetProxyPort(0);
    http.SetMaxLineAction(maException);
    http.SetReadTimeout(10000);
}

std::string DefaultRequest(const HttpTestServer& server, const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\n"
           "Content-Type: text/html\r\n"
           "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
           "Accept: text/html, */*\r\n"
           "User-Agent: " + kUserAgent + "\r\n\r\n";
}

TEST(NetHTTP, GetSendsExactlyTheDefaultRequest)
{
    HttpTestServer server(Always(HttpTestServer::Reply(
        "HTTP/1.1 200 OK", "<html><body>Address: 1.2.3.4</body></html>", {"Content-Type: text/html"})));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    EXPECT_EQ(http.GetAsString(server.Url("")), "<html><body>Address: 1.2.3.4</body></html>");
    EXPECT_EQ(http.GetAsString(server.Url("/ip.php?x=1#top")), "<html><body>Address: 1.2.3.4</body></html>");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, DefaultRequest(server, "/"));
    // The bookmark never leaves the client.
    EXPECT_EQ(requests[1].raw, DefaultRequest(server, "/ip.php?x=1"));
    EXPECT_EQ(http.Response().StatusCode(), 200);
    EXPECT_EQ(http.RedirectCount(), 0);
}

TEST(NetHTTP, BodyFramingTable)
{
    struct {
        const char* name;
        std::string reply;
        bool close;
        std::string body;
    } const cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nhello, world and more", false, "hello, world"},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false, "hello"},
        {"chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3 \r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n",
         false, "abc0123456789"},
        // A size line with an extension does not read as a number: the body ends.
        {"extension", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n0\r\n\r\n", false,
         ""},
        {"until close", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nall of it\r\nand this", true,
         "all of it\r\nand this"},
        {"empty", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, ""},
        {"204", "HTTP/1.1 204 No Content\r\n\r\n", false, ""},
        {"short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this", true, "only this"},
        {"continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, "ok"},
        {"binary", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n" + std::string("\0\r\n\xff", 4), false,
         std::string("\0\r\n\xff", 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer server(Always(c.reply, c.close));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        std::vector<std::string> statusTexts;
        http.OnStatus = [&](TNetBaseComponent*, TNetStatus status, const std::string& text) {
            if (status == hsStatusText)
                statusTexts.push_back(text);
        };
        EXPECT_EQ(http.GetAsString(server.Url("/x")), c.body);
        const bool chunked = c.reply.find("chunked") != std::string::npos;
        EXPECT_EQ(statusTexts, chunked ? std::vector<std::string> {"Chunk Started"} : std::vector<std::string> {});
    }
}

TEST(NetHTTP, GetToStreamAppendsAtTheStreamPosition)
{
    HttpTestServer server(Always(HttpTestServer::Reply("HTTP/1.1 200 OK", "body")));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    TNetMemoryStream stream(std::string("head:"));
    stream.Seek(0, soEnd);
    http.GetToStream(server.Url("/"), stream);
    EXPECT_EQ(stream.DataString(), "head:body");
}

TEST(NetHTTP, ErrorRepliesRaiseWithStatusLineCodeAndBody)
{
    struct {
        std::string reply;
        const char* message;
        int code;
        const char* body;
    } const cases[] = {
        {HttpTestServer::Reply("HTTP/1.1 404 Not Found", "nope"), "HTTP/1.1 404 Not Found", 404, "nope"},
        {HttpTestServer::Reply("HTTP/1.1 500 Internal Server Error", ""), "HTTP/1.1 500 Internal Server Error",
         500, ""},
        {"HTTP/1.1 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbusy\r\n0\r\n\r\n", "HTTP/1.1 503 Busy", 503,
         "busy"},
        // 304 without a Location is an error too.
        {HttpTestServer::Reply("HTTP/1.1 304 Not Modified", ""), "HTTP/1.1 304 Not Modified", 304, ""},
        // ... also when, as usual, it has no Content-Length: it has no body to wait for.
        {"HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n", "HTTP/1.1 304 Not Modified", 304, ""},
        // A status line that is not HTTP has no code.
        {HttpTestServer::Reply("SSH-2.0-OpenSSH_9.2", "x"), "SSH-2.0-OpenSSH_9.2", -1, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        HttpTestServer server(Always(c.reply));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        try {
            http.GetAsString(server.Url("/missing"));
            ADD_FAILURE() << "no exception";
        } catch (const ENetHTTPProtocolException& e) {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_EQ(e.ReplyErrorCode(), c.code);
            EXPECT_EQ(e.ErrorMessage(), c.body);
        }
        // The error reply was read to its end: the connection serves the next request.
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

TEST(NetHTTP, KeepAliveFollowsProtocolVersionAndConnectionHeader)
{
    struct {
        const char* name;
        TNetHTTPProtocolVersion version;
        const char* connectionHeader; // in the reply, "" for none
        int connections;              // for two requests
    } const cases[] = {
        {"1.1 default", pv1_1, "", 1},
        {"1.1 close", pv1_1, "Connection: CLOSE", 2},
        {"1.1 Close", pv1_1, "connection:  close ", 2},
        {"1.0 default", pv1_0, "", 2},
        {"1.0 keep-alive", pv1_0, "Connection: Keep-Alive", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> headers;
        if (*c.connectionHeader)
            headers.push_back(c.connectionHeader);
        HttpTestServer server(Always(HttpTestServer::Reply("HTTP/1.1 200 OK", "x", headers)));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        http.SetProtocolVersion(c.version);
        EXPECT_EQ(http.GetAsString(server.Url("/a")), "x");
        EXPECT_EQ(http.IsConnected(), c.connections == 1);
        EXPECT_EQ(http.GetAsString(server.Url("/b")), "x");
        EXPECT_EQ(server.ConnectionCount(), c.connections);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        if (c.version == pv1_0) {
            EXPECT_EQ(requests[0].RequestLine(), "GET /a HTTP/1.0");
            EXPECT_NE(requests[0].raw.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(requests[0].raw.find("Connection:"), std::string::npos);
        }
    }
}

TEST(NetHTTP, PeerClosingAKeptConnectionIsNoticedBeforeTheNextRequest)
{
    // The server closes after each reply although the reply allows keep-alive.
    HttpTestServer server(Always(HttpTestServer::Reply("HTTP/1.1 200 OK", "x"), true));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    EXPECT_EQ(http.GetAsString(server.Url("/")), "x");
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the close arrive
    EXPECT_EQ(http.GetAsString(server.Url("/")), "x");
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(NetHTTP, AKeptConnectionClosedUnderTheRequestIsTriedOnceMoreOnlyForRequestsWithoutABody)
{
    // The server answers, then closes the kept connection just as the next
    // request arrives, unanswered: what a server's idle time-out does when it
    // falls between the client's check and its request.
    const std::vector<HttpScriptedReply> script {
        {HttpTestServer::Reply("HTTP/1.1 200 OK", "first"), false},
        {"", true},
        {HttpTestServer::Reply("HTTP/1.1 200 OK", "second"), false},
    };
    {
        HttpTestServer server(InTurn(script));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        EXPECT_EQ(http.GetAsString(server.Url("/")), "first");
        EXPECT_EQ(http.GetAsString(server.Url("/")), "second");
        EXPECT_EQ(server.ConnectionCount(), 2);
        EXPECT_EQ(server.Requests().size(), 3u);
    }
    {
        // A body from a stream is not sent twice: the close is the answer.
        HttpTestServer server(InTurn(script));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        EXPECT_EQ(http.GetAsString(server.Url("/")), "first");
        TNetMemoryStream source;
        source.Write("a=1", 3);
        EXPECT_THROW(http.PostAsString(server.Url("/"), source), ENetConnClosedGracefully);
        EXPECT_EQ(server.Requests().size(), 2u);
    }
    {
        // A first request on a new connection is not repeated either.
        HttpTestServer server(Always("", true));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        EXPECT_THROW(http.GetAsString(server.Url("/")), ENetConnClosedGracefully);
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

TEST(NetHTTP, AnAnswerCutShortIsKeptButMarkedAndRefusedByTheBoundedGet)
{
    struct {
        const char* name;
        std::string reply;
        bool complete;
    } const cases[] = {
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.1", false},
        {"whole", "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.1", true},
        {"until close", "HTTP/1.0 200 OK\r\n\r\n203.0.113.1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // "cut short" announces 12 bytes and closes after 11.
        std::string reply = c.reply;
        if (!c.complete)
            reply.replace(reply.find("11"), 2, "12");
        {
            HttpTestServer server(Always(reply, true));
            TNetHTTP http;
            ConfigureLikeMainWindow(http);
            EXPECT_EQ(http.GetAsString(server.Url("/")), "203.0.113.1");
            EXPECT_EQ(http.Response().BodyComplete(), c.complete);
        }
        HttpTestServer server(Always(reply, true));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        if (c.complete) {
            EXPECT_EQ(GetAsStringBounded(http, server.Url("/"), 4096), "203.0.113.1");
        } else {
            try {
                GetAsStringBounded(http, server.Url("/"), 4096);
                ADD_FAILURE() << "an answer cut short was taken";
            } catch (const ENetAnswerCutShort& e) {
                EXPECT_EQ(e.Message(), "The answer ended after 11 of its 12 bytes.");
            }
        }
    }
}

TEST(NetHTTP, RedirectsRefusedOrFollowed)
{
    const std::string found = HttpTestServer::Reply("HTTP/1.1 302 Found", "moved", {"Location: b.htm"});
    const std::string ok = HttpTestServer::Reply("HTTP/1.1 200 OK", "target");
    {
        SCOPED_TRACE("not handled");
        HttpTestServer server(InTurn({{found}, {ok}}));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        try {
            http.GetAsString(server.Url("/dir/a.htm"));
            ADD_FAILURE() << "no exception";
        } catch (const ENetHTTPProtocolException& e) {
            EXPECT_EQ(e.ReplyErrorCode(), 302);
            EXPECT_EQ(e.ErrorMessage(), "moved");
        }
        EXPECT_EQ(server.Requests().size(), 1u);
    }
    {
        SCOPED_TRACE("relative location followed");
        HttpTestServer server(InTurn({{found}, {ok}}));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        http.SetHandleRedirects(true);
        EXPECT_EQ(http.GetAsString(server.Url("/dir/a.htm")), "target");
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].raw, DefaultRequest(server, "/dir/b.htm"));
        EXPECT_EQ(server.ConnectionCount(), 1);
    }
    {
        SCOPED_TRACE("200 with Location");
        HttpTestServer server(
            InTurn({{HttpTestServer::Reply("HTTP/1.1 200 OK", "first", {"Location: /other/c.htm"})}, {ok}}));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        http.SetHandleRedirects(true);
        EXPECT_EQ(http.GetAsString(server.Url("/a")), "target");
        ASSERT_EQ(server.Requests().size(), 2u);
        EXPECT_EQ(server.Requests()[1].RequestLine(), "GET /other/c.htm HTTP/1.1");
    }
    {
        SCOPED_TRACE("OnRedirect changes the target and the method");
        HttpTestServer server(InTurn({{found}, {ok}}));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        http.SetHandleRedirects(true);
        std::vector<int> counts;
        http.OnRedirect = [&](TNetCustomHTTP*, std::string& dest, int& count, bool& handled, TNetHTTPMethod& method) {
            counts.push_back(count);
            EXPECT_EQ(dest, "b.htm");
            EXPECT_TRUE(handled); // starts as HandleRedirects
            dest = "/z.htm";
            method = hmHead;
        };
        http.GetAsString(server.Url("/a"));
        EXPECT_EQ(counts, std::vector<int> {1});
        ASSERT_EQ(server.Requests().size(), 2u);
        EXPECT_EQ(server.Requests()[1].RequestLine(), "HEAD /z.htm HTTP/1.1");
    }
    {
        SCOPED_TRACE("OnRedirect accepts without HandleRedirects: done, target reported");
        HttpTestServer server(InTurn({{found}, {ok}}));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        http.OnRedirect = [&](TNetCustomHTTP*, std::string& dest, int&, bool& handled, TNetHTTPMethod&) {
            EXPECT_FALSE(handled);
            dest = "/seen.htm";
            handled = true;
        };
        EXPECT_EQ(http.GetAsString(server.Url("/a")), "");
        EXPECT_EQ(http.Response().Location(), "/seen.htm");
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

TEST(NetHTTP, RedirectLoopStopsAfterFourteenFollows)
{
    HttpTestServer server(Always(HttpTestServer::Reply("HTTP/1.1 302 Found", "", {"Location: /loop"})));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    http.SetHandleRedirects(true);
    EXPECT_EQ(http.GetAsString(server.Url("/start")), "");
    EXPECT_EQ(server.Requests().size(), 15u);
    EXPECT_EQ(http.Response().Location(), "/loop");
    EXPECT_EQ(http.RedirectCount(), 0);

    // Refused by OnRedirect at the limit: the last redirect raises.
    int calls = 0;
    http.OnRedirect = [&](TNetCustomHTTP*, std::string&, int& count, bool& handled, TNetHTTPMethod&) {
        ++calls;
        if (count >= 15)
            handled = false;
    };
    EXPECT_THROW(http.GetAsString(server.Url("/start")), ENetHTTPProtocolException);
    EXPECT_EQ(calls, 15);
}

TEST(NetHTTP, CookiesAreKeptAndSentBackByPath)
{
    HttpTestServer server(InTurn({
        {HttpTestServer::Reply("HTTP/1.1 200 OK", "one",
                               {"Set-Cookie: a=1; path=/", "Set-Cookie: nopath=2", "set-cookie: deep=3; Path=/dir"})},
        {HttpTestServer::Reply("HTTP/1.1 200 OK", "two")},
    }));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    ASSERT_EQ(http.CookieManager(), nullptr);
    http.GetAsString(server.Url("/"));
    ASSERT_NE(http.CookieManager(), nullptr);
    EXPECT_TRUE(http.OwnsCookieManager());
    EXPECT_EQ(http.CookieManager()->CookieCount(), 3);
    http.GetAsString(server.Url("/dir/page.htm"));
    http.GetAsString(server.Url("/"));

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].raw.find("Cookie:"), std::string::npos);
    EXPECT_NE(requests[1].raw.find("\r\nCookie: deep=3; a=1\r\n"), std::string::npos) << requests[1].raw;
    EXPECT_NE(requests[2].raw.find("\r\nCookie: a=1\r\n"), std::string::npos) << requests[2].raw;

    // Without AllowCookies no manager is made and nothing is sent.
    TNetHTTP plain;
    ConfigureLikeMainWindow(plain);
    plain.SetAllowCookies(false);
    plain.GetAsString(server.Url("/"));
    EXPECT_EQ(plain.CookieManager(), nullptr);
}

TEST(NetHTTP, AssignedCookieManagerIsSharedAndForgottenWhenDestroyed)
{
    HttpTestServer server(Always(HttpTestServer::Reply("HTTP/1.1 200 OK", "x", {"Set-Cookie: s=1; path=/"})));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    {
        TNetCookieManager manager;
        http.SetCookieManager(&manager);
        EXPECT_FALSE(http.OwnsCookieManager());
        http.GetAsString(server.Url("/"));
        EXPECT_EQ(manager.CookieCount(), 1);
    }
    EXPECT_EQ(http.CookieManager(), nullptr);
    http.GetAsString(server.Url("/")); // makes its own again
    EXPECT_TRUE(http.OwnsCookieManager());
}

const std::string kChallenge = HttpTestServer::Reply("HTTP/1.1 401 Unauthorized", "who are you",
                                                     {"WWW-Authenticate: Basic realm=\"lumora\""});

TEST(NetHTTP, BasicAuthenticationThroughOnAuthorization)
{
    for (const bool inProcess : {false, true}) {
        SCOPED_TRACE(inProcess ? "in process" : "new connection");
        HttpTestServer server([](int, const HttpRecordedRequest& request) {
            if (request.raw.find("\r\nAuthorization: Basic dXNlcjpwYXNz\r\n") != std::string::npos)
                return HttpScriptedReply {HttpTestServer::Reply("HTTP/1.1 200 OK", "welcome")};
            return HttpScriptedReply {kChallenge};
        });
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        if (inProcess)
            http.SetHTTPOptions(hoInProcessAuth);
        std::string realm;
        http.OnAuthorization = [&](TNetCustomHTTP*, TNetAuthentication* auth, bool& handled) {
            realm = static_cast<TNetBasicAuthentication*>(auth)->Realm();
            auth->SetUsername("user");
            auth->SetPassword("pass");
            handled = true;
        };
        EXPECT_EQ(http.GetAsString(server.Url("/secret")), "welcome");
        EXPECT_EQ(realm, "lumora");
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].raw.find("Authorization"), std::string::npos);
        EXPECT_EQ(requests[1].RequestLine(), "GET /secret HTTP/1.1");
        EXPECT_EQ(server.ConnectionCount(), inProcess ? 1 : 2);
        EXPECT_EQ(http.Request().Username(), "user");
    }
}

TEST(NetHTTP, RefusedAuthenticationRaises401)
{
    struct {
        const char* name;
        bool handler;
        bool handled;
        std::size_t requests;
    } const cases[] = {
        {"no handler", false, false, 1},
        {"handler gives up", true, false, 1},
        // Wrong credentials every time: the client stops after AuthRetries attempts.
        {"always refused", true, true, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer server(Always(kChallenge, true));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        if (c.handler) {
            const bool handled = c.handled;
            http.OnAuthorization = [handled](TNetCustomHTTP*, TNetAuthentication* auth, bool& h) {
                auth->SetUsername("user");
                auth->SetPassword("wrong");
                h = handled;
            };
        }
        try {
            http.GetAsString(server.Url("/secret"));
            ADD_FAILURE() << "no exception";
        } catch (const ENetHTTPProtocolException& e) {
            EXPECT_EQ(e.ReplyErrorCode(), 401);
            EXPECT_EQ(e.ErrorMessage(), "who are you");
        }
        EXPECT_EQ(server.Requests().size(), c.requests);
    }
}

TEST(NetHTTP, ProxyGetsTheAbsoluteTargetAndItsOwnCredentials)
{
    // The scripted server plays the proxy: it asks for credentials once.
    HttpTestServer proxy([](int, const HttpRecordedRequest& request) {
        if (request.raw.find("\r\nProxy-Authorization: Basic cHU6cHA=\r\n") != std::string::npos)
            return HttpScriptedReply {HttpTestServer::Reply("HTTP/1.1 200 OK", "via proxy")};
        return HttpScriptedReply {HttpTestServer::Reply("HTTP/1.1 407 Proxy Authentication Required", "",
                                                        {"Proxy-Authenticate: Basic realm=\"proxy\""})};
    });
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    http.ProxyParams().SetProxyServer("127.0.0.1");
    http.ProxyParams().SetProxyPort(proxy.Port());
    int asked = 0;
    http.OnProxyAuthorization = [&](TNetCustomHTTP*, TNetAuthentication* auth, bool& handled) {
        ++asked;
        auth->SetUsername("pu");
        auth->SetPassword("pp");
        handled = true;
    };
    EXPECT_EQ(http.GetAsString("http://origin.invalid/x.htm"), "via proxy");
    EXPECT_EQ(asked, 1);
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, "GET http://origin.invalid:80/x.htm HTTP/1.1\r\n"
                               "Content-Type: text/html\r\n"
                               "Host: origin.invalid\r\n"
                               "Accept: text/html, */*\r\n"
                               "User-Agent: Mozilla/3.0 (compatible; Lumora)\r\n\r\n");
    EXPECT_EQ(requests[1].RequestLine(), "GET http://origin.invalid:80/x.htm HTTP/1.1");
    // The origin's own Authorization header is not involved.
    EXPECT_EQ(requests[1].raw.find("\r\nAuthorization:"), std::string::npos);
    EXPECT_EQ(http.TargetURI().Host, "origin.invalid");
}

TEST(NetHTTP, PostSendsTheSourceWithItsLength)
{
    HttpTestServer server(Always(HttpTestServer::Reply("HTTP/1.1 200 OK", "got it")));
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    TNetMemoryStream source(std::string("a=1&b=2"));
    EXPECT_EQ(http.PostAsString(server.Url("/form"), source), "got it");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw, "POST /form HTTP/1.1\r\n"
                               "Content-Type: text/html\r\n"
                               "Content-Length: 7\r\n"
                               "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
                               "Accept: text/html, */*\r\n"
                               "User-Agent: Mozilla/3.0 (compatible; Lumora)\r\n\r\n"
                               "a=1&b=2");
}

TEST(NetHTTP, TransportAndRequestFailures)
{
    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    // With a read time-out the connect runs in a thread and reports its error
    // as ENetConnectException; the main window's 0 connects directly.
    http.SetReadTimeout(0);
    try {
        http.GetAsString("http://127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()) + "/");
        ADD_FAILURE() << "no exception";
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.LastError(), 10061);
    }
    EXPECT_THROW(http.GetAsString("https://127.0.0.1/"), ENetIOHandlerPropInvalid);
    // Only a client still on a default port knows no port for an unknown scheme.
    TNetHTTP fresh;
    EXPECT_THROW(fresh.GetAsString("gopher://127.0.0.1/"), ENetUnknownProtocol);
    http.SetProtocolVersion(pv1_0);
    try {
        TNetMemoryStream source;
        http.DoRequest(hmPut, "http://127.0.0.1/x", &source, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const ENetException& e) {
        EXPECT_EQ(e.Message(), "This request method is supported in HTTP 1.1");
    }
}

TEST(NetHTTP, HostileRepliesEndInTheNamedExceptions)
{
    {
        SCOPED_TRACE("closed before the status line");
        HttpTestServer server(Always("", true));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        EXPECT_THROW(http.GetAsString(server.Url("/")), ENetConnClosedGracefully);
        EXPECT_FALSE(http.IsConnected());
    }
    {
        SCOPED_TRACE("endless header line");
        HttpTestServer server(Always("HTTP/1.1 200 OK\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n"));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        EXPECT_THROW(http.GetAsString(server.Url("/")), ENetReadLnMaxLineLengthExceeded);
        EXPECT_FALSE(http.IsConnected());
    }
    {
        SCOPED_TRACE("too many header lines");
        std::string reply = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 40000; ++i)
            reply += "X-Filler-" + std::to_string(i) + ": some value to fill the head\r\n";
        HttpTestServer server(Always(reply + "\r\n"));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        try {
            http.GetAsString(server.Url("/"));
            ADD_FAILURE() << "no exception";
        } catch (const ENetException& e) {
            EXPECT_EQ(e.Message(), "Response headers too long.");
        }
    }
    {
        SCOPED_TRACE("2xx and the connection gone before the body");
        HttpTestServer server(Always("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", true));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        try {
            http.GetAsString(server.Url("/"));
            ADD_FAILURE() << "no exception";
        } catch (const ENetException& e) {
            EXPECT_EQ(e.Message(), "Undefined situation");
        }
    }
    {
        SCOPED_TRACE("huge chunk size and the peer closing");
        HttpTestServer server(Always("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFFFFFF\r\nabc", true));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        TNetMemoryStream stream;
        EXPECT_THROW(http.GetToStream(server.Url("/"), stream), ENetConnClosedGracefully);
        EXPECT_EQ(stream.DataString(), "abc");
    }
    {
        SCOPED_TRACE("garbage chunk size does not poison the next request");
        HttpTestServer server(InTurn({
            {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n\r\nHTTP/1.1 666 Junk\r\n\r\n"},
            {HttpTestServer::Reply("HTTP/1.1 200 OK", "clean")},
        }));
        TNetHTTP http;
        ConfigureLikeMainWindow(http);
        EXPECT_EQ(http.GetAsString(server.Url("/")), "");
        EXPECT_EQ(http.GetAsString(server.Url("/")), "clean");
        EXPECT_EQ(server.ConnectionCount(), 2);
    }
}

// Python's http.server: HTTP/1.0 replies, one connection per request.
class PythonHttpServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_port = testsupport::FreeTcpPort();
        m_server = std::make_unique<testsupport::ChildProcess>(std::vector<std::string> {
            "python3", "-m", "http.server", "--bind", "127.0.0.1", std::to_string(m_port), "--directory",
            m_dir.path().string()});
        ASSERT_TRUE(testsupport::WaitForPort(m_port, std::chrono::seconds(10)));
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    testsupport::TempDir m_dir;
    int m_port = 0;
    std::unique_ptr<testsupport::ChildProcess> m_server;
};

TEST_F(PythonHttpServer, FetchesFilesAndRaisesForMissingOnes)
{
    std::string binary;
    for (int i = 0; i < 300000; ++i)
        binary += static_cast<char>((i * 7919) & 0xff);
    testsupport::WriteFileText(m_dir.file("blob.bin"), binary);
    testsupport::WriteFileText(m_dir.file("ip.html"), "<html><body>Address: 1.2.3.4</body></html>\n");

    TNetHTTP http;
    ConfigureLikeMainWindow(http);
    EXPECT_EQ(http.GetAsString(Url("/ip.html")), "<html><body>Address: 1.2.3.4</body></html>\n");
    EXPECT_EQ(http.Response().ResponseVersion(), pv1_0);
    EXPECT_EQ(http.GetAsString(Url("/blob.bin")), binary);
    try {
        http.GetAsString(Url("/missing.html"));
        ADD_FAILURE() << "no exception";
    } catch (const ENetHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 404);
        EXPECT_EQ(e.Message().rfind("HTTP/1.0 404", 0), 0u) << e.Message();
        EXPECT_NE(e.ErrorMessage().find("404"), std::string::npos);
    }
    // The client still works after the error.
    EXPECT_EQ(http.GetAsString(Url("/ip.html")), "<html><body>Address: 1.2.3.4</body></html>\n");
}

} // namespace
