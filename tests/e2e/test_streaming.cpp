// The whole program, offscreen, with the test source: Start and Stop through
// the buttons, real players reading the stream, publishing to a real FTP
// server, the help page, auto start and closing while streaming.
#include "tests/app/AppFixture.h"

#include "htmlview/HtmlView.h"
#include "media/MediaKit.h"
#include "net/NetFTP.h"
#include "platform/dshow/DShow.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::ReadFileText;
using testsupport::RunCommand;
using testsupport::WriteFileText;

namespace {

bool SomethingListens(int port)
{
    const int fd = testsupport::ConnectLoopback(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

std::string Probe(const std::string& url)
{
    return RunCommand("timeout 20 ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height "
                      "-of csv=p=0 '" + url + "' 2>&1");
}

class Streaming : public AppFixture {
protected:
    // The window set up to stream the test source on a free port; the echo
    // service points at a closed port unless a test gives one.
    TForm1& OpenForStreaming(const std::string& echoUrl = {})
    {
        m_port = FreeTcpPort();
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n");
        TStartOptions o;
        o.EchoUrl = echoUrl.empty() ? "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/" : echoUrl;
        TForm1& f = Open(o);
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test source
        return f;
    }
    std::string StreamUrl(const char* scheme = "http") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + "/";
    }
    int m_port = 0;
};

TEST_F(Streaming, StartServesTheStreamAndStopReturnsToPreview)
{
    TForm1& f = OpenForStreaming();
    f.btnStart->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    ASSERT_TRUE(m_messages.empty()) << m_messages.front();

    // The streaming row of the state table.
    EXPECT_TRUE(f.FilterGraph1->Active());
    EXPECT_TRUE(f.Label7->isVisible());
    EXPECT_FALSE(f.btnStart->isEnabled());
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_FALSE(f.btnPreview->isEnabled());
    EXPECT_FALSE(f.cbProfiles->isEnabled());
    EXPECT_FALSE(f.edPort->isEnabled());
    EXPECT_FALSE(f.GroupBox2->isEnabled());
    EXPECT_FALSE(f.GroupBox1->isEnabled());
    EXPECT_TRUE(f.GroupBox4->isEnabled()) << "the source group stays usable";
    EXPECT_TRUE(f.tmrStartButtonUpload->isActive());
    EXPECT_FALSE(f.tmrMain->isActive()) << "automatic updating is off";
    EXPECT_EQ(f.ASFWriter->Port(), static_cast<uint32_t>(m_port));
    EXPECT_EQ(f.edWAN->text().toStdString(), "") << "no public address yet: no half address";
    EXPECT_FALSE(f.edIPAddress->text().isEmpty());

    // Real players read it.
    EXPECT_EQ(Probe(StreamUrl()), "wmv2,320,240\n");
    const std::string mmsh = RunCommand("timeout 30 ffmpeg -v error -i " + StreamUrl("mmsh") +
                                        " -frames:v 30 -f null - 2>&1; echo rc=$?");
    EXPECT_NE(mmsh.find("rc=0"), std::string::npos) << mmsh;

    for (int i = 0; i < 4; ++i) {
        f.PageControl1->setCurrentIndex(i);
        QApplication::processEvents();
        SaveScreenshot("streaming-page" + std::to_string(i + 1) + ".png");
    }
    f.PageControl1->setCurrentIndex(0);

    f.btnStop->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_FALSE(SomethingListens(m_port)) << "the network sink closed with the writer";
    EXPECT_TRUE(f.FilterGraph1->Active()) << "the preview keeps running";
    EXPECT_FALSE(f.Label7->isVisible());
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnStop->isEnabled());
    EXPECT_FALSE(f.btnPreview->isEnabled());
    EXPECT_TRUE(f.cbProfiles->isEnabled());
    EXPECT_TRUE(f.edPort->isEnabled());
    EXPECT_FALSE(f.tmrStartButtonUpload->isActive());
    EXPECT_FALSE(FileExists(f.Files.ParkedWriterName()));
    EXPECT_FALSE(FileExists(f.Files.WanPageFile()));
}

TEST_F(Streaming, ValidationAndFieldsOnStart)
{
    TForm1& f = OpenForStreaming();
    f.cbFTP->setChecked(true);
    f.btnStart->click();
    ASSERT_EQ(m_messages, std::vector<std::string>{"Your website's FTP Server settings are required."});
    EXPECT_FALSE(f.FilterGraph1->Active()) << "nothing else happened";
    f.edRemoteHost->setText("127.0.0.1");
    f.btnStart->click();
    ASSERT_EQ(m_messages.size(), 2u);
    EXPECT_EQ(m_messages[1], "A filename for the uploaded webpage is required.");
    EXPECT_FALSE(f.FilterGraph1->Active());

    f.edFile->setText("index");
    f.edPort->setText(QString::number(m_port));
    f.btnStart->click();
    EXPECT_EQ(f.edFile->text(), "index.htm");
    EXPECT_TRUE(f.tmrMain->isActive()) << "automatic updating arms the 15-minute timer";
    EXPECT_EQ(m_messages.size(), 2u);
    f.btnStop->click();
}

TEST_F(Streaming, APortFieldThatIsNotAPlainPortNumberIsRefusedAtStart)
{
    // The pages carry the field's port: a field the listener would read
    // otherwise (or not at all) would publish a dead link.
    TForm1& f = OpenForStreaming();
    for (const char* text : {"eighty", "0x1F90", "+8080", " 8080", "8080 ", "0", "65536", ""}) {
        SCOPED_TRACE(text);
        m_errors.clear();
        f.edPort->setText(text);
        f.btnStart->click();
        ASSERT_EQ(m_errors.size(), 1u);
        EXPECT_EQ(m_errors[0],
                  "The stream cannot be served on port " + std::string(text) + ": the port is in use or not allowed.");
        EXPECT_FALSE(f.Streaming());
        EXPECT_EQ(f.edPort->text(), text) << "the field keeps what was typed";
    }
}

TEST_F(Streaming, TakenPortIsReportedNotSilentlyDead)
{
    TForm1& f = OpenForStreaming();
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(m_port));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    f.btnStart->click();
    close(holder);
    ASSERT_EQ(m_errors.size(), 1u);
    EXPECT_EQ(m_errors[0], "The stream cannot be served on port " + std::to_string(m_port) +
                               ": the port is in use or not allowed.");
    EXPECT_FALSE(f.Label7->isVisible());
    EXPECT_TRUE(f.btnStart->isEnabled()) << "the user can pick another port and start again";
}

