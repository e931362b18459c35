#include "net/NetHeaderList.h"
#include "platform/core/Text.h"

#include <cctype>
#include <cstdio>
#include <mutex>
#include <utility>

namespace {

using asciitext::IsBlank;
using asciitext::SameText;
using asciitext::Trim;
using asciitext::TrimRight;
using asciitext::Upper;

bool IsContinuation(const std::string& line)
{
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

} // namespace

// ---------------------------------------------------------------- TNetHeaderList

const std::string& TNetHeaderList::operator[](int index) const
{
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
    return m_lines[static_cast<std::size_t>(index)];
}

void TNetHeaderList::Insert(int index, const std::string& line)
{
    if (index < 0 || index > Count())
        RaiseListIndexError(index);
    m_lines.insert(m_lines.begin() + index, line);
}

void TNetHeaderList::Put(int index, const std::string& line)
{
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
    m_lines[static_cast<std::size_t>(index)] = line;
}

void TNetHeaderList::Delete(int index)
{
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
    m_lines.erase(m_lines.begin() + index);
}

void TNetHeaderList::AddStrings(const TNetHeaderList& other)
{
    m_lines.insert(m_lines.end(), other.m_lines.begin(), other.m_lines.end());
}

std::string TNetHeaderList::Text() const
{
    std::string result;
    for (const std::string& line : m_lines)
        result += line + "\r\n";
    return result;
}

std::string TNetHeaderList::SeparatorMark() const
{
    // When reading, only the first non-blank part of the separator counts.
    std::string mark = Trim(m_separator);
    return mark.empty() ? std::string(":") : mark;
}

std::string TNetHeaderList::NameOfLine(int index) const
{
    const std::string& line = (*this)[index];
    const std::size_t at = line.find(SeparatorMark());
    if (at == std::string::npos)
        return {};
    std::string name = line.substr(0, at);
    return m_caseSensitive ? name : Upper(name);
}

std::string TNetHeaderList::ValueOfLine(int index) const
{
    if (index < 0 || index >= Count())
        return {};
    const std::string& line = m_lines[static_cast<std::size_t>(index)];
    const std::string mark = SeparatorMark();
    const std::size_t at = line.find(mark);
    std::string value = at == std::string::npos ? line.substr(std::min<std::size_t>(1, line.size()))
                                                : line.substr(at + mark.size());
    if (m_unfoldLines) {
        for (int next = index + 1; next < Count() && IsContinuation(m_lines[static_cast<std::size_t>(next)]);
             ++next)
            value = Trim(value) + " " + Trim(m_lines[static_cast<std::size_t>(next)]);
    }
    return Trim(value);
}

int TNetHeaderList::IndexOfHeader(const std::string& name) const
{
    const std::string key = Upper(name);
    for (int i = 0; i < Count(); ++i)
        if (Upper(NameOfLine(i)) == key)
            return i;
    return -1;
}

std::string TNetHeaderList::ValueOf(const std::string& name) const
{
    return ValueOfLine(IndexOfHeader(name));
}

void TNetHeaderList::SetValueOf(const std::string& name, const std::string& value)
{
    int index = IndexOfHeader(name);
    if (!value.empty()) {
        if (index < 0) {
            Add({});
            index = Count() - 1;
        }
        if (m_foldLines) {
            DeleteFoldedLines(index);
            const std::vector<std::string> pieces = FoldLine(name + m_separator + value);
            Put(index, pieces.back());
            for (std::size_t i = 0; i + 1 < pieces.size(); ++i)
                Insert(index + static_cast<int>(i), pieces[i]);
        } else {
            Put(index, name + m_separator + value);
        }
    } else if (index >= 0) {
        if (m_foldLines)
            DeleteFoldedLines(index);
        Delete(index);
    }
}

void TNetHeaderList::ExtractValues(const std::string& name, TNetHeaderList* destination) const
{
    if (!destination)
        return;
    const std::string key = Upper(name);
    for (int i = 0; i < Count(); ++i)
        if (Upper(NameOfLine(i)) == key)
            destination->Add(ValueOfLine(i));
}

std::vector<std::string> TNetHeaderList::FoldLine(const std::string& text) const
{
    // Break points: blanks, TABs and commas outside double-quoted stretches.
    // A piece is cut after the last break point that keeps it within
    // FoldLength; when the first break point already lies beyond, the piece is
    // cut there instead (a header is never cut inside a word). Blanks after
    // the cut are dropped and each further piece begins with one blank.
    const std::size_t limit = m_foldLength > 0 ? static_cast<std::size_t>(m_foldLength) : 1;
    std::vector<std::string> pieces;
    std::string rest = text;
    std::size_t prefix = 0; // 1 for a continuation piece: its leading blank is no break point
    while (rest.size() > limit) {
        std::size_t lastFit = std::string::npos;
        std::size_t firstBeyond = std::string::npos;
        bool quoted = false;
        for (std::size_t i = prefix; i < rest.size(); ++i) {
            const char c = rest[i];
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (quoted || !(c == ' ' || c == '\t' || c == ','))
                continue;
            if (i == prefix && (c == ' ' || c == '\t'))
                continue; // a cut here would give a piece of nothing
            if (i + 1 <= limit)
                lastFit = i;
            else {
                firstBeyond = i;
                break;
            }
        }
        const std::size_t cut = lastFit != std::string::npos ? lastFit : firstBeyond;
        if (cut == std::string::npos)
            break;
        pieces.push_back(TrimRight(rest.substr(0, cut + 1)));
        std::size_t next = cut + 1;
        while (next < rest.size() && (rest[next] == ' ' || rest[next] == '\t'))
            ++next;
        if (next >= rest.size()) {
            rest.clear();
            break;
        }
        rest = " " + rest.substr(next);
        prefix = 1;
    }
    if (!rest.empty() || pieces.empty())
        pieces.push_back(TrimRight(rest));
    return pieces;
}

void TNetHeaderList::DeleteFoldedLines(int index)
{
    while (index + 1 < Count() && IsContinuation(m_lines[static_cast<std::size_t>(index + 1)]))
        Delete(index + 1);
}

// ---------------------------------------------------------------- authentication

TNetAuthentication::TNetAuthentication()
{
    // name=value pairs; credentials are never folded.
    m_params.SetNameValueSeparator("=");
    m_params.SetFoldLines(false);
}

void TNetAuthentication::SetPassword(const std::string& value)
{
    m_params.SetValueOf("Password", value);
}

void TNetAuthentication::SetUsername(const std::string& value)
{
    m_params.SetValueOf("Username", value);
}

void TNetAuthentication::SetAuthParams(const TNetHeaderList& challenges)
{
    if (!m_authParams)
        m_authParams = std::make_unique<TNetHeaderList>();
    *m_authParams = challenges;
}

TNetAuthenticationClass TNetBasicAuthentication::ClassInfo()
{
    static const TNetAuthenticationClassInfo info {
        "TNetBasicAuthentication",
        []() -> std::unique_ptr<TNetAuthentication> { return std::make_unique<TNetBasicAuthentication>(); }};
    return &info;
}

TNetAuthWhatsNext TNetBasicAuthentication::Next()
{
    if (m_authParams) {
        // "Basic realm="x", charset="UTF-8"": the parameters after the scheme.
        for (const std::string& line : m_authParams->Lines()) {
            if (line.size() < 5 || !SameText(line.substr(0, 5), "Basic"))
                continue;
            std::string rest = line.substr(5);
            std::size_t begin = 0;
            while (begin < rest.size() && IsBlank(rest[begin]))
                ++begin;
            rest.erase(0, begin);
            while (!rest.empty()) {
                std::string pair = CutField(rest, ", ");
                const std::size_t eq = pair.find('=');
                if (eq == std::string::npos)
                    continue;
                std::string name = Trim(pair.substr(0, eq));
                std::string value = Trim(pair.substr(eq + 1));
                if (SameText(name, "realm")) {
                    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                        value = value.substr(1, value.size() - 2);
                    m_realm = value;
                }
                if (!name.empty())
                    m_params.SetValueOf(name, value);
            }
            break;
        }
    }
    switch (m_currentStep) {
    case 0:
        if (Username().empty())
            return wnAskTheProgram;
        m_currentStep = 1;
        return wnDoRequest;
    default:
        return wnFail;
    }
}

std::string TNetBasicAuthentication::Authentication()
{
    return "Basic " + TNetEncoderMIME::Encode(Username() + ":" + Password());
}

namespace {

struct SchemeEntry {
    std::string name;
    TNetAuthenticationClass authClass;
};

std::mutex& SchemeLock()
{
    static std::mutex lock;
    return lock;
}

// The registry, created on first use with "Basic" already in it.
std::vector<SchemeEntry>& Schemes()
{
    static std::vector<SchemeEntry> schemes {{"Basic", TNetBasicAuthentication::ClassInfo()}};
    return schemes;
}

} // namespace

void RegisterAuthScheme(const std::string& scheme, TNetAuthenticationClass authClass)
{
    std::lock_guard<std::mutex> guard(SchemeLock());
    for (const SchemeEntry& entry : Schemes())
        if (SameText(entry.name, scheme))
            throw ENetAlreadyRegisteredAuthenticationMethod(
                Format("This authentication method is already registered with class name %s.",
                       entry.authClass->ClassName));
    Schemes().push_back({scheme, authClass});
}

TNetAuthenticationClass FindAuthScheme(const std::string& scheme)
{
    std::lock_guard<std::mutex> guard(SchemeLock());
    for (const SchemeEntry& entry : Schemes())
        if (SameText(entry.name, scheme))
            return entry.authClass;
    return nullptr;
}

std::string TNetEncoderMIME::Encode(const std::string& bytes)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16
                           | static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8
                           | static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 2]));
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left == 2)
            v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// ---------------------------------------------------------------- entity record

