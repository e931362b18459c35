// The built-in test pattern through the encoder at every bitrate row, as
// Start streams it: the source draws the pattern at the row's picture size
// (the writer asks for its own frame) with its counter running at 30 frames
// a second, and the writer takes one picture per frame slot, 15 a second.
// What a viewer of each row gets: the row's frame rate (a picture is
// dropped only when even the coarsest quantiser would overrun the bitrate)
// within the row's bitrate, also with viewers joining (a key frame each).

#include "platform/dshow/TestPatternPicture.h"
#include "platform/wmf/AsfEncoder.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

TEST(TestPatternStream, EveryRowKeepsItsFrameRateWithinItsBitrate)
{
    const struct {
        DWORD bitrate;
        int width, height;
        double minFps; // 15 where the pattern fits; the 32 and 20 Kbps rows drop a few after key frames
    } rows[] = {{256000, 320, 240, 14.5}, {128000, 320, 240, 14.5}, {93000, 320, 240, 14.5}, {56000, 320, 240, 14.5},
        {32000, 320, 240, 12.5}, {28800, 240, 176, 14.5}, {20000, 240, 176, 12.5}};
    constexpr int kSeconds = 20;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.bitrate) + " bit/s");
        size_t packets = 0;
        uint32_t packetSize = 0;
        std::string error;
        auto enc = AsfEncoder::Create(wmftest::BaseProfileStreams(r.bitrate, r.width, r.height), {},
            [&packets](asf::DataPacketPtr) { ++packets; }, &error);
        ASSERT_TRUE(enc) << error;
        packetSize = enc->PacketSize();
        std::vector<uint32_t> picture(static_cast<size_t>(r.width) * r.height);
        // Source frames at 30 a second; the writer's slots take every other.
        for (int frame = 0; frame < 30 * kSeconds; frame += 2) {
            if (frame % 300 == 100) // a viewer joins every 10 s
                enc->KeyFrames()->Ask();
            DrawTestPattern(picture.data(), r.width, r.height, frame, frame % 30 == 0, false);
            ASSERT_TRUE(enc->EncodeVideo(0,
                {PixelLayout::RGB32, r.width, r.height, reinterpret_cast<const uint8_t*>(picture.data()), picture.size() * 4},
                frame * 333333LL, true)); // live: de-interlaced, as Start sets the writer
        }
        enc->Finish();
        const auto stats = enc->VideoStats();
        const double fps = static_cast<double>(stats.encoded) / kSeconds;
        const double bitsPerSecond = static_cast<double>(packets) * packetSize * 8 / kSeconds;
        std::printf("%6u bit/s: %.2f pictures a second (%llu dropped), %.0f bit/s\n", static_cast<unsigned>(r.bitrate), fps,
            static_cast<unsigned long long>(stats.dropped), bitsPerSecond);
        EXPECT_GE(fps, r.minFps);
        EXPECT_NEAR(bitsPerSecond / r.bitrate, 1.0, 0.10);
    }
}

} // namespace
