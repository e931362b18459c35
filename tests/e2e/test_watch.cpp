// The whole program streaming the test source, watched from a browser
// (headless Chromium) and from players of both kinds, with the window's
// viewer count, the join and leave lines and the watch page address.
#include "tests/app/AppFixture.h"

#include "media/MediaKit.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::FreeTcpPort;
using testsupport::RunCommand;
using testsupport::WriteFileText;

namespace {

int Connect(int port)
{
    const int fd = testsupport::ConnectLoopback(port);
    EXPECT_GE(fd, 0) << "the stream port accepts";
    return fd;
}

// Distinct colours in a picture (a blank or failed page has a handful).
size_t Colours(const QImage& image)
{
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    return colours.size();
}

class Watching : public AppFixture {
protected:
    TForm1& StartStreaming()
    {
        m_port = FreeTcpPort();
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
        TStartOptions o;
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
        TForm1& f = Open(o);
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test source
        f.btnStart->click();
        EXPECT_TRUE(m_errors.empty()) << m_errors.front();
        EXPECT_TRUE(f.FilterGraph1->Active());
        return f;
    }
    std::string Url(const char* scheme, const char* path = "/") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + path;
    }
    int m_port = 0;
};

TEST_F(Watching, ChromiumShowsTheLivePicture)
{
    if (RunCommand("command -v chromium").empty())
        GTEST_SKIP() << "chromium is not installed";
    TForm1& f = StartStreaming();
    const std::string folder = testsupport::BuildDir() + "/screenshots";
    QDir().mkpath(QString::fromStdString(folder));
    std::vector<QImage> shots;
    // Two a second apart on a desktop-sized window, then one phone-sized.
    for (int i = 1; i <= 3; ++i) {
        testsupport::TempDir profile;
        const std::string file = folder + "/watch-chromium-" + (i < 3 ? std::to_string(i) : std::string("phone")) + ".png";
        QFile::remove(QString::fromStdString(file));
        const std::string out = RunCommand("timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic "
            "--no-first-run --disable-background-networking --disable-component-update --disable-sync "
            "--user-data-dir=" + profile.path().string() + " --screenshot=" + file + (i < 3 ? " --window-size=400,420 " : " --window-size=360,740 ")
            + Url("http", "/watch") + " 2>&1");
        QImage shot(QString::fromStdString(file));
        ASSERT_FALSE(shot.isNull()) << out;
        shots.push_back(shot);
        if (i == 1)
            WaitFor([] { return false; }, 1s);
    }
    ASSERT_EQ(shots[0].size(), shots[1].size());
    EXPECT_EQ(shots[2].width(), 360);
    EXPECT_GT(Colours(shots[2]), 20u) << "the page on a phone-sized screen";
    // The picture (colour bars with a counter) is there, and it moved on.
    EXPECT_GT(Colours(shots[0]), 20u);
    EXPECT_GT(Colours(shots[1]), 20u);
    EXPECT_NE(shots[0], shots[1]) << "the two screenshots a second apart are the same";
    f.btnStop->click();
}

