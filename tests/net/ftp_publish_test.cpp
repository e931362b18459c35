// Publishing against scripted FTP servers: the passive fallback when active
// mode cannot work (PORT refused, no connection back, PASV refused, a private
// PASV address), and the safe replace of the live page (a transfer cut off
// half-way, servers that refuse renaming). The server records every command
// and holds its files in memory.

#include "net/NetFTPPublish.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::ScriptedFtpOptions;
using testsupport::ScriptedFtpServer;
using testsupport::TempDir;

namespace {

std::string Bytes(size_t size, int seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + i / 1000 + static_cast<size_t>(seed)) & 0xFF);
    return s;
}

std::vector<std::string> Verbs(const std::vector<std::string>& commands)
{
    std::vector<std::string> verbs;
    for (const auto& c : commands)
        verbs.push_back(c.substr(0, c.find(' ')));
    return verbs;
}

int CountOf(const std::vector<std::string>& verbs, const std::string& verb)
{
    return static_cast<int>(std::count(verbs.begin(), verbs.end(), verb));
}

class FtpPublishTest : public ::testing::Test {
protected:
    void Start(ScriptedFtpOptions options)
    {
        server = std::make_unique<ScriptedFtpServer>(std::move(options));
        ftp.SetHost("127.0.0.1");
        ftp.SetPort(server->port());
        ftp.SetUsername("user");
        ftp.SetPassword("secret");
        ftp.SetTransferType(ftBinary);
        ftp.SetReadTimeout(15000);
        ftp.SetPassiveFallback(true);
        ftp.SetDataAcceptTimeout(5000);
    }
    std::string Local(const std::string& bytes)
    {
        const std::string path = dir.file("page-" + std::to_string(++files) + ".htm");
        testsupport::WriteFileText(path, bytes);
        return path;
    }
    void Quit()
    {
        if (ftp.IsConnected())
            ftp.QuitSession();
        server->Join();
        EXPECT_TRUE(server->Errors().empty()) << server->Errors().front();
    }

    TempDir dir;
    std::unique_ptr<ScriptedFtpServer> server;
    TNetFTP ftp;
    int files = 0;
};

TEST_F(FtpPublishTest, RefusedPortFallsBackToPassiveAndRemembersIt)
{
    ScriptedFtpOptions options;
    options.replies["PORT"] = "500 PORT disabled here";
    Start(options);
    const std::string first = Bytes(100000, 1), second = Bytes(5000, 2);
    ftp.OpenSession();
    ftp.StoreFile(Local(first), "one.htm");
    EXPECT_TRUE(ftp.LastTransferPassive());
    ftp.StoreFile(Local(second), "two.htm");
    Quit();
    EXPECT_EQ(server->Files()["one.htm"], first);
    EXPECT_EQ(server->Files()["two.htm"], second);
    const auto verbs = Verbs(server->Commands());
    EXPECT_EQ(CountOf(verbs, "PORT"), 1) << "the second store tried active mode again";
    EXPECT_EQ(CountOf(verbs, "PASV"), 2);
}

TEST_F(FtpPublishTest, ServerThatNeverConnectsBackIsRetriedInPassive)
{
    ScriptedFtpOptions options;
    options.connectBack = false;
    options.connections = 2; // the retry runs on a fresh session
    Start(options);
    const std::string page = Bytes(200000, 3);
    ftp.OpenSession();
    const TNetFTPPublishResult result = PublishFile(ftp, Local(page), "index.htm");
    Quit();
    EXPECT_TRUE(result.Passive);
    EXPECT_EQ(server->Files(), (std::map<std::string, std::string> {{"index.htm", page}}));
    const auto verbs = Verbs(server->Commands());
    EXPECT_EQ(CountOf(verbs, "PORT"), 1);
    EXPECT_EQ(CountOf(verbs, "USER"), 2);
    EXPECT_EQ(CountOf(verbs, "PASV"), 1);
}

