// The FTP client against a scripted server: replies a real server will not
// give, and the exact command sequence the client sends.

#include "net/NetFTP.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using testsupport::ScriptedFtpOptions;
using testsupport::ScriptedFtpServer;
using Lines = std::vector<std::string>;

namespace {

class FtpScriptTest : public ::testing::Test {
protected:
    void Start(ScriptedFtpOptions options = {})
    {
        server = std::make_unique<ScriptedFtpServer>(std::move(options));
        ftp = std::make_unique<TNetFTP>();
        ftp->SetHost("127.0.0.1");
        ftp->SetPort(server->port());
        ftp->SetUsername("webuser");
        ftp->SetPassword("pw");
        ftp->SetTransferType(ftASCII);
        ftp->OnStatus = [this](TNetBaseComponent*, TNetStatus s, const std::string& text) {
            if (s >= ftpTransfer)
                status.push_back(text);
        };
    }
    // Ends the session and answers the commands the server saw.
    Lines Finish()
    {
        if (ftp->IsConnected())
            ftp->QuitSession();
        ftp.reset();
        server->Join();
        EXPECT_EQ(server->Errors(), Lines {});
        return server->Commands();
    }
    // The PORT line the client sent, e.g. "PORT 127,0,0,1,x,y".
    static bool IsLoopbackPort(const std::string& line) { return line.rfind("PORT 127,0,0,1,", 0) == 0; }

    std::unique_ptr<ScriptedFtpServer> server;
    std::unique_ptr<TNetFTP> ftp;
    Lines status;
};

TEST_F(FtpScriptTest, ExactCommandSequenceOfAnActiveAsciiStore)
{
    Start();
    TNetMemoryStream page("<html>{IP}</html>\r\n");
    ftp->OpenSession();
    ftp->StoreStream(page, "index.html");
    const Lines commands = Finish();
    ASSERT_EQ(commands.size(), 7u);
    EXPECT_EQ(Lines(commands.begin(), commands.begin() + 4), (Lines {"USER webuser", "PASS pw", "TYPE A", "SYST"}));
    EXPECT_TRUE(IsLoopbackPort(commands[4])) << commands[4];
    EXPECT_EQ(commands[5], "STOR index.html");
    EXPECT_EQ(commands[6], "QUIT");
    EXPECT_EQ(server->Received(), "<html>{IP}</html>\r\n");
    EXPECT_EQ(status, (Lines {"Connection established", "Starting FTP transfer", "Transfer complete"}));
}

TEST_F(FtpScriptTest, StoreCommandsByNameAndAppend)
{
    Start();
    ftp->OpenSession();
    TNetMemoryStream a("a"), b("b");
    ftp->StoreStream(a, "");
    ftp->StoreStream(b, "log.txt", true);
    const Lines commands = Finish();
    ASSERT_EQ(commands.size(), 9u);
    EXPECT_EQ(commands[5], "STOU "); // a blank and nothing after it
    EXPECT_EQ(commands[7], "APPE log.txt");
    EXPECT_EQ(server->Received(), "ab");
}

TEST_F(FtpScriptTest, Greeting421FailsAndDisconnects)
{
    ScriptedFtpOptions o;
    o.greeting = "421 Too many users, try later";
    Start(o);
    try {
        ftp->OpenSession();
        FAIL();
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 421);
        EXPECT_EQ(e.Message(), "Too many users, try later\r\n");
    }
    EXPECT_FALSE(ftp->IsConnected());
    EXPECT_EQ(Finish(), Lines {});
}

