// The HTML reader: characters, symbols, entities, blocks and fonts.

#include "HtmlTestSupport.h"

#include <gtest/gtest.h>

using htmltest::Describe;
using htmltest::Parse;
using htmltest::SectionAt;

namespace {

struct BlockCase {
    const char* Name;
    std::string Html;
    const char* Expected;
};

class ParseBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(ParseBlocks, GivesTheseBlocks)
{
    const BlockCase& c = GetParam();
    auto parsed = Parse(c.Html);
    EXPECT_EQ(Describe(*parsed.Doc), c.Expected) << c.Html;
}

const BlockCase kBlockCases[] = {
    {"WhiteSpaceCollapses", "one  \t two\r\n\r\n three ", "S:one two three "},
    {"SpaceAcrossTagsCollapses", "<b>a </b> <i> b</i>", "S:a b"},
    {"NbspEntity", "a&nbsp;b", "S:a\\xA0b"},
    {"NbspWithoutSemicolon", "a&nbsp b", "S:a\\xA0 b"},
    {"EntityNamesAreCaseSensitive", "a&NBSP;b", "S:a&NBSP;b"},
    {"AmpLtGivesLtText", "&amp;lt;", "S:&lt;"},
    {"UnknownEntityStaysText", "&nbspx &bogus; &", "S:&nbspx &bogus; &"},
    {"NumericEntities", "&#65;&#66", "S:AB"},
    {"NumericEntityAboveLatin1", "&#8364;&#8482;&#12354;", "S:\\x80\\x99?"},
    {"TooManyDigitsStaysText", "&#1234567;", "S:&#1234567;"},
    {"ControlCodeEntityStaysText", "&#0;&#", "S:&#0;&#"},
    {"TabEntityIsSpace", "a&#9;b", "S:a b"},
    {"SpecialEntities", "&trade;&hellip;&rsquo;&ndash;&quot;", "S:\\x99...'-\""},
    {"Latin1Entities", "&frac14;&yuml;&Agrave;&iexcl;", "S:\\xBC\\xFF\\xC0\\xA1"},
    // HTML 4's other entities give their Windows-1252 byte, "?" where it has none.
    {"Html4Punctuation", "&bull;&ldquo;&rdquo;&lsquo;&mdash;&euro;&sbquo;&permil;&Dagger;",
     "S:\\x95\\x93\\x94\\x91\\x97\\x80\\x82\\x89\\x87"},
    {"Html4LettersAndSymbols", "&OElig;&scaron;&Yuml;&fnof;&circ;&alpha;&Omega;&thetasym;&rarr;&infin;",
     "S:\\x8C\\x9A\\x9F\\x83\\x88?????"},
    {"TheFirstEightStayAsTheyWere", "&rsquo;&ndash;&trade;&hellip;", "S:'-\\x99..."},
    {"Html4EntityNeedsItsSemicolon", "<a href=\"x.htm?a=1&lang=en&bull\">&bull &mdash</a>",
     "S:&bull &mdash"},
    {"Html4EntityNamesAreCaseSensitive", "&BULL;&Mdash;", "S:&BULL;&Mdash;"},
    {"NineLetterNameStaysText", "&thetasyms;", "S:&thetasyms;"},
    {"LessThanNotFollowedByLetterIsText", "a < b", "S:a < b"},
    {"EndTagWithoutNameIsText", "x</ y", "S:x</ y"},
    {"HeadingLevel2", "<h2>Title</h2>", "H2|S:Title|H2"},
    {"HeadingLevel7IsLevel0", "<h7>x</h7>", "H0|S:x|H0"},
    {"RunOfParagraphsGivesOneSpace", "<p><p><p>x", "P|S:x"},
    {"ParagraphEndAndStart", "a<p></p><p>b</p>", "S:a|P|S:b|P"},
    {"CommentWithSpaceBeforeClose", "<!-- x -- >y", "S:y"},
    {"EmptyComment", "a<!---->b", "S:ab"},
    {"CommentWithDashesInside", "a<!-- - -- --- -->b", "S:ab"},
    {"Declaration", "<!DOCTYPE html>a", "S:a"},
    {"OpenCommentAtEndKeepsTextBefore", "<b>shown</b> <!-- never closed", "S:shown "},
    {"UnknownTagsIgnored", "<blink>x</blink> <foo bar=1>y", "S:x y"},
    {"StrayControlCharactersDropped", std::string("a\0b\x01\x04" "c", 6), "S:abc"},
    {"TwoBreaksMakeAnEmptyLine", "a<br><br>b", "S:a|BL|S:b"},
    {"OneBreak", "a<br>b", "S:a|S:b"},
    {"Rule", "<hr>x", "HR|S:x"},
    {"PreformattedKeepsWhiteSpace", "<pre>\n a  b\n\tc</pre>d", "PRE: a  b\\x0D c|S:d"},
    {"UnorderedList", "<ul><li>a<li>b</ul>c", "UL1:a|UL1:b|S:c"},
    {"OrderedListStartAndType", "<ol start=3 type=i><li>a<li>b</ol>", "OL1#3i:a|OL1#4i:b"},
    {"NestedLists", "<ul><li>a<ol><li>b</ol><li>c</ul>", "UL1:a|OL2#11:b|UL1:c"},
    {"ListEndsAtEnclosingEnd", "<ul><li>a<ol><li>b</ul>c", "UL1:a|OL2#11:b|S:c"},
    {"ItemOutsideList", "<li>x", "UL0:x"},
    {"DefinitionList", "<dl><dt>t<dd>d</dl>", "DL0:t|DL1:d"},
    {"ParagraphAfterItemSkipped", "<ul><li><p>a</ul>", "UL1:a"},
    {"Blockquote", "<blockquote>q</blockquote>", "S:q"},
    {"Table", "<table border><tr><td>a<td>b<tr><td>c</table>x", "TABLE2x2|S:x"},
    {"NestedTable", "<table><tr><td><table><tr><td>a</td></tr></table></td><td>b</td></tr></table>",
     "TABLE1x2"},
    {"TitleNotShown", "<title>T</title>x", "S:x"},
    {"ScriptNotShown", "<script>if (a<b) x();</script>z", "S:z"},
    {"ScriptUnclosed", "a<script>if (a<b) x();", "S:a"},
    {"LinkText", "a<a href=x>link</a>b", "S:alinkb"},
    {"NoBreakSpaces", "<nobr>a b</nobr> c", "S:a\\x05b c"},
    {"NoBreakWbr", "<nobr>a<wbr>b</nobr>", "S:a\\x01b"},
    {"ImagePlaceholder", "<img src=x.gif>a", "S:\\x04a"},
    {"ImageInNoBreak", "<nobr><img src=x></nobr>", "S:\\x07"},
    {"FormControls", "<form><input type=text><input type=hidden><select><option>a</select></form>",
     "S:\\x02\\x02"},
    {"CenterAndDiv", "<center>x</center>y<div align=right>z</div>", "S:x|S:y|S:z"},
    {"AddressBlock", "<address>a</address>b", "S:a|S:b"},
    {"Empty", "", ""},
    // What the head holds is never shown.
    {"StyleNotShown", "<head><style type=\"text/css\">p { color: red }</style></head>x", "S:x"},
    {"StyleWithCommentAndTags", "<style><!-- a<b>c {} --></STYLE>x", "S:x"},
    {"StyleUnclosed", "a<style>b { }", "S:a"},
    {"EmptyXhtmlStyle", "<style type=\"text/css\"/>x", "S:x"},
    {"StyleEndTagNeedsItsName", "<style>a</styles>b</style>c", "S:c"},
    {"ScriptInHeadWithMarkup", "<head><script type=\"text/javascript\">document.write('<b>x</b>');</script>"
                               "</head><body>y", "S:y"},
    {"ScriptWithCommentOpener", "<script>var s = \"<!--\"; if (a<!b) c();</script>x<!-- y -->z", "S:xz"},
    {"XmlDeclarationSkipped", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<html><body>x", "S:x"},
    {"QuestionMarkWithoutNameIsText", "a <? b", "S:a <? b"},
    // Items whose first line box is a heading keep their marker there.
    {"ItemStartingWithHeading", "<ol><li><h3>a</h3>b<li>c</ol>", "H3|OL1#11:a|H3|S:b|OL1#21:c"},
    {"ItemStartingWithAnchorAndHeading", "<ul><li><a name=x></a><h2>a</h2></ul>", "UL1:|H2|UL1:a|H2"},
    {"NumberingGoesOnAfterHeadingItems", "<ol start=4><li><h4>a</h4><li><h4>b</h4></ol>",
     "H4|OL1#41:a|H4|H4|OL1#51:b|H4"},
    {"MarkerLeavesTheItemWithIt", "<ul><li><h2>a</h2></ul><p>b", "H2|UL1:a|H2|P|S:b"},
    {"EmptyItemBeforeRuleMarksNothingAfter", "<ul><li><hr>a</ul>", "HR|S:a"},
};

INSTANTIATE_TEST_SUITE_P(Parser, ParseBlocks, ::testing::ValuesIn(kBlockCases),
                         [](const ::testing::TestParamInfo<BlockCase>& info) { return info.param.Name; });

TEST(ParserFonts, HeadingsGetTheirSizeAndBoldness)
{
    struct Case {
        std::string Html;
        bool Bold;
        int Nominal;
    } cases[] = {{"<h1>x</h1>", true, 24}, {"<h2>x</h2>", true, 18}, {"<h3>x</h3>", true, 14},
                 {"<h4>x</h4>", true, 12}, {"<h5>x</h5>", true, 10}, {"<h6>x</h6>", true, 8},
                 {"<h7>x</h7>", false, 12}, {"<h>x</h>", false, 12}};
    for (const Case& c : cases) {
        auto p = Parse(c.Html);
        const TSection& s = SectionAt(*p.Doc, 1);
        ASSERT_FALSE(s.Fonts.empty()) << c.Html;
        EXPECT_EQ(s.Fonts[0].Font.Bold, c.Bold) << c.Html;
        EXPECT_EQ(s.Fonts[0].Font.NominalSize, c.Nominal) << c.Html;
    }
}

TEST(ParserFonts, RealSizeFollowsDefFontSize)
{
    auto p = Parse("<h1>x</h1>y", 24);
    EXPECT_EQ(SectionAt(*p.Doc, 1).Fonts[0].Font.Size, 48);
    EXPECT_EQ(SectionAt(*p.Doc, 3).Fonts[0].Font.Size, 24);
    auto q = Parse("x", 10);
    EXPECT_EQ(SectionAt(*q.Doc, 0).Fonts[0].Font.Size, 10); // 12 * 10 / 12
}

TEST(ParserFonts, FontSizesOnTheScale)
{
    struct Case {
        std::string Html;
        int Nominal;
    } cases[] = {
        {"<font size=+1>x", 14},          {"<font size=7>x", 36},       {"<font size=-5>x", 8},
        {"<font size=0>x", 8},            {"<font size=\"+\">x", 8},    {"<font size=9>x", 36},
        {"<basefont size=5>x", 18},       {"<basefont size=5><font size=+1>x", 24},
        {"<big>x", 14},                   {"<small>x", 10},             {"<font size=7><big>x", 36},
        {"<font size=1><small>x", 8},     {"<tt>x", 10},                {"<pre>x", 10},
    };
    for (const Case& c : cases) {
        auto p = Parse(c.Html);
        ASSERT_FALSE(p.Doc->Blocks.empty()) << c.Html;
        const TSection& s = SectionAt(*p.Doc, p.Doc->Blocks.size() - 1);
        ASSERT_FALSE(s.Fonts.empty()) << c.Html;
        EXPECT_EQ(s.Fonts.back().Font.NominalSize, c.Nominal) << c.Html;
    }
}

TEST(ParserFonts, BaseFontAfterTheFirstBlockChangesOnlyTheBaseSize)
{
    auto p = Parse("a<p><basefont size=6>b<font size=+1>c");
    const TSection& s = SectionAt(*p.Doc, 2);
    ASSERT_EQ(s.Fonts.size(), 2u);
    EXPECT_EQ(s.Fonts[0].Font.NominalSize, 12);
    EXPECT_EQ(s.Fonts[1].Font.NominalSize, 36);
}

TEST(ParserFonts, FaceColourAndFixedPitch)
{
    auto p = Parse("<font color=red face=\" Arial , Helvetica\">a</font><tt>b</tt>c");
    const TSection& s = SectionAt(*p.Doc, 0);
    ASSERT_EQ(s.Fonts.size(), 3u);
    EXPECT_EQ(s.Fonts[0].Font.Name, "Arial");
    EXPECT_EQ(s.Fonts[0].Font.Color, 0xFF0000u);
    EXPECT_EQ(s.Fonts[1].Font.Name, "Courier New");
    EXPECT_TRUE(s.Fonts[1].Font.Fixed);
    EXPECT_EQ(s.Fonts[2].Font.Name, "Times New Roman");
    EXPECT_EQ(s.Fonts[2].Font.Color, clWindowText);
}

TEST(ParserFonts, StylesApplyFromTheTagOn)
{
    auto p = Parse("a<b>b<i>c</b>d</i><u>e</u><s>f</s>");
    const TSection& s = SectionAt(*p.Doc, 0);
    auto at = [&](int i) { return s.FontAt(i).Font; };
    EXPECT_FALSE(at(0).Bold);
    EXPECT_TRUE(at(1).Bold);
    EXPECT_TRUE(at(2).Bold && at(2).Italic);
    EXPECT_TRUE(!at(3).Bold && at(3).Italic);
    EXPECT_TRUE(at(4).Underline);
    EXPECT_TRUE(at(5).StrikeOut && !at(5).Underline);
}

TEST(ParserFonts, FontStackIsCappedAndTheBaseNeverPopped)
{
    std::string html;
    for (int i = 0; i < 30; ++i)
        html += "<font size=7>";
    html += "a";
    for (int i = 0; i < 40; ++i)
        html += "</font>";
    html += "b<h1>c</h1>d";
    auto p = Parse(html);
    EXPECT_EQ(Describe(*p.Doc), "S:ab|H1|S:c|H1|S:d");
    const TSection& s = SectionAt(*p.Doc, 0);
    EXPECT_EQ(s.FontAt(0).Font.NominalSize, 36);
    EXPECT_EQ(s.FontAt(1).Font.NominalSize, 12);
    EXPECT_TRUE(SectionAt(*p.Doc, 2).Fonts[0].Font.Bold);
    EXPECT_FALSE(SectionAt(*p.Doc, 4).Fonts[0].Font.Bold);
}

TEST(ParserFonts, StrayEndTagsDoNotEndAHeading)
{
    auto p = Parse("<h2>a</font></tt>b</h2>c");
    EXPECT_TRUE(SectionAt(*p.Doc, 1).FontAt(1).Font.Bold);
    EXPECT_EQ(SectionAt(*p.Doc, 1).FontAt(1).Font.NominalSize, 18);
    EXPECT_FALSE(SectionAt(*p.Doc, 3).Fonts[0].Font.Bold);
}

TEST(ParserLinks, LinkFontsAndTargets)
{
    auto p = Parse("<base target=main>a<a href=\"x.htm#Part&amp;2\">b</a>c<a href=y.htm target=t>d");
    const TSection& s = SectionAt(*p.Doc, 0);
    EXPECT_EQ(s.FontAt(0).LinkId, 0);
    EXPECT_NE(s.FontAt(1).LinkId, 0);
    EXPECT_EQ(s.FontAt(1).Url, "x.htm#Part&2");
    EXPECT_EQ(s.FontAt(1).Target, "main");
    EXPECT_EQ(s.FontAt(1).Font.Color, clBlue);
    EXPECT_EQ(s.FontAt(2).LinkId, 0);
    EXPECT_EQ(s.FontAt(2).Font.Color, clWindowText);
    EXPECT_EQ(s.FontAt(3).Target, "t");
    EXPECT_NE(s.FontAt(3).LinkId, s.FontAt(1).LinkId);
}

TEST(ParserLinks, UnclosedLinkEndsAtTheNextLinkAndAtTheHeadingEnd)
{
    auto p = Parse("<a href=a>x<a href=b>y<h2><a href=c>z</h2>w");
    const TSection& s = SectionAt(*p.Doc, 0);
    EXPECT_EQ(s.FontAt(0).Url, "a");
    EXPECT_EQ(s.FontAt(1).Url, "b");
    EXPECT_EQ(SectionAt(*p.Doc, 2).FontAt(0).Url, "c");
    const TSection& after = SectionAt(*p.Doc, 4);
    EXPECT_EQ(after.FontAt(0).LinkId, 0);
    EXPECT_FALSE(after.FontAt(0).Font.Bold);
}

TEST(ParserLinks, BodyLinkColour)
{
    auto p = Parse("<body link=#00ff00 text=white bgcolor=black vlink=red marginwidth=300>"
                   "<a href=x>a</a>b");
    const TSection& s = SectionAt(*p.Doc, 0);
    EXPECT_EQ(s.FontAt(0).Font.Color, 0x00FF00u);
    EXPECT_EQ(s.FontAt(1).Font.Color, 0xFFFFFFu);
    EXPECT_EQ(p.Doc->BodyBackground, 0x000000u);
    EXPECT_EQ(p.Doc->BodyVisitedColor, 0xFF0000u);
    EXPECT_EQ(p.Doc->BodyMarginWidth, 200);
}

TEST(ParserAnchors, NamesAreUpperCaseWithoutHash)
{
    auto p = Parse("<a name=video>V</a><p><a name=\"#Top\"></a><h2>T</h2><a name=dup>1</a><a name=DUP>2</a>");
    const auto& anchors = p.Doc->AnchorNames;
    ASSERT_TRUE(anchors.count("VIDEO"));
    ASSERT_TRUE(anchors.count("TOP"));
    ASSERT_TRUE(anchors.count("DUP"));
    EXPECT_EQ(anchors.size(), 3u);
    EXPECT_EQ(anchors.at("VIDEO"), p.Doc->Blocks[0].get());
    // An empty anchor section stays, so the anchor keeps its place.
    EXPECT_EQ(Describe(*p.Doc), "S:V|P|S:|H2|S:T|H2|S:12");
    EXPECT_EQ(anchors.at("TOP"), p.Doc->Blocks[2].get());
}

TEST(ParserAttributes, ValueForms)
{
    auto p = Parse("<hr size=4 width='50%' align=left color=\"#ff0000\" noshade>"
                   "<hr width=30% align=RIGHT><hr width=\"300\" size=99><hr width=150%>");
    auto rule = [&](std::size_t i) { return dynamic_cast<const THorzLine*>(p.Doc->Blocks.at(i).get()); };
    ASSERT_TRUE(rule(0) && rule(1) && rule(2) && rule(3));
    EXPECT_EQ(rule(0)->Thickness, 4);
    EXPECT_TRUE(rule(0)->Percent);
    EXPECT_EQ(rule(0)->WidthValue, 50);
    EXPECT_EQ(rule(0)->Align, 1);
    EXPECT_EQ(rule(0)->Color, 0xFF0000u);
    EXPECT_TRUE(rule(0)->NoShade);
    EXPECT_TRUE(rule(1)->Percent);
    EXPECT_EQ(rule(1)->WidthValue, 30);
    EXPECT_EQ(rule(1)->Align, 3);
    EXPECT_FALSE(rule(2)->Percent);
    EXPECT_EQ(rule(2)->WidthValue, 300);
    EXPECT_EQ(rule(2)->Thickness, 20);
    EXPECT_FALSE(rule(3)->Percent); // more than 100 percent is pixels
}

TEST(ParserAttributes, BorderWithoutValueCountsAsOne)
{
    auto p = Parse("<table border cellpadding='3' cellspacing=0><tr><td>a</table>"
                   "<table><tr><td>b</table>");
    auto* t = dynamic_cast<const THtmlTable*>(p.Doc->Blocks.at(0).get());
    auto* u = dynamic_cast<const THtmlTable*>(p.Doc->Blocks.at(1).get());
    ASSERT_TRUE(t && u);
    EXPECT_EQ(t->Border, 1);
    EXPECT_EQ(t->CellPadding, 3);
    EXPECT_EQ(t->CellSpacing, 0);
    EXPECT_EQ(u->Border, 0);
}

TEST(ParserAttributes, ImageAttributes)
{
    auto p = Parse("<img src=\"a&amp;b.gif\" alt=hello width=+10 height='x' align=middle border>");
    const TSection& s = SectionAt(*p.Doc, 0);
    ASSERT_EQ(s.Objects.size(), 1u);
    const TInlineObj& img = *s.Objects[0];
    EXPECT_EQ(img.Source, "a&b.gif");
    EXPECT_EQ(img.Width, 10);
    EXPECT_EQ(img.Height, 0); // not a number
    EXPECT_EQ(img.Align, 1);
    EXPECT_EQ(img.Border, 1);
    const TAttribute* alt = FindAttribute(img.Attributes, AltSy);
    ASSERT_TRUE(alt);
    EXPECT_EQ(alt->Value, "hello");
}

TEST(ParserAttributes, UnterminatedQuoteRunsToTheEnd)
{
    auto p = Parse("a<a href=\"x>b</a>c");
    EXPECT_EQ(Describe(*p.Doc), "S:a");
}

TEST(ParseColorTest, NamesAndHexValues)
{
    EXPECT_EQ(ParseColor("red"), 0xFF0000u);
    EXPECT_EQ(ParseColor("Fuchsia"), 0xFF00FFu);
    EXPECT_EQ(ParseColor("#00ff00"), 0x00FF00u);
    EXPECT_EQ(ParseColor("ff"), 0xFF0000u);
    EXPECT_EQ(ParseColor("#12345"), 0x123450u);
    EXPECT_EQ(ParseColor("zzz"), clNone);
    EXPECT_EQ(ParseColor(""), clNone);
}

TEST(ParserCallbacks, IncludeDirective)
{
    TSectionList doc;
    THtmlParser parser;
    std::string command;
    std::vector<std::string> params;
    parser.ParseDocument("x<!--#include file=\"a.htm\" virtual=b -->y", doc,
                         [&](const std::string& c, const std::vector<std::string>& p, std::string& text) {
                             command = c;
                             params = p;
                             text = "<b>in</b><!--#include file=\"again\" -->";
                         });
    EXPECT_EQ(command, "include");
    EXPECT_EQ(params, (std::vector<std::string>{"FILE=\"a.htm\"", "VIRTUAL=\"b\""}));
    EXPECT_EQ(Describe(doc), "S:xiny");
    EXPECT_TRUE(SectionAt(doc, 0).FontAt(1).Font.Bold);
}

TEST(ParserCallbacks, IncludeDirectiveWithoutCallbackIsAComment)
{
    auto p = Parse("x<!--#include file=a -->y");
    EXPECT_EQ(Describe(*p.Doc), "S:xy");
}

TEST(ParserCallbacks, MetaBaseSoundAndScript)
{
    TSectionList doc;
    THtmlParser parser;
    std::vector<std::string> metas, sounds, scripts;
    TParseResult r = parser.ParseDocument(
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
        "<meta http-equiv=refresh content=\"5; URL=next.htm\"><base href=\"file:///srv/\">"
        "<bgsound src=s.wav><bgsound src=t.wav loop=3>"
        "<script language=js name=s1><!-- a<b\n--></script>z",
        doc, {}, [&](const std::string& s, int loop) { sounds.push_back(s + ":" + std::to_string(loop)); },
        [&](const std::string& eq, const std::string& content, const std::string& name) {
            metas.push_back(eq + "|" + content + "|" + name);
        },
        [&](const std::string& name, const std::string& lang, const std::string& script) {
            scripts.push_back(name + "|" + lang + "|" + script);
        });
    EXPECT_EQ(metas.size(), 2u);
    EXPECT_EQ(sounds, (std::vector<std::string>{"s.wav:1", "t.wav:3"}));
    EXPECT_EQ(scripts, (std::vector<std::string>{"s1|js|<!-- a<b\r\n-->"}));
    EXPECT_TRUE(r.HasRefresh);
    EXPECT_EQ(r.RefreshDelay, 5);
    EXPECT_EQ(r.RefreshUrl, "next.htm");
    EXPECT_EQ(r.BaseUrl, "file:///srv/");
    EXPECT_EQ(Describe(doc), "S:z");
    EXPECT_EQ(SectionAt(doc, 0).Fonts[0].Font.CharSet, 204);
}

TEST(ParserCharset, Utf8PagesAreReadAsWindows1252)
{
    const std::string text = "caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D \xE2\x82\xAC \xCE\xB1 \xF0\x9F\x98\x80";
    const std::string shown = "S:caf\\xE9 \\x93q\\x94 \\x80 ? ?";
    struct Case {
        const char* Name;
        std::string Html;
        std::string Expected;
    } cases[] = {
        {"ByteOrderMark", "\xEF\xBB\xBF" + text, shown},
        {"MetaHttpEquiv", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">" + text, shown},
        {"MetaCharset", "<html><head><META CHARSET='utf-8'></head><body>" + text, shown},
        {"MetaCharsetUnquoted", "<meta charset=utf8>" + text, shown},
        // Without a declaration the bytes are Windows-1252, as always.
        {"Undeclared", text, "S:caf\\xC3\\xA9 \\xE2\\x80\\x9Cq\\xE2\\x80\\x9D \\xE2\\x82\\xAC \\xCE\\xB1 "
                             "\\xF0\\x9F\\x98\\x80"},
        {"Latin1Declared", "<meta http-equiv=content-type content=\"text/html; charset=iso-8859-1\">caf\xE9",
         "S:caf\\xE9"},
        {"DeclaredAfterTheBodyStarts", "<body>caf\xC3\xA9<meta charset=utf-8>", "S:caf\\xC3\\xA9"},
        // Bytes that are not UTF-8 stay the Windows-1252 bytes they are.
        {"MislabelledLatin1", "<meta charset=utf-8>caf\xE9 na\xEFve \xC3", "S:caf\\xE9 na\\xEFve \\xC3"},
        {"OverlongAndSurrogateForms", "<meta charset=utf-8>\xC0\xAF\xED\xA0\x80",
         "S:\\xC0\\xAF\\xED\\xA0\\x80"},
        {"CutShortAtTheEnd", "<meta charset=utf-8>a\xE2\x82", "S:a\\xE2\\x82"},
        {"Utf8TitleAndAttributes", "\xEF\xBB\xBF<title>\xC3\x9C" "ber</title><img alt=\"\xC3\xA9\">", "S:\\x04"},
    };
    for (const Case& c : cases) {
        auto p = Parse(c.Html);
        EXPECT_EQ(Describe(*p.Doc), c.Expected) << c.Name;
    }
    auto p = Parse("\xEF\xBB\xBF<title>\xC3\x9C" "ber</title><img alt=\"\xC3\xA9&mdash;\">");
    EXPECT_EQ(p.Result.DocumentTitle, "\xDC" "ber");
    const TAttribute* alt = FindAttribute(SectionAt(*p.Doc, 0).Objects.at(0)->Attributes, AltSy);
    ASSERT_TRUE(alt);
    EXPECT_EQ(alt->Value, "\xE9\x97");
}

TEST(ParserBody, ColoursApplyAfterWhatTheHeadHolds)
{
    const std::string body = "<body bgcolor=\"#102030\" text=yellow link=lime>x";
    struct Case {
        const char* Name;
        std::string Html;
    } cases[] = {
        {"Plain", "<html><head><title>t</title></head>\n" + body},
        {"Style", "<html><head><style type=\"text/css\">\nbody { margin: 0 }\n</style></head>\n" + body},
        {"Script", "<html><head><script>var a = \"<b>\";</script></head>\n" + body},
        {"XmlDeclaration", "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<!DOCTYPE html>\n<html>" + body},
        {"Utf8WithEverything", "\xEF\xBB\xBF<?xml version=\"1.0\"?><html><head><meta charset=utf-8>"
                               "<style>p{}</style><script>x()</script></head>" + body},
    };
    for (const Case& c : cases) {
        auto p = Parse(c.Html);
        EXPECT_EQ(p.Doc->BodyBackground, 0x102030u) << c.Name;
        EXPECT_EQ(p.Doc->FontColor, 0xFFFF00u) << c.Name;
        EXPECT_EQ(p.Doc->LinkColor, 0x00FF00u) << c.Name;
        EXPECT_EQ(Describe(*p.Doc), "S:x") << c.Name;
    }
    // Text before BODY still starts the document, and then BODY is too late.
    auto late = Parse("shown<body bgcolor=red>");
    EXPECT_NE(late.Doc->BodyBackground, 0xFF0000u);
}

TEST(ParserPlainText, OnePreformattedBlock)
{
    TSectionList doc;
    THtmlParser parser;
    parser.ParsePlainText("a\r\nb<i>&amp;\tc <!-- d -->", doc);
    EXPECT_EQ(Describe(doc), "PRE:a\\x0Db<i>&amp; c <!-- d -->");
    const TSection& s = SectionAt(doc, 0);
    EXPECT_EQ(s.Fonts[0].Font.Name, "Courier New");
    EXPECT_EQ(s.Fonts[0].Font.NominalSize, 10);
}

TEST(ParserPlainText, Utf8OnlyWithAByteOrderMark)
{
    TSectionList doc, raw;
    THtmlParser parser;
    parser.ParsePlainText("\xEF\xBB\xBF" "caf\xC3\xA9 \xE2\x80\x94", doc);
    EXPECT_EQ(Describe(doc), "PRE:caf\\xE9 \\x97");
    parser.ParsePlainText("caf\xC3\xA9", raw);
    EXPECT_EQ(Describe(raw), "PRE:caf\\xC3\\xA9");
}

TEST(ParserPositions, CharactersKeepTheirSourcePositions)
{
    auto p = Parse("<b>ab</b> &amp;c");
    const TSection& s = SectionAt(*p.Doc, 0);
    ASSERT_EQ(s.Text, "ab &c");
    EXPECT_EQ(s.SourcePos, (std::vector<int>{3, 4, 9, 10, 15}));
}

} // namespace
