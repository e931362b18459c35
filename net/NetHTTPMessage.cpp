#include "net/NetHTTP.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

// HTTP message framing: the request line and headers sent, the status line
// and headers read, bodies by length, chunks or until the peer closes.

namespace {

using asciitext::IsBlank;
using asciitext::SameText;
using asciitext::Trim;
using asciitext::Upper;

// Bodies are read in slices of at most this many bytes, so that a length
// announced by the peer never makes us reserve memory for data that has not
// arrived.
constexpr int64_t kBodySlice = 1 << 20;
// Error bodies kept for ENetHTTPProtocolException::ErrorMessage.
constexpr int64_t kErrorBodyLimit = 1 << 20;
// Response headers of a single reply, in bytes (at least; see ReadResponseHeaders).
constexpr int64_t kHeaderBytesLimit = 1 << 20;

const char* MethodWord(TNetHTTPMethod method)
{
    switch (method) {
    case hmHead:
        return "HEAD ";
    case hmGet:
        return "GET ";
    case hmPost:
        return "POST ";
    case hmOptions:
        return "OPTIONS ";
    case hmTrace:
        return "TRACE ";
    case hmPut:
        return "PUT ";
    case hmDelete:
        return "DELETE ";
    case hmConnect:
        return "CONNECT ";
    }
    return "GET ";
}

// A stream that keeps at most `limit` bytes of what is written to it and
// counts the rest, so a body can be read off the connection without being
// held in memory.
class TBoundedSink : public TNetStream {
public:
    explicit TBoundedSink(int64_t limit) : m_limit(limit) {}

    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override
    {
        if (count <= 0)
            return 0;
        const int64_t room = std::max<int64_t>(0, m_limit - static_cast<int64_t>(m_kept.size()));
        m_kept.append(static_cast<const char*>(buffer), static_cast<std::size_t>(std::min(room, count)));
        m_position += count;
        m_size = std::max(m_size, m_position);
        return count;
    }
    int64_t Seek(int64_t offset, TNetSeekOrigin origin) override
    {
        switch (origin) {
        case soBeginning:
            m_position = offset;
            break;
        case soCurrent:
            m_position += offset;
            break;
        case soEnd:
            m_position = m_size + offset;
            break;
        }
        m_position = std::max<int64_t>(0, m_position);
        return m_position;
    }
    int64_t Size() override { return m_size; }
    void SetSize(int64_t size) override { m_size = std::max<int64_t>(0, size); }

    const std::string& Kept() const { return m_kept; }

private:
    int64_t m_limit;
    std::string m_kept;
    int64_t m_position = 0;
    int64_t m_size = 0;
};

// A chunk size line: hexadecimal digits before the first blank. Answers -1
// for anything else (which ends the body).
int64_t ChunkSize(const std::string& line)
{
    std::string text = line;
    const std::string token = CutField(text, " ");
    if (token.empty() || token.size() > 15)
        return -1;
    int64_t size = 0;
    for (char c : token) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return -1;
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        size = size * 16 + digit;
    }
    return size;
}

// Restores the connection's read time-out when it leaves its scope.
class TReadTimeoutScope {
public:
    TReadTimeoutScope(TNetTCPConnection& connection, int timeout)
        : m_connection(connection), m_saved(connection.ReadTimeout())
    {
        m_connection.SetReadTimeout(timeout);
    }
    ~TReadTimeoutScope() { m_connection.SetReadTimeout(m_saved); }
    TReadTimeoutScope(const TReadTimeoutScope&) = delete;
    TReadTimeoutScope& operator=(const TReadTimeoutScope&) = delete;

private:
    TNetTCPConnection& m_connection;
    int m_saved;
};

} // namespace

// ---------------------------------------------------------------- TNetHTTPResponse

int TNetHTTPResponse::StatusCode()
{
    std::string rest = StatusLine;
    const std::size_t space = rest.find(' ');
    rest = space == std::string::npos ? std::string() : Trim(rest.substr(space + 1));
    int code = -1;
    if (!NetTryStrToInt(CutField(rest, " "), code))
        code = -1;
    m_statusCode = code;
    return m_statusCode;
}

bool TNetHTTPResponse::KeepAlive()
{
    m_responseVersion = StatusLine.size() >= 8 && StatusLine.compare(5, 3, "1.0") == 0 ? pv1_0 : pv1_1;
    m_http->CheckConnectionLost(false);
    bool result = m_http->IsConnected();
    if (result) {
        const std::string connection = Upper(Trim(Connection()));
        const std::string proxyConnection = Upper(Trim(ProxyConnection()));
        // The client's own protocol version decides, not the response's.
        if (m_http->ProtocolVersion() == pv1_0)
            result = connection == "KEEP-ALIVE" || proxyConnection == "KEEP-ALIVE";
        else
            result = connection != "CLOSE" && proxyConnection != "CLOSE";
    }
    return result;
}

// ---------------------------------------------------------------- TNetHTTPProtocol

TNetHTTPProtocol::TNetHTTPProtocol(TNetCustomHTTP* http)
    : m_http(http), m_request(std::make_unique<TNetHTTPRequest>(http)),
      m_response(std::make_unique<TNetHTTPResponse>(http))
{
}

