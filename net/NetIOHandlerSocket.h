#pragma once
// The socket transport: the component base of the internet layer (status and
// progress events, counting in and out of the socket stack), the transport a
// connection reads and writes through, and the socket binding that holds one
// socket with its local and peer address.
//
// Everything runs on the caller's thread and blocks. The only other thread is
// the one that performs a connect when a connect time-out is given.

#include "net/NetStack.h"
#include "net/NetStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TNetBaseComponent;

enum TNetStatus {
    hsResolving,     // "Resolving hostname %s."
    hsConnecting,    // "Connecting to %s."
    hsConnected,     // "Connected."
    hsDisconnecting, // "Disconnecting."
    hsDisconnected,  // "Disconnected."
    hsStatusText,    // "%s"
    ftpTransfer,     // "%s"
    ftpReady,        // "%s"
    ftpAborted,      // "%s"
};

enum TWorkMode { wmRead, wmWrite };

using TNetStatusEvent = std::function<void(TNetBaseComponent* sender, TNetStatus status, const std::string& text)>;
using TNetWorkBeginEvent = std::function<void(TNetBaseComponent* sender, TWorkMode mode, int64_t total)>;
using TNetWorkEvent = std::function<void(TNetBaseComponent* sender, TWorkMode mode, int64_t count)>;
using TNetWorkEndEvent = std::function<void(TNetBaseComponent* sender, TWorkMode mode)>;
using TNetNotifyEvent = std::function<void(TNetBaseComponent* sender)>;

// ---------------------------------------------------------------- exceptions

class ENetSilentException : public ENetException {
public:
    using ENetException::ENetException;
};
class ENetConnClosedGracefully : public ENetSilentException {
public:
    ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};
class ENetClosedSocket : public ENetException {
public:
    ENetClosedSocket() : ENetException("Disconnected.") {}
};
class ENetConnectTimeout : public ENetException {
public:
    ENetConnectTimeout() : ENetException("Connect timed out.") {}
};
class ENetConnectException : public ENetException {
public:
    using ENetException::ENetException;
};
class ENetSocketHandleError : public ENetException {
public:
    using ENetException::ENetException;
};
class ENetCouldNotBindSocket : public ENetSocketHandleError {
public:
    ENetCouldNotBindSocket() : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};
class ENetCanNotBindPortInRange : public ENetSocketHandleError {
public:
    ENetCanNotBindPortInRange(int min, int max)
        : ENetSocketHandleError(Format("Can not bind in port range (%d - %d)", min, max)) {}
};
class ENetInvalidPortRange : public ENetSocketHandleError {
public:
    ENetInvalidPortRange(int min, int max)
        : ENetSocketHandleError(Format("Invalid Port Range (%d - %d)", min, max)) {}
};

// ---------------------------------------------------------------- components

class TNetBaseComponent {
public:
    TNetBaseComponent() = default;
    virtual ~TNetBaseComponent() = default;
    TNetBaseComponent(const TNetBaseComponent&) = delete;
    TNetBaseComponent& operator=(const TNetBaseComponent&) = delete;
};

// Counts itself in and out of the socket stack, and reports status and
// progress through its events (each fired only when assigned).
class TNetComponent : public TNetBaseComponent {
public:
    TNetComponent();
    ~TNetComponent() override;

    TNetStatusEvent OnStatus;
    TNetWorkBeginEvent OnWorkBegin;
    TNetWorkEvent OnWork;
    TNetWorkEndEvent OnWorkEnd;

    // Nested begin/end pairs of one mode give one OnWorkBegin and one
    // OnWorkEnd; OnWork reports the running count since the outermost begin.
    virtual void BeginWork(TWorkMode mode, int64_t total = 0);
    virtual void DoWork(TWorkMode mode, int64_t count);
    virtual void EndWork(TWorkMode mode);

    // Fires OnStatus with the status's text (formatted with `argument` for
    // the "%s" forms).
    void ReportStatus(TNetStatus status, const std::string& argument = {});
    static std::string StatusText(TNetStatus status, const std::string& argument = {});

private:
    struct WorkInfo {
        int level = 0;
        int64_t total = 0;
        int64_t count = 0;
    };
    WorkInfo m_work[2];
};

