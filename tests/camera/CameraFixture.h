#pragma once
// The main window, offscreen, with emulated V4L2 cameras preloaded
// (libfakecam): helpers to set up the cameras, look at the video window and
// read what a real player decoded from the stream.

#include "tests/app/AppFixture.h"
#include "tools/fakecam/FakeCamControl.h"

#include "media/MediaKit.h"
#include "platform/dshow/PropertyFrame.h"

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace camtest {

inline void Pump(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

template <class Pred>
bool WaitFor(Pred done, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Pump(20);
    }
    return true;
}

// One picture as ffmpeg's showinfo filter reported it.
struct ShownFrame {
    double pts = 0;
    std::string checksum;
    int meanLuma = 0;
};

// The text after `key` up to the next blank (empty when the key is missing).
inline std::string FieldAfter(const std::string& line, const std::string& key)
{
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return {};
    const size_t from = at + key.size();
    return line.substr(from, line.find_first_of(" \t", from) - from);
}

// The frames reported by the showinfo filter instance `index` of the chain.
inline std::vector<ShownFrame> ParseShowinfo(const std::string& log, int index)
{
    std::vector<ShownFrame> frames;
    const std::string tag = "[Parsed_showinfo_" + std::to_string(index) + " @";
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(tag) == std::string::npos || line.find(" n:") == std::string::npos)
            continue;
        const std::string pts = FieldAfter(line, "pts_time:"), checksum = FieldAfter(line, " checksum:"),
                          mean = FieldAfter(line, "mean:[");
        if (pts.empty() || checksum.empty() || mean.empty())
            continue;
        frames.push_back({std::atof(pts.c_str()), checksum, std::atoi(mean.c_str())});
    }
    return frames;
}

inline double MeanLuma(const QImage& image)
{
    double sum = 0;
    int n = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4) {
            const QColor c = image.pixelColor(x, y);
            sum += 0.299 * c.red() + 0.587 * c.green() + 0.114 * c.blue();
            ++n;
        }
    return n ? sum / n : 0;
}

class CameraFixture : public AppFixture {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fakecamctl::Loaded()) << "the emulated camera is not preloaded (LD_PRELOAD=build/fakecam/libfakecam.so)";
        setenv("LUMORA_TEST_SOURCE", "1", 1);
        AppFixture::SetUp();
    }
    void TearDown() override
    {
        SetPropertyFrameHook(nullptr);
        AppFixture::TearDown();
        fakecamctl::Configure("");
    }

    // Sets the emulated cameras before the window lists them.
    void UseCameras(const std::string& devices) { ASSERT_TRUE(fakecamctl::Configure(devices)) << "a camera is still open"; }

    // The window with the stream port set to a free one and the echo service
    // pointing at a closed port.
    TForm1& OpenForStreaming()
    {
        m_port = testsupport::FreeTcpPort();
        testsupport::WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
        TStartOptions o;
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()) + "/";
        return Open(o);
    }
    std::string StreamUrl(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + "/"; }

    // The middle two thirds of the video window as shown.
    QImage VideoArea()
    {
        QWidget* video = m_form->VideoWindow1;
        const QRect area(video->mapTo(m_form.get(), QPoint(0, 0)), video->size());
        return m_form->grab().toImage().copy(
            area.adjusted(area.width() / 6, area.height() / 6, -area.width() / 6, -area.height() / 6));
    }

    int m_port = 0;
};

} // namespace camtest
