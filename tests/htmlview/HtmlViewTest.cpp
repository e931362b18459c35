// THtmlView as a real Qt widget (offscreen): loading, links, anchors,
// scrolling, history, visited links and the image hook.

#include "htmlview/HtmlView.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFileText;

namespace {

// A help page shaped like the program's: a centred title, links to three
// anchors of the same file, a rule, and three sections.
std::string HelpPage()
{
    std::string filler;
    for (int i = 0; i < 12; ++i)
        filler += "<p>Some words about this part of the program, long enough to wrap a line or two.</p>\n";
    return "<html><head><title>Lumora</title></head><body>\n"
           "<center><h1>Lumora</h1></center>\n"
           "<p><a href=\"help.htm#video\">Video Source</a> |\n"
           "<a href=\"help.htm#network\">Network</a> |\n"
           "<a href=\"help.htm#website\">Website</a>\n"
           "<a href=\"#website\">Here</a> <a href=\"#nowhere\">Nowhere</a> <a href=\"help.htm#nowhere\">Gone</a>"
           " <a href=\"other.htm\">Other</a></p>\n<hr>\n"
           "<a name=\"video\"></a>\n<h2>Video Source</h2>\n" +
           filler + "<a name=\"network\"></a>\n<h2>Network</h2>\n" + filler +
           "<a name=\"website\"></a>\n<h2>Website</h2>\n" + filler + "</body></html>\n";
}

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        view.SetFontEngine(std::make_shared<TFixedFontEngine>());
        view.resize(400, 300);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }

    // The middle of the first character of the link to url, in the drawing
    // surface's coordinates.
    QPoint LinkPoint(const std::string& url)
    {
        QPoint found(-1, -1);
        const_cast<TSectionList&>(view.Document()).ForEachSectionIn([&](TSection& s) {
            if (found.x() >= 0)
                return;
            for (const TFontObj& f : s.Fonts) {
                if (f.Url != url)
                    continue;
                for (const TLineRec& line : s.Lines) {
                    if (f.Pos < line.Start || f.Pos >= line.Start + line.Count)
                        continue;
                    int x = line.X;
                    for (int k = line.Start; k < f.Pos; ++k)
                        x += view.FontEngine().Metrics(s.FontAt(k).Font).Widths[static_cast<unsigned char>(s.Text[std::size_t(k)])];
                    found = QPoint(x + 2 - view.HScrollPos(), s.Y + line.Top + line.Height / 2 - view.Position());
                    return;
                }
            }
        });
        EXPECT_GE(found.x(), 0) << "no link to " << url;
        return found;
    }

    void Click(const std::string& url)
    {
        QTest::mouseClick(view.PaintPanel(), Qt::LeftButton, Qt::NoModifier, LinkPoint(url));
    }

    int AnchorY(const std::string& name) { return view.Document().AnchorNames.at(name)->Y; }

    THtmlView view;
};

TEST_F(ViewTest, HelpPageAnchorsWorkAfterTheFileIsDeleted)
{
    TempDir dir;
    WriteFileText(dir.file("help.htm"), HelpPage());
    const fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    view.LoadFromFile("help.htm");
    fs::current_path(saved);
    fs::remove(dir.file("help.htm"));

    EXPECT_EQ(view.CurrentFile(), (dir.path() / "help.htm").lexically_normal().string());
    EXPECT_EQ(view.DocumentTitle(), "Lumora");
    EXPECT_EQ(view.Position(), 0);
    ASSERT_TRUE(view.VScrollBar()->isVisible());

    Click("help.htm#network");
    EXPECT_EQ(view.Position(), AnchorY("NETWORK"));
    EXPECT_GT(view.Position(), 0);
    EXPECT_EQ(view.VScrollBar()->value(), view.Position());

    view.ScrollToY(0);
    Click("#website");
    EXPECT_EQ(view.Position(), std::min(AnchorY("WEBSITE"), view.DocumentHeight() - view.PaintPanel()->height()));
    EXPECT_EQ(view.VisitedList().front(), view.CurrentFile() + "#website");

    view.ScrollToY(0);
    Click("help.htm#video");
    EXPECT_EQ(view.Position(), AnchorY("VIDEO"));
    // The same file again, never read from the disk.
    EXPECT_EQ(view.DocumentTitle(), "Lumora");
}