// ---------------------------------------------------------------- anti-freeze

// Hook for an object that keeps a user interface responsive during blocking
// waits: every wait for a socket (in either direction) runs in steps of
// IdleTimeOut ms and calls PumpMessages between them, which may raise to end
// the wait. Without a registered object each wait is one plain wait.
class TNetAntiFreezeBase : public TNetBaseComponent {
public:
    TNetAntiFreezeBase();
    ~TNetAntiFreezeBase() override;

    bool Active = true;
    bool ApplicationHasPriority = true;
    int IdleTimeOut = 250;
    bool OnlyWhenIdle = true;

    virtual void PumpMessages() = 0;
    // True once the program gave its requests up (it is closing): no new
    // connection is started then.
    virtual bool Abandoned() const { return false; }

    // True when an anti-freeze object is registered, the caller is the main
    // thread and the object is active.
    static bool ShouldUse();
    static void DoProcess(bool idle = true, bool override = false);
    // Marks the calling thread as the main thread (done at start-up for the
    // thread that loads the program).
    static void SetMainThread();
};
extern TNetAntiFreezeBase* AntiFreezeInstance;

// ---------------------------------------------------------------- interceptor

class TNetConnectionIntercept;
using TNetInterceptNotifyEvent = std::function<void(TNetConnectionIntercept* sender)>;
using TNetInterceptStreamEvent = std::function<void(TNetConnectionIntercept* sender, TNetStream& stream)>;

// Sees and may transform every byte a connection sends and receives. Chains
// to a nested interceptor (not owned).
class TNetConnectionIntercept : public TNetBaseComponent {
public:
    TNetInterceptNotifyEvent OnConnect;
    TNetInterceptNotifyEvent OnDisconnect;
    TNetInterceptStreamEvent OnReceive;
    TNetInterceptStreamEvent OnSend;
    TNetConnectionIntercept* Intercept = nullptr;

    virtual void Connect(TNetBaseComponent* connection);
    virtual void Disconnect();
    virtual void Receive(TNetStream& stream);
    virtual void Send(TNetStream& stream);
    TNetBaseComponent* Connection() const { return m_connection; }

private:
    TNetBaseComponent* m_connection = nullptr;
};

// ---------------------------------------------------------------- SOCKS settings

enum TNetSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TNetSocksAuthentication { saNoAuthentication, saUsernamePassword };

// SOCKS proxy settings. Only svNoSocks (direct connections) is supported; a
// connect with another version raises ENetException "SOCKS proxies are not supported.".
class TNetSocksInfo : public TNetComponent {
public:
    TNetSocksVersion Version = svNoSocks;
    TNetSocksAuthentication Authentication = saNoAuthentication;
    std::string Host;
    int Port = 1080;
    std::string Username;
    std::string Password;
};

// ---------------------------------------------------------------- socket binding

// One socket with its local address (IP, Port) and peer address. Created
// with no socket; AllocateHandle gives it one, ReleaseHandle closes it.
class TNetSocketHandle {
public:
    TNetSocketHandle() = default;
    virtual ~TNetSocketHandle();
    TNetSocketHandle(const TNetSocketHandle&) = delete;
    TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

    TNetSocket Handle() const { return m_handle; }
    bool HandleAllocated() const { return m_allocated; }

    const std::string& IP() const { return m_ip; }
    void SetIP(const std::string& ip) { m_ip = ip; }
    int Port() const { return m_port; }
    void SetPort(int port) { m_port = port; }
    const std::string& PeerIP() const { return m_peerIP; }
    int PeerPort() const { return m_peerPort; }
    void SetPeer(const std::string& ip, int port);
    int ClientPortMin() const { return m_clientPortMin; }
    void SetClientPortMin(int port) { m_clientPortMin = port; }
    int ClientPortMax() const { return m_clientPortMax; }
    void SetClientPortMax(int port) { m_clientPortMax = port; }

