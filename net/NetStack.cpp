#include "net/NetStack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TNetStack* StackInstance = nullptr;

namespace {

std::mutex g_stackLock;
int g_stackUsers = 0;

// The WinSock number of the most recent failed socket call on this thread
// (WSAGetLastError is per thread too).
thread_local int t_lastSocketError = 0;

void SetLastSocketErrorFromErrno() { t_lastSocketError = MapPosixSocketError(errno); }

struct ErrorText {
    int code;
    const char* text;
};

// Texts exactly as the program has always shown them (10035 keeps its
// trailing blank, 10066 has no full stop).
constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

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

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool FieldIsByte(const std::string& field)
{
    int value = 0;
    return NetTryStrToInt(field, value) && value >= 0 && value <= 255;
}

} // namespace

// ---------------------------------------------------------------- helpers

ENetWS2StubError::ENetWS2StubError(std::string title, int win32Error, std::string win32ErrorText)
    : ENetException(win32Error != 0 ? win32ErrorText + ": " + title : title),
      m_title(std::move(title)), m_win32Error(win32Error), m_win32ErrorText(std::move(win32ErrorText))
{
}

int MapPosixSocketError(int error, bool resolver)
{
    if (resolver) {
        switch (error) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
        case EAI_FAIL: return WSANO_RECOVERY;
        case EAI_MEMORY: return WSAENOBUFS;
        case EAI_SYSTEM: return MapPosixSocketError(errno);
        default: return WSANO_RECOVERY;
        }
    }
    switch (error) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    // Sending on a socket whose peer is gone (or whose sending side we shut).
    case EPIPE:
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    default: return 10000 + error;
    }
}

std::string SocketErrorText(int code)
{
    for (const auto& e : kErrorTexts)
        if (e.code == code)
            return e.text;
    return {};
}

bool NetTryStrToInt(const std::string& text, int& value)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size())
        return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX || v < INT_MIN)
        return false;
    value = static_cast<int>(v);
    return true;
}

int NetStrToInt(const std::string& text)
{
    int value = 0;
    if (!NetTryStrToInt(text, value))
        throw ENetConvertError(Format("'%s' is not a valid integer value", text.c_str()));
    return value;
}

std::string CutField(std::string& text, const std::string& delimiter, bool caseSensitive)
{
    size_t pos = std::string::npos;
    if (!delimiter.empty()) {
        if (caseSensitive) {
            pos = text.find(delimiter);
        } else {
            auto upper = [](std::string s) {
                for (auto& c : s)
                    if (c >= 'a' && c <= 'z')
                        c = static_cast<char>(c - 'a' + 'A');
                return s;
            };
            pos = upper(text).find(upper(delimiter));
        }
    }
    std::string field;
    if (pos == std::string::npos) {
        field.swap(text);
        text.clear();
    } else {
        field = text.substr(0, pos);
        text.erase(0, pos + delimiter.size());
    }
    return field;
}

bool IsDottedAddress(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsBlankOrControl(text[first]))
        ++first;
    while (last > first && IsBlankOrControl(text[last - 1]))
        --last;
    std::string rest = text.substr(first, last - first);
    for (int i = 0; i < 4; ++i)
        if (!FieldIsByte(CutField(rest, ".")))
            return false;
    return true;
}

// ---------------------------------------------------------------- socket lists

TNetSocket TNetSocketListPosix::Item(int index) const
{
    if (index < 0 || index >= m_count)
        throw ENetStackSetSizeExceeded("Set Size Exceeded.");
    return m_handles[static_cast<size_t>(index)];
}

void TNetSocketListPosix::Add(TNetSocket handle)
{
    if (m_count >= MaxHandles)
        throw ENetStackSetSizeExceeded("Set Size Exceeded.");
    m_handles[static_cast<size_t>(m_count++)] = handle;
}

void TNetSocketListPosix::Remove(TNetSocket handle)
{
    for (int i = 0; i < m_count; ++i) {
        if (m_handles[static_cast<size_t>(i)] == handle) {
            m_handles[static_cast<size_t>(i)] = m_handles[static_cast<size_t>(m_count - 1)];
            --m_count;
            return;
        }
    }
}

// ---------------------------------------------------------------- TNetStack

TNetStack::TNetStack() = default;
TNetStack::~TNetStack() = default;