TEST_F(ViewTest, UnknownAnchorDoesNothing)
{
    view.LoadFromString(HelpPage());
    view.ScrollToY(40);
    Click("#nowhere");
    EXPECT_EQ(view.Position(), 40);
    view.HotSpotClick("#nowhere");
    EXPECT_EQ(view.Position(), 40);
}

TEST_F(ViewTest, AnchorNamesMatchInAnyCase)
{
    std::string words;
    for (int i = 0; i < 600; ++i)
        words += "word ";
    view.LoadFromString("<p>" + words + "<a name=Video></a><h2>V</h2>" + words + "<p><a name=\"Mixed\">M</a>" +
                        words);
    const int mixed = AnchorY("MIXED");
    EXPECT_TRUE(view.PositionTo("#mixed"));
    EXPECT_EQ(view.Position(), mixed);
    EXPECT_TRUE(view.PositionTo("#video"));
    EXPECT_EQ(view.Position(), AnchorY("VIDEO"));
    EXPECT_TRUE(view.PositionTo("MIXED"));
    EXPECT_EQ(view.Position(), mixed);
    EXPECT_FALSE(view.PositionTo("#nope"));
    EXPECT_FALSE(view.PositionTo(""));
    EXPECT_EQ(view.Position(), mixed);
}

TEST_F(ViewTest, HistoryMaxCountZeroKeepsNoHistory)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), HelpPage());
    WriteFileText(dir.file("b.htm"), "<a href=a.htm#network>back</a>");
    int changes = 0;
    view.OnHistoryChange = [&](THtmlView*) { ++changes; };
    ASSERT_EQ(view.HistoryMaxCount(), 0);
    view.LoadFromFile(dir.file("a.htm"));
    Click("#website");
    view.LoadFromFile(dir.file("b.htm"));
    Click("a.htm#network");
    EXPECT_EQ(view.CurrentFile(), dir.file("a.htm"));
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(view.HistoryCount(), 0);
}

TEST_F(ViewTest, HistoryRecordsFilesAndJumps)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), HelpPage());
    WriteFileText(dir.file("b.htm"), "<title>B</title><a href=a.htm#network>back</a>");
    int changes = 0;
    view.OnHistoryChange = [&](THtmlView*) { ++changes; };
    view.SetHistoryMaxCount(3);
    view.LoadFromFile(dir.file("a.htm"));
    view.LoadFromFile(dir.file("b.htm"));
    EXPECT_EQ(view.HistoryCount(), 2);
    EXPECT_EQ(view.HistoryTitle(0), "B");
    Click("a.htm#network");
    EXPECT_EQ(view.HistoryCount(), 3);
    EXPECT_EQ(view.HistoryFile(0), dir.file("a.htm"));
    view.HotSpotClick("#website");
    EXPECT_EQ(view.HistoryCount(), 3); // at most HistoryMaxCount
    const int before = changes;
    view.SetHistoryIndex(1);
    EXPECT_EQ(view.CurrentFile(), dir.file("a.htm"));
    EXPECT_EQ(view.Position(), AnchorY("NETWORK"));
    view.SetHistoryIndex(2);
    EXPECT_EQ(view.CurrentFile(), dir.file("b.htm"));
    EXPECT_GT(changes, before);
    // Lowering the count clears the history; a negative count is refused.
    view.SetHistoryMaxCount(-1);
    EXPECT_EQ(view.HistoryMaxCount(), 3);
    view.SetHistoryMaxCount(1);
    EXPECT_EQ(view.HistoryCount(), 0);
}

