#pragma once
// The FTP client that publishes the web page: connect, log in, set the
// transfer type, store one local file under a remote name, quit (RFC 959).
// The client's own connection is the control channel; each transfer opens a
// data channel, actively (the client listens and sends PORT; the default) or
// passively (PASV; the client connects).
//
// Typical use:
//   ftp.SetHost(host); ftp.SetUsername(user); ftp.SetPassword(password);
//   ftp.SetTransferType(ftASCII);
//   ftp.OpenSession();                       // 220, USER/PASS, TYPE, SYST
//   ftp.StoreFile(localName, remoteName);    // PORT or PASV, STOR, 226
//   if (ftp.IsConnected()) ftp.QuitSession();
// Every call blocks the calling thread until the server has answered.

#include "net/NetIOHandlerTLS.h"
#include "net/NetTCPConnection.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The server did not answer a step of the session within the read time-out:
// "No answer from the FTP server ftp.example.org after STOR within 30 seconds."
class ENetFTPNoAnswer : public ENetException {
public:
    using ENetException::ENetException;
};

enum TNetFTPTransferType { ftASCII = 0, ftBinary = 1 };

// Explicit TLS (RFC 4217) for the session. fsNone is plain FTP. fsTLS
// requires it: AUTH TLS must be accepted and the handshake must succeed.
// fsAuto asks for it and goes on in plain FTP only when the server answers
// that it has no TLS, never after a failed handshake.
enum TNetFTPSecurity { fsNone, fsAuto, fsTLS };

enum TNetFtpProxyType {
    fpcmNone,
    fpcmUserSite,
    fpcmSite,
    fpcmOpen,
    fpcmUserPass,
    fpcmTransparent,
    fpcmHttpProxyWithFtp,
};

class TNetFtpProxySettings {
public:
    TNetFtpProxyType ProxyType = fpcmNone;
    std::string Host;
    std::string UserName;
    std::string Password;
    int Port = 0;
    void Assign(const TNetFtpProxySettings& other) { *this = other; }
};

// A connection that waits for exactly one incoming connection: the active
// FTP data channel. The listening socket is bound to BoundIP:BoundPort (0:
// an ephemeral port, learned after binding).
class TNetSimpleServer : public TNetTCPConnection {
public:
    TNetSimpleServer();
    ~TNetSimpleServer() override;

    const std::string& BoundIP() const { return m_boundIP; }
    void SetBoundIP(const std::string& ip) { m_boundIP = ip; }
    int BoundPort() const { return m_boundPort; }
    void SetBoundPort(int port) { m_boundPort = port; }
    // Milliseconds per readiness poll while waiting for the connection
    // (0: 250 ms steps).
    int AcceptWait() const { return m_acceptWait; }
    void SetAcceptWait(int ms) { m_acceptWait = ms; }
    // Overall limit of AcceptOne in milliseconds (WaitForever: none);
    // exceeding it raises ENetConnectTimeout.
    int AcceptTimeout() const { return m_acceptTimeout; }
    void SetAcceptTimeout(int ms) { m_acceptTimeout = ms; }
    bool Listening() const { return m_listening; }
    TNetSocket ListenHandle() const { return m_listenHandle; }

    // Ends a pending AcceptOne (may be called from another thread).
    virtual void RequestAbort();
    virtual void StartListener();
    virtual void BindListener();
    virtual void StopListener();
    // Waits for the connection and accepts it; false when aborted. The
    // listening socket is closed in every case.
    virtual bool AcceptOne();
    void ResetInput() override;

private:
    void CloseListenHandle();

    std::string m_boundIP;
    int m_boundPort = 0;
    int m_acceptWait = 0;
    int m_acceptTimeout = 30000;
    TNetSocket m_listenHandle = NetInvalidSocket;
    bool m_listening = false;
    std::atomic<bool> m_abortRequested {false};
};

using TNetAfterGetEvent = std::function<void(TNetBaseComponent* sender, TNetStream& stream)>;

