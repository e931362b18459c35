// CPU per frame of the relay against the ffmpeg command line doing the same
// job, both pushing to the same nginx-rtmp in one run:
//
//   bench_relay [seconds]   (10 s per run by default)
//
// Then the relay with one browser's MP4 feed beside it, as the program ran
// them before (two libx264 encodes of the same pictures) and as it runs
// them now (one shared encode), CPU over the same window.
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
#include "live/browser/H264Feed.h"
#include "live/relay/RtmpRelay.h"
#include "tests/support/NginxRtmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

// The relay and one MP4 viewer's feed fed the same pictures for `seconds`:
// from two taps (each output with its own encode, as before) or from one
// (the shared encode). CPU seconds of this process per second of stream.
void RelayAndOneViewer(const std::string& base, int seconds)
{
    std::printf("\nrelay + 1 MP4 viewer, CPU %% of one core over %d s (libx264 veryfast, to nginx-rtmp)\n", seconds);
    std::printf("%-16s %16s %16s %8s\n", "case", "two encodes", "one shared", "ratio");
    const Case cases[] = {{320, 240, 15, 300}, {640, 480, 30, 1200}};
    for (const Case& c : cases) {
        // Moving bars and a moving block: enough motion for a real encode.
        std::vector<std::shared_ptr<const std::vector<uint8_t>>> pictures;
        for (int n = 0; n < c.fps * 2; ++n) {
            auto p = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(c.width) * c.height * 3 / 2, 128);
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x)
                    (*p)[static_cast<size_t>(y) * c.width + x] = static_cast<uint8_t>(
                        ((x + n * 4) / 24 % 2 ? 190 : 50) + ((x / 8 + y / 8 + n) % 7) * 6
                        + (x > n * 5 % c.width && x < n * 5 % c.width + 40 && y > 40 && y < 100 ? 40 : 0));
            pictures.push_back(std::move(p));
        }
        double cpu[2] = {};
        int encoders[2] = {};
        for (const bool shared : {false, true}) {
            const auto relayTap = std::make_shared<PictureTap>();
            const auto viewerTap = shared ? relayTap : std::make_shared<PictureTap>();
            RelayOptions o;
            o.url = base + (shared ? "shared" : "separate") + std::to_string(c.width);
            o.bitrateKbps = c.kbps;
            RtmpRelay relay(o);
            relay.Start(relayTap);
            std::atomic<uint64_t> fragments{0};
            H264Feed feed([] {});
            feed.SetTap(viewerTap);
            feed.SetBitrate(static_cast<uint32_t>(c.kbps) * 1000);
            feed.SetViewers(1);
            feed.Start();
            const int64_t interval = 10000000 / c.fps;
            auto publish = [&](int i) {
                const TappedPicture picture{c.width, c.height, i * interval, interval, pictures[static_cast<size_t>(i) % pictures.size()]};
                relayTap->Publish(picture);
                if (viewerTap != relayTap)
                    viewerTap->Publish(picture);
            };
            int i = 0;
            for (; i < 400 && relay.Status().state != RelayState::Live; ++i) {
                publish(i);
                std::this_thread::sleep_for(std::chrono::microseconds(1000000 / c.fps));
            }
            // The viewer takes its fragments as a connection would.
            std::atomic<bool> done{false};
            std::thread viewer([&] {
                uint64_t seen = feed.LastSequence();
                while (!done) {
                    for (const Mp4FragmentPtr& f : feed.Since(seen)) {
                        seen = f->sequence;
                        ++fragments;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            });
            const double before = ProcessCpu();
            const auto start = Clock::now();
            for (int k = 1; k <= c.fps * seconds; ++k) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(k) * 1000000 / c.fps));
                publish(i + k);
                if (k == c.fps)
                    encoders[shared] = H264Source::EncodersOpen();
            }
            cpu[shared] = (ProcessCpu() - before) / seconds * 100;
            done = true;
            viewer.join();
            feed.Stop();
            relay.Stop();
            if (fragments == 0)
                std::fprintf(stderr, "bench_relay: the MP4 feed made nothing\n");
        }
        char name[32];
        std::snprintf(name, sizeof name, "%dx%d@%d", c.width, c.height, c.fps);
        std::printf("%-16s %12.1f %% (%d) %12.1f %% (%d) %8.2f   (libx264 encoders open)\n", name, cpu[0], encoders[0],
            cpu[1], encoders[1], cpu[0] > 0 ? cpu[1] / cpu[0] : 0);
        std::fflush(stdout);
    }
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
        const auto tap = std::make_shared<PictureTap>();
        relay.Start(tap);
        const int64_t interval = 10000000 / c.fps;
        // The shared encode attaches to the tap on its own thread: the first
        // picture is offered until the relay is live.
        for (int i = 0; i < 400 && relay.Status().state != RelayState::Live; ++i) {
            tap->Publish(TappedPicture{c.width, c.height, 0, interval, pictures[0]});
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
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
            tap->Publish(TappedPicture{c.width, c.height, i * interval, interval, pictures[i % frames]});
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
    RelayAndOneViewer(base, seconds);
    nginx.Stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