TEST_F(ViewTest, ShortDocumentDoesNotScroll)
{
    view.LoadFromString("<p>short");
    EXPECT_FALSE(view.VScrollBar()->isVisible());
    EXPECT_FALSE(view.HScrollBar()->isVisible());
    for (int key : {Qt::Key_PageDown, Qt::Key_Down, Qt::Key_End}) {
        QTest::keyClick(&view, static_cast<Qt::Key>(key));
        EXPECT_EQ(view.Position(), 0);
    }
}

TEST_F(ViewTest, KeyboardScrolling)
{
    view.LoadFromString(HelpPage());
    const int viewHeight = view.PaintPanel()->height();
    const int maxPos = view.DocumentHeight() - viewHeight;
    ASSERT_GT(maxPos, 2 * viewHeight);
    EXPECT_EQ(view.VPageStep(), viewHeight - 16);
    QTest::keyClick(&view, Qt::Key_PageDown);
    EXPECT_EQ(view.Position(), viewHeight - 16);
    QTest::keyClick(&view, Qt::Key_Down);
    EXPECT_EQ(view.Position(), viewHeight);
    QTest::keyClick(&view, Qt::Key_Up);
    QTest::keyClick(&view, Qt::Key_Up);
    EXPECT_EQ(view.Position(), viewHeight - 32);
    QTest::keyClick(&view, Qt::Key_PageUp);
    EXPECT_EQ(view.Position(), 0);
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_EQ(view.Position(), maxPos);
    EXPECT_EQ(view.VScrollBar()->value(), maxPos);
    QTest::keyClick(&view, Qt::Key_Down);
    EXPECT_EQ(view.Position(), maxPos);
    QTest::keyClick(&view, Qt::Key_Home);
    EXPECT_EQ(view.Position(), 0);
    view.ScrollToY(-50);
    EXPECT_EQ(view.Position(), 0);
    view.ScrollToY(1 << 30);
    EXPECT_EQ(view.Position(), maxPos);
}

TEST_F(ViewTest, WideDocumentScrollsSideways)
{
    view.LoadFromString("<pre>" + std::string(300, 'w') + "</pre>");
    ASSERT_TRUE(view.HScrollBar()->isVisible());
    EXPECT_FALSE(view.VScrollBar()->isVisible());
    QTest::keyClick(&view, Qt::Key_Right);
    EXPECT_EQ(view.HScrollPos(), 15);
    QTest::keyClick(&view, Qt::Key_Left);
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_EQ(view.HScrollPos(), 0);
    // A view-wide word is not broken either: the range grows.
    view.LoadFromString(std::string(300, 'v'));
    EXPECT_TRUE(view.HScrollBar()->isVisible());
    EXPECT_GT(view.DocumentWidth(), 300 * 6);
}

TEST_F(ViewTest, ShowVScrollKeepsADisabledBar)
{
    view.SethtOptions(htShowVScroll);
    view.LoadFromString("short");
    EXPECT_TRUE(view.VScrollBar()->isVisible());
    EXPECT_FALSE(view.VScrollBar()->isEnabled());
    view.SetScrollBars(ssNone);
    view.LoadFromString(HelpPage());
    EXPECT_FALSE(view.VScrollBar()->isVisible());
}

TEST_F(ViewTest, ResizeLaysOutAgain)
{
    view.LoadFromString(HelpPage());
    const int tall = view.DocumentHeight();
    view.resize(800, 300);
    QApplication::processEvents();
    EXPECT_LT(view.DocumentHeight(), tall);
}

TEST_F(ViewTest, MissingFileRaisesAndKeepsTheDocument)
{
    view.LoadFromString("<title>Kept</title>text");
    try {
        view.LoadFromFile("/nonexistent/dir/x.htm#a");
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Can't locate file: /nonexistent/dir/x.htm");
    }
    EXPECT_EQ(view.DocumentTitle(), "Kept");
    EXPECT_EQ(view.CurrentFile(), "");
    view.LoadFromFile(""); // refused quietly
    EXPECT_EQ(view.DocumentTitle(), "Kept");
}

