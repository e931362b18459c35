#pragma once
// The blocking TCP connection on which the FTP and HTTP clients are built:
// an input buffer filled from the socket, line reading with a length limit,
// writing of text, bytes and streams (optionally through a write buffer), and
// numbered protocol replies ("220 Ready", or multi-line "230-..." ending with
// a line "230 ...") checked against the codes a command allows.
//
// One thread uses a connection at a time; every call blocks until done.

#include "net/NetIOHandlerSocket.h"
#include "net/NetStack.h"
#include "net/NetStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TNetMaxLineAction { maException = 0, maSplit = 1 };

// Reply codes a command allows; an empty list allows any code.
using TNetReplyCodes = std::vector<int>;

// ---------------------------------------------------------------- exceptions

class ENetAlreadyConnected : public ENetException {
public:
    ENetAlreadyConnected() : ENetException("Already connected.") {}
};
class ENetReadTimeout : public ENetException {
public:
    ENetReadTimeout() : ENetException("Read Timeout") {}
};
// A send that could not make progress within the connection's ReadTimeout.
class ENetWriteTimeout : public ENetException {
public:
    ENetWriteTimeout() : ENetException("Write Timeout") {}
};
class ENetReadLnMaxLineLengthExceeded : public ENetException {
public:
    ENetReadLnMaxLineLengthExceeded() : ENetException("Max line length exceeded.") {}
};
class ENetProtocolReplyError : public ENetException {
public:
    ENetProtocolReplyError(int replyErrorCode, std::string message)
        : ENetException(std::move(message)), m_replyErrorCode(replyErrorCode) {}
    int ReplyErrorCode() const { return m_replyErrorCode; }

private:
    int m_replyErrorCode;
};
class ENetTCPConnectionError : public ENetException {
public:
    using ENetException::ENetException;
};
class ENetNotEnoughDataInBuffer : public ENetTCPConnectionError {
public:
    ENetNotEnoughDataInBuffer() : ENetTCPConnectionError("Not enough data in buffer.") {}
};
class ENetNoDataToRead : public ENetTCPConnectionError {
public:
    ENetNoDataToRead() : ENetTCPConnectionError("No data to read.") {}
};
class ENetNotConnected : public ENetTCPConnectionError {
public:
    ENetNotConnected() : ENetTCPConnectionError("Not Connected") {}
};
class ENetFileNotFound : public ENetTCPConnectionError {
public:
    explicit ENetFileNotFound(const std::string& fileName)
        : ENetTCPConnectionError(Format("File \"%s\" not found", fileName.c_str())) {}
};

// ---------------------------------------------------------------- replies

// A numbered reply: NumericCode 220, TextCode "220", Text {"Ready"}.
class TNetRFCReply {
public:
    int NumericCode() const { return m_numericCode; }
    // A positive code also sets TextCode to its decimal text.
    void SetNumericCode(int code);
    const std::vector<std::string>& Text() const { return m_text; }
    std::vector<std::string>& Text() { return m_text; }
    const std::string& TextCode() const { return m_textCode; }
    // A non-empty text also sets NumericCode (0 when it is not a number).
    void SetTextCode(const std::string& code);

    void Clear();
    void Assign(const TNetRFCReply& other) { *this = other; }
    // Parses the collected lines of one reply: the code from the first line,
    // and from every line its text from the 5th character on.
    void ParseLines(const std::vector<std::string>& lines);
    // The text lines, each followed by CR LF.
    std::string TextWithLineBreaks() const;

private:
    int m_numericCode = 0;
    std::vector<std::string> m_text;
    std::string m_textCode;
};

// ---------------------------------------------------------------- buffers

// A memory stream that can drop bytes from its front.
class TNetSimpleBuffer : public TNetMemoryStream {
public:
    // Removes `count` bytes from the front (ENetNotEnoughDataInBuffer when
    // fewer are held); the rest moves to the front.
    virtual void Remove(int64_t count);
    // The first `count` bytes as text, removed.
    std::string Extract(int64_t count);
};

// The connection's input buffer. Consumed bytes at the front are reclaimed
// lazily: only once 32768 of them have accumulated, or all at once when the
// buffer becomes empty. Size() and Memory() are those of the unconsumed part.
class TNetManagedBuffer {
public:
    static constexpr int64_t PackThreshold = 32768;