TNetEntityHeaderInfo::TNetEntityHeaderInfo() = default;

void TNetEntityHeaderInfo::SetCustomHeaders(const TNetHeaderList& v)
{
    m_customHeaders.Clear();
    m_customHeaders.AddStrings(v);
}

void TNetEntityHeaderInfo::Assign(const TNetEntityHeaderInfo& source)
{
    if (&source == this)
        return;
    m_cacheControl = source.m_cacheControl;
    m_connection = source.m_connection;
    m_contentEncoding = source.m_contentEncoding;
    m_contentLanguage = source.m_contentLanguage;
    m_contentLength = source.m_contentLength;
    m_contentRangeEnd = source.m_contentRangeEnd;
    m_contentRangeStart = source.m_contentRangeStart;
    m_contentType = source.m_contentType;
    m_contentVersion = source.m_contentVersion;
    SetCustomHeaders(source.m_customHeaders);
    m_date = source.m_date;
    m_expires = source.m_expires;
    m_lastModified = source.m_lastModified;
    m_pragma = source.m_pragma;
}

void TNetEntityHeaderInfo::ClearHeaders()
{
    m_connection.clear();
    m_contentVersion.clear();
    m_contentEncoding.clear();
    m_contentLanguage.clear();
    m_contentType = "text/html";
    m_contentLength = -1;
    m_contentRangeStart = 0;
    m_contentRangeEnd = 0;
    m_date = 0;
    m_lastModified = 0;
    m_expires = 0;
    m_rawHeaders.Clear();
}

