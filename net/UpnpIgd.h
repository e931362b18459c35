#pragma once
// UPnP Internet Gateway Device client over libminiupnpc: WANIPConnection for
// the IPv4 port, WANIPv6FirewallControl (IGD:2) for the IPv6 pinhole.

#include "net/PortMapProtocol.h"

#include <memory>

class UpnpIgdClient : public PortMapProtocol {
public:
    UpnpIgdClient();
    ~UpnpIgdClient() override;

    bool Discover(std::chrono::milliseconds limit) override;
    std::string PublicAddress() override;
    MapRequestResult Map(int externalPort, int internalPort, int leaseSeconds) override;
    void Unmap(int externalPort, int internalPort) override;

    bool OffersPinholes() override;
    PinholeRequestResult OpenPinhole(const std::string& address, int port, int leaseSeconds) override;
    bool RenewPinhole(const std::string& id, int leaseSeconds) override;
    void ClosePinhole(const std::string& id) override;

private:
    struct Igd;
    PinholeRequestResult AskForPinhole(Igd& igd, const std::string& address, int port, int leaseSeconds);

    std::chrono::milliseconds m_limit {2000};
    std::unique_ptr<Igd> m_igd;  // found over IPv4: the port mapping
    std::unique_ptr<Igd> m_igd6; // the same router found over IPv6, when asked for a pinhole there
    bool m_triedIPv6 = false;
    Igd* m_pinholeIgd = nullptr; // the one that opened the pinhole
};