std::string TNetStack::PrimaryLocalAddress()
{
    const auto& list = LocalAddressList();
    return list.empty() ? std::string() : list.front();
}

const std::vector<std::string>& TNetStack::LocalAddressList()
{
    RefreshLocalAddresses();
    return m_localAddresses;
}

int TNetStack::ConnectSocketCancellable(TNetSocket handle, int family, int port, const std::string& address,
                                        const std::atomic<bool>& cancel)
{
    (void)cancel;
    return ConnectSocket(handle, family, port, address);
}

std::string TNetStack::TranslateSocketError(int code)
{
    return Format("Socket Error # %d\r\n%s", code, SocketErrorText(code).c_str());
}

std::string TNetStack::AddressToText(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    return Format("%u.%u.%u.%u", b0, b1, b2, b3);
}

std::array<uint8_t, 4> TNetStack::TextToAddress(const std::string& text)
{
    std::string rest = text;
    std::array<uint8_t, 4> out {};
    for (auto& b : out)
        b = static_cast<uint8_t>(NetStrToInt(CutField(rest, ".")) & 0xFF);
    return out;
}

uint32_t TNetStack::TextToAddressValue(const std::string& text)
{
    const auto b = TextToAddress(text);
    uint32_t value = 0;
    std::memcpy(&value, b.data(), 4); // network order, as in the address record
    return value;
}

void TNetStack::AcquireStack()
{
    std::lock_guard<std::mutex> lock(g_stackLock);
    if (g_stackUsers++ == 0)
        StackInstance = new TNetStackPosix();
}

void TNetStack::ReleaseStack()
{
    std::lock_guard<std::mutex> lock(g_stackLock);
    if (g_stackUsers-- == 1) {
        delete StackInstance;
        StackInstance = nullptr;
    }
}

int TNetStack::UserCount()
{
    std::lock_guard<std::mutex> lock(g_stackLock);
    return g_stackUsers;
}

bool TNetStack::CheckSocketResult(int result, std::initializer_list<int> ignoredCodes)
{
    if (result != NetSocketError)
        return false;
    m_lastError = LastSocketError();
    for (int code : ignoredCodes)
        if (code == m_lastError)
            return true;
    RaiseSocketFailure(m_lastError);
}

void TNetStack::RaiseSocketFailure(int code)
{
    throw ENetSocketError(TranslateSocketError(code), code);
}

TNetSocket TNetStack::CreateSocketChecked(int type, int protocol)
{
    const TNetSocket handle = NewSocket(Id_PF_INET, type, protocol);
    if (handle == NetInvalidSocket)
        throw ENetInvalidSocket("Cannot allocate socket.");
    return handle;
}

std::string TNetStack::ResolveHostAddress(const std::string& host)
{
    if (strcasecmp(host.c_str(), "LOCALHOST") == 0)
        return "127.0.0.1";
    if (IsIPv4Text(host))
        return host;
    return HostNameToAddress(host);
}

bool TNetStack::IsIPv4Text(const std::string& text)
{
    std::string rest = text;
    for (int i = 0; i < 3; ++i)
        if (!FieldIsByte(CutField(rest, ".")))
            return false;
    return FieldIsByte(rest);
}

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
    if (::bind(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return 0;
}

int TNetStackPosix::CloseSocketHandle(TNetSocket handle)
{
    if (::close(handle) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return 0;
}

int TNetStackPosix::ConnectSocket(TNetSocket handle, int family, int port, const std::string& address)
{
    sockaddr_in addr;
    if (!MakeAddress(family, port, address, addr, *this))
        return NetSocketError;
    if (::connect(handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return 0;
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
    if (::listen(handle, backlog) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return 0;
}

int TNetStackPosix::ReceiveBytes(TNetSocket handle, void* buffer, int length, int flags)
{
    for (;;) {
        const ssize_t n = ::recv(handle, buffer, static_cast<size_t>(length), flags);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
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
    for (;;) {
        const ssize_t n = ::send(handle, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
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
    if (::setsockopt(handle, level, option, value, static_cast<socklen_t>(length)) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return 0;
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
    if (::shutdown(handle, how) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    return 0;
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
    if (::getsockopt(handle, level, option, value, &len) != 0) {
        SetLastSocketErrorFromErrno();
        return NetSocketError;
    }
    length = static_cast<int>(len);
    return 0;
}
