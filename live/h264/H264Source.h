#pragma once
// One live H.264 encode of the writer's pictures, shared by every output that
// sends H.264 (the relay, the browsers' MP4 stream). Outputs subscribe; the
// source attaches to the picture tap only while it has subscribers, encodes
// each picture once on a thread of its own and hands every subscriber the
// same packets.
//
// The writer's encoding thread only parks the newest picture in a slot (a
// picture not yet taken is replaced, never queued), so the encode is never
// on the WMV2 encoder's path: a slow encode skips pictures instead.
//
// Settings. Size and rate are the pictures'. The bitrate is the lead
// subscriber's (the relay: its bitrate is the uplink the user gave it);
// without a lead, the first follower's (the browsers' own bitrate). So one
// encode runs at any time, and a follower's packets may come at another
// bitrate than it asked for. A change of settings, or writing that ended,
// starts a new run: a new encoder whose first packet is a key frame.
//
// Key frames. At least every keyInterval, and when a subscriber asks
// (AskKeyFrame) at most once per keySpacing, however many ask.
//
// Threads: Subscribe, Unsubscribe, SetBitrate, AskKeyFrame and the readers
// may be called from any thread but the source's own (not from OnH264);
// subscribers are called on the source's thread and must return at once.
// Once Unsubscribe returns, the subscriber is not called again.

#include "live/h264/H264Encoder.h"
#include "platform/wmf/PictureTap.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

extern "C" {
struct AVCodecContext;
struct AVPacket;
}

// One run of the encoder: what a muxer needs to carry its packets.
struct H264Run {
    H264Run() = default;
    ~H264Run();
    H264Run(const H264Run&) = delete;
    H264Run& operator=(const H264Run&) = delete;

    uint64_t generation = 0; // 1, 2, ... per source
    H264Settings settings;
    // A copy of the open encoder's parameters (size, time base, extradata
    // with the parameter sets), never opened itself: for a muxer's stream.
    AVCodecContext* codec = nullptr;
};
using H264RunPtr = std::shared_ptr<const H264Run>;

struct H264Packet {
    H264Packet() = default;
    ~H264Packet();
    H264Packet(const H264Packet&) = delete;
    H264Packet& operator=(const H264Packet&) = delete;

    H264RunPtr run;
    // Timestamps in the run's time base, counted from its first picture.
    // Shared: a subscriber takes its own reference (av_packet_ref) before
    // changing anything.
    AVPacket* packet = nullptr;
    bool key = false;
    int64_t time = 0; // the picture's stream time, 100-ns units
    std::chrono::steady_clock::time_point handed; // when the writer handed the picture over
};
using H264PacketPtr = std::shared_ptr<const H264Packet>;

class IH264Subscriber {
public:
    virtual ~IH264Subscriber() = default;
    // Every packet of every run, in order; the source's thread.
    virtual void OnH264(const H264PacketPtr& packet) = 0;
    // Writing ended: the next packet, if any, starts a new run.
    virtual void OnH264End() {}
};

enum class H264Role { Lead, Follow };

struct H264SourceOptions {
    std::chrono::milliseconds keySpacing{1000};  // asked-for key frames at most this often
    std::chrono::milliseconds keyInterval{2000}; // a key frame at least this often
    std::string preset = "veryfast";             // libx264's speed preset
};

struct H264SourceStats {
    uint64_t runs = 0;        // encoders opened
    uint64_t pictures = 0;    // pictures encoded
    uint32_t bitrate = 0;     // of the run under way (0: none)
    size_t subscribers = 0;
};

class H264Source {
public:
    explicit H264Source(H264SourceOptions options = {});
    ~H264Source();
    H264Source(const H264Source&) = delete;
    H264Source& operator=(const H264Source&) = delete;

    // The source of a tap's pictures, one per tap for as long as anyone
    // holds it: outputs that find it through the same tap share its encode.
    static std::shared_ptr<H264Source> Of(const std::shared_ptr<PictureTap>& tap);

    void SetTap(std::shared_ptr<PictureTap> tap);
    // `bitrate` in bits per second (0: the default of 300 kbps).
    void Subscribe(std::shared_ptr<IH264Subscriber> subscriber, H264Role role, uint32_t bitrate);
    void Unsubscribe(const IH264Subscriber* subscriber);
    void SetBitrate(const IH264Subscriber* subscriber, uint32_t bitrate);
    void AskKeyFrame();

    H264SourceStats Stats() const;
    // Why the encoder could not run (empty while it can).
    std::string Error() const;

    // libx264 encoders open in this process now, over every source.
    static int EncodersOpen();

    static constexpr uint32_t kDefaultBitrate = 300000;

private:
    struct Shared;
    void Run();

    const H264SourceOptions m_options;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
