// Address discovery, page generation and the upload schedule, against a real
// FTP server (pyftpdlib) and a scripted echo service on loopback.
#include "tests/app/AppFixture.h"

#include "net/NetFTP.h"
#include "htmlview/HtmlView.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextFiles.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"

#include <QLabel>
#include <QRegularExpression>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <sys/stat.h>
#include <filesystem>

using testsupport::FtpTestServer;
using testsupport::HttpScriptedReply;
using testsupport::HttpTestServer;
using testsupport::ReadFileText;
using testsupport::WriteFileText;

namespace {

// An echo service whose answer the test can change.
class EchoService {
public:
    EchoService()
        : m_server([this](int, const testsupport::HttpRecordedRequest&) {
              ++m_hits;
              std::lock_guard lock(m_mutex);
              return HttpScriptedReply{m_reply, true};
          })
    {
        SetAddress("203.0.113.7");
    }
    void SetAddress(const std::string& a)
    {
        SetReply(HttpTestServer::Reply("HTTP/1.1 200 OK", "<html><body>Current IP Check\r\nAddress: " + a + "\r\n</body></html>",
                                       {"Content-Type: text/html"}));
    }
    void SetReply(std::string raw)
    {
        std::lock_guard lock(m_mutex);
        m_reply = std::move(raw);
    }
    std::string Url() const { return m_server.Url("/"); }
    int Hits() const { return m_hits; }

private:
    std::mutex m_mutex;
    std::string m_reply;
    std::atomic<int> m_hits{0};
    HttpTestServer m_server;
};

class Publishing : public AppFixture {
protected:
    TForm1& OpenWithEcho()
    {
        TStartOptions o;
        o.EchoUrl = m_echo.Url();
        return Open(o);
    }
    void FillWebsite(TForm1& f, const FtpTestServer& ftp, const std::string& password)
    {
        WriteFileText(Path("page.tpl"), "<a href=\"http://{IP}/\">watch</a>\nplain line\r\n{ip} and {Ip}\n");
        f.edRemoteHost->setText(QString::fromStdString("127.0.0.1"));
        f.edUsername->setText(QString::fromStdString(ftp.user()));
        f.edPassword->setText(QString::fromStdString(password));
        f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
        f.edLocal->setText(QString::fromStdString(Path("local.htm")));
        f.edFile->setText("cam.htm");
        f.edPort->setText("8080");
        f.edIPAddress->setText("192.168.1.5");
        f.NetFTP1->SetPort(ftp.port());
    }
    EchoService m_echo;
};

TEST_F(Publishing, PublicAddressFromTheEchoAnswer)
{
    TForm1& f = OpenWithEcho();
    struct Case {
        std::string body;
        std::string before;
        std::string expected;
    } cases[] = {
        {"<body>Address: 203.0.113.7</body>", "", "203.0.113.7"},
        {"<body>Current IP Address: 198.51.100.2 \r\n </body>", "", "198.51.100.2"},
        {"<body>no address here</body>", "10.0.0.1", "10.0.0.1"},           // unusable: kept
        {"Address: 1.2.3.256<", "10.0.0.1", "10.0.0.1"},
        // Exactly four fields with nothing but blanks after them; no
        // "Address:", no address.
        {"<body>Address: 198.51.100.3.evil.example</body>", "10.0.0.1", "10.0.0.1"},
        {"<body>Address: 198.51.100.3 evil</body>", "10.0.0.1", "10.0.0.1"},
        {"<body>Address: 198.51.100</body>", "10.0.0.1", "10.0.0.1"},
        {"<body>Address: 198.51.100.3.</body>", "10.0.0.1", "10.0.0.1"},
        {"<body>Address: +1.2.3.4</body>", "10.0.0.1", "10.0.0.1"},
        {"XXXXXXXX7.7.7.7</body>", "10.0.0.1", "10.0.0.1"},
        {"12345678 9.8.7.6<", "", ""},
    };
    for (const Case& c : cases) {
        m_echo.SetReply(HttpTestServer::Reply("HTTP/1.1 200 OK", c.body));
        f.StatusPanel0->setText(QString::fromStdString(c.before));
        f.GetOutsideIP();
        EXPECT_EQ(f.StatusPanel0->text().toStdString(), c.expected) << c.body;
        EXPECT_TRUE(f.StatusPanel1->text().isEmpty());
    }
    // An HTTP error, or an answer cut short of its length, empties the address.
    for (const std::string& reply :
         {HttpTestServer::Reply("HTTP/1.1 500 Internal Server Error", "Address: 1.2.3.4<"),
          std::string("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n<body>Address: 203.0.113.1")}) {
        SCOPED_TRACE(reply);
        m_echo.SetReply(reply);
        f.StatusPanel0->setText("10.0.0.1");
        f.GetOutsideIP();
        EXPECT_TRUE(f.StatusPanel0->text().isEmpty());
    }
    EXPECT_TRUE(m_errors.empty()) << "discovery never reports an error";
}

TEST_F(Publishing, AFailedEchoRequestSaysOnceWhyThePublicAddressIsUnknown)
{
    TForm1& f = OpenWithEcho();
    const std::string prefix = "The public address is unknown: the address echo service " + m_echo.Url() + " failed (";
    auto ask = [&] {
        f.StatusPanel1->clear();
        testing::internal::CaptureStdout();
        f.GetOutsideIP();
        return testing::internal::GetCapturedStdout();
    };
    m_echo.SetReply(HttpTestServer::Reply("HTTP/1.1 404 Not Found", "no such page"));
    const std::string printed = ask();
    const std::string line = f.StatusPanel1->text().toStdString();
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
    EXPECT_NE(line.find("404"), std::string::npos) << line;
    EXPECT_EQ(printed, line + "\n");
    // The same failure again is not said again; another one is.
    EXPECT_EQ(ask(), "");
    EXPECT_TRUE(f.StatusPanel1->text().isEmpty());
    m_echo.SetReply("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\nAddress: 203.0.113.1");
    EXPECT_EQ(ask(), "The public address is unknown: the address echo service " + m_echo.Url() +
                         " failed (The answer ended after 20 of its 40 bytes.).\n");
    // A success ends the failure: the next one is said.
    m_echo.SetAddress("203.0.113.7");
    EXPECT_EQ(ask(), "");
    EXPECT_EQ(f.StatusPanel0->text(), "203.0.113.7");
    m_echo.SetReply(HttpTestServer::Reply("HTTP/1.1 404 Not Found", "no such page"));
    EXPECT_EQ(ask(), printed);
    EXPECT_TRUE(m_errors.empty() && m_messages.empty());
}

TEST_F(Publishing, PagesFromTheTemplate)
{
    TForm1& f = Open();
    WriteFileText(Path("t.htm"), "see http://{IP}/ and {ip}\nno placeholder\r\nlast");
    f.edTemplate->setText(QString::fromStdString(Path("t.htm")));
    f.edLocal->setText(QString::fromStdString(Path("out/local.htm")));
    std::filesystem::create_directory(Path("out"));
    f.edIPAddress->setText("192.168.1.5");
    f.edPort->setText("8080");
    f.MakeLocalFile();
    EXPECT_EQ(ReadFileText(Path("out/local.htm")),
              "see http://192.168.1.5:8080/ and 192.168.1.5:8080\r\nno placeholder\r\nlast\r\n");

    f.StatusPanel0->clear();
    f.MakeWANFile();
    EXPECT_EQ(ReadFileText(f.Files.WanPageFile()), "see http://:8080/ and :8080\r\nno placeholder\r\nlast\r\n");

    // A missing template leaves an empty output file and raises the file
    // error, naming the file.
    f.edTemplate->setText(QString::fromStdString(Path("missing.htm")));
    try {
        f.MakeLocalFile();
        FAIL() << "no error for a missing template";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + Path("missing.htm") + "\". File not found");
    }
    EXPECT_EQ(ReadFileText(Path("out/local.htm")), "");
}

