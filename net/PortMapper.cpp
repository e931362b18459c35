#include "net/PortMapper.h"

#include "net/NatPmp.h"
#include "net/UpnpIgd.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

struct PortMapper::State {
    PortMappingOptions Options;
    std::mutex Lock;
    std::condition_variable Wake;
    bool StopAsked = false;
    bool Done = false;
    OutcomeFn OnOutcome; // cleared by Stop(): nothing is reported after it
    std::thread Worker;

    void Report(const MappingOutcome& outcome)
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (OnOutcome)
            OnOutcome(outcome);
    }
    bool StopRequested()
    {
        std::lock_guard<std::mutex> hold(Lock);
        return StopAsked;
    }
    // Sleeps until `until` or a stop; true when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point until)
    {
        std::unique_lock<std::mutex> hold(Lock);
        return Wake.wait_until(hold, until, [this] { return StopAsked; });
    }
    void Run();
};

namespace {

// Asks `protocol` for the internal port, then the next ports while the
// router says they are taken. Fills the outcome's grant or refusal.
void RequestMapping(PortMapProtocol& protocol, const PortMappingOptions& options, MappingOutcome& outcome,
                    int& leaseSeconds)
{
    for (int i = 0; i < options.PortsToTry; ++i) {
        const int wanted = options.InternalPort + i;
        if (wanted > 65535)
            break;
        MapRequestResult r = protocol.Map(wanted, options.InternalPort, leaseSeconds);
        if (r.Result == MapRequestResult::Kind::OnlyPermanent) {
            // The router keeps mappings until removed: ours goes at Stop.
            leaseSeconds = 0;
            r = protocol.Map(wanted, options.InternalPort, 0);
        }
        if (r.Result == MapRequestResult::Kind::Granted) {
            outcome.Granted = true;
            outcome.ExternalPort = r.ExternalPort;
            outcome.Permanent = r.LeaseSeconds == 0;
            outcome.Refusal.clear();
            if (r.LeaseSeconds > 0)
                leaseSeconds = r.LeaseSeconds;
            return;
        }
        outcome.Refusal = r.Refusal;
        if (r.Result != MapRequestResult::Kind::Taken)
            return;
    }
}

// Pinholes last at most a day (IGD:2); a permanent IPv4 mapping still gets
// a pinhole with a lease, renewed like any other.
int PinholeLease(const PortMappingOptions& options)
{
    return static_cast<int>(std::min<std::chrono::seconds::rep>(options.Lease.count(), 86400));
}

void RequestPinhole(PortMapProtocol& protocol, const PortMappingOptions& options, MappingOutcome& outcome,
                    std::string& id)
{
    outcome.PinholeAddress = options.IPv6Address;
    if (!protocol.OffersPinholes()) {
        outcome.Pinhole = PinholeState::NotOffered;
        return;
    }
    const PinholeRequestResult r = protocol.OpenPinhole(options.IPv6Address, options.InternalPort,
                                                        PinholeLease(options));
    switch (r.Result) {
    case PinholeRequestResult::Kind::Opened:
        outcome.Pinhole = PinholeState::Opened;
        outcome.PinholeRefusal.clear();
        id = r.Id;
        return;
    case PinholeRequestResult::Kind::FirewallOff: outcome.Pinhole = PinholeState::FirewallOff; return;
    case PinholeRequestResult::Kind::Refused:
        outcome.Pinhole = PinholeState::Refused;
        outcome.PinholeRefusal = r.Refusal;
        return;
    }
}

} // namespace

void PortMapper::State::Run()
{
    MappingOutcome outcome;
    outcome.InternalPort = Options.InternalPort;
    std::unique_ptr<PortMapProtocol> protocol;
    {
        auto upnp = std::make_unique<UpnpIgdClient>();
        if (upnp->Discover(Options.DiscoveryLimit)) {
            outcome.Protocol = MappingProtocol::Upnp;
            protocol = std::move(upnp);
        }
    }
    if (!protocol && !StopRequested()) {
        auto pmp = std::make_unique<NatPmpClient>();
        pmp->SetRequestLimit(Options.DiscoveryLimit);
        if (pmp->Discover(Options.DiscoveryLimit)) {
            outcome.Protocol = MappingProtocol::NatPmp;
            protocol = std::move(pmp);
        }
    }
    int leaseSeconds = static_cast<int>(Options.Lease.count());
    std::string pinhole; // the router's name for the open pinhole ("": none)
    if (protocol && !StopRequested()) {
        outcome.RouterAddress = protocol->PublicAddress();
        RequestMapping(*protocol, Options, outcome, leaseSeconds);
    }
    outcome.Finished = true;
    Report(outcome);
    // IPv6 needs no translation, only the router's firewall opened: asked
    // whatever became of the IPv4 port (behind a second NAT it is the way
    // in), and said once known (it may take another search for the router).
    if (protocol && !Options.IPv6Address.empty() && !StopRequested()) {
        RequestPinhole(*protocol, Options, outcome, pinhole);
        Report(outcome);
    }

    // Renew at half the shorter lease until stopped; a permanent mapping
    // alone needs none.
    while (outcome.Granted || !pinhole.empty()) {
        int period = pinhole.empty() ? 0 : PinholeLease(Options);
        if (outcome.Granted && leaseSeconds > 0 && (period == 0 || leaseSeconds < period))
            period = leaseSeconds;
        const auto renewAt = period > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(period) / 2
                                        : std::chrono::steady_clock::time_point::max();
        if (WaitUntil(renewAt))
            break;
        bool changed = false;
        if (outcome.Granted && leaseSeconds > 0) {
            const MapRequestResult r = protocol->Map(outcome.ExternalPort, Options.InternalPort, leaseSeconds);
            if (r.Result != MapRequestResult::Kind::Granted) {
                outcome.Granted = false;
                outcome.Refusal = r.Refusal;
                changed = true;
            } else if (r.LeaseSeconds > 0) {
                leaseSeconds = r.LeaseSeconds;
            }
        }
        // A pinhole the router lost (it restarted) is asked for again.
        if (!pinhole.empty() && !protocol->RenewPinhole(pinhole, PinholeLease(Options))) {
            pinhole.clear();
            RequestPinhole(*protocol, Options, outcome, pinhole);
            changed = changed || outcome.Pinhole != PinholeState::Opened;
        }
        if (changed)
            Report(outcome);
    }
    if (outcome.Granted)
        protocol->Unmap(outcome.ExternalPort, Options.InternalPort);
    if (!pinhole.empty())
        protocol->ClosePinhole(pinhole);
    std::lock_guard<std::mutex> hold(Lock);
    Done = true;
    Wake.notify_all();
}

PortMapper::PortMapper(PortMappingOptions options, OutcomeFn onOutcome) : m_state(std::make_shared<State>())
{
    m_state->Options = options;
    m_state->OnOutcome = std::move(onOutcome);
    // The thread holds the state too: a worker left behind by Stop() (a
    // router that does not answer) finishes on its own.
    m_state->Worker = std::thread([state = m_state] { state->Run(); });
}

PortMapper::~PortMapper() { Stop(); }

void PortMapper::Stop()
{
    if (!m_state->Worker.joinable())
        return;
    bool done = false;
    {
        std::unique_lock<std::mutex> hold(m_state->Lock);
        m_state->StopAsked = true;
        m_state->OnOutcome = nullptr;
        m_state->Wake.notify_all();
        done = m_state->Wake.wait_for(hold, m_state->Options.RemoveLimit, [this] { return m_state->Done; });
    }
    if (done)
        m_state->Worker.join();
    else
        m_state->Worker.detach();
}
