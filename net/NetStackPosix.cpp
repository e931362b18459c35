#include "net/NetStack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The WinSock number of the most recent failed socket call on this thread
// (WSAGetLastError is per thread too).
thread_local int t_lastSocketError = 0;

void SetLastSocketErrorFromErrno() { t_lastSocketError = MapPosixSocketError(errno); }

// A system call's 0-or-failure result as the stack returns it: 0, or
// NetSocketError with the error kept for LastSocketError.
int SocketResult(int rc)
{
    if (rc == 0)
        return 0;
    SetLastSocketErrorFromErrno();
    return NetSocketError;
}

// A send or receive, made again while a signal interrupts it: the bytes it
// moved, or NetSocketError with the error kept.
template <class Transfer>
int BytesMoved(Transfer transfer)
{
    for (;;) {
        const ssize_t n = transfer();
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
}

// The 16-byte IPv4 socket address record: family, port in network order, the
// four address bytes in text order, eight zero bytes.
bool MakeAddress(int family, int port, const std::string& address, sockaddr_in& out, TNetStack& stack)
{
    std::memset(&out, 0, sizeof out);
    out.sin_family = static_cast<sa_family_t>(family);
    out.sin_port = stack.HostToNetShort(static_cast<uint16_t>(port));
    if (address.empty()) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) {
        t_lastSocketError = WSAEINVAL;
        return false;
    }
    return true;
}

std::string AddressText(const in_addr& addr)
{
    const auto* b = reinterpret_cast<const uint8_t*>(&addr.s_addr);
    return Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

} // namespace

// ---------------------------------------------------------------- TNetStackPosix

TNetStackPosix::TNetStackPosix() = default;
TNetStackPosix::~TNetStackPosix() = default;

void TNetStackPosix::RefreshLocalAddresses()
{
    m_localAddresses.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        SetLastSocketErrorFromErrno();
        CheckSocketResult(NetSocketError);
        return;
    }
    std::vector<std::string> loopback;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !(it->ifa_flags & IFF_UP))
            continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (it->ifa_flags & IFF_LOOPBACK)
            loopback.push_back(AddressText(sin->sin_addr));
        else
            m_localAddresses.push_back(AddressText(sin->sin_addr));
    }
    freeifaddrs(list);
    if (m_localAddresses.empty())
        m_localAddresses = std::move(loopback);
}

