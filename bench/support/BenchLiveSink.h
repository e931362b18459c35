#pragma once
// The network sink with the browser side, fed in real time as the writer
// feeds it, for the benchmarks of the browser outputs.

#include "live/browser/BrowserSide.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/SinkRoutes.h"
#include "platform/wmf/WMWriter.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace bench {

// A network sink (up to 10 viewers) with the browser side as its route hook
// and a picture tap, fed by the writer's encoding core at one bitrate row:
// 15 pictures a second (BarsPicture with the frame number drawn in) from a
// thread of its own, each published on the tap before it is encoded. Stop,
// or the destructor, ends the feed and closes the sink.
class LiveBrowserSink {
public:
    struct Options {
        int width = 320, height = 240;
        DWORD bitrate = 93000;
        int codeBits = 12;
        // On the feeding thread: each data packet before the sink gets it,
        // and the moment after each picture was encoded.
        std::function<void(const asf::DataPacket&)> onPacket;
        std::function<void()> afterPicture;
    };

    LiveBrowserSink() = default;
    ~LiveBrowserSink() { Stop(); }
    LiveBrowserSink(const LiveBrowserSink&) = delete;
    LiveBrowserSink& operator=(const LiveBrowserSink&) = delete;

    // Opens the sink on a free port and starts the feed; false, with the
    // reason on stderr, when the sink or the encoder does not start.
    bool Start(Options options);
    // Ends the feed and closes the sink; nothing when not started.
    void Stop();

    int Port() const { return static_cast<int>(m_port); }
    IWMWriterSinkRoutes& Routes() { return *m_routes; }
    PictureTap& Tap() { return *m_tap; }
    std::shared_ptr<PictureTap> TapPtr() { return m_tap; }
    const std::vector<uint8_t>& Header() const { return m_encoder->Header(); }

private:
    Options m_options;
    ComPtr<IWMWriterNetworkSink> m_sink;
    ComPtr<IWMWriterSinkRoutes> m_routes;
    std::shared_ptr<BrowserSide> m_browsers;
    std::shared_ptr<PictureTap> m_tap;
    std::unique_ptr<AsfEncoder> m_encoder;
    std::vector<std::vector<uint8_t>> m_pictures;
    DWORD m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_feeder;
};

} // namespace bench
