#include "platform/wmf/PeerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace peeraddr {

namespace {

std::string Text(int family, const void* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    return inet_ntop(family, address, text, sizeof text) ? std::string(text) : std::string();
}

} // namespace

PeerText Describe(const sockaddr_storage& addr)
{
    PeerText out;
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        out.host = Text(AF_INET, &in.sin_addr);
        out.address = out.host + ":" + std::to_string(ntohs(in.sin_port));
    } else if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        const std::string port = std::to_string(ntohs(in6.sin6_port));
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            out.host = Text(AF_INET, in6.sin6_addr.s6_addr + 12);
            out.address = out.host + ":" + port;
        } else {
            out.host = Text(AF_INET6, &in6.sin6_addr);
            out.address = "[" + out.host + "]:" + port;
        }
    }
    return out;
}

std::string GroupOf(const std::string& host)
{
    in6_addr a{};
    if (host.find(':') == std::string::npos || inet_pton(AF_INET6, host.c_str(), &a) != 1)
        return host;
    if (IN6_IS_ADDR_V4MAPPED(&a))
        return Text(AF_INET, a.s6_addr + 12);
    if (IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_LINKLOCAL(&a))
        return Text(AF_INET6, &a);
    std::memset(a.s6_addr + 8, 0, 8);
    return Text(AF_INET6, &a) + "/64";
}

std::string UrlHost(const std::string& host)
{
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

} // namespace peeraddr
