// The encoding core against FFmpeg's own reader: what it writes must probe
// and decode as WMV2/WMA2 in ASF, at the profile's size and bitrate.

#include "platform/wmf/AsfEncoder.h"
#include "tests/support/TestSupport.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>

namespace {

using testsupport::RunCommand;

struct Recording {
    std::vector<uint8_t> header;
    std::vector<asf::DataPacketPtr> packets;
    uint32_t packetSize = 0;

    size_t Bytes() const { return header.size() + packets.size() * packetSize; }
    void Save(const std::string& path) const
    {
        auto h = header;
        asf::PatchHeaderForFile(h, Bytes(), packets.size(), 0, 0);
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
        for (const auto& p : packets)
            f.write(reinterpret_cast<const char*>(p->bytes.data()), static_cast<std::streamsize>(p->bytes.size()));
    }
};

// The stream of the 32 kbps stereo audio profile (row 17).
void LoadStereoAudioRow(WMStreamFormat* f)
{
    ComPtr<IWMProfileManager> m;
    ASSERT_EQ(WMCreateProfileManager(m.GetAddressOf()), S_OK);
    ComPtr<IWMProfile> p;
    ASSERT_EQ(m->LoadProfileByID(WMSystemProfileAt(17).id, p.GetAddressOf()), S_OK);
    ComPtr<IWMStreamConfig> sc;
    ASSERT_EQ(p->GetStream(0, sc.GetAddressOf()), S_OK);
    sc->GetFormat(f);
}

// Two seconds of a 440 Hz tone, interleaved stereo.
std::vector<int16_t> StereoTone(int sampleRate)
{
    std::vector<int16_t> tone(static_cast<size_t>(sampleRate) * 2 * 2);
    for (size_t i = 0; i < tone.size() / 2; ++i)
        tone[2 * i] = tone[2 * i + 1] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 2 * M_PI * 440 / sampleRate));
    return tone;
}

std::unique_ptr<AsfEncoder> Start(const std::vector<WMStreamFormat>& streams, Recording& rec, const std::string& title = {})
{
    std::string error;
    auto enc = AsfEncoder::Create(streams, title, [&rec](asf::DataPacketPtr p) { rec.packets.push_back(std::move(p)); }, &error);
    EXPECT_TRUE(enc) << error;
    if (enc) {
        rec.header = enc->Header();
        rec.packetSize = enc->PacketSize();
    }
    return enc;
}

// RGB32 picture in another layout (BT.601, close enough for a test picture).
std::vector<uint8_t> Convert(const std::vector<uint8_t>& rgb, int w, int h, PixelLayout layout)
{
    if (layout == PixelLayout::RGB32)
        return rgb;
    auto Y = [&](int x, int y) {
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 4];
        return static_cast<uint8_t>((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) / 256 + 16);
    };
    std::vector<uint8_t> out;
    if (layout == PixelLayout::YUY2) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; x += 2) {
                out.push_back(Y(x, y));
                out.push_back(128);
                out.push_back(Y(x + 1, y));
                out.push_back(128);
            }
    } else {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                out.push_back(Y(x, y));
        out.resize(out.size() + static_cast<size_t>(w) * h / 2, 128);
    }
    return out;
}

int CountFrames(const std::string& path)
{
    const std::string out = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                       "stream=nb_read_frames -of csv=p=0 '" + path + "' 2>&1");
    return std::atoi(out.c_str());
}

