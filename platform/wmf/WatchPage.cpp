#include "platform/wmf/WatchPage.h"

#include <cctype>
#include <cstdio>

namespace wmhttp {

namespace {

std::string_view PathOf(std::string_view target)
{
    if (target.size() >= 7) {
        std::string scheme(target.substr(0, 7));
        for (char& ch : scheme)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (scheme == "http://") {
            // Absolute form: drop scheme and authority.
            target.remove_prefix(7);
            const size_t slash = target.find('/');
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
        }
    }
    return target.substr(0, target.find('?'));
}

std::string Escape(std::string_view text)
{
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += ch;
        }
    }
    return out;
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (char ch : text) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
            out += buffer;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

} // namespace

BrowserRoute RouteBrowser(const Request& request)
{
    const std::string_view path = PathOf(request.target);
    BrowserRoute route = BrowserRoute::None;
    if (path == "/watch")
        route = BrowserRoute::Watch;
    else if (path == "/live.mjpg")
        route = BrowserRoute::Live;
    else if (path == "/snapshot.jpg")
        route = BrowserRoute::Snapshot;
    else if (path == "/status.json")
        route = BrowserRoute::Status;
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (route == BrowserRoute::None)
        return BrowserRoute::None;
    return get ? route : BrowserRoute::BadMethod;
}

bool AuthorityOfHeader(std::string_view header, std::string* host, uint16_t* port)
{
    if (header.empty() || header.size() > 255)
        return false;
    std::string_view name = header, rest;
    if (header.front() == '[') {
        const size_t close = header.find(']');
        if (close == std::string_view::npos || close < 2)
            return false;
        for (char ch : header.substr(1, close - 1))
            if (!std::isxdigit(static_cast<unsigned char>(ch)) && ch != ':' && ch != '.')
                return false;
        name = header.substr(0, close + 1);
        rest = header.substr(close + 1);
    } else {
        const size_t colon = header.find(':');
        name = header.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : header.substr(colon);
        if (name.empty())
            return false;
        for (char ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '-' && ch != '_')
                return false;
    }
    unsigned value = 80;
    if (!rest.empty()) {
        if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6)
            return false;
        value = 0;
        for (char ch : rest.substr(1)) {
            if (!std::isdigit(static_cast<unsigned char>(ch)))
                return false;
            value = value * 10 + static_cast<unsigned>(ch - '0');
        }
        if (value == 0 || value > 65535)
            return false;
    }
    *host = std::string(name);
    *port = static_cast<uint16_t>(value);
    return true;
}

std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port)
{
    const std::string authority = Escape(host) + ":" + std::to_string(port);
    const int width = facts.width > 0 ? facts.width : 320;
    const int height = facts.height > 0 ? facts.height : 240;
    std::string page =
        "<!DOCTYPE html>\n"
        "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Lumora</title>\n"
        "<style>\n"
        "body{margin:0;padding:12px;font-family:sans-serif;background:#222;color:#eee;text-align:center}\n"
        "h1{font-size:1.3em;margin:0 0 10px}\n"
        "img{display:block;margin:0 auto;max-width:100%;height:auto;background:#000}\n"
        "p{margin:8px 0}\n"
        "code{user-select:all;background:#333;padding:1px 4px;word-break:break-all}\n"
        ".full{color:#fc6}\n"
        "</style>\n</head>\n<body>\n<h1>Lumora</h1>\n";
    page += "<img src=\"/live.mjpg\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height)
        + "\" alt=\"Live picture\">\n";
    page += "<p>Watching now: " + std::to_string(facts.viewers) + " of " + std::to_string(facts.limit) + "</p>\n";
    if (facts.limit > 0 && facts.viewers >= facts.limit)
        page += "<p class=\"full\">The viewer limit is reached: the picture appears when a viewer leaves "
                "(reload the page).</p>\n";
    if (!facts.streaming)
        page += "<p class=\"full\">The stream is not running.</p>\n";
    page += "<p>In a media player: <code>http://" + authority + "/</code> or <code>mmsh://" + authority
        + "/</code></p>\n</body>\n</html>\n";
    return page;
}

std::string StatusJson(const StreamFacts& facts)
{
    return std::string("{\"streaming\":") + (facts.streaming ? "true" : "false") + ",\"viewers\":"
        + std::to_string(facts.viewers) + ",\"limit\":" + std::to_string(facts.limit) + ",\"profile\":"
        + JsonString(facts.profile) + ",\"width\":" + std::to_string(facts.width) + ",\"height\":"
        + std::to_string(facts.height) + ",\"fps\":" + std::to_string(facts.fps) + ",\"uptime_s\":"
        + std::to_string(facts.uptimeSeconds) + ",\"bytes_sent\":" + std::to_string(facts.bytesSent) + "}\n";
}

std::string Response(int code, std::string_view reason, std::string_view type, std::string_view body, bool headOnly,
    std::string_view extra)
{
    std::string r = "HTTP/1.1 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
    if (!type.empty())
        r += "Content-Type: " + std::string(type) + "\r\n";
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    r += extra;
    r += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (!headOnly)
        r += body;
    return r;
}

std::string MjpegHead()
{
    return "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=" + std::string(kMjpegBoundary)
        + "\r\nCache-Control: no-store\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
}

std::string MjpegPartHead(size_t jpegBytes, bool first)
{
    return std::string(first ? "" : "\r\n") + "--" + std::string(kMjpegBoundary) + "\r\nContent-Type: image/jpeg\r\nContent-Length: "
        + std::to_string(jpegBytes) + "\r\n\r\n";
}

} // namespace wmhttp
