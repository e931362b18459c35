// The pump between libavformat's loopback connection and the relay's link.

#include "live/relay/RelayBridge.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStepMs = 50;
constexpr size_t kBufferBytes = 64 * 1024; // each way; loopback buffers as small

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// True when `peer` is the local address of one of this process's sockets.
bool IsOwnSocket(const sockaddr_in& peer, int except)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool own = false;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == except || fd == ::dirfd(dir))
            continue;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
            local.sin_family == AF_INET && local.sin_port == peer.sin_port &&
            local.sin_addr.s_addr == peer.sin_addr.s_addr) {
            own = true;
            break;
        }
    }
    ::closedir(dir);
    return own;
}

// Closes with a reset, so a peer blocked in a write learns at once.
void Abort(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

// The kernel's count of bytes the server acknowledged, and of bytes not yet
// acknowledged; false when the kernel keeps no such count.
bool AckState(int fd, uint64_t& acked, int& outstanding)
{
    outstanding = 0;
    ::ioctl(fd, SIOCOUTQ, &outstanding);
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return false;
    acked = info.tcpi_bytes_acked;
    return true;
}

} // namespace

RelayBridge::~RelayBridge()
{
    Finish(Clock::now());
}

bool RelayBridge::Start(RelayLink link, std::chrono::milliseconds acceptTimeout,
                        std::chrono::milliseconds writeTimeout, std::string& error)
{
    m_link = std::move(link);
    m_writeTimeout = writeTimeout;
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    const int size = static_cast<int>(kBufferBytes);
    if (m_listenFd < 0 || ::setsockopt(m_listenFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 1) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        error = std::string("the relay cannot listen on the loopback (") + std::strerror(errno) + ")";
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        m_link.Close();
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_acceptDeadline = Clock::now() + acceptTimeout;
    m_thread = std::thread([this] { Pump(); });
    return true;
}

void RelayBridge::Finish(Clock::time_point until)
{
    const int64_t by = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
    if (by < m_finishBy.load())
        m_finishBy = by;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
    }
    m_link.Close();
}

std::string RelayBridge::LostReason() const
{
    std::lock_guard lock(m_lock);
    return m_lost;
}

void RelayBridge::SetLost(const std::string& reason)
{
    std::lock_guard lock(m_lock);
    if (m_lost.empty())
        m_lost = reason;
}

bool RelayBridge::AcceptOwn(int& fd)
{
    while (Clock::now() < m_acceptDeadline && NowNs() < m_finishBy.load()) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, kStepMs) <= 0)
            continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int accepted = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&peer), &len,
                                       SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted < 0)
            continue;
        if (peer.sin_family == AF_INET && IsOwnSocket(peer, accepted)) {
            fd = accepted;
            return true;
        }
        Abort(accepted);
    }
    return false;
}