TNetHTTPProtocol::~TNetHTTPProtocol() = default;

void TNetHTTPProtocol::SendRequest(TNetURI* uri)
{
    TNetHTTPRequest& request = *m_request;
    request.SetHeaders();
    // Proxy credentials go only to a proxy.
    if (!m_http->ProxyParams().ProxyServer().empty())
        m_http->ProxyParams().SetHeaders(request.RawHeaders());
    if (uri && m_http->CookieManager()) {
        const bool tls = request.ConnectionKind == ConnectTLS || request.ConnectionKind == ConnectTLSViaProxy;
        const std::string cookies = m_http->CookieManager()->CookieHeaderFor(*uri, tls);
        if (!cookies.empty())
            request.RawHeaders().SetValueOf("Cookie", cookies);
    }

    m_http->BeginBufferedWrite();
    try {
        m_http->WriteLine(std::string(MethodWord(request.Method)) + request.URL + " HTTP/"
                          + (m_http->ProtocolVersion() == pv1_0 ? "1.0" : "1.1"));
        for (const std::string& line : request.RawHeaders().Lines())
            if (!line.empty())
                m_http->WriteLine(line);
        m_http->WriteLine("");
    } catch (...) {
        m_http->DiscardBufferedWrite();
        m_http->EndBufferedWrite();
        throw;
    }
    m_http->EndBufferedWrite();
}

void TNetHTTPProtocol::ReadResponseHeaders()
{
    TNetHeaderList& raw = m_response->RawHeaders();
    raw.Clear();
    // A peer that sends header lines without end is stopped once the lines
    // add up to 64 maximum-length lines (1 MiB at least).
    const int64_t limit = std::max<int64_t>(kHeaderBytesLimit, int64_t {64} * m_http->MaxLineLength());
    int64_t total = 0;
    try {
        for (;;) {
            const std::string line = m_http->ReadLine();
            if (line.empty())
                break;
            total += static_cast<int64_t>(line.size()) + 2;
            if (total > limit)
                throw ENetException("Response headers too long.");
            raw.Add(line);
        }
    } catch (const ENetConnClosedGracefully&) {
        m_http->CloseConnection();
    }
    m_response->ProcessHeaders();
}

void TNetHTTPProtocol::ReadCount(TNetStream& stream, int64_t count)
{
    while (count > 0) {
        const int64_t slice = std::min(count, kBodySlice);
        m_http->ReadToStream(stream, slice, false);
        count -= slice;
    }
}

void TNetHTTPProtocol::ReadChunked(TNetStream& stream)
{
    m_http->ReportStatus(hsStatusText, "Chunk Started");
    int64_t size = ChunkSize(m_http->ReadLine());
    while (size > 0) {
        ReadCount(stream, size);
        m_http->ReadLine(); // the CR LF after the chunk
        size = ChunkSize(m_http->ReadLine());
    }
    if (size < 0) {
        // A size line that is not a number ends the body; where the next
        // reply would begin is then unknown, so the connection is not reused.
        m_http->m_streamOutOfStep = true;
    }
    m_http->ReadLine();
}

void TNetHTTPProtocol::ReadBody()
{
    TNetStream* stream = m_response->ContentStream;
    if (!stream)
        return;
    // No body comes with the answer to a HEAD, nor with a 1xx, 204 or 304
    // reply; waiting for one would block until the peer closes.
    const int code = m_response->StatusCode();
    if (m_request->Method == hmHead || code / 100 == 1 || code == 204 || code == 304)
        return;
    const int32_t length = m_response->ContentLength();
    m_response->m_bodyComplete = true;
    if (length > 0) {
        try {
            ReadCount(*stream, length);
        } catch (const ENetConnClosedGracefully&) {
            // A body shorter than announced: keep what arrived, and say so
            // to a caller that cannot use part of an answer.
            m_response->m_bodyComplete = false;
        }
    } else if (m_response->RawHeaders().ValueOf("Transfer-Encoding").find("chunked") != std::string::npos) {
        ReadChunked(*stream);
    } else if (length < 0) {
        m_http->ReadToStream(*stream, -1, true);
    }
}

void TNetHTTPProtocol::DiscardBody()
{
    TBoundedSink sink(0);
    TNetStream* saved = m_response->ContentStream;
    m_response->ContentStream = &sink;
    try {
        TReadTimeoutScope timeout(*m_http, 4000);
        ReadBody();
    } catch (const Exception&) {
        // The body of a reply we do not use; whatever went wrong reading it
        // shows up again on the next use of the connection.
    }
    m_response->ContentStream = saved;
}

void TNetHTTPProtocol::RaiseProtocolError()
{
    TBoundedSink body(kErrorBodyLimit);
    TNetStream* saved = m_response->ContentStream;
    m_response->ContentStream = &body;
    try {
        TReadTimeoutScope timeout(*m_http, 2000);
        ReadBody();
    } catch (...) {
        m_response->ContentStream = saved;
        throw;
    }
    m_response->ContentStream = saved;
    throw ENetHTTPProtocolException(m_response->StatusCode(), m_response->StatusLine, body.Kept());
}