TNetSocket TNetStackPosix::AcceptSocket(TNetSocket listening, std::string& peerAddress, int& peerPort)
{
    sockaddr_in addr {};
    socklen_t len = sizeof addr;
    const int handle = ::accept4(listening, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (handle < 0) {
        SetLastSocketErrorFromErrno();
        return NetInvalidSocket;
    }
    peerAddress = AddressText(addr.sin_addr);
    peerPort = NetToHostShort(addr.sin_port);
    return handle;
}

int TNetStackPosix::BindSocket(TNetSocket handle, int family, int port, const std::string& address)
{
    sockaddr_in addr;
    if (!MakeAddress(family, port, address, addr, *this))
        return NetSocketError;
    return SocketResult(::bind(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int TNetStackPosix::CloseSocketHandle(TNetSocket handle)
{
    return SocketResult(::close(handle));
}

int TNetStackPosix::ConnectSocket(TNetSocket handle, int family, int port, const std::string& address)
{
    sockaddr_in addr;
    if (!MakeAddress(family, port, address, addr, *this))
        return NetSocketError;
    return SocketResult(::connect(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int TNetStackPosix::ConnectSocketCancellable(TNetSocket handle, int family, int port, const std::string& address,
                                             const std::atomic<bool>& cancel)
{
    sockaddr_in addr;
    if (!MakeAddress(family, port, address, addr, *this))
        return NetSocketError;
    const int flags = ::fcntl(handle, F_GETFL, 0);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    int result = 0;
    if (::connect(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            SetLastSocketErrorFromErrno();
            result = NetSocketError;
        } else {
            for (;;) {
                if (cancel.load()) {
                    t_lastSocketError = WSAENOTSOCK;
                    result = NetSocketError;
                    break;
                }
                pollfd fd {handle, POLLOUT, 0};
                const int rc = ::poll(&fd, 1, 50);
                if (rc < 0 && errno != EINTR) {
                    SetLastSocketErrorFromErrno();
                    result = NetSocketError;
                    break;
                }
                if (rc > 0) {
                    int error = 0;
                    socklen_t len = sizeof error;
                    ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &len);
                    if (error != 0) {
                        t_lastSocketError = MapPosixSocketError(error);
                        result = NetSocketError;
                    }
                    break;
                }
            }
        }
    }
    ::fcntl(handle, F_SETFL, flags);
    return result;
}

std::string TNetStackPosix::HostNameToAddress(const std::string& host)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0 || !result) {
        t_lastSocketError = rc != 0 ? MapPosixSocketError(rc, true) : WSAHOST_NOT_FOUND;
        CheckSocketResult(NetSocketError);
        return {};
    }
    const std::string text = AddressText(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr);
    ::freeaddrinfo(result);
    return text;
}

std::string TNetStackPosix::LocalHostName()
{
    char buffer[251] = {};
    ::gethostname(buffer, 250);
    return std::string(buffer);
}

std::string TNetStackPosix::LookupHostName(const std::string& address)
{
    sockaddr_in addr;
    if (!MakeAddress(AF_INET, 0, address, addr, *this) || address.empty()) {
        t_lastSocketError = WSAHOST_NOT_FOUND;
        CheckSocketResult(NetSocketError);
    }
    char host[NI_MAXHOST] = {};
    const int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), sizeof addr, host, sizeof host,
                                 nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        t_lastSocketError = MapPosixSocketError(rc, true);
        CheckSocketResult(NetSocketError);
    }
    return host;
}

int TNetStackPosix::ServiceNameToPort(const std::string& serviceName)
{
    servent buffer {};
    servent* found = nullptr;
    char scratch[1024];
    if (::getservbyname_r(serviceName.c_str(), nullptr, &buffer, scratch, sizeof scratch, &found) == 0 && found)
        return NetToHostShort(static_cast<uint16_t>(found->s_port));
    int port = 0;
    if (NetTryStrToInt(serviceName, port))
        return port;
    throw ENetInvalidServiceName(Format("%s is not a valid service.", serviceName.c_str()));
}

std::vector<std::string> TNetStackPosix::PortToServiceNames(int port)
{
    std::vector<std::string> names;
    servent buffer {};
    servent* found = nullptr;
    char scratch[1024];
    if (::getservbyport_r(HostToNetShort(static_cast<uint16_t>(port)), nullptr, &buffer, scratch,
                          sizeof scratch, &found) == 0 && found) {
        names.emplace_back(found->s_name);
        for (char** alias = found->s_aliases; alias && *alias; ++alias)
            names.emplace_back(*alias);
    }
    return names;
}

uint16_t TNetStackPosix::HostToNetShort(uint16_t value) { return htons(value); }
uint16_t TNetStackPosix::NetToHostShort(uint16_t value) { return ntohs(value); }
uint32_t TNetStackPosix::HostToNetLong(uint32_t value) { return htonl(value); }
uint32_t TNetStackPosix::NetToHostLong(uint32_t value) { return ntohl(value); }

int TNetStackPosix::ListenSocket(TNetSocket handle, int backlog)
{
    return SocketResult(::listen(handle, backlog));
}

int TNetStackPosix::ReceiveBytes(TNetSocket handle, void* buffer, int length, int flags)
{
    return BytesMoved([&] { return ::recv(handle, buffer, static_cast<size_t>(length), flags); });
}

int TNetStackPosix::ReceiveDatagram(TNetSocket handle, void* buffer, int length, int flags,
                                    std::string& address, int& port)
{
    sockaddr_in addr {};
    socklen_t len = sizeof addr;
    const ssize_t n = ::recvfrom(handle, buffer, static_cast<size_t>(length), flags,
                                 reinterpret_cast<sockaddr*>(&addr), &len);
    if (n < 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    address = AddressText(addr.sin_addr);
    port = NetToHostShort(addr.sin_port);
    return static_cast<int>(n);
}

// The sets are at most 64 handles each; poll() is used underneath because a
// descriptor number of 1024 or more cannot be put into an fd_set at all.
int TNetStackPosix::SelectSockets(TNetSocketList* readList, TNetSocketList* writeList,
                                  TNetSocketList* errorList, int timeout)
{
    std::vector<pollfd> fds;
    struct Slot {
        TNetSocketList* list;
        short events;
    };
    const Slot slots[3] = {{readList, POLLIN}, {writeList, POLLOUT}, {errorList, POLLPRI}};
    for (const auto& slot : slots) {
        if (!slot.list)
            continue;
        if (slot.list->Count() > TNetSocketList::MaxHandles)
            throw ENetStackSetSizeExceeded("Set Size Exceeded.");
        for (int i = 0; i < slot.list->Count(); ++i)
            fds.push_back(pollfd {slot.list->Item(i), slot.events, 0});
    }
    const int waitMs = timeout == WaitForever ? -1 : timeout < 0 ? 0 : timeout;
    int rc;
    do {
        rc = ::poll(fds.data(), fds.size(), waitMs);
    } while (rc < 0 && errno == EINTR && timeout == WaitForever);
    if (rc < 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    // Like select(), count one per (set, handle) that is ready; a closed or
    // failed socket is readable (the read then tells what happened).
    int ready = 0;
    size_t k = 0;
    for (const auto& slot : slots) {
        if (!slot.list)
            continue;
        const int n = slot.list->Count();
        std::vector<TNetSocket> keep;
        for (int i = 0; i < n; ++i, ++k) {
            short mask = slot.events;
            if (slot.events == POLLIN)
                mask |= POLLHUP | POLLERR | POLLNVAL;
            else if (slot.events == POLLOUT)
                mask |= POLLERR | POLLHUP | POLLNVAL;
            if (fds[k].revents & mask)
                keep.push_back(fds[k].fd);
        }
        slot.list->Clear();
        for (TNetSocket h : keep)
            slot.list->Add(h);
        ready += static_cast<int>(keep.size());
    }
    return ready;
}

int TNetStackPosix::SendBytes(TNetSocket handle, const void* buffer, int length, int flags)
{
    return BytesMoved([&] { return ::send(handle, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL); });
}

int TNetStackPosix::SendDatagram(TNetSocket handle, const void* buffer, int length, int flags,
                                 const std::string& address, int port)
{
    sockaddr_in addr;
    if (!MakeAddress(AF_INET, port, address, addr, *this))
        return NetSocketError;
    const ssize_t n = ::sendto(handle, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                               reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (n < 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return static_cast<int>(n);
}

int TNetStackPosix::SetSocketOption(TNetSocket handle, int level, int option, const void* value, int length)
{
    return SocketResult(::setsockopt(handle, level, option, value, static_cast<socklen_t>(length)));
}

TNetSocket TNetStackPosix::NewSocket(int family, int type, int protocol)
{
    const int handle = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (handle < 0) {
        SetLastSocketErrorFromErrno();
        return NetInvalidSocket;
    }
    return handle;
}

int TNetStackPosix::ShutdownSocket(TNetSocket handle, int how)
{
    return SocketResult(::shutdown(handle, how));
}

std::string TNetStackPosix::TranslateSocketError(int code)
{
    if (code == WSAHOST_NOT_FOUND)
        return Format("Socket Error # %d\r\n%s", code, "Host not found.");
    return TNetStack::TranslateSocketError(code);
}

int TNetStackPosix::LastSocketError() { return t_lastSocketError; }

namespace {
// getpeername or getsockname into family, port and dotted address; a failure
// raises through the stack's result check.
void SocketName(TNetStack& stack, int (*call)(int, sockaddr*, socklen_t*), TNetSocket handle, int& family, int& port,
                std::string& address)
{
    sockaddr_in addr {};
    socklen_t len = sizeof addr;
    if (call(handle, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        SetLastSocketErrorFromErrno();
        stack.CheckSocketResult(NetSocketError);
        return;
    }
    family = addr.sin_family;
    port = stack.NetToHostShort(addr.sin_port);
    address = AddressText(addr.sin_addr);
}
} // namespace

void TNetStackPosix::PeerAddress(TNetSocket handle, int& family, int& port, std::string& address)
{
    SocketName(*this, ::getpeername, handle, family, port, address);
}

void TNetStackPosix::LocalSocketAddress(TNetSocket handle, int& family, int& port, std::string& address)
{
    SocketName(*this, ::getsockname, handle, family, port, address);
}

int TNetStackPosix::GetSocketOption(TNetSocket handle, int level, int option, void* value, int& length)
{
    socklen_t len = static_cast<socklen_t>(length);
    const int result = SocketResult(::getsockopt(handle, level, option, value, &len));
    if (result == 0)
        length = static_cast<int>(len);
    return result;
}
