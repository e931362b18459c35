// Request heads for the network sink.

#include "platform/wmf/HttpRequest.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <cctype>

namespace wmhttp {

namespace {

using asciitext::ContainsText;
using asciitext::SameText;
using asciitext::StartsText;

bool IsTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Optional white space around header values: spaces and tabs only.
std::string Trim(std::string_view s) { return asciitext::Trim(s, " \t"); }

} // namespace

std::string Request::Header(std::string_view name) const
{
    std::string out;
    for (const auto& [n, v] : headers)
        if (SameText(n, name)) {
            if (!out.empty())
                out += ", ";
            out += v;
        }
    return out;
}

ParseResult ParseRequest(std::string_view buffer, Request* request, size_t* consumed)
{
    // Find the end of the head: an empty line.
    size_t end = std::string_view::npos, headLength = 0;
    for (size_t i = 0; i < buffer.size() && i < kMaxRequestHead; ++i) {
        if (buffer[i] != '\n')
            continue;
        if (i + 1 < buffer.size() && buffer[i + 1] == '\n') {
            end = i + 1;
            headLength = i + 2;
            break;
        }
        if (i + 2 < buffer.size() && buffer[i + 1] == '\r' && buffer[i + 2] == '\n') {
            end = i + 1;
            headLength = i + 3;
            break;
        }
    }
    if (end == std::string_view::npos)
        return buffer.size() >= kMaxRequestHead ? ParseResult::TooLarge : ParseResult::Incomplete;
    if (headLength > kMaxRequestHead)
        return ParseResult::TooLarge;

    Request r;
    std::string_view head = buffer.substr(0, end);
    bool first = true;
    while (!head.empty()) {
        const size_t nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        head.remove_prefix(nl == std::string_view::npos ? head.size() : nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        for (char c : line)
            if (c == '\0' || c == '\r')
                return ParseResult::Malformed;
        if (first) {
            first = false;
            // METHOD SP target SP HTTP/1.x
            const size_t sp1 = line.find(' ');
            const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
            if (sp1 == 0 || sp2 == std::string_view::npos || sp2 == sp1 + 1)
                return ParseResult::Malformed;
            const std::string_view method = line.substr(0, sp1);
            const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            const std::string_view version = line.substr(sp2 + 1);
            if (!std::all_of(method.begin(), method.end(), IsTokenChar))
                return ParseResult::Malformed;
            if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || !std::isdigit(static_cast<unsigned char>(version[7])))
                return ParseResult::Malformed;
            for (char c : target)
                if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F)
                    return ParseResult::Malformed;
            r.method = method;
            r.target = target;
            r.versionMinor = version[7] - '0';
            continue;
        }
        if (line.empty())
            return ParseResult::Malformed;
        if (line.front() == ' ' || line.front() == '\t') {
            // An old-style continuation of the previous header's value.
            if (r.headers.empty())
                return ParseResult::Malformed;
            r.headers.back().second += ' ';
            r.headers.back().second += Trim(line);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos)
            return ParseResult::Malformed;
        const std::string_view name = line.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), IsTokenChar))
            return ParseResult::Malformed;
        if (r.headers.size() == kMaxHeaders)
            return ParseResult::TooLarge;
        r.headers.emplace_back(std::string(name), std::string(Trim(line.substr(colon + 1))));
    }
    if (first)
        return ParseResult::Malformed;
    if (request)
        *request = std::move(r);
    if (consumed)
        *consumed = headLength;
    return ParseResult::Complete;
}

std::string_view RequestPath(std::string_view target)
{
    if (StartsText(target, "http://")) {
        // Absolute form: drop scheme and authority.
        target.remove_prefix(7);
        const size_t slash = target.find('/');
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    return target.substr(0, target.find('?'));
}

RequestKind Classify(const Request& request)
{
    if (request.method == "POST")
        return RequestKind::Log;
    if (request.method != "GET" && request.method != "HEAD")
        return RequestKind::BadMethod;
    if (RequestPath(request.target) != "/")
        return RequestKind::NotFound;
    const std::string agent = request.Header("User-Agent");
    const std::string pragma = request.Header("Pragma");
    const bool player = StartsText(agent, "NSPlayer") || StartsText(agent, "NSServer")
        || StartsText(agent, "WMFSDK") || StartsText(agent, "WMCacheProxy")
        || ContainsText(pragma, "xClientGUID");
    if (!player)
        return RequestKind::Plain;
    return ContainsText(pragma, "xPlayStrm=1") ? RequestKind::Play : RequestKind::Describe;
}

} // namespace wmhttp
