// H.264 for browsers (/live.mp4 and the watch page) against MJPEG and a peer:
//
//   bench_h264 [seconds]
//
// 1. Delay behind capture as Chromium shows it: headless Chromium on /watch
//    (Media Source Extensions) and on /live.mjpg, sampled every 250 ms over
//    `seconds` (default 30): the frame number drawn into the picture on
//    screen (read from a canvas copy in the page) against the moment the
//    writer handed that frame over. Target: /watch p50 < 300 ms, p99 <
//    500 ms, and below MJPEG's.
// 2. Bytes a viewer receives per second: /live.mp4 against the H.264
//    bitrate (target <= 1.2x) and against /live.mjpg.
// 3. Extra CPU of the whole process with 0, 1 and 5 viewers of /live.mp4
//    and of /live.mjpg (readers in a child process), per second.
// 5. HLS: Chromium on /watch without Media Source Extensions (it then plays
//    /live.m3u8 natively, as Safari on a phone does): its delay behind
//    capture; and the bytes one HLS player (ffmpeg's HLS reader) costs per
//    second against the H.264 bitrate (the sink's bytes sent while it is
//    the only viewer).
// 4. The peer: ffmpeg encoding its test source with libx264 zero-latency
//    (a key frame a second; its default of one in 250 frames gives a
//    viewer nothing for 17 s) to fragmented MP4 (frag_keyframe+empty_moov)
//    served over HTTP to one viewer: its CPU per second, bytes per second, and how long after a
//    frame was due its fragment arrived.
//
// 320 x 240 at 15 fps, the stream's bitrate 93 kbit/s (also the H.264 one).

#include "bench/support/BenchLiveSink.h"
#include "bench/support/BenchMedia.h"
#include "bench/support/BenchSupport.h"
#include "live/browser/BrowserSide.h"
#include "platform/ffmpeg/FfmpegLog.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/SinkRoutes.h"
#include "platform/wmf/WMProfile.h"
#include "platform/wmf/WMWriter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kWidth = 320, kHeight = 240;
constexpr DWORD kBitrate = 93000;
constexpr int kBits = 12; // frame number blocks along the top

using bench::CpuSeconds;
using bench::Percentile;

int64_t EpochMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Bytes one reader of `path` receives in `seconds` (after a second to settle).
double BytesPerSecond(int port, const std::string& path, int seconds)
{
    const int fd = bench::OpenLoopback(port, bench::HttpGet(path));
    size_t bytes = 0;
    const auto settle = Clock::now() + 1s;
    bench::ReceiveUntil(fd, settle + std::chrono::seconds(seconds), [&](std::string_view piece, Clock::time_point now) {
        if (now > settle)
            bytes += piece.size();
    });
    close(fd);
    return static_cast<double>(bytes) / seconds;
}

// Everything the sink sent so far ("bytes_sent" of /status.json).
long long SinkBytesSent(int port)
{
    const int fd = bench::OpenLoopback(port, bench::HttpGet("/status.json"));
    std::string answer;
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;)
        answer.append(chunk, static_cast<size_t>(n));
    close(fd);
    const size_t at = answer.find("\"bytes_sent\":");
    return at == std::string::npos ? -1 : std::atoll(answer.c_str() + at + 13);
}

// Bytes per second the sink sends while one HLS player (ffmpeg) watches.
double HlsBytesPerSecond(int port, int seconds)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (const int null = open("/dev/null", O_WRONLY); null >= 0)
            dup2(null, 2);
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/live.m3u8";
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "quiet", "-i", url.c_str(), "-c", "copy", "-f", "null", "-", nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(5s); // started, and past the first segments it fetched at once
    const long long b0 = SinkBytesSent(port);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long b1 = SinkBytesSent(port);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return static_cast<double>(b1 - b0) / wall;
}

// When each frame (by its number) was handed over, wall clock in ms.
struct HandOverLog final : IPictureObserver {
    std::vector<std::atomic<int64_t>> handed = std::vector<std::atomic<int64_t>>(1 << kBits);
    void OnPicture(const TappedPicture& p) override
    {
        const auto n = static_cast<size_t>((p.time + p.frameInterval / 2) / p.frameInterval) % handed.size();
        handed[n] = EpochMs();
    }
};

long long Field(const std::string& json, const char* name)
{
    const std::string key = std::string("\"") + name + "\":";
    const size_t at = json.find(key);
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size());
}

