#include "net/NetTCPConnection.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace {

using asciitext::SameText;
using asciitext::Trim;

// A received stream of known length is pre-sized, but only up to this many
// bytes: the length comes from the peer and must not decide an allocation.
constexpr int64_t kMaxPresize = 16 * 1024 * 1024;

} // namespace

// ---------------------------------------------------------------- TNetRFCReply

void TNetRFCReply::SetNumericCode(int code)
{
    m_numericCode = static_cast<int16_t>(code);
    if (code > 0)
        m_textCode = std::to_string(m_numericCode);
}

void TNetRFCReply::SetTextCode(const std::string& code)
{
    m_textCode = code;
    if (!code.empty()) {
        int value = 0;
        m_numericCode = NetTryStrToInt(code, value) ? static_cast<int16_t>(value) : 0;
    }
}

void TNetRFCReply::Clear()
{
    m_numericCode = 0;
    m_text.clear();
    m_textCode.clear();
}

void TNetRFCReply::ParseLines(const std::vector<std::string>& lines)
{
    Clear();
    if (lines.empty())
        return;
    std::string code = Trim(lines.front().substr(0, 4));
    if (code.size() == 4 && code.back() == '-')
        code.resize(3);
    SetTextCode(code);
    for (const auto& line : lines)
        m_text.push_back(line.size() > 4 ? line.substr(4) : std::string());
}

std::string TNetRFCReply::TextWithLineBreaks() const
{
    std::string out;
    for (const auto& line : m_text)
        out += line + "\r\n";
    return out;
}

// ---------------------------------------------------------------- buffers

void TNetSimpleBuffer::Remove(int64_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    if (count <= 0)
        return;
    m_data.erase(m_data.begin(), m_data.begin() + count);
    m_position = std::max<int64_t>(0, m_position - count);
}

std::string TNetSimpleBuffer::Extract(int64_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    std::string out(m_data.data(), static_cast<size_t>(std::max<int64_t>(0, count)));
    Remove(count);
    return out;
}

void TNetManagedBuffer::Append(const void* bytes, int64_t count)
{
    if (count <= 0)
        return;
    const char* p = static_cast<const char*>(bytes);
    m_data.insert(m_data.end(), p, p + count);
}

void TNetManagedBuffer::Remove(int64_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    if (count < 0)
        return;
    if (count == Size()) {
        m_data.clear();
        m_offset = 0;
    } else {
        m_offset += count;
        if (m_offset >= PackThreshold) {
            m_data.erase(m_data.begin(), m_data.begin() + m_offset);
            m_offset = 0;
        }
    }
    if (OnBytesRemoved)
        OnBytesRemoved(count);
}

std::string TNetManagedBuffer::Extract(int64_t count)
{
    if (count > Size())
        throw ENetNotEnoughDataInBuffer();
    std::string out(Memory(), static_cast<size_t>(std::max<int64_t>(0, count)));
    Remove(count);
    return out;
}

void TNetManagedBuffer::Clear()
{
    m_data.clear();
    m_offset = 0;
}

// ---------------------------------------------------------------- TNetTCPConnection

TNetTCPConnection::TNetTCPConnection()
{
    m_pendingInput.OnBytesRemoved = [this](int64_t count) { DoWork(wmRead, count); };
}

TNetTCPConnection::~TNetTCPConnection()
{
    try {
        CloseSocketOnly();
    } catch (...) {
    }
    m_ownedIOHandler.reset();
}

void TNetTCPConnection::SetIOHandler(TNetIOHandler* handler)
{
    if (handler == m_ioHandler)
        return;
    if (m_ownsIOHandler)
        FreeOwnedIOHandler();
    m_ioHandler = handler;
}

void TNetTCPConnection::FreeOwnedIOHandler()
{
    if (m_ownsIOHandler) {
        m_ioHandler = nullptr;
        m_ownedIOHandler.reset();
        m_ownsIOHandler = false;
    }
}

TNetIOHandler* TNetTCPConnection::EnsureIOHandler()
{
    if (!m_ioHandler) {
        m_ownedIOHandler = std::make_unique<TNetIOHandlerSocket>();
        m_ioHandler = m_ownedIOHandler.get();
        m_ioHandler->OnStatus = OnStatus;
        m_ownsIOHandler = true;
    }
    return m_ioHandler;
}

