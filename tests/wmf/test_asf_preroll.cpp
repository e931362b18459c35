// The preroll a live stream announces against what its rate control sends:
// big enough that a player whose link carries exactly the row's bitrate has
// the largest picture (a key frame) in time, no bigger than that (players
// such as VLC add it to their own buffer: every extra millisecond is delay
// behind live). Every place of the header a player reads it agrees.

#include "platform/wmf/AsfEncoder.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr double kMarginMs = 50;

// The Extended Stream Properties Objects of a header: each stream's leaky
// bucket size and initial fullness (ms), which players read as its preroll.
//   0  object id (16)   16 size (8)   24 start time (8)   32 end time (8)
//   40 data bitrate (4) 44 buffer size (4) 48 initial buffer fullness (4) ...
std::vector<std::pair<uint32_t, uint32_t>> StreamBuffers(const std::vector<uint8_t>& header)
{
    static const uint8_t kId[16] = {0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43, 0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(header[at] | header[at + 1] << 8 | header[at + 2] << 16 | static_cast<uint32_t>(header[at + 3]) << 24);
    };
    std::vector<std::pair<uint32_t, uint32_t>> buffers;
    for (size_t at = 0; at + 52 <= header.size(); ++at)
        if (std::memcmp(&header[at], kId, 16) == 0)
            buffers.emplace_back(u32(at + 44), u32(at + 48));
    return buffers;
}

// Every bitrate row, with quiet pictures and with pictures no low rate can
// carry; a key frame asked for every 3 s (viewers joining) besides the
// profile's own.
TEST(AsfEncoderPreroll, EveryKeyFrameFitsTheAnnouncedPrerollAtTheRowsRate)
{
    const struct {
        DWORD bitrate;
        int width, height;
    } rows[] = {{256000, 320, 240}, {128000, 320, 240}, {93000, 320, 240}, {56000, 320, 240}, {32000, 320, 240},
        {28800, 240, 176}, {20000, 240, 176}};
    for (const auto& r : rows)
        for (const bool busy : {false, true}) {
            SCOPED_TRACE(std::to_string(r.bitrate) + (busy ? " busy" : " quiet"));
            std::vector<asf::DataPacketPtr> packets;
            std::string error;
            auto enc = AsfEncoder::Create(wmftest::BaseProfileStreams(r.bitrate, r.width, r.height), {},
                [&packets](asf::DataPacketPtr p) { packets.push_back(std::move(p)); }, &error);
            ASSERT_TRUE(enc) << error;
            const uint32_t preroll = enc->PrerollMs();

            asf::HeaderInfo info;
            ASSERT_TRUE(asf::ParseHeader(enc->Header().data(), enc->Header().size(), &info));
            EXPECT_EQ(info.prerollMs, preroll);
            const auto buffers = StreamBuffers(enc->Header());
            ASSERT_EQ(buffers.size(), 1u);
            EXPECT_EQ(buffers[0].first, preroll);
            EXPECT_EQ(buffers[0].second, preroll);
            // VLC adds the preroll to its own 1 s buffer and about 0.15 s of
            // its own: from 56 Kbps up it stays within 1.5 s of live.
            if (r.bitrate >= 56000) {
                EXPECT_LE(preroll, 350u);
            }

            for (int i = 0; i < 15 * 20; ++i) {
                if (i % 45 == 7)
                    enc->KeyFrames()->Ask();
                const auto pic = wmftest::MovingPicture(r.width, r.height, i, busy);
                ASSERT_TRUE(enc->EncodeVideo(0, {PixelLayout::RGB32, r.width, r.height, pic.data(), pic.size()}, i * 666667LL, false));
            }
            enc->Finish();

            // Sending the largest key frame at the row's rate fits in the
            // preroll with time to spare for the packet it ends in.
            std::vector<std::vector<uint8_t>> bytes;
            for (const auto& p : packets)
                bytes.push_back(p->bytes);
            std::vector<wmftest::MediaObject> objects;
            ASSERT_TRUE(wmftest::Reassemble(bytes, enc->PacketSize(), &objects, &error)) << error;
            size_t largestKey = 0, keys = 0;
            for (const auto& o : objects)
                if (o.key) {
                    largestKey = std::max(largestKey, o.bytes.size());
                    ++keys;
                }
            EXPECT_GE(keys, 7u);
            const double bytesPerMs = r.bitrate / 8000.0;
            EXPECT_LE(largestKey / bytesPerMs + kMarginMs, preroll) << "largest key frame " << largestKey << " bytes";

        }
}

} // namespace