// A capture graph builder that refuses to render the capture stream, so
// Start meets the error its warning dialog is for.
class RefusingBuilder final : public ComObject<ICaptureGraphBuilder2> {
public:
    explicit RefusingBuilder(ComPtr<ICaptureGraphBuilder2> real) : m_real(std::move(real)) {}
    HRESULT SetFiltergraph(IGraphBuilder* g) override { return m_real->SetFiltergraph(g); }
    HRESULT GetFiltergraph(IGraphBuilder** g) override { return m_real->GetFiltergraph(g); }
    HRESULT FindInterface(const GUID* c, const GUID* t, IBaseFilter* f, REFIID riid, void** ppv) override
    {
        return m_real->FindInterface(c, t, f, riid, ppv);
    }
    HRESULT RenderStream(const GUID* c, const GUID* t, IUnknown* s, IBaseFilter* i, IBaseFilter* k) override
    {
        if (c && *c == PIN_CATEGORY_CAPTURE)
            return VFW_E_CANNOT_CONNECT;
        return m_real->RenderStream(c, t, s, i, k);
    }
    HRESULT FindPin(IUnknown* s, PIN_DIRECTION d, const GUID* c, const GUID* t, BOOL u, int n, IPin** p) override
    {
        return m_real->FindPin(s, d, c, t, u, n, p);
    }

private:
    ComPtr<ICaptureGraphBuilder2> m_real;
};

class WarningDialog : public Streaming {
protected:
    void SetUp() override
    {
        Streaming::SetUp();
        m_real = CoGetClassFactory(CLSID_CaptureGraphBuilder2);
        ASSERT_TRUE(m_real);
        CoRegisterClass(CLSID_CaptureGraphBuilder2, [real = m_real](REFIID riid, void** ppv) {
            ComPtr<ICaptureGraphBuilder2> inner;
            HRESULT hr = real(ICaptureGraphBuilder2::iid, inner.ReleaseAndGetVoid());
            if (FAILED(hr))
                return hr;
            ComPtr<RefusingBuilder> b = ComPtr<RefusingBuilder>::Adopt(NewComObject<RefusingBuilder>(inner));
            return b->QueryInterface(riid, ppv);
        });
    }
    void TearDown() override
    {
        CoRegisterClass(CLSID_CaptureGraphBuilder2, m_real);
        Streaming::TearDown();
    }
    TModalResult Answer(TModalResult answer, TMessageRequest* seen)
    {
        SetMessageHandler([=](const TMessageRequest& r) {
            *seen = r;
            return answer;
        });
        return answer;
    }
    ClassFactoryFunction m_real;
};

