// The window under faults, offscreen with the test source: peers that accept
// and then stay silent, a close while a request waits, the address fields
// while streaming, a refused port, a source change while streaming, the
// crossbar input across Start and Stop, and the local page beside the upload.
#include "tests/app/AppFixture.h"

#include "media/MediaKit.h"
#include "net/NetFTP.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/PropertyFrame.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedServer.h"

#include "platform/ui/Application.h"

#include <QApplication>
#include <QDir>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::FtpTestServer;
using testsupport::HttpScriptedReply;
using testsupport::HttpTestServer;
using testsupport::ReadFileText;
using testsupport::RunCommand;
using testsupport::ScriptedPeer;
using testsupport::ScriptedServer;
using testsupport::WriteFileText;

namespace {

std::string Probe(const std::string& url)
{
    return RunCommand("timeout 20 ffprobe -v error -select_streams v:0 -show_entries stream=codec_name "
                      "-of csv=p=0 '" + url + "' 2>&1");
}

bool SomethingListens(int port)
{
    return RunCommand("timeout 5 bash -c '</dev/tcp/127.0.0.1/" + std::to_string(port) + "' 2>/dev/null && echo yes") ==
           "yes\n";
}

// An echo service that always answers 203.0.113.7.
HttpTestServer::Handler GoodEcho()
{
    return [](int, const testsupport::HttpRecordedRequest&) {
        return HttpScriptedReply{HttpTestServer::Reply("HTTP/1.1 200 OK", "<body>Address: 203.0.113.7</body>"), true};
    };
}

// Plays the server side of an FTP login and answers every command up to
// (not including) `stallAt`, then stays silent until the client gives up.
// "PORT" data connections are made only when connectBack is set.
void FtpUntil(ScriptedPeer& p, const std::string& stallAt, bool connectBack = false)
{
    if (stallAt == "greeting") {
        p.ReadUntilClose(30000);
        return;
    }
    p.Send("220 ready\r\n");
    std::string portAddress;
    int portNumber = 0;
    for (;;) {
        std::string line = p.ReadLine(30000);
        if (line.empty() && p.Eof())
            return;
        const std::string verb = line.substr(0, line.find_first_of(" \r"));
        if (verb == stallAt) {
            p.ReadUntilClose(30000);
            return;
        }
        if (verb == "USER")
            p.Send("331 password please\r\n");
        else if (verb == "PASS")
            p.Send("230 welcome\r\n");
        else if (verb == "SYST")
            p.Send("215 UNIX Type: L8\r\n");
        else if (verb == "PORT") {
            int n[6] = {};
            std::sscanf(line.c_str() + 5, "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]);
            portAddress = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." +
                          std::to_string(n[3]);
            portNumber = n[4] * 256 + n[5];
            p.Send("200 PORT ok\r\n");
        } else if (verb == "STOR") {
            p.Send("150 go ahead\r\n");
            if (!connectBack) {
                p.ReadUntilClose(30000);
                return;
            }
            // Half-way through the data: read a little, then neither read
            // on nor answer.
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(portNumber));
            inet_pton(AF_INET, portAddress.c_str(), &a.sin_addr);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                ScriptedPeer data(fd);
                data.ReadExactly(16);
                p.ReadUntilClose(30000);
            } else {
                close(fd);
            }
            return;
        } else
            p.Send("200 ok\r\n");
    }
}

class NeverStuck : public AppFixture {
protected:
    // The window streaming the test source on a free port, with short
    // request limits, and the publishing timers left to the test.
    TForm1& StartStreaming(const std::string& echoUrl, TRequestLimits limits = {2000, 2000, 20000})
    {
        m_port = FreeTcpPort();
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
        TStartOptions o;
        o.EchoUrl = echoUrl;
        TForm1& f = Open(o);
        f.RequestLimits = limits;
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test source
        f.btnStart->click();
        f.tmrStartButtonUpload->stop();
        f.tmrMain->stop();
        return f;
    }
    void FillWebsite(TForm1& f, const FtpTestServer& ftp)
    {
        WriteFileText(Path("page.tpl"), "<a href=\"http://{IP}/\">watch</a>\n");
        f.edRemoteHost->setText("127.0.0.1");
        f.edUsername->setText(QString::fromStdString(ftp.user()));
        f.edPassword->setText(QString::fromStdString(ftp.password()));
        f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
        f.edFile->setText("cam.htm");
        f.NetFTP1->SetPort(ftp.port());
    }
    std::string StreamUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    int m_port = 0;
};