void TNetEntityHeaderInfo::ProcessHeaders()
{
    m_connection = m_rawHeaders.ValueOf("Connection");
    m_contentVersion = m_rawHeaders.ValueOf("Content-Version");
    m_contentEncoding = m_rawHeaders.ValueOf("Content-Encoding");
    m_contentLanguage = m_rawHeaders.ValueOf("Content-Language");
    m_contentType = m_rawHeaders.ValueOf("Content-Type");
    int length = -1;
    if (!NetTryStrToInt(Trim(m_rawHeaders.ValueOf("Content-Length")), length))
        length = -1;
    // A negative length is no length at all.
    m_contentLength = length < 0 ? -1 : length;

    m_date = InternetDateToLocal(m_rawHeaders.ValueOf("Date"));
    m_lastModified = InternetDateToLocal(m_rawHeaders.ValueOf("Last-Modified"));

    // "Expires" is either a count of seconds from now or a date.
    const std::string expires = m_rawHeaders.ValueOf("Expires");
    int seconds = 0;
    if (NetTryStrToInt(expires, seconds) && seconds != -1)
        m_expires = NetNow() + static_cast<double>(seconds) / 86400.0;
    else
        m_expires = InternetDateToLocal(expires);

    m_pragma = m_rawHeaders.ValueOf("Pragma");
}

