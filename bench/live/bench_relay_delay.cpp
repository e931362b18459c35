// How far behind live FFmpeg-based players sit when they read the relay
// from nginx-rtmp, and what the audio track costs:
//
//   bench_relay_delay [seconds]   (12 s of playing per player by default)
//
// Players: mpv (asked over its IPC socket for the position it shows),
// ffplay (under Xvfb; its status line shows the clock it shows pictures
// by) and ffprobe (the time it takes to find the streams, the wait both
// players spend before their first picture). Delay behind live = how much
// of the stream had been published when the player showed a position,
// minus that position. nginx passes the publisher's timestamps on, so both
// count from the same first picture.
//
// Publishers, each to its own stream key on one nginx:
//   video only   ffmpeg with the relay's x264 settings and no audio: the FLV
//                the relay sent before it had an audio track
//   relay, sound off   our relay: H.264 + silent AAC
//   relay, sound on    our relay: H.264 + 64 kbps AAC of a fed tone
// Then what the audio track costs: CPU and bytes of the silent track and of
// 64 kbps stereo AAC of a tone.

#include "bench/support/BenchSupport.h"
#include "live/relay/RtmpRelay.h"
#include "tests/support/NginxRtmp.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string ReadText(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One request over mpv's IPC socket; the "data" value or NaN.
double MpvProperty(const std::string& socketPath, const std::string& property)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return NAN;
    }
    const std::string request = "{\"command\":[\"get_property\",\"" + property + "\"]}\n";
    (void)!write(fd, request.data(), request.size());
    char answer[512] = {};
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = read(fd, answer, sizeof answer - 1);
    close(fd);
    const char* data = n > 0 ? std::strstr(answer, "\"data\":") : nullptr;
    return data ? std::atof(data + 7) : NAN;
}

struct Delays {
    double mpv = NAN, ffplay = NAN, probe = NAN;
};

// `live()` is the stream time published by now (seconds).
Delays MeasurePlayers(const std::string& url, const std::function<double()>& live, int seconds, const fs::path& dir,
                      const std::string& display)
{
    Delays d;
    const auto probeStart = Clock::now();
    if (std::system(("timeout 30 ffprobe -v quiet -show_streams '" + url + "' > /dev/null").c_str()) == 0)
        d.probe = Since(probeStart);

    const std::string socketPath = (dir / "mpv.sock").string();
    fs::remove(socketPath);
    const pid_t mpv = bench::Spawn({"mpv", "--no-config", "--vo=null", "--ao=null", "--rebase-start-time=no",
                                    "--input-ipc-server=" + socketPath, url}, "/dev/null");
    const fs::path ffplayOut = dir / "ffplay.txt";
    const pid_t ffplay = bench::Spawn({"ffplay", "-hide_banner", "-stats", url}, ffplayOut.string(),
                                      {"DISPLAY=" + display, "SDL_AUDIODRIVER=dummy"});
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double position = MpvProperty(socketPath, "time-pos");
    d.mpv = live() - position;
    kill(ffplay, SIGKILL); // its last status line is the clock it showed at this moment
    const double now = live();
    waitpid(ffplay, nullptr, 0);
    bench::End(mpv);
    // Status lines end with '\r': "   9.69 M-V:  0.000 fd= ...".
    const std::string text = ReadText(ffplayOut);
    const size_t last = text.rfind("M-V:");
    const size_t alt = text.rfind("A-V:");
    const size_t at = last == std::string::npos ? alt : (alt == std::string::npos ? last : std::max(last, alt));
    if (at != std::string::npos) {
        const size_t begin = text.rfind('\r', at);
        d.ffplay = now - std::atof(text.c_str() + (begin == std::string::npos ? 0 : begin + 1));
    }
    return d;
}

std::shared_ptr<const std::vector<uint8_t>> Picture(int w, int h, int n)
{
    auto p = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(w) * h * 3 / 2, 128);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            (*p)[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(((x + n * 4) / 40 % 2) ? 200 : 40);
    return p;
}

// Feeds the relay pictures (and a tone with sound on) in real time on its
// own thread, stamped from 0 at `start`.
class Feeder {
public:
    Feeder(RtmpRelay& relay, bool tone, Clock::time_point start) : m_start(start)
    {
        relay.Start(m_tap);
        for (int i = 0; i < 30; ++i)
            m_pictures.push_back(Picture(320, 240, i));
        m_thread = std::thread([this] {
            for (int n = 0; !m_stop; ++n) {
                std::this_thread::sleep_until(m_start + std::chrono::microseconds(n * 1000000LL / 15));
                m_tap->Publish(TappedPicture{320, 240, n * 666667LL, 666667, m_pictures[n % 30]});
            }
        });
        if (tone)
            m_sound = std::thread([this, &relay] {
                std::vector<int16_t> s(480 * 2);
                for (int64_t done = 0; !m_stop; done += 480) {
                    std::this_thread::sleep_until(m_start + std::chrono::microseconds(done * 1000000 / 48000));
                    for (int i = 0; i < 480; ++i)
                        s[2 * i] = s[2 * i + 1] =
                            static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(done + i) / 48000));
                    relay.FeedAudio(TappedAudio{s.data(), 480, 2, 48000, done * 10000000 / 48000});
                }
            });
    }
    ~Feeder()
    {
        m_stop = true;
        m_thread.join();
        if (m_sound.joinable())
            m_sound.join();
    }

