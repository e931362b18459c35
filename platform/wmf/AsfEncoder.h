#pragma once
// The encoding core of the ASF writer: FFmpeg's WMV2 (Windows Media Video 8)
// and WMA2 encoders, one per profile stream, FFmpeg's ASF muxer for the
// header, and our own packet writer for the data packets (so that a frame
// leaves as soon as its first packet is full, see asf::PacketWriter).
//
// Not thread-safe: one thread (the writer's encoding thread) uses an encoder.

#include "platform/wmf/AsfFormat.h"
#include "platform/wmf/KeyFrameRequest.h"
#include "platform/wmf/PictureTap.h"
#include "platform/wmf/WMProfile.h"

#include <memory>
#include <string>
#include <vector>

struct AVFrame;

enum class PixelLayout { RGB32, YUY2, I420 };

// One uncompressed picture, rows top-down without padding (see the layouts
// of the media framework's RGB32, YUY2 and I420 subtypes).
struct VideoPicture {
    PixelLayout layout = PixelLayout::RGB32;
    int width = 0;
    int height = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Bytes a picture of that layout and size needs (0 for unusable sizes).
size_t PictureBytes(PixelLayout layout, int width, int height);

class AsfEncoder {
public:
    // Opens one encoder per stream and builds the header; nullptr (and a
    // reason) when a stream cannot be encoded. Packets go to `emit`.
    static std::unique_ptr<AsfEncoder> Create(const std::vector<WMStreamFormat>& streams, const std::string& title,
        asf::PacketWriter::Emit emit, std::string* error);
    ~AsfEncoder();
    AsfEncoder(const AsfEncoder&) = delete;
    AsfEncoder& operator=(const AsfEncoder&) = delete;

    // The header as the muxer wrote it (Header Object + 50 bytes of Data Object).
    const std::vector<uint8_t>& Header() const { return m_header; }
    uint32_t PacketSize() const;
    uint32_t PrerollMs() const { return m_prerollMs; }

    // Asked by sinks for a key frame at the next picture of every video stream.
    const KeyFrameRequestPtr& KeyFrames() const { return m_keyFrames; }

    // `time` is the sample's stream time (100-ns units). Pictures that come
    // faster than the stream's frame rate are dropped; any size is scaled to
    // the profile's frame. `deinterlace` keeps one field and scales it up.
    // Key frames come at least every maximum key frame spacing of the
    // profile (a time), and at once when asked for.
    // Constant bitrate: each picture gets the quantiser its share of the
    // budget allows; a picture is dropped only when even the coarsest
    // quantiser would overrun the budget.
    // False when the picture does not match its layout or encoding fails.
    bool EncodeVideo(size_t streamIndex, const VideoPicture& picture, int64_t time, bool deinterlace);
    // Interleaved signed 16-bit samples at the stream's rate and channel count.
    bool EncodeAudio(size_t streamIndex, const int16_t* samples, size_t frames, int64_t time);
    // Drains the encoders and sends the last packet.
    void Finish();
    // Pictures that take a frame slot of a video stream also go to `tap`
    // (see PictureTap.h); nullptr detaches it.
    void SetPictureTap(std::shared_ptr<PictureTap> tap) { m_tap = std::move(tap); }

    // Presentation time of the newest encoded media object, 100-ns units.
    int64_t LastTime() const { return m_lastTime; }
    uint64_t PacketCount() const { return m_writer ? m_writer->PacketCount() : 0; }

    // Counts since Create, for measuring.
    struct Stats {
        uint64_t encoded = 0;  // pictures encoded
        uint64_t dropped = 0;  // pictures dropped for the budget
        uint64_t keyFrames = 0;
        uint64_t forcedKeyFrames = 0; // asked for by sinks
        double lastQuantiser = 0;
    };
    Stats VideoStats() const { return m_stats; }

private:
    struct Stream;
    AsfEncoder() = default;
    bool Drain(Stream& s, double shortfall = 0);
    bool Scale(Stream& s, const VideoPicture& picture, bool deinterlace);
    void PublishPicture(const AVFrame& frame, int64_t time, int64_t frameInterval);

    std::vector<std::unique_ptr<Stream>> m_streams;
    std::unique_ptr<asf::PacketWriter> m_writer;
    std::vector<uint8_t> m_header;
    uint32_t m_prerollMs = 0;
    int64_t m_lastTime = 0;
    // Constant-bitrate accounting over everything sent (packets included).
    double m_bytesPerSecond = 0;
    double m_bucketSeconds = 1; // how far a picture may be planned ahead of the budget
    uint64_t m_sentBytes = 0;
    KeyFrameRequestPtr m_keyFrames = std::make_shared<KeyFrameRequest>();
    Stats m_stats;
    bool m_haveOrigin = false;
    int64_t m_origin = 0;
    std::shared_ptr<PictureTap> m_tap;
};
