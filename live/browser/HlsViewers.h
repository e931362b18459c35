#pragma once
// HLS on the stream port, for browsers without Media Source Extensions
// (Safari on phones plays it natively):
//   /live.m3u8                 a multivariant playlist naming one media
//                              playlist of a new viewer session
//   /hls/SESSION/live.m3u8     the media playlist: the last few segments
//   /hls/SESSION/NAME-N.m4s    a segment (fMP4, starting with a key frame)
//   /hls/SESSION/NAME-init-G.mp4  the initialization segment of a track
// all served from memory (HlsSegments.h). Playlists are never cached;
// segments and init segments never change once made, and say so.
//
// An HLS player holds no connection: a viewer is its session, counted
// while it fetched anything within the last `lapse`, and holds one of the
// sink's viewer slots meanwhile (the 11th viewer of any kind gets the same
// 503). A session that lapsed and comes back is a new viewer again, if a
// slot is free. While any session lives the H.264 feed runs and is asked for
// a key frame at every segment start (the feed spaces them a second apart).
//
// Threads: the sink's thread only (SetSlots before the sink's thread starts
// or after it stopped).

#include "live/browser/H264Feed.h"
#include "live/browser/HlsSegments.h"
#include "platform/wmf/SinkRoutes.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

struct HlsOptions {
    // A viewer counts this long after its last request.
    std::chrono::milliseconds lapse{5000};
    // A media playlist is answered once it lists this many segments, or
    // when this time is up (503 if it lists none).
    size_t startSegments = 2;
    std::chrono::milliseconds startTimeout{8000};
    // Segments are let go when the feed has made nothing for this long.
    std::chrono::milliseconds stale{3000};
    HlsSegmentsOptions segments;
};

class HlsViewers {
public:
    HlsViewers(H264Feed& feed, HlsOptions options);
    ~HlsViewers();
    HlsViewers(const HlsViewers&) = delete;
    HlsViewers& operator=(const HlsViewers&) = delete;

    // The sink's slots (nullptr: the sink closed; every session ends).
    void SetSlots(ViewerSlots* slots);

    // GET/HEAD /live.m3u8. `query` ("?k=TOKEN" or empty) is passed on to
    // every URI. `bitrate` is the H.264 bitrate (bits per second).
    std::unique_ptr<IRouteSession> Multivariant(RouteConnection& connection, bool head, const std::string& query,
        uint32_t bitrate);
    // GET/HEAD under /hls/.
    std::unique_ptr<IRouteSession> File(std::string_view path, RouteConnection& connection, bool head,
        const std::string& query);

    // Each turn of the sink: takes new fragments, lets lapsed viewers go.
    void Turned();
    // Sessions counted now.
    size_t Viewers() const { return m_sessions.size(); }

private:
    class PlaylistWait;
    struct Session {
        std::string address; // the peer that began it, "host:port"
        std::chrono::steady_clock::time_point seen;
    };

    // The session `id` seen now, begun if new; false when no slot is free.
    bool Touch(const std::string& id, const std::string& address);
    std::string NewSessionId();
    std::string PlaylistResponse(const std::string& query, bool head) const;

    H264Feed& m_feed;
    const HlsOptions m_options;
    HlsSegments m_segments;
    ViewerSlots* m_slots = nullptr;
    std::map<std::string, Session> m_sessions;
    uint64_t m_lastFragment = 0; // sequence of the newest fragment taken
    std::chrono::steady_clock::time_point m_fedAt;
};
