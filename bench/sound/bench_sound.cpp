// Sound beside the picture, like with like. The CPU: the emulated 640 x 480,
// 30 fps YUYV camera (tools/fakecam, preloaded) at the 93 Kbps row into the
// ASF writer with one HTTP viewer on loopback, once without sound and once
// with the monitor of a null sink of a PulseAudio daemon of our own while a
// tone plays into it; the extra CPU per second of sound. The peer does the
// same job with one encode: `ffmpeg -f pulse -i <monitor> -f v4l2 -i
// /dev/video0` with the same emulated camera preloaded, the same tone, to
// WMV2 + WMA2 in ASF at the row's size, rate, bitrates and audio rate,
// served to one HTTP viewer (-listen 1, read by curl); both are measured
// over the same length after the same settling (ffmpeg and curl from /proc);
// the ratio ours / peer of the CPU per second with sound (target <= 1.0).
//
// Then sync: the test tone against the test pattern's second markers for
// the sync run's length, the writer's file decoded by ffmpeg, each beep
// onset against its flash frame: the offsets' p50/p99, and their drift (the
// last minute's mean against the first minute's).
//
// Usage: bench_sound [seconds per CPU run, default 20] [seconds of the sync
//        run, default the same; 600 for the 10-minute figures]

#include "app/AudioProfile.h"
#include "app/Unit1Profiles.h"
#include "bench/support/BenchSupport.h"
#include "media/ASFWriter.h"
#include "platform/core/Text.h"
#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/TestPatternCode.h"
#include "platform/wmf/WMAsfWriter.h"
#include "platform/wmf/WMProfile.h"
#include "tests/support/PulseTestServer.h"
#include "tests/support/TestSupport.h"
#include "tests/wmf/WmfTestUtil.h"
#include "tools/fakecam/FakeCamControl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr int kRow = 2; // 93 Kbps
constexpr const char* kCamera = "node=0;formats=YUYV;sizes=640x480@30";

using bench::CpuSeconds;
using bench::Percentile;
using testsupport::RunCommand;

bool ConfigureWriter(IBaseFilter* writer, bool sound)
{
    std::string xml = EditProfileText(wmftest::BaseProfileXml(), kRow);
    if (sound)
        xml = AddAudioToProfileText(xml, kRow);
    ComPtr<IWMProfileManager> m;
    WMCreateProfileManager(m.GetAddressOf());
    ComPtr<IWMProfile> row;
    auto config = QueryInterfacePtr<IConfigAsfWriter>(writer);
    return config && SUCCEEDED(m->LoadProfileByData(Utf8ToUtf16(xml).c_str(), row.GetAddressOf())) &&
           SUCCEEDED(config->ConfigureFilterUsingProfile(row.Get()));
}

// A viewer on loopback that reads the stream and throws it away until `done`.
void View(DWORD port, const std::atomic<bool>& done)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const char request[] = "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n";
        send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        char chunk[65536];
        while (!done) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0 && recv(fd, chunk, sizeof chunk, 0) <= 0)
                break;
        }
    }
    close(fd);
}

DeviceIdentity VideoDevice(const std::string& name)
{
    for (const auto& d : EnumerateVideoInputDevices())
        if (d.friendlyName == name)
            return d;
    return {};
}

// Streams `video` (and `audio`, unless its kind is empty) for `seconds` into
// `file`, or with `file` empty to one viewer through the network sink; the
// CPU seconds this process spent meanwhile (after three seconds of settling),
// or -1.
double RunOurs(const DeviceIdentity& video, const DeviceIdentity& audio, int seconds, const std::string& file)
{
    ComPtr<IBaseFilter> camera;
    ComPtr<IGraphBuilder> graph;
    CreateFilterGraphManager(IGraphBuilder::iid, graph.ReleaseAndGetVoid());
    auto control = QueryInterfacePtr<IMediaControl>(graph.Get());
    auto writer = CoCreate<IBaseFilter>(CLSID_WMAsfWriter);
    auto builder = CoCreate<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2);
    const bool sound = !audio.kind.empty();
    if (video.kind.empty() || FAILED(CreateCaptureFilter(video, IBaseFilter::iid, camera.ReleaseAndGetVoid())) || !graph ||
        !control || !writer || !builder || !ConfigureWriter(writer.Get(), sound))
        return -1;
    builder->SetFiltergraph(graph.Get());
    graph->AddFilter(camera.Get(), "Source");
    graph->AddFilter(writer.Get(), "Writer");
    if (!file.empty())
        QueryInterfacePtr<IFileSinkFilter>(writer.Get())->SetFileName(file.c_str(), nullptr);
    if (FAILED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.Get(), nullptr, writer.Get())))
        return -1;
    ComPtr<IBaseFilter> mic;
    if (sound) {
        if (FAILED(CreateCaptureFilter(audio, IBaseFilter::iid, mic.ReleaseAndGetVoid())))
            return -1;
        graph->AddFilter(mic.Get(), "Audio");
        ComPtr<IPin> out, in;
        mic->FindPin("Capture", out.GetAddressOf());
        writer->FindPin("Audio Input 01", in.GetAddressOf());
        if (!out || !in || FAILED(graph->ConnectDirect(out.Get(), in.Get(), nullptr)))
            return -1;
    }
    auto provider = QueryInterfacePtr<IServiceProvider>(writer.Get());
    ComPtr<IWMWriterAdvanced2> advanced;
    provider->QueryService(IWMWriterAdvanced2::iid, IWMWriterAdvanced2::iid, advanced.ReleaseAndGetVoid());
    advanced->SetLiveSource(1);
    ComPtr<IWMWriterNetworkSink> sink;
    DWORD port = 0;
    if (file.empty()) {
        ComPtr<IWMWriterSink> fileSink;
        advanced->GetSink(0, fileSink.GetAddressOf());
        advanced->RemoveSink(fileSink.Get());
        WMCreateWriterNetworkSink(sink.GetAddressOf());
        sink->SetMaximumClients(10);
        if (FAILED(sink->Open(&port)))
            return -1;
        advanced->AddSink(sink.Get());
    }
    if (FAILED(control->Run()))
        return -1;
    std::atomic<bool> done{false};
    std::thread viewer;
    if (sink)
        viewer = std::thread([&] { View(port, done); });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    done = true;
    if (viewer.joinable())
        viewer.join();
    control->Stop();
    if (sink)
        sink->Close();
    return cpu;
}