TEST_F(ViewTest, ClickOnLinkToMissingFileReportsTheError)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), HelpPage());
    view.LoadFromFile(dir.file("a.htm"));
    std::string error;
    view.OnError = [&](THtmlView*, const Exception& e) { error = e.Message(); };
    Click("other.htm");
    EXPECT_EQ(error, "Can't locate file: " + dir.file("other.htm"));
    EXPECT_EQ(view.CurrentFile(), dir.file("a.htm"));
}

TEST_F(ViewTest, LinkToAnotherFileLoadsItAtTheAnchor)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), "<a href=\"sub/b.htm#network\">b</a>");
    fs::create_directory(dir.path() / "sub");
    WriteFileText(dir.file("sub/b.htm"), HelpPage());
    view.LoadFromFile(dir.file("a.htm"));
    Click("sub/b.htm#network");
    EXPECT_EQ(view.CurrentFile(), dir.file("sub/b.htm"));
    EXPECT_EQ(view.Position(), AnchorY("NETWORK"));
    EXPECT_EQ(view.VisitedList().front(), dir.file("sub/b.htm") + "#network");
}

TEST_F(ViewTest, HoverShowsTheHandAndReportsTheLink)
{
    view.LoadFromString("<p>text <a href=\"x.htm\">link</a> more");
    std::vector<std::string> covered;
    view.OnHotSpotCovered = [&](THtmlView*, const std::string& src) { covered.push_back(src); };
    const QPoint on = LinkPoint("x.htm");
    QTest::mouseMove(view.PaintPanel(), on);
    EXPECT_EQ(view.PaintPanel()->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(view.PaintPanel(), on + QPoint(1, 0));
    QTest::mouseMove(view.PaintPanel(), QPoint(on.x(), on.y() + 100));
    EXPECT_EQ(view.PaintPanel()->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(covered, (std::vector<std::string>{"x.htm", ""}));
    EXPECT_EQ(view.LinkURL(), "");
}

TEST_F(ViewTest, HotSpotClickHandlerMayClaimTheClick)
{
    view.LoadFromString(HelpPage());
    std::string clicked;
    view.OnHotSpotClick = [&](THtmlView*, const std::string& src, bool& handled) {
        clicked = src;
        handled = true;
    };
    Click("#website");
    EXPECT_EQ(clicked, "#website");
    EXPECT_EQ(view.Position(), 0);
}

TEST_F(ViewTest, PressOnOneLinkReleaseOnAnotherIsNoClick)
{
    view.LoadFromString(HelpPage());
    QTest::mousePress(view.PaintPanel(), Qt::LeftButton, Qt::NoModifier, LinkPoint("#website"));
    QTest::mouseRelease(view.PaintPanel(), Qt::LeftButton, Qt::NoModifier, LinkPoint("help.htm#network"));
    EXPECT_EQ(view.Position(), 0);
}

TEST_F(ViewTest, ExpandLinkName)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), "x");
    view.LoadFromFile(dir.file("a.htm"));
    const std::string d = dir.path().string();
    EXPECT_EQ(view.ExpandLinkName("b.htm"), d + "/b.htm");
    EXPECT_EQ(view.ExpandLinkName("  sub/../c.htm "), d + "/c.htm");
    EXPECT_EQ(view.ExpandLinkName("my%20page.htm"), d + "/my page.htm");
    EXPECT_EQ(view.ExpandLinkName("100%.htm"), d + "/100%.htm");
    EXPECT_EQ(view.ExpandLinkName("/abs/x.htm"), "/abs/x.htm");
    EXPECT_EQ(view.ExpandLinkName("file:///abs/y.htm"), "/abs/y.htm");
    EXPECT_EQ(view.ExpandLinkName("FILE:///abs/z.htm"), "/abs/z.htm");
    view.SetServerRoot("/srv/www/");
    EXPECT_EQ(view.ExpandLinkName("/docs/i.htm"), "/srv/www/docs/i.htm");
    EXPECT_EQ(view.ExpandLinkName("j.htm"), d + "/j.htm");
}

