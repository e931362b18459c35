#pragma once
// Sound of a writing session for outputs beside the ASF stream (the relay's
// audio track, the browser stream's audio). The audio capture source
// publishes every buffer it delivers, after muting, whether or not the
// Windows Media profile carries an audio stream: a consumer gets the sound
// the user chose even on rows whose profile leaves audio out.
//
// The samples are interleaved signed 16-bit PCM at `sampleRate` with
// `channels` channels, `frames` frames in all (frames * channels values).
// `time` is the stream time of the first frame in 100-ns units, on the same
// capture clock and with the same origin as TappedPicture::time, so pictures
// and sound from the two taps line up as they are. Buffers follow each other
// without gaps while sound is on: a lost input is published as silence.
// Nothing is published while sound is off; a consumer that needs a track
// anyway makes its own silence.
//
// Threads. Publish runs on the audio source's streaming thread and calls the
// consumers there, under the tap's lock: a consumer must return at once
// (copy the samples, which live only for the call, and hand them to a thread
// of its own) and must not call Subscribe or Unsubscribe. Subscribe and
// Unsubscribe may be called from any other thread; once Unsubscribe returns,
// that consumer is not called again.

#include "platform/com/Unknown.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct TappedAudio {
    const int16_t* samples = nullptr; // interleaved, valid only during the call
    size_t frames = 0;                // samples per channel
    int channels = 0;
    int sampleRate = 0;
    int64_t time = 0;                 // stream time of the first frame, 100-ns units
};

class AudioTap {
public:
    using Consumer = std::function<void(const TappedAudio&)>;
    using Subscription = uint64_t; // never 0 for a live subscription

    // Adds a consumer; returns the handle that Unsubscribe takes (0 when
    // `consumer` is empty).
    Subscription Subscribe(Consumer consumer);
    // Removes a consumer; unknown handles are ignored.
    void Unsubscribe(Subscription subscription);
    // True while at least one consumer is subscribed (cheap, lock-free).
    bool Wanted() const { return m_count.load(std::memory_order_relaxed) > 0; }

    // Called by the audio source only.
    void Publish(const TappedAudio& audio);

private:
    std::mutex m_lock;
    std::vector<std::pair<Subscription, Consumer>> m_consumers;
    Subscription m_next = 1;
    std::atomic<size_t> m_count{0};
};

// Offered by the ASF writer filter (QueryInterface): the audio tap of its
// writing sessions, the same object for the filter's whole life, fed by the
// audio capture source the program connects while sound is on.
struct IWMWriterAudioTap : IUnknown {
    static constexpr IID iid = MakeGuid("{2B7E4C90-5D31-4A8F-B6E2-93C1F0A47D58}");
    virtual std::shared_ptr<AudioTap> GetAudioTap() = 0;
};
