#include "net/NetFTP.h"

#include "net/NetURI.h"
#include "platform/core/Text.h"

#include <chrono>
#include <cstdio>

namespace {

using asciitext::Trim;

// One number of a PASV reply: a decimal byte.
int PassiveField(std::string& rest)
{
    const std::string field = CutField(rest, ",");
    const int value = NetStrToInt(Trim(field));
    if (value < 0 || value > 255)
        throw ENetConvertError(Format("'%s' is not a valid byte value", field.c_str()));
    return value;
}

} // namespace

// ---------------------------------------------------------------- TNetSimpleServer

TNetSimpleServer::TNetSimpleServer() = default;

TNetSimpleServer::~TNetSimpleServer()
{
    CloseListenHandle();
}

void TNetSimpleServer::CloseListenHandle()
{
    if (m_listenHandle == NetInvalidSocket)
        return;
    // The binding holds the listening socket until a connection is accepted;
    // make sure it is not closed twice.
    TNetSocketHandle* binding = SocketBinding();
    if (binding && binding->Handle() == m_listenHandle)
        binding->Reset();
    StackInstance->CloseSocketHandle(m_listenHandle);
    m_listenHandle = NetInvalidSocket;
}

void TNetSimpleServer::RequestAbort() { m_abortRequested = true; }

void TNetSimpleServer::ResetInput()
{
    TNetTCPConnection::ResetInput();
    m_abortRequested = false;
    m_listening = false;
    CloseListenHandle();
    FreeOwnedIOHandler();
}

void TNetSimpleServer::StopListener() { ResetInput(); }

void TNetSimpleServer::StartListener()
{
    if (!SocketBinding()) {
        ResetInput();
        EnsureIOHandler()->OpenTransport();
    }
    try {
        if (m_listenHandle == NetInvalidSocket)
            BindListener();
        SocketBinding()->Listen(15);
        m_listening = true;
    } catch (...) {
        CloseListenHandle();
        FreeOwnedIOHandler();
        throw;
    }
}

void TNetSimpleServer::BindListener()
{
    TNetSocketHandle* binding = SocketBinding();
    binding->AllocateHandle(Id_SOCK_STREAM, 0);
    m_listenHandle = binding->Handle();
    try {
        binding->SetIP(m_boundIP);
        binding->SetPort(m_boundPort);
        binding->BindLocal();
    } catch (...) {
        m_listenHandle = NetInvalidSocket;
        binding->ReleaseHandle();
        throw;
    }
}

bool TNetSimpleServer::AcceptOne()
{
    if (!m_listening)
        StartListener();
    bool accepted = false;
    try {
        TNetSocketHandle* binding = SocketBinding();
        // A 0 ms poll per step would spin; wait in short steps instead, and
        // give up after the overall limit (a server behind address
        // translation may never connect back).
        const int step = m_acceptWait > 0 ? m_acceptWait : 250;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_acceptTimeout);
        bool ready = false;
        while (!m_abortRequested && !ready) {
            ready = binding->WaitReadable(step);
            if (!ready && m_acceptTimeout != WaitForever && std::chrono::steady_clock::now() >= deadline)
                throw ENetConnectTimeout();
        }
        if (ready && !m_abortRequested) {
            StackInstance->ListenSocket(m_listenHandle, 1);
            accepted = binding->Accept(m_listenHandle);
        }
    } catch (...) {
        CloseListenHandle();
        m_listening = false;
        throw;
    }
    CloseListenHandle();
    m_listening = false;
    return accepted;
}

// ---------------------------------------------------------------- TNetFTP

TNetFTP::TNetFTP() { SetPort(21); }

TNetFTP::~TNetFTP()
{
    FreeDataChannel();
    // The control channel's TLS transport is a member: close through it
    // while it still exists, and detach it before the connection goes.
    try {
        CloseSocketOnly();
    } catch (...) {
    }
    SetIOHandler(nullptr);
}

void TNetFTP::FreeDataChannel()
{
    std::unique_ptr<TNetTCPConnection> channel;
    {
        std::lock_guard<std::mutex> lock(m_dataLock);
        channel = std::move(m_dataConnection);
    }
    // The channel closes through its transport, so the transport goes last.
    channel.reset();
    if (m_dataTLS) {
        if (TNetTLSSession session = m_dataTLS->Session())
            m_dataSession = std::move(session);
        m_dataTLS.reset();
    }
}

