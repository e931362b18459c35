// The browser side of the network sink, against its targets and a peer:
//
//   bench_browser [seconds]
//
// 1. Extra CPU per frame of the whole process (encoder, sink, JPEG feed)
//    with 0, 1 and 4 MJPEG viewers attached, in one run: 320 x 240 at
//    15 fps, the viewers reading from a child process. Target: JPEG under
//    1 ms CPU per frame.
// 2. MJPEG delivery delay: a picture handed to the sink (the writer's tap)
//    to the last byte of its JPEG at a loopback viewer, p50 / p99 (the
//    frame number is drawn into the picture and read back from the JPEG).
//    Target: p99 under 100 ms.
//    And the Windows Media side: packet handed to the sink -> last byte at
//    a plain HTTP player, p50 / p99, without and with a stalled MJPEG viewer
//    (one that never reads) attached.
// 3. The peer: the ffmpeg command line encoding the same I420 pictures to
//    MJPEG and serving them with `-f mpjpeg` over HTTP to one viewer (CPU per
//    frame, process start included); and our JPEG encoder alone on them.

#include "bench/support/BenchLiveSink.h"
#include "bench/support/BenchMedia.h"
#include "bench/support/BenchSupport.h"
#include "platform/wmf/AsfEncoder.h"
#include "live/browser/BrowserFeed.h"
#include "live/browser/BrowserSide.h"
#include "platform/wmf/SinkRoutes.h"
#include "live/browser/JpegEncoder.h"
#include "platform/ffmpeg/FfmpegLog.h"
#include "platform/wmf/WMProfile.h"
#include "platform/wmf/WMWriter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <jpeglib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The frame number drawn into a JPEG, or -1.
int FrameNumberOf(const std::string& jpeg)
{
    struct Error {
        jpeg_error_mgr mgr;
        std::jmp_buf jump;
    } error{};
    jpeg_decompress_struct c{};
    c.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = [](j_common_ptr p) { std::longjmp(reinterpret_cast<Error*>(p->err)->jump, 1); };
    if (setjmp(error.jump) != 0) {
        jpeg_destroy_decompress(&c);
        return -1;
    }
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&c, TRUE);
    c.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&c);
    std::vector<unsigned char> row(c.output_width);
    int n = 0;
    while (c.output_scanline < c.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&c, rows, 1);
        if (c.output_scanline == 8)
            for (int b = 0; b < kBits; ++b)
                n |= (row[static_cast<size_t>(b * 16 + 8)] > 128 ? 1 : 0) << b;
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return n;
}

// Records when each frame was handed over, and keeps the first pictures
// for the peer.
struct HandOverLog final : IPictureObserver {
    std::vector<std::atomic<int64_t>> handed = std::vector<std::atomic<int64_t>>(1 << kBits);
    std::mutex lock;
    std::vector<TappedPicture> kept;
    void OnPicture(const TappedPicture& p) override
    {
        const auto n = static_cast<size_t>((p.time + p.frameInterval / 2) / p.frameInterval) % handed.size();
        handed[n] = Clock::now().time_since_epoch().count();
        std::lock_guard g(lock);
        if (kept.size() < 150)
            kept.push_back(p);
    }
};

// When each data packet was handed to the sink, by its bytes.
struct PacketLog {
    std::mutex lock;
    std::unordered_map<size_t, int64_t> handed;
    std::atomic<bool> on{false};
    void Note(const asf::DataPacket& p)
    {
        if (!on)
            return;
        const size_t key = std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size()));
        std::lock_guard g(lock);
        handed.emplace(key, Clock::now().time_since_epoch().count());
    }
};