TEST(AsfEncoder, EveryInputLayoutIsScaledToTheProfileFrameAndDecodes)
{
    testsupport::TempDir dir;
    const struct {
        PixelLayout layout;
        int width, height;
        bool deinterlace;
    } cases[] = {
        {PixelLayout::RGB32, 640, 480, false},
        {PixelLayout::YUY2, 320, 240, true},
        {PixelLayout::I420, 176, 144, false},
        {PixelLayout::RGB32, 320, 240, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.layout)) + " " + std::to_string(c.width));
        Recording rec;
        auto enc = Start(wmftest::BaseProfileStreams(93000, 320, 240), rec, "Lumora");
        ASSERT_TRUE(enc);
        for (int i = 0; i < 30; ++i) {
            const auto pic = Convert(wmftest::MovingPicture(c.width, c.height, i), c.width, c.height, c.layout);
            ASSERT_TRUE(enc->EncodeVideo(0, {c.layout, c.width, c.height, pic.data(), pic.size()}, i * 666667LL, c.deinterlace));
        }
        enc->Finish();
        const std::string path = dir.file("out.asf");
        rec.Save(path);
        int status = -1;
        const std::string probe = wmftest::Probe(path, &status);
        ASSERT_EQ(status, 0) << probe;
        EXPECT_NE(probe.find("codec_name=wmv2"), std::string::npos) << probe;
        EXPECT_NE(probe.find("width=320\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("height=240\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("TAG:title=Lumora"), std::string::npos) << probe;
        EXPECT_EQ(CountFrames(path), 30);
        const std::string errors = RunCommand("ffmpeg -v error -i '" + path + "' -f null - 2>&1");
        EXPECT_EQ(errors, "") << "the decoder complained";
    }
}

// An interlaced picture (alternate rows from two moments: here bright and
// dark rows) keeps its combs without the setting and loses them with it.
TEST(AsfEncoder, DeinterlacingRemovesCombs)
{
    testsupport::TempDir dir;
    const int w = 320, h = 240;
    std::vector<uint8_t> combed(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        std::fill(combed.begin() + static_cast<long>(y) * w * 4, combed.begin() + static_cast<long>(y + 1) * w * 4,
            static_cast<uint8_t>(y % 2 ? 30 : 220));
    for (PixelLayout layout : {PixelLayout::RGB32, PixelLayout::YUY2, PixelLayout::I420}) {
        for (bool deinterlace : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(layout)) + (deinterlace ? " deinterlaced" : " as is"));
            Recording rec;
            auto enc = Start(wmftest::BaseProfileStreams(2000000, w, h), rec);
            ASSERT_TRUE(enc);
            const auto pic = Convert(combed, w, h, layout);
            for (int i = 0; i < 3; ++i)
                ASSERT_TRUE(enc->EncodeVideo(0, {layout, w, h, pic.data(), pic.size()}, i * 666667LL, deinterlace));
            enc->Finish();
            const std::string path = dir.file("comb.asf"), gray = dir.file("comb.gray");
            rec.Save(path);
            RunCommand("ffmpeg -nostdin -v error -y -i '" + path + "' -frames:v 1 -f rawvideo -pix_fmt gray '" + gray + "'");
            const std::string pixels = testsupport::ReadFileText(gray);
            ASSERT_EQ(pixels.size(), static_cast<size_t>(w * h));
            double comb = 0;
            for (int y = 8; y < h - 8; ++y)
                for (int x = 0; x < w; ++x)
                    comb += std::abs(static_cast<uint8_t>(pixels[static_cast<size_t>(y * w + x)])
                        - static_cast<uint8_t>(pixels[static_cast<size_t>((y + 1) * w + x)]));
            comb /= (h - 16) * w;
            if (deinterlace)
                EXPECT_LT(comb, 10) << "rows still differ";
            else
                EXPECT_GT(comb, 60) << "the test picture should comb";
        }
    }
}

TEST(AsfEncoder, WrongPicturesAreRefused)
{
    Recording rec;
    auto enc = Start(wmftest::BaseProfileStreams(93000, 320, 240), rec);
    ASSERT_TRUE(enc);
    std::vector<uint8_t> small(100);
    EXPECT_FALSE(enc->EncodeVideo(0, {PixelLayout::RGB32, 320, 240, small.data(), small.size()}, 0, false));
    EXPECT_FALSE(enc->EncodeVideo(0, {PixelLayout::YUY2, 321, 240, small.data(), 321 * 240 * 2}, 0, false));
    EXPECT_FALSE(enc->EncodeVideo(0, {PixelLayout::RGB32, 0, 240, small.data(), small.size()}, 0, false));
    EXPECT_FALSE(enc->EncodeVideo(1, {PixelLayout::RGB32, 8, 8, small.data(), small.size()}, 0, false));
    EXPECT_FALSE(enc->EncodeAudio(0, nullptr, 0, 0)) << "stream 0 is video";
}