std::string TNetFTP::TLSProtocol() const
{
    return m_tlsActive && m_controlTLS ? m_controlTLS->ProtocolName() : std::string();
}

void TNetFTP::SetTransferType(TNetFTPTransferType value)
{
    if (value == m_transferType || m_dataConnection)
        return;
    m_transferType = value;
    if (IsConnected())
        SendTypeCommand();
}

void TNetFTP::OpenSession(bool login, int timeout)
{
    m_sessionTimeout = timeout;
    m_tlsActive = false;
    m_dataSession.reset();
    if (m_security != fsNone) {
        // The control channel starts plain on a TLS transport; AUTH TLS
        // switches it over.
        if (!m_controlTLS)
            m_controlTLS = std::make_unique<TNetIOHandlerTLS>();
        if (IOHandler() != m_controlTLS.get()) {
            CloseSocketOnly();
            SetIOHandler(m_controlTLS.get());
        }
        m_controlTLS->SetMode(TNetTLSMode::PassThrough);
        m_controlTLS->SetTrustedFingerprint(m_trustedFingerprint);
        m_controlTLS->OnStatus = OnStatus;
    } else if (m_controlTLS && IOHandler() == m_controlTLS.get()) {
        CloseSocketOnly();
        SetIOHandler(nullptr); // plain FTP on the plain socket transport, as always
    }
    try {
        const std::string host = Host();
        const int port = Port();
        if (m_proxySettings.ProxyType != fpcmNone && !m_proxySettings.Host.empty()) {
            SetHost(m_proxySettings.Host);
            SetPort(m_proxySettings.Port);
        }
        m_step = "connecting";
        try {
            ConnectToHost(timeout);
        } catch (...) {
            SetHost(host);
            SetPort(port);
            throw;
        }
        SetHost(host);
        SetPort(port);

        ExpectReply({220});
        m_greetingReply.Assign(m_lastReply);
        if (m_security != fsNone)
            NegotiateTLS();
        if (login) {
            SignIn();
            if (OnAfterClientLogin)
                OnAfterClientLogin(this);
            if (m_tlsActive) {
                // No buffer size for a stream protocol, and private data
                // channels.
                SendCommand("PBSZ 0", TNetReplyCodes {200});
                SendCommand("PROT P", TNetReplyCodes {200});
            }
            SendTypeCommand();
            if (SendCommand("SYST", TNetReplyCodes {200, 215, 500}) == 500)
                m_systemDescription = "Unknown";
            else
                m_systemDescription = m_lastReply.Text().empty() ? std::string() : m_lastReply.Text().front();
            ReportStatus(ftpReady, "Connection established");
        }
    } catch (...) {
        CloseConnection();
        throw;
    }
}

bool TNetFTP::IsNoTLSReply(int code)
{
    // 500/502: no AUTH command at all; 504: no such mechanism; 534: refused
    // by policy; 530: servers that accept nothing but USER and PASS before
    // a login, which is how vsftpd without TLS answers.
    return code == 500 || code == 502 || code == 504 || code == 530 || code == 534;
}

void TNetFTP::NegotiateTLS()
{
    const int code = SendCommand("AUTH TLS", -1);
    if (code == 234) {
        // A failed handshake or a refused certificate ends the session here;
        // it is never a reason to go on in plain text.
        m_controlTLS->StartTLS(Host());
        m_tlsActive = true;
        return;
    }
    if (m_security == fsAuto && IsNoTLSReply(code))
        return;
    RaiseReplyError();
}

void TNetFTP::UserLogin(const std::string& user, const std::string& password)
{
    if (SendCommand("USER " + user, TNetReplyCodes {230, 331}) == 331)
        SendCommand("PASS " + password, TNetReplyCodes {230});
}

