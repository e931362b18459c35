// Reaching viewers beyond the IPv4 address: "{IP6}" in the pages with the
// address an echo over IPv6 saw (a real HTTP server on ::1), and the picture
// the website shows while streaming (a real FTP server, pyftpdlib).
#include "tests/app/AppFixture.h"

#include "app/SnapshotUploader.h"
#include "net/NetFTP.h"
#include "platform/wmf/PictureTap.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::FtpTestServer;
using testsupport::HttpScriptedReply;
using testsupport::HttpTestServer;
using testsupport::ReadFileText;
using testsupport::WriteFileText;

namespace {

// A free TCP port on ::1 (0 when this machine has no IPv6 loopback).
int FreeIPv6Port()
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin6_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool AcceptsOnIPv6(int port)
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    addr.sin6_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Python's own HTTP server on ::1, serving a folder of files.
class IPv6FileServer {
public:
    explicit IPv6FileServer(const std::string& folder) : m_port(FreeIPv6Port())
    {
        if (!m_port)
            return;
        m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
            "python3", "-m", "http.server", "--bind", "::1", "--directory", folder, std::to_string(m_port)});
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!AcceptsOnIPv6(m_port) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(20ms);
    }
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const { return "http://[::1]:" + std::to_string(m_port) + path; }

private:
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

class Outside : public AppFixture {
protected:
    TForm1& OpenWithEcho(const std::string& echoUrl)
    {
        m_port = testsupport::FreeTcpPort();
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
        TStartOptions o;
        o.EchoUrl = echoUrl;
        TForm1& f = Open(o);
        f.RequestLimits.Echo = 5000;
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test source
        return f;
    }
    void FillWebsite(TForm1& f, const FtpTestServer& ftp, const std::string& remotePage)
    {
        f.edRemoteHost->setText("127.0.0.1");
        f.edUsername->setText(QString::fromStdString(ftp.user()));
        f.edPassword->setText(QString::fromStdString(ftp.password()));
        f.edFile->setText(QString::fromStdString(remotePage));
        f.NetFTP1->SetPort(ftp.port());
    }
    HttpTestServer m_echo{[](int, const testsupport::HttpRecordedRequest&) {
        return HttpScriptedReply{HttpTestServer::Reply("HTTP/1.1 200 OK", "<body>Address: 203.0.113.7</body>"), true};
    }};
    int m_port = 0;
};

TEST_F(Outside, Ip6BecomesTheAddressTheEchoOverIPv6SawOrNothing)
{
    testsupport::TempDir site;
    WriteFileText(site.file("echo6"), "<html><body>Current IP Check\r\nAddress: 2001:DB8:0::7\r\n</body></html>");
    WriteFileText(site.file("private"), "<html><body>Address: fd00::7</body></html>");
    IPv6FileServer echo6(site.path().string());
    if (!echo6.Port())
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho(m_echo.Url("/"));
    FillWebsite(f, ftp, "cam.htm");
    WriteFileText(Path("page.tpl"), "v4 http://{IP}/\nv6 http://{IP6}/ and {ip6}\nnot ours: {IP 6} {IP6\n");
    f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
    f.edLocal->setText(QString::fromStdString(Path("local.htm")));
    f.edIPAddress->setText("192.168.1.5");
    f.edPort->setText("8080");
    f.Echo6Url = echo6.Url("/echo6");

    f.GetOutsideIP();
    ASSERT_TRUE(WaitFor([&] { return !f.PublicIPv6.empty(); }, 10s)) << "no answer from the echo over IPv6";
    EXPECT_EQ(f.PublicIPv6, "2001:db8::7") << "written in its compressed form";
    f.tmrStartButtonUploadTimer();
    EXPECT_EQ(ftp.ReadStored("cam.htm"),
              "v4 http://203.0.113.7:8080/\nv6 http://[2001:db8::7]:8080/ and [2001:db8::7]:8080\nnot ours: {IP 6} {IP6\n");
    // The local page names this machine's own global address, or nothing.
    const std::string own = f.edIPv6->text().toStdString();
    const std::string local = own.empty() ? "" : "[" + own + "]:8080";
    EXPECT_EQ(ReadFileText(Path("local.htm")),
              "v4 http://192.168.1.5:8080/\r\nv6 http://" + local + "/ and " + local + "\r\nnot ours: {IP 6} {IP6\r\n");

    // A private answer is no public address: the last good one stays, and
    // the failure is said.
    f.Echo6Url = echo6.Url("/private");
    f.GetOutsideIP();
    ASSERT_TRUE(WaitFor([&] { return f.StatusPanel1->text().contains("IPv6"); }, 10s));
    EXPECT_EQ(f.StatusPanel1->text().toStdString(), "The public IPv6 address is unknown: the echo over IPv6 " + echo6.Url("/private")
                                                    + " failed (its answer holds no public IPv6 address).");
    EXPECT_EQ(f.PublicIPv6, "2001:db8::7");

    // No IPv6 address at all: "{IP6}" becomes nothing; a template without it is untouched.
    f.PublicIPv6.clear();
    f.edIPv6->clear();
    f.MakeWANFile();
    EXPECT_EQ(ReadFileText(f.Files.WanPageFile()), "v4 http://203.0.113.7:8080/\r\nv6 http:/// and \r\nnot ours: {IP 6} {IP6\r\n");
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

// The JPEGs the server held under the final name at any moment: each must
// be whole (the upload goes through a temporary name and a rename).
struct PictureWatch {
    std::set<std::string> distinct;
    int partial = 0;
    void Look(const std::filesystem::path& file)
    {
        std::error_code e;
        if (!std::filesystem::exists(file, e))
            return;
        const std::string bytes = ReadFileText(file.string());
        QImage image;
        if (bytes.size() < 4 || bytes.compare(bytes.size() - 2, 2, "\xFF\xD9") != 0
            || !image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()), "JPG"))
            ++partial;
        else
            distinct.insert(bytes);
    }
};

