#pragma once
// The watch page: the live picture, the viewer count and the addresses for
// media players, as one small HTML page. A small inline script plays the
// H.264 stream; without script (or without Media Source Extensions) the
// page shows the MJPEG picture.

#include "live/browser/StatusDocument.h"

#include <cstdint>
#include <string>

namespace browser {

// The page for a browser that reached us as host:port. A page opened with
// a private link's token (`linkToken`, URL-safe text) passes it on to the
// picture and the players' addresses, which need it as the page did.
std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port, const std::string& linkToken = {});

} // namespace browser