    int64_t Size() const { return static_cast<int64_t>(m_data.size()) - m_offset; }
    const char* Memory() const { return m_data.data() + m_offset; }
    void Append(const void* bytes, int64_t count);
    void Remove(int64_t count);
    std::string Extract(int64_t count);
    void Clear();

    // Called after every removal with the count removed.
    std::function<void(int64_t)> OnBytesRemoved;

private:
    std::vector<char> m_data;
    int64_t m_offset = 0;
};

// ---------------------------------------------------------------- connection

class TNetTCPConnection : public TNetComponent {
public:
    TNetTCPConnection();
    ~TNetTCPConnection() override;

    // Published properties.
    bool ASCIIFilter() const { return m_asciiFilter; }
    void SetASCIIFilter(bool value) { m_asciiFilter = value; }
    TNetConnectionIntercept* Intercept() const { return m_intercept; }
    void SetIntercept(TNetConnectionIntercept* intercept) { m_intercept = intercept; }
    TNetIOHandler* IOHandler() const { return m_ioHandler; }
    // Assigns a transport made outside (not owned); replaces an owned one.
    void SetIOHandler(TNetIOHandler* handler);
    int MaxLineLength() const { return m_maxLineLength; }
    void SetMaxLineLength(int value) { m_maxLineLength = value; }
    TNetMaxLineAction MaxLineAction() const { return m_maxLineAction; }
    void SetMaxLineAction(TNetMaxLineAction value) { m_maxLineAction = value; }
    // Milliseconds; 0 means no limit. Also bounds each wait of a send for
    // room in the socket (ENetWriteTimeout).
    int ReadTimeout() const { return m_readTimeout; }
    void SetReadTimeout(int value) { m_readTimeout = value; }
    int RecvBufferSize() const { return m_recvBufferSize; }
    void SetRecvBufferSize(int value) { m_recvBufferSize = value; }
    int SendBufferSize() const { return m_sendBufferSize; }
    void SetSendBufferSize(int value) { m_sendBufferSize = value; }
    TNetNotifyEvent OnDisconnected;

    TNetRFCReply& GreetingReply() { return m_greetingReply; }
    TNetRFCReply& LastReply() { return m_lastReply; }
    TNetManagedBuffer& PendingInput() { return m_pendingInput; }
    bool ClosedGracefully() const { return m_closedGracefully; }
    // Set by ReadLine: the line was cut at the maximum length (maSplit).
    bool ReadLnSplit() const { return m_readLnSplit; }
    // Set by ReadLine: it answered "" because no line could be completed.
    bool ReadLnTimedOut() const { return m_readLnTimedOut; }
    // The transport's socket binding, or null.
    TNetSocketHandle* SocketBinding();

    virtual void NotifyDisconnected();
    virtual void ResetInput();
    // Everything until the peer closes.
    virtual std::string ReadAll();
    // Closes our side once the peer's close was seen; raises
    // ENetConnClosedGracefully when `raiseIfDisconnected` and the buffer is
    // used up (or `ignoreBuffer`).
    virtual void CheckConnectionLost(bool raiseIfDisconnected = true, bool ignoreBuffer = false);
    // Notices a peer's close without waiting (a 1 ms receive).
    virtual void PollClosed(bool raiseIfDisconnected = true);
    virtual int CheckReplyCode(int code, const TNetReplyCodes& allowed);
    // True while the transport has a socket; buffered input does not count.
    virtual bool IsConnected();
    // Orderly disconnect: hsDisconnecting, socket closed, owned transport
    // freed, OnDisconnected, hsDisconnected.
    virtual void CloseConnection();
    // Closes the socket only, without events.
    virtual void CloseSocketOnly();
    // ReadReply, then raises ENetProtocolReplyError for a code not allowed.
    virtual int ExpectReply(const TNetReplyCodes& allowed = {});
    [[noreturn]] virtual void RaiseReplyError();
    // The only receive: waits up to `timeout` ms (UseDefaultTimeout: the
    // ReadTimeout) and appends what arrives to PendingInput. Answers the
    // count, 0 when the peer closed, -1 on a time-out without raising.
    virtual int FillInputBuffer(bool raiseIfDisconnected = true, int timeout = UseDefaultTimeout,
                                bool raiseOnTimeout = true);
    // A line without its terminator (and, for LF, without a CR before it).
    virtual std::string ReadLine(const std::string& terminator = "\n", int timeout = UseDefaultTimeout,
                                 int maxLength = -1);
    // WriteLine, then ExpectReply.
    virtual int SendCommand(const std::string& line, const TNetReplyCodes& allowed);
    // One allowed code; -1 accepts any reply.
    int SendCommand(const std::string& line, int allowedCode = -1);
    virtual void WriteText(const std::string& text);
    // The text + CR LF.
    virtual void WriteLine(const std::string& text);
    // Sends the stream from its start (or current position) to its end (or
    // `size` bytes), in SendBufferSize chunks, optionally with a 32-bit
    // size prefix in network order.
    virtual void WriteFromStream(TNetStream& stream, bool fromStart = true, bool withSizePrefix = false,
                                 int64_t size = 0);
    // Answers the bytes sent. ENetFileNotFound when the file does not exist.
    virtual int64_t WriteFileContents(const std::string& fileName, bool allowShortcut = false);

