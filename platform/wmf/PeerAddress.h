#pragma once
// Addresses of the stream port's peers as text, and the groups that the
// port's per-address limits count by.
//
// The port listens on one dual-stack socket, so an IPv4 viewer arrives as an
// IPv4-mapped IPv6 address (::ffff:192.0.2.7). Such an address is written
// and counted as the plain IPv4 address it stands for: a viewer is the same
// peer whichever socket family carried it.

#include <string>

#include <sys/socket.h>

namespace peeraddr {

struct PeerText {
    std::string host;    // the address alone: dotted IPv4, or compressed IPv6 without brackets
    std::string address; // "host:port", IPv6 as "[host]:port"
};

// Empty texts for a family other than IPv4 and IPv6.
PeerText Describe(const sockaddr_storage& addr);

// The key under which the per-address limits (pending connections, failed
// logins) count `host`. An IPv4 address is its own group. A global or
// unique-local IPv6 address counts by its /64 ("2001:db8:1:2::/64"): one
// subscriber is given at least a /64 and can use any address in it, so a
// per-address count would never stop anyone. Loopback and link-local IPv6
// addresses (never reached from outside the link) count one by one. Text
// that is no address is its own group.
std::string GroupOf(const std::string& host);

// `host` as a URL authority writes it: IPv6 in brackets.
std::string UrlHost(const std::string& host);

} // namespace peeraddr
