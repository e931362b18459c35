#include "platform/wmf/ViewerGate.h"
#include "platform/wmf/PeerAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

using viewerauth::Authorization;
using viewerauth::Clock;
using viewerauth::Verdict;

namespace {

constexpr size_t kMaxReports = 64;

std::string Refusal(int code, std::string_view reason, std::string_view extra, std::string_view body, bool headOnly)
{
    std::string r = "HTTP/1.1 " + std::to_string(code) + " " + std::string(reason) + "\r\nServer: Rex/9.0\r\n";
    r += extra;
    r += "Content-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (!headOnly)
        r += body;
    return r;
}

// The networks of the interfaces that are up, loopback's included: an
// address and its mask each, IPv4 as IPv4-mapped IPv6 (mask bits to match).
std::vector<ViewerGate::Network> InterfaceNetworks()
{
    std::vector<ViewerGate::Network> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask)
            continue;
        ViewerGate::Network n{};
        if (i->ifa_addr->sa_family == AF_INET) {
            n.address[10] = n.address[11] = 0xFF;
            std::memset(n.mask.data(), 0xFF, 12);
            std::memcpy(n.address.data() + 12, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
            std::memcpy(n.mask.data() + 12, &reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr, 4);
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            std::memcpy(n.address.data(), &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, 16);
            std::memcpy(n.mask.data(), &reinterpret_cast<const sockaddr_in6*>(i->ifa_netmask)->sin6_addr, 16);
        } else {
            continue;
        }
        out.push_back(n);
    }
    freeifaddrs(list);
    return out;
}

// `host` as an IPv6 address (IPv4 as IPv4-mapped); false when it is no address.
bool ParseHost(const std::string& host, std::array<uint8_t, 16>* out)
{
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        out->fill(0);
        (*out)[10] = (*out)[11] = 0xFF;
        std::memcpy(out->data() + 12, &v4, 4);
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1)
        return false;
    std::memcpy(out->data(), &v6, 16);
    return true;
}

bool IsLoopback(const std::array<uint8_t, 16>& a)
{
    static const std::array<uint8_t, 16> v6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const bool mapped = std::all_of(a.begin(), a.begin() + 10, [](uint8_t b) { return b == 0; }) && a[10] == 0xFF && a[11] == 0xFF;
    return a == v6Loopback || (mapped && a[12] == 127);
}

} // namespace

std::string_view LinkTokenOf(std::string_view target)
{
    const size_t question = target.find('?');
    if (question == std::string_view::npos)
        return {};
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.substr(0, 2) == "k=")
            return pair.substr(2);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    }
    return {};
}

std::string FailedLoginsText(const FailedLogins& report)
{
    return std::to_string(report.count) + " failed logins from " + report.address;
}

ViewerGate::ViewerGate(ViewerGateOptions options) : m_options(options), m_nonces(std::make_unique<viewerauth::NonceKeeper>()) {}

void ViewerGate::SetCredentials(viewerauth::StoredCredentials credentials)
{
    std::lock_guard lock(m_lock);
    m_credentials = std::move(credentials);
}

void ViewerGate::SetLinkToken(std::string token)
{
    std::lock_guard lock(m_lock);
    m_token = std::move(token);
}

void ViewerGate::SetScope(ListenScope scope)
{
    std::lock_guard lock(m_lock);
    m_scope = scope;
    if (scope == ListenScope::Lan)
        m_lans = InterfaceNetworks();
}

bool ViewerGate::InScope(const std::string& host) const
{
    if (m_scope == ListenScope::All)
        return true;
    std::array<uint8_t, 16> peer{};
    if (!ParseHost(host, &peer))
        return false;
    if (IsLoopback(peer))
        return true;
    if (m_scope == ListenScope::Local)
        return false;
    return std::any_of(m_lans.begin(), m_lans.end(), [&peer](const Network& lan) {
        for (size_t i = 0; i < 16; ++i)
            if ((peer[i] & lan.mask[i]) != (lan.address[i] & lan.mask[i]))
                return false;
        return true;
    });
}

std::vector<FailedLogins> ViewerGate::TakeFailedLogins()
{
    std::lock_guard lock(m_lock);
    std::vector<FailedLogins> out(m_reports.begin(), m_reports.end());
    m_reports.clear();
    return out;
}

void ViewerGate::Opened()
{
    // Nonces of an earlier start are not honoured.
    std::lock_guard lock(m_lock);
    m_nonces = std::make_unique<viewerauth::NonceKeeper>();
    if (m_scope == ListenScope::Lan)
        m_lans = InterfaceNetworks();
}