void TNetFTP::SignIn()
{
    const auto& proxy = m_proxySettings;
    switch (proxy.ProxyType) {
    case fpcmNone:
        UserLogin(m_username, m_password);
        break;
    case fpcmUserSite:
        if (!proxy.UserName.empty())
            UserLogin(proxy.UserName, proxy.Password);
        UserLogin(m_username + "@" + Host(), m_password);
        break;
    case fpcmSite:
        if (!proxy.UserName.empty())
            UserLogin(proxy.UserName, proxy.Password);
        SendCommand("SITE " + Host());
        UserLogin(m_username, m_password);
        break;
    case fpcmOpen:
        if (!proxy.UserName.empty())
            UserLogin(proxy.UserName, proxy.Password);
        SendCommand("OPEN " + Host());
        UserLogin(m_username, m_password);
        break;
    case fpcmUserPass:
        if (SendCommand(Format("USER %s@%s@%s", m_username.c_str(), proxy.UserName.c_str(), Host().c_str()),
                        TNetReplyCodes {230, 331}) == 331) {
            if (proxy.Password.empty())
                SendCommand("PASS " + m_password, TNetReplyCodes {230});
            else
                SendCommand("PASS " + m_password + "@" + proxy.Password, TNetReplyCodes {230});
        }
        break;
    case fpcmTransparent:
        if (!proxy.UserName.empty())
            UserLogin(proxy.UserName, proxy.Password);
        UserLogin(m_username, m_password);
        break;
    case fpcmHttpProxyWithFtp:
        throw ENetException("Command not supported.");
    }
    m_loginReply.Assign(m_lastReply);
}

void TNetFTP::SendTypeCommand()
{
    SendCommand(std::string("TYPE ") + (m_transferType == ftASCII ? "A" : "I"), TNetReplyCodes {200});
}

void TNetFTP::StoreFile(const std::string& localName, const std::string& remoteName, bool append)
{
    TNetFileStream file(localName, fmOpenRead);
    StoreStream(file, remoteName, append);
}

void TNetFTP::StoreStream(TNetStream& source, const std::string& remoteName, bool append)
{
    std::string command;
    if (remoteName.empty())
        command = "STOU " + remoteName;
    else if (append)
        command = "APPE " + remoteName;
    else
        command = "STOR " + remoteName;
    TransferOut(command, source);
}

namespace {
// A memory stream that stops a listing past its limit.
class TListSink : public TNetMemoryStream {
public:
    int64_t Write(const void* buffer, int64_t count) override
    {
        if (count > 0 && Position() + count > TNetFTP::ListLimitBytes)
            throw ENetException(Format("The folder list is longer than %lld bytes.",
                                       static_cast<long long>(TNetFTP::ListLimitBytes)));
        return TNetMemoryStream::Write(buffer, count);
    }
};
} // namespace

std::vector<std::string> TNetFTP::ListNames(const std::string& folder)
{
    TListSink sink;
    m_dataIn = true;
    try {
        TransferOut(folder.empty() ? std::string("NLST") : "NLST " + folder, sink);
    } catch (...) {
        m_dataIn = false;
        throw;
    }
    m_dataIn = false;
    std::vector<std::string> names;
    std::string rest = sink.DataString();
    while (!rest.empty()) {
        std::string line = CutField(rest, "\n");
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            names.push_back(line);
    }
    return names;
}

void TNetFTP::MoveData(TNetTCPConnection& data, TNetStream& stream, bool fromStart)
{
    if (m_dataIn)
        data.ReadToStream(stream, -1, true);
    else
        data.WriteFromStream(stream, fromStart, false, 0);
}

void TNetFTP::PrepareDataChannel(TNetTCPConnection& channel)
{
    // A server that stops reading the data is given as long as one that
    // stops answering on the control connection.
    channel.SetReadTimeout(ReadTimeout());
    channel.SetSendBufferSize(SendBufferSize());
    channel.SetRecvBufferSize(RecvBufferSize());
    channel.OnWork = OnWork;
    channel.OnWorkBegin = OnWorkBegin;
    channel.OnWorkEnd = OnWorkEnd;
}

TNetIOHandlerTLS* TNetFTP::NewDataTLS()
{
    m_dataTLS = std::make_unique<TNetIOHandlerTLS>();
    m_dataTLS->SetTrustedFingerprint(m_trustedFingerprint);
    // The upload is complete only once the server has read all of it.
    m_dataTLS->SetCloseLinger(10000);
    // Servers check that the data channel comes from the same client as the
    // control channel by asking for the control channel's session.
    m_dataTLS->SetResumeSession(m_dataSession ? m_dataSession
                                              : m_controlTLS ? m_controlTLS->Session() : TNetTLSSession());
    return m_dataTLS.get();
}

