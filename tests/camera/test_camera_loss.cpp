// A camera that goes away while it is used: viewers keep a stream (a slate,
// then the live picture again when the camera is back, without reconnecting),
// the window says "Camera lost", and the preview behaves the same way.

#include "tests/camera/CameraFixture.h"

#include <QDialog>
#include <QLabel>
#include <QSlider>

#include <algorithm>

using namespace camtest;

namespace {

class CameraLoss : public CameraFixture {};

std::string Panel1(const TForm1& f) { return f.StatusPanel1->text().toStdString(); }

} // namespace

TEST_F(CameraLoss, ViewersKeepTheStreamThroughLossAndReturnUnderAnotherNode)
{
    // When it comes back the camera gets another node number: it must be
    // found by its card name and bus info.
    UseCameras("node=0;return_node=5");
    TForm1& f = OpenForStreaming();
    f.cbSource->setCurrentIndex(0);
    f.btnPreview->click();
    SetPropertyFrameHook([](QDialog& dialog) {
        auto* brightness = dialog.findChild<QSlider*>("sliderBrightness");
        ASSERT_NE(brightness, nullptr);
        brightness->setValue(25);
    });
    f.btnConfigure->click();
    ASSERT_EQ(fakecamctl::Control(0, "brightness"), 25);
    f.btnStart->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();

    // One player stays connected for the whole story.
    const std::string log = Path("player.log");
    testsupport::ChildProcess player({"sh", "-c",
                                      "exec ffmpeg -nostdin -hide_banner -i " + StreamUrl("mmsh") +
                                          " -t 14 -vf showinfo,crop=96:20:6:6,showinfo -f null - 2> '" + log + "'"});
    ASSERT_TRUE(WaitFor([&] { return ParseShowinfo(testsupport::ReadFileText(log), 0).size() > 45; }, 20000))
        << testsupport::ReadFileText(log);

    fakecamctl::SetPresent(0, false);
    ASSERT_TRUE(WaitFor([&] { return Panel1(f) == "Camera lost"; }, 5000)) << "status: " << Panel1(f);
    Pump(3000);
    EXPECT_EQ(Panel1(f), "Camera lost");
    EXPECT_TRUE(f.btnStop->isEnabled()) << "the stream stays on for the user too";
    fakecamctl::SetPresent(0, true);
    EXPECT_TRUE(WaitFor([&] { return Panel1(f).empty(); }, 8000)) << "the camera was not reopened; status: " << Panel1(f);
    EXPECT_EQ(fakecamctl::Control(0, "brightness"), 25) << "the user's brightness was not applied to the returned camera";

    ASSERT_TRUE(WaitFor([&] { return !player.running(); }, 40000)) << "the player hangs";
    EXPECT_EQ(player.wait(std::chrono::milliseconds(0)), 0) << testsupport::ReadFileText(log);
    const std::string text = testsupport::ReadFileText(log);
    const auto whole = ParseShowinfo(text, 0);
    const auto corner = ParseShowinfo(text, 2);
    ASSERT_GE(whole.size(), 100u) << text;
    ASSERT_EQ(whole.size(), corner.size());

    // Live, then the darkened slate, then live again.
    const int live = whole[20].meanLuma;
    const auto isSlate = [&](const ShownFrame& frame) { return frame.meanLuma <= live * 6 / 10; };
    const size_t firstDark = static_cast<size_t>(std::find_if(whole.begin(), whole.end(), isSlate) - whole.begin());
    ASSERT_LT(firstDark, whole.size()) << "no darkened slate";
    ASSERT_GT(firstDark, 20u);
    const size_t lastDark = whole.size() - 1 - static_cast<size_t>(std::find_if(whole.rbegin(), whole.rend(), isSlate) - whole.rbegin());
    ASSERT_LT(lastDark + 15, whole.size()) << "the picture never came back";

    // No hole in the timeline from a second before the loss to the end, and
    // the player got to the end of its time. (Before that the player saw the
    // stream's start, where the encoder skips frames after the first key
    // frame at this bitrate: not what this test is about.)
    size_t from = firstDark;
    while (from > 0 && whole[firstDark].pts - whole[from].pts < 1.0)
        --from;
    double widest = 0;
    size_t at = from + 1;
    for (size_t i = from + 1; i < whole.size(); ++i)
        if (whole[i].pts - whole[i - 1].pts > widest) {
            widest = whole[i].pts - whole[i - 1].pts;
            at = i;
        }
    EXPECT_LE(widest, 1.0) << "a gap in the frames after " << whole[at - 1].pts << " s (luma " << whole[at - 1].meanLuma
                           << " then " << whole[at].meanLuma << "); slate from " << whole[firstDark].pts << " s to "
                           << whole[lastDark].pts << " s";
    EXPECT_GE(whole.back().pts - whole.front().pts, 13.0) << "the connection ended early";
    EXPECT_GE(whole[lastDark].pts - whole[firstDark].pts, 2.0) << "the slate did not last while the camera was away";

    int movesAtEnd = 0;
    for (size_t i = whole.size() - 10; i < whole.size(); ++i)
        movesAtEnd += corner[i].checksum != corner[i - 1].checksum;
    EXPECT_GE(movesAtEnd, 5) << "the live camera picture did not resume";
    EXPECT_GT(whole.back().meanLuma, live * 8 / 10);
    f.btnStop->click();
}

// The slate is made in the camera's own format, so each format has its own path.
class CameraLossFormat : public CameraFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(CameraLossFormat, PreviewShowsTheSlateAndTheLivePictureAgain)
{
    UseCameras(std::string("formats=") + GetParam());
    TForm1& f = Open();
    f.cbSource->setCurrentIndex(0);
    f.btnPreview->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    Pump(500);
    const double live = MeanLuma(VideoArea());

    fakecamctl::SetPresent(0, false);
    ASSERT_TRUE(WaitFor([&] { return Panel1(f) == "Camera lost"; }, 5000));
    Pump(500);
    const QImage slate = VideoArea();
    SaveScreenshot(std::string("preview_camera_lost_") + GetParam() + ".png");
    Pump(300);
    EXPECT_EQ(VideoArea(), slate) << "the slate moves";
    EXPECT_LT(MeanLuma(slate), live * 0.6) << "the picture was not darkened";
    EXPECT_GT(MeanLuma(slate), 3.0) << "the video window went black instead of showing the slate";

    fakecamctl::SetPresent(0, true);
    ASSERT_TRUE(WaitFor([&] { return Panel1(f).empty(); }, 8000)) << Panel1(f);
    Pump(500);
    const QImage first = VideoArea();
    Pump(300);
    EXPECT_NE(VideoArea(), first) << "the live picture did not resume";
    EXPECT_GT(MeanLuma(first), live * 0.8);
    EXPECT_TRUE(m_errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, CameraLossFormat, ::testing::Values("YUYV", "MJPG"));