TEST_F(NeverStuck, SilentFtpServersAreGivenUpAndTheNextAttemptWorks)
{
    HttpTestServer echo(GoodEcho());
    FtpTestServer good;
    TForm1& f = StartStreaming(echo.Url("/"));
    ASSERT_TRUE(f.Label7->isVisible());
    FillWebsite(f, good);

    struct Case {
        const char* name;
        ScriptedServer::Handler server;
    };
    const Case cases[] = {
        {"accepts and never greets", [](ScriptedPeer& p) { FtpUntil(p, "greeting"); }},
        {"greets and ignores the login", [](ScriptedPeer& p) { FtpUntil(p, "USER"); }},
        {"stops answering at the data command", [](ScriptedPeer& p) { FtpUntil(p, "STOR"); }},
        {"never connects back for the data", [](ScriptedPeer& p) { FtpUntil(p, "", false); }},
        {"stops half-way through the data", [](ScriptedPeer& p) { FtpUntil(p, "", true); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer stalled(c.server);
        f.NetFTP1->SetPort(stalled.port());
        f.LastUploadedIP = "198.51.100.1"; // the public address changed since
        f.tmrMainTimer();
        EXPECT_EQ(f.LastUploadedIP, "") << "a timed-out upload counts as a failed one";
        EXPECT_FALSE(f.StatusPanel1->text().isEmpty());
        EXPECT_FALSE(f.StatusPanel1->text().startsWith("Uploaded")) << f.StatusPanel1->text().toStdString();
        EXPECT_FALSE(f.NetFTP1->IsConnected());
        stalled.Join();

        // The stream went on meanwhile, and the next scheduled attempt
        // against a working server uploads.
        EXPECT_EQ(Probe(StreamUrl()), "wmv2\n");
        f.NetFTP1->SetPort(good.port());
        f.tmrMainTimer();
        EXPECT_EQ(f.LastUploadedIP, "203.0.113.7");
        EXPECT_NE(good.ReadStored("cam.htm").find("203.0.113.7:"), std::string::npos);
        std::filesystem::remove(good.home() / "cam.htm");
    }
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

// Counts paint events of a widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) { w->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

TEST_F(NeverStuck, SilentEchoServiceIsGivenUpAndACloseAbandonsIt)
{
    ScriptedServer silent([](ScriptedPeer& p) { p.ReadUntilClose(60000); }, 2);
    TForm1& f = StartStreaming("http://127.0.0.1:" + std::to_string(silent.port()) + "/");
    // Start waited for the echo service only as long as its limit allows.
    EXPECT_TRUE(f.Label7->isVisible());
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_TRUE(f.StatusPanel0->text().isEmpty()) << "a timed-out discovery is a failed one";
    EXPECT_TRUE(f.StatusPanel1->text().startsWith("The public address is unknown: the address echo service "))
        << f.StatusPanel1->text().toStdString();
    EXPECT_EQ(Probe(StreamUrl()), "wmv2\n");

    // A long limit now: only the close can end the wait. While it waits the
    // window keeps handling its events and painting.
    f.RequestLimits.Echo = 120000;
    PaintCounter counter(&f);
    bool ranWhileBusy = false;
    int paintsWhileBusy = -1;
    std::thread helper([&] {
        std::this_thread::sleep_for(500ms);
        QMetaObject::invokeMethod(&f, [&] {
            ranWhileBusy = f.AntiFreeze->Busy();
            f.repaint();
            paintsWhileBusy = counter.paints;
            f.close();
        }, Qt::QueuedConnection);
    });
    // Timer ticks wait until the request is over: no handler of the window
    // runs inside another.
    int ticksWhileBusy = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] { ticksWhileBusy += f.AntiFreeze->Busy() ? 1 : 0; });
    tick.start();
    f.GetOutsideIP();
    helper.join();
    tick.stop();
    EXPECT_EQ(ticksWhileBusy, 0);
    EXPECT_TRUE(ranWhileBusy);
    EXPECT_GT(paintsWhileBusy, 0);
    EXPECT_TRUE(WaitFor([&] { return !f.isVisible(); }, 10s)) << "the window closes once the request is given up";
    EXPECT_NE(SettingsText().find("Port=" + std::to_string(m_port)), std::string::npos) << "settings saved";
    EXPECT_FALSE(SomethingListens(m_port)) << "the close stopped the stream";
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

TEST_F(NeverStuck, AddressFieldsStayReadableAndSelectableWhileStreaming)
{
    HttpTestServer echo(GoodEcho());
    TForm1& f = StartStreaming(echo.Url("/"));
    ASSERT_TRUE(f.Label7->isVisible());
    EXPECT_FALSE(f.cbProfiles->isEnabled()) << "the rest of the group is locked while streaming";
    EXPECT_FALSE(f.edPort->isEnabled());
    for (QLineEdit* field : {f.edIPAddress, f.edWAN}) {
        SCOPED_TRACE(field->objectName().toStdString());
        EXPECT_FALSE(field->text().isEmpty());
        EXPECT_TRUE(field->isEnabled());
        EXPECT_TRUE(field->isReadOnly());
        const QPalette p = field->palette();
        const QPalette::ColorGroup drawn = field->isEnabled() ? QPalette::Active : QPalette::Disabled;
        const QColor text = p.color(drawn, QPalette::Text);
        const QColor base = p.color(drawn, QPalette::Base);
        EXPECT_GT(std::abs(text.lightness() - base.lightness()), 100) << "text and background differ clearly";
        field->selectAll();
        field->copy();
        EXPECT_EQ(QApplication::clipboard()->text(), field->text());
    }
    f.btnStopClick();
    EXPECT_TRUE(f.cbProfiles->isEnabled());
    EXPECT_TRUE(f.edPort->isEnabled());
}

TEST_F(NeverStuck, PortsThatCannotBeServedAreRefused)
{
    for (const char* port : {"0", "70000", "-5"}) {
        SCOPED_TRACE(port);
        m_errors.clear();
        WriteFileText(Path("lumora.ini"), std::string("[Network]\nPort=") + port + "\n");
        TStartOptions o;
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
        TForm1& f = Open(o);
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
        f.btnStart->click();
        ASSERT_EQ(m_errors.size(), 1u);
        EXPECT_EQ(m_errors[0], std::string("The stream cannot be served on port ") + port +
                                   ": the port is in use or not allowed.");
        EXPECT_FALSE(f.Label7->isVisible());
        EXPECT_TRUE(f.btnStart->isEnabled());
        EXPECT_FALSE(f.btnStop->isEnabled());
        m_form.reset();
    }
}

TEST_F(NeverStuck, ChoosingAnotherSourceWhileStreamingShowsTheStoppedState)
{
    TForm1& f = StartStreaming("http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/");
    ASSERT_TRUE(f.Label7->isVisible());
    f.tmrMain->start();
    if (f.cbSource->count() > 1)
        f.cbSource->setCurrentIndex(0);
    f.cbSourceChange();
    EXPECT_FALSE(f.Label7->isVisible());
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnStop->isEnabled());
    EXPECT_TRUE(f.btnPreview->isEnabled());
    EXPECT_TRUE(f.edPort->isEnabled());
    EXPECT_TRUE(f.GroupBox2->isEnabled());
    EXPECT_FALSE(f.tmrMain->isActive());
    EXPECT_FALSE(SomethingListens(m_port)) << "no stream is left behind the stopped state";
    // And streaming again works from there.
    f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
    f.btnStart->click();
    EXPECT_TRUE(f.Label7->isVisible());
    EXPECT_EQ(Probe(StreamUrl()), "wmv2\n");
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

TEST_F(NeverStuck, CrossbarOpensOnTheInputAndTheInputSurvivesStartAndStop)
{
    TStartOptions o;
    o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
    TForm1& f = Open(o);
    f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
    f.btnPreview->click();
    ASSERT_TRUE(f.btnCrossbar->isEnabled());
    QString firstPage;
    SetPropertyFrameHook([&](QDialog& d) {
        auto* tabs = d.findChild<QTabWidget*>();
        firstPage = tabs ? tabs->tabText(tabs->currentIndex()) : QString();
        if (auto* input = d.findChild<QComboBox*>("cbInput"))
            input->setCurrentIndex(1);
    });
    f.btnCrossbar->click();
    SetPropertyFrameHook(nullptr);
    EXPECT_EQ(firstPage, "Crossbar");

    auto routed = [&] {
        ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*f.Filter1);
        ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*f.FilterGraph1);
        ComPtr<IAMCrossbar> crossbar;
        builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IAMCrossbar::iid,
                               crossbar.ReleaseAndGetVoid());
        long input = -1;
        if (crossbar)
            crossbar->get_IsRoutedTo(0, &input);
        return input;
    };
    EXPECT_EQ(routed(), 1);
    f.edPort->setText(QString::number(FreeTcpPort()));
    f.btnStart->click();
    ASSERT_TRUE(f.Label7->isVisible());
    EXPECT_EQ(routed(), 1) << "after Start";
    f.btnStop->click();
    EXPECT_EQ(routed(), 1) << "after Stop";

    // Configure lands on the picture controls.
    SetPropertyFrameHook([&](QDialog& d) {
        auto* tabs = d.findChild<QTabWidget*>();
        firstPage = tabs ? tabs->tabText(tabs->currentIndex()) : QString();
    });
    f.btnConfigure->click();
    SetPropertyFrameHook(nullptr);
    EXPECT_EQ(firstPage, "Video Proc Amp");
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