// A plain HTTP player for `seconds`: the delay of every packet it gets
// that was handed over while it listened.
std::vector<double> PlayerDelays(int port, int seconds, size_t headerSize, size_t packetSize, PacketLog& log)
{
    std::vector<double> delays;
    const int64_t joined = Clock::now().time_since_epoch().count();
    const int fd = bench::OpenLoopback(port, "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n");
    std::string buffer;
    bool pastHead = false;
    bench::ReceiveUntil(fd, Clock::now() + std::chrono::seconds(seconds), [&](std::string_view piece, Clock::time_point arrived) {
        const auto now = arrived.time_since_epoch().count();
        buffer.append(piece);
        if (!pastHead) {
            const size_t at = buffer.find("\r\n\r\n");
            if (at == std::string::npos || buffer.size() < at + 4 + headerSize)
                return;
            buffer.erase(0, at + 4 + headerSize);
            pastHead = true;
        }
        size_t used = 0;
        for (; buffer.size() - used >= packetSize; used += packetSize) {
            const size_t key = std::hash<std::string_view>()(std::string_view(buffer.data() + used, packetSize));
            std::lock_guard g(log.lock);
            const auto it = log.handed.find(key);
            if (it != log.handed.end() && it->second > joined) // not the backlog a joiner gets first
                delays.push_back(static_cast<double>(now - it->second) / 1e6);
        }
        buffer.erase(0, used);
    });
    close(fd);
    return delays;
}

} // namespace

// One MJPEG viewer for `seconds`: the delay of every picture it gets, from
// the picture handed to the sink to the last byte of its JPEG.
std::vector<double> MjpegDelays(int port, int seconds, const HandOverLog& log, size_t* bytes, size_t* received = nullptr)
{
    std::vector<double> delays;
    size_t parts = 0;
    const int fd = bench::OpenLoopback(port, bench::HttpGet("/live.mjpg"));
    std::string buffer;
    bench::ReceiveUntil(fd, Clock::now() + std::chrono::seconds(seconds), [&](std::string_view piece, Clock::time_point arrived) {
        const auto now = arrived.time_since_epoch().count();
        buffer.append(piece);
        for (;;) {
            const size_t length = buffer.find("Content-Length: ");
            const size_t body = buffer.find("\r\n\r\n", length);
            if (length == std::string::npos || body == std::string::npos)
                break;
            const size_t size = std::strtoul(buffer.c_str() + length + 16, nullptr, 10);
            if (buffer.size() < body + 4 + size)
                break;
            const std::string jpeg = buffer.substr(body + 4, size);
            buffer.erase(0, body + 4 + size);
            const int frame = FrameNumberOf(jpeg);
            if (frame < 0 || parts++ < 3) // the first parts may predate the log
                continue;
            const int64_t handed = log.handed[static_cast<size_t>(frame)];
            if (handed > 0)
                delays.push_back(static_cast<double>(now - handed) / 1e6);
            *bytes += size;
        }
    });
    close(fd);
    if (received)
        *received = parts;
    return delays;
}

