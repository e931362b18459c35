#pragma once
// GET /live.mp4: the shared H.264 feed as one never-ending fragmented MP4,
// sent with chunked transfer coding.
//
// A viewer starts at a key frame made after it came (it asks the feed for
// one), never at fragments made before: the response head, the track's
// initialization segment and that key frame go out together. From then on
// every fragment follows as soon as the connection has sent what it had.
// A viewer whose link falls behind by more than `maxBacklog` of pictures is
// skipped forward to the next key frame (its player, in "sequence" mode,
// sees a jump, not a growing delay); one that stops reading altogether is
// dropped by the sink's stall rule. A new track (the picture size, rate or
// bitrate changed) ends the response; the page reconnects.

#include "live/browser/H264Feed.h"
#include "platform/wmf/SinkRoutes.h"

#include <chrono>

struct Mp4ViewerOptions {
    // No key frame within this long: 503 (the encoder cannot run).
    std::chrono::milliseconds startTimeout{5000};
    // Fragments waiting longer than this are skipped to the next key frame.
    std::chrono::milliseconds maxBacklog{500};
};

// HTTP/1.1 clients get chunks; an HTTP/1.0 client, which knows no chunks,
// gets the bytes as they are, ended by the connection's close.
enum class BodyFraming { Chunked, UntilClose };

class Mp4Viewer final : public IRouteSession {
public:
    // `viewers` counts the MP4 viewers; the session adds itself while it
    // watches. The connection must already hold its viewer slot.
    Mp4Viewer(H264Feed& feed, size_t& viewers, BodyFraming framing, Mp4ViewerOptions options);
    ~Mp4Viewer() override;

    void Turn(RouteConnection& connection, const SinkFacts& facts) override;
    void StreamEnded(RouteConnection& connection) override;

    // The head of a /live.mp4 response.
    static std::string Head(BodyFraming framing);

private:
    std::string ChunkHead(size_t bytes, bool first) const;
    void End(RouteConnection& connection);

    H264Feed& m_feed;
    size_t* m_viewers;
    const BodyFraming m_framing;
    const Mp4ViewerOptions m_options;
    const std::chrono::steady_clock::time_point m_since;
    uint64_t m_joinedAfter; // the newest fragment when the viewer came
    uint64_t m_sent = 0;    // sequence of the last fragment handled (sent or skipped)
    uint64_t m_generation = 0;
    bool m_started = false;
    bool m_waitKey = false; // skipping: the next fragment sent is a key frame
    bool m_done = false;
};