class TNetFTP : public TNetTCPClient {
public:
    TNetFTP();
    ~TNetFTP() override;

    const std::string& Username() const { return m_username; }
    void SetUsername(const std::string& value) { m_username = value; }
    const std::string& Password() const { return m_password; }
    void SetPassword(const std::string& value) { m_password = value; }
    bool Passive() const { return m_passive; }
    void SetPassive(bool value) { m_passive = value; }
    TNetFTPTransferType TransferType() const { return m_transferType; }
    // Ignored when unchanged or while a transfer runs; sends the TYPE
    // command when connected.
    void SetTransferType(TNetFTPTransferType value);
    TNetFtpProxySettings& ProxySettings() { return m_proxySettings; }
    void SetProxySettings(const TNetFtpProxySettings& value) { m_proxySettings.Assign(value); }
    // Overall limit for the server's data connection in active mode (ms).
    int DataAcceptTimeout() const { return m_dataAcceptTimeout; }
    void SetDataAcceptTimeout(int ms) { m_dataAcceptTimeout = ms; }

    // TLS for the next session (fsNone by default: plain FTP).
    TNetFTPSecurity Security() const { return m_security; }
    void SetSecurity(TNetFTPSecurity value) { m_security = value; }
    // The one certificate accepted although it fails verification (see
    // TNetIOHandlerTLS::SetTrustedFingerprint).
    const std::string& TrustedFingerprint() const { return m_trustedFingerprint; }
    void SetTrustedFingerprint(const std::string& value) { m_trustedFingerprint = value; }
    // True when the current (or last) session's control channel ran TLS,
    // its data channels protected with PROT P.
    bool TLSActive() const { return m_tlsActive; }
    // "TLSv1.3" or the like while TLSActive, else "".
    std::string TLSProtocol() const;

    // With PassiveFallback, an active transfer whose PORT is refused or to
    // which the server does not connect back within DataAcceptTimeout is
    // retried once in passive mode; passive mode is then used for every
    // further transfer to the same host.
    bool PassiveFallback() const { return m_passiveFallback; }
    void SetPassiveFallback(bool value) { m_passiveFallback = value; }
    // Whether the last transfer ran over a passive data connection.
    bool LastTransferPassive() const { return m_lastTransferPassive; }
    // Forgets a passive mode remembered by the fallback.
    void ForgetPassiveFallback() { m_passiveHost.clear(); }

    TNetNotifyEvent OnAfterClientLogin;
    TNetAfterGetEvent OnAfterGet;

    TNetRFCReply& LoginReply() { return m_loginReply; }
    // The first text line of the SYST reply, or "Unknown".
    const std::string& SystemDescription() const { return m_systemDescription; }
    // The data channel of the transfer in progress, or null.
    TNetTCPConnection* DataConnection() const { return m_dataConnection.get(); }

    // Connects, reads the 220 greeting and, with `login`, signs in, sends
    // the type and SYST. Any failure disconnects and is re-raised.
    void OpenSession(bool login = true, int timeout = UseDefaultTimeout);
    void SignIn();
    void SendTypeCommand();
    // An empty remote name stores with "STOU "; append uses APPE. Raises
    // EFOpenError when the local file cannot be opened.
    void StoreFile(const std::string& localName, const std::string& remoteName = {}, bool append = false);
    void StoreStream(TNetStream& source, const std::string& remoteName = {}, bool append = false);
    // The names in a remote folder (NLST; the current folder when empty), as
    // the server gives them, at most ListLimitBytes of them. A refused
    // listing raises ENetProtocolReplyError.
    std::vector<std::string> ListNames(const std::string& folder = {});
    static constexpr int64_t ListLimitBytes = 1 << 20;
    // Sends QUIT without reading the reply, then closes.
    void QuitSession();
    // Remembers the command's verb for time-out messages.
    void WriteLine(const std::string& text) override;
    // A reply that does not come within ReadTimeout raises ENetFTPNoAnswer
    // naming the server and the last command.
    int ExpectReply(const TNetReplyCodes& allowed = {}) override;
    // Sends ABOR and closes the data channel; meant to be called from
    // another thread while a transfer blocks.
    virtual void AbortTransfer();
    virtual void CloseDataChannel();
    void RequestPassive(std::string& address, int& port);
    void SendPortCommand(TNetSocketHandle& binding);

