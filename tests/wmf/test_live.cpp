// The live stream as players meet it, per bitrate row: a late joiner's first
// picture is the live one (read from the test source's frame code), its
// packets start with a key frame, pictures keep coming at a steady rate with
// key frames by time, and the header carries the row's bitrate and the
// start time. Rows run side by side; the benchmark covers all seven.

#include "platform/dshow/TestPatternCode.h"
#include "platform/wmf/AsfFormat.h"
#include "tests/wmf/LiveRig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace std::chrono_literals;
using wmflive::Clock;

struct RowResult {
    wmflive::Row row{};
    std::string startError;
    wmflive::FirstPicture http, mmsh;
    double httpExpected = 0, mmshExpected = 0;
    wmflive::PacketTable table;
    std::string probe;
    std::string headerBytes;
    std::chrono::system_clock::time_point started;
};

// Frames between what the source drew when the player connected and the
// frame it showed first (the 14-bit code unwrapped near the expected count).
double Lag(double expected, int code)
{
    const double period = (1 << kTestPatternCodeBits) * kTestPatternCodeStep;
    const double unwrapped = code + period * std::round((expected - code) / period);
    return expected - unwrapped;
}

void Watch(RowResult& r)
{
    wmflive::LiveRig rig;
    r.started = std::chrono::system_clock::now();
    if (!rig.Start(r.row, &r.startError))
        return;
    std::this_thread::sleep_for(3s); // late: the stream's first key frame is 3 s old
    r.http = wmflive::FirstDecodedPicture(rig.Url(), r.row.width, r.row.height);
    r.httpExpected = rig.FrameAt(r.http.connected);
    r.mmsh = wmflive::FirstDecodedPicture(rig.Url("mmsh"), r.row.width, r.row.height);
    r.mmshExpected = rig.FrameAt(r.mmsh.connected);
    // Long enough to hold the next key frame by time (8 s at most) after the
    // joiner's own; the spacing over a long run is bench_wmf live's.
    r.table = wmflive::ProbePackets(rig.Url("mmsh"), 9);
    r.probe = wmflive::Run("timeout 20 ffprobe -v error -show_streams '" + rig.Url() + "' 2>&1");
    char path[] = "/tmp/lumora-header-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) {
        close(fd);
        wmflive::Run("curl -s --max-time 2 -o '" + std::string(path) + "' '" + rig.Url() + "'");
        std::ifstream f(path, std::ios::binary);
        r.headerBytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        std::remove(path);
    }
}

