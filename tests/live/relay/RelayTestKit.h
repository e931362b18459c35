#pragma once
// What the relay tests share: a picture source on its own thread, waiting
// for a condition, and a Stop that must end in time.
#include "live/relay/RtmpRelay.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace relaytest {

using namespace std::chrono_literals;

// Publishes pictures to a tap at a steady rate from its own thread, as the
// writer's encoding thread does: moving bars, or noise that no encoder can
// squeeze (to fill the connection quickly).
class PictureFeed {
public:
    PictureFeed(PictureTap& tap, int width, int height, int fps, bool noise = false)
        : m_thread([=, this, &tap] {
              const int64_t interval = 10000000 / fps;
              uint32_t seed = 12345;
              for (int n = 0; !m_stop; ++n) {
                  auto planes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 3 / 2, 128);
                  for (int y = 0; y < height; ++y)
                      for (int x = 0; x < width; ++x) {
                          uint8_t& luma = (*planes)[static_cast<size_t>(y) * width + x];
                          if (noise) {
                              seed = seed * 1664525u + 1013904223u;
                              luma = static_cast<uint8_t>(seed >> 24);
                          } else {
                              luma = static_cast<uint8_t>(((x + n * 4) / 40 % 2) ? 200 : 40);
                          }
                      }
                  tap.Publish(TappedPicture{width, height, n * interval, interval, planes});
                  ++m_count;
                  std::this_thread::sleep_for(std::chrono::microseconds(1000000 / fps));
              }
          })
    {
    }
    ~PictureFeed()
    {
        m_stop = true;
        m_thread.join();
    }
    int count() const { return m_count; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

using testsupport::WaitFor;

// Stops the relay on another thread; false when that did not end in time
// (the relay would be hanging on its peer).
inline bool StopsWithin(RtmpRelay& relay, std::chrono::seconds bound)
{
    auto done = std::async(std::launch::async, [&] { relay.Stop(); });
    return done.wait_for(bound) == std::future_status::ready;
}


} // namespace relaytest