void TNetEntityHeaderInfo::SetHeaders()
{
    m_rawHeaders.Clear();
    if (!m_connection.empty())
        m_rawHeaders.SetValueOf("Connection", m_connection);
    if (!m_contentVersion.empty())
        m_rawHeaders.SetValueOf("Content-Version", m_contentVersion);
    if (!m_contentEncoding.empty())
        m_rawHeaders.SetValueOf("Content-Encoding", m_contentEncoding);
    if (!m_contentLanguage.empty())
        m_rawHeaders.SetValueOf("Content-Language", m_contentLanguage);
    if (!m_contentType.empty())
        m_rawHeaders.SetValueOf("Content-Type", m_contentType);
    if (m_contentLength >= 0)
        m_rawHeaders.SetValueOf("Content-Length", std::to_string(m_contentLength));
    if (!m_cacheControl.empty())
        m_rawHeaders.SetValueOf("Cache-control", m_cacheControl);
    if (m_date > 0)
        m_rawHeaders.SetValueOf("Date", FormatInternetDate(m_date));
    if (m_expires > 0)
        m_rawHeaders.SetValueOf("Expires", FormatInternetDate(m_expires));
    if (!m_pragma.empty())
        m_rawHeaders.SetValueOf("Pragma", m_pragma);
    if (m_customHeaders.Count() > 0)
        m_rawHeaders.AddStrings(m_customHeaders);
}

// ---------------------------------------------------------------- request record

TNetRequestHeaderInfo::TNetRequestHeaderInfo() = default;
TNetRequestHeaderInfo::~TNetRequestHeaderInfo() = default;

void TNetRequestHeaderInfo::SetAuthentication(std::unique_ptr<TNetAuthentication> value)
{
    m_authentication = std::move(value);
}

void TNetRequestHeaderInfo::Assign(const TNetEntityHeaderInfo& source)
{
    if (&source == this)
        return;
    if (const auto* request = dynamic_cast<const TNetRequestHeaderInfo*>(&source)) {
        m_accept = request->m_accept;
        m_acceptCharSet = request->m_acceptCharSet;
        m_acceptEncoding = request->m_acceptEncoding;
        m_acceptLanguage = request->m_acceptLanguage;
        m_from = request->m_from;
        m_password = request->m_password;
        m_referer = request->m_referer;
        m_userAgent = request->m_userAgent;
        m_username = request->m_username;
        m_basicAuthentication = request->m_basicAuthentication;
    } else {
        TNetEntityHeaderInfo::Assign(source);
    }
}

void TNetRequestHeaderInfo::ClearHeaders()
{
    m_accept = "text/html, */*";
    m_acceptCharSet.clear();
    m_userAgent = "Mozilla/3.0 (compatible; Lumora)";
    m_basicAuthentication = false;
    TNetEntityHeaderInfo::ClearHeaders();
}

void TNetRequestHeaderInfo::ProcessHeaders()
{
    m_accept = m_rawHeaders.ValueOf("Accept");
    m_acceptCharSet = m_rawHeaders.ValueOf("Accept-Charset");
    m_acceptEncoding = m_rawHeaders.ValueOf("Accept-Encoding");
    m_acceptLanguage = m_rawHeaders.ValueOf("Accept-Language");
    m_host = m_rawHeaders.ValueOf("Host");
    m_from = m_rawHeaders.ValueOf("From");
    m_referer = m_rawHeaders.ValueOf("Referer");
    m_userAgent = m_rawHeaders.ValueOf("User-Agent");
    m_proxyConnection = m_rawHeaders.ValueOf("Proxy-Connection");
    m_lastModified = InternetDateToLocal(m_rawHeaders.ValueOf("If-Modified-Since"));

    // "bytes=start-end"; an absent end reads as 0.
    std::string range = m_rawHeaders.ValueOf("Range");
    if (!range.empty()) {
        CutField(range, "=");
        const std::string start = CutField(range, "-");
        m_contentRangeStart = static_cast<uint32_t>(NetStrToInt(start));
        m_contentRangeEnd = range.empty() ? 0 : static_cast<uint32_t>(NetStrToInt(range));
    }
    TNetEntityHeaderInfo::ProcessHeaders();
}

