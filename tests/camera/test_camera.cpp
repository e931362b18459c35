// The device paths with a camera: listing, preview, the device's own
// settings, streaming each capture format to real players, a busy or
// unusable camera, and the headless program streaming the saved camera.

#include "tests/camera/CameraFixture.h"

#include <QDialog>
#include <QRegularExpression>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include <csignal>
#include <fstream>
#include <map>

using namespace camtest;
using testsupport::RunCommand;

namespace {

class Camera : public CameraFixture {};

std::vector<std::string> SourceNames(const TForm1& f)
{
    std::vector<std::string> names;
    for (int i = 0; i < f.cbSource->count(); ++i)
        names.push_back(f.cbSource->itemText(i).toStdString());
    return names;
}

} // namespace

TEST_F(Camera, ListsCamerasInNodeOrderThenTheTestPatternAndTwinsAreEachSelectable)
{
    // Declared out of node order; two cameras share a card name.
    UseCameras("node=7;card=Desk Camera|node=2;card=Twin Cam;bus=usb-1|node=4;card=Twin Cam;bus=usb-2");
    TForm1& f = Open();
    EXPECT_EQ(SourceNames(f), (std::vector<std::string>{"Twin Cam", "Twin Cam", "Desk Camera", "Lumora Test Pattern"}));

    // The second twin (node 4, the emulator's device 2) is the one that streams.
    f.cbSource->setCurrentIndex(1);
    f.btnPreview->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    ASSERT_TRUE(WaitFor([] { return fakecamctl::Frames(2) > 10; }, 10000)) << "the chosen camera delivers no frames";
    EXPECT_EQ(fakecamctl::Frames(1), 0) << "the other twin was opened for streaming";

    f.cbSource->setCurrentIndex(0);
    f.cbSourceChange();
    f.btnPreview->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_TRUE(WaitFor([] { return fakecamctl::Frames(1) > 10; }, 10000)) << "the first twin cannot be used";
}

TEST_F(Camera, PreviewMovesAndTheDeviceReceivesSettingsAndInputBeforeAndAfterStreaming)
{
    UseCameras(""); // the default camera: all controls, three inputs
    TForm1& f = OpenForStreaming();
    ASSERT_EQ(f.cbSource->itemText(0).toStdString(), "Lumora Fake Camera");
    f.cbSource->setCurrentIndex(0);
    f.btnPreview->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_TRUE(f.btnConfigure->isEnabled());
    EXPECT_TRUE(f.btnCrossbar->isEnabled());

    Pump(500);
    const QImage first = VideoArea();
    Pump(300);
    const QImage second = VideoArea();
    EXPECT_NE(first, second) << "the camera's picture does not move";
    EXPECT_GT(MeanLuma(second), 40.0) << "the video area is black";
    SaveScreenshot("preview_fake_camera.png");

    // Each round moves brightness and gain through the frame and picks an
    // input; the device must receive exactly those V4L2 values.
    struct Round {
        const char* when;
        int brightness, gain, input;
    };
    const Round rounds[] = {{"preview", 40, 70, 2}, {"streaming", -30, 10, 1}, {"after Stop", 12, 55, 0}};
    int expectedInputSets = 0;
    for (const Round& r : rounds) {
        if (std::string(r.when) == "streaming") {
            f.btnStart->click();
            ASSERT_TRUE(m_errors.empty()) << m_errors.front();
            ASSERT_TRUE(f.btnStop->isEnabled());
        } else if (std::string(r.when) == "after Stop") {
            f.btnStop->click();
            ASSERT_TRUE(m_errors.empty()) << m_errors.front();
        }
        SCOPED_TRACE(r.when);
        SetPropertyFrameHook([&](QDialog& dialog) {
            auto* brightness = dialog.findChild<QSlider*>("sliderBrightness");
            auto* gain = dialog.findChild<QSlider*>("sliderGain");
            ASSERT_TRUE(brightness && gain);
            EXPECT_EQ(brightness->minimum(), -64);
            EXPECT_EQ(brightness->maximum(), 64);
            brightness->setValue(r.brightness);
            gain->setValue(r.gain);
        });
        f.btnConfigure->click();
        EXPECT_EQ(fakecamctl::Control(0, "brightness"), r.brightness);
        EXPECT_EQ(fakecamctl::Control(0, "gain"), r.gain);

        SetPropertyFrameHook([&](QDialog& dialog) {
            auto* inputs = dialog.findChild<QComboBox*>("cbInput");
            ASSERT_NE(inputs, nullptr);
            ASSERT_EQ(inputs->count(), 3);
            EXPECT_EQ(inputs->itemText(2).toStdString(), "S-Video");
            inputs->setCurrentIndex(r.input);
        });
        f.btnCrossbar->click();
        int sets = 0;
        EXPECT_EQ(fakecamctl::Input(0, &sets), r.input);
        EXPECT_GT(sets, expectedInputSets) << "no VIDIOC_S_INPUT reached the device";
        expectedInputSets = sets;
        EXPECT_TRUE(m_messages.empty()) << m_messages.front();
    }
}

