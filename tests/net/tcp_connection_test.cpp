// The TCP client connection against loopback peers: line reading, replies,
// peer closes and resets, time-outs, streams and write buffering.

#include "net/NetTCPConnection.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using testsupport::ScriptedPeer;
using testsupport::ScriptedServer;

namespace {

// A client connected to a scripted peer.
class TcpTest : public ::testing::Test {
protected:
    void Connect(ScriptedServer::Handler handler, int connections = 1)
    {
        server = std::make_unique<ScriptedServer>(std::move(handler), connections);
        client = std::make_unique<TNetTCPClient>();
        client->SetHost("127.0.0.1");
        client->SetPort(server->port());
        client->OnDisconnected = [this](TNetBaseComponent*) { ++disconnects; };
        client->ConnectToHost();
    }
    void TearDown() override
    {
        client.reset();
        if (server) {
            server->Join();
            EXPECT_TRUE(server->Errors().empty());
        }
    }

    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<TNetTCPClient> client;
    int disconnects = 0;
};

TEST_F(TcpTest, ReadLineTerminators)
{
    struct Case {
        std::string bytes;
        std::string terminator;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"abc\r\n", "\n", "abc"},
        {"abc\n", "\n", "abc"},
        {"abc\r\r\n", "\n", "abc\r"},
        {"\n", "\n", ""},
        {"a;b|rest|", "|", "a;b"},
        {"x\r\n", "\r\n", "x"},
    };
    std::string all;
    for (const auto& c : cases)
        all += c.bytes;
    Connect([all](ScriptedPeer& peer) {
        peer.Send(all);
        peer.ReadLine();
    });
    for (const auto& c : cases) {
        const std::string expected = c.line;
        EXPECT_EQ(client->ReadLine(c.terminator), expected);
        if (c.terminator == "|") {
            EXPECT_EQ(client->ReadLine("|"), "rest");
        }
    }
    client->WriteLine("done");
}

