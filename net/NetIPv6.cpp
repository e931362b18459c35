#include "net/NetIPv6.h"

#include "net/NetStack.h"
#include "platform/core/Text.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;

bool ParseIPv6(const std::string& text, in6_addr* out) { return inet_pton(AF_INET6, text.c_str(), out) == 1; }

std::string Compressed(const in6_addr& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET6, &address, text, sizeof text) ? std::string(text) : std::string();
}

// Closes a descriptor when the request ends, however it ends.
struct Socket {
    int fd = -1;
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int MillisecondsLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 100)) : 0;
}

// Waits in short slices for `events` on `fd`, so a cancel is seen soon.
void Wait(int fd, short events, Clock::time_point end, const std::atomic<bool>* cancel, const std::string& url)
{
    for (;;) {
        if (cancel && *cancel)
            throw ENetException("The request to " + url + " was cancelled.");
        const int slice = MillisecondsLeft(end);
        if (slice == 0)
            throw ENetException("The request to " + url + " timed out.");
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, slice);
        if (n > 0)
            return;
        if (n < 0 && errno != EINTR)
            throw ENetException("The request to " + url + " failed: " + std::strerror(errno));
    }
}

} // namespace

bool IsPublicIPv6(const std::string& text)
{
    in6_addr a{};
    if (text.find(':') == std::string::npos || !ParseIPv6(text, &a))
        return false;
    // Global unicast is 2000::/3; everything else (loopback, mapped, link-
    // local, unique-local, multicast, unspecified) is out of that range.
    return (a.s6_addr[0] & 0xE0) == 0x20;
}

std::string EchoAnswerAddressField(const std::string& body)
{
    const size_t found = body.find("Address:");
    if (found == std::string::npos)
        return {};
    std::string text;
    for (size_t i = found + 9; i < body.size() && body[i] != '<'; ++i)
        text += body[i];
    return asciitext::Trim(text);
}

std::string PublicIPv6FromEchoAnswer(const std::string& body)
{
    const std::string text = EchoAnswerAddressField(body);
    in6_addr a{};
    return IsPublicIPv6(text) && ParseIPv6(text, &a) ? Compressed(a) : std::string();
}

std::string GlobalIPv6Address()
{
    // Each line: address (32 hex digits), interface index, prefix length,
    // scope, flags (IFA_F_*), interface name; all hexadecimal.
    constexpr unsigned kTemporary = 0x01, kDadFailed = 0x08, kDeprecated = 0x20, kTentative = 0x40;
    // The calling thread's own view: a thread may live in a network
    // namespace of its own.
    std::ifstream in("/proc/thread-self/net/if_inet6");
    if (!in)
        in.open("/proc/net/if_inet6");
    std::string line, stable, temporary;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string hex, index, prefix, scope, flagsText, name;
        if (!(fields >> hex >> index >> prefix >> scope >> flagsText >> name) || hex.size() != 32)
            continue;
        in6_addr a{};
        bool ok = true;
        for (size_t i = 0; i < 16 && ok; ++i) {
            char* end = nullptr;
            const std::string byte = hex.substr(i * 2, 2);
            a.s6_addr[i] = static_cast<uint8_t>(std::strtoul(byte.c_str(), &end, 16));
            ok = end && *end == '\0';
        }
        const unsigned flags = static_cast<unsigned>(std::strtoul(flagsText.c_str(), nullptr, 16));
        const std::string text = Compressed(a);
        if (!ok || !IsPublicIPv6(text) || (flags & (kDadFailed | kDeprecated | kTentative)))
            continue;
        if (flags & kTemporary) {
            if (temporary.empty())
                temporary = text;
        } else if (stable.empty()) {
            stable = text;
        }
    }
    return stable.empty() ? temporary : stable;
}

std::string BodyOfHttpReply(const std::string& reply, const std::string& url, size_t limit)
{
    const size_t headEnd = reply.find("\r\n\r\n");
    if (reply.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos)
        throw ENetException("No HTTP answer from " + url);
    const std::string statusLine = reply.substr(0, reply.find("\r\n"));
    const size_t blank = statusLine.find(' ');
    if (blank == std::string::npos || statusLine.size() < blank + 4 || statusLine[blank + 1] != '2')
        throw ENetException(url + " answered " + (blank == std::string::npos ? statusLine : statusLine.substr(blank + 1)));
    if (reply.size() - headEnd - 4 > limit)
        throw ENetException("The answer of " + url + " is too large.");
    return reply.substr(headEnd + 4);
}

std::string HttpGetOverIPv6(const std::string& url, std::chrono::milliseconds timeout, size_t limit,
                            const std::atomic<bool>* cancel)
{
    const auto end = Clock::now() + timeout;
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        throw ENetException("Only http:// is supported for the echo over IPv6: " + url);
    std::string rest = url.substr(scheme.size());
    const size_t slash = rest.find('/');
    const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    const std::string authority = rest.substr(0, slash);
    std::string host, port = "80";
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            throw ENetException("Not an address: " + url);
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                throw ENetException("Not an address: " + url);
            port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5)
        throw ENetException("Not an address: " + url);

    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0 || !found)
        throw ENetException("No IPv6 address for " + host + (rc ? std::string(": ") + gai_strerror(rc) : std::string()));
    sockaddr_in6 target{};
    std::memcpy(&target, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof target));
    ::freeaddrinfo(found);

    Socket s;
    s.fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.fd < 0)
        throw ENetException("No IPv6 socket: " + std::string(std::strerror(errno)));
    if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        if (errno != EINPROGRESS)
            throw ENetException("Cannot connect to " + url + ": " + std::strerror(errno));
        Wait(s.fd, POLLOUT, end, cancel, url);
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            throw ENetException("Cannot connect to " + url + ": " + std::strerror(error));
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + authority +
                                "\r\nUser-Agent: Mozilla/3.0 (compatible; Lumora)\r\nAccept: text/html, */*\r\n"
                                "Connection: close\r\n\r\n";
    for (size_t sent = 0; sent < request.size();) {
        Wait(s.fd, POLLOUT, end, cancel, url);
        const ssize_t n = ::send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw ENetException("The request to " + url + " failed: " + std::strerror(errno));
        if (n > 0)
            sent += static_cast<size_t>(n);
    }
    // Head and body: the head is small, the body at most `limit`.
    const size_t most = limit + 16 * 1024;
    std::string reply;
    char buffer[4096];
    for (;;) {
        Wait(s.fd, POLLIN, end, cancel, url);
        const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            throw ENetException("The request to " + url + " failed: " + std::strerror(errno));
        }
        reply.append(buffer, static_cast<size_t>(n));
        if (reply.size() > most)
            throw ENetException("The answer of " + url + " is too large.");
    }
    return BodyOfHttpReply(reply, url, limit);
}