TNetSocketHandle* TNetTCPConnection::SocketBinding()
{
    auto* socketHandler = dynamic_cast<TNetIOHandlerSocket*>(m_ioHandler);
    return socketHandler ? socketHandler->SocketBinding() : nullptr;
}

void TNetTCPConnection::NotifyDisconnected()
{
    if (OnDisconnected)
        OnDisconnected(this);
}

void TNetTCPConnection::ResetInput()
{
    m_pendingInput.Clear();
    m_closedGracefully = false;
}

void TNetTCPConnection::CheckConnectionLost(bool raiseIfDisconnected, bool ignoreBuffer)
{
    bool lost = false;
    if (m_closedGracefully && m_ioHandler) {
        if (m_ioHandler->TransportConnected()) {
            CloseSocketOnly();
            ReportStatus(hsDisconnected);
            NotifyDisconnected();
        }
        lost = true;
    } else if (m_ioHandler) {
        lost = !m_ioHandler->TransportConnected();
    }
    if (lost && raiseIfDisconnected && (m_pendingInput.Size() == 0 || ignoreBuffer))
        throw ENetConnClosedGracefully();
}

void TNetTCPConnection::PollClosed(bool raiseIfDisconnected) { FillInputBuffer(raiseIfDisconnected, 1, false); }

int TNetTCPConnection::CheckReplyCode(int code, const TNetReplyCodes& allowed)
{
    if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), code) == allowed.end())
        RaiseReplyError();
    return code;
}

bool TNetTCPConnection::IsConnected()
{
    CheckConnectionLost(false, false);
    return m_ioHandler && m_ioHandler->TransportConnected();
}

void TNetTCPConnection::CloseConnection()
{
    ReportStatus(hsDisconnecting);
    CloseSocketOnly();
    FreeOwnedIOHandler();
    NotifyDisconnected();
    ReportStatus(hsDisconnected);
}

void TNetTCPConnection::CloseSocketOnly()
{
    if (!m_ioHandler)
        return;
    m_closedGracefully = true;
    if (m_intercept)
        m_intercept->Disconnect();
    m_ioHandler->CloseTransport();
}

void TNetTCPConnection::ReadReply()
{
    std::vector<std::string> lines;
    const std::string first = ReadNonEmptyLine();
    lines.push_back(first);
    if (first.size() > 3 && first[3] == '-') {
        const std::string end = first.substr(0, 3) + " ";
        for (;;) {
            const std::string line = ReadNonEmptyLine();
            lines.push_back(line);
            if (line.size() < 4 || SameText(line.substr(0, 4), end))
                break;
        }
    }
    m_lastReply.ParseLines(lines);
}

int TNetTCPConnection::ExpectReply(const TNetReplyCodes& allowed)
{
    ReadReply();
    return CheckReplyCode(m_lastReply.NumericCode(), allowed);
}

void TNetTCPConnection::RaiseReplyError()
{
    throw ENetProtocolReplyError(m_lastReply.NumericCode(), m_lastReply.TextWithLineBreaks());
}

int TNetTCPConnection::FillInputBuffer(bool raiseIfDisconnected, int timeout, bool raiseOnTimeout)
{
    if (timeout == UseDefaultTimeout)
        timeout = m_readTimeout != 0 ? m_readTimeout : WaitForever;
    CheckConnectionLost(raiseIfDisconnected, false);
    if (!IsConnected()) {
        if (raiseIfDisconnected)
            throw ENetNotConnected();
        return 0;
    }
    int n = 0;
    do {
        if (!m_ioHandler->TransportReadable(timeout)) {
            if (raiseOnTimeout)
                throw ENetReadTimeout();
            return -1;
        }
        m_recvScratch.SetSize(m_recvBufferSize);
        m_recvScratch.SetPosition(0);
        n = m_ioHandler->TransportReceive(m_recvScratch.Memory(), m_recvBufferSize);
        m_closedGracefully = n == 0;
        if (n != 0 && StackInstance->CheckSocketResult(n, {WSAESHUTDOWN, WSAECONNABORTED})) {
            CloseSocketOnly();
            if (m_pendingInput.Size() == 0)
                StackInstance->RaiseSocketFailure(StackInstance->LastError());
            n = 0;
        }
        if (n > 0) {
            m_recvScratch.SetSize(n);
            if (m_intercept) {
                m_recvScratch.SetPosition(0);
                m_intercept->Receive(m_recvScratch);
                n = static_cast<int>(m_recvScratch.Size());
            }
            if (m_asciiFilter) {
                char* p = m_recvScratch.Memory();
                for (int i = 0; i < n; ++i)
                    p[i] = static_cast<char>(p[i] & 0x7F);
            }
            m_pendingInput.Append(m_recvScratch.Memory(), n);
        }
        CheckConnectionLost(raiseIfDisconnected, false);
    } while (n == 0 && IsConnected());
    return n;
}

