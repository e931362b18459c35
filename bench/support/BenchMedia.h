#pragma once
// Pictures and a stream reader for the benchmarks that drive the Windows
// Media writer (the row's stream format is the tests' BaseProfileStreams).

#include "platform/dshow/DShow.h"
#include "tests/wmf/WmfTestUtil.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace bench {

// RGB32 colour bars with a moving white square and a little noise, as a
// camera gives. With codeBits > 0 the frame number `n` is drawn as black
// and white 16 x 16 blocks along the top row (lowest bit first), and the
// square keeps below them.
std::vector<uint8_t> BarsPicture(int n, int width, int height, int codeBits = 0);

// Configures an ASF writer filter for the bitrate row the program starts
// with (93 Kbps, 320 x 240), edited from the base profile; false when the
// profile or the writer refuses.
bool ConfigureDefaultRow(IBaseFilter* writer);

// Reads an HTTP reply carrying an ASF stream from `fd` until `done` or the
// end: for every payload that starts a media object, calls `onObjectStart`
// with its presentation time less the preroll (ms) and the moment the bytes
// holding its payload header arrived. An object can be reported more than once.
void FollowAsfStream(int fd, const std::atomic<bool>& done,
    const std::function<void(int64_t ms, std::chrono::steady_clock::time_point arrived)>& onObjectStart);

} // namespace bench
