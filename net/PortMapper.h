#pragma once
// Keeps one TCP port of this machine open on the home router while the
// stream runs: finds the router (UPnP IGD first, NAT-PMP when no IGD
// answers), asks for the port (or one of the next few when another machine
// holds it) and for an IPv6 pinhole to the same port, renews both at half
// their lease, and removes them when stopped.
//
// Threads: the object owns one worker thread, started by the constructor.
// Every network call runs there; the constructor and Stop() return without
// waiting on the router, except Stop()'s bounded wait for the removal.
// `OnOutcome` is called on the worker thread, never after Stop() returned.

#include "net/Reachability.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

struct PortMappingOptions {
    int InternalPort = 0;
    std::chrono::seconds Lease {3600};
    int PortsToTry = 5; // the stream port and the next four
    std::chrono::milliseconds DiscoveryLimit {2000};
    std::chrono::milliseconds RemoveLimit {2000};
    // This machine's global IPv6 address: the router is asked for a pinhole
    // to it, for the same port and lease ("": none asked).
    std::string IPv6Address;
};

class PortMapper {
public:
    using OutcomeFn = std::function<void(const MappingOutcome&)>;

    PortMapper(PortMappingOptions options, OutcomeFn onOutcome);
    ~PortMapper(); // Stop()
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Removes the mapping and ends the worker, waiting at most RemoveLimit.
    // A router that does not answer in time is left to the lease's end (the
    // worker finishes on its own). Idempotent.
    void Stop();

private:
    struct State;
    std::shared_ptr<State> m_state;
};