TEST_F(Outside, WhileStreamingTheNewestPictureReplacesTheOneOnTheWebsite)
{
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho(m_echo.Url("/"));
    FillWebsite(f, ftp, "www/cam.htm");
    std::filesystem::create_directories(ftp.home() / "www");
    f.cbSnapshot->setChecked(true);
    f.SnapshotIntervalMs = 300;
    testing::internal::CaptureStdout();
    f.btnStart->click();
    ASSERT_TRUE(f.Label7->isVisible()) << (m_errors.empty() ? "" : m_errors.front());
    const auto picture = ftp.home() / "www" / "webcam.jpg";
    PictureWatch watch;
    WaitFor([&] {
        watch.Look(picture);
        return watch.distinct.size() >= 3;
    }, 30s);
    f.btnStop->click();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(watch.distinct.size(), 3u) << "the picture is replaced as the stream moves on\n" << out;
    EXPECT_EQ(watch.partial, 0) << "a partial picture was seen under the final name";
    int status = -1;
    const std::string probe = testsupport::RunCommand("ffprobe -v error -show_streams '" + picture.string() + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << probe;
    EXPECT_NE(probe.find("codec_name=mjpeg"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width="), std::string::npos) << probe;
    EXPECT_NE(out.find("Uploaded www/webcam.jpg to 127.0.0.1 at "), std::string::npos) << out;
    // Nothing left behind: no temporary file on the server, no local copy.
    for (const auto& entry : std::filesystem::directory_iterator(ftp.home() / "www"))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();

    // Stopped: the upload thread ends by itself, and nothing is uploaded after.
    EXPECT_TRUE(WaitFor([&] { return !f.Snapshots->Working(); }, 30s));
    std::filesystem::remove(picture);
    WaitFor([] { return false; }, 1s);
    EXPECT_FALSE(std::filesystem::exists(picture));
}

TEST_F(Outside, AFailingPictureUploadIsSaidOnceAndTheNextIntervalSucceeds)
{
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho(m_echo.Url("/"));
    // The page's folder does not exist yet: every store is refused.
    FillWebsite(f, ftp, "pics/cam.htm");
    f.cbSnapshot->setChecked(true);
    f.SnapshotIntervalMs = 200;
    testing::internal::CaptureStdout();
    f.btnStart->click();
    ASSERT_TRUE(f.Label7->isVisible()) << (m_errors.empty() ? "" : m_errors.front());
    const std::string failure = "The picture upload to 127.0.0.1 failed (";
    ASSERT_TRUE(WaitFor([&] { return f.StatusPanel1->text().startsWith(QString::fromStdString(failure)); }, 20s));
    // Several more intervals fail the same way.
    WaitFor([] { return false; }, 1500ms);
    std::filesystem::create_directories(ftp.home() / "pics");
    const bool arrived = WaitFor([&] { return std::filesystem::exists(ftp.home() / "pics" / "webcam.jpg"); }, 20s);
    f.btnStop->click();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(arrived) << "the upload after the failures did not come\n" << out;
    size_t said = 0;
    for (size_t at = 0; (at = out.find(failure, at)) != std::string::npos; ++at)
        ++said;
    EXPECT_EQ(said, 1u) << out;
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}


// A server that takes connections and never says a word: an upload to it
// waits on its greeting until the reply time runs out.
TEST(SnapshotUploader, AStartAfterStopNeverWaitsForAnUploadStuckOnASilentServer)
{
    int port = 0;
    const int listener = testsupport::ListenLoopback(port);
    ASSERT_GE(listener, 0);
    std::vector<int> accepted;
    auto acceptOne = [&] {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            return false;
        accepted.push_back(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        return accepted.back() >= 0;
    };
    auto stillOpen = [](int fd) {
        char byte;
        return ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
    };

    auto tap = std::make_shared<PictureTap>();
    std::vector<std::string> reports;
    QObject context;
    TSnapshotUploader uploader(&context, [&](bool, const std::string& text) { reports.push_back(text); });
    testsupport::TempDir folder;
    TSnapshotSettings s;
    s.Host = "127.0.0.1";
    s.Port = port;
    s.Security = fsNone;
    s.RemoteName = "webcam.jpg";
    s.ReplyTimeoutMs = 120000; // far longer than the test may take
    s.LocalFile = folder.file("snapshot.jpg");
    auto picture = [&] {
        TappedPicture p;
        p.width = 16;
        p.height = 16;
        p.i420 = std::make_shared<const std::vector<uint8_t>>(16 * 16 * 3 / 2, 128);
        tap->Publish(p);
    };

    uploader.Start(tap, s);
    picture();
    ASSERT_TRUE(acceptOne()) << "the first upload never connected";
    uploader.Stop();
    uploader.Start(tap, s);
    picture();
    // The new run connects while the stopped one still waits on its greeting.
    ASSERT_TRUE(acceptOne()) << "the second run never connected";
    EXPECT_TRUE(stillOpen(accepted[0])) << "Start waited for the stopped run's upload to give up";
    EXPECT_TRUE(uploader.Working());

    // The server goes away: both uploads fail at once and their threads end.
    uploader.Stop();
    for (const int fd : accepted)
        ::close(fd);
    ::close(listener);
    EXPECT_TRUE(WaitFor([&] { return !uploader.Working(); }, 10s));
    EXPECT_TRUE(reports.empty()) << "a stopped run reported: " << reports.front();
}

} // namespace
