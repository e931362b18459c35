// Data packets: cutting media objects into fixed-size packets and reading
// them back, key-frame packets, and headers that do not parse.

#include "platform/wmf/AsfEncoder.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

struct Collected {
    std::vector<asf::DataPacketPtr> packets;
    std::vector<std::vector<uint8_t>> Bytes() const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& p : packets)
            out.push_back(p->bytes);
        return out;
    }
};

std::vector<uint8_t> Object(size_t size, int seed)
{
    std::vector<uint8_t> o(size);
    for (size_t i = 0; i < size; ++i)
        o[i] = static_cast<uint8_t>(i * 7 + static_cast<size_t>(seed) * 13);
    return o;
}

TEST(AsfPacketWriter, ObjectsOfEverySizeComeBackWhole)
{
    const struct {
        const char* what;
        uint32_t packetSize;
        std::vector<size_t> sizes;
    } cases[] = {
        {"one tiny object", 200, {1}},
        {"objects smaller than a packet", 400, {50, 60, 70, 80, 90, 100}},
        {"object exactly filling the room", 200, {200 - 31}},
        {"one byte more than the room", 200, {200 - 30}},
        {"objects spanning many packets", 256, {5000, 3, 7000, 1}},
        {"many tiny objects (payload limit)", 3200, std::vector<size_t>(200, 1)},
        {"mixed", 387, {775, 300, 1200, 10, 10, 10, 900}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Collected out;
        asf::PacketWriter w(c.packetSize, 3100, [&](asf::DataPacketPtr p) { out.packets.push_back(std::move(p)); });
        std::vector<std::vector<uint8_t>> objects;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            objects.push_back(Object(c.sizes[i], static_cast<int>(i)));
            w.AddObject(1, i == 0, true, static_cast<uint32_t>(i * 66), objects.back().data(), objects.back().size());
        }
        w.Flush();
        std::vector<wmftest::MediaObject> back;
        std::string error;
        ASSERT_TRUE(wmftest::Reassemble(out.Bytes(), c.packetSize, &back, &error)) << error;
        ASSERT_EQ(back.size(), objects.size());
        for (size_t i = 0; i < objects.size(); ++i) {
            EXPECT_EQ(back[i].bytes, objects[i]) << "object " << i;
            EXPECT_EQ(back[i].presentationMs, i * 66 + 3100) << "presentation time carries the preroll";
            EXPECT_EQ(back[i].key, i == 0);
        }
        EXPECT_EQ(w.PacketCount(), out.packets.size());
        // Nothing is wasted on full packets: only a few may carry padding.
        const size_t total = std::accumulate(c.sizes.begin(), c.sizes.end(), size_t{0});
        EXPECT_LE(out.packets.size() * (c.packetSize - 31), total + c.packetSize * (c.sizes.size() + 1));
    }
}

// A frame's first bytes never wait for frames after the next one, and a
// frame larger than what is left of the open packet leaves at once.
TEST(AsfPacketWriter, FirstBytesOfAFrameLeaveWithoutWaiting)
{
    const uint32_t packetSize = 400;
    Collected out;
    asf::PacketWriter w(packetSize, 0, [&](asf::DataPacketPtr p) { out.packets.push_back(std::move(p)); });
    const std::vector<size_t> sizes = {900, 20, 30, 40, 600, 5, 5, 5, 5, 800};
    auto startsSent = [&](size_t objectIndex) {
        for (const auto& p : out.packets) {
            asf::PacketInfo info;
            EXPECT_TRUE(asf::ParsePacket(p->bytes.data(), p->bytes.size(), &info));
            for (const auto& pl : info.payloads)
                if (pl.objectOffset == 0 && pl.presentationMs == objectIndex * 10)
                    return true;
        }
        return false;
    };
    for (size_t i = 0; i < sizes.size(); ++i) {
        const auto o = Object(sizes[i], static_cast<int>(i));
        w.AddObject(2, false, true, static_cast<uint32_t>(i * 10), o.data(), o.size());
        if (i > 0) {
            EXPECT_TRUE(startsSent(i - 1)) << "start of object " << i - 1 << " still held after object " << i;
        }
        if (sizes[i] > packetSize) {
            EXPECT_TRUE(startsSent(i)) << "object " << i << " is larger than a packet";
        }
    }
}

