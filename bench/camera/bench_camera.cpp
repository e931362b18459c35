// Capture to network with a camera: the emulated 640 x 480, 30 fps camera in
// YUYV and in MJPEG, and the built-in test pattern, each through the capture
// source, the converters and the writer at the 93 Kbps row (320 x 240) into
// the network sink with one loopback client. For each: CPU time per captured
// frame and the delay from a frame's capture to the first byte of its data at
// the client (p50, p99). The peers do the same job with one encode: the
// ffmpeg command line capturing the same emulated camera (ffmpeg -f v4l2 -i
// /dev/video0), or for the test pattern reading its own test source at the
// row's size and rate, into a WMV2/ASF file at the same size, rate and
// bitrate; the ratio ours / peer is printed. The whole program with its
// viewers, side by side with the tools a user would run, is bench/wmf/run.sh.
//
// Both sides run with the emulator preloaded, so both pay for drawing (and,
// for MJPEG, compressing) the camera's frames; that share, measured in our
// process, is printed too, with the ratio without it. The peer's figure is
// the difference of a long and a short run (ffmpeg's start-up not counted).
//
// Usage: bench_camera [seconds per run, default 10]

#include "bench/support/BenchMedia.h"
#include "bench/support/BenchSupport.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/Filters.h"
#include "platform/wmf/AsfFormat.h"
#include "platform/wmf/WMAsfWriter.h"
#include "platform/wmf/WMProfile.h"
#include "tools/fakecam/FakeCamControl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kBitrate = 93000;
constexpr REFERENCE_TIME kSlot = 666667; // the row's 15 frames a second

// A pass-through filter just before the writer: it records, for every
// sample, its stream time and the reference time of its capture, so that a
// payload arriving at the client can be traced back to its capture.
class Tap;

class TapInput final : public InputPin {
public:
    TapInput(FilterCore& filter, Tap& tap) : InputPin(filter, "Input"), m_tap(tap) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override { return IsCompleteType(type) ? S_OK : S_FALSE; }
    HRESULT Receive(IMediaSample* sample) override;

private:
    Tap& m_tap;
};

class TapOutput final : public OutputPin {
public:
    TapOutput(FilterCore& filter, PinBase& input) : OutputPin(filter, "Output", PIN_CATEGORY_CAPTURE), m_input(input) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
    {
        if (!m_input.IsConnected())
            return VFW_E_NOT_CONNECTED;
        const AM_MEDIA_TYPE in = m_input.ConnectionType();
        return TypeMatches(type, in) && type.subtype == in.subtype ? S_OK : S_FALSE;
    }
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override
    {
        if (index != 0 || !m_input.IsConnected())
            return S_FALSE;
        *type = m_input.ConnectionType();
        return S_OK;
    }

private:
    PinBase& m_input;
};

class Tap final : public BaseFilter<> {
public:
    Tap() : BaseFilter(MakeGuid("{6A1F0C53-27C4-4D8E-9E51-3B0A7C2D9F10}"))
    {
        m_in = static_cast<TapInput*>(AddPin(std::make_unique<TapInput>(*this, *this)));
        m_out = static_cast<TapOutput*>(AddPin(std::make_unique<TapOutput>(*this, *m_in)));
    }
    HRESULT Pass(IMediaSample* sample)
    {
        REFERENCE_TIME start = 0, end = 0;
        auto* s = static_cast<MediaSample*>(sample);
        if (SUCCEEDED(sample->GetTime(&start, &end))) {
            std::lock_guard lock(m_lock);
            m_seen.emplace_back(start, s->captureTime);
        }
        return m_out->Deliver(sample);
    }
    std::vector<std::pair<REFERENCE_TIME, REFERENCE_TIME>> Seen()
    {
        std::lock_guard lock(m_lock);
        return m_seen;
    }

private:
    TapInput* m_in;
    TapOutput* m_out;
    std::mutex m_lock;
    std::vector<std::pair<REFERENCE_TIME, REFERENCE_TIME>> m_seen; // stream time, capture time
};

HRESULT TapInput::Receive(IMediaSample* sample)
{
    const HRESULT hr = CheckStreaming();
    return FAILED(hr) ? hr : m_tap.Pass(sample);
}


constexpr int kCameraFps = 30;

using bench::CpuSeconds;

// Reads the stream; for every frame slot, the reference time at which the
// first byte of its data arrived.
void ReadStream(int fd, const std::atomic<bool>& done, std::vector<std::pair<int64_t, REFERENCE_TIME>>& arrivals)
{
    std::vector<bool> seen;
    bench::FollowAsfStream(fd, done, [&](int64_t ms, std::chrono::steady_clock::time_point arrived) {
        const auto slot = static_cast<size_t>(std::max<int64_t>(0, std::llround(static_cast<double>(ms) * 10000.0 / kSlot)));
        if (seen.size() <= slot)
            seen.resize(slot + 1, false);
        if (!seen[slot]) {
            seen[slot] = true;
            // The same clock as ReferenceTimeNow().
            arrivals.emplace_back(static_cast<int64_t>(slot),
                std::chrono::duration_cast<std::chrono::nanoseconds>(arrived.time_since_epoch()).count() / 100);
        }
    });
}