// The picture controls page names each control as the device does: a V4L2
// driver by its own control names, the test pattern by plain names.
TEST_F(Camera, PictureControlsAreNamedAsTheDeviceNamesThem)
{
    UseCameras(""); // the default camera: every control
    struct Case {
        const char* source;
        std::map<std::string, std::string> labels; // object name -> shown text
    };
    const Case cases[] = {
        {"Lumora Fake Camera",
         {{"labelBrightness", "Brightness"},
          {"labelContrast", "Contrast"},
          {"labelHue", "Hue"},
          {"labelSaturation", "Saturation"},
          {"labelSharpness", "Sharpness"},
          {"labelGamma", "Gamma"},
          {"labelWhiteBalance", "White Balance Temperature"},
          {"labelBacklightComp", "Backlight Compensation"},
          {"labelGain", "Gain"}}},
        {"Lumora Test Pattern",
         {{"labelBrightness", "Brightness"},
          {"labelContrast", "Contrast"},
          {"labelHue", "Hue"},
          {"labelSaturation", "Saturation"}}},
    };
    TForm1& f = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        f.cbSource->setCurrentIndex(f.cbSource->findText(c.source));
        f.cbSourceChange();
        f.btnPreview->click();
        ASSERT_TRUE(m_errors.empty()) << m_errors.front();
        std::map<std::string, std::string> shown;
        SetPropertyFrameHook([&](QDialog& dialog) {
            for (const QLabel* label : dialog.findChildren<QLabel*>(QRegularExpression("^label")))
                shown[label->objectName().toStdString()] = label->text().toStdString();
            if (std::string(c.source) == "Lumora Fake Camera")
                SaveScreenshot("picture_controls_fake_camera.png", dialog);
        });
        f.btnConfigure->click();
        EXPECT_EQ(shown, c.labels);
    }
}

struct FormatCase {
    const char* name;
    const char* devices;
};

class CameraFormat : public CameraFixture, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(CameraFormat, StreamsTheCameraAtTheProfileSizeToRealPlayers)
{
    UseCameras(GetParam().devices);
    TForm1& f = OpenForStreaming();
    f.cbSource->setCurrentIndex(0);
    f.btnStart->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    ASSERT_TRUE(m_messages.empty()) << m_messages.front();

    EXPECT_EQ(RunCommand("timeout 30 ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height "
                         "-of csv=p=0 '" + StreamUrl("mmsh") + "' 2>&1"),
              "wmv2,320,240\n");