TEST_F(FtpScriptTest, LoginReplies)
{
    struct Case {
        const char* name;
        std::map<std::string, std::string> replies;
        int failCode; // 0: the session opens
        Lines commands;
        std::string system;
    };
    const std::vector<Case> cases = {
        {"USER answered 230", {{"USER", "230 Welcome, no password needed"}}, 0,
         {"USER webuser", "TYPE A", "SYST", "QUIT"}, "UNIX Type: L8"},
        {"SYST 500", {{"SYST", "500 What?"}}, 0, {"USER webuser", "PASS pw", "TYPE A", "SYST", "QUIT"}, "Unknown"},
        {"SYST 502", {{"SYST", "502 Not implemented"}}, 502, {"USER webuser", "PASS pw", "TYPE A", "SYST"}, ""},
        {"PASS 332", {{"PASS", "332 Need account"}}, 332, {"USER webuser", "PASS pw"}, ""},
        {"TYPE 504", {{"TYPE", "504 Not for that type"}}, 504, {"USER webuser", "PASS pw", "TYPE A"}, ""},
        {"multi-line 230",
         {{"PASS", "230-Welcome\r\n230-to the server\r\n230 Logged in"}}, 0,
         {"USER webuser", "PASS pw", "TYPE A", "SYST", "QUIT"}, "UNIX Type: L8"},
    };
    for (const auto& c : cases) {
        ScriptedFtpOptions o;
        o.replies = c.replies;
        Start(o);
        if (c.failCode == 0) {
            ftp->OpenSession();
            EXPECT_EQ(ftp->SystemDescription(), c.system) << c.name;
        } else {
            try {
                ftp->OpenSession();
                ADD_FAILURE() << c.name;
            } catch (const ENetProtocolReplyError& e) {
                EXPECT_EQ(e.ReplyErrorCode(), c.failCode) << c.name;
            }
            EXPECT_FALSE(ftp->IsConnected()) << c.name;
        }
        EXPECT_EQ(Finish(), c.commands) << c.name;
    }
}

TEST_F(FtpScriptTest, ProxyLoginSequences)
{
    struct Case {
        TNetFtpProxyType type;
        const char* proxyUser;
        const char* proxyPassword;
        Lines login;
    };
    const std::vector<Case> cases = {
        {fpcmNone, "pu", "pp", {"USER webuser", "PASS pw"}},
        {fpcmUserSite, "", "", {"USER webuser@127.0.0.1", "PASS pw"}},
        {fpcmUserSite, "pu", "pp", {"USER pu", "PASS pp", "USER webuser@127.0.0.1", "PASS pw"}},
        {fpcmSite, "pu", "pp", {"USER pu", "PASS pp", "SITE 127.0.0.1", "USER webuser", "PASS pw"}},
        {fpcmOpen, "", "", {"OPEN 127.0.0.1", "USER webuser", "PASS pw"}},
        {fpcmUserPass, "pu", "", {"USER webuser@pu@127.0.0.1", "PASS pw"}},
        {fpcmUserPass, "pu", "pp", {"USER webuser@pu@127.0.0.1", "PASS pw@pp"}},
        {fpcmTransparent, "pu", "pp", {"USER pu", "PASS pp", "USER webuser", "PASS pw"}},
    };
    for (const auto& c : cases) {
        Start();
        // The proxy host is left empty, so the client connects directly to
        // the scripted server and only the login differs.
        ftp->ProxySettings().ProxyType = c.type;
        ftp->ProxySettings().UserName = c.proxyUser;
        ftp->ProxySettings().Password = c.proxyPassword;
        ftp->OpenSession();
        Lines expected = c.login;
        expected.insert(expected.end(), {"TYPE A", "SYST", "QUIT"});
        EXPECT_EQ(Finish(), expected) << c.type << " " << c.proxyUser;
    }
}

TEST_F(FtpScriptTest, ProxyHostIsUsedOnlyWithAProxyType)
{
    // fpcmNone with a proxy host set still connects directly.
    Start();
    ftp->ProxySettings().Host = "127.0.0.1";
    ftp->ProxySettings().Port = 1; // nothing listens there
    ftp->OpenSession();
    EXPECT_TRUE(ftp->IsConnected());
    Finish();

    // With a proxy type the proxy's address is used, and Host/Port are put back.
    Start();
    ftp->ProxySettings().ProxyType = fpcmSite;
    ftp->ProxySettings().Host = "127.0.0.1";
    ftp->ProxySettings().Port = server->port();
    ftp->SetHost("ftp.example.invalid");
    ftp->SetPort(2121);
    ftp->OpenSession();
    EXPECT_EQ(ftp->Host(), "ftp.example.invalid");
    EXPECT_EQ(ftp->Port(), 2121);
    const Lines commands = Finish();
    ASSERT_GE(commands.size(), 1u);
    EXPECT_EQ(commands[0], "SITE ftp.example.invalid");

    Start();
    ftp->ProxySettings().ProxyType = fpcmHttpProxyWithFtp;
    try {
        ftp->OpenSession();
        FAIL();
    } catch (const ENetException& e) {
        EXPECT_EQ(e.Message(), "Command not supported.");
    }
    EXPECT_FALSE(ftp->IsConnected());
    EXPECT_EQ(Finish(), Lines {});
}