TEST(AsfEncoder, PicturesFasterThanTheProfileRateAreDropped)
{
    Recording rec;
    auto enc = Start(wmftest::BaseProfileStreams(93000, 320, 240), rec);
    ASSERT_TRUE(enc);
    const auto pic = wmftest::MovingPicture(320, 240, 0);
    for (int i = 0; i < 60; ++i) // two seconds at 30 frames a second into a 15 fps profile
        ASSERT_TRUE(enc->EncodeVideo(0, {PixelLayout::RGB32, 320, 240, pic.data(), pic.size()}, i * 333333LL, false));
    enc->Finish();
    std::vector<std::vector<uint8_t>> bytes;
    for (const auto& p : rec.packets)
        bytes.push_back(p->bytes);
    std::vector<wmftest::MediaObject> objects;
    std::string error;
    ASSERT_TRUE(wmftest::Reassemble(bytes, rec.packetSize, &objects, &error)) << error;
    EXPECT_EQ(objects.size(), 30u);
    for (size_t i = 1; i < objects.size(); ++i)
        EXPECT_NEAR(objects[i].presentationMs - objects[i - 1].presentationMs, 66.7, 1.0);
}

// The stream's size over 30 s of moving pictures, packets and headers
// included, stays within 10 % of the profile's bitrate for every row of the
// bitrate list.
TEST(AsfEncoder, OutputFollowsTheProfileBitrate)
{
    const struct {
        DWORD bitrate;
        int width, height;
        bool busy;
    } rows[] = {{256000, 320, 240, false}, {128000, 320, 240, false}, {93000, 320, 240, false}, {56000, 320, 240, false},
        {32000, 320, 240, false}, {28800, 240, 176, false}, {20000, 240, 176, false}, {256000, 320, 240, true},
        {32000, 320, 240, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.bitrate) + (r.busy ? " busy" : " quiet"));
        Recording rec;
        auto enc = Start(wmftest::BaseProfileStreams(r.bitrate, r.width, r.height), rec);
        ASSERT_TRUE(enc);
        const int frames = 15 * 30;
        for (int i = 0; i < frames; ++i) {
            const auto pic = wmftest::MovingPicture(r.width, r.height, i, r.busy);
            ASSERT_TRUE(enc->EncodeVideo(0, {PixelLayout::RGB32, r.width, r.height, pic.data(), pic.size()}, i * 666667LL, false));
        }
        enc->Finish();
        const double bitsPerSecond = static_cast<double>(rec.packets.size() * rec.packetSize) * 8 / 30.0;
        EXPECT_NEAR(bitsPerSecond / r.bitrate, 1.0, 0.10) << bitsPerSecond << " bit/s in packets of " << rec.packetSize;
    }
}

TEST(AsfEncoder, AudioProfilesEncodeWma2)
{
    WMStreamFormat f;
    ASSERT_NO_FATAL_FAILURE(LoadStereoAudioRow(&f));
    Recording rec;
    auto enc = Start({f}, rec);
    ASSERT_TRUE(enc);
    const std::vector<int16_t> tone = StereoTone(f.sampleRate);
    ASSERT_TRUE(enc->EncodeAudio(0, tone.data(), tone.size() / 2, 0));
    enc->Finish();
    testsupport::TempDir dir;
    rec.Save(dir.file("a.asf"));
    int status = -1;
    const std::string probe = wmftest::Probe(dir.file("a.asf"), &status);
    ASSERT_EQ(status, 0) << probe;
    EXPECT_NE(probe.find("codec_name=wmav2"), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=" + std::to_string(f.sampleRate)), std::string::npos) << probe;
    const std::string decoded = RunCommand("ffmpeg -v error -i '" + dir.file("a.asf") + "' -f null - 2>&1");
    EXPECT_EQ(decoded, "");
}

} // namespace

