#pragma once
// A live stream as the program serves it, for tests and benchmarks that
// watch it with real players: the built-in test source (its default
// format, as Start connects it) into the ASF writer (live, de-interlacing
// on) with a bitrate row's profile, served by the network sink to at most
// 10 clients on a free loopback port. Also the player runs that read it
// back: the first decoded picture's frame code, and ffprobe's packet list.

#include "platform/dshow/DShow.h"
#include "platform/wmf/WMAsfWriter.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace wmflive {

using Clock = std::chrono::steady_clock;

struct Row {
    int index;
    DWORD bitrate;
    int width, height;
};
// The seven bitrate rows of the program (row 5 and 6 keep the base frame).
extern const Row kRows[7];

class LiveRig {
public:
    LiveRig() = default;
    ~LiveRig() { Stop(); }
    LiveRig(const LiveRig&) = delete;
    LiveRig& operator=(const LiveRig&) = delete;

    // Builds and runs the graph; false (and why) when it cannot.
    bool Start(const Row& row, std::string* error);
    void Stop();

    DWORD Port() const { return m_port; }
    std::string Url(const char* scheme = "http") const;
    // When the source began drawing (frame 0), and its frame rate.
    Clock::time_point Started() const { return m_started; }
    double SourceFps() const { return m_fps; }
    // The frame number the source draws at that moment.
    double FrameAt(Clock::time_point t) const;

private:
    ComPtr<IFilterGraph> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IBaseFilter> m_source, m_writer;
    ComPtr<IWMWriterNetworkSink> m_sink;
    DWORD m_port = 0;
    Clock::time_point m_started;
    double m_fps = 30;
};

// A player joins the stream and its first picture's frame code is read.
struct FirstPicture {
    bool ok = false;
    int code = -1;                    // frame number (see ReadTestPatternCode), -1 when unreadable
    Clock::time_point connected, decoded; // player started / had the picture
    std::string error;
};
// ffmpeg connects, decodes one picture and exits. `inputOptions` go before
// -i (player settings such as -fpsprobesize 0).
FirstPicture FirstDecodedPicture(const std::string& url, int width, int height, const std::string& inputOptions = {});

enum class Player { Ffmpeg, Mpv, Vlc };
const char* PlayerName(Player player);
// The player's program is on the PATH.
bool PlayerInstalled(Player player);
// VLC's network caching as these runs set it (its default): it holds this
// much of the stream before it shows the first picture.
constexpr int kVlcCachingMs = 1000;

// The player joins `url` and writes the pictures it shows as PNG files into
// a fresh folder: `decoded` is when the first complete one appeared (mpv
// writes as fast as it decodes, VLC's scene filter as pictures go to
// display). The picture is read as 8-bit gray at `width` x `height`. The
// player is stopped and reaped, the folder removed; it gets 30 s at most.
// `options` go to the player before the address (ffmpeg: before -i). VLC
// runs as nobody when we are root (it refuses to run as root).
FirstPicture FirstShownPicture(Player player, const std::string& url, int width, int height,
    const std::vector<std::string>& options = {});

// ffprobe's packets of the first video stream for `seconds` of stream time.
struct PacketTable {
    std::vector<std::pair<double, bool>> packets; // pts seconds, key frame
    std::string error;
    bool FirstIsKey() const { return !packets.empty() && packets.front().second; }
    double FramesPerSecond() const;
    double MaxGap() const;
    double MaxKeySpacing() const; // between key frames (0 with fewer than two)
    std::string Describe() const; // one table line
};
PacketTable ProbePackets(const std::string& url, int seconds);

// Runs a shell command; its standard output (and status).
std::string Run(const std::string& command, int* status = nullptr);

// A row's profile (the base system profile edited as the bitrate list does).
ComPtr<IWMProfile> RowProfile(const Row& row);

} // namespace wmflive
