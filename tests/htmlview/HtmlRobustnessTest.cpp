// Broken input: the parse ends quietly, layout terminates, nothing crashes
// and what is built stays proportional to the input.

#include "HtmlTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::size_t CountBlocks(TCell& cell)
{
    std::size_t n = cell.Blocks.size();
    for (auto& b : cell.Blocks)
        if (auto* t = dynamic_cast<THtmlTable*>(b.get())) {
            for (auto& row : t->Rows)
                for (auto& c : row.Cells)
                    n += CountBlocks(c->Content);
        }
    return n;
}

void ParseAndLayout(const std::string& html, int width = 300)
{
    TSectionList doc;
    THtmlParser parser;
    parser.ParseDocument(html, doc);
    TFixedFontEngine fonts;
    doc.DoLayout(fonts, width, 10, 5, 0);
    EXPECT_GE(doc.DocumentHeight, 10);
    EXPECT_LE(CountBlocks(doc), html.size() + 1);
}

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    out.reserve(s.size() * std::size_t(n));
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(Robustness, DeepNestingAndManyUnclosedTags)
{
    const char* tags[] = {"<center>", "<div align=right>", "<ul><li>", "<ol>", "<blockquote>",
                          "<table><tr><td>", "<font size=+1>", "<b><i>", "<a href=x>", "<h1>",
                          "<pre>", "<p>", "<br>", "<select>", "<tt>", "<dl><dd>", "<a name=x>"};
    for (const char* tag : tags) {
        SCOPED_TRACE(tag);
        ParseAndLayout(Repeat(tag, 100000) + "end");
    }
}

TEST(Robustness, DeeplyNestedTablesWithText)
{
    ParseAndLayout(Repeat("<table border=1><tr><td>cell text ", 2000) + Repeat("</td></tr></table>", 2000));
}

TEST(Robustness, HugeAttributesAndTokens)
{
    const std::string big(1 << 20, 'v');
    ParseAndLayout("<a href=\"" + big + "\">x</a><img src=" + big + "><font face='" + big + "'>y");
    ParseAndLayout("<" + big + ">" + big + "&" + big + ";");
    ParseAndLayout("<a href=\"unterminated " + big);
    ParseAndLayout("<table width=999999999999 border=999999><tr><td colspan=999999999 width=-5>a</table>");
}

TEST(Robustness, NulBytesAndControlCharacters)
{
    std::string html;
    for (int i = 0; i < 4096; ++i)
        html += static_cast<char>(i % 40);
    ParseAndLayout(html);
    ParseAndLayout(std::string("<p>\0\0<b\0>\0&#\0;", 14));
}

TEST(Robustness, UnterminatedConstructs)
{
    for (const char* html : {"<!--", "<!-", "<!", "<", "&", "&#", "<a href='", "<script>", "<pre>", "<table>",
                             "<table><tr><td>", "<select><option>", "<textarea>x", "<!--#include x",
                             "</", "<h", "<h1", "<!-- a -- b"})
        ParseAndLayout(html);
}

TEST(Robustness, RandomTagSoup)
{
    const std::vector<std::string> pieces = {
        "<p>", "</p>", "<br>", "<h2>", "</h2>", "<ul>", "<li>", "</ul>", "<ol type=a>", "</ol>", "<table border>",
        "<tr>", "<td colspan=3>", "</td>", "</table>", "<center>", "</center>", "<pre>", "</pre>", "<a href=#x>",
        "<a name=x>", "</a>", "<font size=+3>", "</font>", "<img src=i.gif width=50>", "<input>", "<select>",
        "<option>", "</select>", "<hr size=30>", "&nbsp;", "&#300;", "&amp", "word ", "  ", "\r\n", "\t", "<",
        ">", "<!--", "-->", "<nobr>", "<wbr>", "</nobr>", "<sub>", "</sup>", "<dl>", "<dt>", "<dd>", "<script>",
        "</script>", "<basefont size=7>", "<big>", "<small>", "<tt>", "</tt>", std::string(1, '\0')};
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        std::string html;
        const int n = 1 + static_cast<int>(rng() % 400);
        for (int i = 0; i < n; ++i)
            html += pieces[rng() % pieces.size()];
        ParseAndLayout(html, 1 + static_cast<int>(rng() % 500));
    }
}

TEST(Robustness, ZeroAndNegativeWidths)
{
    for (int width : {0, -100, 1})
        ParseAndLayout("<center>a b c</center><hr width=50%><table><tr><td>x<td>y</table>"
                       "<ul><li><ul><li>deep</ul></ul>",
                       width);
}

} // namespace
