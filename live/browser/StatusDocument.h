#pragma once
// The stream's state as browsers and monitoring tools read it: the facts
// the watch page shows and /status.json.

#include <cstdint>
#include <string>

namespace browser {

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
    // Viewers by what they watch: Windows Media players, /live.mp4, MJPEG, HLS.
    uint32_t mediaPlayers = 0;
    uint32_t mp4 = 0;
    uint32_t mjpeg = 0;
    uint32_t hls = 0;
};

// {"streaming":true,"viewers":N,"limit":10,"profile":"...","width":...,
// "height":...,"fps":...,"uptime_s":...,"bytes_sent":...,
// "viewers_by_kind":{"wm":N,"mse":N,"hls":N,"mjpeg":N}} and a line end.
std::string StatusJson(const StreamFacts& facts);

} // namespace browser