private:
    Clock::time_point m_start;
    std::shared_ptr<PictureTap> m_tap = std::make_shared<PictureTap>();
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> m_pictures;
    std::atomic<bool> m_stop{false};
    std::thread m_thread, m_sound;
};

double ProcessCpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(8, std::atoi(argv[1])) : 12;
    if (!testsupport::NginxRtmp::Available()) {
        std::fprintf(stderr, "bench_relay_delay: nginx's RTMP module is not installed\n");
        return 1;
    }
    const fs::path dir = fs::temp_directory_path() / ("lumora-bench-delay-" + std::to_string(getpid()));
    fs::create_directories(dir);
    testsupport::NginxRtmp nginx;
    const std::string display = ":" + std::to_string(90 + getpid() % 500);
    const pid_t xvfb = bench::Spawn({"Xvfb", display, "-screen", "0", "640x480x24", "-nolisten", "tcp"}, "/dev/null");
    if (!nginx.Start()) {
        std::fprintf(stderr, "bench_relay_delay: nginx did not start\n");
        bench::End(xvfb);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // Xvfb comes up
    const std::string base = nginx.Url("live", "");

    std::printf("delay behind live of players reading the relay from nginx-rtmp, 320x240@15, %d s of playing\n",
                seconds);
    std::printf("%-30s %10s %10s %14s\n", "publisher", "mpv s", "ffplay s", "ffprobe wait s");
    auto row = [](const char* name, const Delays& d) {
        std::printf("%-30s %10.2f %10.2f %14.2f\n", name, d.mpv, d.ffplay, d.probe);
        std::fflush(stdout);
    };
    {
        // The publish shows in nginx's log as the publisher's first picture leaves.
        const pid_t ffmpeg = bench::Spawn({"ffmpeg", "-v", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
                                    "testsrc=size=320x240:rate=15", "-c:v", "libx264", "-preset", "veryfast", "-tune",
                                    "zerolatency", "-bf", "0", "-g", "30", "-keyint_min", "30", "-sc_threshold", "0",
                                    "-b:v", "300k", "-maxrate", "300k", "-bufsize", "300k", "-pix_fmt", "yuv420p",
                                    "-an", "-f", "flv", base + "before"}, "/dev/null");
        Clock::time_point start = Clock::now();
        for (int i = 0; i < 400; ++i) {
            if (nginx.ErrorLog().find("publish: name='before'") != std::string::npos) {
                start = Clock::now();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        row("video only (the relay before)", MeasurePlayers(base + "before", [&] { return Since(start); }, seconds, dir, display));
        bench::End(ffmpeg);
    }
    for (const bool tone : {false, true}) {
        RelayOptions o;
        o.url = base + (tone ? "sound" : "silent");
        o.sound = tone ? SoundTrack::On : SoundTrack::Off;
        RtmpRelay relay(o);
        const auto start = Clock::now();
        Feeder feed(relay, tone, start);
        for (int i = 0; i < 400 && relay.Status().state != RelayState::Live; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        row(tone ? "relay, sound on (64 kbps)" : "relay, sound off (silent AAC)",
            MeasurePlayers(o.url, [&] { return Since(start); }, seconds, dir, display));
        relay.Stop();
    }

    // What the audio track costs: the AAC encoder alone on 60 s of sound
    // (the muxing of its few packets is small beside it).
    std::printf("\naudio track cost per second of stream (AAC encoder, 60 s encoded)\n");
    std::printf("%-30s %12s %12s\n", "track", "CPU ms/s", "kbit/s");
    for (const bool tone : {false, true}) {
        AacSettings settings;
        if (!tone) {
            settings.channels = 1;
            settings.bitrate = 24000;
        }
        AacEncoder encoder;
        std::string error;
        encoder.Open(settings, 0, &error);
        int64_t bytes = 0;
        const auto count = [&](AVPacket* p) { bytes += p->size; };
        std::vector<int16_t> s(480 * 2);
        const double before = ProcessCpu();
        for (int64_t done = 0; done < 60 * 48000; done += 480) {
            const int64_t time = done * 10000000 / 48000;
            if (tone) {
                for (int i = 0; i < 480; ++i)
                    s[2 * i] = s[2 * i + 1] =
                        static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(done + i) / 48000));
                encoder.Feed(TappedAudio{s.data(), 480, 2, 48000, time}, count, &error);
            } else {
                encoder.FillSilence(time + 100000, count, &error);
            }
        }
        const double cpu = ProcessCpu() - before;
        std::printf("%-30s %12.2f %12.1f\n", tone ? "sound on: 64 kbps stereo tone" : "sound off: silent mono",
                    cpu * 1000 / 60, static_cast<double>(bytes) * 8 / 60 / 1000);
    }
    bench::End(xvfb);
    nginx.Stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