    std::string ReadNonEmptyLine(int maxTries = 2147483647);
    void ReadReply();
    void ReadBytes(void* buffer, int64_t count);
    int32_t ReadInt32(bool convert = true);
    // `count` bytes (-1: a 32-bit size prefix first), or everything until the
    // peer closes.
    void ReadToStream(TNetStream& stream, int64_t count = -1, bool untilDisconnect = false);
    std::string TakeAvailable();
    void WriteBytes(const void* buffer, int64_t count, bool writeNow = false);
    void WriteInt32(int32_t value, bool convert = true);
    void BeginBufferedWrite(int threshold = 0);
    void FlushBufferedWrite(int64_t count = -1);
    void EndBufferedWrite();
    void DiscardBufferedWrite();
    bool WriteBuffered() const { return m_writeBuffer != nullptr; }
    template <class E>
    [[noreturn]] void RaiseLastReplyAs() { throw E(m_lastReply.TextWithLineBreaks()); }

protected:
    // The transport, creating an owned socket transport when there is none.
    TNetIOHandler* EnsureIOHandler();
    bool OwnsIOHandler() const { return m_ownsIOHandler; }
    void FreeOwnedIOHandler();

    TNetRFCReply m_greetingReply;
    TNetRFCReply m_lastReply;

private:
    void SendNow(const char* bytes, int64_t count);

    bool m_asciiFilter = false;
    TNetConnectionIntercept* m_intercept = nullptr;
    TNetIOHandler* m_ioHandler = nullptr;
    std::unique_ptr<TNetIOHandler> m_ownedIOHandler;
    bool m_ownsIOHandler = false;
    int m_maxLineLength = 16384;
    TNetMaxLineAction m_maxLineAction = maException;
    int m_readTimeout = 0;
    int m_recvBufferSize = 32768;
    int m_sendBufferSize = 32768;

    TNetManagedBuffer m_pendingInput;
    TNetSimpleBuffer m_recvScratch;
    bool m_closedGracefully = false;
    bool m_readLnSplit = false;
    bool m_readLnTimedOut = false;
    std::unique_ptr<TNetSimpleBuffer> m_writeBuffer;
    int m_writeBufferThreshold = 0;
};

class TNetTCPClient : public TNetTCPConnection {
public:
    TNetTCPClient();
    ~TNetTCPClient() override;

    const std::string& BoundIP() const { return m_boundIP; }
    void SetBoundIP(const std::string& ip) { m_boundIP = ip; }
    int BoundPort() const { return m_boundPort; }
    void SetBoundPort(int port) { m_boundPort = port; }
    int BoundPortMin() const { return m_boundPortMin; }
    void SetBoundPortMin(int port) { m_boundPortMin = port; }
    int BoundPortMax() const { return m_boundPortMax; }
    void SetBoundPortMax(int port) { m_boundPortMax = port; }
    const std::string& Host() const { return m_host; }
    virtual void SetHost(const std::string& host) { m_host = host; }
    int Port() const { return m_port; }
    virtual void SetPort(int port) { m_port = port; }
    TNetNotifyEvent OnConnected;

    virtual void NotifyConnected();
    // Resolves and connects to Host:Port (timeout in ms; -1 none). Raises
    // ENetAlreadyConnected when connected; any failure leaves the socket
    // closed and is re-raised.
    virtual void ConnectToHost(int timeout = UseDefaultTimeout);
    // ConnectToHost, ReadAll, CloseConnection (also on failure).
    virtual std::string ConnectAndReadAll();

private:
    std::string m_boundIP;
    int m_boundPort = 0;
    int m_boundPortMin = 0;
    int m_boundPortMax = 0;
    std::string m_host;
    int m_port = 0;
};
