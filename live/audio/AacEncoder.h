#pragma once
// AAC for the live outputs (FFmpeg's own `aac` encoder), with the track
// kept on the capture clock, the clock of the pictures.
//
// The track starts at a capture time, `origin` (the first picture's time),
// and its packets carry timestamps in samples counted from there, so a
// muxer that counts the video from the same picture keeps both in step.
// Captured sound is placed where its time says: after silence (or at the
// start) exactly; after sound, a gap of more than `tolerance` is filled
// with silence, sound that overlaps what the track holds by more than that
// is cut, and anything within it joins on without a seam. A sound card whose clock runs apart from the
// capture clock is thus pulled back every time it strays by `tolerance`, so
// the offset never grows over hours. FillSilence carries the track on when
// no sound comes (sound off, or the input lost), so a muxer never waits for
// audio.
//
// The encoder's priming (the first frame's delay) is folded into the
// origin: the first packet has timestamp 0 and decodes, with its priming,
// to samples that play at their capture time.
//
// Threads: one object is used by one thread at a time.

#include "live/audio/TappedAudio.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
struct AVAudioFifo;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;
}

// Whether an output carries the captured sound.
enum class SoundTrack {
    Off, // silence (the relay) or no audio track (the browsers' stream)
    On,  // the fed sound; silence while none comes
};

struct AacSettings {
    int sampleRate = 48000;
    int channels = 2;       // 1 or 2; the input is mixed down or copied up to it
    int64_t bitrate = 64000; // bits per second
    // The AudioSpecificConfig in the codec's extradata (FLV and MP4 carry it
    // in their headers).
    bool globalHeader = true;
    int64_t tolerance = 200000; // 100-ns units: 20 ms

    bool operator==(const AacSettings&) const = default;
};

class AacEncoder {
public:
    // Gets each packet, timestamps in samples from the origin (the codec's
    // time base); must not keep it.
    using PacketSink = std::function<void(AVPacket*)>;

    AacEncoder() = default;
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // False with the reason ("the AAC encoder is not available").
    bool Open(const AacSettings& settings, int64_t origin, std::string* error);
    void Close();
    bool IsOpen() const { return m_context != nullptr; }
    const AacSettings& Settings() const { return m_settings; }
    // The open codec (parameters, time base and extradata for a muxer).
    const AVCodecContext* Context() const { return m_context; }

    // Places captured sound on the track (any rate and channel count:
    // resampled and mixed to the settings) and encodes what fills frames.
    bool Feed(const TappedAudio& audio, const PacketSink& packet, std::string* error);
    // Silence from where the track ends up to capture time `until`; nothing
    // when the track already reaches it.
    bool FillSilence(int64_t until, const PacketSink& packet, std::string* error);
    // The capture time where the track's next sample belongs.
    int64_t Reach() const;

private:
    int64_t SampleAt(int64_t time) const; // the track's sample position of a capture time
    bool Append(const float* const* planes, int64_t frames, const PacketSink& packet, std::string* error);
    bool AppendSilence(int64_t frames, const PacketSink& packet, std::string* error);
    bool EncodeFull(const PacketSink& packet, std::string* error);
    bool Convert(const TappedAudio& audio, std::string* error);

    AacSettings m_settings;
    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    AVAudioFifo* m_fifo = nullptr;
    SwrContext* m_resampler = nullptr;
    int m_inRate = 0, m_inChannels = 0;
    std::vector<float> m_converted; // planar: channel after channel, m_convertedFrames each
    int64_t m_convertedFrames = 0;
    int64_t m_origin = 0;   // capture time of sample 0 of the input (after the priming)
    int64_t m_position = 0; // samples handed in
    int64_t m_encoded = 0;  // samples sent to the encoder
    int m_priming = 0;
    bool m_soundLast = false; // the track ends with sound, not silence
};
