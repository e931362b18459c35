#pragma once
// HLS from the shared H.264 feed: the feed's MP4 fragments (one per
// picture) gathered into segments that each start with a key frame, kept in
// memory for the playlists. A segment is the fragments from one key frame
// up to the next, concatenated: with the track's initialization segment
// (EXT-X-MAP) it is an fMP4 media segment as HLS version 7 defines it, so
// the one encode and the one muxer serve /live.mp4 and HLS alike.
//
//   segment    moof mdat | moof mdat | ... (the first mdat an IDR picture)
//   init       ftyp moov (the track's, shared with /live.mp4)
//
// A segment is complete when the next key frame (or a new track) begins;
// only complete segments are listed. A new track (size, rate or bitrate
// changed, or the encoder restarted) is a discontinuity.
//
// Threads: one object is used by one thread at a time (the sink's).

#include "live/browser/H264Feed.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct HlsSegment {
    uint64_t sequence = 0; // EXT-X-MEDIA-SEQUENCE numbering, 1, 2, ...
    Mp4TrackPtr track;
    uint64_t discontinuity = 0; // tracks begun before this one's (EXT-X-DISCONTINUITY-SEQUENCE)
    int64_t time = 0;           // stream time of the first picture, 100-ns units
    int64_t duration = 0;       // 100-ns units
    std::shared_ptr<const std::vector<uint8_t>> bytes;
};
using HlsSegmentPtr = std::shared_ptr<const HlsSegment>;

struct HlsSegmentsOptions {
    size_t listed = 6; // segments in a playlist
    size_t kept = 14;  // segments fetchable (the listed ones, and some that left the list)
    // Distinguishes this run's file names ("4f0c..."): they are cached as
    // immutable, so a restarted program must not reuse them.
    std::string name;
};

class HlsSegments {
public:
    explicit HlsSegments(HlsSegmentsOptions options);

    // Fragments of the feed in order (fragments older than the first key
    // frame seen are not used).
    void Take(const std::vector<Mp4FragmentPtr>& fragments);
    // Forgets every segment; the next one starts a discontinuity.
    void Clear();

    // Complete segments that a playlist lists.
    size_t Listed() const;
    // The newest segment sequence taken (0: none).
    uint64_t LastSequence() const { return m_sequence; }

    // The media playlist; every URI relative, with `query` ("?k=..." or
    // empty) appended.
    std::string MediaPlaylist(const std::string& query) const;
    // A kept segment by its file name ("NAME-SEQ.m4s") or an init segment
    // ("NAME-init-GEN.mp4"); nullptr when it is not kept.
    std::shared_ptr<const std::vector<uint8_t>> File(const std::string& fileName) const;
    // The codec and size of the newest track for a multivariant playlist
    // ("avc1.42c01e", width, height); false before any track.
    bool Describe(std::string* codecs, int* width, int* height, double* fps) const;

    static std::string SegmentName(const std::string& name, uint64_t sequence);
    static std::string InitName(const std::string& name, uint64_t generation);

private:
    void Close(int64_t endTime);

    const HlsSegmentsOptions m_options;
    std::deque<HlsSegmentPtr> m_segments; // complete, oldest first
    std::vector<Mp4FragmentPtr> m_open;   // the segment being gathered
    uint64_t m_sequence = 0;
    uint64_t m_discontinuity = 0;
    uint64_t m_lastGeneration = 0; // of the newest fragment taken
    Mp4TrackPtr m_track;           // the newest track seen
};