    // Releases any earlier socket and creates a new one (ENetInvalidSocket).
    void AllocateHandle(int type = Id_SOCK_STREAM, int protocol = 0);
    // Binds to IP:Port, or walks the port range from the top down. Raises
    // ENetCouldNotBindSocket, ENetInvalidPortRange or ENetCanNotBindPortInRange.
    void BindLocal();
    // connect(); answers the stack's result (0 or -1); refreshes both
    // addresses on success.
    virtual int ConnectToPeer();
    // True when input (or a close) is waiting within the time-out (ms).
    // Raises ENetConnClosedGracefully when there is no socket.
    bool WaitReadable(int timeout);
    // True when a send can take bytes (or the socket failed) within the
    // time-out (ms). Raises ENetConnClosedGracefully when there is no socket.
    bool WaitWritable(int timeout);
    // Closes the socket (shutdown of the sending side, then close); results
    // are not checked.
    virtual void ReleaseHandle();
    // Forgets the socket without closing it and clears the addresses.
    void Reset();
    void Listen(int backlog);
    // Forgets the current socket (without closing it: it may be `listening`
    // itself), accepts on `listening` and takes the new socket; false for
    // codes 10004 and 10038 (the listening socket was closed under the call).
    bool Accept(TNetSocket listening);
    void UpdateBindingLocal();
    void UpdateBindingPeer();

private:
    bool AttemptBind();
    bool WaitReady(bool forReading, int timeout);

    TNetSocket m_handle = NetInvalidSocket;
    bool m_allocated = false;
    std::string m_ip;
    int m_port = 0;
    std::string m_peerIP;
    int m_peerPort = 0;
    int m_clientPortMin = 0;
    int m_clientPortMax = 0;
};

// ---------------------------------------------------------------- transports

class TNetIOHandler : public TNetComponent {
public:
    virtual void AcceptedHook() {}
    virtual void CloseTransport() {}
    virtual void ConnectTransport(const std::string& host, int port, const std::string& boundIP, int boundPort,
                                  int boundPortMin, int boundPortMax, int timeout)
    {
        (void)host, (void)port, (void)boundIP, (void)boundPort, (void)boundPortMin, (void)boundPortMax, (void)timeout;
    }
    virtual bool TransportConnected() = 0;
    virtual void OpenTransport() {}
    virtual bool TransportReadable(int timeout) = 0;
    // True when TransportSend can make progress within the time-out (ms;
    // WaitForever: no limit).
    virtual bool TransportWritable(int timeout)
    {
        (void)timeout;
        return true;
    }
    // Count, 0 when the peer closed, -1 on failure (see LastSocketError).
    virtual int TransportReceive(void* buffer, int length) = 0;
    // Count taken, 0 when none can be taken now (wait with
    // TransportWritable), -1 on failure. Never blocks.
    virtual int TransportSend(const void* buffer, int length) = 0;
};

class TNetIOHandlerSocket : public TNetIOHandler {
public:
    TNetIOHandlerSocket();
    ~TNetIOHandlerSocket() override;

    // Created on first read unless one is assigned (an assigned one is not owned).
    TNetSocksInfo* SocksInfo();
    void SetSocksInfo(TNetSocksInfo* info);
    bool UseNagle() const { return m_useNagle; }
    void SetUseNagle(bool value) { m_useNagle = value; }

    // Null until the first OpenTransport.
    TNetSocketHandle* SocketBinding() { return m_binding.get(); }

    void CloseTransport() override;
    void ConnectTransport(const std::string& host, int port, const std::string& boundIP, int boundPort,
                          int boundPortMin, int boundPortMax, int timeout) override;
    bool TransportConnected() override;
    void OpenTransport() override;
    bool TransportReadable(int timeout) override;
    bool TransportWritable(int timeout) override;
    int TransportReceive(void* buffer, int length) override;
    int TransportSend(const void* buffer, int length) override;

    // Connects in a second thread and waits at most `timeout` ms (WaitForever:
    // no limit) in 125 ms steps; raises ENetConnectTimeout or
    // ENetConnectException with the connect's own error text.
    void ConnectWithTimeout(int timeout);

private:
    std::unique_ptr<TNetSocketHandle> m_binding;
    std::unique_ptr<TNetSocksInfo> m_ownSocksInfo;
    TNetSocksInfo* m_socksInfo = nullptr;
    bool m_useNagle = true;
};