TEST_F(TcpTest, TerminatorSplitAcrossTwoReceivesIsFound)
{
    Connect([](ScriptedPeer& peer) {
        peer.Send("head\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.Send("\ntail\r\n");
        peer.ReadLine();
    });
    EXPECT_EQ(client->ReadLine("\r\n"), "head");
    EXPECT_EQ(client->ReadLine("\r\n"), "tail");
    client->WriteLine("done");
}

TEST_F(TcpTest, MaxLineLength)
{
    const std::string exact(16384, 'a');
    const std::string over(16385, 'b');
    Connect([&](ScriptedPeer& peer) {
        peer.Send(exact + "\n" + over + "\n" + over + "\n");
        peer.ReadLine();
    });
    EXPECT_EQ(client->ReadLine(), exact);

    // Too long: raised, and the line stays in the buffer.
    EXPECT_THROW(client->ReadLine(), ENetReadLnMaxLineLengthExceeded);
    ASSERT_GT(client->PendingInput().Size(), 16384);
    EXPECT_EQ(std::string(client->PendingInput().Memory(), 16385), over);

    // Split: the first 16384 bytes, then the rest as the next line.
    client->SetMaxLineAction(maSplit);
    EXPECT_EQ(client->ReadLine(), over.substr(0, 16384));
    EXPECT_TRUE(client->ReadLnSplit());
    EXPECT_EQ(client->ReadLine(), "b");
    EXPECT_FALSE(client->ReadLnSplit());
    EXPECT_EQ(client->ReadLine(), over.substr(0, 16384));
    EXPECT_EQ(client->ReadLine(), "b");
    client->WriteLine("done");
}

TEST_F(TcpTest, EndlessLineIsCutOffWithBoundedBuffer)
{
    Connect([](ScriptedPeer& peer) {
        const std::string block(65536, 'z');
        try {
            for (int i = 0; i < 64; ++i) // 4 MB without a line end
                peer.Send(block);
        } catch (const std::exception&) {
            // the client may close while we are still sending
        }
    });
    client->SetMaxLineLength(1000);
    EXPECT_THROW(client->ReadLine(), ENetReadLnMaxLineLengthExceeded);
    EXPECT_LE(client->PendingInput().Size(), 1000 + client->RecvBufferSize());
    client->CloseConnection();
}

TEST_F(TcpTest, PeerCloseWithNothingBuffered)
{
    Connect([](ScriptedPeer& peer) {
        peer.Send("last\n");
        peer.Close();
    });
    EXPECT_EQ(client->ReadLine(), "last");
    EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
    EXPECT_EQ(disconnects, 1);
}

TEST_F(TcpTest, PeerCloseMidLine)
{
    Connect([](ScriptedPeer& peer) {
        peer.Send("partial");
        peer.Close();
    });
    EXPECT_EQ(client->ReadLine(), "");
    EXPECT_TRUE(client->ReadLnTimedOut());
    EXPECT_EQ(client->PendingInput().Size(), 7); // still readable
    EXPECT_THROW(client->ReadLine(), ENetConnClosedGracefully);
    EXPECT_EQ(disconnects, 1);
}

TEST_F(TcpTest, PeerResetRaisesSocketError)
{
    Connect([](ScriptedPeer& peer) {
        peer.ReadLine();
        peer.Reset();
    });
    client->WriteLine("go");
    try {
        client->ReadLine();
        FAIL() << "no exception";
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.LastError(), WSAECONNRESET);
        EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
}

TEST_F(TcpTest, ReadTimeoutWithSilentPeer)
{
    Connect([](ScriptedPeer& peer) { peer.ReadLine(); });
    client->SetReadTimeout(300);
    const auto start = std::chrono::steady_clock::now();
    try {
        client->ReadLine();
        FAIL();
    } catch (const ENetReadTimeout& e) {
        EXPECT_EQ(e.Message(), "Read Timeout");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_TRUE(client->IsConnected());
    // An explicit time-out ends the read with the time-out flag instead.
    EXPECT_EQ(client->ReadLine("\n", 100), "");
    EXPECT_TRUE(client->ReadLnTimedOut());
    client->WriteLine("done");
}

TEST_F(TcpTest, ReplyParsing)
{
    struct Case {
        std::string bytes;
        int code;
        std::vector<std::string> text;
    };
    const std::vector<Case> cases = {
        {"220 Ready\r\n", 220, {"Ready"}},
        {"220\r\n", 220, {""}},
        {"\r\n\r\n  \r\n331 Password required\r\n", 331, {"Password required"}},
        {"230-Welcome\r\n230-second line\r\n230 Logged in\r\n", 230, {"Welcome", "second line", "Logged in"}},
        {"211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n", 211, {"Features:", "", "", "End"}},
        {"214-Help\r\nplain text here\r\n214 done\r\n", 214, {"Help", "n text here", "done"}},
        // A line shorter than four characters ends a multi-line reply too.
        {"250-a\r\nok\r\n", 250, {"a", ""}},
        {"abc not a number\r\n", 0, {"not a number"}},
    };
    std::string all;
    for (const auto& c : cases)
        all += c.bytes;
    Connect([all](ScriptedPeer& peer) {
        peer.Send(all);
        peer.ReadLine();
    });
    for (const auto& c : cases) {
        client->ReadReply();
        EXPECT_EQ(client->LastReply().NumericCode(), c.code) << c.bytes;
        EXPECT_EQ(client->LastReply().Text(), c.text) << c.bytes;
    }
    client->WriteLine("done");
}

TEST_F(TcpTest, ExpectReplyAndSendCommand)
{
    std::vector<std::string> received;
    Connect([&](ScriptedPeer& peer) {
        peer.Send("500 Syntax error\r\n500 Unknown\r\n");
        for (int i = 0; i < 3; ++i) {
            received.push_back(peer.ReadLine());
            peer.Send("421 Going away\r\n");
        }
        peer.ReadLine();
    });
    EXPECT_EQ(client->ExpectReply({}), 500); // empty list: any code
    try {
        client->ExpectReply({200, 250});
        FAIL();
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 500);
        EXPECT_EQ(e.Message(), "Unknown\r\n");
    }
    EXPECT_TRUE(client->IsConnected());
    EXPECT_EQ(client->LastReply().NumericCode(), 500);

    EXPECT_EQ(client->SendCommand("NOOP"), 421); // -1: any reply
    EXPECT_THROW(client->SendCommand("NOOP", 200), ENetProtocolReplyError);
    EXPECT_EQ(client->SendCommand("QUIT", TNetReplyCodes {221, 421}), 421);
    client->WriteLine("done");
    server->Join();
    EXPECT_EQ(received, (std::vector<std::string> {"NOOP\r", "NOOP\r", "QUIT\r"}));
}

TEST_F(TcpTest, WorkEventsOfAStreamSend)
{
    std::string got;
    Connect([&](ScriptedPeer& peer) { got = peer.ReadUntilClose(); });
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    TNetMemoryStream stream(data);
    int begins = 0, ends = 0;
    int64_t total = 0;
    std::vector<int64_t> counts;
    client->OnWorkBegin = [&](TNetBaseComponent*, TWorkMode m, int64_t t) {
        EXPECT_EQ(m, wmWrite);
        ++begins;
        total = t;
    };
    client->OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t c) { counts.push_back(c); };
    client->OnWorkEnd = [&](TNetBaseComponent*, TWorkMode) { ++ends; };
    client->SetSendBufferSize(8192);
    client->WriteFromStream(stream);
    client->CloseConnection();
    server->Join();
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(total, 100000);
    ASSERT_FALSE(counts.empty());
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
    EXPECT_EQ(counts.back(), 100000);
    EXPECT_EQ(got, data);
}

TEST_F(TcpTest, StreamsAndIntegers)
{
    std::string got;
    Connect([&](ScriptedPeer& peer) {
        peer.Send(std::string("\x00\x00\x00\x05", 4) + "hello" + "0123456789");
        got = peer.ReadExactly(11);
        peer.Send("tail-until-close");
        peer.Close();
    });
    TNetMemoryStream a, b, c;
    client->ReadToStream(a); // size prefix
    EXPECT_EQ(a.DataString(), "hello");
    client->ReadToStream(b, 10);
    EXPECT_EQ(b.DataString(), "0123456789");

    TNetMemoryStream out("xyz");
    client->WriteFromStream(out, true, true);
    client->WriteInt32(258);
    client->ReadToStream(c, -1, true);
    EXPECT_EQ(c.DataString(), "tail-until-close");
    server->Join();
    EXPECT_EQ(got, std::string("\x00\x00\x00\x03xyz\x00\x00\x01\x02", 11));
}