TEST_F(FtpScriptTest, FinalReply450Then226EndsAsAborted)
{
    ScriptedFtpOptions o;
    o.storFinal = {"450 File unavailable", "226 Closing data connection"};
    Start(o);
    ftp->OpenSession();
    TNetMemoryStream data("payload");
    ftp->StoreStream(data, "page.htm");
    EXPECT_EQ(ftp->LastReply().NumericCode(), 226);
    EXPECT_TRUE(ftp->IsConnected());
    Finish();
    EXPECT_EQ(status.back(), "Transfer aborted");
}

TEST_F(FtpScriptTest, FinalReplyOutsideTheListRaises)
{
    ScriptedFtpOptions o;
    o.storFinal = {"552 Quota exceeded"};
    Start(o);
    ftp->OpenSession();
    TNetMemoryStream data("payload");
    try {
        ftp->StoreStream(data, "page.htm");
        FAIL();
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 552);
    }
    EXPECT_TRUE(ftp->IsConnected());
    Finish();
}

TEST_F(FtpScriptTest, PassiveReplyWithAndWithoutParentheses)
{
    for (const char* format : {"227 Entering Passive Mode (127,0,0,1,%d,%d).", "227 Entering Passive Mode 127,0,0,1,%d,%d"}) {
        ScriptedFtpOptions o;
        o.pasvReply = format;
        Start(o);
        ftp->SetPassive(true);
        ftp->OpenSession();
        TNetMemoryStream data("passive bytes");
        data.SetPosition(8); // passive sends from the current position
        ftp->StoreStream(data, "p.txt");
        const Lines commands = Finish();
        EXPECT_EQ(server->Received(), "bytes") << format;
        ASSERT_EQ(commands.size(), 7u);
        EXPECT_EQ(commands[4], "PASV");
        EXPECT_EQ(commands[5], "STOR p.txt");
    }
}

TEST(FtpPassiveParseTest, Table)
{
    struct Case {
        const char* text;
        const char* address;
        int port;
    };
    const Case good[] = {
        {"Entering Passive Mode (10,0,0,5,195,80)", "10.0.0.5", 50000},
        {"  Entering Passive Mode (192,168,1,20,19,137).  ", "192.168.1.20", 5001},
        {"Entering Passive Mode 10,0,0,5,0,21", "10.0.0.5", 21},
        {"127,0,0,1,4,1", "127.0.0.1", 1025},
    };
    for (const auto& c : good) {
        std::string address;
        int port = 0;
        TNetFTP::ParsePassiveReply(c.text, address, port);
        EXPECT_EQ(address, c.address) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    for (const char* bad : {"Entering Passive Mode (10,0,0,5,195)", "Entering Passive Mode (a,b,c,d,e,f)",
                            "Entering Passive Mode", "Entering Passive Mode (10,0,0,5,300,1)",
                            "Entering Passive Mode )10,0,0,5,1,1(", "Entering Passive Mode =127,0,0,1,4,1", ""}) {
        std::string address;
        int port = 0;
        EXPECT_THROW(TNetFTP::ParsePassiveReply(bad, address, port), ENetConvertError) << bad;
    }
}

TEST_F(FtpScriptTest, BadPassiveNumbersRaiseAConversionError)
{
    ScriptedFtpOptions o;
    o.pasvReply = "227 Entering Passive Mode (127,0,0,x,%d,%d)";
    Start(o);
    ftp->SetPassive(true);
    ftp->OpenSession();
    TNetMemoryStream data("x");
    EXPECT_THROW(ftp->StoreStream(data, "p.txt"), ENetConvertError);
    EXPECT_TRUE(ftp->IsConnected());
    EXPECT_EQ(ftp->DataConnection(), nullptr);
    const Lines commands = Finish();
    EXPECT_EQ(commands.back(), "QUIT");
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "STOR p.txt"), 0);
}

