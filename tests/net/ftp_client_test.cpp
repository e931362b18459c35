// The FTP client against a real pyftpdlib server on loopback: the main
// window's publishing session and the other store commands; what arrives on
// the server's disk is checked byte for byte.

#include "net/NetFTP.h"
#include "net/NetFTPPublish.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <unistd.h>

using testsupport::FtpTestServer;
using testsupport::TempDir;

namespace {

class FtpPyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = std::make_unique<FtpTestServer>();
        ftp.SetHost("127.0.0.1");
        ftp.SetPort(server->port());
        ftp.SetUsername(server->user());
        ftp.SetPassword(server->password());
    }
    std::string Local(const std::string& name, const std::string& bytes)
    {
        const std::string path = local.file(name);
        testsupport::WriteFileText(path, bytes);
        return path;
    }

    std::unique_ptr<FtpTestServer> server;
    TempDir local;
    TNetFTP ftp;
};

std::string AllBytes(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return s;
}

TEST_F(FtpPyTest, MainWindowPublishingSession)
{
    const std::string page = "<html>\n<body>Watch: http://203.0.113.7:8080/</body>\n</html>\n";
    const std::string file = Local("page.tmp", page);
    std::vector<std::string> status;
    ftp.OnStatus = [&](TNetBaseComponent*, TNetStatus s, const std::string& text) {
        if (s >= ftpTransfer || s == hsConnected || s == hsDisconnected)
            status.push_back(text);
    };
    const int descriptors = testsupport::OpenDescriptorCount();

    ftp.SetTransferType(ftASCII);
    ftp.OpenSession(true, -1);
    EXPECT_EQ(ftp.GreetingReply().NumericCode(), 220);
    EXPECT_EQ(ftp.LoginReply().NumericCode(), 230);
    EXPECT_EQ(ftp.SystemDescription(), "UNIX Type: L8");
    ftp.StoreFile(file, "index.html", false);
    EXPECT_EQ(ftp.LastReply().NumericCode(), 226);
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    ASSERT_TRUE(ftp.IsConnected());
    ftp.QuitSession();
    EXPECT_FALSE(ftp.IsConnected());

    EXPECT_EQ(server->ReadStored("index.html"), page);
    const std::vector<std::string> expected = {"Connected.", "Connection established", "Starting FTP transfer",
                                               "Transfer complete", "Disconnected."};
    EXPECT_EQ(status, expected);
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);

    // A new session on the same component, as on every publication.
    ftp.OpenSession();
    ftp.StoreFile(Local("second.tmp", "v2\n"), "index.html");
    ftp.QuitSession();
    EXPECT_EQ(server->ReadStored("index.html"), "v2\n");
}

TEST_F(FtpPyTest, BinaryStoreKeepsEveryByteInBothModes)
{
    const std::string data = AllBytes(3 * 1024 * 1024 + 17);
    const std::string file = Local("blob.bin", data);
    for (bool passive : {false, true}) {
        ftp.SetPassive(passive);
        ftp.OpenSession();
        std::vector<int64_t> progress;
        TNetBaseComponent* sender = nullptr;
        int64_t announced = -1;
        ftp.OnWorkBegin = [&](TNetBaseComponent* s, TWorkMode, int64_t total) {
            sender = s;
            announced = total;
        };
        ftp.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) { progress.push_back(count); };
        const std::string name = passive ? "passive.bin" : "active.bin";
        ftp.StoreFile(file, name);
        ftp.QuitSession();
        EXPECT_EQ(server->ReadStored(name), data) << name;
        // Progress reaches the FTP client's handlers, sent by the data channel.
        EXPECT_NE(sender, nullptr);
        EXPECT_NE(sender, &ftp);
        EXPECT_EQ(announced, static_cast<int64_t>(data.size()));
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), static_cast<int64_t>(data.size()));
        ftp.OnWorkBegin = nullptr;
        ftp.OnWork = nullptr;
    }
}