TEST_F(ViewTest, BaseUrlResolvesRelativeLinks)
{
    view.LoadFromString("<base href=\"file:///base/dir/\">x");
    EXPECT_EQ(view.ExpandLinkName("p.htm"), "/base/dir/p.htm");
}

TEST_F(ViewTest, VisitedLinksAreMarked)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), HelpPage());
    view.LoadFromFile(dir.file("a.htm"));
    auto visited = [&](const std::string& url) {
        bool v = false;
        const_cast<TSectionList&>(view.Document()).ForEachSectionIn([&](TSection& s) {
            for (const TFontObj& f : s.Fonts)
                if (f.Url == url)
                    v = f.Visited;
        });
        return v;
    };
    EXPECT_FALSE(visited("#website"));
    Click("#website");
    EXPECT_TRUE(visited("#website"));
    EXPECT_TRUE(visited("help.htm#website") == false); // another file's anchor
    view.LoadFromFile(dir.file("a.htm"));
    EXPECT_TRUE(visited("#website")); // kept across loads
    view.SetVisitedMaxCount(0);
    EXPECT_TRUE(view.VisitedList().empty());
    EXPECT_FALSE(visited("#website"));
}

TEST_F(ViewTest, PlainText)
{
    view.LoadFromString("line <b>one</b>\nline two", true);
    ASSERT_EQ(view.Document().Blocks.size(), 1u);
    auto* s = dynamic_cast<const TSection*>(view.Document().Blocks[0].get());
    ASSERT_TRUE(s && s->Preformatted);
    EXPECT_EQ(s->Lines.size(), 2u);
    EXPECT_EQ(view.CurrentFileType(), TextType);
}

TEST_F(ViewTest, ProcessingIsReported)
{
    std::vector<bool> states;
    view.OnProcessing = [&](THtmlView* v, bool on) {
        states.push_back(on);
        if (on) // a load asked for while one runs is refused
            v->LoadFromString("<title>nested</title>");
    };
    view.LoadFromString("<title>outer</title>");
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
    EXPECT_EQ(view.DocumentTitle(), "outer");
}

// ---- The image hook

std::vector<THtmlImageFrame> SolidFrames(int w, int h, std::initializer_list<std::uint32_t> colours)
{
    std::vector<THtmlImageFrame> frames;
    for (std::uint32_t c : colours) {
        THtmlImageFrame f;
        f.Width = w;
        f.Height = h;
        f.Pixels.assign(std::size_t(w) * std::size_t(h), c);
        f.DelayMs = 100;
        frames.push_back(std::move(f));
    }
    return frames;
}

TEST_F(ViewTest, ImagesTakeTheirSizeFromTheLoader)
{
    TempDir dir;
    WriteFileText(dir.file("a.htm"), "<img src=pic.gif><img src=pic.gif width=60><img src=missing.gif>"
                                     "<img src=other.gif width=7 height=9>");
    std::vector<std::string> asked;
    view.SetImageLoader([&](const std::string& name, const std::string* data) -> std::shared_ptr<THtmlImage> {
        EXPECT_EQ(data, nullptr);
        asked.push_back(name);
        if (name.size() >= 7 && name.substr(name.size() - 7) == "pic.gif")
            return std::make_shared<THtmlFrameImage>(SolidFrames(30, 20, {0xFFFF0000}));
        return nullptr;
    });
    view.LoadFromFile(dir.file("a.htm"));
    const TSection& s = dynamic_cast<const TSection&>(*view.Document().Blocks.at(0));
    ASSERT_EQ(s.Objects.size(), 4u);
    EXPECT_EQ(s.Objects[0]->Width, 30);
    EXPECT_EQ(s.Objects[0]->Height, 20);
    EXPECT_EQ(s.Objects[1]->Width, 60);
    EXPECT_EQ(s.Objects[1]->Height, 40);
    EXPECT_EQ(s.Objects[2]->Width, 0);
    EXPECT_EQ(s.Objects[3]->Width, 7);
    EXPECT_EQ(s.Objects[3]->Height, 9);
    // The cache answers the second use of pic.gif.
    EXPECT_EQ(asked, (std::vector<std::string>{dir.file("pic.gif"), dir.file("missing.gif"), dir.file("other.gif")}));
    EXPECT_EQ(s.Lines.at(0).Ascent, 40);
}

