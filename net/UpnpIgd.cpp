#include "net/UpnpIgd.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <cstring>
#include <string>

namespace {
constexpr int kConflictInMappingEntry = 718;
constexpr int kOnlyPermanentLeasesSupported = 725;
constexpr const char* kDescription = "Lumora stream";
constexpr const char* kProtocolTcp = "6"; // pinholes name the protocol by its IP number

std::string UpnpRefusal(int rc)
{
    const char* text = strupnperror(rc);
    return "UPnP error " + std::to_string(rc) + (text ? std::string(" (") + text + ")" : std::string());
}
} // namespace

struct UpnpIgdClient::Igd {
    UPNPUrls Urls {};
    IGDdatas Data {};
    char LanAddress[64] = {};
    ~Igd() { FreeUPNPUrls(&Urls); }
    const char* Control() const { return Urls.controlURL; }
    const char* Service() const { return Data.first.servicetype; }
    const char* FirewallControl() const { return Urls.controlURL_6FC; }
    const char* FirewallService() const { return Data.IPv6FC.servicetype; }
    bool OffersPinholes() const { return FirewallControl() && *FirewallControl() && *FirewallService(); }
};

UpnpIgdClient::UpnpIgdClient() = default;
UpnpIgdClient::~UpnpIgdClient() = default;

namespace {

// The first gateway that answers discovery within `limit`, over IPv4 or
// (ff02::c) IPv6; null when none does.
template <class Igd>
std::unique_ptr<Igd> FindGateway(std::chrono::milliseconds limit, bool ipv6)
{
    int error = 0;
    UPNPDev* devices = upnpDiscover(static_cast<int>(limit.count()), nullptr, nullptr, UPNP_LOCAL_PORT_ANY,
                                    ipv6 ? 1 : 0, 2, &error);
    if (!devices)
        return nullptr;
    auto igd = std::make_unique<Igd>();
    // 1: a connected gateway, 2: a gateway that says it is not connected
    // (still asked: it may map all the same, and its answer is the diagnosis).
    const int found = UPNP_GetValidIGD(devices, &igd->Urls, &igd->Data, igd->LanAddress, sizeof igd->LanAddress);
    freeUPNPDevlist(devices);
    if (found != 1 && found != 2)
        return nullptr;
    return igd;
}

} // namespace

bool UpnpIgdClient::Discover(std::chrono::milliseconds limit)
{
    m_limit = limit;
    m_igd = FindGateway<Igd>(limit, false);
    return m_igd != nullptr;
}

std::string UpnpIgdClient::PublicAddress()
{
    if (!m_igd)
        return {};
    char address[40] = {};
    if (UPNP_GetExternalIPAddress(m_igd->Control(), m_igd->Service(), address) != UPNPCOMMAND_SUCCESS)
        return {};
    return address;
}

MapRequestResult UpnpIgdClient::Map(int externalPort, int internalPort, int leaseSeconds)
{
    MapRequestResult r;
    if (!m_igd)
        return r;
    const std::string ext = std::to_string(externalPort);
    const std::string in = std::to_string(internalPort);
    // A port the router already gives to another machine (or to another
    // program here) is taken; our own earlier mapping is simply renewed.
    char client[40] = {}, clientPort[6] = {}, desc[80] = {}, enabled[4] = {}, lease[16] = {};
    if (UPNP_GetSpecificPortMappingEntry(m_igd->Control(), m_igd->Service(), ext.c_str(), "TCP", nullptr, client,
                                         clientPort, desc, enabled, lease) == UPNPCOMMAND_SUCCESS &&
        (std::strcmp(client, m_igd->LanAddress) != 0 || in != clientPort)) {
        r.Result = MapRequestResult::Kind::Taken;
        r.Refusal = std::string("port ") + ext + " is mapped to " + client + ":" + clientPort;
        return r;
    }
    const std::string leaseText = std::to_string(leaseSeconds);
    const int rc = UPNP_AddPortMapping(m_igd->Control(), m_igd->Service(), ext.c_str(), in.c_str(),
                                       m_igd->LanAddress, kDescription, "TCP", nullptr, leaseText.c_str());
    if (rc == UPNPCOMMAND_SUCCESS) {
        r.Result = MapRequestResult::Kind::Granted;
        r.ExternalPort = externalPort;
        r.LeaseSeconds = leaseSeconds;
        return r;
    }
    r.Result = rc == kConflictInMappingEntry          ? MapRequestResult::Kind::Taken
               : rc == kOnlyPermanentLeasesSupported ? MapRequestResult::Kind::OnlyPermanent
                                                      : MapRequestResult::Kind::Refused;
    r.Refusal = UpnpRefusal(rc);
    return r;
}

