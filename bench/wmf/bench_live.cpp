// Live-edge figures of the served stream, every bitrate row side by side in
// one run (bench_wmf live [seconds]): the test source into the writer and
// the network sink, as Start builds it; after `seconds` (60 by default) late
// joiners connect, one player run at a time over all rows so that no two
// players share this machine's cores while they are timed: ffmpeg and mpv
// (http://, mmsh://, and http:// without the frame-rate probe) and VLC
// (http://, mmsh://; its own ASF reader, 1 s network caching). Joins on one
// row are at least 1.5 s apart, so none waits for another's key frame.
//
//   connect -> first picture   player started until it had a picture
//                              (ffmpeg: decoded and exited; mpv: first
//                              picture written; VLC: first picture sent
//                              to display)
//   behind capture             the source's frame counter at that moment
//                              minus the frame code in the picture
//   fps, max gap, key spacing  ffprobe's packets over 15 s (mmsh://)
//   bytes                      a plain client over the whole run vs the row

#include "bench/support/BenchSupport.h"
#include "platform/dshow/TestPatternCode.h"
#include "tests/wmf/LiveRig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using wmflive::Clock;
using wmflive::Player;

struct JoinMode {
    Player player;
    const char* scheme;
    std::vector<std::string> options;
    const char* label;
};
const JoinMode kModes[] = {
    {Player::Ffmpeg, "http", {}, "http"},
    {Player::Ffmpeg, "mmsh", {}, "mmsh"},
    {Player::Ffmpeg, "http", {"-fpsprobesize", "0"}, "http, no fps probe"},
    {Player::Mpv, "http", {}, "http"},
    {Player::Mpv, "mmsh", {}, "mmsh"},
    {Player::Mpv, "http", {"--demuxer-lavf-o=fpsprobesize=0"}, "http, no fps probe"},
    {Player::Vlc, "http", {}, "http"},
    {Player::Vlc, "mmsh", {}, "mmsh"},
};
constexpr size_t kModeCount = std::size(kModes);

// Only one player runs at a time, whichever row it joins.
std::mutex g_playerTurn;

struct Join {
    bool ok = false;
    double connect = 0, behind = 0;
    std::string error;
};

struct RowFigures {
    wmflive::Row row{};
    std::string error;
    std::array<Join, kModeCount> joins;
    wmflive::PacketTable table;
    double bitsPerSecond = 0;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The frame code unwrapped near the source's count when the picture came:
// seconds behind.
double Behind(const wmflive::LiveRig& rig, const wmflive::FirstPicture& p)
{
    const double now = rig.FrameAt(p.decoded);
    const double period = (1 << kTestPatternCodeBits) * kTestPatternCodeStep;
    const double shown = p.code + period * std::round((now - p.code) / period);
    return (now - shown) / rig.SourceFps();
}

void Measure(RowFigures& f, int seconds)
{
    wmflive::LiveRig rig;
    if (!rig.Start(f.row, &f.error))
        return;
    // A plain client counts what a viewer receives over the whole run.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bytes{0};
    Clock::time_point countFrom;
    std::thread counter([&] {
        const int fd = bench::OpenLoopback(static_cast<int>(rig.Port()), "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n");
        if (fd < 0)
            return;
        char buf[65536];
        const auto start = Clock::now();
        bool counting = false;
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            // The first 5 s hold the header and the join; count after them.
            if (!counting && Clock::now() - start > std::chrono::seconds(5)) {
                counting = true;
                countFrom = Clock::now();
            }
            if (counting)
                bytes += static_cast<uint64_t>(n);
        }
        close(fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    // Every row's packet table at once (light work), before the timed joins.
    f.table = wmflive::ProbePackets(rig.Url("mmsh"), 15);
    for (size_t i = 0; i < kModeCount; ++i) {
        const JoinMode& mode = kModes[i];
        // Each join comes alone: the sink asks for a key frame at most once a
        // second, and a joiner sooner after the last waits for the next one.
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        wmflive::FirstPicture p;
        {
            std::lock_guard<std::mutex> turn(g_playerTurn);
            p = wmflive::FirstShownPicture(mode.player, rig.Url(mode.scheme), f.row.width, f.row.height, mode.options);
        }
        Join& j = f.joins[i];
        j.ok = p.ok;
        j.error = p.error;
        if (p.ok) {
            j.connect = Seconds(p.decoded - p.connected);
            j.behind = Behind(rig, p);
        }
    }
    stop = true;
    const auto end = Clock::now();
    counter.join();
    if (countFrom.time_since_epoch().count())
        f.bitsPerSecond = bytes * 8.0 / Seconds(end - countFrom);
}

// The most a player may take to its first picture and how far behind it may be.
double Target(Player player) { return player == Player::Vlc ? wmflive::kVlcCachingMs / 1000.0 + 0.5 : 0.5; }
double BehindTarget(Player player) { return player == Player::Vlc ? wmflive::kVlcCachingMs / 1000.0 + 0.5 : 1.0; }

} // namespace

int Live(int seconds)
{
    std::vector<RowFigures> rows(7);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].row = wmflive::kRows[i];
        threads.emplace_back([&rows, i, seconds] { Measure(rows[i], seconds); });
    }
    for (auto& t : threads)
        t.join();
    std::printf("live: test source -> writer -> network sink, every row at once; late joiners after %d s, one player at a time\n",
        seconds);
    std::printf("stream (ffprobe's packets over 15 s on mmsh://; bytes of a plain client over the run against the row)\n");
    std::printf("  row  bit/s    fps   max gap  key spacing  bytes/row\n");
    int status = 0;
    for (const auto& f : rows) {
        if (!f.error.empty()) {
            std::printf("  %d  %6u  cannot run: %s\n", f.row.index, f.row.bitrate, f.error.c_str());
            status = 1;
            continue;
        }
        std::printf("  %d   %6u  %5.2f  %5.2f s   %5.2f s     %5.3f%s%s\n", f.row.index, f.row.bitrate, f.table.FramesPerSecond(),
            f.table.MaxGap(), f.table.MaxKeySpacing(), f.bitsPerSecond / f.row.bitrate,
            f.table.FirstIsKey() ? "" : "  (first packet not key)", f.table.error.empty() ? "" : "  (ffprobe failed)");
    }
    std::printf("  targets: fps >= 12 (rows 0-3) / 8 (4-6), gap <= 0.5 s, key spacing <= 8 s, bytes within 10 %%\n");