struct Result {
    double cpuPerFrameMs = 0;
    double emulatorPerFrameMs = 0; // of which the emulated camera drawing its frames
    double p50 = 0, p99 = 0;
    long frames = 0;
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// Our capture -> writer -> network sink path for the first device named `name`.
bool RunOurs(const std::string& name, int seconds, Result& result)
{
    DeviceIdentity device;
    for (const auto& d : EnumerateVideoInputDevices())
        if (d.friendlyName == name) {
            device = d;
            break;
        }
    ComPtr<IBaseFilter> source;
    if (device.kind.empty() || FAILED(CreateCaptureFilter(device, IBaseFilter::iid, source.ReleaseAndGetVoid()))) {
        std::fprintf(stderr, "no device %s\n", name.c_str());
        return false;
    }
    ComPtr<IGraphBuilder> graph;
    CreateFilterGraphManager(IGraphBuilder::iid, graph.ReleaseAndGetVoid());
    auto control = QueryInterfacePtr<IMediaControl>(graph.Get());
    auto writer = CoCreate<IBaseFilter>(CLSID_WMAsfWriter);
    auto builder = CoCreate<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2);
    if (!graph || !control || !writer || !builder || !bench::ConfigureDefaultRow(writer.Get()))
        return false;
    builder->SetFiltergraph(graph.Get());
    auto tap = ComPtr<Tap>::Adopt(NewComObject<Tap>());
    graph->AddFilter(source.Get(), "Source");
    graph->AddFilter(tap.Get(), "Tap");
    graph->AddFilter(writer.Get(), "Writer");
    if (FAILED(builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, source.Get(), tap.Get(), writer.Get()))) {
        std::fprintf(stderr, "cannot connect %s to the writer\n", name.c_str());
        return false;
    }
    auto provider = QueryInterfacePtr<IServiceProvider>(writer.Get());
    ComPtr<IWMWriterAdvanced2> advanced;
    provider->QueryService(IWMWriterAdvanced2::iid, IWMWriterAdvanced2::iid, advanced.ReleaseAndGetVoid());
    advanced->SetLiveSource(1);
    ComPtr<IWMWriterSink> fileSink;
    advanced->GetSink(0, fileSink.GetAddressOf());
    advanced->RemoveSink(fileSink.Get());
    ComPtr<IWMWriterNetworkSink> sink;
    WMCreateWriterNetworkSink(sink.GetAddressOf());
    DWORD port = 0;
    sink->SetMaximumClients(10);
    if (FAILED(sink->Open(&port)))
        return false;
    advanced->AddSink(sink.Get());

    if (FAILED(control->Run()))
        return false;
    const int fd = bench::OpenLoopback(static_cast<int>(port), "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n");
    std::atomic<bool> done{false};
    std::vector<std::pair<int64_t, REFERENCE_TIME>> arrivals;
    std::thread client([&] { ReadStream(fd, done, arrivals); });
    // The first two seconds are the join and the encoder settling.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long frames0 = fakecamctl::Frames(0);
    const long long draw0 = fakecamctl::DrawNs(0);
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long frames = device.kind == "v4l2" ? fakecamctl::Frames(0) - frames0 : std::lround(elapsed * kCameraFps);
    const double drawMs = device.kind == "v4l2" ? static_cast<double>(fakecamctl::DrawNs(0) - draw0) / 1e6 : 0;
    done = true;
    client.join();
    close(fd);
    control->Stop();
    sink->Close();

    // The writer numbers its frame slots from the first sample it gets (the
    // first through the tap) and puts each sample in the nearest slot; the
    // first sample of a slot is the one encoded.
    const auto seen = tap->Seen();
    std::map<int64_t, REFERENCE_TIME> captureOfSlot;
    if (!seen.empty()) {
        const REFERENCE_TIME origin = seen.front().first;
        for (const auto& [time, captured] : seen)
            captureOfSlot.emplace((std::max<REFERENCE_TIME>(time - origin, 0) + kSlot / 4) / kSlot, captured);
    }
    std::vector<double> delays;
    for (const auto& [slot, arrived] : arrivals)
        if (auto it = captureOfSlot.find(slot); it != captureOfSlot.end() && it->second > 0)
            delays.push_back(static_cast<double>(arrived - it->second) / 10000.0);
    // Frames that were already queued when the client joined arrive in a burst: skip the first second.
    if (delays.size() > 15)
        delays.erase(delays.begin(), delays.begin() + 15);
    result.frames = frames;
    result.cpuPerFrameMs = frames > 0 ? cpu * 1000.0 / static_cast<double>(frames) : 0;
    result.emulatorPerFrameMs = frames > 0 ? drawMs / static_cast<double>(frames) : 0;
    result.p50 = Percentile(delays, 0.5);
    result.p99 = Percentile(delays, 0.99);
    return frames > 0 && !delays.empty();
}

