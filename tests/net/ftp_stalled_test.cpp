// Servers that stop mid-session: one that stops reading the page (scripted,
// in active and passive mode, and vsftpd over TLS frozen with SIGSTOP), one
// that stops answering, and one that ends the transfer with a reason. Each
// upload ends within the reply limit with a message that names the server
// and the step, or with the server's own reason.

#include "net/NetFTPPublish.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TlsTestPeers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/types.h>

using testsupport::ScriptedFtpOptions;
using testsupport::ScriptedFtpServer;
using testsupport::TempDir;

namespace {

constexpr int kReplyLimitMs = 1000;

std::string Page(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return s;
}

void Login(TNetFTP& ftp, int port, const std::string& user, const std::string& password)
{
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(port);
    ftp.SetUsername(user);
    ftp.SetPassword(password);
    ftp.SetTransferType(ftBinary);
    ftp.SetReadTimeout(kReplyLimitMs);
}

// The message of the exception `run` raises, or "" when it raises none.
template <class Fn>
std::string MessageOf(Fn run)
{
    try {
        run();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

TEST(FtpStalledServer, StoppingToReadTheDataEndsTheUploadNamingTheServer)
{
    TempDir dir;
    const std::string local = dir.file("page.htm");
    // Far more than the socket buffers of both ends hold.
    testsupport::WriteFileText(local, Page(16 << 20));
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        ScriptedFtpOptions options;
        options.stopReadingAfter = 64 * 1024;
        ScriptedFtpServer server(options);
        TNetFTP ftp;
        Login(ftp, server.port(), "user", "secret");
        ftp.SetPassive(passive);
        ftp.OpenSession();
        EXPECT_EQ(MessageOf([&] { ftp.StoreFile(local, "index.htm"); }),
                  "No answer from the FTP server 127.0.0.1 after STOR within 1 seconds.");
        ftp.CloseConnection();
        server.Join();
    }
}

TEST(FtpStalledServer, SilenceAfterACommandNamesTheCommand)
{
    const struct {
        const char* step;
        std::map<std::string, std::string> replies; // "" = never answered
    } cases[] = {
        {"connecting", {}},
        {"PASS", {{"PASS", ""}}},
        {"TYPE", {{"TYPE", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        const std::string step = c.step;
        const auto replies = c.replies;
        testsupport::ScriptedServer server([&](testsupport::ScriptedPeer& p) {
            if (step != "connecting") {
                p.Send("220 ready\r\n");
                for (;;) {
                    const std::string line = p.ReadLine(10000);
                    if (line.empty())
                        break;
                    const std::string verb = line.substr(0, line.find_first_of(" \r"));
                    const auto reply = replies.find(verb);
                    if (reply != replies.end())
                        break;
                    p.Send(verb == "USER" ? "331 password\r\n" : verb == "PASS" ? "230 in\r\n" : "200 ok\r\n");
                }
            }
            p.ReadUntilClose(10000);
        });
        TNetFTP ftp;
        Login(ftp, server.port(), "user", "secret");
        EXPECT_EQ(MessageOf([&] { ftp.OpenSession(); }),
                  "No answer from the FTP server 127.0.0.1 after " + step + " within 1 seconds.");
        EXPECT_FALSE(ftp.IsConnected());
        server.Join();
    }
}

TEST(FtpStalledServer, ServerThatEndsTheTransferIsQuoted)
{
    TempDir dir;
    const std::string local = dir.file("page.htm");
    testsupport::WriteFileText(local, Page(8 << 20));
    ScriptedFtpOptions options;
    options.dropDataAfter = 256 * 1024;
    options.dropReply = "451 Failure writing to local file.";
    ScriptedFtpServer server(options);
    TNetFTP ftp;
    Login(ftp, server.port(), "user", "secret");
    ftp.SetReadTimeout(15000);
    ftp.OpenSession();
    EXPECT_EQ(MessageOf([&] { ftp.StoreFile(local, "index.htm"); }),
              "The FTP server 127.0.0.1 ended the transfer: 451 Failure writing to local file.");
    ftp.QuitSession();
    server.Join();
}

// Every process below `root` (vsftpd runs each session in processes of its
// own), children first found by their parent's number.
std::vector<pid_t> Descendants(pid_t root)
{
    std::vector<pid_t> found {root};
    for (size_t i = 0; i < found.size(); ++i) {
        DIR* proc = ::opendir("/proc");
        while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
            const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0)
                continue;
            std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
            std::string line;
            std::getline(stat, line);
            const size_t close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(line.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            rest >> state >> parent;
            if (parent == found[i])
                found.push_back(pid);
        }
        if (proc)
            ::closedir(proc);
    }
    return found;
}

TEST(FtpStalledServer, FrozenVsftpdOverTlsEndsTheUploadNamingTheServer)
{
    if (!testsupport::VsftpdTestServer::Available())
        GTEST_SKIP() << "vsftpd must start as root";
    TempDir dir;
    const auto certificate = testsupport::MakeTestCertificate(dir, "IP:127.0.0.1");
    const std::string local = dir.file("page.htm");
    testsupport::WriteFileText(local, Page(16 << 20));
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        // A server of its own each time: the frozen one is left in disorder.
        testsupport::VsftpdTestServer server(certificate);
        TNetFTP ftp;
        Login(ftp, server.port(), "anonymous", "publisher@example.org");
        ftp.SetSecurity(fsTLS);
        ftp.SetTrustedFingerprint(certificate.fingerprint);
        ftp.SetPassive(passive);
        ftp.OpenSession();
        ASSERT_TRUE(ftp.TLSActive());
        // Once the page flows, the whole server stops (as a hung machine
        // would); it goes on after the test.
        std::vector<pid_t> frozen;
        ftp.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) {
            if (frozen.empty() && count >= 256 * 1024) {
                frozen = Descendants(server.pid());
                for (pid_t pid : frozen)
                    ::kill(pid, SIGSTOP);
            }
        };
        const std::string message = MessageOf([&] { ftp.StoreFile(local, "www/index.htm"); });
        for (pid_t pid : frozen)
            ::kill(pid, SIGCONT);
        EXPECT_FALSE(frozen.empty()) << "the page never flowed";
        EXPECT_EQ(message, "No answer from the FTP server 127.0.0.1 after STOR within 1 seconds.");
        ftp.CloseConnection();
    }
}

} // namespace
