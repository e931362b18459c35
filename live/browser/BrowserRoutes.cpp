#include "live/browser/BrowserRoutes.h"

#include <cctype>

namespace browser {

BrowserRoute RouteBrowser(const wmhttp::Request& request)
{
    const std::string_view path = wmhttp::RequestPath(request.target);
    BrowserRoute route = BrowserRoute::None;
    if (path == "/watch")
        route = BrowserRoute::Watch;
    else if (path == "/live.mjpg")
        route = BrowserRoute::Live;
    else if (path == "/live.mp4")
        route = BrowserRoute::LiveMp4;
    else if (path == "/live.m3u8")
        route = BrowserRoute::HlsMultivariant;
    else if (path.substr(0, 5) == "/hls/")
        route = BrowserRoute::HlsFile;
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

} // namespace browser