std::string TNetFTP::ControlPeerIP()
{
    TNetSocketHandle* binding = SocketBinding();
    return binding ? binding->PeerIP() : std::string();
}

void TNetFTP::TransferOut(const std::string& command, TNetStream& source)
{
    ReportStatus(ftpTransfer, "Starting FTP transfer");
    m_dataClosedByAbort = false;
    const int64_t start = source.Position();
    const bool passive = m_passive || (m_passiveFallback && !m_passiveHost.empty() && m_passiveHost == Host());
    try {
        if (passive) {
            m_lastTransferPassive = true;
            PassiveTransfer(command, source);
        } else {
            m_lastTransferPassive = false;
            try {
                ActiveTransfer(command, source);
            } catch (const Exception&) {
                if (!m_passiveFallback || m_activeFailure == ActiveFailure::None)
                    throw;
                if (m_activeFailure == ActiveFailure::NoConnectBack) {
                    // The server may still try to connect for the store it
                    // accepted; a fresh session is the clean way out.
                    CloseConnection();
                    OpenSession(true, m_sessionTimeout);
                }
                source.SetPosition(start);
                m_lastTransferPassive = true;
                PassiveTransfer(command, source);
                // Behind address translation every active attempt would
                // fail the same way.
                m_passiveHost = Host();
            }
        }
    } catch (const ENetWriteTimeout&) {
        ReportStatus(ftpReady, "Transfer complete");
        RaiseNoAnswer();
    } catch (const ENetProtocolReplyError&) {
        ReportStatus(ftpReady, "Transfer complete");
        throw;
    } catch (const ENetFTPNoAnswer&) {
        ReportStatus(ftpReady, "Transfer complete");
        throw;
    } catch (const ENetConnectTimeout&) {
        ReportStatus(ftpReady, "Transfer complete");
        throw;
    } catch (const ENetException&) {
        ReportStatus(ftpReady, "Transfer complete");
        // A server that ends the transfer itself (a full disk, a quota)
        // says why on the control connection; that is the error to show,
        // not the reset of the data connection it caused.
        if (ReadReplyAfterFailedTransfer())
            throw ENetProtocolReplyError(
                m_lastReply.NumericCode(),
                Format("The FTP server %s ended the transfer: %d %s", Host().c_str(), m_lastReply.NumericCode(),
                       Trim(m_lastReply.Text().empty() ? std::string() : m_lastReply.Text().front()).c_str()));
        throw;
    } catch (...) {
        ReportStatus(ftpReady, "Transfer complete");
        throw;
    }
    ReportStatus(ftpReady, "Transfer complete");

    const int code = ExpectReply({225, 226, 250, 426, 450});
    if (code == 426 || code == 450) {
        ExpectReply({226, 225});
        ReportStatus(ftpAborted, "Transfer aborted");
    }
}

void TNetFTP::PassiveTransfer(const std::string& command, TNetStream& source)
{
    std::string address;
    int port = 0;
    RequestPassiveAddress(address, port);
    WriteLine(command);
    auto client = std::make_unique<TNetTCPClient>();
    TNetTCPClient* data = client.get();
    PrepareDataChannel(*data);
    data->SetHost(address);
    data->SetPort(port);
    TNetIOHandlerTLS* tls = m_tlsActive ? NewDataTLS() : nullptr;
    if (tls)
        data->SetIOHandler(tls);
    {
        std::lock_guard<std::mutex> lock(m_dataLock);
        m_dataConnection = std::move(client);
    }
    try {
        data->ConnectToHost(UseDefaultTimeout);
        try {
            // The certificate is checked against the host the user named,
            // not the data address.
            if (tls)
                tls->StartTLS(Host());
            ExpectReply({110, 125, 150});
            try {
                MoveData(*data, source, false);
            } catch (const ENetSocketError& e) {
                // The data socket was closed under the send by an
                // abort: depending on which side's close is seen
                // first the send fails with 10038, 10058 or 10054.
                if (!m_dataClosedByAbort && e.LastError() != WSAENOTSOCK)
                    throw;
            }
        } catch (...) {
            // Nothing is waited for on a transfer that failed.
            if (tls)
                tls->SetCloseLinger(0);
            data->CloseConnection();
            throw;
        }
        data->CloseConnection();
    } catch (...) {
        FreeDataChannel();
        throw;
    }
    FreeDataChannel();
}