void UpnpIgdClient::Unmap(int externalPort, int)
{
    if (!m_igd)
        return;
    const std::string ext = std::to_string(externalPort);
    UPNP_DeletePortMapping(m_igd->Control(), m_igd->Service(), ext.c_str(), "TCP", nullptr);
}

bool UpnpIgdClient::OffersPinholes() { return m_igd && m_igd->OffersPinholes(); }

PinholeRequestResult UpnpIgdClient::OpenPinhole(const std::string& address, int port, int leaseSeconds)
{
    PinholeRequestResult r;
    if (!OffersPinholes())
        return r;
    r = AskForPinhole(*m_igd, address, port, leaseSeconds);
    if (r.Result == PinholeRequestResult::Kind::Refused) {
        // A router that guards its firewall grants a pinhole only to the
        // address that asks for it, that is, only when asked over IPv6.
        if (!m_igd6 && !m_triedIPv6) {
            m_triedIPv6 = true;
            m_igd6 = FindGateway<Igd>(m_limit, true);
        }
        if (m_igd6 && m_igd6->OffersPinholes()) {
            PinholeRequestResult again = AskForPinhole(*m_igd6, address, port, leaseSeconds);
            if (again.Result != PinholeRequestResult::Kind::Refused)
                return again;
        }
    }
    return r;
}

PinholeRequestResult UpnpIgdClient::AskForPinhole(Igd& igd, const std::string& address, int port, int leaseSeconds)
{
    PinholeRequestResult r;
    // A router whose firewall lets everything in needs no pinhole; one that
    // says it allows none is not asked (a router that cannot tell is).
    int enabled = 0, allowed = 0;
    if (UPNP_GetFirewallStatus(igd.FirewallControl(), igd.FirewallService(), &enabled, &allowed) ==
        UPNPCOMMAND_SUCCESS) {
        if (!enabled) {
            r.Result = PinholeRequestResult::Kind::FirewallOff;
            return r;
        }
        if (!allowed) {
            r.Refusal = "the router allows no inbound pinholes";
            return r;
        }
    }
    const std::string portText = std::to_string(port);
    const std::string leaseText = std::to_string(leaseSeconds);
    char id[16] = {};
    // Any remote address and port: the viewers are anywhere.
    const int rc = UPNP_AddPinhole(igd.FirewallControl(), igd.FirewallService(), "", "0", address.c_str(),
                                   portText.c_str(), kProtocolTcp, leaseText.c_str(), id);
    if (rc != UPNPCOMMAND_SUCCESS || !*id) {
        r.Refusal = rc != UPNPCOMMAND_SUCCESS ? UpnpRefusal(rc) : "the router named no pinhole";
        return r;
    }
    r.Result = PinholeRequestResult::Kind::Opened;
    r.Id = id;
    m_pinholeIgd = &igd;
    return r;
}

bool UpnpIgdClient::RenewPinhole(const std::string& id, int leaseSeconds)
{
    if (!m_pinholeIgd)
        return false;
    const std::string leaseText = std::to_string(leaseSeconds);
    return UPNP_UpdatePinhole(m_pinholeIgd->FirewallControl(), m_pinholeIgd->FirewallService(), id.c_str(),
                              leaseText.c_str()) == UPNPCOMMAND_SUCCESS;
}

void UpnpIgdClient::ClosePinhole(const std::string& id)
{
    if (m_pinholeIgd)
        UPNP_DeletePinhole(m_pinholeIgd->FirewallControl(), m_pinholeIgd->FirewallService(), id.c_str());
}