// Offsets (beep onset - flash frame, seconds) in a file of the test tone and
// pattern, in the order of the flashes. The pictures are read through a pipe
// (ten minutes of them would not fit in memory).
std::vector<double> SyncOffsets(const std::string& file)
{
    const int rate = 22050, w = 320, h = 240;
    const std::string times = RunCommand("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 " + file);
    const std::string pcmBytes = RunCommand("ffmpeg -v error -copyts -i " + file +
                                     " -map 0:a:0 -af aresample=async=1:first_pts=0 -f s16le -ac 1 -ar 22050 -");
    std::vector<int16_t> pcm(pcmBytes.size() / 2);
    std::memcpy(pcm.data(), pcmBytes.data(), pcm.size() * 2);
    std::vector<double> flashes, onsets;
    std::istringstream t(times);
    std::vector<uint8_t> frame(static_cast<size_t>(w * h));
    if (FILE* v = popen(("ffmpeg -v error -i " + file + " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt gray -").c_str(), "r")) {
        for (std::string line; std::getline(t, line) && fread(frame.data(), 1, frame.size(), v) == frame.size();)
            if (ReadTestPatternFlash(frame.data(), w, h, w))
                flashes.push_back(std::stod(line));
        pclose(v);
    }
    const size_t window = rate / 200;
    bool quiet = false;
    size_t rise = 0;
    for (size_t i = 0; i + window <= pcm.size(); i += window) {
        double sum = 0;
        for (size_t j = i; j < i + window; ++j)
            sum += static_cast<double>(pcm[j]) * pcm[j];
        const double r = std::sqrt(sum / static_cast<double>(window));
        if (r < 1500) {
            quiet = true;
            rise = i + window;
        } else if (quiet && r > 3000) {
            onsets.push_back(static_cast<double>(rise) / rate);
            quiet = false;
        }
    }
    std::vector<double> offsets;
    for (double f : flashes) {
        double nearest = 1e9;
        for (double o : onsets)
            nearest = std::abs(o - f) < std::abs(nearest) ? o - f : nearest;
        if (std::abs(nearest) < 0.5)
            offsets.push_back(nearest);
    }
    return offsets;
}

// The CPU seconds (user + system) a process has spent so far, from /proc;
// -1 when it is gone.
double ProcessTicks(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int ReadPid(const std::string& file)
{
    std::ifstream in(file);
    int pid = 0;
    in >> pid;
    return pid;
}

// CPU seconds the peer spends over `seconds` of steady running: ffmpeg
// capturing the monitor and the emulated camera into WMV2 + WMA2 / ASF at the
// row's rates, served to one viewer (curl, counted with it: our viewer is
// counted in our process); measured from /proc after the same settling as
// ours; -1 on failure.
double PeerCpu(int seconds)
{
    const TAudioRate audio = AudioRateForRow(kRow);
    const std::string video = std::to_string(93000 - audio.Bitrate);
    int port = 0;
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port = ntohs(a.sin_port);
        close(fd);
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    const std::string ffmpeg =
        std::string("ffmpeg -nostdin -v quiet -y -f pulse -sample_rate ") + std::to_string(audio.SampleRate) + " -channels " +
        std::to_string(audio.Channels) + " -i " + testsupport::PulseTestServer::kMonitor +
        " -f v4l2 -input_format yuyv422 -video_size 640x480 -framerate 30 -i /dev/video0 -t " + std::to_string(seconds + 6) +
        " -map 1:v -map 0:a -vf fps=15,scale=320:240 -c:v wmv2 -b:v " + video + " -maxrate " + video + " -bufsize " + video +
        " -g 120 -threads 1 -c:a wmav2 -b:a " + std::to_string(audio.Bitrate) + " -ar " + std::to_string(audio.SampleRate) +
        " -ac " + std::to_string(audio.Channels) + " -f asf -listen 1 " + url;
    // The viewer retries once a second while ffmpeg is not yet listening.
    const std::string pids = "/tmp/bench_sound_peer";
    const std::string command = ffmpeg + " & echo $! > " + pids + ".ffmpeg; curl -s -o /dev/null --retry 20 --retry-connrefused --retry-delay 1 " +
                                url + " & echo $! > " + pids + ".curl; wait";
    std::remove((pids + ".ffmpeg").c_str());
    std::remove((pids + ".curl").c_str());
    int rc = -1;
    std::thread peer([&] { rc = std::system(command.c_str()); });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int f = ReadPid(pids + ".ffmpeg"), c = ReadPid(pids + ".curl");
    const double f0 = ProcessTicks(f), c0 = ProcessTicks(c);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double f1 = ProcessTicks(f), c1 = ProcessTicks(c);
    peer.join();
    if (rc != 0 || f <= 0 || c <= 0 || f0 < 0 || f1 < 0 || c0 < 0 || c1 < 0)
        return -1;
    return f1 - f0 + c1 - c0;
}

} // namespace