void TNetFTP::ActiveTransfer(const std::string& command, TNetStream& source)
{
    m_activeFailure = ActiveFailure::None;
    auto server = std::make_unique<TNetSimpleServer>();
    TNetSimpleServer* data = server.get();
    PrepareDataChannel(*data);
    // Offer the data connection on the interface the control
    // connection uses.
    data->SetBoundIP(SocketBinding() ? SocketBinding()->IP() : std::string());
    data->SetAcceptTimeout(m_dataAcceptTimeout);
    TNetIOHandlerTLS* tls = m_tlsActive ? NewDataTLS() : nullptr;
    if (tls)
        data->SetIOHandler(tls);
    {
        std::lock_guard<std::mutex> lock(m_dataLock);
        m_dataConnection = std::move(server);
    }
    try {
        data->StartListener();
        try {
            SendPortCommand(*data->SocketBinding());
        } catch (const ENetProtocolReplyError&) {
            m_activeFailure = ActiveFailure::PortRefused;
            throw;
        }
        try {
            SendCommand(command, TNetReplyCodes {125, 150});
        } catch (const ENetProtocolReplyError& e) {
            // 425: the server could not open the data connection to us.
            if (e.ReplyErrorCode() == 425)
                m_activeFailure = ActiveFailure::PortRefused;
            throw;
        }
        try {
            data->AcceptOne();
        } catch (const ENetConnectTimeout&) {
            m_activeFailure = ActiveFailure::NoConnectBack;
            throw;
        }
        // In active mode too the client is the TLS client (RFC 4217).
        if (tls && data->IsConnected())
            tls->StartTLS(Host());
        MoveData(*data, source, true);
    } catch (...) {
        if (tls)
            tls->SetCloseLinger(0);
        FreeDataChannel();
        throw;
    }
    FreeDataChannel();
}

void TNetFTP::RequestPassiveAddress(std::string& address, int& port)
{
    if (SendCommand("PASV", -1) == 227) {
        ParsePassiveReply(m_lastReply.Text().empty() ? std::string() : m_lastReply.Text().front(), address, port);
        // A server behind address translation often names its own private
        // address, which is not reachable from here; its public one is the
        // address the control connection reached.
        const std::string control = ControlPeerIP();
        if (!control.empty() && address != control && IsPrivateAddress(address))
            address = control;
        return;
    }
    // No PASV (an IPv6-minded server, for example): EPSV names only a port,
    // on the control connection's address.
    SendCommand("EPSV", TNetReplyCodes {229});
    port = ParseExtendedPassiveReply(m_lastReply.Text().empty() ? std::string() : m_lastReply.Text().front());
    address = ControlPeerIP();
}

int TNetFTP::ParseExtendedPassiveReply(const std::string& text)
{
    // "Entering Extended Passive Mode (|||6446|)": the delimiter is the first
    // character inside the parentheses, and the port the fourth field.
    const size_t open = text.find('(');
    const size_t close = text.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos || close - open < 6)
        throw ENetConvertError(Format("'%s' is not a valid extended passive reply", text.c_str()));
    const std::string inner = text.substr(open + 1, close - open - 1);
    const char d = inner[0];
    if (inner.size() < 5 || inner[1] != d || inner[2] != d || inner.back() != d)
        throw ENetConvertError(Format("'%s' is not a valid extended passive reply", text.c_str()));
    const std::string digits = inner.substr(3, inner.size() - 4);
    int port = 0;
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (port = std::stoi(digits)) < 1 || port > 65535)
        throw ENetConvertError(Format("'%s' is not a valid port", digits.c_str()));
    return port;
}

