#include "net/Reachability.h"

#include <arpa/inet.h>

#include <cstdint>

namespace {

bool ParseIPv4(const std::string& text, uint32_t& host)
{
    in_addr a {};
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    host = ntohl(a.s_addr);
    return true;
}

bool InNet(uint32_t host, uint32_t net, int bits)
{
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    return (host & mask) == (net & mask);
}

// The router reported an address at all (some report 0.0.0.0 when they have none).
bool Known(const std::string& address)
{
    uint32_t host = 0;
    return ParseIPv4(address, host) && host != 0;
}

} // namespace

bool IsPublicIPv4(const std::string& address)
{
    uint32_t h = 0;
    if (!ParseIPv4(address, h))
        return false;
    struct Net {
        uint32_t Base;
        int Bits;
    };
    static constexpr Net notPublic[] = {
        {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8},
        {0xA9FE0000, 16}, {0xAC100000, 12}, {0xC0A80000, 16}, {0xE0000000, 3},
    };
    for (const Net& n : notPublic)
        if (InNet(h, n.Base, n.Bits))
            return false;
    return true;
}

const char* MappingProtocolName(MappingProtocol protocol)
{
    switch (protocol) {
    case MappingProtocol::Upnp: return "UPnP";
    case MappingProtocol::NatPmp: return "NAT-PMP";
    case MappingProtocol::None: break;
    }
    return "none";
}

Reachability Classify(const MappingOutcome& o, const std::string& echoAddress)
{
    if (!o.Finished)
        return Reachability::Unknown;
    if (o.Protocol != MappingProtocol::None) {
        const bool known = Known(o.RouterAddress);
        if (known && !IsPublicIPv4(o.RouterAddress))
            return Reachability::DoubleNat;
        if (known && Known(echoAddress) && echoAddress != o.RouterAddress)
            return Reachability::DoubleNat;
        // A router with no public address of its own to give (routers say
        // so when theirs is private or shared) while the internet sees one
        // is behind another NAT too.
        if (!known && Known(echoAddress))
            return Reachability::DoubleNat;
    }
    if (o.Granted)
        return o.ExternalPort == o.InternalPort ? Reachability::Reachable : Reachability::OtherPort;
    return o.Protocol == MappingProtocol::None ? Reachability::NoRouter : Reachability::Refused;
}

std::string ReachabilityText(const MappingOutcome& o, const std::string& echoAddress)
{
    const std::string port = std::to_string(o.InternalPort);
    switch (Classify(o, echoAddress)) {
    case Reachability::Unknown: return {};
    case Reachability::Reachable:
        return "Reachable: router opened port " + port + " (" + MappingProtocolName(o.Protocol) + ")";
    case Reachability::OtherPort:
        return "Router opened port " + std::to_string(o.ExternalPort) + " instead of " + port;
    case Reachability::NoRouter:
        return "No router answered: forward TCP port " + port + " by hand, or use the relay";
    case Reachability::Refused:
        return "The router refused to open port " + port + (o.Refusal.empty() ? "" : " (" + o.Refusal + ")") +
               ": forward TCP port " + port + " by hand, or use the relay";
    case Reachability::DoubleNat: {
        std::string why;
        if (!Known(o.RouterAddress))
            why = "the router has no public address of its own; the internet sees " + echoAddress;
        else if (Known(echoAddress) && echoAddress != o.RouterAddress)
            why = "the router's public address " + o.RouterAddress + " is not the one the internet sees, " +
                  echoAddress;
        else
            why = "the router's public address " + o.RouterAddress + " is a private or shared address";
        return "Behind a second NAT (" + why +
               "): viewers outside cannot reach this machine; use IPv6, the relay, or the picture upload below";
    }
    }
    return {};
}

std::string PinholeText(const MappingOutcome& o)
{
    if (!o.Finished)
        return {};
    const std::string port = std::to_string(o.InternalPort);
    const std::string where = "[" + o.PinholeAddress + "]:" + port;
    switch (o.Pinhole) {
    case PinholeState::NotAsked: return {};
    case PinholeState::NotOffered:
        return "IPv6: the router offers no pinholes; " + where + " is reachable only if its firewall lets viewers in";
    case PinholeState::Opened:
        return "IPv6: router opened " + where + " (" + MappingProtocolName(o.Protocol) + " pinhole)";
    case PinholeState::FirewallOff: return "IPv6: the router's firewall is off; " + where + " is open";
    case PinholeState::Refused:
        return "IPv6: the router refused to open " + where +
               (o.PinholeRefusal.empty() ? "" : " (" + o.PinholeRefusal + ")");
    }
    return {};
}
