#include "platform/wmf/ConnectionServer.h"
#include "platform/wmf/PeerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace wmsink {

namespace {

// Hard limit of queued bytes per client, whatever their age.
constexpr size_t kMaxQueuedBytes = 16u << 20;
// Connections that have not yet sent a complete request, in all and from
// one address. A newcomer over either limit closes the oldest such
// connection (of its own address first): idle connections can never lock
// new viewers out.
constexpr size_t kMaxPendingConnections = 64;
constexpr size_t kMaxPendingPerHost = 16;
// A client that sends more than this after its request is dropped rather
// than read for ever.
constexpr size_t kMaxTrailingBytes = 64 * 1024;
constexpr int kSendBuffer = 64 * 1024;
constexpr size_t kMaxViewerChanges = 256;

peeraddr::PeerText PeerOf(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? peeraddr::Describe(addr) : peeraddr::PeerText();
}

// A listening socket on every local address on `port`: IPv6 and IPv4 on one
// dual-stack socket, or IPv4 alone where the system has no IPv6 (no
// support for the family, no :: to bind, no dual-stack socket). The port
// taken by another program is an error either way. -1 with errno set on
// failure.
int ListenOn(uint16_t port)
{
    const int one = 1, zero = 0;
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
        sockaddr_in6 any6{};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(port);
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) == 0
            && bind(fd, reinterpret_cast<sockaddr*>(&any6), sizeof any6) == 0)
            return listen(fd, 32) == 0 ? fd : (::close(fd), -1);
        const int e = errno;
        ::close(fd);
        if (e == EADDRINUSE || e == EACCES) {
            errno = e;
            return -1;
        }
    }
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || listen(fd, 32) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

uint16_t BoundPort(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port)
                                      : ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

} // namespace

// ---- Connection ------------------------------------------------------------------

void Connection::Send(std::string bytes) { Send(std::move(bytes), nullptr); }

void Connection::Send(std::string head, SharedBytes body)
{
    Chunk chunk;
    chunk.head = std::move(head);
    chunk.body = std::move(body);
    chunk.queued = Clock::now();
    queuedBytes += chunk.Size();
    queue.push_back(std::move(chunk));
}

void Connection::Finish()
{
    state = ConnectionState::Closing;
    input.clear();
}

void Connection::Refuse(int code, const char* reason)
{
    const std::string body = std::to_string(code) + " " + reason + "\r\n";
    Send("HTTP/1.0 " + std::to_string(code) + " " + reason + "\r\nServer: Rex/9.0\r\nContent-Type: text/plain\r\n"
        "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + (headOnly ? "" : body));
    Finish();
}

bool Connection::TakeViewerSlot(ViewerKind kind)
{
    if (counted)
        return true;
    if (!m_server || m_server->Full())
        return false;
    m_server->CountViewer(*this, kind);
    return true;
}

std::string Connection::LocalAddress() const
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const std::string host = getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? peeraddr::Describe(addr).host : std::string();
    return host.empty() ? "localhost" : peeraddr::UrlHost(host);
}

void Connection::KeepQueueShort() { m_shortQueue = true; }

bool Connection::Sending() const
{
    // Bytes the system has taken but the peer has not yet acknowledged count
    // too: on a slow link they would otherwise pile up in the system's and
    // the link's queues, pictures old before they arrive.
    return !queue.empty() || (m_shortQueue && Unacknowledged() > 0);
}

int Connection::Unacknowledged() const
{
    int bytes = 0;
    return fd >= 0 && ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : 0;
}

bool Connection::Stalled(Clock::time_point now, std::chrono::milliseconds limit)
{
    if (!queue.empty())
        return now - queue.front().queued > limit;
    if (!m_shortQueue)
        return false;
    // The bytes on their way must keep falling.
    const int pending = Unacknowledged();
    if (pending == 0 || pending < m_pending)
        m_progressAt = now;
    m_pending = pending;
    return pending > 0 && now - m_progressAt > limit;
}

// ---- ConnectionServer ------------------------------------------------------------

ConnectionServer::ConnectionServer(Protocol& protocol, ServerTimings timings) : m_protocol(protocol), m_timings(timings) {}

ConnectionServer::~ConnectionServer() { Close(); }

HRESULT ConnectionServer::Open(DWORD* port)
{
    const int fd = ListenOn(static_cast<uint16_t>(*port));
    if (fd < 0)
        return HResultFromErrno(errno);
    const uint16_t bound = BoundPort(fd);
    const int wake = bound ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (wake < 0) {
        const int e = bound ? errno : EINVAL;
        ::close(fd);
        return HResultFromErrno(e);
    }
    m_listen = fd;
    m_wake = wake;
    m_port = bound;
    m_stop = false;
    m_bytesSent = 0;
    *port = m_port;
    m_thread = std::thread([this] { Run(); });
    return S_OK;
}