bool TNetFTP::IsPrivateAddress(const std::string& dottedAddress)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    char extra = 0;
    if (std::sscanf(dottedAddress.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255)
        return false;
    return a == 10 || a == 127 || a == 0 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
           (a == 169 && b == 254) || (a == 100 && b >= 64 && b <= 127);
}

void TNetFTP::ParsePassiveReply(const std::string& text, std::string& address, int& port)
{
    std::string s = Trim(text);
    const size_t open = s.find('(');
    const size_t close = s.find(')');
    if (open != std::string::npos && close != std::string::npos)
        s = close > open ? s.substr(open + 1, close - open - 1) : std::string();
    else
        s = s.substr(static_cast<size_t>(LastPosBefore(" ", s))); // after the last blank
    address.clear();
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            address += ".";
        address += std::to_string(PassiveField(s));
    }
    const int high = PassiveField(s);
    const int low = PassiveField(s);
    port = high * 256 + low;
}

void TNetFTP::RequestPassive(std::string& address, int& port)
{
    SendCommand("PASV", TNetReplyCodes {227});
    ParsePassiveReply(m_lastReply.Text().empty() ? std::string() : m_lastReply.Text().front(), address, port);
}

void TNetFTP::SendPortCommand(TNetSocketHandle& binding)
{
    std::string ip = binding.IP();
    for (auto& c : ip)
        if (c == '.')
            c = ',';
    SendCommand(Format("PORT %s,%d,%d", ip.c_str(), binding.Port() / 256, binding.Port() % 256),
                TNetReplyCodes {200});
}

void TNetFTP::WriteLine(const std::string& text)
{
    // The command's verb names the step in a time-out message; arguments
    // (a password) never do.
    std::string verb = text.substr(0, text.find(' '));
    for (char& c : verb)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    m_step = verb;
    TNetTCPClient::WriteLine(text);
}

int TNetFTP::ExpectReply(const TNetReplyCodes& allowed)
{
    try {
        return TNetTCPClient::ExpectReply(allowed);
    } catch (const ENetReadTimeout&) {
        RaiseNoAnswer();
    }
}

void TNetFTP::RaiseNoAnswer()
{
    const int seconds = std::max(1, ReadTimeout() / 1000);
    throw ENetFTPNoAnswer(Format("No answer from the FTP server %s after %s within %d seconds.", Host().c_str(),
                                 m_step.c_str(), seconds));
}

bool TNetFTP::ReadReplyAfterFailedTransfer()
{
    const int saved = ReadTimeout();
    bool got = false;
    try {
        if (IsConnected() || PendingInput().Size() > 0) {
            SetReadTimeout(saved == 0 ? FinalReplyWaitMs : std::min(saved, FinalReplyWaitMs));
            TNetTCPClient::ExpectReply({});
            got = m_lastReply.NumericCode() >= 400;
        }
    } catch (const std::exception&) {
        // No reply, or no control connection left: the transfer's own error stands.
    }
    SetReadTimeout(saved);
    return got;
}

void TNetFTP::QuitSession()
{
    try {
        if (IsConnected())
            WriteLine("QUIT");
    } catch (...) {
        CloseConnection();
        throw;
    }
    CloseConnection();
}

void TNetFTP::AbortTransfer()
{
    // Before ABOR goes out: the server may reset the data connection as soon
    // as it reads it.
    m_dataClosedByAbort = true;
    if (IsConnected())
        WriteLine("ABOR");
    CloseDataChannel();
}

void TNetFTP::CloseDataChannel()
{
    std::lock_guard<std::mutex> lock(m_dataLock);
    if (!m_dataConnection)
        return;
    m_dataClosedByAbort = true;
    if (auto* server = dynamic_cast<TNetSimpleServer*>(m_dataConnection.get()))
        server->RequestAbort();
    // Shutting both directions wakes a send blocked in the transfer's thread;
    // that thread then closes the socket itself, so the descriptor is never
    // closed while another thread still uses it.
    if (TNetSocketHandle* binding = m_dataConnection->SocketBinding())
        if (binding->HandleAllocated())
            StackInstance->ShutdownSocket(binding->Handle(), 2);
}

void TNetFTP::NotifyAfterGet(TNetStream& stream)
{
    if (OnAfterGet)
        OnAfterGet(this, stream);
}