TEST(LiveStream, LateJoinersSeeTheLiveEdgeAndFramesKeepComing)
{
    std::vector<RowResult> rows;
    for (int index : {0, 3, 6}) {
        rows.emplace_back();
        rows.back().row = wmflive::kRows[index];
    }
    std::vector<std::thread> threads;
    for (auto& r : rows)
        threads.emplace_back([&r] { Watch(r); });
    for (auto& t : threads)
        t.join();

    for (const RowResult& r : rows) {
        SCOPED_TRACE("row " + std::to_string(r.row.index));
        ASSERT_EQ(r.startError, "");
        // The first picture is the one the source drew when the player came
        // (not the stream's first key frame, 3 s earlier).
        for (const auto& [name, picture, expected] :
            {std::tuple{"http", &r.http, r.httpExpected}, std::tuple{"mmsh", &r.mmsh, r.mmshExpected}}) {
            ASSERT_TRUE(picture->ok) << name << ": " << picture->error;
            const double lag = Lag(expected, picture->code);
            std::printf("row %d %s: first picture frame %d, %.0f frames behind the source at connect\n", r.row.index, name,
                picture->code, lag);
            EXPECT_LE(lag, 30.0) << name << ": more than a second behind";
        }
        // Packets of a joining client: a key frame first, then a steady rate.
        ASSERT_EQ(r.table.error, "");
        std::printf("row %d (%u bit/s): %s\n", r.row.index, r.row.bitrate, r.table.Describe().c_str());
        EXPECT_TRUE(r.table.FirstIsKey());
        EXPECT_GE(r.table.FramesPerSecond(), r.row.index <= 3 ? 12.0 : 8.0);
        EXPECT_LE(r.table.MaxGap(), 0.5);
        EXPECT_LE(r.table.MaxKeySpacing(), 8.07);
        EXPECT_GT(r.table.MaxKeySpacing(), 0.0) << "no key frame after the first";
        // The header: the row's bitrate as players show it, the start time.
        EXPECT_NE(r.probe.find("bit_rate=" + std::to_string(r.row.bitrate) + "\n"), std::string::npos) << r.probe;
        asf::HeaderInfo info;
        ASSERT_TRUE(asf::ParseHeader(reinterpret_cast<const uint8_t*>(r.headerBytes.data()), r.headerBytes.size(), &info))
            << r.headerBytes.size() << " bytes";
        const auto created = static_cast<int64_t>((info.creationTime - 116444736000000000ULL) / 10000000ULL);
        const auto start = std::chrono::duration_cast<std::chrono::seconds>(r.started.time_since_epoch()).count();
        EXPECT_LE(std::llabs(created - start), 60) << "creation date " << created << ", start " << start;
        EXPECT_GE(info.maxBitrate, r.row.bitrate);
        EXPECT_GT(info.prerollMs, 0u);
        EXPECT_LE(info.prerollMs, 3000u);
    }
}

// Players other than FFmpeg join late too: mpv (FFmpeg's ASF reader, so
// like ffmpeg it starts at the key frame the server has for the joiner) and
// VLC (its own ASF and mmsh readers; it holds its network caching before the
// first picture). Each must show the live picture, not one from the stream's
// start 3 s earlier nor the next periodic key frame. The joiner's key frame
// is the next picture or, when the last one was asked for less than a second
// ago, one at most a second later.
TEST(LiveStream, MpvAndVlcJoiningLateShowTheLivePicture)
{
    struct Case {
        wmflive::Player player;
        const char* scheme;
        double withinSeconds; // of the source's frame when the player connected
    };
    const double vlcWithin = wmflive::kVlcCachingMs / 1000.0 + 1.0;
    const Case cases[] = {
        {wmflive::Player::Mpv, "http", 1.5},
        {wmflive::Player::Mpv, "mmsh", 1.5},
        {wmflive::Player::Vlc, "http", vlcWithin},
        {wmflive::Player::Vlc, "mmsh", vlcWithin},
    };
    std::string missing;
    for (auto player : {wmflive::Player::Mpv, wmflive::Player::Vlc})
        if (!wmflive::PlayerInstalled(player))
            missing += std::string(missing.empty() ? "" : " and ") + wmflive::PlayerName(player);
    if (!missing.empty())
        GTEST_SKIP() << missing << " not installed (scripts/install-deps.sh installs mpv and vlc-bin)";

    const wmflive::Row& row = wmflive::kRows[2];
    wmflive::LiveRig rig;
    std::string error;
    ASSERT_TRUE(rig.Start(row, &error)) << error;
    std::this_thread::sleep_for(3s); // late: the stream's first key frame is 3 s old
    for (const Case& c : cases) {
        const std::string name = std::string(wmflive::PlayerName(c.player)) + " " + c.scheme;
        SCOPED_TRACE(name);
        const auto picture = wmflive::FirstShownPicture(c.player, rig.Url(c.scheme), row.width, row.height);
        ASSERT_TRUE(picture.ok) << picture.error;
        const double lag = Lag(rig.FrameAt(picture.connected), picture.code);
        std::printf("%s: first picture frame %d, %.0f frames from the source at connect\n", name.c_str(), picture.code, lag);
        EXPECT_LE(std::abs(lag), c.withinSeconds * rig.SourceFps())
            << "the first picture is not the one drawn when the player connected";
    }
}

} // namespace
