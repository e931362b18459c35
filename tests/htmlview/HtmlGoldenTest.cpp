// Screenshots of small documents, rendered offscreen with the real fonts and
// compared with the PNGs in tests/htmlview/golden. A mismatch writes
// <name>-FAILED.png into the build tree; LUMORA_UPDATE_GOLDEN=1 writes the
// references instead. The program's help page is saved for review.

#include "htmlview/HtmlView.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string GoldenDir()
{
    return testsupport::SourceDir() + "/tests/htmlview/golden";
}

// Pictures for review go to the build tree, never into the sources.
std::string OutputDir()
{
    const std::string dir = std::getenv("LUMORA_BUILD_DIR")
                                ? testsupport::BuildDir() + "/tests/htmlview"
                                : (fs::temp_directory_path() / "lumora-htmlview").string();
    fs::create_directories(dir);
    return dir;
}

QImage Render(const std::string& html, int width, int height)
{
    THtmlView view;
    view.SetDefBackground(clWindow);
    view.resize(width, height);
    view.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.LoadFromString(html);
    QApplication::processEvents();
    return view.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Pixels that differ clearly; anti-aliasing may move a little between
// library versions, layout faults move whole words.
int DifferentPixels(const QImage& a, const QImage& b)
{
    int count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > 64 || std::abs(qGreen(p) - qGreen(q)) > 64 ||
                std::abs(qBlue(p) - qBlue(q)) > 64)
                ++count;
        }
    return count;
}

struct GoldenCase {
    const char* Name;
    const char* Html;
    int Width, Height;
};

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, MatchesTheReference)
{
    const GoldenCase& c = GetParam();
    const QImage shot = Render(c.Html, c.Width, c.Height);
    const std::string reference = GoldenDir() + "/" + c.Name + ".png";
    if (qEnvironmentVariableIntValue("LUMORA_UPDATE_GOLDEN") == 1) {
        ASSERT_TRUE(shot.save(QString::fromStdString(reference)));
        return;
    }
    QImage expected(QString::fromStdString(reference));
    ASSERT_FALSE(expected.isNull()) << "missing " << reference << " (LUMORA_UPDATE_GOLDEN=1 writes it)";
    expected = expected.convertToFormat(QImage::Format_RGB32);
    const std::string failed = OutputDir() + "/" + c.Name + "-FAILED.png";
    const bool sameSize = expected.size() == shot.size();
    const int diff = sameSize ? DifferentPixels(expected, shot) : -1;
    if (!sameSize || diff > shot.width() * shot.height() / 500) {
        shot.save(QString::fromStdString(failed));
        FAIL() << c.Name << ": " << diff << " pixels differ; picture written to " << failed;
    }
    fs::remove(failed);
}

const GoldenCase kGoldenCases[] = {
    {"headings_and_rule",
     "<center><h1>Lumora</h1></center><p><a href=\"#a\">Video Source</a> | <a href=\"#b\">Network</a></p>"
     "<hr><h2>Video Source</h2><p>Choose a camera and press <b>Preview</b>. <i>Italic</i>, <tt>fixed</tt> "
     "and <u>underlined</u> text.</p>",
     320, 240},
    {"lists_and_pre",
     "<ul><li>first<li>second<ul><li>inner</ul></ul><ol type=I start=3><li>three<li>four</ol>"
     "<pre>  pre  formatted\n    text</pre>",
     300, 240},
    {"table_and_colours",
     "<body bgcolor=#ffffe0 text=navy><table border=2 cellpadding=4><tr><th>Rate<th>Use</tr>"
     "<tr><td>93 kbps<td>most broadband</tr><tr><td colspan=2 align=center bgcolor=silver>"
     "<font color=red size=+1>span</font></td></tr></table><hr width=50% color=green size=4>",
     300, 200},
    {"long_text_scrolls",
     "<p>Lumora turns a video capture device into a live stream and keeps a web page on your own "
     "website pointing at that stream. The words wrap at the right edge of the view; the document is "
     "taller than the view so a scroll bar shows. Once more: the words wrap at the right edge of the "
     "view; the document is taller than the view so a scroll bar shows.</p><p>End.</p>",
     220, 150},
    {"list_items_with_headings",
     "<ol><li><h3>Choose a source</h3>Pick a camera.<li><a name=net></a><h3>Network</h3>Pick a rate.</ol>"
     "<ul><li><h4>Bullet on a heading</h4><li>plain item</ul>",
     300, 240},
    {"xhtml_utf8_page",
     "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html>\n<html><head>"
     "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"><title>t</title>"
     "<style type=\"text/css\">body { color: red }</style><script>var s = \"<!--\";</script></head>"
     "<body bgcolor=\"#203040\" text=white link=yellow><h2>Caf\xC3\xA9 \xE2\x80\x93 na\xC3\xAFve</h2>"
     "<p>\xE2\x80\x9CQuoted\xE2\x80\x9D &bull; 5 &euro; &mdash; <a href=x.htm>link</a>&hellip;</p></body></html>",
     300, 160},
};

INSTANTIATE_TEST_SUITE_P(Screens, Golden, ::testing::ValuesIn(kGoldenCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) { return info.param.Name; });

TEST(Screenshot, HelpPageForReview)
{
    const std::string page = testsupport::SourceDir() + "/app/resources/help.htm";
    if (!fs::exists(page))
        GTEST_SKIP() << "no help page at " << page;
    THtmlView view;
    view.SetDefBackground(clWindow);
    view.SetHistoryMaxCount(0);
    view.SetNoSelect(true);
    view.resize(640, 480);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.LoadFromFile(page);
    QApplication::processEvents();
    const QImage shot = view.grab().toImage();
    for (const char* anchor : {"#video", "#network", "#website"})
        EXPECT_TRUE(view.PositionTo(anchor)) << anchor;
    const std::string out = OutputDir() + "/help-page.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(out)));
    // Something was drawn besides the background.
    int ink = 0;
    for (int y = 0; y < shot.height(); y += 2)
        for (int x = 0; x < shot.width() - 20; x += 2)
            ink += qGray(shot.pixel(x, y)) < 128;
    EXPECT_GT(ink, 200);
}

} // namespace