TEST(AsfPacketWriter, KeyFramesOfTheLeadingStreamBeginAPacket)
{
    Collected out;
    asf::PacketWriter w(300, 0, [&](asf::DataPacketPtr p) { out.packets.push_back(std::move(p)); });
    const auto small = Object(40, 1), key = Object(500, 2), audio = Object(30, 3);
    w.AddObject(1, false, true, 0, small.data(), small.size());
    w.AddObject(2, true, false, 5, audio.data(), audio.size()); // key, but not a leading stream
    w.AddObject(1, true, true, 66, key.data(), key.size());
    w.Flush();
    int keyPackets = 0;
    for (const auto& p : out.packets) {
        asf::PacketInfo info;
        ASSERT_TRUE(asf::ParsePacket(p->bytes.data(), p->bytes.size(), &info));
        EXPECT_EQ(p->keyFrameStart, asf::PacketStartsKeyFrame(info, {1}));
        if (p->keyFrameStart) {
            ++keyPackets;
            ASSERT_FALSE(info.payloads.empty());
            EXPECT_EQ(info.payloads[0].stream, 1);
            EXPECT_TRUE(info.payloads[0].keyFrame);
            EXPECT_EQ(info.payloads[0].objectOffset, 0u);
            EXPECT_EQ(p->sendTimeMs, 66u);
        }
    }
    EXPECT_EQ(keyPackets, 1);
}

// Every prefix and many corruptions of real header and packet bytes are
// either read or refused, never read out of bounds (run under ASan).
TEST(AsfFormat, DamagedHeadersAndPacketsAreRefusedSafely)
{
    std::vector<asf::DataPacketPtr> packets;
    std::string error;
    auto enc = AsfEncoder::Create(wmftest::BaseProfileStreams(93000, 320, 240), "t",
        [&](asf::DataPacketPtr p) { packets.push_back(std::move(p)); }, &error);
    ASSERT_TRUE(enc) << error;
    for (int i = 0; i < 5; ++i) {
        const auto pic = wmftest::MovingPicture(320, 240, i);
        ASSERT_TRUE(enc->EncodeVideo(0, {PixelLayout::RGB32, 320, 240, pic.data(), pic.size()}, i * 666667LL, false));
    }
    enc->Finish();
    const auto& header = enc->Header();
    ASSERT_TRUE(asf::ParseHeader(header.data(), header.size(), nullptr));
    asf::HeaderInfo info;
    for (size_t n = 0; n < header.size(); ++n)
        if (asf::ParseHeader(header.data(), n, &info)) {
            EXPECT_GE(n, info.headerObjectSize) << "a header cut at " << n << " bytes was read";
        }
    for (size_t at = 0; at < header.size(); at += 3) {
        auto damaged = header;
        damaged[at] ^= 0xFF;
        asf::ParseHeader(damaged.data(), damaged.size(), &info);
    }
    ASSERT_FALSE(packets.empty());
    const auto& pk = packets.front()->bytes;
    asf::PacketInfo pi;
    for (size_t n = 0; n < pk.size(); ++n)
        asf::ParsePacket(pk.data(), n, &pi);
    for (size_t at = 0; at < 64 && at < pk.size(); ++at)
        for (int bit = 0; bit < 8; ++bit) {
            auto damaged = pk;
            damaged[at] ^= static_cast<uint8_t>(1 << bit);
            if (asf::ParsePacket(damaged.data(), damaged.size(), &pi)) {
                for (const auto& pl : pi.payloads) {
                    EXPECT_LE(pl.dataOffset + pl.dataLength, damaged.size());
                }
            }
        }
}

TEST(AsfFormat, LiveHeaderIsMarkedAsBroadcast)
{
    std::string error;
    auto enc = AsfEncoder::Create(wmftest::BaseProfileStreams(93000, 320, 240), "Live", nullptr, &error);
    ASSERT_TRUE(enc) << error;
    auto header = enc->Header();
    ASSERT_TRUE(asf::PatchHeaderForLive(header));
    asf::HeaderInfo info;
    ASSERT_TRUE(asf::ParseHeader(header.data(), header.size(), &info));
    EXPECT_EQ(info.flags, 1u);
    EXPECT_EQ(info.packetSize, enc->PacketSize());
    EXPECT_EQ(info.prerollMs, enc->PrerollMs());
    EXPECT_EQ(info.title, "Live");
    EXPECT_EQ(info.videoStreams, std::vector<uint8_t>{1});
    const uint8_t* fp = header.data() + info.filePropertiesOffset;
    for (size_t field : {40, 56, 64, 72}) { // file size, packets, play and send duration
        for (size_t b = 0; b < 8; ++b) {
            EXPECT_EQ(fp[field + b], 0) << "field at " << field;
        }
    }
    const uint8_t* data = header.data() + info.headerObjectSize;
    EXPECT_EQ(data[16], 50);
    EXPECT_EQ(data[17], 0);
}

} // namespace
