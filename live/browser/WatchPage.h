#pragma once
// The watch page: the live picture, the viewer count and the addresses for
// media players, as one small HTML page. A small inline script plays the
// H.264 stream; without script (or without Media Source Extensions) the
// page shows the MJPEG picture.

#include "live/browser/StatusDocument.h"

#include <cstdint>
#include <string>

namespace browser {

// The page for a browser that reached us as host:port.
std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port);

} // namespace browser
