#include "platform/core/Text.h"

#include <gtest/gtest.h>

using namespace asciitext;

namespace {

// Bytes of UTF-8 and Windows-1252 letters ("é", "É", NBSP, "ÿ") must pass
// through unchanged: a signed-char comparison or a locale-aware conversion
// would trim or fold them.
TEST(Text, CaseChangesOnlyAsciiLetters)
{
    struct Case {
        std::string_view in, lower, upper;
    } cases[] = {
        {"", "", ""},
        {"MiXeD-09_z", "mixed-09_z", "MIXED-09_Z"},
        {"@[`{", "@[`{", "@[`{"}, // the neighbours of each letter range
        {"\xC3\xA9\xC3\x89\xE9\xC9\xFF", "\xC3\xA9\xC3\x89\xE9\xC9\xFF", "\xC3\xA9\xC3\x89\xE9\xC9\xFF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Lower(std::string(c.in)), c.lower) << c.in;
        EXPECT_EQ(Upper(std::string(c.in)), c.upper) << c.in;
    }
    EXPECT_EQ(UpperChar(-1), -1); // a scanner's end of input
    EXPECT_EQ(UpperChar(int{'q'}), 'Q');
}

TEST(Text, TrimRemovesBlanksOnly)
{
    struct Case {
        std::string_view in, both, left, right;
    } cases[] = {
        {"", "", "", ""},
        {" \t\r\n\x01", "", "", ""},
        {" a b ", "a b", "a b ", " a b"},
        {"\x1F" "x\x7F ", "x\x7F", "x\x7F ", "\x1F" "x\x7F"}, // DEL is not blank
        {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"}, // nor is any byte above 0x7F
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Trim(c.in), c.both) << c.in;
        EXPECT_EQ(TrimLeft(c.in), c.left) << c.in;
        EXPECT_EQ(TrimRight(c.in), c.right) << c.in;
    }
    EXPECT_EQ(Trim(" \t\v key\f\r\n", " \t\r\n"), "\v key\f");
    EXPECT_EQ(Trim(" \t", " \t"), "");
    EXPECT_EQ(Trim("", " \t"), "");
}

TEST(Text, CaseInsensitiveComparison)
{
    struct Case {
        std::string_view a, b;
        bool same, startsWith;
    } cases[] = {
        {"", "", true, true},
        {"NSPlayer/9.0", "nsplayer", false, true},
        {"ns", "nsPlayer", false, false}, // longer prefix than text
        {"abc", "abcd", false, false},    // equal as far as the shorter goes
        {"Host", "hOST", true, true},
        {"@", "`", false, false}, // one bit apart, not letters
        {"[", "{", false, false},
        {"\xE9", "\xC9", false, false}, // 1252 "é" and "É" are not ASCII letters
        {"x", "", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SameText(c.a, c.b), c.same) << c.a << " / " << c.b;
        EXPECT_EQ(SameText(c.b, c.a), c.same) << c.b << " / " << c.a;
        EXPECT_EQ(StartsText(c.a, c.b), c.startsWith) << c.a << " / " << c.b;
    }
}

TEST(Text, FindText)
{
    constexpr auto npos = std::string_view::npos;
    struct Case {
        std::string_view text, part;
        std::size_t from, at;
    } cases[] = {
        {"xClientGUID={1}", "CLIENTguid", 0, 1},
        {"a=1, xPlayStrm=1", "xplaystrm=1", 0, 5},
        {"abab", "AB", 1, 2},
        {"abc", "abcd", 0, npos},
        {"abc", "bc", 2, npos}, // would run past the end
        {"", "", 0, 0},
        {"abc", "", 3, 3},
        {"abc", "", 4, npos},
        {"\xE9t\xE9", "\xC9T", 0, npos},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindText(c.text, c.part, c.from), c.at) << c.text << " / " << c.part << " from " << c.from;
    EXPECT_TRUE(ContainsText("pragma: no-cache", "NO-CACHE"));
    EXPECT_FALSE(ContainsText("no", "no-cache"));
}

} // namespace
