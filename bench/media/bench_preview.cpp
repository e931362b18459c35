// Preview cost of the 640 x 480, 30 fps test source: CPU time per painted
// frame and the delay from a frame's capture to its painting (p50, p99), for
// the RGB32 path (source -> smart tee -> renderer) and the YUY2 path (with the
// colour converter). The peer is ffmpeg generating the same size and rate of
// test picture in real time (-re) into BGR0 frames, measured the same way.
//
// Usage: bench_media_preview [seconds per run, default 5]

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/VideoRenderer.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double CpuSeconds(const rusage& r)
{
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<REFERENCE_TIME> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return static_cast<double>(v[i]) / 10000.0; // milliseconds
}

struct Result {
    double cpuPerFrameMs = 0;
    uint64_t frames = 0;
    double p50 = 0, p99 = 0;
};

Result RunPreview(const GUID& subtype, double seconds)
{
    ComPtr<IFilterGraph2> graph;
    CreateFilterGraphManager(IFilterGraph2::iid, graph.ReleaseAndGetVoid());
    ComPtr<ICaptureGraphBuilder2> builder;
    CreateCaptureGraphBuilder(ICaptureGraphBuilder2::iid, builder.ReleaseAndGetVoid());
    builder->SetFiltergraph(graph.Get());
    ComPtr<IBaseFilter> source, renderer;
    CreateTestPatternSource(IBaseFilter::iid, source.ReleaseAndGetVoid());
    CreateVideoMixingRenderer9(IBaseFilter::iid, renderer.ReleaseAndGetVoid());
    const AM_MEDIA_TYPE format = MakeVideoType(subtype, 640, 480, 30);
    source.As<IAMStreamConfig>()->SetFormat(&format);
    graph->AddFilter(source.Get(), "Source");
    graph->AddFilter(renderer.Get(), "Renderer");
    if (FAILED(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, source.Get(), nullptr, renderer.Get()))) {
        std::fprintf(stderr, "cannot render the preview\n");
        std::exit(1);
    }
    QWidget owner;
    owner.resize(660, 500);
    owner.show();
    auto window = renderer.As<IVideoWindow>();
    window->put_Owner(reinterpret_cast<OAHWND>(&owner));
    window->SetWindowPosition(10, 10, 640, 480);
    renderer.As<IVMRAspectRatioControl9>()->SetAspectRatioMode(VMR9ARMode_LetterBox);
    auto stats = renderer.As<IRendererStatistics>();
    auto control = graph.As<IMediaControl>();

    rusage before{}, after{};
    control->Run();
    // Let the pipeline settle, then measure, with the event loop blocking
    // between events as the program's does.
    auto runLoop = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    runLoop(500);
    std::vector<REFERENCE_TIME> discard;
    stats->TakePaintDelays(&discard);
    uint64_t received0 = 0, painted0 = 0;
    stats->GetCounts(&received0, &painted0);
    getrusage(RUSAGE_SELF, &before);
    runLoop(static_cast<int>(seconds * 1000));
    getrusage(RUSAGE_SELF, &after);
    uint64_t received1 = 0, painted1 = 0;
    stats->GetCounts(&received1, &painted1);
    std::vector<REFERENCE_TIME> delays;
    stats->TakePaintDelays(&delays);
    control->Stop();

    Result r;
    r.frames = painted1 - painted0;
    r.cpuPerFrameMs = r.frames ? (CpuSeconds(after) - CpuSeconds(before)) * 1000.0 / static_cast<double>(r.frames) : 0;
    r.p50 = Percentile(delays, 0.50);
    r.p99 = Percentile(delays, 0.99);
    return r;
}

// ffmpeg producing the same picture size and rate in real time.
Result RunPeer(double seconds)
{
    const int frames = static_cast<int>(seconds * 30);
    const std::string count = std::to_string(frames);
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
               "testsrc=size=640x480:rate=30", "-frames:v", count.c_str(), "-pix_fmt", "bgr0", "-f", "rawvideo", "-y",
               "/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Result r;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        r.frames = static_cast<uint64_t>(frames);
        r.cpuPerFrameMs = CpuSeconds(usage) * 1000.0 / frames;
    }
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 5.0;
    RegisterMediaFrameworkClasses();

    const Result peer = RunPeer(seconds);
    std::printf("%-34s %10s %8s %9s %9s\n", "640x480 30fps preview", "CPU/frame", "frames", "p50 ms", "p99 ms");
    std::printf("%-34s %8.3fms %8llu %9s %9s\n", "ffmpeg testsrc -> bgr0 (peer)", peer.cpuPerFrameMs,
                static_cast<unsigned long long>(peer.frames), "-", "-");
    for (const auto& [name, subtype] : {std::pair{"ours RGB32 -> tee -> VMR9", MEDIASUBTYPE_RGB32},
                                        std::pair{"ours YUY2 -> tee -> conv -> VMR9", MEDIASUBTYPE_YUY2}}) {
        const Result r = RunPreview(subtype, seconds);
        std::printf("%-34s %8.3fms %8llu %9.2f %9.2f   ratio to peer %.2f\n", name, r.cpuPerFrameMs,
                    static_cast<unsigned long long>(r.frames), r.p50, r.p99,
                    peer.cpuPerFrameMs > 0 ? r.cpuPerFrameMs / peer.cpuPerFrameMs : 0.0);
    }
    std::printf("targets: CPU/frame < 2 ms, p99 delay < 33.3 ms (one frame interval)\n");
    return 0;
}