// The picture tap sees one picture per frame slot at the profile's frame,
// also when the bitrate budget keeps pictures from the encoder, and nothing
// once its observer is removed.
TEST(AsfEncoder, PictureTapGetsEveryFrameSlotAtTheProfileFrame)
{
    struct Counter final : IPictureObserver {
        std::vector<TappedPicture> pictures;
        int ends = 0;
        void OnPicture(const TappedPicture& p) override { pictures.push_back(p); }
        void OnPicturesEnd() override { ++ends; }
    };
    Recording rec;
    // A tiny budget and busy pictures: most pictures never reach the encoder.
    auto enc = Start(wmftest::BaseProfileStreams(20000, 240, 176), rec);
    ASSERT_TRUE(enc);
    auto tap = std::make_shared<PictureTap>();
    auto counter = std::make_shared<Counter>();
    tap->Add(counter);
    enc->SetPictureTap(tap);
    const int slots = 45; // three seconds at 15 fps, offered at 30 fps
    for (int i = 0; i < slots * 2; ++i) {
        const auto pic = wmftest::MovingPicture(320, 240, i, true);
        ASSERT_TRUE(enc->EncodeVideo(0, {PixelLayout::RGB32, 320, 240, pic.data(), pic.size()}, i * 333333LL, false));
    }
    ASSERT_EQ(counter->pictures.size(), static_cast<size_t>(slots));
    for (size_t i = 0; i < counter->pictures.size(); ++i) {
        const TappedPicture& p = counter->pictures[i];
        EXPECT_EQ(p.width, 240);
        EXPECT_EQ(p.height, 176);
        EXPECT_NEAR(static_cast<double>(p.frameInterval), 666667.0, 1.0);
        ASSERT_TRUE(p.i420);
        EXPECT_EQ(p.i420->size(), 240u * 176 * 3 / 2);
        EXPECT_EQ(p.time, static_cast<int64_t>(i) * 2 * 333333LL);
    }
    EXPECT_NE(*counter->pictures.front().i420, *counter->pictures.back().i420) << "the pictures move";

    tap->Remove(counter.get());
    EXPECT_FALSE(tap->Wanted());
    const auto pic = wmftest::MovingPicture(320, 240, 0, true);
    ASSERT_TRUE(enc->EncodeVideo(0, {PixelLayout::RGB32, 320, 240, pic.data(), pic.size()}, slots * 2 * 333333LL, false));
    EXPECT_EQ(counter->pictures.size(), static_cast<size_t>(slots));
    tap->End();
    EXPECT_EQ(counter->ends, 0);
}

namespace {

// Sound keeps its place on the stream clock: a buffer that comes after a gap
// (the source skipped) plays at its own time, not right after the buffer
// before, and a player places it where its time says.
TEST(AsfEncoder, SoundAfterAGapPlaysAtItsOwnTime)
{
    WMStreamFormat f;
    ASSERT_NO_FATAL_FAILURE(LoadStereoAudioRow(&f));
    Recording rec;
    auto enc = Start({f}, rec);
    ASSERT_TRUE(enc);
    const size_t rate = static_cast<size_t>(f.sampleRate);
    // Half a second of silence from time 0, nothing until 2 s, then a tone.
    const std::vector<int16_t> silence(rate, 0), tone = StereoTone(f.sampleRate);
    ASSERT_TRUE(enc->EncodeAudio(0, silence.data(), rate / 2, 0));
    ASSERT_TRUE(enc->EncodeAudio(0, tone.data(), tone.size() / 2, 20000000));
    enc->Finish();
    testsupport::TempDir dir;
    rec.Save(dir.file("gap.asf"));
    RunCommand("ffmpeg -v error -i '" + dir.file("gap.asf") + "' -af aresample=async=1:first_pts=0 -f s16le -ac 1 -ar 32000 '" +
               dir.file("gap.raw") + "' 2>&1");
    std::ifstream in(dir.file("gap.raw"), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t onset = 0;
    for (; onset + 1 < bytes.size(); onset += 2) {
        int16_t v;
        std::memcpy(&v, &bytes[onset], 2);
        if (std::abs(v) > 2000)
            break;
    }
    ASSERT_LT(onset + 1, bytes.size()) << "no tone decoded";
    EXPECT_NEAR(static_cast<double>(onset / 2) / 32000.0, 2.0, 0.02) << "seconds into the stream";
}

} // namespace
