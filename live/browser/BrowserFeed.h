#pragma once
// JPEG pictures for browsers, made on a thread of their own from the
// writer's picture tap.
//
// The encoding thread only parks the newest picture in a slot and signals
// (a picture not yet taken is replaced, never queued), so neither the JPEG
// work nor a slow browser can delay the WMV2 stream. The feed attaches to
// the tap only while pictures are needed (MJPEG viewers, a snapshot, a
// short priming after the stream starts to learn the picture format) and
// stays attached a few seconds after the last need, so a page reload or a
// run of snapshots does not detach and re-attach every time.
//
// Threads: every public member may be called from any thread except the
// writer's encoding thread; `wake` is called on the feed's thread after
// each new JPEG.

#include "platform/wmf/PictureTap.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>

struct JpegPicture {
    uint64_t sequence = 0; // 1, 2, ... per feed
    int width = 0;
    int height = 0;
    int quality = 0;
    std::chrono::steady_clock::time_point handed; // when the writer handed the picture over
    std::vector<uint8_t> bytes;
};
using JpegPicturePtr = std::shared_ptr<const JpegPicture>;

struct PictureFormat {
    int width = 0;
    int height = 0;
    int64_t frameInterval = 0; // 100-ns units; 0 until a picture was seen

    int FramesPerSecond() const { return frameInterval > 0 ? static_cast<int>((10000000 + frameInterval / 2) / frameInterval) : 0; }
};

struct BrowserFeedOptions {
    // Attached to the tap this long after the last need.
    std::chrono::milliseconds linger{10000};
    // Attached this long after a stream starts, to learn its picture format.
    std::chrono::milliseconds prime{2000};
};

class BrowserFeed {
public:
    // The JPEG quality follows the stream's byte budget per frame times this
    // factor (JPEG has no inter-frame prediction, so it needs several times
    // the bytes of a WMV2 frame for a similar look), within these bounds.
    static constexpr int kBudgetFactor = 10;
    static constexpr int kMinQuality = 30;
    static constexpr int kMaxQuality = 85;
    static constexpr int kStartQuality = 60;

    explicit BrowserFeed(std::function<void()> wake, BrowserFeedOptions options = {});
    ~BrowserFeed();
    BrowserFeed(const BrowserFeed&) = delete;
    BrowserFeed& operator=(const BrowserFeed&) = delete;

    void Start();
    // Detaches from the tap and joins the thread; no `wake` after it returns.
    void Stop();

    void SetTap(std::shared_ptr<PictureTap> tap);
    // The stream's bitrate (bits per second; 0 = unknown: the quality stays fixed).
    void SetBitrate(uint32_t bitsPerSecond);
    // MJPEG viewers connected: while any, every picture is encoded.
    void SetViewers(size_t viewers);
    // The next picture is encoded even without viewers.
    void WantPicture();
    // Attach for a short while to learn the picture format.
    void Prime();

    JpegPicturePtr Latest() const;
    PictureFormat Format() const;

private:
    struct Shared;
    void Run();

    std::function<void()> m_wake;
    const BrowserFeedOptions m_options;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
