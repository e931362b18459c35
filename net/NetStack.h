#pragma once
// The socket stack: the only place in the internet layer that talks to the
// operating system's sockets. Callers pass socket handles, dotted IPv4 texts
// and host-order ports, and get back counts, handles, texts and exceptions.
//
// Conventions kept from the WinSock design the layer grew up on:
// - the plain socket calls answer -1 (NetSocketError) on failure and report
//   the cause through LastSocketError(), as a WinSock error number (errno and
//   resolver errors are mapped: ECONNREFUSED -> 10061, EAI_NONAME -> 11001, ...);
// - family 2 is IPv4, type 1 a stream socket, level 6 TCP, option 1 no-delay,
//   shutdown how 1 the sending side (the same numbers on Linux).
//
// One stack object, StackInstance, exists while at least one internet
// component exists (AcquireStack/ReleaseStack count them in and out).

#include "platform/core/Exception.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

// A platform socket handle; NetInvalidSocket means "no socket".
using TNetSocket = int;
constexpr TNetSocket NetInvalidSocket = -1;
constexpr int NetSocketError = -1;

// Time-outs in milliseconds.
constexpr int UseDefaultTimeout = -1; // the connection's ReadTimeout (0 = no limit)
constexpr int WaitForever = -2;

constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_IPPROTO_TCP = 6;
constexpr int Id_TCP_NODELAY = 1;
constexpr int Id_SD_Send = 1;

// WinSock error numbers used by the translation table and the ignored-code
// lists of the callers.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// ---------------------------------------------------------------- exceptions

class ENetException : public Exception {
public:
    using Exception::Exception;
};

// Kept for the loader of a dynamically bound socket library; the POSIX stack
// never raises it.
class ENetWS2StubError : public ENetException {
public:
    ENetWS2StubError(std::string title, int win32Error, std::string win32ErrorText = {});
    const std::string& Title() const { return m_title; }
    int Win32Error() const { return m_win32Error; }
    const std::string& Win32ErrorText() const { return m_win32ErrorText; }

private:
    std::string m_title;
    int m_win32Error;
    std::string m_win32ErrorText;
};

class ENetStackError : public ENetException {
public:
    using ENetException::ENetException;
};
class ENetStackInitializationFailed : public ENetStackError {
public:
    using ENetStackError::ENetStackError;
};
class ENetStackSetSizeExceeded : public ENetStackError {
public:
    using ENetStackError::ENetStackError;
};

class ENetSocketError : public ENetException {
public:
    ENetSocketError(std::string message, int lastError) : ENetException(std::move(message)), m_lastError(lastError) {}
    int LastError() const { return m_lastError; }

private:
    int m_lastError;
};

class ENetInvalidSocket : public ENetException {
public:
    using ENetException::ENetException;
};
class ENetInvalidServiceName : public ENetException {
public:
    using ENetException::ENetException;
};

// ---------------------------------------------------------------- socket sets

// A set of at most 64 socket handles for SelectSockets. Adding a 65th handle or
// reading an index outside 0..Count()-1 raises ENetStackSetSizeExceeded.
class TNetSocketList {
public:
    static constexpr int MaxHandles = 64;
    virtual ~TNetSocketList() = default;
    virtual TNetSocket Item(int index) const = 0;
    virtual void Add(TNetSocket handle) = 0;
    virtual void Remove(TNetSocket handle) = 0;
    virtual int Count() const = 0;
    virtual void Clear() = 0;
};

class TNetSocketListPosix : public TNetSocketList {
public:
    TNetSocket Item(int index) const override;
    void Add(TNetSocket handle) override;
    // Finds the handle, moves the last handle into its place and shortens the set.
    void Remove(TNetSocket handle) override;
    int Count() const override { return m_count; }
    void Clear() override { m_count = 0; }

private:
    std::array<TNetSocket, MaxHandles> m_handles {};
    int m_count = 0;
};

// ---------------------------------------------------------------- the stack

class TNetStack {
public:
    TNetStack();
    virtual ~TNetStack();
    TNetStack(const TNetStack&) = delete;
    TNetStack& operator=(const TNetStack&) = delete;

