// Sound beside the picture: the test pattern at the 93 Kbps row into the ASF
// writer (file sink), once without sound and once with the monitor of a null
// sink of a PulseAudio daemon of our own while a tone plays into it; the
// extra CPU per second of sound. Then the test tone against the pattern's
// second markers: the writer's file decoded by ffmpeg, each beep onset
// against its flash frame, the offsets' p50/p99 and their drift from the
// first to the last minute of the run. The peer: ffmpeg capturing the same
// monitor (-f pulse) beside its own test source at the row's size and rate,
// to WMV2 + WMA2 in ASF at the same bitrates; the ratio ours / peer of the
// CPU per second with sound.
//
// Usage: bench_sound [seconds per run, default 20]

#include "app/AudioProfile.h"
#include "app/Unit1Profiles.h"
#include "bench/support/BenchSupport.h"
#include "media/ASFWriter.h"
#include "platform/core/Text.h"
#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/TestPatternCode.h"
#include "platform/wmf/WMAsfWriter.h"
#include "platform/wmf/WMProfile.h"
#include "tests/support/PulseTestServer.h"
#include "tests/support/TestSupport.h"
#include "tests/wmf/WmfTestUtil.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr int kRow = 2; // 93 Kbps

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

// Streams the test pattern (and `audio`, unless its kind is empty) into
// `file` for `seconds`; the CPU seconds this process spent meanwhile (after
// a second of settling), or -1.
double RunOurs(const DeviceIdentity& audio, int seconds, const std::string& file)
{
    ComPtr<IBaseFilter> video;
    CreateTestPatternSource(IBaseFilter::iid, video.ReleaseAndGetVoid());
    ComPtr<IGraphBuilder> graph;
    CreateFilterGraphManager(IGraphBuilder::iid, graph.ReleaseAndGetVoid());
    auto control = QueryInterfacePtr<IMediaControl>(graph.Get());
    auto writer = CoCreate<IBaseFilter>(CLSID_WMAsfWriter);
    auto builder = CoCreate<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2);
    const bool sound = !audio.kind.empty();
    if (!video || !graph || !control || !writer || !builder || !ConfigureWriter(writer.Get(), sound))
        return -1;
    QueryInterfacePtr<IFileSinkFilter>(writer.Get())->SetFileName(file.c_str(), nullptr);
    builder->SetFiltergraph(graph.Get());
    graph->AddFilter(video.Get(), "Source");
    graph->AddFilter(writer.Get(), "Writer");
    if (FAILED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, video.Get(), nullptr, writer.Get())))
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
    if (FAILED(control->Run()))
        return -1;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    control->Stop();
    return cpu;
}

// Offsets (beep onset - flash frame, seconds) in a file of the test tone and
// pattern, in the order of the flashes.
std::vector<double> SyncOffsets(const std::string& file)
{
    const int rate = 22050, w = 320, h = 240;
    const std::string times = RunCommand("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 " + file);
    RunCommand("ffmpeg -v error -y -i " + file + " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt gray /tmp/bench_sound_v.raw");
    RunCommand("ffmpeg -v error -y -copyts -i " + file + " -map 0:a:0 -af aresample=async=1:first_pts=0 -f s16le -ac 1 -ar 22050 /tmp/bench_sound_a.raw");
    std::ifstream a("/tmp/bench_sound_a.raw", std::ios::binary), v("/tmp/bench_sound_v.raw", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    std::vector<int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    std::vector<double> flashes, onsets;
    std::istringstream t(times);
    std::vector<uint8_t> frame(static_cast<size_t>(w * h));
    for (std::string line; std::getline(t, line) && v.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()));)
        if (ReadTestPatternFlash(frame.data(), w, h, w))
            flashes.push_back(std::stod(line));
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
    std::remove("/tmp/bench_sound_a.raw");
    std::remove("/tmp/bench_sound_v.raw");
    return offsets;
}

// CPU seconds of ffmpeg capturing the monitor beside its own test source for
// `seconds` into WMV2 + WMA2 / ASF at the row's rates.
double PeerCpu(double seconds)
{
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    char length[32];
    std::snprintf(length, sizeof length, "%.1f", seconds);
    const TAudioRate audio = AudioRateForRow(kRow);
    const int video = 93000 - audio.Bitrate;
    const std::string command =
        std::string("ffmpeg -nostdin -v quiet -y -f pulse -sample_rate 22050 -channels 1 -i ") + testsupport::PulseTestServer::kMonitor +
        " -re -f lavfi -i testsrc=size=320x240:rate=15 -t " + length + " -map 1:v -map 0:a -c:v wmv2 -b:v " + std::to_string(video) +
        " -maxrate " + std::to_string(video) + " -bufsize " + std::to_string(video) + " -g 120 -threads 1 -c:a wmav2 -b:a " +
        std::to_string(audio.Bitrate) + " -ar " + std::to_string(audio.SampleRate) + " -ac 1 -f asf /tmp/bench_sound_peer.asf";
    const int rc = std::system(command.c_str());
    std::remove("/tmp/bench_sound_peer.asf");
    return rc == 0 ? CpuSeconds(RUSAGE_CHILDREN) - cpu0 : -1;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 20;
    RegisterMediaFrameworkClasses();
    RegisterWMAsfWriterClass();
    testsupport::PulseTestServer pulse;
    if (!pulse.Running()) {
        std::fprintf(stderr, "bench_sound: %s\n", pulse.Error().c_str());
        return 1;
    }
    pulse.PlayTone(660);
    DeviceIdentity monitor{"pulse", testsupport::PulseTestServer::kMonitor, "monitor", CLSID_AudioCaptureSource};
    DeviceIdentity tone{"tone", "", kTestToneName, CLSID_LumoraTestTone};

    const double off = RunOurs(DeviceIdentity{}, seconds, "/tmp/bench_sound_off.asf");
    const double on = RunOurs(monitor, seconds, "/tmp/bench_sound_on.asf");
    const double peerShort = PeerCpu(seconds / 2.0), peerLong = PeerCpu(seconds);
    std::printf("CPU per second, 93 Kbps row: sound off %.1f ms, sound on %.1f ms, sound's share %.1f ms\n",
        off * 1000 / seconds, on * 1000 / seconds, (on - off) * 1000 / seconds);
    if (peerShort >= 0 && peerLong >= 0) {
        const double peer = (peerLong - peerShort) / (seconds / 2.0);
        std::printf("peer (ffmpeg -f pulse + lavfi testsrc -> WMV2+WMA2/ASF): %.1f ms per second, ratio ours/peer %.2f\n",
            peer * 1000, on / seconds / peer);
    }

    RunOurs(tone, seconds, "/tmp/bench_sound_tone.asf");
    const std::vector<double> offsets = SyncOffsets("/tmp/bench_sound_tone.asf");
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
    std::printf("A/V offset (beep - flash) over %zu seconds: median %.1f ms; |offset| p50 %.1f ms, p99 %.1f ms; drift first->last %.1f ms\n",
        ms.size(), Percentile(ms, 0.5), Percentile(size, 0.5), Percentile(size, 0.99), last - first);
    for (const char* f : {"/tmp/bench_sound_off.asf", "/tmp/bench_sound_on.asf", "/tmp/bench_sound_tone.asf"})
        std::remove(f);
    return 0;
}
