#pragma once
// Live H.264 from the writer's pictures: libx264 through libavcodec with the
// settings a live viewer needs. No B-frames and zero-latency tuning, so a
// picture's packet comes out of Encode before it returns; constant bitrate
// with a one-second buffer; key frames only when the caller asks (the
// caller spaces them), so a joining viewer gets one at once and not one in
// two seconds.
//
// Threads: one object is used by one thread at a time.

#include "platform/wmf/PictureTap.h"

#include <cstdint>
#include <functional>
#include <string>

extern "C" {
struct AVCodecContext;
struct AVPacket;
}

struct H264Settings {
    int width = 0;
    int height = 0;
    int64_t frameInterval = 0; // 100-ns units
    uint32_t bitrate = 0;      // bits per second
    std::string preset = "veryfast";
    // The parameter sets in the codec's extradata (MP4 and FLV carry them
    // in their headers) rather than before each key frame.
    bool globalHeader = true;

    bool operator==(const H264Settings&) const = default;
};

enum class FrameKind { Any, Key };

class H264Encoder {
public:
    H264Encoder() = default;
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // False with the reason ("the H.264 encoder (libx264) is not available").
    bool Open(const H264Settings& settings, std::string* error);
    void Close();
    bool IsOpen() const { return m_context != nullptr; }
    const H264Settings& Settings() const { return m_settings; }
    // The open codec (its parameters, time base and extradata for a muxer).
    const AVCodecContext* Context() const { return m_context; }
    // Encoders open in this process now (a figure for tests and benches).
    static int OpenNow();

    // Encodes one picture of the settings' size. `packet` gets every packet
    // the encoder gives, timestamps in the codec's time base (one tick per
    // frame interval, counted from the first picture); it must not keep the
    // packet. False with the reason when the encoder fails.
    bool Encode(const TappedPicture& picture, FrameKind kind, const std::function<void(AVPacket*)>& packet,
        std::string* error);

private:
    bool Drain(const std::function<void(AVPacket*)>& packet, std::string* error);

    H264Settings m_settings;
    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    int64_t m_t0 = 0;
    int64_t m_lastPts = -1;
    bool m_opened = false;
};
