// The audio capture source with the built-in test tone: gapless buffers on
// the stream clock, beeps on the whole seconds, mute, and the writer's PCM
// type taken as offered.

#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/BaseClasses.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace {

struct Buffer {
    std::vector<int16_t> pcm;
    int channels = 0;
    int rate = 0;
    int64_t time = 0;
};

class ToneRun {
public:
    // The tone's filter running as if its stream had begun `ago` before now.
    explicit ToneRun(REFERENCE_TIME ago)
    {
        DeviceIdentity tone;
        tone.kind = "tone";
        EXPECT_EQ(CreateAudioCaptureSource(tone, IBaseFilter::iid, m_filter.ReleaseAndGetVoid()), S_OK);
        m_control = m_filter.As<IAudioCaptureControl>();
        m_control->SetListener([this](const int16_t* s, size_t frames, int channels, int rate, int64_t time) {
            std::lock_guard lock(m_lock);
            m_buffers.push_back({std::vector<int16_t>(s, s + frames * static_cast<size_t>(channels)), channels, rate, time});
        });
        m_filter->Run(ReferenceTimeNow() - ago);
    }
    ~ToneRun() { m_filter->Stop(); }

    // Waits (bounded) until `frames` frames arrived; the buffers so far.
    std::vector<Buffer> Collect(size_t frames)
    {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard lock(m_lock);
                size_t have = 0;
                for (const auto& b : m_buffers)
                    have += b.pcm.size() / static_cast<size_t>(b.channels);
                if (have >= frames)
                    return m_buffers;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the tone did not deliver " << frames << " frames in 5 s";
        std::lock_guard lock(m_lock);
        return m_buffers;
    }
    IAudioCaptureControl& Control() { return *m_control; }

private:
    ComPtr<IBaseFilter> m_filter;
    ComPtr<IAudioCaptureControl> m_control;
    std::mutex m_lock;
    std::vector<Buffer> m_buffers;
};

TEST(TestTone, GaplessOnTheStreamClockWithBeepsOnTheSecond)
{
    // Stream time starts near 0.9 s: the beep of second 1 comes within 0.1 s.
    ToneRun run(9000000);
    const std::vector<Buffer> buffers = run.Collect(48000 / 4);
    ASSERT_FALSE(buffers.empty());
    std::vector<int16_t> all;
    for (size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(buffers[i].rate, 48000) << "unconnected, the source makes 48 kHz";
        EXPECT_EQ(buffers[i].channels, 1);
        if (i > 0) {
            const int64_t frames = static_cast<int64_t>(buffers[i - 1].pcm.size());
            EXPECT_NEAR(static_cast<double>(buffers[i].time), buffers[i - 1].time + frames * 10000000.0 / 48000, 1.0)
                << "buffer " << i << " does not follow the one before";
        }
        all.insert(all.end(), buffers[i].pcm.begin(), buffers[i].pcm.end());
    }
    const int64_t first = buffers[0].time * 48000 / 10000000; // sample number of the first sample
    EXPECT_GE(first, 48000 * 8 / 10);
    EXPECT_LT(first, 48000);
    // The first loud sample is the first of second 1 (the beep starts at
    // phase 0, so its first non-zero sample is the one after).
    size_t loud = 0;
    while (loud < all.size() && std::abs(all[loud]) <= 1100)
        ++loud;
    ASSERT_LT(loud, all.size()) << "no beep";
    EXPECT_NEAR(static_cast<double>(first + static_cast<int64_t>(loud)), 48000.0, 8.0);
}

TEST(TestTone, MutedItSendsSilenceAndGoesOn)
{
    ToneRun run(0);
    run.Control().SetMuted(true);
    const std::vector<Buffer> buffers = run.Collect(48000 / 10);
    size_t nonZero = 0, frames = 0;
    for (const auto& b : buffers) {
        frames += b.pcm.size();
        for (int16_t s : b.pcm)
            nonZero += s != 0;
    }
    EXPECT_GE(frames, 48000u / 10);
    EXPECT_EQ(nonZero, 0u);
    EXPECT_GT(run.Control().PeakLevel(), 0) << "the meter still hears the input";
}

} // namespace
