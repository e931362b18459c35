// The viewer showing GIF, JPEG and BMP images through our loader: a page
// rendered offscreen (screenshots under the build folder for review), the
// GIF animating on its timer, and the adapter's pieces.

#include "htmlview/HtmlImages.h"
#include "htmlview/HtmlView.h"
#include "tests/images/GifFixtures.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

using giftest::GifBuilder;
using giftest::TestColour;

namespace {

QRgb ToQRgb(uint32_t colour) { return qRgb(int(colour & 0xFF), int(colour >> 8 & 0xFF), int(colour >> 16 & 0xFF)); }

int CountNear(const QImage& image, QRgb colour, int tolerance = 0)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (std::abs(qRed(p) - qRed(colour)) <= tolerance && std::abs(qGreen(p) - qGreen(colour)) <= tolerance &&
                std::abs(qBlue(p) - qBlue(colour)) <= tolerance)
                ++count;
        }
    return count;
}

// Runs the event loop until done() or the time is up.
bool WaitFor(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void Save(const QImage& image, const std::string& name)
{
    const std::filesystem::path dir = std::filesystem::path(testsupport::BuildDir()) / "screenshots";
    std::filesystem::create_directories(dir);
    image.save(QString::fromStdString((dir / name).string()));
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

// 24x12, two frames of 50 ms each, for ever: colour 1, then colour 2 with a
// transparent hole (index 3) in its middle rows.
std::vector<uint8_t> TwoFrameGif()
{
    std::vector<uint8_t> second(24 * 12, 2);
    for (int i = 24 * 4; i < 24 * 8; ++i)
        second[size_t(i)] = 3;
    return GifBuilder(24, 12)
        .Netscape(0)
        .GraphicControl(1, false, 5)
        .Image(0, 0, 24, 12, std::vector<uint8_t>(24 * 12, 1))
        .GraphicControl(1, true, 5, 3)
        .Image(0, 0, 24, 12, second)
        .Trailer()
        .Data();
}

} // namespace

TEST(HtmlImages, PageWithGifJpegAndBmp)
{
    testsupport::TempDir dir;
    WriteBytes(dir.file("anim.gif"), TwoFrameGif());
    int status = -1;
    testsupport::RunCommand("cd '" + dir.path().string() +
                                "' && convert -size 40x30 xc:'#3366CC' -quality 95 photo.jpg && "
                                "convert -size 30x20 xc:'#CC3300' bmp3:picture.bmp 2>&1",
                            &status);
    ASSERT_EQ(status, 0);
    testsupport::WriteFileText(dir.file("page.htm"),
                               "<html><body bgcolor=\"#FFFFFF\"><h2>Images</h2>"
                               "<p>GIF <img src=\"anim.gif\"> JPEG <img src=\"photo.jpg\"> "
                               "BMP <img src=\"picture.bmp\"> scaled <img src=\"picture.bmp\" width=60 height=40></p>"
                               "<p>missing <img src=\"none.gif\"> done</p></body></html>");

    // Our loader, with the GIF's millisecond clock in the test's hands so
    // that the frame on screen does not depend on how fast the page loads.
    uint32_t now = 1000;
    std::vector<std::shared_ptr<THtmlImage>> gifs;
    THtmlView view;
    view.SetImageLoader([&](const std::string& name, const std::string* data) {
        std::shared_ptr<THtmlImage> image = ViewerImageLoader()(name, data);
        if (auto* gif = dynamic_cast<THtmlGifImage*>(image.get())) {
            gif->Gif().Clock = [&now] { return now; };
            gifs.push_back(image);
        }
        return image;
    });
    view.resize(480, 240);
    view.show();
    view.LoadFromFile(dir.file("page.htm"));
    QCoreApplication::processEvents();

    ASSERT_EQ(gifs.size(), 1u);
    const QImage first = view.grab().toImage();
    Save(first, "images-page.png");
    EXPECT_EQ(CountNear(first, ToQRgb(TestColour(1))), 24 * 12);
    EXPECT_EQ(CountNear(first, qRgb(0xCC, 0x33, 0x00)), 30 * 20 + 60 * 40);
    EXPECT_GE(CountNear(first, qRgb(0x33, 0x66, 0xCC), 4), 40 * 30);

    // Once its 50 ms have passed, the GIF moves to its second frame on the
    // viewer's timer; the hole shows the first frame beneath.
    now += 49;
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(CountNear(view.grab().toImage(), ToQRgb(TestColour(1))), 24 * 12);
    now += 1;
    ASSERT_TRUE(WaitFor([&] { return CountNear(view.grab().toImage(), ToQRgb(TestColour(2))) > 0; }, 3000));
    const QImage second = view.grab().toImage();
    Save(second, "images-page-frame2.png");
    EXPECT_EQ(CountNear(second, ToQRgb(TestColour(2))), 24 * 8);
    EXPECT_EQ(CountNear(second, ToQRgb(TestColour(1))), 24 * 4);
    // And back to the first.
    now += 50;
    EXPECT_TRUE(WaitFor([&] { return CountNear(view.grab().toImage(), ToQRgb(TestColour(1))) == 24 * 12; }, 3000));

    // An image file on its own, in a viewer with its default loader.
    THtmlView plain;
    plain.resize(200, 100);
    plain.show();
    plain.LoadImageFile(dir.file("picture.bmp"));
    QCoreApplication::processEvents();
    EXPECT_EQ(CountNear(plain.grab().toImage(), qRgb(0xCC, 0x33, 0x00)), 30 * 20);
}

TEST(HtmlImages, LoaderFromBytesAndFiles)
{
    const auto gifBytes = TwoFrameGif();
    const std::string gif(gifBytes.begin(), gifBytes.end());
    auto image = LoadHtmlImage("label.gif", &gif);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->NaturalSize(), QSize(24, 12));
    ASSERT_TRUE(dynamic_cast<THtmlGifImage*>(image.get()));

    const std::string garbage = "not an image";
    EXPECT_FALSE(LoadHtmlImage("x.gif", &garbage));
    EXPECT_FALSE(LoadHtmlImage("/nonexistent/x.jpg", nullptr));
    const std::string truncated = gif.substr(0, 40);
    EXPECT_FALSE(LoadHtmlImage("x.gif", &truncated));

    // Transparent pixels become alpha.
    TPlainBitmap bitmap(2, 1, TPixelFormat::pfRGB24, 0x40);
    TPlainBitmap mask(2, 1, TPixelFormat::pfMask8, MaskOpaque);
    mask.Row(0)[1] = MaskTransparent;
    const QImage converted = ToQImage(bitmap, &mask);
    EXPECT_EQ(converted.pixel(0, 0), qRgba(0x40, 0x40, 0x40, 0xFF));
    EXPECT_EQ(qAlpha(converted.pixel(1, 0)), 0);
}

