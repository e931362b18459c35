// CPU per frame of the relay against the ffmpeg command line doing the same
// job, both pushing to the same nginx-rtmp in one run:
//
//   bench_relay [seconds]   (10 s per run by default)
//
// For 320 x 240 at 15 fps and 640 x 480 at 30 fps: our relay (H.264 with
// libx264, FLV over RTMP) fed the testsrc pictures at their rate, against
//   ffmpeg -re -f lavfi -i testsrc ... -c:v libx264 -tune zerolatency -f flv rtmp://...
// with the same encoder settings, and against the same ffmpeg reading the
// very pictures we feed (raw I420), which leaves only encoding and sending.
// CPU time is user + system time: ours from this process over the feeding
// window (after the relay went live), the peer's from its own accounting,
// whole and without what a one-picture run of it costs (start-up).

#include "bench/support/BenchSupport.h"
#include "live/relay/RtmpRelay.h"
#include "tests/support/NginxRtmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double ProcessCpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// Runs a peer to its end; its CPU time in seconds (-1 when it failed).
double RunPeer(const std::string& command)
{
    const pid_t pid = bench::Spawn({"/bin/sh", "-c", command});
    int status = 0;
    rusage u{};
    wait4(pid, &status, 0, &u);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

struct Case {
    int width, height, fps, kbps;
};

std::string EncoderArgs(const Case& c)
{
    const std::string k = std::to_string(c.kbps) + "k";
    const std::string gop = std::to_string(c.fps * 2);
    return " -c:v libx264 -preset veryfast -tune zerolatency -bf 0 -g " + gop + " -keyint_min " + gop +
           " -sc_threshold 0 -b:v " + k + " -maxrate " + k + " -bufsize " + k + " -pix_fmt yuv420p -f flv ";
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 10;
    if (!testsupport::NginxRtmp::Available()) {
        std::fprintf(stderr, "bench_relay: nginx's RTMP module is not installed\n");
        return 1;
    }
    const fs::path dir = fs::temp_directory_path() / ("lumora-bench-relay-" + std::to_string(getpid()));
    fs::create_directories(dir);
    testsupport::NginxRtmp nginx;
    if (!nginx.Start()) {
        std::fprintf(stderr, "bench_relay: nginx did not start\n");
        return 1;
    }
    const std::string base = nginx.Url("live", "");

    std::printf("relay CPU per frame, %d s per run, libx264 veryfast zerolatency, to nginx-rtmp on loopback\n", seconds);
    std::printf("%-16s %10s %14s %8s %14s %8s %14s %8s\n", "case", "ours ms/f", "ffmpeg lavfi", "ratio", "ffmpeg raw",
                "ratio", "raw - startup", "ratio");
    const Case cases[] = {{320, 240, 15, 300}, {640, 480, 30, 1200}};
    for (const Case& c : cases) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const int frames = c.fps * seconds;
        // The testsrc pictures as I420, rendered beforehand (not measured).
        const fs::path raw = dir / (size + ".yuv");
        const std::string render = "ffmpeg -v error -y -f lavfi -i testsrc=size=" + size + ":rate=" +
                                   std::to_string(c.fps) + " -frames:v " + std::to_string(frames) +
                                   " -pix_fmt yuv420p -f rawvideo '" + raw.string() + "'";
        if (std::system(render.c_str()) != 0) {
            std::fprintf(stderr, "bench_relay: ffmpeg could not render the pictures\n");
            break;
        }
        const size_t bytes = static_cast<size_t>(c.width) * c.height * 3 / 2;
        std::vector<std::shared_ptr<const std::vector<uint8_t>>> pictures;
        {
            std::ifstream in(raw, std::ios::binary);
            for (int i = 0; i < frames; ++i) {
                auto p = std::make_shared<std::vector<uint8_t>>(bytes);
                in.read(reinterpret_cast<char*>(p->data()), static_cast<std::streamsize>(bytes));
                pictures.push_back(std::move(p));
            }
        }

        // Ours.
        RelayOptions o;
        o.url = base + "ours";
        o.bitrateKbps = c.kbps;
        RtmpRelay relay(o);
        relay.Start();
        const int64_t interval = 10000000 / c.fps;
        relay.OnPicture(TappedPicture{c.width, c.height, 0, interval, pictures[0]});
        for (int i = 0; i < 400 && relay.Status().state != RelayState::Live; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (relay.Status().state != RelayState::Live) {
            std::fprintf(stderr, "bench_relay: the relay did not go live: %s\n",
                         RelayStatusText(relay.Status(), Clock::now()).c_str());
            break;
        }
        const uint64_t sentBefore = relay.Status().picturesSent;
        const double cpuBefore = ProcessCpu();
        const auto start = Clock::now();
        for (int i = 1; i <= frames; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(i) * 1000000 / c.fps));
            relay.OnPicture(TappedPicture{c.width, c.height, i * interval, interval, pictures[i % frames]});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last pictures leave
        const double ours = ProcessCpu() - cpuBefore;
        const uint64_t sent = relay.Status().picturesSent - sentBefore;
        const uint64_t dropped = relay.Status().picturesDropped;
        relay.Stop();
        const double oursPerFrame = sent ? ours * 1000 / static_cast<double>(sent) : 0;

        // The peers, to the same server.
        const double lavfi = RunPeer("ffmpeg -v error -nostdin -re -f lavfi -i testsrc=size=" + size + ":rate=" +
                                     std::to_string(c.fps) + " -t " + std::to_string(seconds) + EncoderArgs(c) +
                                     base + "peer");
        const double rawPeer = RunPeer("ffmpeg -v error -nostdin -re -f rawvideo -pix_fmt yuv420p -s " + size + " -r " +
                                       std::to_string(c.fps) + " -i '" + raw.string() + "'" + EncoderArgs(c) + base +
                                       "peerraw");
        // What the peer spends on starting (program, libraries, encoder) and
        // one picture, to see the steady cost per frame apart from it.
        const double startup = RunPeer("ffmpeg -v error -nostdin -f rawvideo -pix_fmt yuv420p -s " + size + " -r " +
                                       std::to_string(c.fps) + " -i '" + raw.string() + "' -frames:v 1" +
                                       EncoderArgs(c) + "-y /dev/null");
        const double lavfiPerFrame = lavfi * 1000 / frames, rawPerFrame = rawPeer * 1000 / frames;
        const double steadyPerFrame = (rawPeer - startup) * 1000 / (frames - 1);
        char name[32];
        std::snprintf(name, sizeof name, "%s@%d", size.c_str(), c.fps);
        std::printf("%-16s %10.3f %14.3f %8.2f %14.3f %8.2f %14.3f %8.2f   (ours: %llu sent, %llu dropped)\n", name,
                    oursPerFrame, lavfiPerFrame, lavfi > 0 ? oursPerFrame / lavfiPerFrame : 0, rawPerFrame,
                    rawPeer > 0 ? oursPerFrame / rawPerFrame : 0, steadyPerFrame,
                    startup > 0 ? oursPerFrame / steadyPerFrame : 0, static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(dropped));
        std::fflush(stdout);
        fs::remove(raw);
    }
    nginx.Stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
