// The window on a real X server with a window manager (the test runs through
// tests/support/x11/run-with-window-manager.sh): the title bar's close while
// a request waits on a silent peer, and a screen smaller than the window.
#include "tests/app/AppFixture.h"

#include "app/AntiFreeze.h"
#include "media/MediaKit.h"
#include "net/NetFTP.h"
#include "tests/support/ScriptedServer.h"

#include <QComboBox>
#include <QLabel>
#include <QTreeWidget>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::RunCommand;
using testsupport::ScriptedPeer;
using testsupport::ScriptedServer;
using testsupport::WriteFileText;

namespace {

class X11Fixture : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (const char* why = std::getenv("LUMORA_NO_X11"))
            GTEST_SKIP() << why;
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs the X11 platform (run through run-with-window-manager.sh)";
    }
    TForm1& OpenMapped(TStartOptions options = {})
    {
        TForm1& f = Open(std::move(options));
        EXPECT_TRUE(WaitFor([&] { return f.windowHandle() && f.windowHandle()->isExposed(); }, 10s));
        return f;
    }
};

class CloseButton : public X11Fixture {
protected:
    // Once the window waits on its peer, asks the window manager to close it
    // as its title bar's button does; answers when the request was sent.
    void CloseFromTitleBarWhileBusy(TForm1& f)
    {
        const std::string id = std::to_string(f.winId());
        m_helper = std::thread([this, &f, id] {
            while (!m_busySeen) {
                std::this_thread::sleep_for(50ms);
                QMetaObject::invokeMethod(&f, [this, &f] { m_busySeen = f.AntiFreeze->Busy(); }, Qt::QueuedConnection);
            }
            int status = -1;
            RunCommand("wmctrl -i -c " + id, &status);
            m_closeSent = std::chrono::steady_clock::now();
            m_sent = status == 0;
        });
    }
    // The window closed by the title bar's request, with the time it took.
    void ExpectClosedWell(TForm1& f)
    {
        m_helper.join();
        ASSERT_TRUE(m_sent) << "wmctrl could not send the close";
        EXPECT_TRUE(WaitFor([&] { return !f.isVisible(); }, 20s));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                m_closeSent);
        std::printf("closed %lld ms after the window manager's close\n", static_cast<long long>(took.count()));
        // Far inside the request's limit: the close was not held until it ran out.
        EXPECT_LT(took, 15s);
        EXPECT_NE(SettingsText().find("Username=closed-by-the-title-bar"), std::string::npos) << "settings saved";
        EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    }
    void FillWebsite(TForm1& f, int ftpPort)
    {
        WriteFileText(Path("page.tpl"), "<a href=\"http://{IP}/\">watch</a>\n");
        f.edRemoteHost->setText("127.0.0.1");
        f.edUsername->setText("closed-by-the-title-bar");
        f.edPassword->setText("secret");
        f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
        f.edFile->setText("cam.htm");
        f.NetFTP1->SetPort(ftpPort);
    }

    std::thread m_helper;
    std::atomic<bool> m_busySeen {false};
    std::atomic<bool> m_sent {false};
    std::chrono::steady_clock::time_point m_closeSent;
};

// An FTP server that logs in, then never answers STOR; counts its sessions.
ScriptedServer::Handler StallingFtp(std::atomic<int>& sessions)
{
    return [&sessions](ScriptedPeer& p) {
        ++sessions;
        p.Send("220 ready\r\n");
        for (;;) {
            const std::string line = p.ReadLine(30000);
            if (line.empty() && p.Eof())
                return;
            const std::string verb = line.substr(0, line.find_first_of(" \r"));
            if (verb == "USER")
                p.Send("331 password please\r\n");
            else if (verb == "PASS")
                p.Send("230 welcome\r\n");
            else if (verb == "STOR" || verb == "PASV" || verb == "EPSV" || verb == "PORT" || verb == "EPRT") {
                p.ReadUntilClose(30000);
                return;
            } else if (verb == "AUTH")
                p.Send("502 not here\r\n");
            else
                p.Send("200 ok\r\n");
        }
    };
}

