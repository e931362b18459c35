// Layout with known metrics (TFixedFontEngine: a character is Size / 2
// pixels wide, a line Size + Size / 4 high).

#include "HtmlTestSupport.h"

#include <gtest/gtest.h>

using htmltest::Parse;
using htmltest::SectionAt;

namespace {

constexpr int kMargin = 10;
constexpr int kTop = 5;

struct Laid {
    htmltest::Parsed P;
    TFixedFontEngine Fonts;
};

std::unique_ptr<Laid> Layout(const std::string& html, int width, int defFontSize = 12)
{
    auto l = std::make_unique<Laid>();
    l->P = Parse(html, defFontSize);
    l->P.Doc->DoLayout(l->Fonts, width, kMargin, kTop, 0);
    return l;
}

std::string LineText(const TSection& s, const TLineRec& line)
{
    return s.Text.substr(std::size_t(line.Start), std::size_t(line.Count));
}

TEST(LayoutHeights, FixedSpacesAndRules)
{
    struct Case {
        std::string Html;
        int DefFontSize;
        std::size_t Block;
        int Height;
    } cases[] = {
        {"a<p>b", 12, 1, 14},          {"<h1>a</h1>", 12, 0, 16},   {"<h2>a</h2>", 12, 0, 12},
        {"<h3>a</h3>", 12, 0, 10},     {"<h6>a</h6>", 12, 2, 4},    {"<h7>a</h7>", 12, 0, 8},
        {"<hr>", 12, 0, 20},           {"<hr size=6>", 12, 0, 24},  {"a<p>b", 24, 1, 28},
        {"<h1>a</h1>", 18, 0, 24},     {"<hr>", 6, 0, 10},
    };
    for (const Case& c : cases) {
        auto l = Layout(c.Html, 400, c.DefFontSize);
        ASSERT_LT(c.Block, l->P.Doc->Blocks.size()) << c.Html;
        EXPECT_EQ(l->P.Doc->Blocks[c.Block]->Height, c.Height) << c.Html << " at " << c.DefFontSize;
    }
}

TEST(LayoutHeights, BlocksStackFromTheTopMargin)
{
    // Text line at 12: 12 + 3 = 15; H1 text at 24: 24 + 6 = 30.
    auto l = Layout("<h1>T</h1>a<p>b<hr>", 400);
    const auto& b = l->P.Doc->Blocks;
    ASSERT_EQ(htmltest::Describe(*l->P.Doc), "H1|S:T|H1|S:a|P|S:b|HR");
    const int expected[] = {5, 21, 51, 67, 82, 96, 111};
    for (std::size_t i = 0; i < b.size(); ++i)
        EXPECT_EQ(b[i]->Y, expected[i]) << i;
    EXPECT_EQ(l->P.Doc->DocumentHeight, 111 + 20 + kTop);
}

TEST(LayoutLines, WordsWrapAtSpaces)
{
    // 6 px per character; 30 px hold five.
    auto l = Layout("aaaa bbbb cc", 30);
    const TSection& s = SectionAt(*l->P.Doc, 0);
    ASSERT_EQ(s.Lines.size(), 3u);
    EXPECT_EQ(LineText(s, s.Lines[0]), "aaaa ");
    EXPECT_EQ(LineText(s, s.Lines[1]), "bbbb ");
    EXPECT_EQ(LineText(s, s.Lines[2]), "cc");
    EXPECT_EQ(s.Lines[1].Top, 15);
    EXPECT_EQ(s.Height, 45);
}

TEST(LayoutLines, TrailingSpacesAreSwallowed)
{
    // Whether the cut falls on the space or after it, the space stays on the
    // first line and is not counted in its width.
    for (int width : {24, 30, 36}) {
        auto l = Layout("aaaa&#32;&#32;&#32;bbbb", width);
        const TSection& s = SectionAt(*l->P.Doc, 0);
        ASSERT_GE(s.Lines.size(), 2u) << width;
        for (std::size_t i = 1; i < s.Lines.size(); ++i)
            EXPECT_NE(s.Text[std::size_t(s.Lines[i].Start)], ' ') << width;
        EXPECT_EQ(s.Lines[0].TextWidth, 24) << width;
    }
}

TEST(LayoutLines, LongWordOverflows)
{
    auto l = Layout("ab abcdefghijklmnopqrst cd", 50);
    const TSection& s = SectionAt(*l->P.Doc, 0);
    ASSERT_EQ(s.Lines.size(), 3u);
    EXPECT_EQ(LineText(s, s.Lines[1]), "abcdefghijklmnopqrst ");
    EXPECT_EQ(s.Lines[1].TextWidth, 120);
    EXPECT_EQ(s.MinWidth, 120);
    EXPECT_EQ(l->P.Doc->DocumentWidth, kMargin + 120 + kMargin);
}

TEST(LayoutLines, PreformattedNeverWraps)
{
    const std::string longLine(2000, 'x');
    auto l = Layout("<pre>" + longLine + " " + longLine + "\nnext</pre>", 50);
    const TSection& s = SectionAt(*l->P.Doc, 0);
    ASSERT_EQ(s.Lines.size(), 2u);
    EXPECT_EQ(s.Lines[0].Count, 4002);
    EXPECT_EQ(LineText(s, s.Lines[1]), "next");
    EXPECT_EQ(s.Lines[0].TextWidth, 4001 * 5); // PRE is nominal 10: 5 px a character
}

TEST(LayoutLines, NoBreakKeepsWordsTogether)
{
    auto l = Layout("<nobr>aa bb cc</nobr> dd", 30);
    const TSection& s = SectionAt(*l->P.Doc, 0);
    ASSERT_EQ(s.Lines.size(), 2u);
    EXPECT_EQ(s.Lines[0].Count, 9);
}

TEST(LayoutAlignment, CentredLinesHaveEqualSpaceOnBothSides)
{
    for (const char* text : {"abc", "abcd", "a b c d e f g h i j k l m n o p q r s t u v w x y z"}) {
        const int width = 101;
        auto l = Layout(std::string("<center>") + text + "</center>", width);
        const TSection& s = SectionAt(*l->P.Doc, 0);
        ASSERT_FALSE(s.Lines.empty());
        for (const TLineRec& line : s.Lines) {
            const int left = line.X - kMargin;
            const int right = (kMargin + width) - (line.X + line.TextWidth);
            EXPECT_LE(std::abs(left - right), 1) << text;
            EXPECT_GE(left, 0);
        }
    }
}

TEST(LayoutAlignment, RightAndDivAlignment)
{
    auto l = Layout("<p align=right>abc</p><div align=center>ab</div>x", 100);
    const TSection& right = SectionAt(*l->P.Doc, 1);
    EXPECT_EQ(right.Lines[0].X, kMargin + 100 - 18 - 1);
    const TSection& centre = SectionAt(*l->P.Doc, 3);
    EXPECT_EQ(centre.Lines[0].X, kMargin + (100 - 12) / 2);
    const TSection& after = SectionAt(*l->P.Doc, l->P.Doc->Blocks.size() - 1);
    EXPECT_EQ(after.Lines[0].X, kMargin);
}

TEST(LayoutAlignment, CentredWordWiderThanTheViewStartsAtTheLeftEdge)
{
    auto l = Layout("<center>abcdefghijklmnop</center>", 30);
    EXPECT_EQ(SectionAt(*l->P.Doc, 0).Lines[0].X, kMargin);
}

TEST(LayoutIndents, ListLevelsIndent35Pixels)
{
    auto l = Layout("<ul><li>a<ul><li>b</ul><li>c</ul><li>d", 300);
    ASSERT_EQ(htmltest::Describe(*l->P.Doc), "UL1:a|UL2:b|UL1:c|UL0:d");
    EXPECT_EQ(SectionAt(*l->P.Doc, 0).Lines[0].X, kMargin + 35);
    EXPECT_EQ(SectionAt(*l->P.Doc, 1).Lines[0].X, kMargin + 70);
    EXPECT_EQ(SectionAt(*l->P.Doc, 2).Lines[0].X, kMargin + 35);
    EXPECT_EQ(SectionAt(*l->P.Doc, 3).Lines[0].X, kMargin + 15);
}

TEST(LayoutIndents, IndentNarrowsTheLine)
{
    // 100 px hold sixteen characters, less 35 of indent only ten.
    auto plain = Layout("aaaaa bbbbb ccccc", 100);
    EXPECT_EQ(SectionAt(*plain->P.Doc, 0).Lines.size(), 2u);
    auto l = Layout("<ul><li>aaaaa bbbbb ccccc</ul>", 100);
    const TSection& s = SectionAt(*l->P.Doc, 0);
    ASSERT_EQ(s.Lines.size(), 3u);
    EXPECT_EQ(s.Lines[0].Count, 6);
    EXPECT_EQ(s.Right, kMargin + 35 + 30);
}

TEST(LayoutLineHeight, TallestFontAndObjects)
{
    auto l = Layout("a<font size=7>b</font><img src=x width=10 height=50>", 400);
    const TSection& s = SectionAt(*l->P.Doc, 0);
    ASSERT_EQ(s.Lines.size(), 1u);
    EXPECT_EQ(s.Lines[0].Ascent, 50);
    EXPECT_EQ(s.Lines[0].Height, 50 + 9);
    EXPECT_EQ(s.Lines[0].TextWidth, 6 + 18 + 10);
}

TEST(LayoutLineHeight, EmptyLineHasTheFontHeight)
{
    auto l = Layout("a<br><br>b", 400);
    EXPECT_EQ(l->P.Doc->Blocks[1]->Height, 15);
}

TEST(LayoutAnchors, AnchorIsTheTopOfItsBlock)
{
    auto l = Layout("<h1>T</h1><p>text</p><a name=network></a><h2>Network</h2>", 400);
    const TSectionBase* anchor = l->P.Doc->AnchorNames.at("NETWORK");
    EXPECT_EQ(anchor->Y, 5 + 16 + 30 + 16 + 14 + 15 + 14);
    EXPECT_EQ(anchor->Height, 0);
}

TEST(LayoutTables, CellsSideBySideAndRowsStacked)
{
    auto l = Layout("<table border=1 cellpadding=2 cellspacing=2><tr><td>aa<td>bbbb</tr>"
                    "<tr><td>c<td>d</table>x",
                    400);
    auto* t = dynamic_cast<const THtmlTable*>(l->P.Doc->Blocks.at(0).get());
    ASSERT_TRUE(t);
    const auto& r0 = t->Rows.at(0).Cells;
    const auto& r1 = t->Rows.at(1).Cells;
    EXPECT_EQ(r0[0]->X, kMargin + 1 + 2);
    // Column 0: 2 characters + padding 2 × 2 + cell frame 2.
    EXPECT_EQ(r0[0]->W, 12 + 4 + 2);
    EXPECT_EQ(r0[1]->X, r0[0]->X + r0[0]->W + 2);
    EXPECT_EQ(r0[1]->W, 24 + 4 + 2);
    EXPECT_EQ(r1[0]->CellY, r0[0]->CellY + r0[0]->H + 2);
    EXPECT_EQ(r0[0]->H, 15 + 4 + 2);
    const TSectionBase& after = *l->P.Doc->Blocks.at(1);
    EXPECT_EQ(after.Y, t->Y + t->Height);
    EXPECT_EQ(t->Height, 1 + 2 + 21 + 2 + 21 + 2 + 1);
}

TEST(LayoutTables, WideTableWrapsItsCells)
{
    std::string words;
    for (int i = 0; i < 50; ++i)
        words += "word ";
    auto l = Layout("<table><tr><td>" + words + "<td>" + words + "</table>", 200);
    auto* t = dynamic_cast<const THtmlTable*>(l->P.Doc->Blocks.at(0).get());
    ASSERT_TRUE(t);
    EXPECT_LE(t->Right, kMargin + 200);
    EXPECT_GT(t->Height, 100);
}

TEST(LayoutDocument, EmptyDocument)
{
    auto l = Layout("", 300);
    EXPECT_TRUE(l->P.Doc->Blocks.empty());
    EXPECT_EQ(l->P.Doc->DocumentHeight, 2 * kTop);
}

} // namespace
