#pragma once
// Stamping captured sound on the capture clock.
//
// A sound card's samples follow the card's own crystal, not the capture
// clock: counted at the nominal rate they run ahead or fall behind (0.1 %
// off is 3.6 s an hour), while the writer and the players place sound by its
// sample count. SampleClock keeps the count on the clock: each live buffer's
// arrival says where the clock puts it, a slow filter takes the scheduling
// jitter out of that, and what is left is evened out by repeating or dropping
// single frames spread over the buffers (at most a few in a thousand, which
// no one hears), so the stamps stay gapless and on the clock for hours. A
// buffer further off than kResync (a stall, or the first buffer) anchors the
// count afresh: a discontinuity. A clock not yet anchored anchors on its
// first live buffer.
//
// One thread only (the source's streaming thread). Times are 100-ns units.

#include <cstddef>
#include <cstdint>
#include <vector>

class SampleClock {
public:
    static constexpr int64_t kSecond = 10000000;
    static constexpr int64_t kResync = 600000; // 60 ms

    explicit SampleClock(int rate = 48000) : m_rate(rate) {}

    // Another device follows silence that the count went on with: its first
    // buffer joins the count where the clock puts it (see Plan::head), and
    // the filter forgets the old device's latency.
    void Restart()
    {
        m_offset = 0;
        m_joining = true;
    }
    // Sample `sent` lies at time `origin + sent / rate`; the count is on the clock.
    void Anchor(int64_t origin, int64_t sent);

    int Rate() const { return m_rate; }
    int64_t TimeOf(int64_t n) const { return m_origin + n * kSecond / m_rate; }
    // The time of the next frame to send, and how many were sent.
    int64_t Next() const { return TimeOf(m_sent); }
    int64_t Sent() const { return m_sent; }

    struct Plan {
        int adjust = 0;        // frames to repeat (> 0) or drop (< 0) in the buffer
        // On joining: silent frames to put before the buffer (> 0), or its
        // first frames to drop (< 0): those the silence already stood for.
        long head = 0;
        bool anchored = false; // the count was anchored afresh at this buffer
    };
    // A live buffer of `frames` frames whose last frame arrived at `arrival`:
    // what to do to it before it is sent (then Advance by what is left).
    Plan Live(size_t frames, int64_t arrival);
    // Counts `frames` more frames as sent.
    void Advance(size_t frames) { m_sent += static_cast<int64_t>(frames); }

    // The filtered distance of the clock ahead of the count (100 ns): what
    // is still to be evened out.
    double Offset() const { return m_offset; }

private:
    int m_rate;
    int64_t m_origin = 0;
    int64_t m_sent = 0;
    bool m_anchored = false;
    bool m_joining = false;
    double m_offset = 0;
};

// Repeats (adjust > 0) or drops (adjust < 0) |adjust| frames of the
// interleaved buffer `pcm` of `channels` channels, at even spacing. A frame
// repeated holds the sound still for one frame; a frame dropped makes one
// step of two frames' worth: a phase shift of a frame, not a click. Does
// nothing unless |adjust| is less than the frame count.
void AdjustFrames(std::vector<int16_t>& pcm, int channels, int adjust);