int main(int argc, char** argv)
{
    // The emulated camera must be in the process from the start (and in
    // ffmpeg's, which inherits it).
    if (!fakecamctl::Loaded()) {
        setenv("LD_PRELOAD", LUMORA_FAKECAM, 1);
        setenv("FAKECAM_DEVICES", kCamera, 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_sound: re-exec with the emulated camera");
        return 1;
    }
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 20;
    const int syncSeconds = argc > 2 ? std::max(10, std::atoi(argv[2])) : seconds;
    RegisterMediaFrameworkClasses();
    RegisterWMAsfWriterClass();
    if (!fakecamctl::Configure(kCamera)) {
        std::fprintf(stderr, "bench_sound: cannot configure the emulated camera\n");
        return 1;
    }
    testsupport::PulseTestServer pulse;
    if (!pulse.Running()) {
        std::fprintf(stderr, "bench_sound: %s\n", pulse.Error().c_str());
        return 1;
    }
    pulse.PlayTone(660);
    const DeviceIdentity camera = VideoDevice("Lumora Fake Camera"), pattern = VideoDevice(kTestSourceName);
    const DeviceIdentity monitor{"pulse", testsupport::PulseTestServer::kMonitor, "monitor", CLSID_AudioCaptureSource};
    const DeviceIdentity tone{"tone", "", kTestToneName, CLSID_LumoraTestTone};

    const long long draw0 = fakecamctl::DrawNs(0);
    const double off = RunOurs(camera, DeviceIdentity{}, seconds, "");
    const double on = RunOurs(camera, monitor, seconds, "");
    const double drawMs = static_cast<double>(fakecamctl::DrawNs(0) - draw0) / 1e6 / (2 * (seconds + 3));
    const double peerCpu = PeerCpu(seconds);
    if (off < 0 || on < 0) {
        std::fprintf(stderr, "bench_sound: our runs failed\n");
        return 1;
    }
    std::printf("CPU per second, emulated camera YUYV 640x480 30 fps, 93 Kbps row, one viewer: sound off %.1f ms, sound on %.1f ms, "
                "sound's share %.1f ms (drawing the camera's frames %.1f ms of each)\n",
        off * 1000 / seconds, on * 1000 / seconds, (on - off) * 1000 / seconds, drawMs);
    if (peerCpu >= 0) {
        const double peer = peerCpu / seconds;
        std::printf("peer (ffmpeg -f pulse + -f v4l2, same camera and tone -> WMV2+WMA2/ASF, one viewer): %.1f ms per second, "
                    "ratio ours/peer %.2f (target <= 1.0); without drawing the camera's frames %.2f\n",
            peer * 1000, on / seconds / peer, (on / seconds * 1000 - drawMs) / std::max(0.1, peer * 1000 - drawMs));
    } else {
        std::printf("peer failed\n");
    }

    const std::string file = "/tmp/bench_sound_tone.asf";
    RunOurs(pattern, tone, syncSeconds, file);
    const std::vector<double> offsets = SyncOffsets(file);
    std::remove(file.c_str());
    std::vector<double> ms;
    for (double o : offsets)
        ms.push_back(o * 1000);
    const size_t n = std::min<size_t>(ms.size() / 2, 60);
    double first = 0, last = 0;
    for (size_t i = 0; i < n; ++i) {
        first += ms[i] / static_cast<double>(n);
        last += ms[ms.size() - 1 - i] / static_cast<double>(n);
    }
    std::vector<double> size;
    for (double m : ms)
        size.push_back(std::abs(m));
    std::printf("A/V offset (beep - flash) over %zu seconds: median %.1f ms; |offset| p50 %.1f ms, p99 %.1f ms; drift first->last minute %.1f ms\n",
        ms.size(), Percentile(ms, 0.5), Percentile(size, 0.5), Percentile(size, 0.99), last - first);
    return ms.empty() ? 1 : 0;
}