// Chromium on `url`: the delay of the picture on screen behind its hand-over.
std::vector<double> BrowserDelays(const std::string& url, int seconds, const HandOverLog& log, std::string* mode,
    std::vector<double>* ahead)
{
    const std::string command = "timeout " + std::to_string(seconds + 90) + " node " LUMORA_SOURCE_DIR
        "/tests/live/browser/watch_probe.mjs " + url + " 640x480 " + std::to_string(seconds * 4 + 8) + " 250 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<double> delays;
    char line[4096];
    int sample = 0;
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        const std::string text(line);
        if (text.rfind("sample ", 0) != 0)
            continue;
        const size_t m = text.find("\"mode\":\"");
        if (m != std::string::npos)
            *mode = text.substr(m + 8, text.find('"', m + 8) - m - 8);
        const long long code = Field(text, "code"), now = Field(text, "now");
        if (++sample <= 8 || code < 0) // the first two seconds: the page starting
            continue;
        if (const size_t a = text.find("\"ahead\":"); a != std::string::npos && ahead)
            ahead->push_back(std::atof(text.c_str() + a + 8) * 1000);
        const int64_t handed = log.handed[static_cast<size_t>(code)];
        if (handed > 0 && now >= handed)
            delays.push_back(static_cast<double>(now - handed));
    }
    if (pipe)
        pclose(pipe);
    return delays;
}

uint32_t Be32(const std::string& s, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16
        | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 | static_cast<uint8_t>(s[at + 3]);
}

