// The relay from the window: the "Relay" group of the Network page, Start
// and Stop with nginx-rtmp as the media server while Windows Media players
// read the direct stream, the settings, and the run-only --relay address.
#include "tests/app/AppFixture.h"

#include "app/Unit1Relay.h"
#include "media/MediaKit.h"
#include "tests/support/NginxRtmp.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::NginxRtmp;
using testsupport::ReadFileText;
using testsupport::RunCommand;
using testsupport::WriteFileText;

namespace {

std::string Probe(const std::string& url)
{
    return RunCommand("timeout 30 ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height "
                      "-of csv=p=0 '" + url + "' 2>&1");
}

// Runs a probe on another thread while the window's event loop keeps turning.
std::string ProbeWhileRunning(const std::string& url)
{
    auto probe = std::async(std::launch::async, [url] { return Probe(url); });
    WaitFor([&] { return probe.wait_for(0s) == std::future_status::ready; }, 60s);
    return probe.get();
}

class RelayWindow : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (!NginxRtmp::Available())
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        ASSERT_TRUE(m_nginx.Start());
        m_port = FreeTcpPort();
    }
    // The window with the test source selected and the given settings below
    // the port.
    TForm1& OpenWith(const std::string& relaySettings, TStartOptions o = {})
    {
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n" + relaySettings);
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
        TForm1& f = Open(o);
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
        return f;
    }
    std::string Status() const { return m_form->lblRelayStatus->text().toStdString(); }
    std::string Direct() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    bool WaitForStatus(const std::string& prefix, std::chrono::milliseconds timeout)
    {
        return WaitFor([&] { return Status().rfind(prefix, 0) == 0; }, timeout);
    }

    NginxRtmp m_nginx;
    int m_port = 0;
};