int main(int argc, char** argv)
{
    // bench_browser [slowlink] [seconds]
    const bool slowLink = argc > 1 && std::string(argv[1]) == "slowlink";
    const int seconds = argc > 1 + slowLink ? std::max(2, std::atoi(argv[1 + slowLink])) : (slowLink ? 20 : 8);
    signal(SIGPIPE, SIG_IGN);
    RouteFfmpegLog(); // as in the program: the encoder's remarks stay off the console
    if (slowLink) {
        // A network namespace of our own, so the throttle touches nothing else.
        if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo mtu 1500 up") != 0) {
            std::fprintf(stderr, "bench_browser slowlink: needs root for a network namespace (unshare: %s)\n",
                std::strerror(errno));
            return 1;
        }
    }

    PacketLog packets;
    std::atomic<int> frames{0};
    std::atomic<int64_t> encoderCpuUs{0}; // CPU of the encoding thread
    bench::LiveBrowserSink live;
    if (!live.Start({kWidth, kHeight, kBitrate, kBits, [&](const asf::DataPacket& p) { packets.Note(p); },
            [&] {
                encoderCpuUs = static_cast<int64_t>(CpuSeconds(RUSAGE_THREAD) * 1e6);
                ++frames;
            }}))
        return 1;
    const int port = live.Port();
    PictureTap* tap = &live.Tap();
    IWMWriterSinkRoutes* side = &live.Routes();

    // 1. CPU per frame with 0, 1 and 4 viewers. The first window starts once
    // the feed has let go of the tap after its priming at the start.
    std::this_thread::sleep_for(1s);
    for (int i = 0; i < 300 && tap->Wanted(); ++i)
        std::this_thread::sleep_for(100ms);
    std::printf("bench_browser: %dx%d at 15 fps, %u bit/s, %d s per window\n", kWidth, kHeight, kBitrate, seconds);
    // The encoding thread's own CPU (WMV2, which varies with the picture)
    // is shown apart, so the sink and the browser side are measured without
    // its noise; its extra share is the tap's copy of each picture.
    double base = 0, baseEncoder = 0, extraOne = 0;
    for (int viewers : {0, 1, 4}) {
        if (slowLink)
            break;
        const pid_t child = viewers ? bench::ReadingViewers(port, "/live.mjpg", viewers) : 0;
        std::this_thread::sleep_for(1500ms);
        const double cpu0 = CpuSeconds(RUSAGE_SELF);
        const int64_t enc0 = encoderCpuUs;
        const int f0 = frames;
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double n = frames - f0;
        const double encoder = static_cast<double>(encoderCpuUs - enc0) / 1000 / n;
        const double rest = (CpuSeconds(RUSAGE_SELF) - cpu0) * 1000 / n - encoder;
        if (viewers == 0) {
            base = rest;
            baseEncoder = encoder;
        }
        const double extra = rest - base + (encoder - baseEncoder);
        if (viewers == 1)
            extraOne = extra;
        std::printf("  %d MJPEG viewers: encoding thread %.3f ms, sink and browser side %.3f ms CPU per frame; "
                    "extra over 0 viewers %.3f ms  [viewers counted: %u]\n",
            viewers, encoder, rest, extra, side->GetViewerCount());
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

    // 2. Delivery delay, one viewer decoding the frame number.
    auto log = std::make_shared<HandOverLog>();
    tap->Add(log);
    if (slowLink) {
        // The same viewer behind a slow link: the namespace's loopback
        // throttled as a home uplink would be.
        for (const char* rate : {"400kbit", "100kbit"}) {
            const std::string tc = std::string("tc qdisc replace dev lo root tbf rate ") + rate + " burst 4kb latency 2s";
            if (std::system(tc.c_str()) != 0) {
                std::fprintf(stderr, "bench_browser: tc could not throttle the link\n");
                return 1;
            }
            size_t bytes = 0;
            const std::vector<double> delays = MjpegDelays(port, seconds, *log, &bytes);
            std::printf("  MJPEG delay behind live at %s: p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu pictures, %.0f bytes "
                        "each)  target < 1000 ms%s\n",
                rate, Percentile(delays, 0.5), Percentile(delays, 0.99), Percentile(delays, 1.0), delays.size(),
                delays.empty() ? 0.0 : double(bytes) / delays.size(), Percentile(delays, 0.99) < 1000 ? "" : "  !");
        }
        tap->Remove(log.get());
        live.Stop();
        return 0;
    }
    size_t bytes = 0, parts = 0;
    const std::vector<double> delays = MjpegDelays(port, seconds, *log, &bytes, &parts);
    tap->Remove(log.get());
    std::printf("  MJPEG delay, picture handed to the sink -> last byte at a loopback viewer: p50 %.2f ms, p99 %.2f ms "
                "(%zu pictures, %.0f bytes each)  target p99 < 100 ms\n",
        Percentile(delays, 0.5), Percentile(delays, 0.99), delays.size(), delays.empty() ? 0.0 : double(bytes) / delays.size());
    std::printf("  MJPEG pictures a viewer received: %.1f a second over %d s  target >= 14 (the stream's 15)\n",
        double(parts) / seconds, seconds);

    // Players beside a stalled MJPEG viewer.
    asf::HeaderInfo info;
    asf::ParseHeader(live.Header().data(), live.Header().size(), &info);
    packets.on = true;
    for (bool stalled : {false, true}) {
        int blocker = -1;
        if (stalled) {
            blocker = socket(AF_INET, SOCK_STREAM, 0);
            const int small = 4096;
            setsockopt(blocker, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port));
            connect(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a);
            const std::string request = "GET /live.mjpg HTTP/1.1\r\n\r\n";
            [[maybe_unused]] ssize_t sent = send(blocker, request.data(), request.size(), MSG_NOSIGNAL);
        }
        const auto d = PlayerDelays(port, seconds, live.Header().size(), info.packetSize, packets);
        std::printf("  Windows Media packet delay to a plain HTTP player, %s: p50 %.2f ms, p99 %.2f ms (%zu packets)\n",
            stalled ? "with a stalled MJPEG viewer" : "no MJPEG viewer", Percentile(d, 0.5), Percentile(d, 0.99), d.size());
        if (blocker >= 0)
            close(blocker);
    }
    packets.on = false;

    live.Stop();

    // 3. Our encoder alone and the peer on the same pictures.
    std::vector<TappedPicture> kept;
    {
        std::lock_guard g(log->lock);
        kept = log->kept;
    }
    if (kept.empty()) {
        std::fprintf(stderr, "no pictures kept\n");
        return 1;
    }
    for (int quality : {BrowserFeed::kStartQuality, BrowserFeed::kMaxQuality}) {
        JpegEncoder jpeg;
        std::vector<uint8_t> out;
        size_t total = 0;
        const double c0 = CpuSeconds(RUSAGE_THREAD);
        constexpr int kRounds = 4;
        for (int r = 0; r < kRounds; ++r)
            for (const auto& p : kept) {
                jpeg.Encode(p.i420->data(), p.width, p.height, quality, &out);
                total += out.size();
            }
        const double ours = (CpuSeconds(RUSAGE_THREAD) - c0) / (kRounds * kept.size()) * 1000;
        std::printf("  our JPEG encoder alone, quality %d: %.3f ms CPU per picture, %zu bytes each  target < 1 ms\n",
            quality, ours, total / (kRounds * kept.size()));
    }
    const std::string raw = "/tmp/bench_browser.yuv";
    {
        std::ofstream f(raw, std::ios::binary);
        for (const auto& p : kept)
            f.write(reinterpret_cast<const char*>(p.i420->data()), static_cast<std::streamsize>(p.i420->size()));
    }
    const int peerPort = 20000 + static_cast<int>(getpid() % 20000);
    const pid_t ffmpeg = fork();
    if (ffmpeg == 0) {
        const std::string url = "http://127.0.0.1:" + std::to_string(peerPort) + "/live.mjpg";
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-f", "rawvideo", "-pix_fmt", "yuvj420p", "-s", "320x240",
            "-r", "15", "-i", raw.c_str(), "-c:v", "mjpeg", "-q:v", "6", "-f", "mpjpeg", "-listen", "1", url.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        std::this_thread::sleep_for(50ms);
        fd = bench::ConnectLoopback(peerPort);
    }
    size_t peerBytes = 0;
    if (fd >= 0) {
        const std::string request = bench::HttpGet("/live.mjpg");
        [[maybe_unused]] ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[65536];
        ssize_t n;
        while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0)
            peerBytes += static_cast<size_t>(n);
        close(fd);
    }
    int status = 0;
    rusage usage{};
    wait4(ffmpeg, &status, 0, &usage);
    std::remove(raw.c_str());
    const double peer = (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                            + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6)
        / static_cast<double>(kept.size()) * 1000;
    std::printf("  peer: ffmpeg -f mpjpeg serving the same %zu pictures: %.3f ms CPU per frame (process start included), "
                "%zu bytes each\n",
        kept.size(), peer, peerBytes / kept.size());
    std::printf("  ratio ours (extra CPU per frame with 1 viewer) / ffmpeg = %.2f\n", peer > 0 ? extraOne / peer : 0.0);
    return fd >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