// The peer: ffmpeg serving fragmented MP4 of its test source to one viewer.
void Peer(int seconds)
{
    const int port = 20000 + static_cast<int>(getpid() % 20000);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/peer.mp4";
    const pid_t pid = fork();
    if (pid == 0) {
        if (const int null = open("/dev/null", O_WRONLY); null >= 0)
            dup2(null, 2);
        const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
            ("testsrc=size=" + size + ":rate=15").c_str(), "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
            "-b:v", "93k", "-g", "15", "-f", "mp4", "-movflags", "frag_keyframe+empty_moov", "-listen", "1", url.c_str(), nullptr);
        _exit(127);
    }
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        std::this_thread::sleep_for(50ms);
        fd = bench::ConnectLoopback(port);
    }
    if (fd < 0) {
        std::printf("  peer: ffmpeg did not listen\n");
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
    }
    const std::string request = bench::HttpGet("/peer.mp4");
    [[maybe_unused]] ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const auto start = Clock::now();
    std::string raw, buffer;
    bool pastHead = false, chunked = false;
    size_t bytes = 0;
    uint32_t timescale = 0;
    std::vector<double> delays; // per frame: arrival of its fragment after the frame was due
    Clock::time_point first{};
    bench::ReceiveUntil(fd, start + std::chrono::seconds(seconds), [&](std::string_view piece, Clock::time_point now) {
        if (first == Clock::time_point{})
            first = now; // the peer's header: about when its first frame was due
        bytes += piece.size();
        raw.append(piece);
        // The HTTP head, then chunks (ffmpeg's server sends chunked).
        if (!pastHead) {
            const size_t head = raw.find("\r\n\r\n");
            if (head == std::string::npos)
                return;
            chunked = raw.substr(0, head).find("chunked") != std::string::npos;
            raw.erase(0, head + 4);
            pastHead = true;
        }
        if (!chunked) {
            buffer += raw;
            raw.clear();
        }
        for (size_t line; chunked && (line = raw.find("\r\n")) != std::string::npos;) {
            const size_t size = std::strtoul(raw.c_str(), nullptr, 16);
            if (raw.size() < line + 2 + size + 2)
                break;
            buffer += raw.substr(line + 2, size);
            raw.erase(0, line + 2 + size + 2);
        }
        // Top-level boxes as they complete.
        while (buffer.size() >= 8 && buffer.size() >= Be32(buffer, 0)) {
            const size_t size = Be32(buffer, 0);
            if (size < 8)
                break;
            const std::string box = buffer.substr(0, size);
            buffer.erase(0, size);
            if (const size_t m = box.find("mdhd"); box.compare(4, 4, "moov") == 0 && m != std::string::npos)
                timescale = Be32(box, m + 4 + 12);
            const size_t t = box.find("tfdt"), r = box.find("trun");
            if (box.compare(4, 4, "moof") != 0 || t == std::string::npos || r == std::string::npos || !timescale)
                continue;
            const uint64_t base = box[t + 4] == 1 ? (uint64_t(Be32(box, t + 8)) << 32 | Be32(box, t + 12)) : Be32(box, t + 8);
            const uint32_t count = Be32(box, r + 8);
            const double frameTicks = timescale / 15.0;
            for (uint32_t i = 0; i < count; ++i) {
                const double due = (static_cast<double>(base) + i * frameTicks) / timescale;
                delays.push_back(std::chrono::duration<double, std::milli>(now - first).count() - due * 1000);
            }
        }
    });
    close(fd);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    kill(pid, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("  peer (ffmpeg testsrc -> libx264 zerolatency, a key frame a second -> mp4 frag_keyframe+empty_moov over HTTP, 1 viewer): "
                "CPU %.1f ms/s (process start included), %.0f bytes/s, frame due -> its fragment at the viewer p50 %.0f ms, "
                "p99 %.0f ms (%zu frames)\n",
        cpu * 1000 / wall, static_cast<double>(bytes) / wall, Percentile(delays, 0.5), Percentile(delays, 0.99), delays.size());
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(4, std::atoi(argv[1])) : 30;
    signal(SIGPIPE, SIG_IGN);
    RouteFfmpegLog();

    bench::LiveBrowserSink live;
    if (!live.Start({kWidth, kHeight, kBitrate, kBits, {}, {}}))
        return 1;
    const int port = live.Port();
    PictureTap* tap = &live.Tap();
    IWMWriterSinkRoutes* side = &live.Routes();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    std::printf("bench_h264: %dx%d at 15 fps, stream and H.264 bitrate %u bit/s, %d s per window, %s\n", kWidth, kHeight,
        kBitrate, seconds, base.c_str());
    std::fflush(stdout);

    auto log = std::make_shared<HandOverLog>();
    tap->Add(log);
    for (const char* path : {"/watch", "/live.mjpg"}) {
        std::string mode;
        std::vector<double> ahead;
        const std::vector<double> d = BrowserDelays(base + path, seconds, *log, &mode, &ahead);
        std::printf("  Chromium on %s (%s): delay behind capture p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu samples)%s\n",
            path, mode.c_str(), Percentile(d, 0.5), Percentile(d, 0.99), Percentile(d, 1.0), d.size(),
            std::string(path) == "/watch" ? "  target p50 < 300, p99 < 500, below MJPEG's" : "");
        if (!ahead.empty())
            std::printf("    video buffered ahead of the play position: p50 %.0f ms, p99 %.0f ms\n", Percentile(ahead, 0.5),
                Percentile(ahead, 0.99));
    }
    {
        // The page plays /live.m3u8 natively when it finds no Media Source Extensions.
        setenv("PROBE_WITHOUT_MSE", "1", 1);
        std::string mode;
        const std::vector<double> d = BrowserDelays(base + "/watch", seconds, *log, &mode, nullptr);
        unsetenv("PROBE_WITHOUT_MSE");
        std::printf("  Chromium on /watch without MSE (%s): delay behind capture p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu samples)\n",
            mode.c_str(), Percentile(d, 0.5), Percentile(d, 0.99), Percentile(d, 1.0), d.size());
    }
    tap->Remove(log.get());
    std::this_thread::sleep_for(8s); // the HLS viewer lapses
    const double hls = HlsBytesPerSecond(port, std::min(seconds, 15));
    std::printf("  bytes one HLS player (ffmpeg) costs: %.0f B/s = %.2fx the H.264 bitrate\n", hls, hls * 8 / kBitrate);

    const double mp4 = BytesPerSecond(port, "/live.mp4", std::min(seconds, 15));
    const double mjpeg = BytesPerSecond(port, "/live.mjpg", std::min(seconds, 15));
    std::printf("  bytes a viewer receives: /live.mp4 %.0f B/s = %.2fx the H.264 bitrate (target <= 1.2x); "
                "/live.mjpg %.0f B/s; MP4 / MJPEG = %.2f\n",
        mp4, mp4 * 8 / kBitrate, mjpeg, mjpeg > 0 ? mp4 / mjpeg : 0.0);

    for (const char* path : {"/live.mp4", "/live.mjpg"}) {
        double zero = 0;
        for (int viewers : {0, 1, 5}) {
            // Let the feeds detach after the last window before measuring none.
            std::this_thread::sleep_for(viewers ? 2s : 12s);
            const pid_t child = viewers ? bench::ReadingViewers(port, path, viewers) : 0;
            std::this_thread::sleep_for(1500ms);
            const double cpu0 = CpuSeconds(RUSAGE_SELF);
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, 10)));
            const double perSecond = (CpuSeconds(RUSAGE_SELF) - cpu0) * 1000 / std::chrono::duration<double>(Clock::now() - t0).count();
            if (viewers == 0)
                zero = perSecond;
            std::printf("  %d viewers of %s: process CPU %.1f ms/s, extra over none %.1f ms/s  [viewers counted: %u]\n",
                viewers, path, perSecond, perSecond - zero, side->GetViewerCount());
            if (child > 0) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
        }
    }
    live.Stop();
    Peer(std::min(seconds, 15));
    return 0;
}