void TNetRequestHeaderInfo::SetHeaders()
{
    TNetEntityHeaderInfo::SetHeaders();
    if (!m_proxyConnection.empty())
        m_rawHeaders.SetValueOf("Proxy-Connection", m_proxyConnection);
    if (!m_host.empty())
        m_rawHeaders.SetValueOf("Host", m_host);
    if (!m_accept.empty())
        m_rawHeaders.SetValueOf("Accept", m_accept);
    if (!m_acceptCharSet.empty())
        m_rawHeaders.SetValueOf("Accept-Charset", m_acceptCharSet);
    if (!m_acceptEncoding.empty())
        m_rawHeaders.SetValueOf("Accept-Encoding", m_acceptEncoding);
    if (!m_acceptLanguage.empty())
        m_rawHeaders.SetValueOf("Accept-Language", m_acceptLanguage);
    if (!m_from.empty())
        m_rawHeaders.SetValueOf("From", m_from);
    if (!m_referer.empty())
        m_rawHeaders.SetValueOf("Referer", m_referer);
    if (!m_userAgent.empty())
        m_rawHeaders.SetValueOf("User-Agent", m_userAgent);
    if (m_lastModified > 0)
        m_rawHeaders.SetValueOf("If-Modified-Since", FormatInternetDate(m_lastModified));
    if (m_contentRangeStart != 0 || m_contentRangeEnd != 0) {
        std::string range = "bytes=" + std::to_string(m_contentRangeStart) + "-";
        if (m_contentRangeEnd != 0)
            range += std::to_string(m_contentRangeEnd);
        m_rawHeaders.SetValueOf("Range", range);
    }

    if (m_authentication) {
        const std::string value = m_authentication->Authentication();
        if (!value.empty())
            m_rawHeaders.SetValueOf("Authorization", value);
    } else if (m_basicAuthentication) {
        auto basic = std::make_unique<TNetBasicAuthentication>();
        basic->SetUsername(m_username);
        basic->SetPassword(m_password);
        m_rawHeaders.SetValueOf("Authorization", basic->Authentication());
        m_authentication = std::move(basic);
    }
}

// ---------------------------------------------------------------- response record

TNetResponseHeaderInfo::TNetResponseHeaderInfo() = default;

void TNetResponseHeaderInfo::ClearHeaders()
{
    TNetEntityHeaderInfo::ClearHeaders();
    m_location.clear();
    m_server.clear();
    m_proxyAuthenticate.Clear();
    m_wwwAuthenticate.Clear();
}

void TNetResponseHeaderInfo::ProcessHeaders()
{
    m_location = m_rawHeaders.ValueOf("Location");
    m_server = m_rawHeaders.ValueOf("Server");
    m_proxyConnection = m_rawHeaders.ValueOf("Proxy-Connection");

    // "bytes 0-99/1234": start before "-", end before "/".
    std::string range = m_rawHeaders.ValueOf("Content-Range");
    if (!range.empty()) {
        CutField(range, " ");
        m_contentRangeStart = static_cast<uint32_t>(NetStrToInt(CutField(range, "-")));
        m_contentRangeEnd = static_cast<uint32_t>(NetStrToInt(CutField(range, "/")));
    }

    m_wwwAuthenticate.Clear();
    m_rawHeaders.ExtractValues("WWW-Authenticate", &m_wwwAuthenticate);
    m_proxyAuthenticate.Clear();
    m_rawHeaders.ExtractValues("Proxy-Authenticate", &m_proxyAuthenticate);

    TNetEntityHeaderInfo::ProcessHeaders();
}

// ---------------------------------------------------------------- proxy settings

TNetProxyConnectionInfo::TNetProxyConnectionInfo() { Clear(); }
TNetProxyConnectionInfo::~TNetProxyConnectionInfo() = default;

void TNetProxyConnectionInfo::SetProxyPort(int v)
{
    if (v != m_proxyPort)
        m_authentication.reset();
    m_proxyPort = v;
}

void TNetProxyConnectionInfo::SetProxyServer(const std::string& v)
{
    if (!SameText(v, m_proxyServer))
        m_authentication.reset();
    m_proxyServer = v;
}

void TNetProxyConnectionInfo::SetAuthentication(std::unique_ptr<TNetAuthentication> value)
{
    m_authentication = std::move(value);
}

void TNetProxyConnectionInfo::Clear()
{
    m_proxyServer.clear();
    m_proxyUsername.clear();
    m_proxyPassword.clear();
    m_proxyPort = 0;
}

void TNetProxyConnectionInfo::SetHeaders(TNetHeaderList& headers)
{
    if (m_authentication) {
        const std::string value = m_authentication->Authentication();
        if (!value.empty())
            headers.SetValueOf("Proxy-Authorization", value);
    } else if (m_basicAuthentication) {
        auto basic = std::make_unique<TNetBasicAuthentication>();
        basic->SetUsername(m_proxyUsername);
        basic->SetPassword(m_proxyPassword);
        headers.SetValueOf("Proxy-Authorization", basic->Authentication());
        m_authentication = std::move(basic);
    }
}
