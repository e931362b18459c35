#pragma once
// Which paths of the stream port are the browsers', and the response heads
// they get.

#include "platform/wmf/HttpRequest.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace browser {

enum class BrowserRoute {
    None,      // not a browser path: the stream's own routing decides
    Watch,     // GET/HEAD /watch
    Live,      // GET/HEAD /live.mjpg
    LiveMp4,   // GET/HEAD /live.mp4
    HlsMultivariant, // GET/HEAD /live.m3u8
    HlsFile,   // GET/HEAD /hls/... (media playlists and segments)
    Snapshot,  // GET/HEAD /snapshot.jpg
    Status,    // GET/HEAD /status.json
    BadMethod, // any other method on a browser path
};

// "/" and every request of a path outside the browser paths stay with the
// stream's routing (None), so players see no change.
BrowserRoute RouteBrowser(const wmhttp::Request& request);

// The boundary between the parts of /live.mjpg.
inline constexpr std::string_view kMjpegBoundary = "lumoraframe";

// The host and port of a Host header ("name", "1.2.3.4" or "[::1]"; the
// port 80 when the header names none). False when the header is missing or
// holds anything else than a host name or address and a port (it is copied
// into the page).
bool AuthorityOfHeader(std::string_view header, std::string* host, uint16_t* port);

// A whole HTTP/1.1 response with Content-Length; `headOnly` leaves the body
// out (HEAD). `extra` holds more header lines, each ending in CR LF.
std::string Response(int code, std::string_view reason, std::string_view type, std::string_view body, bool headOnly,
    std::string_view extra = {});

// The head of /live.mjpg and the head of one of its parts (a part after
// the first begins with the CR LF that ends the part before it).
std::string MjpegHead();
std::string MjpegPartHead(size_t jpegBytes, bool first);

} // namespace browser