// CPU seconds of one ffmpeg run reading `input` for `seconds` into a WMV2/ASF
// file with one encode at the row's size, rate and bitrate (dropping to the
// row's rate before scaling, as we do); -1 on failure.
double PeerCpu(const std::string& input, double seconds)
{
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    const std::string out = "/tmp/bench_camera_peer.asf";
    char length[32];
    std::snprintf(length, sizeof length, "%.1f", seconds);
    const std::string rate = std::to_string(kBitrate);
    const std::string command = "ffmpeg -nostdin -v quiet -y " + input + " -t " + length +
                                " -vf fps=15,scale=320:240 -c:v wmv2 -b:v " + rate + " -maxrate " + rate + " -bufsize " + rate +
                                " -g 120 -threads 1 -f asf " + out;
    const int rc = std::system(command.c_str());
    std::remove(out.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "peer failed: %s\n", command.c_str());
        return -1;
    }
    return CpuSeconds(RUSAGE_CHILDREN) - cpu0;
}

// The peer's cost per 30 fps frame slot in steady state: the difference
// between a long and a short run, so that starting ffmpeg is not counted.
bool RunPeer(const std::string& input, int seconds, Result& result)
{
    const double shortRun = PeerCpu(input, seconds / 2.0), longRun = PeerCpu(input, seconds);
    if (shortRun < 0 || longRun < 0)
        return false;
    result.frames = static_cast<long>(seconds) * kCameraFps / 2;
    result.cpuPerFrameMs = (longRun - shortRun) * 1000.0 / static_cast<double>(result.frames);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // The emulator must be in the process from the start.
    if (!fakecamctl::Loaded()) {
        setenv("LD_PRELOAD", LUMORA_FAKECAM, 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_camera: re-exec with the emulated camera");
        return 1;
    }
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    RegisterMediaFrameworkClasses();
    RegisterWMAsfWriterClass();
    std::printf("capture -> network, 640x480 at 30 fps into the 93 Kbps row (320x240), %d s each\n", seconds);
    std::printf("%-14s %14s %10s %10s   %s\n", "path", "CPU/frame ms", "p50 ms", "p99 ms", "peer (ffmpeg -f v4l2 -> WMV2/ASF) and ratio");

    int status = 0;
    // The test pattern against ffmpeg's own test source at the row's size
    // and rate, in real time.
    Result pattern, patternPeer;
    if (RunOurs(kTestSourceName, seconds, pattern) &&
        RunPeer("-re -f lavfi -i testsrc=size=320x240:rate=15", seconds, patternPeer))
        std::printf("%-14s %14.2f %10.1f %10.1f   peer (ffmpeg -re lavfi testsrc 320x240 15 fps) %.2f ms/slot, ratio %.2f\n",
                    "test pattern", pattern.cpuPerFrameMs, pattern.p50, pattern.p99, patternPeer.cpuPerFrameMs,
                    pattern.cpuPerFrameMs / std::max(0.001, patternPeer.cpuPerFrameMs));
    else
        status = 1;
    for (const char* format : {"YUYV", "MJPG"}) {
        if (!fakecamctl::Configure(std::string("node=0;formats=") + format + ";sizes=640x480@30")) {
            std::fprintf(stderr, "cannot configure the emulated camera\n");
            return 1;
        }
        setenv("FAKECAM_DEVICES", (std::string("node=0;formats=") + format + ";sizes=640x480@30").c_str(), 1); // for ffmpeg
        Result ours, peer;
        if (!RunOurs("Lumora Fake Camera", seconds, ours) || !RunPeer("-f v4l2 -i /dev/video0", seconds, peer)) {
            status = 1;
            continue;
        }
        // Both processes draw the camera's frames; the ratio without that
        // share compares the capture -> encode paths alone.
        const double emulator = ours.emulatorPerFrameMs;
        std::printf("%-14s %14.2f %10.1f %10.1f   peer %.2f ms/frame, ratio %.2f (target <= 1.0); "
                    "drawing the camera's frames %.2f ms/frame, ratio without it %.2f\n",
                    (std::string("camera ") + format).c_str(), ours.cpuPerFrameMs, ours.p50, ours.p99, peer.cpuPerFrameMs,
                    ours.cpuPerFrameMs / peer.cpuPerFrameMs, emulator,
                    (ours.cpuPerFrameMs - emulator) / std::max(0.01, peer.cpuPerFrameMs - emulator));
    }
    return status;
}
