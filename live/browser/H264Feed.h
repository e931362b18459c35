#pragma once
// H.264 in fragmented MP4 for browsers, made on a thread of its own from
// the shared H.264 encode of the writer's pictures (H264Source): one encode
// for every viewer of /live.mp4 and HLS, and for the relay when it runs.
//
// The feed subscribes to the encode only while viewers need it, and
// lingers a few seconds after the last one left so a page reload does not
// restart the encoder. It follows: its bitrate applies while no relay
// runs; while one does, browsers get the relay's encode at the relay's
// bitrate, and a relay that starts or stops starts a new track.
//
// Key frames. A viewer starts, and a slow viewer skips forward, at a key
// frame. The encode makes one when a viewer asks (at most one a second,
// the rule the Windows Media stream follows for its joiners) and at least
// every two seconds; between them every picture is a predicted frame.
//
// Sound. With sound on (SetSound), each track carries AAC beside the H.264
// and every fragment holds the sound up to its picture: what FeedAudio
// brought, on the pictures' clock, and silence where sound lags the
// pictures by more than a moment. With sound off the stream is video only,
// byte for byte as without this feature.
//
// Threads: every public member may be called from any thread except the
// writer's encoding thread; `wake` is called on the feed's thread after
// each new fragment. FeedAudio may be called on the audio tap's thread.

#include "live/audio/AacEncoder.h"
#include "live/h264/H264Source.h"
#include "platform/wmf/PictureTap.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// One run of the encoder: its fragments need its initialization segment.
// A new run (the picture size, rate or bitrate changed, the encoder stopped
// for want of viewers, sound turned on or off) starts a new track.
struct Mp4Track {
    uint64_t generation = 0; // 1, 2, ... per feed
    int width = 0;
    int height = 0;
    int64_t frameInterval = 0; // 100-ns units
    uint32_t bitrate = 0;      // bits per second
    std::vector<uint8_t> init; // ftyp + moov
    bool audio = false;        // an AAC track beside the video
};
using Mp4TrackPtr = std::shared_ptr<const Mp4Track>;

struct Mp4Fragment {
    uint64_t sequence = 0; // 1, 2, ... per feed, across tracks
    Mp4TrackPtr track;
    bool key = false;        // starts with a key frame: a viewer may begin here
    int64_t time = 0;        // stream time of the picture, 100-ns units
    std::chrono::steady_clock::time_point handed; // when the writer handed the picture over
    std::chrono::steady_clock::time_point made;   // when the fragment was ready
    std::vector<uint8_t> bytes; // moof + mdat
};
using Mp4FragmentPtr = std::shared_ptr<const Mp4Fragment>;

struct H264FeedOptions {
    std::chrono::milliseconds linger{5000}; // subscribed this long after the last viewer
    std::chrono::milliseconds keep{6000};   // fragments kept for viewers that catch up
};

class H264Feed {
public:
    explicit H264Feed(std::function<void()> wake, H264FeedOptions options = {});
    ~H264Feed();
    H264Feed(const H264Feed&) = delete;
    H264Feed& operator=(const H264Feed&) = delete;

    void Start();
    // Detaches from the tap and joins the thread; no `wake` after it returns.
    void Stop();

    void SetTap(std::shared_ptr<PictureTap> tap);
    // The H.264 bitrate while no relay runs (bits per second; 0 = unknown:
    // the relay's default).
    void SetBitrate(uint32_t bitsPerSecond);
    // H.264 viewers connected: while any, every picture is encoded.
    void SetViewers(size_t viewers);
    // A key frame soon (within a second of the last one).
    void AskKeyFrame();
    // Sound on: the next track carries an AAC track (a change starts a new
    // track, as a new bitrate does).
    void SetSound(SoundTrack sound, uint32_t audioBitsPerSecond = kDefaultAudioBitrate);
    // Captured sound for the audio track: copied and queued (two seconds at
    // most), returns at once. Ignored with sound off.
    void FeedAudio(const TappedAudio& audio);

    // The newest fragment's sequence (0: none yet).
    uint64_t LastSequence() const;
    // The fragments kept that came after `sequence`, oldest first.
    std::vector<Mp4FragmentPtr> Since(uint64_t sequence) const;
    // Why the encoder could not run (empty while it can).
    std::string Error() const;

    static constexpr uint32_t kDefaultBitrate = H264Source::kDefaultBitrate;
    static constexpr uint32_t kDefaultAudioBitrate = 64000;

private:
    struct Shared;
    void Run();

    std::function<void()> m_wake;
    const H264FeedOptions m_options;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
