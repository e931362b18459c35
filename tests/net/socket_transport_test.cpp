// The socket transport: binding rules, status and work events, connect
// failures and the connect time-out.

#include "net/NetTCPConnection.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::ScriptedPeer;
using testsupport::ScriptedServer;

namespace {

// A socket bound to 127.0.0.1:port (not listening), to occupy the port.
int OccupyPort(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Three consecutive free ports; answers the lowest.
int FreePortRun()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int base = 20000 + (testsupport::FreeTcpPort() % 30000);
        int fds[3];
        int ok = 0;
        for (; ok < 3; ++ok)
            if ((fds[ok] = OccupyPort(base + ok)) < 0)
                break;
        for (int i = 0; i < ok; ++i)
            ::close(fds[i]);
        if (ok == 3)
            return base;
    }
    return -1;
}

void EchoOneLine(ScriptedPeer& peer) { peer.Send(peer.ReadLine() + "\n"); }

TEST(SocketTransportTest, ClientIsBoundBeforeConnectAndReportsTheAddressUsed)
{
    int peerPort = 0;
    ScriptedServer server([&](ScriptedPeer& peer) {
        sockaddr_in addr {};
        socklen_t len = sizeof addr;
        ::getpeername(peer.fd(), reinterpret_cast<sockaddr*>(&addr), &len);
        peerPort = ntohs(addr.sin_port);
        EchoOneLine(peer);
    });
    TNetTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.ConnectToHost();
    client.WriteLine("hello");
    EXPECT_EQ(client.ReadLine(), "hello");
    ASSERT_NE(client.SocketBinding(), nullptr);
    EXPECT_EQ(client.SocketBinding()->IP(), "127.0.0.1");
    EXPECT_EQ(client.SocketBinding()->Port(), peerPort);
    EXPECT_EQ(client.SocketBinding()->PeerIP(), "127.0.0.1");
    EXPECT_EQ(client.SocketBinding()->PeerPort(), server.port());
    client.CloseConnection();
}

TEST(SocketTransportTest, PortRangeIsTriedFromTheTopDown)
{
    const int base = FreePortRun();
    ASSERT_GT(base, 0);
    ScriptedServer server(EchoOneLine, 2);

    // The top port is taken: the client ends up on the next one down.
    const int top = OccupyPort(base + 2);
    ASSERT_GE(top, 0);
    TNetTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetBoundPortMin(base);
    client.SetBoundPortMax(base + 2);
    client.ConnectToHost();
    EXPECT_EQ(client.SocketBinding()->Port(), base + 1);
    client.CloseConnection();

    // All three taken.
    const int mid = OccupyPort(base + 1);
    const int low = OccupyPort(base);
    try {
        client.ConnectToHost();
        FAIL() << "bound although every port is in use";
    } catch (const ENetCanNotBindPortInRange& e) {
        EXPECT_EQ(e.Message(), Format("Can not bind in port range (%d - %d)", base, base + 2));
    }
    EXPECT_FALSE(client.IsConnected());
    ::close(top);
    ::close(mid);
    ::close(low);

    client.SetBoundPortMin(5002);
    client.SetBoundPortMax(5000);
    try {
        client.ConnectToHost();
        FAIL();
    } catch (const ENetInvalidPortRange& e) {
        EXPECT_EQ(e.Message(), "Invalid Port Range (5002 - 5000)");
    }
}

TEST(SocketTransportTest, FixedPortInUseCannotBeBound)
{
    ScriptedServer server(EchoOneLine);
    const int port = testsupport::FreeTcpPort();
    const int taken = OccupyPort(port);
    ASSERT_GE(taken, 0);
    TNetTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetBoundPort(port);
    try {
        client.ConnectToHost();
        FAIL();
    } catch (const ENetCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
    }
    ::close(taken);
}

struct StatusLog {
    std::vector<std::pair<TNetStatus, std::string>> entries;
    TNetStatusEvent handler()
    {
        return [this](TNetBaseComponent*, TNetStatus s, const std::string& t) { entries.emplace_back(s, t); };
    }
};

TEST(SocketTransportTest, StatusEventsOfASession)
{
    ScriptedServer server(EchoOneLine, 2);
    struct Case {
        const char* host;
        std::vector<std::pair<TNetStatus, std::string>> expected;
    };
    const Case cases[] = {
        {"127.0.0.1",
         {{hsConnecting, "Connecting to 127.0.0.1."}, {hsConnected, "Connected."},
          {hsDisconnecting, "Disconnecting."}, {hsDisconnected, "Disconnected."}}},
        {"LOCALHOST",
         {{hsResolving, "Resolving hostname LOCALHOST."}, {hsConnecting, "Connecting to 127.0.0.1."},
          {hsConnected, "Connected."}, {hsDisconnecting, "Disconnecting."}, {hsDisconnected, "Disconnected."}}},
    };
    for (const auto& c : cases) {
        StatusLog log;
        TNetTCPClient client;
        client.OnStatus = log.handler();
        client.SetHost(c.host);
        client.SetPort(server.port());
        client.ConnectToHost();
        client.WriteLine("x");
        EXPECT_EQ(client.ReadLine(), "x");
        client.CloseConnection();
        EXPECT_EQ(log.entries, c.expected) << c.host;
    }
}

TEST(SocketTransportTest, RefusedConnectRaisesTheWinSockCode)
{
    int port = 0;
    const int fd = testsupport::ListenLoopback(port);
    ::close(fd); // nothing listens there now
    TNetTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    try {
        client.ConnectToHost();
        FAIL();
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.LastError(), WSAECONNREFUSED);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.PendingInput().Size(), 0);

    // With a time-out the same failure comes from the connect thread.
    try {
        client.ConnectToHost(2000);
        FAIL();
    } catch (const ENetConnectException& e) {
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.IsConnected());
}

