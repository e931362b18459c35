#include "platform/dshow/SampleClock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// The filter's time constant: long against the jitter of buffer arrivals
// (tens of milliseconds), short against the drift of a crystal (0.1 % is
// 2 ms in 2 s).
constexpr double kSmoothing = 2.0 * SampleClock::kSecond;
// Within this the count is left alone, so that a steady clock sees no change.
constexpr double kDeadBand = 10000; // 1 ms

} // namespace

void SampleClock::Anchor(int64_t origin, int64_t sent)
{
    m_origin = origin - sent * kSecond / m_rate;
    m_sent = sent;
    m_offset = 0;
    m_anchored = true;
    m_joining = false;
}

SampleClock::Plan SampleClock::Live(size_t frames, int64_t arrival)
{
    Plan plan;
    // Where the clock puts the buffer's first frame: its last one arrived just now.
    const int64_t measured = arrival - static_cast<int64_t>(frames) * kSecond / m_rate;
    const int64_t off = measured - Next();
    if (!m_anchored || std::llabs(off) > kResync) {
        Anchor(measured, 0);
        plan.anchored = true;
        return plan;
    }
    if (m_joining) {
        // The silence went on to now; the device's first buffer began
        // earlier (it ended just now) or, rarely, later. The count must stay
        // unbroken for the writer, which places sound by it.
        m_joining = false;
        plan.head = std::max(std::lround(static_cast<double>(off) * m_rate / kSecond), -static_cast<long>(frames));
        return plan;
    }
    const double length = static_cast<double>(frames) * kSecond / m_rate;
    m_offset += std::min(1.0, length / kSmoothing) * (static_cast<double>(off) - m_offset);
    if (std::abs(m_offset) > kDeadBand) {
        // At most about one frame in two hundred, spread over the buffer.
        const long most = 1 + static_cast<long>(frames / 200);
        const long want = std::lround(m_offset * m_rate / kSecond);
        plan.adjust = static_cast<int>(std::clamp(want, -most, most));
        // Later arrivals are measured against the count moved by that much.
        m_offset -= plan.adjust * static_cast<double>(kSecond) / m_rate;
    }
    return plan;
}

void AdjustFrames(std::vector<int16_t>& pcm, int channels, int adjust)
{
    const size_t width = static_cast<size_t>(channels);
    const size_t frames = pcm.size() / width;
    const size_t count = static_cast<size_t>(std::abs(adjust));
    if (count == 0 || count >= frames)
        return;
    std::vector<int16_t> out;
    out.reserve((frames + count) * width);
    // The k-th change falls on frame (2k + 1) * frames / (2 * count).
    size_t k = 0;
    for (size_t i = 0; i < frames; ++i) {
        const bool here = k < count && i == (2 * k + 1) * frames / (2 * count);
        if (here)
            ++k;
        if (here && adjust < 0)
            continue; // dropped
        out.insert(out.end(), pcm.begin() + static_cast<long>(i * width), pcm.begin() + static_cast<long>((i + 1) * width));
        if (here) // repeated
            out.insert(out.end(), pcm.begin() + static_cast<long>(i * width), pcm.begin() + static_cast<long>((i + 1) * width));
    }
    pcm = std::move(out);
}
