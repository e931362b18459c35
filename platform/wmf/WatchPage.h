#pragma once
// What the network sink answers browsers and monitoring tools: which paths
// are theirs, the watch page, the state as JSON and the response heads.

#include "platform/wmf/HttpRequest.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace wmhttp {

enum class BrowserRoute {
    None,      // not a browser path: the stream's own routing decides
    Watch,     // GET/HEAD /watch
    Live,      // GET/HEAD /live.mjpg
    Snapshot,  // GET/HEAD /snapshot.jpg
    Status,    // GET/HEAD /status.json
    NotFound,  // not used: the stream's routing answers other paths
    BadMethod, // any other method on a browser path
};

// "/" and every request of a path outside the browser paths stay with the
// stream's routing (None), so players see no change.
BrowserRoute RouteBrowser(const Request& request);

// The boundary between the parts of /live.mjpg.
inline constexpr std::string_view kMjpegBoundary = "lumoraframe";

struct StreamFacts {
    bool streaming = false;
    uint32_t viewers = 0;
    uint32_t limit = 0;
    std::string profile;
    int width = 0;
    int height = 0;
    int fps = 0;
    int64_t uptimeSeconds = 0;
    uint64_t bytesSent = 0;
};

// The host and port of a Host header ("name", "1.2.3.4" or "[::1]"; the
// port 80 when the header names none). False when the header is missing or
// holds anything else than a host name or address and a port (it is copied
// into the page).
bool AuthorityOfHeader(std::string_view header, std::string* host, uint16_t* port);

// The watch page for a browser that reached us as host:port.
std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port);

std::string StatusJson(const StreamFacts& facts);

// A whole HTTP/1.1 response with Content-Length; `headOnly` leaves the body
// out (HEAD). `extra` holds more header lines, each ending in CR LF.
std::string Response(int code, std::string_view reason, std::string_view type, std::string_view body, bool headOnly,
    std::string_view extra = {});

// The head of /live.mjpg and the head of one of its parts (a part after
// the first begins with the CR LF that ends the part before it).
std::string MjpegHead();
std::string MjpegPartHead(size_t jpegBytes, bool first);

} // namespace wmhttp
