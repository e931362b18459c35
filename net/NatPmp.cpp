#include "net/NatPmp.h"

#include <natpmp.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/select.h>

struct NatPmpClient::Session {
    natpmp_t Handle {};
    bool Open = false;
    ~Session()
    {
        if (Open)
            closenatpmp(&Handle);
    }
    // Waits for the answer of the request just sent, resending as the library
    // schedules it, but never past `limit`: its own schedule runs a minute.
    int Answer(natpmpresp_t& response, std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return NATPMP_TRYAGAIN;
            timeval timeout {};
            getnatpmprequesttimeout(&Handle, &timeout);
            const long long wanted = timeout.tv_sec * 1000000LL + timeout.tv_usec;
            const long long wait = std::min<long long>(std::max<long long>(wanted, 0), left.count());
            timeout.tv_sec = static_cast<time_t>(wait / 1000000);
            timeout.tv_usec = static_cast<suseconds_t>(wait % 1000000);
            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(Handle.s, &fds);
            if (::select(Handle.s + 1, &fds, nullptr, nullptr, &timeout) < 0 && errno != EINTR)
                return NATPMP_ERR_RECVFROM;
            const int rc = readnatpmpresponseorretry(&Handle, &response);
            if (rc != NATPMP_TRYAGAIN)
                return rc;
        }
    }
};

NatPmpClient::NatPmpClient() = default;
NatPmpClient::~NatPmpClient() = default;

bool NatPmpClient::Discover(std::chrono::milliseconds limit)
{
    auto session = std::make_unique<Session>();
    if (initnatpmp(&session->Handle, 0, 0) < 0)
        return false; // no default gateway
    session->Open = true;
    if (sendpublicaddressrequest(&session->Handle) < 0)
        return false;
    natpmpresp_t response {};
    if (session->Answer(response, limit) != 0 || response.type != NATPMP_RESPTYPE_PUBLICADDRESS)
        return false;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof text);
    m_publicAddress = text;
    m_session = std::move(session);
    return true;
}

MapRequestResult NatPmpClient::Map(int externalPort, int internalPort, int leaseSeconds)
{
    MapRequestResult r;
    if (!m_session)
        return r;
    if (sendnewportmappingrequest(&m_session->Handle, NATPMP_PROTOCOL_TCP, static_cast<uint16_t>(internalPort),
                                  static_cast<uint16_t>(externalPort), static_cast<uint32_t>(leaseSeconds)) < 0) {
        r.Refusal = "NAT-PMP request not sent";
        return r;
    }
    natpmpresp_t response {};
    const int rc = m_session->Answer(response, m_limit);
    if (rc != 0) {
        r.Refusal = rc == NATPMP_TRYAGAIN ? "NAT-PMP: no answer" : "NAT-PMP error " + std::to_string(-rc);
        return r;
    }
    // The gateway picks the external port; it may not be the one asked for.
    r.Result = MapRequestResult::Kind::Granted;
    r.ExternalPort = response.pnu.newportmapping.mappedpublicport;
    r.LeaseSeconds = static_cast<int>(response.pnu.newportmapping.lifetime);
    return r;
}

void NatPmpClient::Unmap(int, int internalPort)
{
    if (!m_session)
        return;
    // A lifetime of 0 removes the mapping of the internal port.
    if (sendnewportmappingrequest(&m_session->Handle, NATPMP_PROTOCOL_TCP, static_cast<uint16_t>(internalPort), 0, 0) <
        0)
        return;
    natpmpresp_t response {};
    m_session->Answer(response, m_limit);
}