TEST_F(RelayWindow, StartFeedsTheRelayBesideTheDirectStreamAndStopEndsIt)
{
    const std::string url = m_nginx.Url("live", "cam");
    TForm1& f = OpenWith("[Relay]\nURL=" + url + "\nEnabled=1\n");
    EXPECT_TRUE(f.cbRelay->isChecked());
    EXPECT_EQ(Status(), "off");
    f.btnStart->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_FALSE(f.GroupBox5->isEnabled()) << "disabled while streaming, like the network settings";
    ASSERT_TRUE(WaitForStatus("live ", 20s)) << Status();
    const std::string live = Status();
    EXPECT_TRUE(live.size() == 13 && live.rfind("live 00:00:", 0) == 0 && std::isdigit(live[11]) && std::isdigit(live[12]))
        << live;

    // The media server and a Windows Media player at the same time.
    auto relayed = std::async(std::launch::async, [&] { return Probe(url); });
    auto direct = std::async(std::launch::async, [&] {
        return RunCommand("timeout 30 ffmpeg -v error -i " + Direct() + " -frames:v 30 -f null - 2>&1; echo rc=$?");
    });
    WaitFor([&] { return relayed.wait_for(0s) == std::future_status::ready && direct.wait_for(0s) == std::future_status::ready; },
            60s);
    EXPECT_EQ(relayed.get(), "h264,320,240\n");
    const std::string played = direct.get();
    EXPECT_NE(played.find("rc=0"), std::string::npos) << played;
    EXPECT_EQ(ProbeWhileRunning(Direct()), "wmv2,320,240\n");

    // HLS from the server: a segment decodes.
    const std::string segment = m_nginx.HlsDir() + "/cam-0.ts";
    ASSERT_TRUE(WaitFor([&] { return ReadFileText(m_nginx.HlsDir() + "/cam.m3u8").find("cam-1.ts") != std::string::npos; },
                        30s));
    const std::string decoded = RunCommand("timeout 30 ffmpeg -v error -i '" + segment + "' -f null - 2>&1; echo rc=$?");
    EXPECT_EQ(decoded, "rc=0\n");

    f.PageControl1->setCurrentWidget(f.TabSheet2);
    QApplication::processEvents();
    SaveScreenshot("relay-live.png");

    f.btnStop->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_EQ(Status(), "off");
    EXPECT_TRUE(f.GroupBox5->isEnabled());
    EXPECT_EQ(f.Relay->Running(), nullptr);
    EXPECT_TRUE(m_messages.empty());

    ASSERT_TRUE(Close());
    const std::string text = SettingsText();
    EXPECT_NE(text.find("[Relay]\nURL=" + url + "\nEnabled=1\n"), std::string::npos) << text;
    struct stat st {};
    ASSERT_EQ(stat(Path("lumora.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the stream key is a secret";
}

TEST_F(RelayWindow, ServerGoneWhileRelayingIsRetriedAndTheDirectStreamGoesOn)
{
    TForm1& f = OpenWith("[Relay]\nURL=" + m_nginx.Url("live", "cam") + "\nEnabled=1\n");
    f.btnStart->click();
    ASSERT_TRUE(WaitForStatus("live ", 20s)) << Status();

    m_nginx.Stop();
    ASSERT_TRUE(WaitFor([&] { return Status().find("; retry in ") != std::string::npos; }, 20s)) << Status();
    EXPECT_EQ(ProbeWhileRunning(Direct()), "wmv2,320,240\n") << "viewers of the direct stream see no change";

    ASSERT_TRUE(m_nginx.Start());
    EXPECT_TRUE(WaitForStatus("live ", 40s)) << Status();
    EXPECT_EQ(f.Relay->Running()->Status().sessions, 2u) << "live again with no action from the user";
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_TRUE(m_messages.empty()) << m_messages.front();
    f.btnStop->click();
}

TEST_F(RelayWindow, RefusedAndUnreachableServersGiveAStatusTextAndNoErrorBox)
{
    const int closed = FreeTcpPort();
    const struct {
        std::string url;
        std::string status;
    } cases[] = {
        {m_nginx.Url("wrongapp", "cam"), "connection lost (closed by the server); retry in "},
        {"rtmp://127.0.0.1:" + std::to_string(closed) + "/live/cam",
         "connection refused by 127.0.0.1:" + std::to_string(closed) + "; retry in "},
    };
    TForm1& f = OpenWith("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        f.cbRelay->setChecked(true);
        f.edRelayURL->SetUrl(QString::fromStdString(c.url));
        f.btnStart->click();
        ASSERT_TRUE(WaitForStatus(c.status, 20s)) << Status();
        // Some seconds on: still a status text, no dialogs, the direct stream up.
        EXPECT_EQ(ProbeWhileRunning(Direct()), "wmv2,320,240\n");
        EXPECT_EQ(Status().rfind(c.status, 0), 0u) << Status();
        EXPECT_TRUE(m_errors.empty()) << m_errors.front();
        EXPECT_TRUE(m_messages.empty()) << m_messages.front();
        f.btnStop->click();
        EXPECT_EQ(Status(), "off");
    }
}

TEST_F(RelayWindow, DisabledRelayConnectsNowhere)
{
    // A listener where the relay would go: it must see no connection.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/live/cam";

    TForm1& f = OpenWith("[Relay]\nURL=" + url + "\nEnabled=0\n");
    EXPECT_FALSE(f.cbRelay->isChecked());
    f.btnStart->click();
    EXPECT_EQ(ProbeWhileRunning(Direct()), "wmv2,320,240\n");
    EXPECT_EQ(Status(), "off");
    EXPECT_EQ(f.Relay->Running(), nullptr);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "nobody connected";
    close(fd);
    f.btnStop->click();
    const std::string log = m_nginx.ErrorLog();
    EXPECT_EQ(log.find("connect: app="), std::string::npos) << log;
}

TEST_F(RelayWindow, RunOnlyAddressRelaysButIsNotSaved)
{
    TStartOptions o;
    o.RelayUrl = m_nginx.Url("live", "runonly");
    const std::string saved = "[Relay]\nURL=rtmp://saved.example/app/savedkey\nEnabled=0\nBitrate=800\nAudioBitrate=96\n"
                              "TrustedFingerprint=5D:0B:3A:7C:91:E4:2F:68:B0:13:C5:9A:4E:77:D2:08:6F:A1:3C:95:E0:2B:47:D8:19:6C:F3:80:5A:B4:27:E9\n";
    TForm1& f = OpenWith(saved, o);
    EXPECT_TRUE(f.cbRelay->isChecked());
    EXPECT_EQ(f.edRelayURL->Url().toStdString(), o.RelayUrl);
    EXPECT_EQ(f.Relay->BitrateKbps(), 800);
    f.btnStart->click();
    ASSERT_TRUE(WaitForStatus("live ", 20s)) << Status();
    EXPECT_EQ(f.Relay->Running()->Options().bitrateKbps, 800);
    EXPECT_EQ(f.Relay->Running()->Options().audioBitrateKbps, 96);
    EXPECT_EQ(f.Relay->Running()->Options().trustedFingerprint, "5D:0B:3A:7C:91:E4:2F:68:B0:13:C5:9A:4E:77:D2:08:6F:A1:3C:95:E0:2B:47:D8:19:6C:F3:80:5A:B4:27:E9");
    f.btnStop->click();
    ASSERT_TRUE(Close());
    std::string text = SettingsText();
    EXPECT_NE(text.find(saved), std::string::npos) << text;
    EXPECT_EQ(text.find("runonly"), std::string::npos) << text;

    // Ticking the box by hand is the user's own setting; the run-only
    // address still stays out of the file.
    m_form.reset();
    TForm1& g = Open(o);
    g.cbRelay->click();
    g.cbRelay->click();
    ASSERT_TRUE(g.cbRelay->isChecked());
    ASSERT_TRUE(Close());
    text = SettingsText();
    EXPECT_NE(text.find("[Relay]\nURL=rtmp://saved.example/app/savedkey\nEnabled=1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("runonly"), std::string::npos) << text;
}

// The program itself, headless: --relay relays this run, each change of the
// relay's state is printed without the key, and nothing of it is saved.
TEST_F(RelayWindow, HeadlessProgramRelaysWithTheOptionAndPrintsItsStates)
{
    const std::string program = testsupport::BuildDir() + "/lumora";
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;
    WriteFileText(Path("run.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
    const std::string url = m_nginx.Url("live", "runkey");
    const std::string out = Path("out.txt");
    const std::string script =
        "cd '" + m_dir.path().string() + "' && env -u DISPLAY -u WAYLAND_DISPLAY LUMORA_TEST_SOURCE=1 '" + program +
        "' --start --settings run.ini --echo-url http://127.0.0.1:" + std::to_string(FreeTcpPort()) +
        "/ --relay '" + url + "' > out.txt 2>/dev/null & pid=$!; "
        "for i in $(seq 200); do grep -q 'relay: live' out.txt && break; sleep 0.1; done; "
        "kill -INT $pid; for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
        "kill -0 $pid 2>/dev/null && kill -KILL $pid; wait $pid; echo rc=$?";
    const std::string rc = RunCommand(script);
    const std::string printed = ReadFileText(out);
    EXPECT_EQ(rc, "rc=0\n") << printed;
    // The program's own lines may come between the relay's.
    const size_t connecting =
        printed.find("Lumora relay: connecting to rtmp://127.0.0.1:" + std::to_string(m_nginx.port()) + "/...\n");
    ASSERT_NE(connecting, std::string::npos) << printed;
    EXPECT_NE(printed.find("Lumora relay: live\n", connecting), std::string::npos) << printed;
    EXPECT_NE(printed.find("Lumora relay: off\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("runkey"), std::string::npos) << "the key is never printed";
    EXPECT_EQ(ReadFileText(Path("run.ini")).find("Relay"), std::string::npos) << ReadFileText(Path("run.ini"));
}

TEST_F(RelayWindow, WithoutRelaySettingsTheBitrateFollowsTheProfileAndNothingIsAdded)
{
    TForm1& f = OpenWith("");
    EXPECT_FALSE(f.cbRelay->isChecked());
    f.ProfileIndex = 0; // 256 Kbps, below the relay's least
    EXPECT_EQ(f.Relay->BitrateKbps(), 300);
    EXPECT_EQ(f.Relay->AudioBitrateKbps(), 64);
    ASSERT_TRUE(Close());
    EXPECT_EQ(SettingsText().find("[Relay]"), std::string::npos) << "the file keeps its keys";
}

// Typing into the masked field edits the real address at the cursor.
TEST_F(RelayWindow, MaskedFieldShowsSchemeAndHostAndEditsTheRealAddress)
{
    TForm1& f = OpenWith("");
    TRelayUrlEdit* e = f.edRelayURL;
    e->SetUrl("rtmp://h:1935/app/secret");
    const QString bullets = QString(11, QChar(0x2022));
    EXPECT_EQ(e->text(), "rtmp://h:1935" + bullets);
    e->setFocus();
    auto key = [&](int k, const QString& text = {}) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier, text);
        QApplication::sendEvent(e, &press);
        QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier, text);
        QApplication::sendEvent(e, &release);
    };
    key(Qt::Key_End);
    key(Qt::Key_Backspace);
    key(Qt::Key_Backspace);
    key(Qt::Key_X, "X");
    EXPECT_EQ(e->Url(), "rtmp://h:1935/app/secrX");
    EXPECT_EQ(e->text(), "rtmp://h:1935" + QString(10, QChar(0x2022))) << "what is typed is masked at once";
    e->setCursorPosition(15); // after "/a"
    key(Qt::Key_Backspace);
    key(Qt::Key_Delete);
    key(Qt::Key_Q, "q");
    EXPECT_EQ(e->Url(), "rtmp://h:1935/qp/secrX");
    e->setCursorPosition(8); // inside the host
    key(Qt::Key_2, "2");
    EXPECT_EQ(e->Url(), "rtmp://h2:1935/qp/secrX");
    EXPECT_EQ(e->text(), "rtmp://h2:1935" + QString(9, QChar(0x2022)));
    e->selectAll();
    key(Qt::Key_Z, "z");
    EXPECT_EQ(e->Url(), "z");
    EXPECT_EQ(e->text(), QString(QChar(0x2022))) << "without a scheme nothing is shown";
}

} // namespace