std::optional<std::string> ViewerGate::Check(const wmhttp::Request& request, const std::string& peerHost, bool headOnly)
{
    std::lock_guard lock(m_lock);
    if (!InScope(peerHost))
        return Refusal(403, "Forbidden", {}, "<!DOCTYPE html>\n<title>403 Forbidden</title>\n<h1>Not served to your network</h1>\n",
            headOnly);
    if (m_credentials.Empty())
        return std::nullopt;
    const auto now = Clock::now();
    const std::string group = peeraddr::GroupOf(peerHost);
    Address& address = Remember(group, now);
    if (now < address.lockedUntil) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(address.lockedUntil - now + std::chrono::milliseconds(999));
        return Refusal(429, "Too Many Requests", "Retry-After: " + std::to_string(std::max<long long>(1, left.count())) + "\r\n",
            "<!DOCTYPE html>\n<title>429 Too Many Requests</title>\n<h1>Too many failed logins</h1>\n"
            "<p>Try again in a minute.</p>\n", headOnly);
    }
    switch (Judge(request, m_credentials, m_token, now)) {
    case Outcome::Admit: return std::nullopt;
    case Outcome::Ask: return Challenge(false, headOnly, now);
    case Outcome::AskStale: return Challenge(true, headOnly, now);
    case Outcome::Fail: break;
    }
    auto& failures = address.failures;
    while (!failures.empty() && now - failures.front() > m_options.failureWindow)
        failures.pop_front();
    failures.push_back(now);
    if (static_cast<int>(failures.size()) >= m_options.maxFailures) {
        address.lockedUntil = now + m_options.lockout;
        if (m_reports.size() == kMaxReports)
            m_reports.pop_front();
        m_reports.push_back({group, static_cast<int>(failures.size())});
        failures.clear();
    }
    return Challenge(false, headOnly, now);
}

ViewerGate::Outcome ViewerGate::Judge(const wmhttp::Request& request, const viewerauth::StoredCredentials& credentials,
    const std::string& token, Clock::time_point now) const
{
    if (const std::string_view given = LinkTokenOf(request.target); !given.empty())
        return !token.empty() && viewerauth::SameSecret(given, token) ? Outcome::Admit : Outcome::Fail;
    const std::string header = request.Header("Authorization");
    if (header.empty())
        return Outcome::Ask;
    Authorization credential;
    if (!viewerauth::ParseAuthorization(header, &credential))
        return Outcome::Fail;
    const auto offer = m_options.offer;
    if (credential.scheme == Authorization::Scheme::Basic && offer != ViewerGateOptions::Offer::DigestOnly)
        return viewerauth::CheckBasic(credential, credentials) == Verdict::Admitted ? Outcome::Admit : Outcome::Fail;
    if (credential.scheme == Authorization::Scheme::Digest && offer != ViewerGateOptions::Offer::BasicOnly) {
        switch (viewerauth::CheckDigest(credential, request.method, request.target, credentials, *m_nonces, now,
            m_options.nonceLifetime)) {
        case Verdict::Admitted: return Outcome::Admit;
        case Verdict::Stale: return Outcome::AskStale;
        case Verdict::Rejected: return Outcome::Fail;
        }
    }
    // A scheme not offered proves nothing and guesses nothing.
    return Outcome::Ask;
}

std::string ViewerGate::Challenge(bool stale, bool headOnly, Clock::time_point now) const
{
    // The strongest first, as clients take the first they support; Basic
    // last, for clients that know nothing else.
    std::string headers;
    if (m_options.offer != ViewerGateOptions::Offer::BasicOnly) {
        const std::string nonce = m_nonces->Make(now);
        for (const auto algorithm : {viewerauth::DigestAlgorithm::SHA256, viewerauth::DigestAlgorithm::MD5})
            headers += "WWW-Authenticate: Digest realm=\"" + std::string(viewerauth::kRealm) + "\", qop=\"auth\", algorithm="
                + std::string(viewerauth::AlgorithmName(algorithm)) + ", nonce=\"" + nonce + "\""
                + (stale ? ", stale=true" : "") + "\r\n";
    }
    if (m_options.offer != ViewerGateOptions::Offer::DigestOnly)
        headers += "WWW-Authenticate: Basic realm=\"" + std::string(viewerauth::kRealm) + "\", charset=\"UTF-8\"\r\n";
    return Refusal(401, "Unauthorized", headers,
        "<!DOCTYPE html>\n<title>401 Unauthorized</title>\n<h1>This stream needs a password</h1>\n"
        "<p>Ask whoever runs it for the password or a private link.</p>\n", headOnly);
}

ViewerGate::Address& ViewerGate::Remember(const std::string& host, Clock::time_point now)
{
    auto it = m_addresses.find(host);
    if (it == m_addresses.end()) {
        if (m_addresses.size() >= m_options.maxAddresses) {
            auto oldest = std::min_element(m_addresses.begin(), m_addresses.end(),
                [](const auto& a, const auto& b) { return a.second.lastSeen < b.second.lastSeen; });
            m_addresses.erase(oldest);
        }
        it = m_addresses.emplace(host, Address{}).first;
    }
    it->second.lastSeen = now;
    return it->second;
}
