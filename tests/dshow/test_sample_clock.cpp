// Stamping captured sound on the capture clock: an hour of a sound card whose
// crystal runs off, with the arrival jitter of a loaded machine and one
// stall, keeps its stamps gapless (but at the stall) and within 40 ms of
// where the clock puts its samples; the frames evened out for that are few
// and do not click.

#include "platform/dshow/SampleClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double kSecond = SampleClock::kSecond;

struct DriftCase {
    const char* name;
    double skew;     // the card's rate against its nominal one, e.g. +0.001
    int rate;
    int64_t jitter;  // arrival delay spread, 100 ns
};

TEST(SampleClock, AnHourOfASkewedCardStaysOnTheCaptureClock)
{
    const DriftCase cases[] = {
        {"0.1 % fast, 22050 Hz", +0.001, 22050, 80000},
        {"0.1 % slow, 22050 Hz", -0.001, 22050, 80000},
        {"0.3 % fast, 48000 Hz", +0.003, 48000, 80000},
        {"0.05 % slow, 16000 Hz, heavy jitter", -0.0005, 16000, 250000},
        {"on time, 44100 Hz", 0.0, 44100, 80000},
    };
    for (const DriftCase& c : cases) {
        SCOPED_TRACE(c.name);
        SampleClock clock(c.rate);
        const size_t frames = static_cast<size_t>(c.rate / 50); // 20 ms buffers
        const double period = static_cast<double>(frames) * kSecond / (c.rate * (1 + c.skew));
        const long buffers = 3600L * 50;
        uint32_t seed = 12345;
        const auto random = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
        double reference = 0, worst = 0;
        long changed = 0, anchors = 0;
        // Half way, the card stops for 300 ms (its samples are lost): the
        // count anchors afresh there, and only there.
        const long stall = buffers / 2, stalled = 15;
        int64_t expectedStart = 0;
        for (long i = 0; i < buffers; ++i) {
            if (i == stall)
                i += stalled;
            // The card's last frame of buffer i, and when the reader saw it:
            // 5 ms of latency, a spread, and now and then 40 ms late.
            const double captured = static_cast<double>(i + 1) * period;
            int64_t delay = 50000 + static_cast<int64_t>(random() % static_cast<uint32_t>(c.jitter));
            if (random() % 300 == 0)
                delay += 400000;
            const SampleClock::Plan plan = clock.Live(frames, static_cast<int64_t>(captured) + delay);
            const int64_t start = clock.Next();
            anchors += plan.anchored ? 1 : 0;
            if (i == stall + stalled) {
                EXPECT_TRUE(plan.anchored) << "the stall was smoothed over";
            } else if (i > 0 && !plan.anchored) {
                ASSERT_EQ(start, expectedStart) << "a gap or overlap at buffer " << i;
            }
            changed += std::abs(plan.adjust);
            clock.Advance(frames + static_cast<size_t>(static_cast<long>(plan.adjust)));
            expectedStart = clock.Next();
            // Stamp against the clock's time of the buffer's first frame;
            // the latency is constant, the drift is its change.
            const double offset = static_cast<double>(start) - (captured - period);
            if (i < 50 * 60)
                reference += offset / (50 * 60);
            else
                worst = std::max(worst, std::abs(offset - reference));
        }
        EXPECT_EQ(anchors, 2) << "the count was anchored afresh (a jump in the stamps) away from the stall";
        EXPECT_LT(worst, 400000) << "drift " << worst / 10000 << " ms over the hour";
        // Only what the skew needs is evened out: its share of the hour's
        // frames, and with no skew hardly any.
        const double needed = std::abs(c.skew) * static_cast<double>(buffers) * static_cast<double>(frames);
        EXPECT_LE(static_cast<double>(changed), needed * 1.1 + static_cast<double>(buffers * frames) / 100000)
            << changed << " frames repeated or dropped, " << needed << " needed";
    }
}

// The silence that stands in while a device opens (or after it was lost) is
// paced by the clock; the device's first buffer began before it arrived, so
// it overlaps the silence, or rarely leaves a gap. The writer places sound by
// its count: the count must go on unbroken and reach where the clock puts
// the buffer's end.
TEST(SampleClock, ADeviceJoiningAfterSilenceStartsWhereTheClockPutsIt)
{
    const int rate = 22050;
    const int64_t frame = SampleClock::kSecond / rate;
    struct Case {
        const char* name;
        size_t frames;
        int64_t arrival; // after the silence's end
    } cases[] = {
        {"50 ms buffer, 10 ms after", 1102, 100000},
        {"50 ms buffer, 70 ms after", 1102, 700000},
        {"20 ms buffer, 5 ms after", 441, 50000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SampleClock clock(rate);
        clock.Anchor(0, 0);
        clock.Advance(static_cast<size_t>(rate)); // a second of silence
        const int64_t silenceEnd = clock.Next();
        clock.Restart();
        const SampleClock::Plan plan = clock.Live(c.frames, silenceEnd + c.arrival);
        EXPECT_FALSE(plan.anchored);
        ASSERT_GE(static_cast<long>(c.frames) + plan.head, 0);
        clock.Advance(static_cast<size_t>(static_cast<long>(c.frames) + plan.head));
        EXPECT_NEAR(static_cast<double>(clock.Next()), static_cast<double>(silenceEnd + c.arrival), static_cast<double>(frame));
        // Later buffers follow on without a head of their own.
        EXPECT_EQ(clock.Live(c.frames, silenceEnd + c.arrival + static_cast<int64_t>(c.frames) * frame).head, 0);
    }
}

// A tone through repeats and drops: the buffer's length changes by exactly
// the adjustment, the frames keep their order, and no step between
// neighbouring frames is larger than the tone's own largest step over one
// frame (a repeat) or two (a drop).
TEST(SampleClock, RepeatedOrDroppedFramesDoNotClick)
{
    const int rate = 22050, channels = 2;
    const size_t frames = 441;
    std::vector<int16_t> tone(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (int ch = 0; ch < channels; ++ch)
            tone[i * channels + ch] = static_cast<int16_t>(std::lrint(9000 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / rate + ch)));
    const auto largestStep = [&](const std::vector<int16_t>& pcm) {
        int most = 0;
        for (size_t i = channels; i < pcm.size(); ++i)
            most = std::max(most, std::abs(pcm[i] - pcm[i - channels]));
        return most;
    };
    const int own = largestStep(tone);
    for (int adjust : {1, -1, 3, -3}) {
        SCOPED_TRACE(adjust);
        std::vector<int16_t> pcm = tone;
        AdjustFrames(pcm, channels, adjust);
        ASSERT_EQ(pcm.size(), (frames + static_cast<size_t>(static_cast<long>(adjust))) * channels);
        EXPECT_LE(largestStep(pcm), adjust > 0 ? own : 2 * own);
        // The output is the input with single frames repeated or left out.
        const std::vector<int16_t>& longer = adjust > 0 ? pcm : tone;
        const std::vector<int16_t>& shorter = adjust > 0 ? tone : pcm;
        size_t j = 0;
        for (size_t i = 0; i < longer.size() / channels && j < shorter.size() / channels; ++i)
            if (std::equal(longer.begin() + static_cast<long>(i * channels), longer.begin() + static_cast<long>((i + 1) * channels),
                    shorter.begin() + static_cast<long>(j * channels)))
                ++j;
        EXPECT_EQ(j, shorter.size() / channels);
    }
}

} // namespace
