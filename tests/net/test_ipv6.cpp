// The address tests of the IPv6 side of publishing.
#include "net/NetIPv6.h"
#include "tests/support/NetNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

TEST(IPv6Echo, OnlyAGlobalAddressAfterAddressIsPublic)
{
    struct Case {
        const char* body;
        const char* address; // "" when the answer gives none
    };
    const Case cases[] = {
        {"<body>Address: 2001:db8::7</body>", "2001:db8::7"},
        {"Address: 2001:DB8:0:0:0:0:0:7\r\n<br>", "2001:db8::7"},         // compressed and lower case
        {"Address:  \t2a00:1450:4001:82b::200e \n</p>", "2a00:1450:4001:82b::200e"},
        {"Address: 2001:db8::7", "2001:db8::7"},                          // no markup after it
        {"Address: ::ffff:203.0.113.7<", ""},                             // IPv4-mapped
        {"Address: fe80::1<", ""},                                        // link-local
        {"Address: fd12:3456::1<", ""},                                   // unique-local
        {"Address: ::1<", ""},
        {"Address: ::<", ""},
        {"Address: ff02::1<", ""},                                        // multicast
        {"Address: 203.0.113.7<", ""},                                    // the IPv4 echo's answer
        {"Address: 2001:db8::7%eth0<", ""},                               // a zone is no public address
        {"Address: 2001:db8::7::1<", ""},
        {"Address: 2001:db8::7 and more<", ""},
        {"<body>2001:db8::7</body>", ""},                                 // no "Address:"
        {"Address:", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PublicIPv6FromEchoAnswer(c.body), c.address) << c.body;
}

// In a namespace whose only addresses the test chose: the unique-local and
// the deprecated ones are passed over for the usable global one.
TEST(IPv6Echo, TheMachinesGlobalAddressIsAUsableGlobalOne)
{
    testsupport::NetNamespace ns({"fd00::5/64", "2001:db8:1:2::9/64 preferred_lft 0", "2001:db8:1:2::7/64"});
    if (!ns.Available())
        GTEST_SKIP() << "no network namespace: " << ns.Reason();
    ASSERT_TRUE(ns.Enter());
    EXPECT_EQ(GlobalIPv6Address(), "2001:db8:1:2::7");
    ns.Leave();
    testsupport::NetNamespace bare({"fd00::5/64"});
    ASSERT_TRUE(bare.Enter());
    EXPECT_EQ(GlobalIPv6Address(), "") << "a unique-local address is not global";
    bare.Leave();
}

TEST(IPv6Echo, RequestsOtherThanPlainHttpToAnIPv6PeerAreRefusedWithTheReason)
{
    struct Case {
        const char* url;
        const char* reason;
    };
    const Case cases[] = {
        {"https://[::1]:1/", "Only http:// is supported for the echo over IPv6: https://[::1]:1/"},
        {"http://[::1/", "Not an address: http://[::1/"},
        {"http://[::1]x/", "Not an address: http://[::1]x/"},
        {"http://[::1]:99999999/", "Not an address: http://[::1]:99999999/"},
        {"http://127.0.0.1:80/", "No IPv6 address for 127.0.0.1"},
    };
    for (const Case& c : cases) {
        try {
            HttpGetOverIPv6(c.url, std::chrono::milliseconds(2000), 1024);
            ADD_FAILURE() << c.url << " was requested";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.reason, 0), 0u) << e.what();
        }
    }
}

TEST(IPv6Echo, OnlyAWholeSuccessfulReplyGivesItsBody)
{
    struct Case {
        std::string reply;
        const char* body;   // when the reply is taken
        const char* reason; // when it is not
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK\r\nServer: x\r\n\r\nAddress: 2001:db8::7", "Address: 2001:db8::7", nullptr},
        {"HTTP/1.1 204 No Content\r\n\r\n", "", nullptr},
        {"HTTP/1.0 404 File not found\r\n\r\nAddress: 2001:db8::7", nullptr, "http://[::1]/ answered 404 File not found"},
        {"HTTP/1.0 200 OK\r\nServer: x\r\n", nullptr, "No HTTP answer from http://[::1]/"},
        {"Address: 2001:db8::7", nullptr, "No HTTP answer from http://[::1]/"},
        {"HTTP/1.0 200 OK\r\n\r\n" + std::string(33, 'x'), nullptr, "The answer of http://[::1]/ is too large."},
    };
    for (const Case& c : cases) {
        try {
            const std::string body = BodyOfHttpReply(c.reply, "http://[::1]/", 32);
            EXPECT_TRUE(c.body) << c.reply;
            EXPECT_EQ(body, c.body ? c.body : "") << c.reply;
        } catch (const std::exception& e) {
            EXPECT_TRUE(c.reason) << c.reply << ": " << e.what();
            EXPECT_EQ(std::string(e.what()), c.reason ? c.reason : "") << c.reply;
        }
    }
}

} // namespace
