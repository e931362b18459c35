// What a viewer sees, measured on screen (bench_wmf screen [seconds [rows
// [player]]]): every bitrate row (or the rows listed, "0,1,2"; only the
// columns whose label starts with `player`, "VLC") served at once as Start
// builds it; after `seconds` (10 by default) players join one at a time and
// play in a real window on a private X server (Xvfb + openbox, started for
// the run when DISPLAY is not set). The screen is grabbed 60 times a second
// and the test pattern's frame code read from the player's window, against
// the frame the source drew at that moment:
//
//   first picture   player started until its first picture was on screen
//   held            how long that first picture stayed (a picture of the
//                   test pattern's code normally stays 4 source frames,
//                   0.13 s; more means the player froze it)
//   behind live     median over the watch of (source frame when a new code
//                   appeared - that code) / source rate
//
// Players: VLC with its default options and with --network-caching=200
// (its own ASF reader, X11 output), ffplay and mpv (FFmpeg's ASF reader)
// with and without the frame-rate probe.

#include "platform/dshow/TestPatternCode.h"
#include "tests/wmf/LiveRig.h"
#include "tests/wmf/ScreenWatch.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace {

using wmflive::Clock;
using wmflive::Player;

struct ScreenMode {
    Player player;
    std::vector<std::string> options;
    const char* label;
    double behindTarget; // s, 0 = none
};
const ScreenMode kModes[] = {
    {Player::Vlc, {}, "VLC", 1.5},
    {Player::Vlc, {"--network-caching=200"}, "VLC cache 200", 0},
    {Player::Ffmpeg, {}, "ffplay", 0},
    {Player::Ffmpeg, {"-fpsprobesize", "0"}, "ffplay no probe", 0.5},
    {Player::Mpv, {}, "mpv", 0},
    {Player::Mpv, {"--demuxer-lavf-o=fpsprobesize=0"}, "mpv no probe", 0.5},
};
constexpr size_t kModeCount = std::size(kModes);
constexpr auto kWatch = std::chrono::seconds(4);
// A first picture that stays longer than this was held still.
constexpr double kHeldLimit = 0.3;

std::mutex g_playerTurn;

struct Seen {
    bool ok = false;
    double first = 0, held = 0, behind = 0;
    std::string error;
};

struct RowSeen {
    wmflive::Row row{};
    std::string error;
    std::array<Seen, kModeCount> seen;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

Seen Evaluate(const wmflive::LiveRig& rig, const wmflive::ScreenWatch& w)
{
    Seen s;
    s.error = w.error;
    if (!w.ok || w.changes.empty())
        return s;
    const double period = (1 << kTestPatternCodeBits) * kTestPatternCodeStep;
    // A code is first seen up to one grab after it appeared: half a grab on average.
    auto behind = [&](const wmflive::ScreenWatch::Change& c) {
        const double now = rig.FrameAt(c.at);
        const double shown = c.code + period * std::round((now - c.code) / period);
        return (now - shown) / rig.SourceFps() - w.grabInterval / 2;
    };
    s.first = Seconds(w.changes.front().at - w.connected);
    s.held = w.changes.size() > 1 ? Seconds(w.changes[1].at - w.changes[0].at) : Seconds(kWatch);
    std::vector<double> later;
    for (size_t i = 1; i < w.changes.size(); ++i)
        later.push_back(behind(w.changes[i]));
    if (later.empty()) {
        s.error = "the first picture never changed";
        return s;
    }
    std::nth_element(later.begin(), later.begin() + static_cast<long>(later.size() / 2), later.end());
    s.behind = later[later.size() / 2];
    s.ok = true;
    return s;
}

// Only the modes whose label starts with `only` (all when empty).
std::string g_only;
bool Chosen(const ScreenMode& m) { return std::string(m.label).compare(0, g_only.size(), g_only) == 0; }

void Measure(RowSeen& f, int seconds)
{
    wmflive::LiveRig rig;
    if (!rig.Start(f.row, &f.error))
        return;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (size_t i = 0; i < kModeCount; ++i) {
        if (!Chosen(kModes[i]))
            continue;
        // The sink makes a key frame for a joiner at most once a second.
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::lock_guard<std::mutex> turn(g_playerTurn);
        if (!wmflive::PlayerInstalled(kModes[i].player) && kModes[i].player != Player::Ffmpeg) {
            f.seen[i].error = "not installed";
            continue;
        }
        f.seen[i] = Evaluate(rig, wmflive::WatchOnScreen(kModes[i].player, rig.Url(), f.row.width, f.row.height,
                                      kModes[i].options, kWatch));
    }
}

std::vector<int> ParseRows(const char* list)
{
    std::vector<int> rows;
    std::istringstream in(list ? list : "0,1,2,3,4,5,6");
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty() && item[0] >= '0' && item[0] <= '6')
            rows.push_back(item[0] - '0');
    return rows;
}

} // namespace