TEST_F(TcpTest, BufferedWritesGoOutTogether)
{
    std::string first, rest;
    bool silentWhileBuffered = false;
    Connect([&](ScriptedPeer& peer) {
        silentWhileBuffered = peer.Silent(200);
        first = peer.ReadLine();
        rest = peer.ReadLine();
        rest += "|" + peer.ReadLine();
        peer.ReadLine();
    });
    client->BeginBufferedWrite();
    client->WriteLine("one");
    client->WriteLine("two");
    client->WriteLine("three");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    client->EndBufferedWrite();
    EXPECT_FALSE(client->WriteBuffered());
    client->WriteLine("done");
    server->Join();
    EXPECT_TRUE(silentWhileBuffered);
    EXPECT_EQ(first, "one\r");
    EXPECT_EQ(rest, "two\r|three\r");
}

TEST_F(TcpTest, WritingOnAClosedConnectionSendsNothing)
{
    std::string got = "unset";
    Connect([&](ScriptedPeer& peer) { got = peer.ReadUntilClose(3000); });
    client->CloseConnection();
    EXPECT_THROW(client->WriteLine("late"), ENetNotConnected);
    server->Join();
    EXPECT_EQ(got, "");
}

TEST_F(TcpTest, ConnectTwiceAndReconnect)
{
    Connect([](ScriptedPeer& peer) { peer.Send(peer.ReadLine() + "\n"); }, 2);
    EXPECT_THROW(client->ConnectToHost(), ENetAlreadyConnected);
    EXPECT_TRUE(client->IsConnected());
    client->CloseConnection();
    client->ConnectToHost();
    client->WriteLine("again");
    EXPECT_EQ(client->ReadLine(), "again");
    client->CloseConnection();
}

TEST_F(TcpTest, ReadAllAndConnectAndReadAll)
{
    Connect([](ScriptedPeer& peer) {
        peer.Send(std::string(100000, 'r'));
        peer.Close();
    }, 2);
    EXPECT_EQ(client->ReadAll(), std::string(100000, 'r'));
    client->CloseConnection();
    EXPECT_EQ(client->ConnectAndReadAll(), std::string(100000, 'r'));
    EXPECT_FALSE(client->IsConnected());
}

TEST(TcpLeakTest, ConnectCloseCyclesLeakNoDescriptors)
{
    const int before = testsupport::OpenDescriptorCount();
    {
        ScriptedServer server([](ScriptedPeer& peer) { peer.ReadUntilClose(3000); }, 20);
        TNetTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(server.port());
        for (int i = 0; i < 20; ++i) {
            client.ConnectToHost();
            client.WriteLine("x");
            client.CloseConnection();
        }
        // The peer's side of every connection is closed once it saw ours close.
        server.Join();
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

TEST(ManagedBufferTest, ReclaimsConsumedBytesLazily)
{
    TNetTCPClient owner; // keeps the stack alive
    TNetManagedBuffer buffer;
    int64_t removed = 0;
    buffer.OnBytesRemoved = [&](int64_t n) { removed += n; };
    const std::string data(40000, 'q');
    buffer.Append(data.data(), static_cast<int64_t>(data.size()));
    const char* start = buffer.Memory();
    buffer.Remove(1000);
    EXPECT_EQ(buffer.Memory(), start + 1000); // not moved yet
    EXPECT_EQ(buffer.Size(), 39000);
    buffer.Remove(32000); // offset reaches 33000 >= 32768: packed
    EXPECT_EQ(buffer.Size(), 7000);
    EXPECT_EQ(buffer.Extract(3), "qqq");
    EXPECT_THROW(buffer.Remove(7000), ENetNotEnoughDataInBuffer);
    buffer.Remove(6997);
    EXPECT_EQ(buffer.Size(), 0);
    EXPECT_EQ(removed, 40000);
}

TEST(ReplyTest, CodesAndAssignment)
{
    TNetRFCReply reply;
    reply.SetNumericCode(250);
    EXPECT_EQ(reply.TextCode(), "250");
    reply.SetTextCode("abc");
    EXPECT_EQ(reply.NumericCode(), 0);
    reply.SetTextCode("331");
    reply.Text() = {"a", "b"};
    TNetRFCReply copy;
    copy.Assign(reply);
    EXPECT_EQ(copy.NumericCode(), 331);
    EXPECT_EQ(copy.Text(), reply.Text());
    EXPECT_EQ(copy.TextWithLineBreaks(), "a\r\nb\r\n");
    copy.Clear();
    EXPECT_EQ(copy.NumericCode(), 0);
    EXPECT_TRUE(copy.Text().empty());
    EXPECT_EQ(copy.TextCode(), "");
}

} // namespace