    // A player decodes frames; the frame counter's corner changes from frame
    // to frame, and the camera is what is being read meanwhile.
    const std::string log = RunCommand("timeout 40 ffmpeg -nostdin -hide_banner -i " + StreamUrl("mmsh") +
                                       " -frames:v 30 -vf crop=96:20:6:6,showinfo -f null - 2>&1");
    const auto frames = ParseShowinfo(log, 1);
    ASSERT_GE(frames.size(), 30u) << log;
    int changes = 0;
    for (size_t i = 1; i < frames.size(); ++i)
        changes += frames[i].checksum != frames[i - 1].checksum;
    EXPECT_GE(changes, 15) << "the counter region does not move";
    const long before = fakecamctl::Frames(0);
    Pump(1000);
    EXPECT_GE(fakecamctl::Frames(0) - before, 10) << "the camera is not read while streaming";
    EXPECT_EQ(f.cbSource->currentText().toStdString(), "Lumora Fake Camera");
    f.btnStop->click();
    EXPECT_TRUE(m_errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, CameraFormat,
                         ::testing::Values(FormatCase{"Yuyv1280x720at30", "formats=YUYV;sizes=1280x720@30 640x480@30"},
                                           FormatCase{"Mjpeg640x480at15", "formats=MJPG;sizes=640x480@15 320x240@15"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    const char* devices;
    const char* text;
};

class CameraRefusal : public CameraFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CameraRefusal, PreviewShowsTheErrorTextAndTheWindowStaysUsable)
{
    UseCameras(GetParam().devices);
    TForm1& f = Open();
    f.cbSource->setCurrentIndex(0);
    f.btnPreview->click();
    EXPECT_EQ(m_errors, std::vector<std::string>{GetParam().text});
    EXPECT_TRUE(f.btnPreview->isEnabled()) << "the button states stay as they were";

    // The test pattern still works from the same window.
    m_errors.clear();
    f.cbSource->setCurrentIndex(f.cbSource->findText("Lumora Test Pattern"));
    f.cbSourceChange();
    f.btnPreview->click();
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_FALSE(f.btnPreview->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(Refusals, CameraRefusal,
                         ::testing::Values(RefusalCase{"Busy", "busy=1",
                                                       "The requested resource is in use. ($800700AA).\n"
                                                       "The video source \"Lumora Fake Camera\" (/dev/video0) is being used by "
                                                       "another program. Close that program, then try again."},
                                           RefusalCase{"RefusesEveryFormat", "refuse_format=1",
                                                       "The request is not supported. ($80070032)."}),
                         [](const auto& info) { return std::string(info.param.name); });

// The program itself, headless, with the camera as its saved source: it
// streams the camera, says so, and says when the camera is lost.
TEST(CameraProgram, HeadlessStartStreamsTheSavedCameraAndReportsItsLoss)
{
    ASSERT_TRUE(fakecamctl::Loaded());
    testsupport::TempDir dir;
    const int port = testsupport::FreeTcpPort();
    testsupport::WriteFileText(dir.file("lumora.ini"), "[Network]\nPort=" + std::to_string(port) + "\n[Video]\nSource=0\n");
    const std::string out = dir.file("out.txt");
    // SIGUSR1 takes the camera away and brings it back.
    setenv("FAKECAM_DEVICES", "on_signal=1", 1);
    testsupport::ChildProcess program({"sh", "-c",
                                       "exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" + testsupport::BuildDir() +
                                           "/lumora' --start --settings '" + dir.file("lumora.ini") + "' --echo-url http://127.0.0.1:" +
                                           std::to_string(testsupport::FreeTcpPort()) + "/ > '" + out + "' 2>&1"});
    unsetenv("FAKECAM_DEVICES");
    auto printed = [&] { return testsupport::ReadFileText(out); };
    ASSERT_TRUE(WaitFor([&] { return printed().find("Lumora is streaming") != std::string::npos; }, 20000)) << printed();
    const std::string text = printed();
    const std::string line = text.substr(text.find("Lumora is streaming"), text.find('\n', text.find("Lumora is streaming")) - text.find("Lumora is streaming"));
    EXPECT_EQ(line.rfind("Lumora is streaming Lumora Fake Camera at http://", 0), 0u) << line;
    EXPECT_NE(line.find(":" + std::to_string(port) + "/"), std::string::npos) << line;

    const std::string url = "mmsh://127.0.0.1:" + std::to_string(port) + "/";
    const std::string log = RunCommand("timeout 40 ffmpeg -nostdin -hide_banner -i " + url +
                                       " -frames:v 20 -vf crop=96:20:6:6,showinfo -f null - 2>&1");
    const auto frames = ParseShowinfo(log, 1);
    ASSERT_GE(frames.size(), 20u) << log;
    EXPECT_NE(frames.front().checksum, frames.back().checksum) << "the camera's counter does not move";

    ASSERT_EQ(kill(program.pid(), SIGUSR1), 0);
    EXPECT_TRUE(WaitFor([&] { return printed().find("Camera lost\n") != std::string::npos; }, 10000)) << printed();
    ASSERT_EQ(kill(program.pid(), SIGUSR1), 0); // back again
    Pump(500);
    EXPECT_EQ(RunCommand("timeout 30 ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 '" + url + "' 2>&1"),
              "wmv2\n")
        << "the stream did not survive";
    ASSERT_EQ(kill(program.pid(), SIGTERM), 0);
    EXPECT_EQ(program.wait(std::chrono::seconds(20)), 0) << printed();
}