TEST_F(FtpPublishTest, PassiveDataAddressFallbacks)
{
    const struct {
        const char* name;
        std::string pasvReply;
        std::string pasvRefusal;
        const char* dataVerb;
    } cases[] = {
        // A private address other than the control connection's is reached
        // at the control connection's address (nothing listens on 127.0.0.2).
        {"private PASV address", "227 Entering Passive Mode (127,0,0,2,%d,%d).", "", "PASV"},
        {"PASV refused", "", "502 Use EPSV", "EPSV"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedFtpOptions options;
        if (!c.pasvReply.empty())
            options.pasvReply = c.pasvReply;
        options.pasvRefusal = c.pasvRefusal;
        Start(options);
        ftp.SetPassive(true);
        const std::string page = Bytes(40000, 4);
        ftp.OpenSession();
        ftp.StoreFile(Local(page), "index.htm");
        Quit();
        EXPECT_EQ(server->Files()["index.htm"], page);
        EXPECT_EQ(CountOf(Verbs(server->Commands()), c.dataVerb), 1);
    }
}

TEST_F(FtpPublishTest, TransferCutOffHalfWayKeepsTheLivePage)
{
    const std::string live = Bytes(3000, 5);
    ScriptedFtpOptions options;
    options.files["www/index.htm"] = live;
    options.dropDataAfter = 1 << 20;
    options.connections = 2; // the temporary file is deleted on a fresh session
    Start(options);
    ftp.OpenSession();
    EXPECT_THROW(PublishFile(ftp, Local(Bytes(16 << 20, 6)), "www/index.htm"), ENetException);
    Quit();
    // Byte for byte the previous page, and no temporary file left behind.
    EXPECT_EQ(server->Files(), (std::map<std::string, std::string> {{"www/index.htm", live}}));
    const auto commands = server->Commands();
    const auto stor = std::find_if(commands.begin(), commands.end(),
                                   [](const std::string& c) { return c.rfind("STOR ", 0) == 0; });
    ASSERT_NE(stor, commands.end());
    const std::string temporary = stor->substr(5);
    EXPECT_EQ(temporary.rfind("www/index.htm.", 0), 0u) << "not in the same folder: " << temporary;
    EXPECT_NE(std::find(commands.begin(), commands.end(), "DELE " + temporary), commands.end());
    EXPECT_EQ(std::find(commands.begin(), commands.end(), "STOR www/index.htm"), commands.end())
        << "the live page was stored over directly";
}

TEST_F(FtpPublishTest, ServersThatRefuseRenamingStillGetThePage)
{
    const struct {
        const char* name;
        bool refuseOverExisting;
        bool refuseRename;
        TNetFTPReplaceMethod method;
        std::vector<std::string> tail; // the verbs after the temporary store
    } cases[] = {
        // Each ends asking the page's time (MDTM) for the clean-up of stale
        // temporary files, which this server cannot answer.
        {"rename over the page", false, false, TNetFTPReplaceMethod::Renamed, {"RNFR", "RNTO", "MDTM"}},
        // The old page moves aside before the new one takes its name, and
        // is deleted only then.
        {"rename onto a free name only", true, false, TNetFTPReplaceMethod::DeletedAndRenamed,
         {"RNFR", "RNTO", "RNFR", "RNTO", "RNFR", "RNTO", "DELE", "MDTM"}},
        // Stored over the live page: it is never deleted first.
        {"no renaming", false, true, TNetFTPReplaceMethod::StoredDirectly,
         {"RNFR", "PORT", "STOR", "DELE", "MDTM"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedFtpOptions options;
        options.files["index.htm"] = "old page";
        options.refuseRenameOverExisting = c.refuseOverExisting;
        options.refuseRename = c.refuseRename;
        Start(options);
        const std::string page = Bytes(10000, 7);
        ftp.OpenSession();
        const TNetFTPPublishResult result = PublishFile(ftp, Local(page), "index.htm");
        Quit();
        EXPECT_EQ(result.Method, c.method);
        EXPECT_EQ(server->Files(), (std::map<std::string, std::string> {{"index.htm", page}}));
        auto verbs = Verbs(server->Commands());
        const auto firstStor = std::find(verbs.begin(), verbs.end(), "STOR");
        ASSERT_NE(firstStor, verbs.end());
        std::vector<std::string> tail(firstStor + 1, verbs.end());
        if (!tail.empty() && tail.back() == "QUIT")
            tail.pop_back();
        EXPECT_EQ(tail, c.tail);
    }
}

TEST_F(FtpPublishTest, RefusedDirectStoreKeepsTheLivePageAndRemovesTheTemporaryFile)
{
    // A server without renaming whose quota refuses the page on its final
    // name: the site keeps the old page, and nothing else is left behind.
    ScriptedFtpOptions options;
    options.files["index.htm"] = "old page";
    options.refuseRename = true;
    options.refuseStore = {"index.htm"};
    Start(options);
    ftp.OpenSession();
    try {
        PublishFile(ftp, Local(Bytes(10000, 8)), "index.htm");
        ADD_FAILURE() << "the refused store was not reported";
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 552);
    }
    Quit();
    EXPECT_EQ(server->Files(), (std::map<std::string, std::string> {{"index.htm", "old page"}}));
    const auto verbs = Verbs(server->Commands());
    EXPECT_EQ(CountOf(verbs, "DELE"), 1) << "only the temporary file is deleted";
}

TEST(FtpReplyParsingTest, ExtendedPassiveAndPrivateAddresses)
{
    EXPECT_EQ(TNetFTP::ParseExtendedPassiveReply("Entering Extended Passive Mode (|||6446|)"), 6446);
    EXPECT_EQ(TNetFTP::ParseExtendedPassiveReply("ok (!!!21!)"), 21);
    for (const char* bad : {"Entering Extended Passive Mode", "(|||0|)", "(|||65536|)", "(||1|2|)", "(|||x|)", "()"})
        EXPECT_THROW(TNetFTP::ParseExtendedPassiveReply(bad), ENetConvertError) << bad;

    for (const char* address : {"10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.20", "127.0.0.2",
                                "169.254.1.1", "100.64.0.1", "0.0.0.0"})
        EXPECT_TRUE(TNetFTP::IsPrivateAddress(address)) << address;
    for (const char* address : {"203.0.113.7", "172.32.0.1", "172.15.0.1", "192.169.0.1", "100.128.0.1", "8.8.8.8",
                                "not an address"})
        EXPECT_FALSE(TNetFTP::IsPrivateAddress(address)) << address;
}

} // namespace
