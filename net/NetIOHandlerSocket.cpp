#include "net/NetIOHandlerSocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <sys/socket.h>

TNetAntiFreezeBase* AntiFreezeInstance = nullptr;

namespace {

// The thread that loads the program is its main (user interface) thread.
std::thread::id g_mainThread = std::this_thread::get_id();

void SleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

// ---------------------------------------------------------------- TNetComponent

TNetComponent::TNetComponent() { TNetStack::AcquireStack(); }

TNetComponent::~TNetComponent() { TNetStack::ReleaseStack(); }

void TNetComponent::BeginWork(TWorkMode mode, int64_t total)
{
    WorkInfo& w = m_work[mode];
    if (++w.level == 1) {
        w.total = total;
        w.count = 0;
        if (OnWorkBegin)
            OnWorkBegin(this, mode, total);
    }
}

void TNetComponent::DoWork(TWorkMode mode, int64_t count)
{
    WorkInfo& w = m_work[mode];
    if (w.level >= 1) {
        w.count += count;
        if (OnWork)
            OnWork(this, mode, w.count);
    }
}

void TNetComponent::EndWork(TWorkMode mode)
{
    WorkInfo& w = m_work[mode];
    if (w.level == 1 && OnWorkEnd)
        OnWorkEnd(this, mode);
    if (w.level > 0)
        --w.level;
}

std::string TNetComponent::StatusText(TNetStatus status, const std::string& argument)
{
    switch (status) {
    case hsResolving: return Format("Resolving hostname %s.", argument.c_str());
    case hsConnecting: return Format("Connecting to %s.", argument.c_str());
    case hsConnected: return "Connected.";
    case hsDisconnecting: return "Disconnecting.";
    case hsDisconnected: return "Disconnected.";
    case hsStatusText:
    case ftpTransfer:
    case ftpReady:
    case ftpAborted: return argument;
    }
    return argument;
}

void TNetComponent::ReportStatus(TNetStatus status, const std::string& argument)
{
    if (OnStatus)
        OnStatus(this, status, StatusText(status, argument));
}

// ---------------------------------------------------------------- anti-freeze

TNetAntiFreezeBase::TNetAntiFreezeBase() { AntiFreezeInstance = this; }

TNetAntiFreezeBase::~TNetAntiFreezeBase() { AntiFreezeInstance = nullptr; }

bool TNetAntiFreezeBase::ShouldUse()
{
    return AntiFreezeInstance && std::this_thread::get_id() == g_mainThread && AntiFreezeInstance->Active;
}

void TNetAntiFreezeBase::DoProcess(bool idle, bool override)
{
    if (ShouldUse() && (idle || !AntiFreezeInstance->OnlyWhenIdle || override))
        AntiFreezeInstance->PumpMessages();
}

void TNetAntiFreezeBase::SetMainThread() { g_mainThread = std::this_thread::get_id(); }

// ---------------------------------------------------------------- interceptor

void TNetConnectionIntercept::Connect(TNetBaseComponent* connection)
{
    m_connection = connection;
    if (OnConnect)
        OnConnect(this);
    if (Intercept)
        Intercept->Connect(connection);
}

void TNetConnectionIntercept::Disconnect()
{
    if (Intercept)
        Intercept->Disconnect();
    if (OnDisconnect)
        OnDisconnect(this);
    m_connection = nullptr;
}

void TNetConnectionIntercept::Receive(TNetStream& stream)
{
    if (Intercept)
        Intercept->Receive(stream);
    if (OnReceive) {
        OnReceive(this, stream);
        stream.SetPosition(0);
    }
}

void TNetConnectionIntercept::Send(TNetStream& stream)
{
    if (OnSend) {
        OnSend(this, stream);
        stream.SetPosition(0);
    }
    if (Intercept)
        Intercept->Send(stream);
}

// ---------------------------------------------------------------- socket binding

TNetSocketHandle::~TNetSocketHandle() { ReleaseHandle(); }

void TNetSocketHandle::SetPeer(const std::string& ip, int port)
{
    m_peerIP = ip;
    m_peerPort = port;
}

void TNetSocketHandle::AllocateHandle(int type, int protocol)
{
    ReleaseHandle();
    m_handle = StackInstance->CreateSocketChecked(type, protocol);
    m_allocated = true;
}

void TNetSocketHandle::BindLocal()
{
    if (m_port != 0 || m_clientPortMin == 0 || m_clientPortMax == 0) {
        if (!AttemptBind())
            throw ENetCouldNotBindSocket();
        return;
    }
    if (m_clientPortMax < m_clientPortMin)
        throw ENetInvalidPortRange(m_clientPortMin, m_clientPortMax);
    for (int port = m_clientPortMax; port >= m_clientPortMin; --port) {
        m_port = port;
        if (AttemptBind())
            return;
    }
    m_port = 0;
    throw ENetCanNotBindPortInRange(m_clientPortMin, m_clientPortMax);
}

bool TNetSocketHandle::AttemptBind()
{
    const int rc = StackInstance->BindSocket(m_handle, Id_PF_INET, m_port, m_ip);
    if (StackInstance->CheckSocketResult(rc, {WSAEADDRINUSE}))
        return false;
    UpdateBindingLocal();
    return true;
}

int TNetSocketHandle::ConnectToPeer()
{
    const int rc = StackInstance->ConnectSocket(m_handle, Id_PF_INET, m_peerPort, m_peerIP);
    if (rc != NetSocketError) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
    return rc;
}

bool TNetSocketHandle::WaitReadable(int timeout) { return WaitReady(true, timeout); }

bool TNetSocketHandle::WaitWritable(int timeout) { return WaitReady(false, timeout); }

bool TNetSocketHandle::WaitReady(bool forReading, int timeout)
{
    if (!m_allocated)
        throw ENetConnClosedGracefully();
    using Clock = std::chrono::steady_clock;
    const bool limited = timeout != WaitForever;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? std::max(0, timeout) : 0);
    // With the anti-freeze hook the wait runs in its steps, the hook called
    // after each one; without it, in one go.
    for (;;) {
        int wait = WaitForever;
        if (limited)
            wait = static_cast<int>(std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        if (TNetAntiFreezeBase::ShouldUse())
            wait = wait == WaitForever ? AntiFreezeInstance->IdleTimeOut : std::min(wait, AntiFreezeInstance->IdleTimeOut);
        TNetSocketListPosix list;
        list.Add(m_handle);
        const bool ready = forReading ? StackInstance->SelectSockets(&list, nullptr, nullptr, wait) == 1
                                      : StackInstance->SelectSockets(nullptr, &list, nullptr, wait) == 1;
        TNetAntiFreezeBase::DoProcess(!ready);
        if (ready)
            return true;
        if (limited && Clock::now() >= deadline)
            return false;
    }
}

void TNetSocketHandle::ReleaseHandle()
{
    if (m_allocated) {
        m_allocated = false;
        if (StackInstance) {
            StackInstance->ShutdownSocket(m_handle, Id_SD_Send);
            StackInstance->CloseSocketHandle(m_handle);
        }
    }
    m_handle = NetInvalidSocket;
}

void TNetSocketHandle::Reset()
{
    m_handle = NetInvalidSocket;
    m_allocated = false;
    m_ip.clear();
    m_port = 0;
    m_peerIP.clear();
    m_peerPort = 0;
}

void TNetSocketHandle::Listen(int backlog)
{
    StackInstance->CheckSocketResult(StackInstance->ListenSocket(m_handle, backlog));
}

bool TNetSocketHandle::Accept(TNetSocket listening)
{
    // The binding may hold the listening socket itself; its owner closes it.
    Reset();
    std::string peerIP;
    int peerPort = 0;
    const TNetSocket accepted = StackInstance->AcceptSocket(listening, peerIP, peerPort);
    if (StackInstance->CheckSocketResult(accepted == NetInvalidSocket ? NetSocketError : 0,
                                         {WSAEINTR, WSAENOTSOCK}))
        return false;
    m_handle = accepted;
    m_allocated = true;
    UpdateBindingLocal();
    UpdateBindingPeer();
    return true;
}

void TNetSocketHandle::UpdateBindingLocal()
{
    int family = 0;
    StackInstance->LocalSocketAddress(m_handle, family, m_port, m_ip);
}

void TNetSocketHandle::UpdateBindingPeer()
{
    int family = 0;
    StackInstance->PeerAddress(m_handle, family, m_peerPort, m_peerIP);
}

// ---------------------------------------------------------------- socket transport

TNetIOHandlerSocket::TNetIOHandlerSocket() = default;

TNetIOHandlerSocket::~TNetIOHandlerSocket()
{
    // The binding closes its socket before the stack may go away with this
    // component's release.
    m_binding.reset();
}

TNetSocksInfo* TNetIOHandlerSocket::SocksInfo()
{
    if (!m_socksInfo) {
        m_ownSocksInfo = std::make_unique<TNetSocksInfo>();
        m_socksInfo = m_ownSocksInfo.get();
    }
    return m_socksInfo;
}

void TNetIOHandlerSocket::SetSocksInfo(TNetSocksInfo* info)
{
    if (info) {
        m_ownSocksInfo.reset();
        m_socksInfo = info;
    } else {
        m_socksInfo = nullptr;
        m_ownSocksInfo.reset();
    }
}

void TNetIOHandlerSocket::CloseTransport()
{
    if (m_binding)
        m_binding->ReleaseHandle();
}

void TNetIOHandlerSocket::OpenTransport()
{
    if (!m_binding)
        m_binding = std::make_unique<TNetSocketHandle>();
    else {
        m_binding->ReleaseHandle();
        m_binding->Reset();
    }
}

bool TNetIOHandlerSocket::TransportConnected() { return m_binding && m_binding->HandleAllocated(); }

void TNetIOHandlerSocket::ConnectTransport(const std::string& host, int port, const std::string& boundIP,
                                           int boundPort, int boundPortMin, int boundPortMax, int timeout)
{
    if (m_socksInfo && m_socksInfo->Version != svNoSocks)
        throw ENetException("SOCKS proxies are not supported.");
    // A program that is closing opens no new connection (a clean-up session
    // after a given-up transfer included).
    if (TNetAntiFreezeBase::ShouldUse() && AntiFreezeInstance->Abandoned())
        throw ENetException("The request was abandoned: the program is closing.");
    if (!m_binding)
        OpenTransport();

    m_binding->AllocateHandle(Id_SOCK_STREAM, 0);
    m_binding->SetIP(boundIP);
    m_binding->SetPort(boundPort);
    m_binding->SetClientPortMin(boundPortMin);
    m_binding->SetClientPortMax(boundPortMax);
    m_binding->BindLocal();

    if (!StackInstance->IsIPv4Text(host))
        ReportStatus(hsResolving, host);
    m_binding->SetPeer(StackInstance->ResolveHostAddress(host), port);

    if (!m_useNagle) {
        const int one = 1;
        StackInstance->SetSocketOption(m_binding->Handle(), Id_IPPROTO_TCP, Id_TCP_NODELAY, &one, sizeof one);
    }
    ReportStatus(hsConnecting, m_binding->PeerIP());

    if (timeout != UseDefaultTimeout && timeout != 0)
        ConnectWithTimeout(timeout);
    else if (TNetAntiFreezeBase::ShouldUse())
        ConnectWithTimeout(120000);
    else
        StackInstance->CheckSocketResult(m_binding->ConnectToPeer());
}

void TNetIOHandlerSocket::ConnectWithTimeout(int timeout)
{
    TNetSocketHandle* binding = m_binding.get();
    std::atomic<bool> finished {false};
    std::atomic<bool> cancel {false};
    std::string errorText;

    // The connect thread: the connect itself, with the codes of a socket
    // closed under it ignored; any error is kept as text for this thread.
    std::thread worker([&] {
        try {
            const int rc = StackInstance->ConnectSocketCancellable(binding->Handle(), Id_PF_INET,
                                                                   binding->PeerPort(), binding->PeerIP(), cancel);
            if (!StackInstance->CheckSocketResult(rc, {WSAEBADF, WSAENOTSOCK}) && rc != NetSocketError) {
                binding->UpdateBindingLocal();
                binding->UpdateBindingPeer();
            }
        } catch (const std::exception& e) {
            errorText = e.what();
            if (errorText.empty())
                errorText = "Connect failed.";
        }
        finished = true;
    });

    int step = 125;
    if (TNetAntiFreezeBase::ShouldUse())
        step = std::min(AntiFreezeInstance->IdleTimeOut, 125);
    int remaining = timeout == WaitForever ? step + 1 : timeout;
    try {
        while (remaining > step) {
            SleepMs(step);
            TNetAntiFreezeBase::DoProcess(true);
            remaining = timeout == WaitForever ? step + 1 : remaining - step;
            if (finished) {
                remaining = 0;
                break;
            }
        }
    } catch (...) {
        // The anti-freeze hook may end the wait (a request given up by its
        // owner); the connect thread must be stopped before it unwinds.
        cancel = true;
        worker.join();
        CloseTransport();
        throw;
    }
    SleepMs(remaining);

    if (!finished) {
        // The pending connect gives up within one poll step; the socket is
        // closed only once the thread no longer uses it.
        cancel = true;
        worker.join();
        CloseTransport();
        throw ENetConnectTimeout();
    }
    worker.join();
    if (!errorText.empty())
        throw ENetConnectException(errorText);
}

bool TNetIOHandlerSocket::TransportReadable(int timeout)
{
    if (!m_binding)
        throw ENetConnClosedGracefully();
    return m_binding->WaitReadable(timeout);
}

int TNetIOHandlerSocket::TransportReceive(void* buffer, int length)
{
    if (!TransportConnected())
        throw ENetClosedSocket();
    return StackInstance->ReceiveBytes(m_binding->Handle(), buffer, length, 0);
}

bool TNetIOHandlerSocket::TransportWritable(int timeout)
{
    // As the send itself would report it.
    if (!TransportConnected())
        throw ENetClosedSocket();
    return m_binding->WaitWritable(timeout);
}

int TNetIOHandlerSocket::TransportSend(const void* buffer, int length)
{
    if (!TransportConnected())
        throw ENetClosedSocket();
    // Never blocks: what the socket cannot take now waits for TransportWritable.
    const int n = StackInstance->SendBytes(m_binding->Handle(), buffer, length, MSG_DONTWAIT);
    if (n == NetSocketError && StackInstance->LastSocketError() == WSAEWOULDBLOCK)
        return 0;
    return n;
}