TEST(HtmlImages, AnimationRunsOnlyWhileWatched)
{
    // Three plays of two frames (NETSCAPE loop count 2), then it stops.
    const auto bytes = GifBuilder(2, 1)
                           .Netscape(2)
                           .GraphicControl(0, false, 5)
                           .Image(0, 0, 2, 1, {1, 1})
                           .GraphicControl(0, false, 5)
                           .Image(0, 0, 2, 1, {2, 2})
                           .Data();
    const std::string data(bytes.begin(), bytes.end());
    auto loaded = LoadHtmlImage("loop.gif", &data);
    auto* gif = dynamic_cast<THtmlGifImage*>(loaded.get());
    ASSERT_TRUE(gif);
    uint32_t now = 0;
    gif->Gif().Clock = [&now] { return now; };

    EXPECT_FALSE(gif->Ticking());
    int repaints = 0;
    gif->SetChangedHandler([&repaints] { ++repaints; });
    EXPECT_TRUE(gif->Ticking());
    for (int i = 0; i < 20 && gif->Ticking(); ++i) {
        now += 50;
        gif->Tick();
    }
    EXPECT_FALSE(gif->Ticking());
    EXPECT_EQ(repaints, 5); // 1-2, 2-1, 1-2, 2-1, 1-2
    EXPECT_EQ(gif->Gif().CurrentFrame(), 2);

    // Drawing shows the current frame.
    QImage canvas(4, 2, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        gif->Draw(painter, QRect(0, 0, 4, 2));
    }
    EXPECT_EQ(canvas.pixel(3, 1), ToQRgb(TestColour(2)));

    // Nobody watching: no timer.
    gif->SetChangedHandler(nullptr);
    EXPECT_FALSE(gif->Ticking());
}
