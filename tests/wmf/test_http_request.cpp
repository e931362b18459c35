// Request heads as players send them, and what the sink makes of them.

#include "platform/wmf/HttpRequest.h"

#include <gtest/gtest.h>

namespace {

using wmhttp::ParseResult;
using wmhttp::RequestKind;

TEST(HttpRequest, PlayersRequestsAreTold)
{
    const struct {
        const char* what;
        std::string head;
        RequestKind kind;
    } cases[] = {
        {"FFmpeg describe",
            "GET / HTTP/1.1\r\nAccept: */*\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nHost: 127.0.0.1:8080\r\n"
            "Pragma: no-cache,rate=1.000000,stream-time=0,stream-offset=0:0,request-context=1,max-duration=0\r\n"
            "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\nConnection: Close\r\n\r\n",
            RequestKind::Describe},
        {"FFmpeg play with its last pragma glued to the next header",
            "GET / HTTP/1.1\r\nAccept: */*\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nHost: 127.0.0.1:8080\r\n"
            "Pragma: no-cache,rate=1.000000,stream-time=0,stream-offset=0:0,request-context=2,max-duration=0\r\n"
            "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\nPragma: xPlayStrm=1\r\n"
            "Pragma: stream-switch-count=1\r\nPragma: stream-switch-entry=ffff:1:0 stream-time=0Connection: Close\r\n\r\n",
            RequestKind::Play},
        {"VLC play over HTTP/1.0 with a malformed GUID",
            "GET / HTTP/1.0\r\nAccept: */*\r\nUser-Agent: NSPlayer/7.10.0.3059\r\nHost: 127.0.0.1:8080\r\n"
            "Pragma: no-cache,rate=1.000000,stream-time=0,stream-offset=0:0,request-context=2,max-duration=0\r\n"
            "Pragma: xClientGUID={3a4c2a0e-1b-2d-3c}\r\nPragma: xPlayStrm=1\r\nPragma: stream-switch-count=1\r\n"
            "Pragma: stream-switch-entry=ffff:1:0 \r\nConnection: Close\r\n\r\n",
            RequestKind::Play},
        {"a GUID pragma without a player agent", "GET / HTTP/1.0\r\npragma: XCLIENTGUID={x}\r\n\r\n", RequestKind::Describe},
        {"plain player", "GET / HTTP/1.1\r\nUser-Agent: Lavf/59.27.100\r\nRange: bytes=0-\r\nIcy-MetaData: 1\r\n\r\n", RequestKind::Plain},
        {"query ignored, LF-only lines", "GET /?x=1 HTTP/1.0\nUser-Agent: libmpv\n\n", RequestKind::Plain},
        {"absolute form", "GET http://host:8080/ HTTP/1.1\r\n\r\n", RequestKind::Plain},
        {"other path", "GET /favicon.ico HTTP/1.1\r\n\r\n", RequestKind::NotFound},
        {"statistics", "POST / HTTP/1.0\r\nContent-Type: application/x-wms-LogStats\r\n\r\n", RequestKind::Log},
        {"HEAD like GET", "HEAD / HTTP/1.1\r\n\r\n", RequestKind::Plain},
        {"HEAD of a player", "HEAD / HTTP/1.0\r\nUser-Agent: NSPlayer/7.10.0.3059\r\n\r\n", RequestKind::Describe},
        {"HEAD of another path", "HEAD /x HTTP/1.1\r\n\r\n", RequestKind::NotFound},
        {"other method", "PUT / HTTP/1.1\r\n\r\n", RequestKind::BadMethod},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wmhttp::Request r;
        size_t consumed = 0;
        ASSERT_EQ(wmhttp::ParseRequest(c.head + "body", &r, &consumed), ParseResult::Complete);
        EXPECT_EQ(consumed, c.head.size());
        EXPECT_EQ(wmhttp::Classify(r), c.kind);
    }
}

TEST(HttpRequest, MalformedIncompleteAndOversizedHeads)
{
    static const char kNulHead[] = "GET / HTTP/1.1\r\nA: b\0c\r\n\r\n";
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 65; ++i)
        many += "X" + std::to_string(i) + ": y\r\n";
    const struct {
        const char* what;
        std::string text;
        ParseResult result;
    } cases[] = {
        {"empty", "", ParseResult::Incomplete},
        {"no empty line yet", "GET / HTTP/1.1\r\nHost: x\r\n", ParseResult::Incomplete},
        {"empty head", "\r\n\r\n", ParseResult::Malformed},
        {"no version", "GET /\r\n\r\n", ParseResult::Malformed},
        {"HTTP/2", "GET / HTTP/2.0\r\n\r\n", ParseResult::Malformed},
        {"two blanks", "GET  / HTTP/1.1\r\n\r\n", ParseResult::Malformed},
        {"control character in target", std::string("GET /\x01 HTTP/1.1\r\n\r\n"), ParseResult::Malformed},
        {"NUL in a header", std::string(kNulHead, sizeof kNulHead - 1), ParseResult::Malformed},
        {"header without colon", "GET / HTTP/1.1\r\nno colon\r\n\r\n", ParseResult::Malformed},
        {"empty header name", "GET / HTTP/1.1\r\n: v\r\n\r\n", ParseResult::Malformed},
        {"continuation first", "GET / HTTP/1.1\r\n folded\r\n\r\n", ParseResult::Malformed},
        {"too many headers", many + "\r\n", ParseResult::TooLarge},
        {"head too long", "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", ParseResult::TooLarge},
        {"endless head", "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a'), ParseResult::TooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(wmhttp::ParseRequest(c.text, nullptr, nullptr), c.result);
    }
}

TEST(HttpRequest, HeadersJoinFoldAndIgnoreCase)
{
    wmhttp::Request r;
    ASSERT_EQ(wmhttp::ParseRequest("GET / HTTP/1.0\r\npragma: a=1\r\nPRAGMA: b=2\r\n\tc=3\r\nHost:x\r\n\r\n", &r, nullptr),
        ParseResult::Complete);
    EXPECT_EQ(r.Header("Pragma"), "a=1, b=2 c=3");
    EXPECT_EQ(r.Header("host"), "x");
    EXPECT_EQ(r.Header("missing"), "");
    EXPECT_EQ(r.versionMinor, 0);
}

} // namespace
