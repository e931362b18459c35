#pragma once
// Relay addresses: rtmp://host[:port]/application/streamkey (rtmps:// for
// TLS). The stream key is a secret; the scheme and host are not.

#include <string>

struct RtmpUrl {
    std::string scheme;      // "rtmp" or "rtmps"
    std::string host;
    int port = 0;            // 0: the scheme's default (1935, 443)
    std::string application; // may hold further "/" parts ("app/instance")
    std::string streamKey;   // the last path part, with its query
};

// Parses `text`; false with a short reason in *why when it cannot be a
// publishing address (wrong scheme, no host, no application or no key, a
// bad port, spaces or control characters).
bool ParseRtmpUrl(const std::string& text, RtmpUrl& url, std::string* why);

// Which characters of `text` may be shown: the scheme with "://" and the
// host with its port. Credentials before an "@" and everything after the
// host stay hidden. Text without "://" is hidden entirely.
struct RtmpUrlShownParts {
    size_t schemeEnd = 0; // [0, schemeEnd) is shown
    size_t hostBegin = 0; // [hostBegin, hostEnd) is shown
    size_t hostEnd = 0;
};
RtmpUrlShownParts RtmpUrlShown(const std::string& text);

// The address safe to print: the shown parts with "/..." for a hidden rest
// ("rtmp://live.example.com/...").
std::string RtmpUrlForDisplay(const std::string& text);