    virtual void NotifyAfterGet(TNetStream& stream);

    // The data address and port of a PASV reply's first text line.
    static void ParsePassiveReply(const std::string& text, std::string& address, int& port);
    // The port of an EPSV reply's text ("Entering Extended Passive Mode
    // (|||6446|)"); raises ENetConvertError when there is none.
    static int ParseExtendedPassiveReply(const std::string& text);
    // True for addresses that cannot be reached from another network
    // (private, loopback, link-local, shared and "this network" ranges).
    static bool IsPrivateAddress(const std::string& dottedAddress);
    // Whether an AUTH reply code means "no TLS here", for fsAuto.
    static bool IsNoTLSReply(int code);

private:
    // Longest wait for the server's reply after a data transfer failed.
    static constexpr int FinalReplyWaitMs = 5000;

    [[noreturn]] void RaiseNoAnswer();
    // After a failed transfer: true when the server's reply arrived and is
    // an error (then LastReply holds it).
    bool ReadReplyAfterFailedTransfer();
    // Runs a data transfer: `stream` is sent (STOR and the like) or, while
    // m_dataIn is set, filled from the data connection (NLST).
    void TransferOut(const std::string& command, TNetStream& source);
    void MoveData(TNetTCPConnection& data, TNetStream& stream, bool fromStart);
    void ActiveTransfer(const std::string& command, TNetStream& source);
    void PassiveTransfer(const std::string& command, TNetStream& source);
    // PASV (EPSV when PASV is refused), with a private address other than
    // the control connection's replaced by the control connection's.
    void RequestPassiveAddress(std::string& address, int& port);
    void NegotiateTLS();
    // A TLS transport for a data channel: the control channel's trust and
    // session, handshake started by the caller.
    TNetIOHandlerTLS* NewDataTLS();
    std::string ControlPeerIP();
    void PrepareDataChannel(TNetTCPConnection& channel);
    void UserLogin(const std::string& user, const std::string& password);
    void FreeDataChannel();

    std::string m_username;
    std::string m_password;
    bool m_passive = false;
    TNetFTPTransferType m_transferType = ftBinary;
    TNetFtpProxySettings m_proxySettings;
    int m_dataAcceptTimeout = 30000;
    TNetFTPSecurity m_security = fsNone;
    std::string m_trustedFingerprint;
    bool m_tlsActive = false;
    std::unique_ptr<TNetIOHandlerTLS> m_controlTLS;
    std::unique_ptr<TNetIOHandlerTLS> m_dataTLS; // outlives the data channel that uses it
    // The session the next data channel resumes: a ticket from the last data
    // channel when it gave one (servers may accept each ticket once).
    TNetTLSSession m_dataSession;
    bool m_passiveFallback = false;
    bool m_lastTransferPassive = false;
    bool m_dataIn = false; // the running transfer reads from the server
    std::string m_passiveHost; // host for which the fallback chose passive mode
    int m_sessionTimeout = UseDefaultTimeout;
    // Why the last active attempt failed, when a passive retry can help.
    enum class ActiveFailure { None, PortRefused, NoConnectBack } m_activeFailure = ActiveFailure::None;
    std::string m_step; // the last command's verb, or "connecting"
    TNetRFCReply m_loginReply;
    std::string m_systemDescription;
    std::unique_ptr<TNetTCPConnection> m_dataConnection;
    std::mutex m_dataLock; // guards m_dataConnection against AbortTransfer
    std::atomic<bool> m_dataClosedByAbort {false};
};