TEST_F(FtpPyTest, ASuccessfulPublishRemovesOnlyStaleTemporaryFilesOfItsPage)
{
    namespace fs = std::filesystem;
    for (const bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        const fs::path www = server->home() / "www";
        fs::remove_all(www);
        fs::create_directories(www);
        // Left by interrupted uploads an hour ago, by one running now, and
        // names that only look alike.
        const std::vector<std::string> stale {"cam.htm.4242-1.part", "cam.htm.77-12.part"};
        const std::vector<std::string> kept {"cam.htm.4243-1.part", "cam.htm.x-1.part", "other.htm.4242-1.part",
                                             "cam.htm.4242-1.part.bak", "xcam.htm.4242-1.part"};
        for (const auto& name : stale) {
            testsupport::WriteFileText((www / name).string(), "half a page");
            fs::last_write_time(www / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
        }
        for (const auto& name : kept) {
            testsupport::WriteFileText((www / name).string(), "someone else's");
            if (name != "cam.htm.4243-1.part")
                fs::last_write_time(www / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
        }
        ftp.SetPassive(passive);
        ftp.SetReadTimeout(15000);
        ftp.OpenSession(true, 15000);
        const TNetFTPPublishResult result = PublishFile(ftp, Local("page.tmp", "new page"), "www/cam.htm");
        ftp.QuitSession();
        EXPECT_EQ(result.StaleRemoved, 2);
        EXPECT_EQ(server->ReadStored("www/cam.htm"), "new page");
        for (const auto& name : stale)
            EXPECT_FALSE(fs::exists(www / name)) << name;
        for (const auto& name : kept)
            EXPECT_TRUE(fs::exists(www / name)) << name;
    }
}

TEST_F(FtpPyTest, AppendAndUniqueStore)
{
    ftp.SetPassive(true);
    ftp.OpenSession();
    ftp.StoreFile(Local("a", "first-"), "log.txt");
    ftp.StoreFile(Local("b", "second"), "log.txt", true);
    ftp.StoreFile(Local("c", "unique bytes"), "");
    ftp.QuitSession();
    EXPECT_EQ(server->ReadStored("log.txt"), "first-second");
    int others = 0;
    for (const auto& entry : std::filesystem::directory_iterator(server->home())) {
        if (entry.path().filename() != "log.txt") {
            ++others;
            EXPECT_EQ(testsupport::ReadFileText(entry.path().string()), "unique bytes");
        }
    }
    EXPECT_EQ(others, 1);
}

TEST_F(FtpPyTest, WrongPasswordLeavesTheClientDisconnected)
{
    ftp.SetPassword("wrong");
    const int descriptors = testsupport::OpenDescriptorCount();
    try {
        ftp.OpenSession();
        FAIL() << "logged in with a wrong password";
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 530);
        EXPECT_NE(e.Message().find("Authentication failed"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);
}

TEST_F(FtpPyTest, MissingLocalFileFailsBeforeAnythingIsSent)
{
    ftp.OpenSession();
    EXPECT_THROW(ftp.StoreFile(local.file("no-such-file"), "x.html"), EFOpenError);
    EXPECT_TRUE(ftp.IsConnected());
    EXPECT_EQ(ftp.DataConnection(), nullptr);
    // The session goes on normally.
    ftp.StoreFile(Local("ok", "fine"), "x.html");
    ftp.QuitSession();
    EXPECT_EQ(server->ReadStored("x.html"), "fine");
}

TEST_F(FtpPyTest, TransferTypeSetterSendsTypeWhenConnected)
{
    ftp.SetTransferType(ftASCII);
    ftp.OpenSession();
    ftp.SetTransferType(ftBinary); // TYPE I now
    EXPECT_EQ(ftp.LastReply().NumericCode(), 200);
    const std::string data = "line1\r\nline2\r\n";
    ftp.StoreFile(Local("crlf", data), "crlf.txt");
    ftp.QuitSession();
    // In binary type the server keeps the CR LF pairs.
    EXPECT_EQ(server->ReadStored("crlf.txt"), data);
}

TEST_F(FtpPyTest, ConnectToNothingRaisesAndStaysDisconnected)
{
    int port = 0;
    const int fd = testsupport::ListenLoopback(port);
    ::close(fd);
    ftp.SetPort(port);
    try {
        ftp.OpenSession();
        FAIL();
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.LastError(), WSAECONNREFUSED);
    }
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_EQ(ftp.Port(), port);
}

} // namespace