TEST_F(NeverStuck, LocalPageNeverStopsTheWebsiteUpload)
{
    HttpTestServer echo(GoodEcho());
    FtpTestServer ftp;
    TForm1& f = StartStreaming(echo.Url("/"));
    FillWebsite(f, ftp);
    f.edIPAddress->setText("192.168.1.5");

    struct Case {
        const char* name;
        std::string local;
        std::string error; // "" when nothing is to be reported
    };
    const Case cases[] = {
        {"no local page name", "", ""},
        {"a folder that does not exist", Path("missing/local.htm"),
         "Cannot create file \"" + Path("missing/local.htm") + "\". File not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_errors.clear();
        f.edLocal->setText(QString::fromStdString(c.local));
        f.LastUploadedIP.clear();
        testing::internal::CaptureStdout();
        f.tmrStartButtonUpload->start();
        RunGuarded([&] { f.tmrStartButtonUploadTimer(); });
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(f.LastUploadedIP, "203.0.113.7") << "the website page was published";
        EXPECT_NE(ftp.ReadStored("cam.htm").find("203.0.113.7:"), std::string::npos);
        // The status bar and the headless console say what happened.
        EXPECT_TRUE(f.StatusPanel1->text().startsWith("Uploaded cam.htm to 127.0.0.1 at "))
            << f.StatusPanel1->text().toStdString();
        EXPECT_EQ(printed, f.StatusPanel1->text().toStdString() + "\n");
        if (c.error.empty()) {
            EXPECT_TRUE(m_errors.empty()) << m_errors.front();
        } else {
            ASSERT_EQ(m_errors.size(), 1u);
            EXPECT_EQ(m_errors[0], c.error);
        }
        std::filesystem::remove(ftp.home() / "cam.htm");
    }
}

TEST(FileDialogFilters, EachDescriptionShowsOnceAndFiltersByItsPatterns)
{
    struct Case {
        const char* filter;
        QStringList shown;
        QStringList matching;
    };
    const Case cases[] = {
        {"HTML Files (*.htm;*html)|*.htm;*.html|All Files (*.*)|*.*",
         {"HTML Files (*.htm;*html)", "All Files (*.*)"},
         {"page.htm", "page.html"}},
        {"HTML Files (*.htm; *.html)|*.htm;*.html|All Files (*.*)|*.*",
         {"HTML Files (*.htm; *.html)", "All Files (*.*)"},
         {"page.htm", "page.html"}},
    };
    testsupport::TempDir dir;
    for (const char* name : {"page.htm", "page.html", "notes.txt"})
        WriteFileText(dir.file(name), "x");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        dialog.setNameFilters(QtNameFilters(c.filter));
        auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
        ASSERT_NE(combo, nullptr);
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemText(i);
        EXPECT_EQ(shown, c.shown);
        // Qt filters by the patterns in the last parentheses.
        const QString first = QtNameFilters(c.filter).first();
        const int open = first.lastIndexOf('(');
        const QStringList patterns = first.mid(open + 1, first.size() - open - 2).split(' ');
        EXPECT_EQ(QDir(QString::fromStdString(dir.path().string())).entryList(patterns, QDir::Files), c.matching);
    }
}

} // namespace