// Templates that never end or never open are refused with what they are, at
// once and without growing the program; a page made from the template is
// capped too.
TEST_F(Publishing, PagesCarryThePortNumberOrAreNotMade)
{
    TForm1& f = Open();
    WriteFileText(Path("t.htm"), "http://{IP}/");
    f.edTemplate->setText(QString::fromStdString(Path("t.htm")));
    f.edLocal->setText(QString::fromStdString(Path("local.htm")));
    f.edIPAddress->setText("192.168.1.5");
    f.edPort->setText("8080");
    f.MakeLocalFile();
    EXPECT_EQ(ReadFileText(Path("local.htm")), "http://192.168.1.5:8080/\r\n");
    // What the listener would not serve on is no port for a page either.
    for (const char* text : {"abc", "0x1F90", "+8080", " 8080", "0", "65536"}) {
        SCOPED_TRACE(text);
        f.edPort->setText(text);
        try {
            f.MakeLocalFile();
            ADD_FAILURE() << "a page was made: " << ReadFileText(Path("local.htm"));
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The stream cannot be served on port " + std::string(text) + ": the port is in use or not allowed.");
        }
    }
}

TEST_F(Publishing, TemplatesThatAreNotPagesAreRefused)
{
    TForm1& f = Open();
    ASSERT_EQ(::mkfifo(Path("fifo.htm").c_str(), 0600), 0);
    WriteFileText(Path("long-line.htm"), std::string(1024 * 1024 + 1, 'x') + "\n");
    f.edLocal->setText(QString::fromStdString(Path("local.htm")));
    f.edIPAddress->setText("192.168.1.5");
    f.edPort->setText("8080");
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {Path("fifo.htm"), "The template \"" + Path("fifo.htm") + "\" is not a regular file."},
        {"/dev/zero", "The template \"/dev/zero\" is not a regular file."},
        {Path("long-line.htm"), "The template \"" + Path("long-line.htm") + "\" has a line longer than 1 MB."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        f.edTemplate->setText(QString::fromStdString(c.path));
        try {
            f.MakeLocalFile();
            ADD_FAILURE() << "the template was used";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

TEST_F(Publishing, StartCheckUploadsOnceAndOnlyWhenTheAddressChanged)
{
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho();
    FillWebsite(f, ftp, ftp.password());
    f.GetOutsideIP();
    ASSERT_EQ(f.StatusPanel0->text(), "203.0.113.7");

    f.tmrStartButtonUpload->start();
    f.tmrStartButtonUploadTimer();
    EXPECT_FALSE(f.tmrStartButtonUpload->isActive()) << "one tick only";
    // ASCII type: the server stores the lines with its own line ends.
    EXPECT_EQ(ftp.ReadStored("cam.htm"),
              "<a href=\"http://203.0.113.7:8080/\">watch</a>\nplain line\n203.0.113.7:8080 and 203.0.113.7:8080\n");
    EXPECT_EQ(ReadFileText(Path("local.htm")).substr(0, 38), "<a href=\"http://192.168.1.5:8080/\">wat");
    EXPECT_EQ(f.LastUploadedIP, "203.0.113.7");
    EXPECT_FALSE(FileExists(f.Files.WanPageFile())) << "the WAN page file is deleted after the upload";
    EXPECT_TRUE(f.tmrMessage->isActive());
    // The message panel says what happened: the file, the server, the time.
    EXPECT_TRUE(QRegularExpression("^Uploaded cam\\.htm to 127\\.0\\.0\\.1 at \\d\\d:\\d\\d over plain FTP$")
                    .match(f.StatusPanel1->text())
                    .hasMatch())
        << f.StatusPanel1->text().toStdString();
    f.tmrMessageTimer();
    EXPECT_TRUE(f.StatusPanel1->text().isEmpty());
    EXPECT_FALSE(f.tmrMessage->isActive());

    // Same address: neither the start check nor the 15-minute tick uploads.
    std::filesystem::remove(ftp.home() / "cam.htm");
    f.tmrStartButtonUploadTimer();
    f.tmrMainTimer();
    EXPECT_FALSE(std::filesystem::exists(ftp.home() / "cam.htm"));

    // A new public address: the 15-minute tick learns it and uploads.
    m_echo.SetAddress("198.51.100.9");
    f.tmrMainTimer();
    EXPECT_EQ(f.LastUploadedIP, "198.51.100.9");
    EXPECT_NE(ftp.ReadStored("cam.htm").find("198.51.100.9:8080"), std::string::npos);
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

TEST_F(Publishing, FailedLoginEmptiesTheLastAddressSoTheNextCheckRetries)
{
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho();
    FillWebsite(f, ftp, "wrong");
    f.LastUploadedIP = "203.0.113.7";
    f.StatusPanel0->setText("198.51.100.1");
    f.UpLoadFile();
    EXPECT_EQ(f.LastUploadedIP, "");
    EXPECT_FALSE(f.NetFTP1->IsConnected());
    EXPECT_TRUE(m_errors.empty()) << "upload failures are silent";
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(f.tmrMessage->isActive());

    // The same address again: with the right password the next tick uploads.
    f.edPassword->setText(QString::fromStdString(ftp.password()));
    m_echo.SetAddress("198.51.100.1");
    f.tmrMainTimer();
    EXPECT_EQ(f.LastUploadedIP, "198.51.100.1");
    EXPECT_FALSE(ftp.ReadStored("cam.htm").empty());
}

TEST_F(Publishing, AnUploadOutOfSessionTimeStillRemovesItsTemporaryFile)
{
    // A server that stops reading a page larger than the socket buffers
    // hold: the session's time runs out in the middle of the store, and the
    // clean-up session that follows has a budget of its own.
    testsupport::ScriptedFtpOptions options;
    options.stopReadingAfter = 64 * 1024;
    options.connections = 2;
    testsupport::ScriptedFtpServer ftp(options);
    TForm1& f = Open();
    std::string big;
    for (int i = 0; i < 12; ++i)
        big += std::string(1000000, static_cast<char>('a' + i)) + "{IP}\n";
    WriteFileText(Path("page.tpl"), big);
    f.edRemoteHost->setText("127.0.0.1");
    f.edUsername->setText("user");
    f.edPassword->setText("secret");
    f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
    f.edFile->setText("cam.htm");
    f.edPort->setText("8080");
    f.NetFTP1->SetPort(ftp.port());
    f.RequestLimits.FtpSession = 2000;
    f.StatusPanel0->setText("203.0.113.7");
    f.MakeWANFile();
    f.UpLoadFile();
    ftp.Join();
    EXPECT_EQ(f.LastUploadedIP, "");
    const auto commands = ftp.Commands();
    const auto stor = std::find_if(commands.begin(), commands.end(),
                                   [](const std::string& c) { return c.rfind("STOR ", 0) == 0; });
    ASSERT_NE(stor, commands.end());
    const std::string temporary = stor->substr(5);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "DELE " + temporary), commands.end())
        << "the clean-up session never deleted " << temporary;
    EXPECT_EQ(ftp.Files().count(temporary), 0u);
    EXPECT_TRUE(m_errors.empty());
}

TEST_F(Publishing, UploadButtonAlwaysUploads)
{
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho();
    FillWebsite(f, ftp, ftp.password());
    f.LastUploadedIP = "203.0.113.7"; // the address the echo gives: unchanged
    f.btnUploadClick();
    EXPECT_EQ(f.StatusPanel0->text(), "203.0.113.7");
    EXPECT_FALSE(f.edIPAddress->text().isEmpty());
    EXPECT_TRUE(f.tmrManualUpload->isActive());
    f.tmrManualUploadTimer();
    EXPECT_FALSE(f.tmrManualUpload->isActive());
    EXPECT_NE(ftp.ReadStored("cam.htm").find("203.0.113.7:8080"), std::string::npos);
}

TEST_F(Publishing, NoUsableAddressOrTemplateDoesNothing)
{
    FtpTestServer ftp;
    TForm1& f = OpenWithEcho();
    FillWebsite(f, ftp, ftp.password());
    f.StatusPanel0->clear();
    f.UpLoadFile();
    EXPECT_FALSE(f.tmrMessage->isActive()) << "no message, no timer";
    f.StatusPanel0->setText("203.0.113.7");
    f.edTemplate->setText(QString::fromStdString(Path("gone.tpl")));
    f.tmrStartButtonUploadTimer();
    EXPECT_FALSE(std::filesystem::exists(ftp.home() / "cam.htm"));
    EXPECT_TRUE(m_errors.empty());
}

TEST_F(Publishing, WebsitePageFieldsAndNavigation)
{
    TForm1& f = Open();
    WriteFileText(Path("t.htm"), "x");
    // The Upload button needs all five, the template file existing.
    f.edFile->setText("cam.htm");
    f.edRemoteHost->setText("ftp.example.org");
    f.edUsername->setText("u");
    f.edTemplate->setText(QString::fromStdString(Path("t.htm")));
    EXPECT_FALSE(f.btnUpload->isEnabled());
    f.edPassword->setText("p");
    EXPECT_TRUE(f.btnUpload->isEnabled());
    f.edTemplate->setText(QString::fromStdString(Path("missing.htm")));
    EXPECT_FALSE(f.btnUpload->isEnabled());

    // Browse for the template starts at the chosen file, else at the program's
    // folder; cancelling changes nothing.
    TFileDialogRequest seen;
    SetFileDialogHandler([&](const TFileDialogRequest& r) -> std::optional<std::string> {
        seen = r;
        return std::nullopt;
    });
    f.edTemplate->setText(QString::fromStdString(Path("t.htm")));
    f.btnBrowseClick();
    EXPECT_FALSE(seen.Save);
    EXPECT_EQ(seen.InitialDir, m_dir.path().string());
    EXPECT_EQ(seen.FileName, Path("t.htm"));
    EXPECT_EQ(seen.Filter, "HTML Files (*.htm;*html)|*.htm;*.html|All Files (*.*)|*.*");
    f.edTemplate->setText("/nowhere/x.htm");
    f.btnBrowseClick();
    EXPECT_EQ(seen.InitialDir, m_dir.path().string()) << "the program's folder";
    EXPECT_EQ(f.edTemplate->text(), "/nowhere/x.htm");

    // Choosing a local page fills an empty remote name with its file name.
    SetFileDialogHandler([&](const TFileDialogRequest& r) -> std::optional<std::string> {
        EXPECT_TRUE(r.Save);
        return Path("cam2.htm");
    });
    f.edFile->clear();
    f.Button1Click();
    SetFileDialogHandler(nullptr);
    EXPECT_EQ(f.edLocal->text().toStdString(), Path("cam2.htm"));
    EXPECT_EQ(f.edFile->text(), "cam2.htm");

    // Tree positions map to pages; no selection shows the Video page.
    QWidget* pages[] = {f.TabSheet1, f.TabSheet2, f.TabSheet3, f.TabSheet4};
    for (int i = 0; i < 4; ++i) {
        f.TreeView1->setCurrentItem(f.TreeView1->topLevelItem(i));
        f.TreeView1Click();
        EXPECT_EQ(f.PageControl1->currentWidget(), pages[i]) << i;
    }
    f.TreeView1->setCurrentItem(nullptr);
    f.TreeView1Click();
    EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet1);

    // The link label shows the manual in the help viewer.
    f.Label16Click();
    EXPECT_EQ(f.HTML->CurrentFile(), TForm1::ManualFile());
    EXPECT_EQ(f.HTML->DocumentTitle(), "Lumora manual");
}

} // namespace