TEST(SocketTransportTest, ConnectWithATimeOutToALiveServer)
{
    ScriptedServer server(EchoOneLine);
    TNetTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.ConnectToHost(2000);
    ASSERT_TRUE(client.IsConnected());
    EXPECT_NE(client.SocketBinding()->Port(), 0);
    EXPECT_EQ(client.SocketBinding()->PeerPort(), server.port());
    client.WriteLine("through the connect thread");
    EXPECT_EQ(client.ReadLine(), "through the connect thread");
    client.CloseConnection();
}

TEST(SocketTransportTest, ConnectTimeOutAgainstAFullBacklog)
{
    // A listener that never accepts, with its backlog filled up: further
    // connection attempts get no answer at all.
    int port = 0;
    const int listener = testsupport::ListenLoopback(port, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    const int before = testsupport::OpenDescriptorCount();
    {
        TNetTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(port);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(client.ConnectToHost(1000), ENetConnectTimeout);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_GE(took.count(), 1000);
        // At most one 125 ms step late, plus scheduling slack on a busy machine.
        EXPECT_LT(took.count(), 2500);
        EXPECT_FALSE(client.IsConnected());
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST(SocketTransportTest, NestedWorkGivesOneBeginAndOneEndWithRunningTotals)
{
    TNetIOHandlerSocket component;
    std::vector<std::string> events;
    component.OnWorkBegin = [&](TNetBaseComponent*, TWorkMode m, int64_t total) {
        events.push_back(Format("begin %d %ld", m, static_cast<long>(total)));
    };
    component.OnWork = [&](TNetBaseComponent*, TWorkMode m, int64_t count) {
        events.push_back(Format("work %d %ld", m, static_cast<long>(count)));
    };
    component.OnWorkEnd = [&](TNetBaseComponent*, TWorkMode m) { events.push_back(Format("end %d", m)); };
    component.DoWork(wmWrite, 5); // outside begin/end: nothing
    component.BeginWork(wmWrite, 300);
    component.DoWork(wmWrite, 100);
    component.BeginWork(wmWrite, 50);
    component.DoWork(wmWrite, 100);
    component.EndWork(wmWrite);
    component.DoWork(wmWrite, 100);
    component.EndWork(wmWrite);
    const std::vector<std::string> expected = {"begin 1 300", "work 1 100", "work 1 200", "work 1 300", "end 1"};
    EXPECT_EQ(events, expected);
}

TEST(SocketTransportTest, InterceptorsTransformReceivedAndSentBytesInChainOrder)
{
    ScriptedServer server([](ScriptedPeer& peer) {
        const std::string line = peer.ReadLine();
        peer.Send("echo " + line + "\n");
    });
    std::vector<std::string> order;
    auto upper = [](TNetStream& s) {
        auto& m = dynamic_cast<TNetMemoryStream&>(s);
        for (int64_t i = 0; i < m.Size(); ++i)
            if (m.Memory()[i] >= 'a' && m.Memory()[i] <= 'z')
                m.Memory()[i] = static_cast<char>(m.Memory()[i] - 32);
    };
    TNetConnectionIntercept outer, inner;
    outer.Intercept = &inner;
    outer.OnConnect = [&](TNetConnectionIntercept*) { order.push_back("outer connect"); };
    inner.OnConnect = [&](TNetConnectionIntercept*) { order.push_back("inner connect"); };
    outer.OnDisconnect = [&](TNetConnectionIntercept*) { order.push_back("outer disconnect"); };
    inner.OnDisconnect = [&](TNetConnectionIntercept*) { order.push_back("inner disconnect"); };
    outer.OnSend = [&](TNetConnectionIntercept*, TNetStream& s) {
        order.push_back("outer send");
        upper(s);
    };
    inner.OnReceive = [&](TNetConnectionIntercept*, TNetStream& s) {
        order.push_back("inner receive");
        upper(s);
    };
    outer.OnReceive = [&](TNetConnectionIntercept*, TNetStream&) { order.push_back("outer receive"); };

    TNetTCPClient client;
    client.SetIntercept(&outer);
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.ConnectToHost();
    client.WriteLine("abc");
    EXPECT_EQ(client.ReadLine(), "ECHO ABC");
    client.CloseConnection();
    const std::vector<std::string> expected = {"outer connect", "inner connect", "outer send", "inner receive",
                                               "outer receive", "inner disconnect", "outer disconnect"};
    EXPECT_EQ(order, expected);
}

TEST(SocketTransportTest, SocksVersionsOtherThanNoneAreRefused)
{
    ScriptedServer server(EchoOneLine);
    TNetIOHandlerSocket transport;
    transport.SocksInfo()->Version = svSocks5;
    TNetTCPClient client;
    client.SetIOHandler(&transport);
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    EXPECT_THROW(client.ConnectToHost(), ENetException);
    EXPECT_FALSE(client.IsConnected());
}

TEST(SocketTransportTest, TransportWithoutSocketRaises)
{
    TNetIOHandlerSocket transport;
    char b[4];
    EXPECT_THROW(transport.TransportSend("x", 1), ENetClosedSocket);
    EXPECT_THROW(transport.TransportReceive(b, 4), ENetClosedSocket);
    EXPECT_THROW(transport.TransportReadable(0), ENetConnClosedGracefully);
}

} // namespace