TEST_F(WarningDialog, NoReturnsToPreview)
{
    TForm1& f = OpenForStreaming();
    TMessageRequest seen;
    Answer(mrNo, &seen);
    f.btnStart->click();
    EXPECT_EQ(seen.Caption, "Warning");
    EXPECT_EQ(seen.Buttons, static_cast<unsigned>(mbYes | mbNo));
    EXPECT_EQ(seen.DefaultResult, mrYes);
    EXPECT_EQ(seen.EscapeResult, mrNo);
    ASSERT_TRUE(seen.Left && seen.Top);
    EXPECT_EQ(*seen.Left, f.frameGeometry().left());
    EXPECT_EQ(*seen.Top, f.frameGeometry().top() + 150);
    EXPECT_EQ(seen.Text.rfind("DirectX has detected the following error: \"", 0), 0u) << seen.Text;
    const std::string tail = "\"\r\n\r\nIt may be possible to stream to the network but without a local display.\r\n"
                             "\r\nDo you wish to ignore error the message and try to continue?\r\n";
    ASSERT_GE(seen.Text.size(), tail.size());
    EXPECT_EQ(seen.Text.substr(seen.Text.size() - tail.size()), tail);
    // The after-Stop state with the preview running.
    EXPECT_TRUE(f.FilterGraph1->Active());
    EXPECT_FALSE(f.Label7->isVisible());
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnStop->isEnabled());
    EXPECT_FALSE(f.tmrStartButtonUpload->isActive());
    EXPECT_FALSE(SomethingListens(m_port));
}

TEST_F(WarningDialog, YesKeepsStreaming)
{
    TForm1& f = OpenForStreaming();
    TMessageRequest seen;
    Answer(mrYes, &seen);
    f.btnStart->click();
    EXPECT_EQ(seen.Caption, "Warning");
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_TRUE(f.FilterGraph1->Active());
    EXPECT_TRUE(f.Label7->isVisible());
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_TRUE(f.tmrStartButtonUpload->isActive());
    f.btnStop->click();
}

TEST_F(Streaming, StartPublishesThePageAfterTheCheck)
{
    testsupport::FtpTestServer ftp;
    testsupport::HttpTestServer echo([](int, const testsupport::HttpRecordedRequest&) {
        return testsupport::HttpScriptedReply{
            testsupport::HttpTestServer::Reply("HTTP/1.1 200 OK", "<body>Address: 198.51.100.23</body>"), true};
    });
    TForm1& f = OpenForStreaming(echo.Url("/"));
    WriteFileText(Path("page.tpl"), "<embed src=\"http://{IP}/\">\n");
    f.cbFTP->setChecked(true);
    f.edRemoteHost->setText("127.0.0.1");
    f.edUsername->setText(QString::fromStdString(ftp.user()));
    f.edPassword->setText(QString::fromStdString(ftp.password()));
    f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
    f.edLocal->setText(QString::fromStdString(Path("local.htm")));
    f.edFile->setText("live");
    f.NetFTP1->SetPort(ftp.port());
    f.tmrStartButtonUpload->setInterval(200); // the 10-second check, sooner

    f.btnStart->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_EQ(f.StatusPanel0->text(), "198.51.100.23");
    ASSERT_TRUE(WaitFor([&] { return !ftp.ReadStored("live.htm").empty(); }, 15s));
    EXPECT_EQ(ftp.ReadStored("live.htm"), "<embed src=\"http://198.51.100.23:" + std::to_string(m_port) + "/\">\n");
    EXPECT_EQ(f.LastUploadedIP, "198.51.100.23");
    EXPECT_NE(ReadFileText(Path("local.htm")).find(":" + std::to_string(m_port) + "/"), std::string::npos);
    f.btnStop->click();
}

TEST_F(Streaming, HelpPageIsLoadedAndItsLinksJump)
{
    TForm1& f = Open();
    EXPECT_FALSE(FileExists(Path("help.htm"))) << "the page this start wrote is gone";
    EXPECT_EQ(f.HTML->DocumentTitle(), "Lumora");
    f.PageControl1->setCurrentWidget(f.TabSheet4);
    QApplication::processEvents();
    const int before = f.HTML->Position();
    f.HTML->HotSpotClick("help.htm#network");
    QApplication::processEvents();
    EXPECT_GT(f.HTML->Position(), before) << "the Network link lands on its anchor";
    EXPECT_TRUE(m_errors.empty()) << "the page is followed in memory; no file is needed";
    SaveScreenshot("help-network.png");
}

TEST_F(Streaming, AutoStartStreamsBeforeTheWindowIsShownAndCloseReturnsToPreview)
{
    m_port = FreeTcpPort();
    WriteFileText(Path("lumora.ini"), "[Video]\nSource=0\nAuto=1\n[Network]\nPort=" + std::to_string(m_port) + "\n");
    TStartOptions o;
    o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
    m_form = std::make_unique<TForm1>(o);
    TForm1& f = *m_form;
    if (f.DeviceEnum->DeviceCount() != 1)
        GTEST_SKIP() << "this machine has a capture device before the test source";
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.FilterGraph1->Active()) << "streaming before the window appears";
    EXPECT_TRUE(f.btnStop->isEnabled());
    EXPECT_TRUE(SomethingListens(m_port));
    f.show();
    ASSERT_TRUE(Close());
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_FALSE(SomethingListens(m_port)) << "closing stopped the stream first";
    EXPECT_NE(SettingsText().find("Auto=1\n"), std::string::npos);
}

} // namespace
