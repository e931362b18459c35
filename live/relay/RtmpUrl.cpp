// Parsing and masking of relay addresses.

#include "live/relay/RtmpUrl.h"

#include "platform/core/Text.h"

#include <cctype>

namespace {

bool Fail(std::string* why, const char* text)
{
    if (why)
        *why = text;
    return false;
}

} // namespace

bool ParseRtmpUrl(const std::string& text, RtmpUrl& url, std::string* why)
{
    url = {};
    for (const unsigned char c : text)
        if (c <= ' ' || c == 0x7F)
            return Fail(why, "the address holds spaces or control characters");
    const size_t sep = text.find("://");
    if (sep == std::string::npos)
        return Fail(why, "the address must start with rtmp:// or rtmps://");
    const std::string scheme = asciitext::Lower(text.substr(0, sep));
    if (scheme != "rtmp" && scheme != "rtmps")
        return Fail(why, "the address must start with rtmp:// or rtmps://");
    url.scheme = scheme;

    const size_t authBegin = sep + 3;
    const size_t pathBegin = text.find('/', authBegin);
    std::string authority = text.substr(authBegin, pathBegin == std::string::npos ? std::string::npos
                                                                                   : pathBegin - authBegin);
    if (const size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    std::string hostPort = authority;
    if (!hostPort.empty() && hostPort.front() == '[') { // [v6 address]:port
        const size_t close = hostPort.find(']');
        if (close == std::string::npos)
            return Fail(why, "the host is not a valid address");
        url.host = hostPort.substr(1, close - 1);
        hostPort.erase(0, close + 1);
        if (!hostPort.empty() && hostPort.front() != ':')
            return Fail(why, "the host is not a valid address");
    } else {
        const size_t colon = hostPort.find(':');
        url.host = hostPort.substr(0, colon);
        hostPort.erase(0, colon == std::string::npos ? hostPort.size() : colon);
    }
    if (url.host.empty())
        return Fail(why, "the address has no host");
    if (!hostPort.empty()) { // ":port"
        const std::string digits = hostPort.substr(1);
        if (digits.empty() || digits.size() > 5)
            return Fail(why, "the port is not a number from 1 to 65535");
        int port = 0;
        for (const char c : digits) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return Fail(why, "the port is not a number from 1 to 65535");
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535)
            return Fail(why, "the port is not a number from 1 to 65535");
        url.port = port;
    }

    if (pathBegin == std::string::npos)
        return Fail(why, "the address needs an application and a stream key (rtmp://host/app/key)");
    std::string path = text.substr(pathBegin + 1);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    const size_t lastSlash = path.rfind('/');
    if (lastSlash == std::string::npos || lastSlash == 0)
        return Fail(why, "the address needs an application and a stream key (rtmp://host/app/key)");
    url.application = path.substr(0, lastSlash);
    url.streamKey = path.substr(lastSlash + 1);
    if (url.streamKey.empty() || url.streamKey.front() == '?')
        return Fail(why, "the address has no stream key");
    return true;
}

RtmpUrlShownParts RtmpUrlShown(const std::string& text)
{
    RtmpUrlShownParts parts;
    const size_t sep = text.find("://");
    if (sep == std::string::npos)
        return parts;
    parts.schemeEnd = sep + 3;
    size_t end = text.find('/', parts.schemeEnd);
    if (end == std::string::npos)
        end = text.size();
    size_t begin = parts.schemeEnd;
    for (size_t i = parts.schemeEnd; i < end; ++i)
        if (text[i] == '@')
            begin = i + 1;
    parts.hostBegin = begin;
    parts.hostEnd = end;
    return parts;
}

std::string RtmpUrlForDisplay(const std::string& text)
{
    const RtmpUrlShownParts shown = RtmpUrlShown(text);
    if (shown.schemeEnd == 0)
        return text.empty() ? std::string() : "...";
    std::string out = text.substr(0, shown.schemeEnd);
    if (shown.hostBegin > shown.schemeEnd)
        out += "...@";
    out += text.substr(shown.hostBegin, shown.hostEnd - shown.hostBegin);
    if (shown.hostEnd < text.size())
        out += "/...";
    return out;
}