std::string TNetTCPConnection::ReadLine(const std::string& terminatorIn, int timeout, int maxLength)
{
    const std::string terminator = terminatorIn.empty() ? std::string("\n") : terminatorIn;
    const int64_t limit = maxLength == -1 ? m_maxLineLength : maxLength;
    m_readLnSplit = false;
    m_readLnTimedOut = false;
    int64_t found = 0; // 1-based position of the terminator, 0 when not found
    int64_t scanned = 0;
    for (;;) {
        const int64_t size = m_pendingInput.Size();
        if (size > 0) {
            // Resume just before the bytes already searched, so a terminator
            // that arrived split over two receives is still found.
            const int64_t from = std::max<int64_t>(0, scanned - static_cast<int64_t>(terminator.size()) + 1);
            const char* base = m_pendingInput.Memory();
            const char* hit = std::search(base + from, base + size, terminator.begin(), terminator.end());
            found = hit == base + size ? 0 : (hit - base) + 1;
            scanned = size;
        }
        if ((limit != 0 && found - 1 > limit) || (found == 0 && limit != 0 && scanned > limit)) {
            if (m_maxLineAction == maException)
                throw ENetReadLnMaxLineLengthExceeded();
            m_readLnSplit = true;
            return m_pendingInput.Extract(limit);
        }
        if (found > 0)
            break;
        CheckConnectionLost(true, true);
        const int n = FillInputBuffer(true, timeout, timeout == UseDefaultTimeout);
        if (n <= 0) {
            m_readLnTimedOut = true;
            return {};
        }
    }
    std::string line = m_pendingInput.Extract(found + static_cast<int64_t>(terminator.size()) - 1);
    line.resize(line.size() - terminator.size());
    if (terminator == "\n" && !line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string TNetTCPConnection::ReadNonEmptyLine(int maxTries)
{
    std::string result;
    for (int i = 0; i < maxTries && result.empty(); ++i)
        result = Trim(ReadLine("\n"));
    return result;
}

int TNetTCPConnection::SendCommand(const std::string& line, const TNetReplyCodes& allowed)
{
    WriteLine(line);
    return ExpectReply(allowed);
}

int TNetTCPConnection::SendCommand(const std::string& line, int allowedCode)
{
    return SendCommand(line, allowedCode == -1 ? TNetReplyCodes {} : TNetReplyCodes {allowedCode});
}

void TNetTCPConnection::WriteText(const std::string& text)
{
    if (!text.empty())
        WriteBytes(text.data(), static_cast<int64_t>(text.size()), false);
}

void TNetTCPConnection::WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

void TNetTCPConnection::WriteBytes(const void* buffer, int64_t count, bool writeNow)
{
    if (count <= 0 || !buffer)
        return;
    CheckConnectionLost(true, true);
    if (!IsConnected())
        throw ENetNotConnected();
    if (m_writeBuffer && !writeNow) {
        m_writeBuffer->Seek(0, soEnd);
        m_writeBuffer->WriteBuffer(buffer, count);
        if (m_writeBufferThreshold > 0 && m_writeBuffer->Size() >= m_writeBufferThreshold)
            FlushBufferedWrite(m_writeBufferThreshold);
        return;
    }
    if (m_intercept) {
        TNetSimpleBuffer temp;
        temp.WriteBuffer(buffer, count);
        temp.SetPosition(0);
        m_intercept->Send(temp);
        SendNow(temp.Memory(), temp.Size());
    } else {
        SendNow(static_cast<const char*>(buffer), count);
    }
}

void TNetTCPConnection::SendNow(const char* bytes, int64_t count)
{
    // Each wait for room in the socket is bounded like a receive: a peer
    // that stops reading ends the send after ReadTimeout without progress.
    const int timeout = m_readTimeout != 0 ? m_readTimeout : WaitForever;
    int64_t sent = 0;
    while (sent < count) {
        if (!m_ioHandler->TransportWritable(timeout))
            throw ENetWriteTimeout();
        const int piece = static_cast<int>(std::min<int64_t>(count - sent, 1 << 30));
        const int n = m_ioHandler->TransportSend(bytes + sent, piece);
        TNetAntiFreezeBase::DoProcess(false);
        // A send that went out (or failed) says the connection is not
        // known to be closed; one that had to wait says nothing.
        if (n != 0)
            m_closedGracefully = false;
        CheckConnectionLost(true, false);
        if (StackInstance->CheckSocketResult(n, {WSAESHUTDOWN, WSAECONNABORTED, WSAECONNRESET})) {
            CloseSocketOnly();
            StackInstance->RaiseSocketFailure(StackInstance->LastError());
        }
        if (n <= 0)
            continue; // the socket took nothing this time
        DoWork(wmWrite, n);
        sent += n;
    }
}

void TNetTCPConnection::WriteInt32(int32_t value, bool convert)
{
    uint32_t v = static_cast<uint32_t>(value);
    if (convert)
        v = StackInstance->HostToNetLong(v);
    WriteBytes(&v, 4, false);
}

void TNetTCPConnection::BeginBufferedWrite(int threshold)
{
    m_writeBuffer = std::make_unique<TNetSimpleBuffer>();
    m_writeBufferThreshold = threshold;
}

void TNetTCPConnection::FlushBufferedWrite(int64_t count)
{
    if (!m_writeBuffer || m_writeBuffer->Size() == 0)
        return;
    if (count != -1 && m_writeBuffer->Size() >= count) {
        WriteBytes(m_writeBuffer->Memory(), count, true);
        m_writeBuffer->Remove(count);
    } else {
        WriteBytes(m_writeBuffer->Memory(), m_writeBuffer->Size(), true);
        m_writeBuffer->Clear();
    }
}

void TNetTCPConnection::EndBufferedWrite()
{
    try {
        FlushBufferedWrite(-1);
    } catch (...) {
        m_writeBuffer.reset();
        throw;
    }
    m_writeBuffer.reset();
}

void TNetTCPConnection::DiscardBufferedWrite()
{
    if (m_writeBuffer)
        m_writeBuffer->Clear();
}

void TNetTCPConnection::WriteFromStream(TNetStream& stream, bool fromStart, bool withSizePrefix, int64_t size)
{
    if (fromStart)
        stream.SetPosition(0);
    int64_t position = stream.Position();
    const int64_t end = size != 0 ? position + size : stream.Size();
    if (withSizePrefix)
        WriteInt32(static_cast<int32_t>(end - position), true);
    BeginWork(wmWrite, end - position);
    try {
        std::vector<char> chunk(static_cast<size_t>(std::max(1, m_sendBufferSize)));
        for (;;) {
            const int64_t k = std::min<int64_t>(end - position, static_cast<int64_t>(chunk.size()));
            if (k <= 0)
                break;
            const int64_t got = stream.Read(chunk.data(), k);
            if (got <= 0)
                throw ENetNoDataToRead();
            WriteBytes(chunk.data(), got, false);
            position += got;
        }
    } catch (...) {
        EndWork(wmWrite);
        throw;
    }
    EndWork(wmWrite);
}

int64_t TNetTCPConnection::WriteFileContents(const std::string& fileName, bool allowShortcut)
{
    // No platform file-send shortcut is registered on this system.
    (void)allowShortcut;
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        throw ENetFileNotFound(fileName);
    TNetFileStream file(fileName, fmOpenRead);
    WriteFromStream(file, true);
    return file.Size();
}

void TNetTCPConnection::ReadBytes(void* buffer, int64_t count)
{
    if (count <= 0 || !buffer)
        return;
    while (m_pendingInput.Size() < count) {
        FillInputBuffer(true, UseDefaultTimeout, true);
        CheckConnectionLost(true, true);
    }
    std::memcpy(buffer, m_pendingInput.Memory(), static_cast<size_t>(count));
    m_pendingInput.Remove(count);
}

int32_t TNetTCPConnection::ReadInt32(bool convert)
{
    uint32_t v = 0;
    ReadBytes(&v, 4);
    if (convert)
        v = StackInstance->NetToHostLong(v);
    return static_cast<int32_t>(v);
}

void TNetTCPConnection::ReadToStream(TNetStream& stream, int64_t count, bool untilDisconnect)
{
    if (count == -1 && !untilDisconnect)
        count = ReadInt32(true);
    if (count >= 0) {
        const int64_t here = stream.Position();
        if (count <= kMaxPresize && stream.Size() < here + count) {
            stream.SetSize(here + count);
            stream.SetPosition(here);
        }
    }
    int64_t remaining = untilDisconnect ? 2147483647 : count;
    BeginWork(wmRead, untilDisconnect ? 0 : count);
    try {
        if (m_pendingInput.Size() > 0 && remaining > 0) {
            const int64_t n = std::min(m_pendingInput.Size(), remaining);
            stream.WriteBuffer(m_pendingInput.Memory(), n);
            m_pendingInput.Remove(n);
            remaining -= n;
        }
        const int64_t chunk = std::min<int64_t>(remaining, std::max(1, m_recvBufferSize));
        while (remaining > 0 && IsConnected()) {
            const int64_t k = std::min(remaining, chunk);
            int64_t n = k;
            try {
                // ReadBytes(k) written straight from the input buffer to the stream.
                while (m_pendingInput.Size() < k) {
                    FillInputBuffer(true, UseDefaultTimeout, true);
                    CheckConnectionLost(true, true);
                }
            } catch (const ENetConnClosedGracefully&) {
                if (!untilDisconnect)
                    throw;
                n = m_pendingInput.Size();
            }
            stream.WriteBuffer(m_pendingInput.Memory(), n);
            m_pendingInput.Remove(n);
            remaining -= n;
        }
    } catch (...) {
        EndWork(wmRead);
        if (stream.Size() > stream.Position())
            stream.SetSize(stream.Position());
        throw;
    }
    EndWork(wmRead);
    if (stream.Size() > stream.Position())
        stream.SetSize(stream.Position());
}

std::string TNetTCPConnection::TakeAvailable()
{
    if (IsConnected())
        FillInputBuffer(false, UseDefaultTimeout, true);
    return m_pendingInput.Extract(m_pendingInput.Size());
}

std::string TNetTCPConnection::ReadAll()
{
    BeginWork(wmRead);
    std::string result;
    try {
        while (IsConnected())
            result += TakeAvailable();
        // What arrived with the close is still buffered.
        result += m_pendingInput.Extract(m_pendingInput.Size());
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
    return result;
}

// ---------------------------------------------------------------- TNetTCPClient

TNetTCPClient::TNetTCPClient() = default;
TNetTCPClient::~TNetTCPClient() = default;

void TNetTCPClient::NotifyConnected()
{
    if (OnConnected)
        OnConnected(this);
}

void TNetTCPClient::ConnectToHost(int timeout)
{
    if (!IOHandler())
        EnsureIOHandler();
    else if (IOHandler()->TransportConnected())
        throw ENetAlreadyConnected();
    try {
        IOHandler()->OpenTransport();
        ResetInput();
        IOHandler()->ConnectTransport(m_host, m_port, m_boundIP, m_boundPort, m_boundPortMin, m_boundPortMax,
                                      timeout);
        if (Intercept())
            Intercept()->Connect(this);
        ReportStatus(hsConnected, m_host);
        NotifyConnected();
    } catch (...) {
        CloseSocketOnly();
        throw;
    }
}

std::string TNetTCPClient::ConnectAndReadAll()
{
    ConnectToHost(UseDefaultTimeout);
    std::string result;
    try {
        result = ReadAll();
    } catch (...) {
        CloseConnection();
        throw;
    }
    CloseConnection();
    return result;
}