    int misses = 0, measured = 0;
    for (Player player : {Player::Ffmpeg, Player::Mpv, Player::Vlc}) {
        std::vector<size_t> modes;
        for (size_t i = 0; i < kModeCount; ++i)
            if (kModes[i].player == player)
                modes.push_back(i);
        std::printf("%s: connect -> first picture / behind capture (s)%s\n", wmflive::PlayerName(player),
            wmflive::PlayerInstalled(player) ? "" : "  (not installed)");
        std::printf("  row  bit/s ");
        for (size_t i : modes)
            std::printf("  %-22s", kModes[i].label);
        std::printf("\n");
        for (const auto& f : rows) {
            if (!f.error.empty())
                continue;
            std::printf("  %d   %6u", f.row.index, f.row.bitrate);
            for (size_t i : modes) {
                const Join& j = f.joins[i];
                char cell[64];
                if (j.ok) {
                    const bool slow = j.connect >= Target(player), late = j.behind >= BehindTarget(player);
                    std::snprintf(cell, sizeof cell, "%5.2f%s / %5.2f%s", j.connect, slow ? "!" : " ", j.behind, late ? "!" : " ");
                    misses += slow + late;
                    measured += 2;
                } else {
                    std::snprintf(cell, sizeof cell, "   failed");
                    status = 1;
                }
                std::printf("  %-22s", cell);
            }
            std::printf("\n");
        }
        std::printf("  targets: connect < %.1f s, behind < %.1f s%s\n", Target(player), BehindTarget(player),
            player == Player::Vlc ? " (its 1 s network caching + 0.5 s)" : "");
    }
    std::printf("  ! = misses its target (%d of %d figures); no fps probe = -fpsprobesize 0 / --demuxer-lavf-o=fpsprobesize=0:\n"
                "  without it FFmpeg's ASF reader (in ffmpeg and mpv) gathers about 40 frames to guess the rate before its first picture\n",
        misses, measured);
    for (const auto& f : rows)
        for (size_t i = 0; i < kModeCount; ++i)
            if (!f.joins[i].ok && f.error.empty())
                std::printf("  row %d %s %s: %s\n", f.row.index, wmflive::PlayerName(kModes[i].player), kModes[i].label,
                    f.joins[i].error.c_str());
    return status;
}
