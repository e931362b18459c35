// What the window says about reaching the stream from outside, from what the
// router answered and what the address echo service saw.
#include "net/Reachability.h"

#include <gtest/gtest.h>

namespace {

MappingOutcome Answer(MappingProtocol protocol, bool granted, int external, const std::string& router,
                      const std::string& refusal = {})
{
    MappingOutcome o;
    o.Finished = true;
    o.Protocol = protocol;
    o.Granted = granted;
    o.InternalPort = 8080;
    o.ExternalPort = external;
    o.RouterAddress = router;
    o.Refusal = refusal;
    return o;
}

TEST(Reachability, EachAnswerGetsItsLine)
{
    using P = MappingProtocol;
    const struct {
        const char* name;
        MappingOutcome outcome;
        std::string echo;
        Reachability kind;
        std::string text;
    } cases[] = {
        {"UPnP granted the port", Answer(P::Upnp, true, 8080, "198.51.100.20"), "198.51.100.20",
         Reachability::Reachable, "Reachable: router opened port 8080 (UPnP)"},
        {"NAT-PMP granted, echo unknown", Answer(P::NatPmp, true, 8080, "198.51.100.20"), "",
         Reachability::Reachable, "Reachable: router opened port 8080 (NAT-PMP)"},
        {"the next port granted", Answer(P::Upnp, true, 8081, "198.51.100.20"), "198.51.100.20",
         Reachability::OtherPort, "Router opened port 8081 instead of 8080"},
        {"nobody answered", Answer(P::None, false, 0, ""), "198.51.100.20", Reachability::NoRouter,
         "No router answered: forward TCP port 8080 by hand, or use the relay"},
        {"router in the shared range, echo sees another",
         Answer(P::Upnp, true, 8080, "100.64.12.7"), "203.0.113.7", Reachability::DoubleNat,
         "Behind a second NAT (the router's public address 100.64.12.7 is not the one the internet sees, "
         "203.0.113.7): viewers outside cannot reach this machine; use IPv6, the relay, or the picture upload "
         "below"},
        {"public router address that is not what the echo sees",
         Answer(P::NatPmp, true, 8080, "198.51.100.20"), "203.0.113.7", Reachability::DoubleNat,
         "Behind a second NAT (the router's public address 198.51.100.20 is not the one the internet sees, "
         "203.0.113.7): viewers outside cannot reach this machine; use IPv6, the relay, or the picture upload "
         "below"},
        {"private router address, echo failed", Answer(P::Upnp, false, 0, "10.1.2.3", "UPnP error 501"), "",
         Reachability::DoubleNat,
         "Behind a second NAT (the router's public address 10.1.2.3 is a private or shared address): viewers "
         "outside cannot reach this machine; use IPv6, the relay, or the picture upload below"},
        {"router without an address refuses", Answer(P::Upnp, false, 0, "0.0.0.0", "UPnP error 729"),
         "203.0.113.7", Reachability::DoubleNat,
         "Behind a second NAT (the router has no public address of its own; the internet sees 203.0.113.7): "
         "viewers outside cannot reach this machine; use IPv6, the relay, or the picture upload below"},
        {"router without an address grants all the same", Answer(P::Upnp, true, 8080, ""), "203.0.113.7",
         Reachability::DoubleNat,
         "Behind a second NAT (the router has no public address of its own; the internet sees 203.0.113.7): "
         "viewers outside cannot reach this machine; use IPv6, the relay, or the picture upload below"},
        {"router without an address, echo failed too", Answer(P::NatPmp, true, 8080, ""), "",
         Reachability::Reachable, "Reachable: router opened port 8080 (NAT-PMP)"},
        {"public router refuses", Answer(P::Upnp, false, 0, "198.51.100.20", "UPnP error 606 (Action not authorized)"),
         "198.51.100.20", Reachability::Refused,
         "The router refused to open port 8080 (UPnP error 606 (Action not authorized)): forward TCP port 8080 by "
         "hand, or use the relay"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Classify(c.outcome, c.echo), c.kind);
        EXPECT_EQ(ReachabilityText(c.outcome, c.echo), c.text);
    }
}

TEST(Reachability, EachPinholeAnswerGetsItsIPv6Line)
{
    const struct {
        PinholeState state;
        std::string refusal;
        std::string text;
    } cases[] = {
        {PinholeState::NotAsked, "", ""},
        {PinholeState::Opened, "", "IPv6: router opened [2001:db8:1::10]:8080 (UPnP pinhole)"},
        {PinholeState::FirewallOff, "", "IPv6: the router's firewall is off; [2001:db8:1::10]:8080 is open"},
        {PinholeState::Refused, "UPnP error 606 (Action not authorized)",
         "IPv6: the router refused to open [2001:db8:1::10]:8080 (UPnP error 606 (Action not authorized))"},
        {PinholeState::NotOffered, "",
         "IPv6: the router offers no pinholes; [2001:db8:1::10]:8080 is reachable only if its firewall lets "
         "viewers in"},
    };
    for (const auto& c : cases) {
        // Whatever became of the IPv4 port: behind a second NAT the pinhole is the way in.
        MappingOutcome o = Answer(MappingProtocol::Upnp, false, 0, "100.64.12.7", "UPnP error 729");
        o.Pinhole = c.state;
        o.PinholeAddress = "2001:db8:1::10";
        o.PinholeRefusal = c.refusal;
        EXPECT_EQ(PinholeText(o), c.text);
        o.Finished = false;
        EXPECT_EQ(PinholeText(o), "") << "nothing while the router is asked";
    }
}

TEST(Reachability, NothingIsSaidWhileTheRouterIsAsked)
{
    MappingOutcome asking = Answer(MappingProtocol::Upnp, false, 0, "");
    asking.Finished = false;
    EXPECT_EQ(Classify(asking, "203.0.113.7"), Reachability::Unknown);
    EXPECT_EQ(ReachabilityText(asking, "203.0.113.7"), "");
}

TEST(Reachability, PublicAddressesExcludeEveryRangeNoViewerCanReach)
{
    const struct {
        const char* address;
        bool isPublic;
    } cases[] = {
        {"203.0.113.7", true},   {"198.51.100.1", true},  {"8.8.8.8", true},       {"100.63.255.255", true},
        {"100.64.0.1", false},   {"100.127.255.254", false}, {"100.128.0.1", true}, {"10.0.0.1", false},
        {"172.16.0.1", false},   {"172.31.255.1", false}, {"172.32.0.1", true},    {"192.168.1.1", false},
        {"127.0.0.1", false},    {"169.254.3.4", false},  {"0.0.0.0", false},      {"224.0.0.1", false},
        {"255.255.255.255", false}, {"", false},          {"1.2.3", false},        {"::1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsPublicIPv4(c.address), c.isPublic) << c.address;
}

} // namespace