TEST_F(CloseButton, ClosesAtOnceWhileStartWaitsForASilentEchoService)
{
    std::atomic<int> sessions {0};
    ScriptedServer ftp(StallingFtp(sessions), 2);
    ScriptedServer silentEcho([](ScriptedPeer& p) { p.ReadUntilClose(40000); }, 1);
    WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(FreeTcpPort()) + "\n");
    TStartOptions o;
    o.EchoUrl = "http://127.0.0.1:" + std::to_string(silentEcho.port()) + "/";
    TForm1& f = OpenMapped(o);
    // A screen that holds the window: its designed size, nothing to scroll.
    EXPECT_EQ(f.size(), QSize(498, 434));
    for (QScrollBar* bar : f.findChildren<QScrollBar*>())
        if (f.centralWidget()->isAncestorOf(bar)) {
            EXPECT_FALSE(bar->isVisible());
        }
    f.RequestLimits.Echo = 30000; // only the close can end the wait in time
    FillWebsite(f, ftp.port());
    f.LastUploadedIP = "198.51.100.1";
    f.cbSource->setCurrentIndex(f.cbSource->count() - 1);

    CloseFromTitleBarWhileBusy(f);
    f.btnStart->click();
    ExpectClosedWell(f);
    f.tmrStartButtonUploadTimer(); // a check that falls due after the close
    EXPECT_EQ(sessions, 0) << "no FTP session after the close";
}

TEST_F(CloseButton, ClosesAtOnceWhileAnUploadWaitsForASilentServer)
{
    std::atomic<int> sessions {0};
    ScriptedServer ftp(StallingFtp(sessions), 2);
    TForm1& f = OpenMapped();
    f.RequestLimits = {1000, 30000, 60000};
    FillWebsite(f, ftp.port());
    f.StatusPanel0->setText("203.0.113.7");
    f.LastUploadedIP = "198.51.100.1";

    CloseFromTitleBarWhileBusy(f);
    f.tmrStartButtonUploadTimer();
    ExpectClosedWell(f);
    f.tmrStartButtonUploadTimer();
    EXPECT_EQ(sessions, 1) << "the one session the close gave up, and no other";
}

TEST_F(CloseButton, InputWhileARequestWaitsIsDropped)
{
    // A click on Upload while the echo request waits does nothing, then or later.
    ScriptedServer silentEcho([](ScriptedPeer& p) { p.ReadUntilClose(10000); }, 1);
    TStartOptions o;
    o.EchoUrl = "http://127.0.0.1:" + std::to_string(silentEcho.port()) + "/";
    TForm1& f = OpenMapped(o);
    f.RequestLimits.Echo = 1500;
    f.PageControl1->setCurrentWidget(f.TabSheet2);
    f.edPort->setFocus();
    QApplication::processEvents();
    const QString before = f.edPort->text();
    const std::string id = std::to_string(f.winId());
    std::thread typist([id] {
        std::this_thread::sleep_for(400ms);
        RunCommand("xdotool type --window " + id + " 999");
    });
    f.GetOutsideIP();
    typist.join();
    QApplication::processEvents();
    EXPECT_EQ(f.edPort->text(), before) << "keys typed during the wait reached the form";
}