void ConnectionServer::Disconnect()
{
    if (m_listen < 0)
        return;
    m_disconnect = true;
    Wake();
}

void ConnectionServer::Stop()
{
    if (m_thread.joinable()) {
        m_stop = true;
        Wake();
        m_thread.join();
    }
}

void ConnectionServer::Close()
{
    Stop();
    if (const int fd = m_listen.exchange(-1); fd >= 0)
        ::close(fd);
    if (const int fd = m_wake.exchange(-1); fd >= 0)
        ::close(fd);
}

void ConnectionServer::Wake()
{
    if (const int fd = m_wake; fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
}

bool ConnectionServer::Full() const
{
    const uint32_t limit = m_maxClients;
    return limit && m_viewerCount >= limit;
}

void ConnectionServer::CountViewer(Connection& connection, ViewerKind kind)
{
    connection.counted = true;
    connection.viewerKind = kind;
    ++m_viewerCount;
    NoteViewer(connection, true);
}

bool ConnectionServer::TakeLooseSlot(ViewerKind kind, const std::string& address)
{
    if (Full())
        return false;
    m_looseSlots.emplace_back(kind, address);
    ++m_viewerCount;
    NoteViewer(address, kind, true);
    return true;
}

void ConnectionServer::GiveLooseSlot(ViewerKind kind, const std::string& address)
{
    const auto it = std::find(m_looseSlots.begin(), m_looseSlots.end(), std::make_pair(kind, address));
    if (it == m_looseSlots.end())
        return;
    m_looseSlots.erase(it);
    --m_viewerCount;
    NoteViewer(address, kind, false);
}

std::vector<ViewerChange> ConnectionServer::TakeViewerChanges()
{
    std::lock_guard lock(m_viewersLock);
    std::vector<ViewerChange> out(m_changes.begin(), m_changes.end());
    m_changes.clear();
    return out;
}

void ConnectionServer::NoteViewer(const Connection& c, bool joined) { NoteViewer(c.address, c.viewerKind, joined); }

void ConnectionServer::NoteViewer(const std::string& address, ViewerKind kind, bool joined)
{
    std::lock_guard lock(m_viewersLock);
    if (m_changes.size() >= kMaxViewerChanges)
        m_changes.pop_front();
    m_changes.push_back({joined, address, kind, m_viewerCount});
}

void ConnectionServer::Run()
{
    std::vector<pollfd> fds;
    while (!m_stop) {
        fds.clear();
        fds.push_back({m_wake, POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        // No event says that a peer acknowledged what it was sent: while a
        // short-queue connection waits for that, look again soon.
        int timeoutMs = 250;
        for (const Connection& c : m_connections) {
            short events = 0;
            if (c.state != ConnectionState::Closing)
                events |= POLLIN; // requests, and EOF of clients that went away
            if (!c.queue.empty())
                events |= POLLOUT;
            else if (c.m_shortQueue && c.m_pending > 0)
                timeoutMs = 10;
            fds.push_back({c.fd, c.fd >= 0 ? events : short(0), 0});
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
        }
        m_protocol.Turn();
        if (m_disconnect.exchange(false))
            for (Connection& c : m_connections) {
                if (std::string words = m_protocol.Farewell(c); !words.empty())
                    c.Send(std::move(words));
                c.Finish();
            }
        size_t index = 2;
        for (auto it = m_connections.begin(); it != m_connections.end(); ++index) {
            Connection& c = *it;
            const short revents = index < fds.size() && fds[index].fd == c.fd ? fds[index].revents : 0;
            if (!Service(c, revents)) {
                Drop(c, true);
                c.session.reset();
                if (c.counted) {
                    --m_viewerCount;
                    NoteViewer(c, false);
                }
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
        if (fds[1].revents & POLLIN)
            Accept();
    }
    // Closing: each client gets its last words if nothing else waits, best effort.
    for (Connection& c : m_connections) {
        if (c.queue.empty())
            if (const std::string words = m_protocol.Farewell(c); !words.empty())
                [[maybe_unused]] const ssize_t n = ::send(c.fd, words.data(), words.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        Drop(c, false);
    }
    for (Connection& c : m_connections) {
        c.session.reset();
        if (c.counted) {
            --m_viewerCount;
            NoteViewer(c, false);
        }
    }
    m_connections.clear();
    while (!m_looseSlots.empty()) {
        const auto [kind, address] = m_looseSlots.back();
        GiveLooseSlot(kind, address);
    }
    m_protocol.Stopped();
}

void ConnectionServer::Accept()
{
    for (;;) {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const peeraddr::PeerText peer = PeerOf(fd);
        const std::string group = peeraddr::GroupOf(peer.host);
        ShedIncomplete(group);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
        Connection& c = m_connections.emplace_back();
        c.m_server = this;
        c.fd = fd;
        c.address = peer.address;
        c.host = peer.host;
        c.group = group;
        c.since = Clock::now();
    }
}

void ConnectionServer::ShedIncomplete(const std::string& group)
{
    size_t pending = 0, fromHost = 0;
    Connection* oldest = nullptr;
    Connection* oldestOfHost = nullptr;
    for (Connection& c : m_connections) {
        if (c.state != ConnectionState::ReadingRequest || c.fd < 0)
            continue;
        ++pending;
        if (!oldest || c.since < oldest->since)
            oldest = &c;
        if (c.group == group) {
            ++fromHost;
            if (!oldestOfHost || c.since < oldestOfHost->since)
                oldestOfHost = &c;
        }
    }
    Connection* victim = fromHost >= kMaxPendingPerHost ? oldestOfHost : pending >= kMaxPendingConnections ? oldest : nullptr;
    if (victim)
        Drop(*victim, false); // leaves the table at the next turn
}

// Reads, answers and writes for one client; false when it is to be dropped.
bool ConnectionServer::Service(Connection& c, short revents)
{
    const auto now = Clock::now();
    if (c.fd < 0 || (revents & (POLLERR | POLLNVAL)))
        return false;
    if (revents & (POLLIN | POLLHUP)) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0)
                return false; // the client went away
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    break;
                return false;
            }
            if (c.state == ConnectionState::ReadingRequest) {
                c.input.append(buffer, static_cast<size_t>(n));
                if (c.input.size() > wmhttp::kMaxRequestHead * 2)
                    break;
            } else if ((c.trailing += static_cast<size_t>(n)) > kMaxTrailingBytes) {
                return false; // keeps sending after its request: not read for ever
            }
        }
        if (c.state == ConnectionState::ReadingRequest) {
            wmhttp::Request request;
            size_t consumed = 0;
            switch (wmhttp::ParseRequest(c.input, &request, &consumed)) {
            case wmhttp::ParseResult::Incomplete: break;
            case wmhttp::ParseResult::Malformed: c.Refuse(400, "Bad Request"); break;
            case wmhttp::ParseResult::TooLarge: c.Refuse(431, "Request Header Fields Too Large"); break;
            case wmhttp::ParseResult::Complete:
                c.input.clear();
                c.headOnly = wmhttp::HeadOnly(request);
                m_protocol.Request(c, request);
                break;
            }
        }
    }
    if (c.state == ConnectionState::ReadingRequest && now - c.since > m_timings.requestTimeout)
        return false;
    if (!Flush(c))
        return false;
    if (c.Stalled(now, m_timings.stallLimit) || c.queuedBytes > kMaxQueuedBytes)
        return false; // stalled or too slow for the stream
    return !(c.state == ConnectionState::Closing && c.queue.empty());
}

// Sends what the socket takes now; false on a broken connection.
bool ConnectionServer::Flush(Connection& c)
{
    while (!c.queue.empty()) {
        iovec iov[16];
        int count = 0;
        for (auto it = c.queue.begin(); it != c.queue.end() && count < 12; ++it) {
            size_t skip = it == c.queue.begin() ? it->offset : 0;
            auto add = [&](const void* data, size_t size) {
                if (skip >= size) {
                    skip -= size;
                    return;
                }
                iov[count].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(data) + skip);
                iov[count].iov_len = size - skip;
                skip = 0;
                ++count;
            };
            add(it->head.data(), it->head.size());
            if (it->body)
                add(it->body->data(), it->body->size());
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        const ssize_t sent = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        auto left = static_cast<size_t>(sent);
        m_bytesSent += left;
        while (left && !c.queue.empty()) {
            Chunk& front = c.queue.front();
            const size_t remaining = front.Size() - front.offset;
            if (left >= remaining) {
                left -= remaining;
                c.queuedBytes -= front.Size();
                c.queue.pop_front();
            } else {
                front.offset += left;
                left = 0;
            }
        }
        if (sent == 0)
            return true;
    }
    return true;
}

// `reset`: the connection is aborted (a reset, so a stalled client's unsent
// data is not kept by the system); otherwise closed normally.
void ConnectionServer::Drop(Connection& c, bool reset)
{
    if (c.fd < 0)
        return;
    if (reset && (!c.queue.empty() || c.Unacknowledged() > 0)) {
        const linger abort{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(c.fd);
    c.fd = -1;
}

} // namespace wmsink
