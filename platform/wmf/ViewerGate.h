#pragma once
// Who may watch: the network sink's gate (SinkGate.h) for a stream port
// that needs a password. With no password set it admits everyone and
// changes nothing. With one, a request is served only when it proves the
// password (HTTP Digest with SHA-256 or MD5 and qop=auth, or Basic) or
// carries the private link's token (?k=TOKEN); anything else gets 401 with
// the challenges. An address that fails too often within the failure
// window gets 429 for the lockout time, whatever it sends meanwhile; an
// IPv6 address counts with the rest of its /64 (peeraddr::GroupOf).
//
// Threads: the setters and TakeFailedLogins may be called from any thread;
// the gate's own calls come from the sink (see SinkGate.h).

#include "platform/wmf/SinkGate.h"
#include "platform/wmf/ViewerAuth.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct ViewerGateOptions {
    // The schemes a 401 offers (tests force one; players then use it).
    enum class Offer { DigestAndBasic, DigestOnly, BasicOnly };
    Offer offer = Offer::DigestAndBasic;
    // A Digest nonce is good this long; after it the client is asked again
    // (stale=true) without retyping anything.
    std::chrono::milliseconds nonceLifetime{300000};
    // This many failed attempts from one address within the window lock
    // that address out for the lockout time.
    int maxFailures = 5;
    std::chrono::milliseconds failureWindow{60000};
    std::chrono::milliseconds lockout{60000};
    // Addresses remembered at most; the one seen longest ago goes first.
    size_t maxAddresses = 256;
};

// An address locked out after `count` failed attempts (for IPv6 the /64
// it belongs to, "2001:db8:1:2::/64").
struct FailedLogins {
    std::string address;
    int count = 0;
};

// Whom the port serves at all, whatever the password: everyone, peers on
// the networks of this machine's interfaces, IPv4 and IPv6 (and loopback,
// 127.0.0.0/8 and ::1), or this machine by loopback alone.
enum class ListenScope { All, Lan, Local };

// "N failed logins from ADDRESS"
std::string FailedLoginsText(const FailedLogins& report);

// The value of the private link's "k" parameter in a request target's
// query ("/watch?k=TOKEN"), or empty.
std::string_view LinkTokenOf(std::string_view target);

class ViewerGate final : public ISinkGate {
public:
    explicit ViewerGate(ViewerGateOptions options = {});

    // The stored password (empty: anyone may watch).
    void SetCredentials(viewerauth::StoredCredentials credentials);
    // The private link's token (empty: no link admits).
    void SetLinkToken(std::string token);
    // Peers outside the scope get 403 (the LAN is looked up again at each
    // start of the server).
    void SetScope(ListenScope scope);
    // Lockouts since the last call, oldest first.
    std::vector<FailedLogins> TakeFailedLogins();

    // A network of an interface: an IPv6 address (IPv4 ones mapped) and its mask.
    struct Network {
        std::array<uint8_t, 16> address{};
        std::array<uint8_t, 16> mask{};
    };

    // ---- ISinkGate ----
    void Opened() override;
    std::optional<std::string> Check(const wmhttp::Request& request, const std::string& peerHost, bool headOnly) override;

private:
    struct Address {
        std::deque<viewerauth::Clock::time_point> failures; // within the window
        viewerauth::Clock::time_point lockedUntil{};
        viewerauth::Clock::time_point lastSeen{};
    };

    enum class Outcome { Admit, Ask, AskStale, Fail };
    Outcome Judge(const wmhttp::Request& request, const viewerauth::StoredCredentials& credentials,
        const std::string& token, viewerauth::Clock::time_point now) const;
    std::string Challenge(bool stale, bool headOnly, viewerauth::Clock::time_point now) const;
    Address& Remember(const std::string& host, viewerauth::Clock::time_point now);
    bool InScope(const std::string& host) const;

    const ViewerGateOptions m_options;

    mutable std::mutex m_lock; // everything below
    viewerauth::StoredCredentials m_credentials;
    std::string m_token;
    ListenScope m_scope = ListenScope::All;
    std::vector<Network> m_lans;
    std::unique_ptr<viewerauth::NonceKeeper> m_nonces;
    std::map<std::string, Address> m_addresses;
    std::deque<FailedLogins> m_reports;
};
