#pragma once
// One router protocol that can open a TCP port: found, asked for its public
// address, asked to map, asked to remove. Every call blocks on the network
// and is bounded; the port mapper calls them from its own thread only.

#include <chrono>
#include <string>

struct MapRequestResult {
    enum class Kind { Granted, Taken, OnlyPermanent, Refused };
    Kind Result = Kind::Refused;
    int ExternalPort = 0;   // granted: the port the router opened
    int LeaseSeconds = 0;   // granted: the lease the router gave (0: permanent)
    std::string Refusal;    // otherwise: the router's reason
};

// The router's answer to a request for an IPv6 pinhole: an opening in its
// firewall for one address and port of this machine.
struct PinholeRequestResult {
    enum class Kind { Opened, FirewallOff, Refused };
    Kind Result = Kind::Refused;
    std::string Id;      // opened: the router's name for the pinhole
    std::string Refusal; // refused: the router's reason
};

class PortMapProtocol {
public:
    virtual ~PortMapProtocol() = default;
    // True when a router of this protocol answered within `limit`.
    virtual bool Discover(std::chrono::milliseconds limit) = 0;
    // The router's idea of its public address ("" when it gives none).
    virtual std::string PublicAddress() = 0;
    // Asks for `externalPort` to reach `internalPort` on this machine.
    virtual MapRequestResult Map(int externalPort, int internalPort, int leaseSeconds) = 0;
    virtual void Unmap(int externalPort, int internalPort) = 0;

    // IPv6: whether the router found can open pinholes at all.
    virtual bool OffersPinholes() { return false; }
    // Lets TCP from anywhere reach `port` on `address` (a global IPv6
    // address of this machine) for `leaseSeconds`.
    virtual PinholeRequestResult OpenPinhole(const std::string& /*address*/, int /*port*/, int /*leaseSeconds*/)
    {
        return {};
    }
    // Gives the pinhole `id` another `leaseSeconds`; false when the router refused.
    virtual bool RenewPinhole(const std::string& /*id*/, int /*leaseSeconds*/) { return false; }
    virtual void ClosePinhole(const std::string& /*id*/) {}
};
