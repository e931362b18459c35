#include "net/NetURI.h"

#include <gtest/gtest.h>

namespace {

struct UriCase {
    const char* text;
    const char* protocol;
    const char* username;
    const char* password;
    const char* host;
    const char* port;
    const char* path;
    const char* document;
    const char* params;
    const char* bookmark;
};

const UriCase kUriCases[] = {
    {"http://host", "http", "", "", "host", "", "/", "", "", ""},
    {"http://user:pw@host:8080/dir/page.htm?a=1#top", "http", "user", "pw", "host", "8080",
     "/dir/", "page.htm", "?a=1", "top"},
    {"http://host/a/b.htm?x=1#frag", "http", "", "", "host", "", "/a/", "b.htm", "?x=1", "frag"},
    {"http://host/a/b.htm#sec", "http", "", "", "host", "", "/a/", "b.htm", "", "sec"},
    // A relative reference keeps its "#" in the document.
    {"b.htm#sec", "", "", "", "", "", "", "b.htm#sec", "", ""},
    {"http://joe@host/", "http", "joe", "", "host", "", "/", "", "", ""},
    // A password without a user name is dropped.
    {"http://:secret@host/", "http", "", "", "host", "", "/", "", "", ""},
    {"dir\\sub\\f.htm", "", "", "", "", "", "dir/sub/", "f.htm", "", ""},
    // Without "?", a "=" starts the query; the directory ends before it.
    {"http://h/cgi/run=1/x", "http", "", "", "h", "", "/cgi/", "run", "=1/x", ""},
    {"http://h/p/q?next=/a/b", "http", "", "", "h", "", "/p/", "q", "?next=/a/b", ""},
    {"/a/b/", "", "", "", "", "", "/a/b/", "", "", ""},
    {"ftp://u:p:q@h:21", "ftp", "u", "p:q", "h", "21", "/", "", "", ""},
    {"", "", "", "", "", "", "", "", "", ""},
};

TEST(NetURI, ParsesFieldsTable)
{
    for (const UriCase& c : kUriCases) {
        SCOPED_TRACE(c.text);
        TNetURI uri(c.text);
        EXPECT_EQ(uri.Protocol, c.protocol);
        EXPECT_EQ(uri.Username, c.username);
        EXPECT_EQ(uri.Password, c.password);
        EXPECT_EQ(uri.Host, c.host);
        EXPECT_EQ(uri.Port, c.port);
        EXPECT_EQ(uri.Path, c.path);
        EXPECT_EQ(uri.Document, c.document);
        EXPECT_EQ(uri.Params, c.params);
        EXPECT_EQ(uri.Bookmark, c.bookmark);
    }
}

TEST(NetURI, ReparseClearsEveryField)
{
    TNetURI uri("http://u:p@h:1/d/x?y#z");
    uri.ParseURI("rel");
    EXPECT_EQ(uri.URIText, "rel");
    EXPECT_EQ(uri.Protocol + uri.Username + uri.Password + uri.Host + uri.Port + uri.Path
                  + uri.Params + uri.Bookmark,
              "");
    EXPECT_EQ(uri.Document, "rel");
}

TEST(NetURI, ComposesWithOptions)
{
    TNetURI uri("http://user:pw@host:8080/dir/page.htm?a=1#top");
    EXPECT_EQ(uri.FullURI(IncludeAuthInfo | IncludeBookmark),
              "http://user:pw@host:8080/dir/page.htm?a=1#top");
    EXPECT_EQ(uri.FullURI(IncludeNone), "http://host:8080/dir/page.htm?a=1");
    EXPECT_EQ(uri.FullURI(IncludeAuthInfo), "http://user:pw@host:8080/dir/page.htm?a=1");

    EXPECT_EQ(uri.RequestURI(), "http://host:8080/dir/page.htm?a=1");
    EXPECT_EQ(uri.URIText, "http://user:pw@host:8080/dir/page.htm?a=1#top");

    EXPECT_EQ(TNetURI("http://host").FullURI(), "http://host/");
    TNetURI noPassword("http://joe@h/");
    EXPECT_EQ(noPassword.FullURI(IncludeAuthInfo), "http://joe@h/");
}

TEST(NetURI, ComposeRaisesForMissingProtocolOrHost)
{
    TNetURI uri("page.htm");
    try {
        uri.FullURI();
        FAIL() << "no exception";
    } catch (const ENetURIException& e) {
        EXPECT_EQ(e.Message(), "Protocol field is empty");
    }
    uri.Protocol = "http";
    try {
        uri.FullURI();
        FAIL() << "no exception";
    } catch (const ENetURIException& e) {
        EXPECT_EQ(e.Message(), "Host field is empty");
    }
    EXPECT_EQ(uri.Document, "page.htm");
    EXPECT_EQ(uri.URIText, "page.htm");
}

TEST(NetURI, ResolvePathTable)
{
    struct {
        const char* base;
        const char* path;
        const char* expected;
    } const cases[] = {
        {"/a/b/", "../c", "/a/c"},
        {"/a/b", "c", "/a/b/c"},
        {"/x/", "/y", "/y"},
        {"", "", ""},
        {"/a/b/", "", "/a/b/"},
        {"/a/b/", "c/", "/a/b/c/"},
        {"/a/b/", "../../../c", "/c"},
        {"/a//b/", "./c", "/a/b/./c"},
        // A bare ".." leaves only the root, and the root is not a trailing
        // delimiter the path asked for.
        {"/a/", "..", ""},
        {"/a/b", "../", "/a/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.path);
        EXPECT_EQ(ResolvePath(c.base, c.path, "/"), c.expected);
    }
}

TEST(NetURI, LastPosBeforeTable)
{
    struct {
        const char* sub;
        const char* text;
        int start;
        int expected;
    } const cases[] = {
        {"/", "/a/b/c", -1, 5},
        {"/", "/a/b/c", 4, 3},
        {"/", "/a/b/c", 1, 1},
        {"/", "abc", -1, 0},
        {"AB", "xabyab", -1, 5},
        {"ab", "xabyab", 4, 2},
        {"ab", "xabyab", 100, 5},
        {"abc", "ab", -1, 0},
        {"", "abc", -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sub) + " in " + c.text);
        EXPECT_EQ(LastPosBefore(c.sub, c.text, c.start), c.expected);
    }
}

} // namespace
