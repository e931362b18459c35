#pragma once
// UPnP Internet Gateway Device client (WANIPConnection) over libminiupnpc.

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

private:
    struct Igd;
    std::unique_ptr<Igd> m_igd;
};