    // Local addresses: the machine's IPv4 addresses as dotted texts. Every read
    // of LocalAddressList or PrimaryLocalAddress rebuilds the list.
    virtual void RefreshLocalAddresses() = 0;
    // Entry 0 of the list; "" when the machine has no IPv4 address at all.
    virtual std::string PrimaryLocalAddress();
    // The list stays owned by the stack.
    virtual const std::vector<std::string>& LocalAddressList();

    // The socket calls. Unless noted they pass their result through unchecked.
    virtual TNetSocket AcceptSocket(TNetSocket listening, std::string& peerAddress, int& peerPort) = 0;
    // An empty address binds to any local address (0.0.0.0).
    virtual int BindSocket(TNetSocket handle, int family, int port, const std::string& address) = 0;
    virtual int CloseSocketHandle(TNetSocket handle) = 0;
    virtual int ConnectSocket(TNetSocket handle, int family, int port, const std::string& address) = 0;
    // A connect that gives up, answering -1 with 10038, once `cancel` becomes
    // true (checked at least every 50 ms). The socket stays blocking.
    virtual int ConnectSocketCancellable(TNetSocket handle, int family, int port, const std::string& address,
                                         const std::atomic<bool>& cancel);
    // Raises ENetSocketError (11001 "Host not found." typically) when the name
    // does not resolve.
    virtual std::string HostNameToAddress(const std::string& host) = 0;
    virtual std::string LocalHostName() = 0;
    virtual std::string LookupHostName(const std::string& address) = 0;
    virtual int ServiceNameToPort(const std::string& serviceName) = 0;
    virtual std::vector<std::string> PortToServiceNames(int port) = 0;
    virtual uint16_t HostToNetShort(uint16_t value) = 0;
    virtual int ListenSocket(TNetSocket handle, int backlog) = 0;
    virtual uint16_t NetToHostShort(uint16_t value) = 0;
    virtual uint32_t HostToNetLong(uint32_t value) = 0;
    virtual uint32_t NetToHostLong(uint32_t value) = 0;
    // Count, 0 when the peer closed, -1 on failure.
    virtual int ReceiveBytes(TNetSocket handle, void* buffer, int length, int flags) = 0;
    virtual int ReceiveDatagram(TNetSocket handle, void* buffer, int length, int flags,
                                std::string& address, int& port) = 0;
    // Waits until a handle of the lists is ready or the time-out (ms; 0 polls,
    // WaitForever waits without limit) passes. Each given list is replaced by
    // its ready handles. Answers the count of ready handles, 0 on time-out, -1
    // on error.
    virtual int SelectSockets(TNetSocketList* readList, TNetSocketList* writeList,
                              TNetSocketList* errorList, int timeout) = 0;
    virtual int SendBytes(TNetSocket handle, const void* buffer, int length, int flags) = 0;
    virtual int SendDatagram(TNetSocket handle, const void* buffer, int length, int flags,
                             const std::string& address, int port) = 0;
    virtual int SetSocketOption(TNetSocket handle, int level, int option, const void* value, int length) = 0;
    virtual TNetSocket NewSocket(int family, int type, int protocol) = 0;
    virtual int ShutdownSocket(TNetSocket handle, int how) = 0;
    // "Socket Error # <code>" CR LF <text of the code, empty when unknown>.
    virtual std::string TranslateSocketError(int code);
    virtual int LastSocketError() = 0;
    // These two check their call and raise ENetSocketError on failure.
    virtual void PeerAddress(TNetSocket handle, int& family, int& port, std::string& address) = 0;
    virtual void LocalSocketAddress(TNetSocket handle, int& family, int& port, std::string& address) = 0;
    virtual int GetSocketOption(TNetSocket handle, int level, int option, void* value, int& length) = 0;
    virtual std::string AddressToText(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
    // Raises ENetConvertError for a field that is not a decimal integer.
    virtual std::array<uint8_t, 4> TextToAddress(const std::string& text);

    // Process-wide user counting; StackInstance exists from the first Acquire
    // to the matching last Release.
    static void AcquireStack();
    static void ReleaseStack();
    static int UserCount();

    // Answers false for a result other than -1. For -1 it records the current
    // error; a code among the ignored ones answers true, any other raises
    // ENetSocketError.
    bool CheckSocketResult(int result, std::initializer_list<int> ignoredCodes = {});
    [[noreturn]] void RaiseSocketFailure(int code);
    // A new IPv4 socket; raises ENetInvalidSocket "Cannot allocate socket.".
    TNetSocket CreateSocketChecked(int type, int protocol);
    // "LOCALHOST" in any case -> "127.0.0.1"; dotted text unchanged; else a lookup.
    std::string ResolveHostAddress(const std::string& host);
    bool IsIPv4Text(const std::string& text);
    uint32_t TextToAddressValue(const std::string& text);

    // The code seen by the most recent failed CheckSocketResult.
    int LastError() const { return m_lastError; }

protected:
    std::vector<std::string> m_localAddresses;

private:
    int m_lastError = 0;
};

// The base mapping from error code to text (empty for an unknown code).
std::string SocketErrorText(int code);

// The POSIX implementation over BSD sockets, getaddrinfo and getifaddrs.
class TNetStackPosix : public TNetStack {
public:
    TNetStackPosix();
    ~TNetStackPosix() override;

