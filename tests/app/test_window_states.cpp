// What the window shows: a Start without a source, the settings locked while
// streaming, the public address field before the address is known, and
// upload results that stay readable, and a run without a display that
// makes no preview.
#include "tests/app/AppFixture.h"

#include "app/StatusPanel.h"
#include "media/MediaKit.h"
#include "net/NetFTP.h"
#include "platform/dshow/VideoRenderer.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>

#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::FtpTestServer;
using testsupport::HttpScriptedReply;
using testsupport::HttpTestServer;
using testsupport::ScriptedPeer;
using testsupport::ScriptedServer;
using testsupport::WriteFileText;

namespace {

class WindowStates : public AppFixture {
protected:
    TForm1& OpenOnFreePort(const std::string& echoUrl, bool unseen = false)
    {
        m_port = FreeTcpPort();
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
        TStartOptions o;
        o.EchoUrl = echoUrl;
        o.Unseen = unseen;
        TForm1& f = Open(o);
        f.RequestLimits.Echo = 1000;
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test source
        return f;
    }
    int m_port = 0;
};

HttpTestServer::Handler GoodEcho()
{
    return [](int, const testsupport::HttpRecordedRequest&) {
        return HttpScriptedReply{HttpTestServer::Reply("HTTP/1.1 200 OK", "<body>Address: 203.0.113.7</body>"), true};
    };
}

// Every control the user can change, and whether it is enabled.
std::vector<std::pair<std::string, bool>> ControlStates(TForm1& f)
{
    std::vector<std::pair<std::string, bool>> out;
    for (QWidget* w : f.findChildren<QWidget*>())
        if (!w->objectName().isEmpty() && (w->focusPolicy() & Qt::TabFocus))
            out.emplace_back(w->objectName().toStdString(), w->isEnabled());
    return out;
}

TEST_F(WindowStates, StartWithoutAVideoSourceSaysSoAndLeavesTheWindowStopped)
{
    setenv("LUMORA_TEST_SOURCE", "0", 1);
    TForm1& f = Open();
    unsetenv("LUMORA_TEST_SOURCE");
    if (f.DeviceEnum->DeviceCount() != 0)
        GTEST_SKIP() << "this machine has a capture device";
    const auto before = ControlStates(f);
    // Every press says it once, and the window stays as it was.
    for (int press = 1; press <= 2; ++press) {
        SCOPED_TRACE(press);
        f.btnStart->click();
        EXPECT_EQ(m_errors, std::vector<std::string>(press, NoVideoSourceText));
        EXPECT_EQ(ControlStates(f), before);
        EXPECT_FALSE(f.FilterGraph1->Active());
        EXPECT_FALSE(f.Label7->isVisible());
    }
    f.btnPreview->click();
    EXPECT_EQ(m_errors.back(), NoVideoSourceText);
    EXPECT_EQ(ControlStates(f), before);
}

// Without a display no one sees the preview: it is not drawn, and the
// pictures for it are not made, while the stream goes on. With one (the
// offscreen window stands for a shown one here) it is drawn.
TEST_F(WindowStates, WithoutADisplayThePreviewIsNeitherMadeNorDrawn)
{
    for (const bool unseen : {true, false}) {
        SCOPED_TRACE(unseen ? "no display" : "a display");
        TForm1& f = OpenOnFreePort("http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/", unseen);
        f.btnStart->click();
        ASSERT_TRUE(f.FilterGraph1->Active()) << (m_errors.empty() ? "" : m_errors.front());
        ComPtr<IRendererStatistics> stats;
        ASSERT_EQ(f.VideoWindow1->QueryInterface(IRendererStatistics::iid, stats.ReleaseAndGetVoid()), S_OK);
        // The stream's pictures move on: two different snapshots.
        const std::string snapshot = "curl -s --max-time 5 http://127.0.0.1:" + std::to_string(m_port) + "/snapshot.jpg | md5sum";
        const std::string first = testsupport::RunCommand(snapshot);
        EXPECT_TRUE(WaitFor([&] { return testsupport::RunCommand(snapshot) != first; }, 10s));
        uint64_t received = 0, painted = 0;
        if (unseen) {
            stats->GetCounts(&received, &painted);
            EXPECT_EQ(painted, 0u);
            EXPECT_LE(received, 1u) << "the first picture makes the renderer's window; no more are made";
        } else {
            EXPECT_TRUE(WaitFor([&] { stats->GetCounts(&received, &painted); return painted >= 2; }, 10s))
                << received << " received, " << painted << " painted";
        }
        f.btnStop->click();
        ASSERT_TRUE(Close());
    }
}

TEST_F(WindowStates, EveryWebsiteSettingGreysWhileStreaming)
{
    HttpTestServer echo(GoodEcho());
    TForm1& f = OpenOnFreePort(echo.Url("/"));
    f.btnStart->click();
    ASSERT_TRUE(f.Label7->isVisible()) << (m_errors.empty() ? "" : m_errors.front());
    std::vector<QWidget*> settings;
    for (QWidget* w : f.TabSheet3->findChildren<QWidget*>())
        if (w->focusPolicy() & Qt::TabFocus)
            settings.push_back(w);
    ASSERT_GE(settings.size(), 11u);
    for (QWidget* w : settings)
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString() << " can be changed while streaming";
    f.btnStop->click();
    EXPECT_TRUE(f.cbSecurity->isEnabled());
    EXPECT_TRUE(f.edRemoteHost->isEnabled());
}

TEST_F(WindowStates, WanFieldShowsAHintUntilThePublicAddressIsKnown)
{
    // An echo service that never answers: "learning…" while Start waits for
    // it, "unknown" once it was given up; never half an address.
    ScriptedServer silent([](ScriptedPeer& p) { p.ReadUntilClose(10000); }, 1);
    TForm1& f = OpenOnFreePort("http://127.0.0.1:" + std::to_string(silent.port()) + "/");
    QString textWhileWaiting = "(not seen)", hintWhileWaiting;
    std::thread helper([&] {
        std::this_thread::sleep_for(300ms);
        QMetaObject::invokeMethod(&f, [&] {
            textWhileWaiting = f.edWAN->text();
            hintWhileWaiting = f.edWAN->placeholderText();
        }, Qt::QueuedConnection);
    });
    f.btnStart->click();
    helper.join();
    ASSERT_TRUE(f.Label7->isVisible());
    EXPECT_EQ(textWhileWaiting, "");
    EXPECT_EQ(hintWhileWaiting, QString::fromUtf8("learning\u2026"));
    EXPECT_EQ(f.edWAN->text(), "");
    EXPECT_EQ(f.edWAN->placeholderText(), "unknown");
    f.btnStop->click();
    silent.Join();

    // A working service: the address and the port.
    HttpTestServer echo(GoodEcho());
    f.Options.EchoUrl = echo.Url("/");
    f.btnStart->click();
    EXPECT_EQ(f.edWAN->text().toStdString(), "203.0.113.7:" + std::to_string(m_port) + "/");
}

TEST_F(WindowStates, UploadResultsShowOnOneLineAndTheLastOneStays)
{
    FtpTestServer ftp;
    TForm1& f = Open();
    WriteFileText(Path("page.tpl"), "<a href=\"http://{IP}/\">watch</a>\n");
    f.edRemoteHost->setText("127.0.0.1");
    f.edUsername->setText(QString::fromStdString(ftp.user()));
    f.edPassword->setText(QString::fromStdString(ftp.password()));
    f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
    f.edFile->setText("a-rather-long-remote-page-name-for-the-status-bar.htm");
    f.StatusPanel0->setText("203.0.113.7");
    auto* panel = dynamic_cast<TStatusPanel*>(f.StatusPanel1);
    auto* last = dynamic_cast<TStatusPanel*>(f.lblLastUpload);
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(last, nullptr);

    struct Case {
        const char* name;
        int port;
        const char* starts;
    };
    const Case cases[] = {
        {"refused: a two-line error", FreeTcpPort(), "Socket Error # 10061"},
        {"uploaded: longer than the panel", ftp.port(), "Uploaded a-rather-long-remote-page-name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        f.NetFTP1->SetPort(c.port);
        f.MakeWANFile();
        f.UpLoadFile();
        const QString full = f.StatusPanel1->text().trimmed();
        ASSERT_TRUE(full.startsWith(c.starts)) << full.toStdString();
        for (TStatusPanel* shown : {panel, last}) {
            SCOPED_TRACE(shown->objectName().toStdString());
            const QString line = shown->ShownText();
            EXPECT_FALSE(line.contains('\n') || line.contains('\r')) << line.toStdString();
            EXPECT_LE(shown->fontMetrics().horizontalAdvance(line), shown->contentsRect().width()) << line.toStdString();
            EXPECT_FALSE(line.isEmpty());
            // The tool tip holds the whole text.
            QHelpEvent tip(QEvent::ToolTip, shown->rect().center(), shown->mapToGlobal(shown->rect().center()));
            QApplication::sendEvent(shown, &tip);
            EXPECT_TRUE(QToolTip::text().contains(full)) << QToolTip::text().toStdString();
            QToolTip::hideText();
        }
        if (full.contains('\n')) {
            EXPECT_TRUE(panel->ShownText().contains(QString::fromUtf8(" \u2013 "))) << "line breaks become dashes";
        }
        // The status bar clears; the Website page keeps the result.
        f.tmrMessageTimer();
        EXPECT_TRUE(f.StatusPanel1->text().isEmpty());
        EXPECT_EQ(f.lblLastUpload->text(), "Last upload: " + full);
    }
}

} // namespace