int Screen(int seconds, const char* rowList, const char* only, char** argv)
{
    g_only = only ? only : "";
    if (!std::getenv("DISPLAY")) {
        // A private X server with a window manager for the run, a screen
        // just larger than the largest picture.
        const std::string script = LUMORA_SOURCE_DIR "/tests/support/x11/run-with-window-manager.sh";
        setenv("LUMORA_X11_SCREEN", "400x300x24", 1);
        std::vector<char*> args{const_cast<char*>("sh"), const_cast<char*>(script.c_str())};
        for (char** a = argv; *a; ++a)
            args.push_back(*a);
        args.push_back(nullptr);
        execvp("sh", args.data());
        std::perror("sh");
        return 1;
    }
    if (std::getenv("LUMORA_NO_X11")) {
        std::fprintf(stderr, "screen: no X server: %s\n", std::getenv("LUMORA_NO_X11"));
        return 1;
    }
    std::vector<RowSeen> rows;
    for (int i : ParseRows(rowList)) {
        rows.emplace_back();
        rows.back().row = wmflive::kRows[i];
    }
    std::vector<std::thread> threads;
    for (auto& r : rows)
        threads.emplace_back([&r, seconds] { Measure(r, seconds); });
    for (auto& t : threads)
        t.join();

    std::printf("screen: test source -> writer -> network sink, the rows at once; after %d s players join one at a time\n"
                "and play in a window under Xvfb; the screen grabbed 60 times a second, the frame code read in the window\n",
        seconds);
    std::printf("  each cell: first picture after connecting / how long it was held / behind live (s)\n");
    std::printf("  row  bit/s ");
    for (const auto& m : kModes)
        if (Chosen(m))
            std::printf("  %-19s", m.label);
    std::printf("\n");
    int status = 0, misses = 0;
    for (const auto& f : rows) {
        if (!f.error.empty()) {
            std::printf("  %d   %6u  cannot run: %s\n", f.row.index, f.row.bitrate, f.error.c_str());
            status = 1;
            continue;
        }
        std::printf("  %d   %6u", f.row.index, f.row.bitrate);
        for (size_t i = 0; i < kModeCount; ++i) {
            if (!Chosen(kModes[i]))
                continue;
            const Seen& s = f.seen[i];
            char cell[64];
            if (s.ok) {
                const bool held = s.held > kHeldLimit;
                const bool late = kModes[i].behindTarget > 0 && s.behind > kModes[i].behindTarget;
                misses += held + late;
                std::snprintf(cell, sizeof cell, "%4.2f/%4.2f%s/%4.2f%s", s.first, s.held, held ? "!" : "", s.behind,
                    late ? "!" : "");
            } else {
                std::snprintf(cell, sizeof cell, "failed");
                status = 1;
            }
            std::printf("  %-19s", cell);
        }
        std::printf("\n");
    }
    std::printf("  targets: first picture held <= %.1f s; behind live: VLC (default options) <= 1.5 s, no probe <= 0.5 s"
                " (! = missed, %d)\n",
        kHeldLimit, misses);
    for (const auto& f : rows)
        for (size_t i = 0; i < kModeCount; ++i)
            if (Chosen(kModes[i]) && !f.seen[i].ok && f.error.empty())
                std::printf("  row %d %s: %s\n", f.row.index, kModes[i].label, f.seen[i].error.c_str());
    return status;
}
