#include "live/browser/StatusDocument.h"

#include <cstdio>
#include <string_view>

namespace browser {

namespace {

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

std::string StatusJson(const StreamFacts& facts)
{
    return std::string("{\"streaming\":") + (facts.streaming ? "true" : "false") + ",\"viewers\":"
        + std::to_string(facts.viewers) + ",\"limit\":" + std::to_string(facts.limit) + ",\"profile\":"
        + JsonString(facts.profile) + ",\"width\":" + std::to_string(facts.width) + ",\"height\":"
        + std::to_string(facts.height) + ",\"fps\":" + std::to_string(facts.fps) + ",\"uptime_s\":"
        + std::to_string(facts.uptimeSeconds) + ",\"bytes_sent\":" + std::to_string(facts.bytesSent) + ",\"viewers_by_kind\":{\"wm\":"
        + std::to_string(facts.mediaPlayers) + ",\"mse\":" + std::to_string(facts.mp4) + ",\"hls\":" + std::to_string(facts.hls) + ",\"mjpeg\":"
        + std::to_string(facts.mjpeg) + "}}\n";
}

} // namespace browser
