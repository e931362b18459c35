#pragma once
// What the router said when asked to open the stream port, and the one line
// that tells the user whether viewers outside can reach the stream.

#include <string>

enum class MappingProtocol { None, Upnp, NatPmp };

// What became of the IPv6 pinhole for the stream port.
enum class PinholeState {
    NotAsked,   // no IPv6 address of this machine, or no router answered
    NotOffered, // the router has no pinholes to give
    Opened,     // the router's firewall lets viewers in
    FirewallOff,// the router's firewall lets everything in
    Refused,    // the router refused (or stopped renewing) it
};

// The result of one attempt to open a port on the router. Plain data, made on
// the port mapper's thread and read on the window's.
struct MappingOutcome {
    bool Finished = false;        // discovery and the request are over
    MappingProtocol Protocol = MappingProtocol::None; // the router that answered (None: nobody)
    bool Granted = false;         // a mapping is in place
    int InternalPort = 0;         // the port the stream listens on
    int ExternalPort = 0;         // the port the router opened (0: none)
    bool Permanent = false;       // the router refused leases: removed at Stop
    std::string RouterAddress;    // the router's own public address ("" unknown)
    std::string Refusal;          // the router's refusal, e.g. "UPnP error 718 (ConflictInMappingEntry)"
    PinholeState Pinhole = PinholeState::NotAsked;
    std::string PinholeAddress;   // this machine's global IPv6 address the pinhole is for
    std::string PinholeRefusal;   // the router's refusal of the pinhole
};

enum class Reachability {
    Unknown,    // still asking
    Reachable,  // the port asked for is open
    OtherPort,  // another external port is open
    NoRouter,   // no router answered
    Refused,    // a router answered and refused
    DoubleNat,  // the router itself sits behind another NAT
};

// True for a dotted IPv4 address the internet can route to: not private
// (10/8, 172.16/12, 192.168/16), shared (100.64/10), loopback, link-local,
// "this network" (0/8) or multicast and above.
bool IsPublicIPv4(const std::string& address);

// `echoAddress` is what the address echo service saw ("" when unknown).
// A router whose own public address is not public, or differs from what the
// internet sees, is behind a second NAT whatever it granted.
Reachability Classify(const MappingOutcome& outcome, const std::string& echoAddress);

// The line for the window and the console ("" while still asking).
std::string ReachabilityText(const MappingOutcome& outcome, const std::string& echoAddress);

// The IPv6 line for the window and the console ("" when nothing was asked).
std::string PinholeText(const MappingOutcome& outcome);

const char* MappingProtocolName(MappingProtocol protocol);