TEST_F(Watching, WindowCountsPlayersAndBrowsersAndPrintsJoinsAndLeaves)
{
    TForm1& f = StartStreaming();
    // The watch page address sits beside the stream address and stays
    // selectable while the network settings are locked.
    const std::string watch = "http://" + f.edIPAddress->text().toStdString() + ":" + std::to_string(m_port) + "/watch";
    auto* edWatch = f.findChild<QLineEdit*>("edWatch");
    ASSERT_TRUE(edWatch);
    EXPECT_EQ(edWatch->text().toStdString(), watch);
    EXPECT_TRUE(edWatch->isEnabled());
    EXPECT_TRUE(edWatch->isReadOnly());
    auto* count = f.findChild<QLabel*>("lblViewers");
    ASSERT_TRUE(count);
    EXPECT_EQ(count->text().toStdString(), "0 viewers");
    const QRect start = f.btnStart->geometry(), stop = f.btnStop->geometry(), panel = f.Panel1->geometry();

    ::testing::internal::CaptureStdout();
    std::vector<std::unique_ptr<ChildProcess>> players;
    for (int i = 0; i < 2; ++i)
        players.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "ffmpeg", "-nostdin", "-v", "quiet", "-i", Url("mmsh"), "-f", "null", "-"}));
    std::vector<int> browsers;
    for (int i = 0; i < 2; ++i) {
        browsers.push_back(Connect(m_port));
        const std::string request = "GET /live.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        EXPECT_EQ(send(browsers.back(), request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    }
    EXPECT_TRUE(WaitFor([&] { return count->text() == "4 viewers"; }, 30s)) << count->text().toStdString();
    const std::string status = RunCommand("curl -s -m 10 " + Url("http", "/status.json"));
    EXPECT_NE(status.find("\"viewers\":4,"), std::string::npos) << status;
    EXPECT_NE(status.find("\"profile\":\"93 Kbps (CBR)\""), std::string::npos) << status;
    SaveScreenshot("watch-window-viewers.png");
    f.PageControl1->setCurrentIndex(1);
    QApplication::processEvents();
    SaveScreenshot("watch-network-page.png");
    f.PageControl1->setCurrentIndex(0);
    EXPECT_EQ(f.btnStart->geometry(), start);
    EXPECT_EQ(f.btnStop->geometry(), stop);
    EXPECT_EQ(f.Panel1->geometry(), panel);

    close(browsers.back());
    browsers.pop_back();
    EXPECT_TRUE(WaitFor([&] { return count->text() == "3 viewers"; }, 10s)) << count->text().toStdString();
    f.btnStop->click();
    players.clear();
    for (int fd : browsers)
        close(fd);
    const std::string lines = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(lines.find("Viewer joined: 127.0.0.1:"), std::string::npos) << lines;
    EXPECT_NE(lines.find(" (media player), "), std::string::npos) << lines;
    EXPECT_NE(lines.find(" (browser), "), std::string::npos) << lines;
    EXPECT_NE(lines.find(", 4 watching\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("Viewer left: 127.0.0.1:"), std::string::npos) << lines;
    EXPECT_NE(lines.find("(browser), 3 watching"), std::string::npos) << lines;
    EXPECT_NE(lines.find(", 0 watching\n"), std::string::npos) << "Stop ends every viewer:\n" << lines;
    EXPECT_FALSE(count->isVisible());
    EXPECT_TRUE(edWatch->text().isEmpty());
}

// Over IPv6 loopback the program serves players and browsers on the same
// port, and the watch page names the address the browser used, in brackets.
TEST_F(Watching, PlayersAndBrowsersOverIPv6Loopback)
{
    const int probe6 = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loop{};
    loop.sin6_family = AF_INET6;
    loop.sin6_addr = in6addr_loopback;
    const bool hasLoopback6 = probe6 >= 0 && bind(probe6, reinterpret_cast<sockaddr*>(&loop), sizeof loop) == 0;
    if (probe6 >= 0)
        close(probe6);
    if (!hasLoopback6)
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    TForm1& f = StartStreaming();
    const std::string base = "http://[::1]:" + std::to_string(m_port);
    ::testing::internal::CaptureStdout();
    int status = -1;
    const std::string probe = RunCommand("timeout 60 ffprobe -v error -show_streams '" + base + "/' 2>&1", &status);
    EXPECT_EQ(status, 0) << probe;
    EXPECT_NE(probe.find("codec_name=wmv2"), std::string::npos) << probe;

    const std::string page = RunCommand("curl -g -s -m 10 '" + base + "/watch'");
    EXPECT_NE(page.find("[::1]:" + std::to_string(m_port)), std::string::npos) << page.substr(0, 400);

    // Without a Host header the page names the address the request came in on.
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    loop.sin6_port = htons(static_cast<uint16_t>(m_port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&loop), sizeof loop), 0);
    const std::string request = "GET /watch HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string hostless;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        hostless.append(buffer, static_cast<size_t>(n));
    close(fd);
    EXPECT_NE(hostless.find("[::1]:" + std::to_string(m_port)), std::string::npos) << hostless.substr(0, 400);

    // The browser's picture stream over IPv6: a JPEG arrives.
    const std::string mjpeg = RunCommand("curl -g -s -m 3 '" + base + "/live.mjpg' | head -c 200000 | od -An -tx1 | tr -d ' \\n'");
    EXPECT_NE(mjpeg.find("ffd8ff"), std::string::npos) << "no JPEG in the picture stream over IPv6";
    f.btnStop->click();
    const std::string lines = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(lines.find("Viewer joined: [::1]:"), std::string::npos) << lines;
    EXPECT_NE(lines.find(" (browser), "), std::string::npos) << lines;
}

} // namespace