TEST_F(FtpScriptTest, RejectedPortFailsBeforeAnyDataIsSent)
{
    ScriptedFtpOptions o;
    o.replies["PORT"] = "500 Illegal PORT command";
    Start(o);
    ftp->OpenSession();
    const int descriptors = testsupport::OpenDescriptorCount();
    TNetMemoryStream data("never sent");
    try {
        ftp->StoreStream(data, "page.htm");
        FAIL();
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 500);
    }
    EXPECT_EQ(ftp->DataConnection(), nullptr);
    EXPECT_TRUE(ftp->IsConnected());
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);
    const Lines commands = Finish();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "STOR page.htm"), 0);
    EXPECT_EQ(server->Received(), "");
}

TEST_F(FtpScriptTest, ServerThatNeverConnectsBackTimesOut)
{
    ScriptedFtpOptions o;
    o.connectBack = false;
    Start(o);
    ftp->SetDataAcceptTimeout(600);
    ftp->OpenSession();
    const int descriptors = testsupport::OpenDescriptorCount();
    TNetMemoryStream data("x");
    const auto start = std::chrono::steady_clock::now();
    try {
        ftp->StoreStream(data, "page.htm");
        FAIL();
    } catch (const ENetConnectTimeout& e) {
        EXPECT_EQ(e.Message(), "Connect timed out.");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ(ftp->DataConnection(), nullptr);
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);
    EXPECT_EQ(status.back(), "Transfer complete");
    Finish();
}

TEST_F(FtpScriptTest, ControlConnectionLostMidTransfer)
{
    ScriptedFtpOptions o;
    o.closeControlMidTransfer = true;
    Start(o);
    ftp->OpenSession();
    const int descriptors = testsupport::OpenDescriptorCount();
    TNetMemoryStream data(std::string(200000, 'd'));
    EXPECT_THROW(ftp->StoreStream(data, "page.htm"), ENetConnClosedGracefully);
    EXPECT_FALSE(ftp->IsConnected());
    EXPECT_EQ(ftp->DataConnection(), nullptr);
    // QuitSession on a lost connection sends nothing and still closes.
    int disconnects = 0;
    ftp->OnDisconnected = [&](TNetBaseComponent*) { ++disconnects; };
    ftp->QuitSession();
    EXPECT_EQ(disconnects, 1);
    EXPECT_LE(testsupport::OpenDescriptorCount(), descriptors - 1); // the control socket is gone too
    const Lines commands = Finish();
    EXPECT_NE(commands.back(), "QUIT");
}

TEST_F(FtpScriptTest, AbortFromAnotherThreadEndsAStalledPassiveTransfer)
{
    ScriptedFtpOptions o;
    o.stallData = true;
    o.storFinal = {"426 Connection closed; transfer aborted", "226 ABOR command successful"};
    Start(o);
    ftp->SetPassive(true);
    ftp->OpenSession();
    // Far more than the socket buffers hold, so the send blocks.
    TNetMemoryStream data(std::string(64 * 1024 * 1024, 's'));
    std::thread aborter([&] {
        while (!ftp->DataConnection())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ftp->AbortTransfer();
    });
    try {
        ftp->StoreStream(data, "big.bin");
    } catch (const std::exception& e) {
        ADD_FAILURE() << "StoreStream raised: " << e.what();
    }
    aborter.join(); // also after a failure, so the thread never outlives the test
    EXPECT_EQ(ftp->LastReply().NumericCode(), 226);
    EXPECT_EQ(status.back(), "Transfer aborted");
    EXPECT_EQ(ftp->DataConnection(), nullptr);
    const Lines commands = Finish();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "ABOR"), commands.end());
}

TEST_F(FtpScriptTest, TransferTypeIsSentOnlyOnChange)
{
    Start();
    ftp->OpenSession();
    ftp->SetTransferType(ftASCII); // unchanged: nothing sent
    ftp->SetTransferType(ftBinary);
    const Lines commands = Finish();
    EXPECT_EQ(commands, (Lines {"USER webuser", "PASS pw", "TYPE A", "SYST", "TYPE I", "QUIT"}));
}

} // namespace
