// The AAC track on the capture clock, decoded back with FFmpeg's own AAC
// decoder: a beep must play at its capture time whatever the sound's
// timestamps did before it (a gap, an overlap, a sound card clock that runs
// apart from the capture clock for minutes).
#include "live/audio/AacEncoder.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <functional>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int64_t kSecond = 10000000; // 100-ns units

// Decodes the packets into one mono track, each packet's samples placed at
// its timestamp (samples from the origin).
class Decoder {
public:
    Decoder(const AVCodecContext* encoder)
    {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
        m_context = avcodec_alloc_context3(codec);
        avcodec_parameters_from_context(m_parameters = avcodec_parameters_alloc(), encoder);
        avcodec_parameters_to_context(m_context, m_parameters);
        m_context->pkt_timebase = encoder->time_base;
        EXPECT_EQ(avcodec_open2(m_context, codec, nullptr), 0);
        m_frame = av_frame_alloc();
    }
    ~Decoder()
    {
        av_frame_free(&m_frame);
        avcodec_parameters_free(&m_parameters);
        avcodec_free_context(&m_context);
    }
    void operator()(AVPacket* packet)
    {
        ASSERT_GE(avcodec_send_packet(m_context, packet), 0);
        while (avcodec_receive_frame(m_context, m_frame) == 0) {
            const auto at = static_cast<size_t>(m_frame->pts);
            if (track.size() < at + static_cast<size_t>(m_frame->nb_samples))
                track.resize(at + static_cast<size_t>(m_frame->nb_samples));
            const auto* s = reinterpret_cast<const float*>(m_frame->extended_data[0]);
            for (int i = 0; i < m_frame->nb_samples; ++i)
                track[at + static_cast<size_t>(i)] = s[i];
        }
    }
    std::vector<float> track;

private:
    AVCodecContext* m_context = nullptr;
    AVCodecParameters* m_parameters = nullptr;
    AVFrame* m_frame = nullptr;
};

// The first sample from `from` on where a 1 ms window's level passes a
// tenth of the beep's, in 100-ns units from the origin (-1: none).
int64_t Onset(const std::vector<float>& track, int64_t from)
{
    const size_t window = kRate / 1000;
    for (size_t i = static_cast<size_t>(from * kRate / kSecond); i + window < track.size(); ++i) {
        double sum = 0;
        for (size_t j = i; j < i + window; ++j)
            sum += static_cast<double>(track[j]) * track[j];
        if (std::sqrt(sum / window) > 0.05 * 16000.0 / 32768 / std::sqrt(2.0))
            return static_cast<int64_t>(i) * kSecond / kRate;
    }
    return -1;
}

TEST(AacEncoder, ABeepPlaysAtItsCaptureTimeWhateverTheTimestampsDidBefore)
{
    const struct {
        const char* what;
        int64_t beep;            // the beep's start, after the origin (sound card time)
        int64_t gapAt, gap;      // the sound's time jumps by `gap` from gapAt on (negative: overlap)
        double clockRatio;       // capture time per sound card time
        int64_t tolerance;       // how far the onset may lie from the beep
    } cases[] = {
        {"continuous", 1 * kSecond, 0, 0, 1.0, 10000},
        {"300 ms missing before the beep", 2 * kSecond, kSecond, 3000000, 1.0, 10000},
        {"100 ms again before the beep", 2 * kSecond, kSecond, -1000000, 1.0, 10000},
        // Pulled back whenever it strays by the encoder's tolerance (20 ms);
        // left alone it would be 600 ms off.
        {"a sound card 0.5% fast, two minutes", 120 * kSecond, 0, 0, 1.0 / 1.005, 210000},
        {"a sound card 0.5% slow, two minutes", 120 * kSecond, 0, 0, 1.005, 210000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t origin = 7 * kSecond; // the first picture's capture time
        AacEncoder encoder;
        std::string error;
        AacSettings settings;
        settings.channels = 1;
        ASSERT_TRUE(encoder.Open(settings, origin, &error)) << error;
        Decoder decode(encoder.Context());
        const auto sink = std::function<void(AVPacket*)>(std::ref(decode));

        // 10 ms pieces; silence except a 1 kHz beep of 200 ms at c.beep on
        // the sound card's own count of samples.
        const int piece = kRate / 100;
        std::vector<int16_t> samples(static_cast<size_t>(piece));
        const int64_t beepSample = c.beep * kRate / kSecond;
        int64_t jump = 0;
        for (int64_t done = 0; done < beepSample + kRate / 2; done += piece) {
            for (int i = 0; i < piece; ++i) {
                const int64_t n = done + i;
                const bool on = n >= beepSample && n < beepSample + kRate / 5;
                samples[static_cast<size_t>(i)] =
                    on ? static_cast<int16_t>(16000 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(n - beepSample) / kRate)) : 0;
            }
            int64_t time = origin + static_cast<int64_t>(std::llround(static_cast<double>(done) * kSecond / kRate * c.clockRatio));
            if (c.gap && done * kSecond / kRate >= c.gapAt)
                jump = c.gap;
            ASSERT_TRUE(encoder.Feed(TappedAudio{samples.data(), static_cast<size_t>(piece), 1, kRate, time + jump}, sink, &error))
                << error;
        }
        // Where the beep belongs on the capture clock: as the sound card
        // stamped its first sample.
        const int64_t stamped = static_cast<int64_t>(std::llround(static_cast<double>(c.beep) * c.clockRatio))
            + (c.gap && c.beep >= c.gapAt ? c.gap : 0);
        const int64_t onset = Onset(decode.track, stamped - kSecond / 2);
        ASSERT_GE(onset, 0);
        EXPECT_NEAR(static_cast<double>(onset), static_cast<double>(stamped), static_cast<double>(c.tolerance));
    }
}

// With no sound, silence carries the track exactly to where it is asked.
TEST(AacEncoder, SilenceFillsTheTrackUpToTheAskedTimeAndNoFurther)
{
    AacEncoder encoder;
    std::string error;
    ASSERT_TRUE(encoder.Open(AacSettings{}, 5 * kSecond, &error)) << error;
    int64_t firstPts = -1, end = 0;
    const auto count = [&](AVPacket* p) {
        EXPECT_EQ(p->pts, firstPts < 0 ? 0 : end) << "packets follow each other from the origin";
        if (firstPts < 0)
            firstPts = p->pts;
        end = p->pts + p->duration;
    };
    ASSERT_TRUE(encoder.FillSilence(5 * kSecond + kSecond, count, &error));
    EXPECT_EQ(encoder.Reach(), 6 * kSecond);
    ASSERT_TRUE(encoder.FillSilence(5 * kSecond + kSecond / 2, count, &error)); // already there
    EXPECT_EQ(encoder.Reach(), 6 * kSecond);
    // Whole frames are out up to the second, none past it (the encoder
    // holds the last frame or two back).
    EXPECT_EQ(firstPts, 0);
    EXPECT_LE(end, kRate);
    EXPECT_GE(end, kRate - 3 * 1024);
}

} // namespace