void RelayBridge::Pump()
{
    int a = -1; // the muxer's side
    const bool accepted = AcceptOwn(a);
    ::close(m_listenFd);
    m_listenFd = -1;
    if (!accepted) {
        m_link.Close();
        return;
    }
    const int s = m_link.Fd();
    SSL* ssl = m_link.Ssl();
    std::string up, down; // muxer -> server, server -> muxer
    char chunk[16384];
    bool muxerEnded = false, serverEnded = false, stalled = false;
    Clock::time_point serverEndedAt;
    uint64_t lastAcked = 0;
    int lastOutstanding = 0;
    Clock::time_point lastProgress = Clock::now();
    bool sendFailed = false;

    for (;;) {
        if (NowNs() >= m_finishBy.load())
            break;
        pollfd fds[2] = {
            {a, static_cast<short>((!muxerEnded && up.size() < kBufferBytes ? POLLIN : 0) | (down.empty() ? 0 : POLLOUT)), 0},
            {s, static_cast<short>((!serverEnded && down.size() < kBufferBytes ? POLLIN : 0) | (up.empty() ? 0 : POLLOUT)), 0},
        };
        // TLS may hold decrypted bytes the socket no longer shows.
        const bool tlsPending = ssl && !serverEnded && SSL_pending(ssl) > 0;
        ::poll(fds, 2, tlsPending ? 0 : kStepMs);

        // The muxer's bytes in.
        if (!muxerEnded && up.size() < kBufferBytes) {
            const ssize_t n = ::recv(a, chunk, std::min(sizeof chunk, kBufferBytes - up.size()), MSG_DONTWAIT);
            if (n > 0)
                up.append(chunk, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                muxerEnded = true;
        }
        // ... and out to the server.
        if (!up.empty()) {
            int n;
            bool wouldBlock;
            if (ssl) {
                n = SSL_write(ssl, up.data(), static_cast<int>(std::min<size_t>(up.size(), INT32_MAX)));
                const int code = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, n);
                wouldBlock = code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ;
            } else {
                n = static_cast<int>(::send(s, up.data(), up.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
                wouldBlock = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
            }
            if (n > 0) {
                up.erase(0, static_cast<size_t>(n));
            } else if (!wouldBlock) {
                const char* why = errno ? std::strerror(errno) : "closed by the server";
                SetLost(why);
                sendFailed = true;
                ERR_clear_error();
                break;
            }
        }
        // The server's bytes in.
        for (int round = 0; !serverEnded && down.size() < kBufferBytes && round < 4; ++round) {
            const size_t room = std::min(sizeof chunk, kBufferBytes - down.size());
            int n;
            bool wouldBlock = false;
            if (ssl) {
                n = SSL_read(ssl, chunk, static_cast<int>(room));
                const int code = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, n);
                wouldBlock = code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE;
                if (n <= 0 && !wouldBlock && code != SSL_ERROR_ZERO_RETURN &&
                    !(code == SSL_ERROR_SYSCALL && errno == 0))
                    SetLost(code == SSL_ERROR_SSL ? "TLS error" : std::strerror(errno));
                ERR_clear_error();
            } else {
                n = static_cast<int>(::recv(s, chunk, room, MSG_DONTWAIT));
                wouldBlock = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
                if (n < 0 && !wouldBlock)
                    SetLost(std::strerror(errno));
            }
            if (n > 0) {
                down.append(chunk, static_cast<size_t>(n));
                continue;
            }
            if (!wouldBlock) {
                SetLost("closed by the server");
                serverEnded = true;
                serverEndedAt = Clock::now();
            }
            break;
        }
        // ... and out to the muxer.
        if (!down.empty()) {
            const ssize_t n = ::send(a, down.data(), down.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                down.erase(0, static_cast<size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                muxerEnded = true;
                down.clear();
            }
        }

        // Bytes on their way must be acknowledged as time goes on.
        uint64_t acked = 0;
        int outstanding = 0;
        const bool counted = AckState(s, acked, outstanding);
        const auto now = Clock::now();
        if (outstanding > 0 || !up.empty()) {
            const bool progress = counted ? acked != lastAcked : outstanding < lastOutstanding;
            if (progress)
                lastProgress = now;
            else if (now - lastProgress >= m_writeTimeout) {
                SetLost("the server stopped answering");
                stalled = true;
                break;
            }
        } else {
            lastProgress = now;
        }
        lastAcked = acked;
        lastOutstanding = outstanding;

        if (muxerEnded && up.empty())
            break; // the muxer's goodbye is out
        // What the server said last (its error, say) reaches the muxer
        // before the muxer sees the end.
        if (serverEnded && (down.empty() || muxerEnded || now - serverEndedAt >= m_writeTimeout))
            break;
    }

    const bool clean = muxerEnded && up.empty() && !stalled && !sendFailed;
    if (clean)
        ::close(a);
    else
        Abort(a);
    if (stalled) {
        // Nothing more will be read there; let the kernel drop the queue.
        linger l{1, 0};
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    if (!clean && !stalled && !muxerEnded && LostReason().empty())
        SetLost("the relay gave up on the connection");
}
