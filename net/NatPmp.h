#pragma once
// NAT-PMP client (RFC 6886) over libnatpmp, asking the default gateway.

#include "net/PortMapProtocol.h"

#include <chrono>
#include <memory>

class NatPmpClient : public PortMapProtocol {
public:
    NatPmpClient();
    ~NatPmpClient() override;

    bool Discover(std::chrono::milliseconds limit) override;
    std::string PublicAddress() override { return m_publicAddress; }
    MapRequestResult Map(int externalPort, int internalPort, int leaseSeconds) override;
    void Unmap(int externalPort, int internalPort) override;

    // How long one request waits for its answer, resends included.
    void SetRequestLimit(std::chrono::milliseconds limit) { m_limit = limit; }

private:
    struct Session;
    std::unique_ptr<Session> m_session;
    std::string m_publicAddress;
    std::chrono::milliseconds m_limit {2000};
};
