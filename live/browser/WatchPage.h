#pragma once
// The watch page: the live picture, the viewer count and the addresses for
// media players, as one small HTML page that needs no script.

#include "live/browser/StatusDocument.h"

#include <cstdint>
#include <string>

namespace browser {

// The page for a browser that reached us as host:port.
std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port);

} // namespace browser
