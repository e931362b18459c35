// The socket stack: error texts, address texts, name resolution, readiness
// waits and the process-wide stack object.

#include "net/NetIOHandlerSocket.h"
#include "net/NetStack.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <netdb.h>
#include <memory>
#include <unistd.h>

namespace {

// Holds the stack for the duration of a test, as any internet component does.
class StackTest : public ::testing::Test {
protected:
    TNetIOHandlerSocket holder;
    TNetStack& stack() { return *StackInstance; }
};

TEST_F(StackTest, TranslatesErrorCodesToTheFixedTexts)
{
    struct Case {
        int code;
        const char* message;
    };
    const Case cases[] = {
        {10035, "Socket Error # 10035\r\nOperation would block. "},
        {10061, "Socket Error # 10061\r\nConnection refused."},
        {10066, "Socket Error # 10066\r\nDirectory not empty"},
        {11001, "Socket Error # 11001\r\nHost not found."},
        {12345, "Socket Error # 12345\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stack().TranslateSocketError(c.code), c.message) << c.code;
}

TEST_F(StackTest, CheckSocketResultIgnoresListedCodesAndRaisesOthers)
{
    EXPECT_FALSE(stack().CheckSocketResult(0));
    EXPECT_FALSE(stack().CheckSocketResult(17));

    // A real failure: closing a descriptor that is not open gives EBADF.
    EXPECT_EQ(stack().CloseSocketHandle(987654), NetSocketError);
    EXPECT_TRUE(stack().CheckSocketResult(NetSocketError, {WSAEBADF}));
    EXPECT_EQ(stack().LastError(), WSAEBADF);

    EXPECT_EQ(stack().CloseSocketHandle(987654), NetSocketError);
    try {
        stack().CheckSocketResult(NetSocketError, {WSAEADDRINUSE});
        FAIL() << "no exception";
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.LastError(), WSAEBADF);
        EXPECT_EQ(e.Message(), "Socket Error # 10009\r\nBad file number.");
    }
}

TEST_F(StackTest, MapsPosixErrorsToWinSockNumbers)
{
    EXPECT_EQ(MapPosixSocketError(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(MapPosixSocketError(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(MapPosixSocketError(EADDRINUSE), WSAEADDRINUSE);
    EXPECT_EQ(MapPosixSocketError(EPIPE), WSAESHUTDOWN);
    EXPECT_EQ(MapPosixSocketError(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(MapPosixSocketError(EAI_NONAME, true), WSAHOST_NOT_FOUND);
}

TEST_F(StackTest, ResolvesLocalhostAndDottedTextWithoutLookup)
{
    for (const char* name : {"localhost", "LocalHost", "LOCALHOST"})
        EXPECT_EQ(stack().ResolveHostAddress(name), "127.0.0.1") << name;
    EXPECT_EQ(stack().ResolveHostAddress("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(stack().ResolveHostAddress("10.1.2.3"), "10.1.2.3");
}

TEST_F(StackTest, UnresolvableNamesRaiseHostNotFound)
{
    // 1.2.3.256 is not an address, so it goes to name resolution.
    for (const char* name : {"1.2.3.256", "no-such-host.invalid"}) {
        try {
            stack().ResolveHostAddress(name);
            FAIL() << name;
        } catch (const ENetSocketError& e) {
            EXPECT_EQ(e.LastError(), WSAHOST_NOT_FOUND) << name;
            EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
        }
    }
}

TEST_F(StackTest, IPv4TextCheck)
{
    struct Case {
        const char* text;
        bool ipv4;  // IsIPv4Text
        bool dotted; // IsDottedAddress (trims, ignores text after the 4th field)
    };
    const Case cases[] = {
        {"192.168.1.5", true, true},
        {" 192.168.1.5 ", false, true},
        {"\t10.0.0.1\r\n", false, true},
        {"192.168.1", false, false},
        {"192.168.1.5.7", false, true},
        {"10.0.0.1.", false, true},
        {"1.2.3.256", false, false},
        {"256.1.1.1", false, false},
        {"", false, false},
        {"IP 1.2.3.4", false, false},
        {"a.b.c.d", false, false},
        {"0.0.0.0", true, true},
        {"-1.2.3.4", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stack().IsIPv4Text(c.text), c.ipv4) << '"' << c.text << '"';
        EXPECT_EQ(IsDottedAddress(c.text), c.dotted) << '"' << c.text << '"';
    }
}

TEST(CutFieldTest, CutsBeforeTheDelimiter)
{
    struct Case {
        const char* text;
        const char* delimiter;
        bool caseSensitive;
        const char* field;
        const char* rest;
    };
    const Case cases[] = {
        {"a.b.c", ".", true, "a", "b.c"},
        {"abc", ".", true, "abc", ""},
        {".x", ".", true, "", "x"},
        {"", ".", true, "", ""},
        {"key: value", ": ", true, "key", "value"},
        {"oneANDtwo", "and", true, "oneANDtwo", ""},
        {"oneANDtwo", "and", false, "one", "two"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(CutField(text, c.delimiter, c.caseSensitive), c.field) << c.text;
        EXPECT_EQ(text, c.rest) << c.text;
    }
}

TEST_F(StackTest, AddressTextRoundTrip)
{
    EXPECT_EQ(stack().AddressToText(192, 168, 0, 7), "192.168.0.7");
    EXPECT_EQ(stack().TextToAddress("10.20.30.40"), (std::array<uint8_t, 4> {10, 20, 30, 40}));
    // Each field keeps its low 8 bits.
    EXPECT_EQ(stack().TextToAddress("1.2.3.260"), (std::array<uint8_t, 4> {1, 2, 3, 4}));
    EXPECT_THROW(stack().TextToAddress("1.2.x.4"), ENetConvertError);
    EXPECT_THROW(stack().TextToAddress("1.2.3"), ENetConvertError);
}

TEST_F(StackTest, LocalAddressesAreDottedAndPrimaryIsTheFirst)
{
    const auto list = stack().LocalAddressList();
    ASSERT_FALSE(list.empty());
    for (const auto& a : list)
        EXPECT_TRUE(stack().IsIPv4Text(a)) << a;
    EXPECT_EQ(stack().PrimaryLocalAddress(), list.front());
    // Loopback appears only on a machine without any other interface.
    if (list.size() > 1) {
        for (const auto& a : list)
            EXPECT_NE(a.rfind("127.", 0), 0u) << a;
    }
}

TEST_F(StackTest, SelectSocketsReportsReadyHandles)
{
    testsupport::ScriptedServer server([](testsupport::ScriptedPeer& peer) {
        peer.ReadLine(); // wait for "go"
        peer.Send("x");
        peer.ReadLine();
    });
    const TNetSocket s = stack().CreateSocketChecked(Id_SOCK_STREAM, 0);
    ASSERT_EQ(stack().ConnectSocket(s, Id_PF_INET, server.port(), "127.0.0.1"), 0);

    TNetSocketListPosix list;
    list.Add(s);
    EXPECT_EQ(stack().SelectSockets(&list, nullptr, nullptr, 0), 0); // a poll
    EXPECT_EQ(list.Count(), 0);

    list.Add(s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stack().SelectSockets(&list, nullptr, nullptr, 300), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));

    ASSERT_EQ(stack().SendBytes(s, "go\n", 3, 0), 3);
    list.Add(s);
    EXPECT_EQ(stack().SelectSockets(&list, nullptr, nullptr, WaitForever), 1);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0), s);
    stack().SendBytes(s, "bye\n", 4, 0);
    stack().CloseSocketHandle(s);
}

TEST(SocketListTest, HoldsAtMost64HandlesAndRemovesByMovingTheLast)
{
    TNetSocketListPosix list;
    for (int i = 0; i < 64; ++i)
        list.Add(100 + i);
    EXPECT_THROW(list.Add(999), ENetStackSetSizeExceeded);
    list.Remove(100);
    EXPECT_EQ(list.Count(), 63);
    EXPECT_EQ(list.Item(0), 163);
    EXPECT_THROW(list.Item(63), ENetStackSetSizeExceeded);
    try {
        list.Item(-1);
    } catch (const ENetStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
}

TEST(StackInstanceTest, LivesFromFirstAcquireToLastRelease)
{
    ASSERT_EQ(StackInstance, nullptr);
    auto first = std::make_unique<TNetIOHandlerSocket>();
    TNetStack* created = StackInstance;
    ASSERT_NE(created, nullptr);
    auto second = std::make_unique<TNetIOHandlerSocket>();
    EXPECT_EQ(StackInstance, created);
    EXPECT_EQ(TNetStack::UserCount(), 2);
    first.reset();
    EXPECT_EQ(StackInstance, created);
    second.reset();
    EXPECT_EQ(StackInstance, nullptr);
    EXPECT_EQ(TNetStack::UserCount(), 0);
    TNetIOHandlerSocket third;
    EXPECT_NE(StackInstance, nullptr);
}

TEST_F(StackTest, ServiceNames)
{
    EXPECT_EQ(stack().ServiceNameToPort("4711"), 4711);
    try {
        stack().ServiceNameToPort("no-such-service");
        FAIL();
    } catch (const ENetInvalidServiceName& e) {
        EXPECT_EQ(e.Message(), "no-such-service is not a valid service.");
    }
}

} // namespace