TEST_F(ViewTest, ImageRequestSuppliesTheBytes)
{
    view.OnImageRequest = [](THtmlView*, const std::string& src, std::shared_ptr<std::istream>& stream) {
        if (src == "mem:1")
            stream = std::make_shared<std::istringstream>(std::string("BYTES"));
    };
    std::string got;
    view.SetImageLoader([&](const std::string& name, const std::string* data) -> std::shared_ptr<THtmlImage> {
        got = name + "=" + (data ? *data : std::string("(file)"));
        return std::make_shared<THtmlFrameImage>(SolidFrames(5, 5, {0xFF00FF00}));
    });
    view.LoadFromString("<img src=\"mem:1\">");
    EXPECT_EQ(got, "mem:1=BYTES");
}

TEST_F(ViewTest, AnimatedImageRepaints)
{
    auto anim = std::make_shared<THtmlFrameImage>(SolidFrames(20, 20, {0xFFFF0000, 0xFF0000FF}));
    view.SetImageLoader([&](const std::string&, const std::string*) -> std::shared_ptr<THtmlImage> { return anim; });
    view.LoadFromString("<img src=a.gif>");
    const QPoint inside(10 + 10, 5 + 10);
    auto colourAt = [&] {
        QApplication::processEvents();
        return view.PaintPanel()->grab().toImage().pixelColor(inside);
    };
    EXPECT_EQ(colourAt(), QColor(255, 0, 0));
    anim->Advance();
    EXPECT_EQ(colourAt(), QColor(0, 0, 255));
    EXPECT_TRUE(anim->HasChangedHandler());
    view.LoadFromString("no image");
    EXPECT_FALSE(anim->HasChangedHandler()); // nobody watches it any more
}

TEST_F(ViewTest, DefaultLoaderReadsBitmapFiles)
{
    TempDir dir;
    QImage picture(6, 4, QImage::Format_RGB32);
    picture.fill(QColor(0, 128, 0));
    ASSERT_TRUE(picture.save(QString::fromStdString(dir.file("p.bmp")), "BMP"));
    WriteFileText(dir.file("a.htm"), "<img src=p.bmp><img src=none.bmp>");
    view.LoadFromFile(dir.file("a.htm"));
    const TSection& s = dynamic_cast<const TSection&>(*view.Document().Blocks.at(0));
    ASSERT_EQ(s.Objects.size(), 2u);
    EXPECT_EQ(s.Objects[0]->Width, 6);
    EXPECT_EQ(s.Objects[0]->Height, 4);
    EXPECT_EQ(s.Objects[1]->Width, 0);
    // A link to a picture shows it as the document.
    view.LoadImageFile(dir.file("p.bmp"));
    EXPECT_EQ(view.CurrentFileType(), ImgType);
    EXPECT_EQ(view.CurrentFile(), dir.file("p.bmp"));
    QApplication::processEvents();
    const TSection& shown = dynamic_cast<const TSection&>(*view.Document().Blocks.at(0));
    const int baseline = shown.Y + shown.Lines.at(0).Ascent; // the picture stands on it
    const QImage shot = view.PaintPanel()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(10 + 2, baseline - 2), QColor(0, 128, 0));
    EXPECT_NE(shot.pixelColor(10 + 2, baseline + 2), QColor(0, 128, 0));
}

TEST_F(ViewTest, WithoutALoaderImagesDrawNothing)
{
    view.SetImageLoader(nullptr);
    view.SetDefBackground(clWhite);
    view.LoadFromString("<img src=a.gif width=40 height=30>");
    const QImage shot = view.PaintPanel()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(25, 15), QColor(255, 255, 255));
    const TSection& s = dynamic_cast<const TSection&>(*view.Document().Blocks.at(0));
    EXPECT_EQ(s.Height, 30 + 3); // the image on the baseline of a 12 point line
}

} // namespace
