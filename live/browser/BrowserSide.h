#pragma once
// The browser side of the stream port: beside the Windows Media stream at
// "/", the same port serves
//   /watch         a small HTML page with the live picture and the addresses
//                  for media players,
//   /live.mjpg     the pictures as multipart/x-mixed-replace JPEG (counted
//                  as a viewer, like a player),
//   /live.mp4      the pictures as H.264 in a never-ending fragmented MP4
//                  (counted as a viewer),
//   /live.m3u8     the same H.264 as HLS, its playlists and segments under
//                  /hls/ (a viewer counted while it keeps fetching),
//   /snapshot.jpg  the next picture as one JPEG (not counted),
//   /status.json   the stream's state for monitoring tools.
// It is the network sink's route hook (platform/wmf/SinkRoutes.h): install
// it on the sink before the sink opens. The pictures come from the writer's
// picture tap, handed over with SetPictureTap.
//
// Threads: the hook's calls come from the sink (see SinkRoutes.h);
// SetPictureTap and SetStreamLabel may be called from any other thread.

#include "live/browser/BrowserFeed.h"
#include "live/browser/H264Feed.h"
#include "live/browser/HlsViewers.h"
#include "live/browser/Mp4Viewer.h"
#include "live/browser/StatusDocument.h"
#include "platform/wmf/SinkRoutes.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

struct BrowserSideOptions {
    // A snapshot request waits this long for a picture, then gets 503.
    std::chrono::milliseconds pictureTimeout{5000};
    // A picture older than this is not the first one a new MJPEG viewer gets.
    std::chrono::milliseconds freshPicture{1000};
    BrowserFeedOptions feed;
    H264FeedOptions h264;
    Mp4ViewerOptions mp4;
    HlsOptions hls;
};

class BrowserSide final : public ISinkRouteHook {
public:
    explicit BrowserSide(BrowserSideOptions options = {});
    ~BrowserSide() override;
    BrowserSide(const BrowserSide&) = delete;
    BrowserSide& operator=(const BrowserSide&) = delete;

    // The tap the browser pictures come from (nullptr: none; browsers then
    // get no picture). Pictures are taken from it only while a browser
    // viewer or a snapshot needs them.
    void SetPictureTap(std::shared_ptr<PictureTap> tap);
    // The H.264 bitrate for browsers (bits per second; 0: the Windows Media
    // stream's). Taken at the next start of a stream.
    void SetH264Bitrate(uint32_t bitsPerSecond);
    // The profile's name as the user chose it ("93 Kbps (CBR)"), shown by
    // /status.json.
    void SetStreamLabel(const std::string& label);
    // Sound in /live.mp4 (MJPEG stays silent): see H264Feed::SetSound and
    // FeedAudio (the audio tap's thread).
    void SetSound(SoundTrack sound, uint32_t audioBitsPerSecond = H264Feed::kDefaultAudioBitrate)
    {
        m_h264.SetSound(sound, audioBitsPerSecond);
    }
    void FeedAudio(const TappedAudio& audio) { m_h264.FeedAudio(audio); }

    // ---- ISinkRouteHook ----
    void Opened(std::function<void()> wake) override;
    void Closed() override;
    void StreamBegan(const SinkFacts& facts) override;
    std::unique_ptr<IRouteSession> Route(const wmhttp::Request& request, RouteConnection& connection,
        const SinkFacts& facts) override;
    void Turned(const SinkFacts& facts) override;
    void SlotsOffered(ViewerSlots* slots) override;

private:
    class MjpegViewer;
    class Snapshot;

    browser::StreamFacts Facts(const SinkFacts& sink) const;

    const BrowserSideOptions m_options;
    std::function<void()> m_wake; // the sink's, while it is open
    std::atomic<uint32_t> m_h264Bitrate{0};
    mutable std::mutex m_labelLock;
    std::string m_label;
    size_t m_watching = 0; // MJPEG viewers connected (the sink's thread)
    size_t m_watchingMp4 = 0; // /live.mp4 viewers connected (the sink's thread)
    BrowserFeed m_feed;
    H264Feed m_h264;
    HlsViewers m_hls; // the sink's thread, as the counts above
};
