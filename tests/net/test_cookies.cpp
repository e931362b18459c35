#include "net/NetCookies.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(NetCookies, ParsesAttributes)
{
    TNetCookieRFC2109 cookie;
    cookie.SetCookieText(" sid=abc=def ; PATH=\"/dir\"; domain=.example.org;Secure; max-age=60 ; Version=1;"
                         " Comment=hi ; Unknown=1; ");
    EXPECT_EQ(cookie.CookieName, "sid");
    EXPECT_EQ(cookie.Value, "abc=def");
    EXPECT_EQ(cookie.Path, "/dir");
    EXPECT_EQ(cookie.Domain, ".example.org");
    EXPECT_TRUE(cookie.Secure);
    EXPECT_EQ(cookie.MaxAge, 60);
    EXPECT_EQ(cookie.Version, "1");
    EXPECT_EQ(cookie.Comment, "hi");
    // Max-Age without Expires gives an expiry a minute from now.
    EXPECT_NEAR(InternetDateToLocal(cookie.Expires), NetNow() + 60.0 / 86400, 2.0 / 86400);

    // A text equal to the last one is not parsed again.
    cookie.Path = "changed";
    cookie.SetCookieText(cookie.CookieText());
    EXPECT_EQ(cookie.Path, "changed");
}

TEST(NetCookies, ExpiresAndMaxAgeTable)
{
    struct {
        const char* text;
        int32_t maxAge;    // INT32_MIN: only check that it is negative
        bool hasExpiry;
    } const cases[] = {
        {"a=1", -1, false},
        {"a=1; max-age=soon", -1, false},
        {"a=1; max-age=99999999999", -1, false},
        {"a=1; max-age=0", 0, true},
        {"a=1; expires=Thu, 01 Jan 1970 00:00:00 GMT", INT32_MIN, true},
        // A date so far ahead that its seconds do not fit: kept within 32 bits.
        {"a=1; expires=Fri, 31 Dec 9999 23:59:59 GMT", INT32_MAX, true},
        {"a=1; expires=whenever", INT32_MIN, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TNetCookieRFC2109 cookie;
        cookie.SetCookieText(c.text);
        if (c.maxAge == INT32_MIN)
            EXPECT_LT(cookie.MaxAge, 0);
        else
            EXPECT_EQ(cookie.MaxAge, c.maxAge);
        EXPECT_EQ(!cookie.Expires.empty(), c.hasExpiry);
    }

    // The Set-Cookie2 kind keeps Max-Age as given.
    TNetCookieRFC2965 cookie2;
    cookie2.SetCookieText("b=2; expires=Fri, 31 Dec 9999 23:59:59 GMT; Discard; CommentURL=http://c/; "
                          "Port=\"80, 8080,x\"");
    EXPECT_EQ(cookie2.MaxAge, -1);
    EXPECT_TRUE(cookie2.Discard);
    EXPECT_EQ(cookie2.CommentURL, "http://c/");
    EXPECT_EQ(cookie2.PortList, (std::vector<int> {80, 8080}));
    cookie2.SetCookieText("b=2; Port");
    EXPECT_EQ(cookie2.PortList, (std::vector<int> {80}));
}

TEST(NetCookies, HostCheckTable)
{
    struct {
        const char* host;
        const char* domain;
        bool allowed;
    } const cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", ".0.0.1", false},
        {"www.example.org", "www.example.org", true},
        {"www.example.org", "WWW.example.org", false},
        {"www.example.org", ".example.org", true},
        {"www.example.org", ".EXAMPLE.org", false},
        {"www.example.org", ".org", false},
        {"www.example.org", "example.org", false},
        {"www.example.org", "evil.com", false},
        {"example.org", ".example.org", false},
        {".example.org", ".EXAMPLE.ORG", true},
        {".example.org", ".org", false},
        {"localhost", ".localhost", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " sets " + c.domain);
        TNetCookieRFC2109 cookie;
        cookie.Domain = c.domain;
        EXPECT_EQ(cookie.IsAllowed(c.host), c.allowed);
    }
}

TNetURI Uri(const char* text) { return TNetURI(text); }

TEST(NetCookieManager, StoresReplacesAndBuildsTheHeader)
{
    TNetCookieManager manager;
    manager.AddServerCookie("a=1; path=/", "www.example.org");
    manager.AddServerCookie("b=2; path=/shop", "www.example.org");
    manager.AddServerCookie("nopath=3", "www.example.org");
    manager.AddServerCookie("s=4; path=/; secure", "www.example.org");
    manager.AddServerCookie("empty=; path=/", "www.example.org");
    manager.AddServerCookie("wide=5; path=/; domain=.example.org", "www.example.org");
    manager.AddServerCookie("evil=6; path=/; domain=.other.org", "www.example.org");
    EXPECT_EQ(manager.CookieCount(), 6);

    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://www.example.org/shop/cart"), false), "b=2; a=1; wide=5");
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://www.example.org/"), false), "a=1; wide=5");
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://www.example.org/"), true), "s=4; a=1; wide=5");
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://shop.example.org/"), false), "wide=5");
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://elsewhere.net/"), false), "");

    // Same name in the same domain (any case): replaced in place.
    manager.AddServerCookie("A=10; path=/", "WWW.example.org");
    EXPECT_EQ(manager.CookieCount(), 6);
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://www.example.org/"), false), "A=10; wide=5");
    ASSERT_NE(manager.FindCookie("www.example.org", "a"), nullptr);
    EXPECT_EQ(manager.FindCookie("www.example.org", "a")->Value, "10");

    // Max-Age=0 removes a cookie at the next purge.
    manager.AddServerCookie("A=gone; path=/; max-age=0", "www.example.org");
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://www.example.org/"), false), "wide=5");
    EXPECT_EQ(manager.FindCookie("www.example.org", "a"), nullptr);
}

TEST(NetCookieManager, OnNewCookieMayRefuse)
{
    TNetCookieManager manager;
    std::vector<std::string> offered;
    manager.OnNewCookie = [&](TNetCookieManager* sender, TNetCookieRFC2109* cookie, bool& accept) {
        EXPECT_EQ(sender, &manager);
        EXPECT_TRUE(accept);
        offered.push_back(cookie->CookieName);
        accept = cookie->CookieName != "tracker";
    };
    manager.AddServerCookie("tracker=1; path=/", "h.example");
    manager.AddServerCookie2("ok=1; path=/; Version=1", "h.example");
    manager.AddServerCookie("bad=1; path=/; domain=x.example", "h.example"); // fails the host check first
    EXPECT_EQ(offered, (std::vector<std::string> {"tracker", "ok"}));
    EXPECT_EQ(manager.CookieCount(), 1);
    EXPECT_EQ(manager.CookieHeaderFor(Uri("http://h.example/"), false), "ok=1");
}

} // namespace