    // The up, non-loopback IPv4 interfaces in the system's order; loopback
    // only when there is no other.
    void RefreshLocalAddresses() override;
    TNetSocket AcceptSocket(TNetSocket listening, std::string& peerAddress, int& peerPort) override;
    int BindSocket(TNetSocket handle, int family, int port, const std::string& address) override;
    int CloseSocketHandle(TNetSocket handle) override;
    int ConnectSocket(TNetSocket handle, int family, int port, const std::string& address) override;
    int ConnectSocketCancellable(TNetSocket handle, int family, int port, const std::string& address,
                                 const std::atomic<bool>& cancel) override;
    std::string HostNameToAddress(const std::string& host) override;
    std::string LocalHostName() override;
    std::string LookupHostName(const std::string& address) override;
    int ServiceNameToPort(const std::string& serviceName) override;
    std::vector<std::string> PortToServiceNames(int port) override;
    uint16_t HostToNetShort(uint16_t value) override;
    int ListenSocket(TNetSocket handle, int backlog) override;
    uint16_t NetToHostShort(uint16_t value) override;
    uint32_t HostToNetLong(uint32_t value) override;
    uint32_t NetToHostLong(uint32_t value) override;
    int ReceiveBytes(TNetSocket handle, void* buffer, int length, int flags) override;
    int ReceiveDatagram(TNetSocket handle, void* buffer, int length, int flags,
                        std::string& address, int& port) override;
    int SelectSockets(TNetSocketList* readList, TNetSocketList* writeList,
                      TNetSocketList* errorList, int timeout) override;
    int SendBytes(TNetSocket handle, const void* buffer, int length, int flags) override;
    int SendDatagram(TNetSocket handle, const void* buffer, int length, int flags,
                     const std::string& address, int port) override;
    int SetSocketOption(TNetSocket handle, int level, int option, const void* value, int length) override;
    TNetSocket NewSocket(int family, int type, int protocol) override;
    int ShutdownSocket(TNetSocket handle, int how) override;
    std::string TranslateSocketError(int code) override;
    int LastSocketError() override;
    void PeerAddress(TNetSocket handle, int& family, int& port, std::string& address) override;
    void LocalSocketAddress(TNetSocket handle, int& family, int& port, std::string& address) override;
    int GetSocketOption(TNetSocket handle, int level, int option, void* value, int& length) override;
};

// Maps an errno value, or (resolver = true) a getaddrinfo result, to the
// WinSock error number.
int MapPosixSocketError(int error, bool resolver = false);

// The one stack object, or null while no internet component exists.
extern TNetStack* StackInstance;

// Integer conversion failure of a text field ("'%s' is not a valid integer value").
class ENetConvertError : public Exception {
public:
    using Exception::Exception;
};
// Decimal text to a 32-bit integer: leading blanks and a sign are allowed,
// anything else after the digits is not. NetStrToInt raises ENetConvertError.
int NetStrToInt(const std::string& text);
bool NetTryStrToInt(const std::string& text, int& value);

// Cuts the text before the first delimiter off `text` and answers it; the
// delimiter goes too. Without the delimiter the whole text is answered and
// `text` is left empty.
std::string CutField(std::string& text, const std::string& delimiter, bool caseSensitive = true);

// A dotted IPv4 address after trimming blanks and control characters: four
// fields of 0..255; text after the fourth field is ignored.
bool IsDottedAddress(const std::string& text);