// The title bar's close while streaming does what Ctrl+C does: the stream
// is torn down (its port free again) and the settings are saved.
TEST_F(CloseButton, WhileStreamingEndsTheStreamAndSavesTheSettings)
{
    const int port = FreeTcpPort();
    WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(port) + "\n");
    TStartOptions o;
    o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
    TForm1& f = OpenMapped(o);
    f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
    f.edUsername->setText("closed-by-the-title-bar");
    f.btnStart->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    ASSERT_TRUE(f.btnStop->isEnabled());
    int status = -1;
    RunCommand("timeout 10 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 http://127.0.0.1:" +
                   std::to_string(port) + "/",
               &status);
    ASSERT_EQ(status, 0) << "nothing streamed before the close";

    RunCommand("wmctrl -i -c " + std::to_string(f.winId()), &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(WaitFor([&] { return !f.isVisible(); }, 10s));
    // Stopped as Stop leaves it (the preview graph goes with the window).
    EXPECT_FALSE(f.btnStop->isEnabled()) << "still streaming";
    EXPECT_TRUE(f.Label7->isHidden()) << "still encoding";
    EXPECT_NE(SettingsText().find("Username=closed-by-the-title-bar"), std::string::npos) << "settings saved";
    const std::string probe = RunCommand("timeout 5 ffprobe -v error http://127.0.0.1:" + std::to_string(port) + "/ 2>&1", &status);
    EXPECT_NE(status, 0) << "the stream port still answers: " << probe;
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

class TitleBar : public X11Fixture {};

// The window has a fixed size: the title bar offers no maximise, and the
// window manager neither lists it as an allowed action nor obeys a request.
TEST_F(TitleBar, OffersNoMaximise)
{
    TForm1& f = OpenMapped();
    const Qt::WindowFlags flags = f.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint) << "the default buttons are asked for";
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);

    const std::string id = std::to_string(f.winId());
    int status = -1;
    std::string actions;
    ASSERT_TRUE(WaitFor([&] {
        actions = RunCommand("xprop -id " + id + " _NET_WM_ALLOWED_ACTIONS", &status);
        return status == 0 && actions.find("_NET_WM_ACTION_CLOSE") != std::string::npos;
    }, 5s)) << actions;
    EXPECT_EQ(actions.find("_NET_WM_ACTION_MAXIMIZE"), std::string::npos) << actions;

    const QSize before = f.size();
    RunCommand("wmctrl -i -r " + id + " -b add,maximized_vert,maximized_horz", &status);
    ASSERT_EQ(status, 0);
    // The window manager answers by a property change; the size must not follow.
    WaitFor([&] { return f.size() != before; }, 1s);
    EXPECT_EQ(f.size(), before);
}

class SmallScreen : public X11Fixture {};

TEST_F(SmallScreen, EveryControlCanBeScrolledIntoView)
{
    TForm1& f = OpenMapped();
    const QRect available = f.screen()->availableGeometry();
    if (available.width() >= 498 && available.height() >= 434)
        GTEST_SKIP() << "the screen holds the whole window";
    ASSERT_TRUE(WaitFor([&] { return f.frameGeometry().width() <= available.width(); }, 5s));
    EXPECT_LE(f.frameGeometry().width(), available.width());
    EXPECT_LE(f.frameGeometry().height(), available.height());
    for (QWidget* page : {f.TabSheet1, f.TabSheet2, f.TabSheet3, f.TabSheet4}) {
        f.PageControl1->setCurrentWidget(page);
        QApplication::processEvents();
        std::vector<QWidget*> controls {f.btnStart, f.btnStop, f.TreeView1};
        for (QWidget* w : page->findChildren<QWidget*>())
            if (w->isVisible() && (w->focusPolicy() & Qt::TabFocus))
                controls.push_back(w);
        // Reachable: scrolled into view, the control's centre can be clicked.
        auto* scroller = f.findChild<QScrollArea*>();
        ASSERT_NE(scroller, nullptr) << "a window larger than the screen and nothing to scroll it";
        QWidget* view = scroller->viewport();
        for (QWidget* w : controls) {
            SCOPED_TRACE(w->objectName().toStdString());
            scroller->ensureWidgetVisible(w, 0, 0);
            QApplication::processEvents();
            const QPoint centre = w->mapTo(view, w->rect().center());
            EXPECT_TRUE(view->rect().contains(centre))
                << "out of reach: centre " << centre.x() << "," << centre.y() << " in a view of "
                << view->width() << "x" << view->height();
            EXPECT_TRUE(f.rect().contains(view->mapTo(&f, view->rect().bottomRight())));
        }
    }
}

} // namespace
