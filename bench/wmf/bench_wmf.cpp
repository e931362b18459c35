// Windows Media writer figures, each against its peer or its target:
//
//   bench_wmf encode [frames]   CPU time per frame of our encoder against the
//                               ffmpeg command line encoding the same frames
//                               to WMV2/ASF at the same size and bitrate.
//   bench_wmf delay [seconds]   delay from a frame entering the writer filter
//                               to the first byte of its data at a loopback
//                               client (p50, p99), 320 x 240 at 15 fps.
//   bench_wmf delay SECONDS URL the same with the RTMP relay taking every
//                               picture beside the stream and publishing
//                               to URL (e.g. a local nginx-rtmp).
//   bench_wmf soak [seconds]    10 clients for the given time (300 s by
//                               default): CPU use and resident memory over time.
//   bench_wmf live [seconds]    every bitrate row at once: a late joiner's
//                               connect-to-picture time and delay behind
//                               capture (ffmpeg, mpv and VLC over http:// and
//                               mmsh://), frame rate, gaps, key frame
//                               spacing, bytes (bench_live.cpp).

#include "bench/support/BenchMedia.h"
#include "bench/support/BenchSupport.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/ffmpeg/FfmpegLog.h"
#include "platform/wmf/WMAsfWriter.h"
#ifdef LUMORA_BENCH_RELAY
#include "live/relay/RtmpRelay.h"
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 320, kHeight = 240;
constexpr DWORD kBitrate = 93000; // the default bitrate row

using bench::CpuSeconds;

std::vector<uint8_t> Picture(int n)
{
    return bench::BarsPicture(n, kWidth, kHeight);
}

// ---- encoding cost ----------------------------------------------------------------

int Encode(int frames)
{
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 60; ++i)
        pictures.push_back(Picture(i));
    const std::string raw = "/tmp/bench_wmf_frames.raw", out = "/tmp/bench_wmf_ffmpeg.asf";
    {
        std::ofstream f(raw, std::ios::binary);
        for (int i = 0; i < frames; ++i)
            f.write(reinterpret_cast<const char*>(pictures[static_cast<size_t>(i) % 60].data()),
                static_cast<std::streamsize>(pictures[0].size()));
    }
    // Ours: the writer's encoding core, packets into memory.
    uint64_t bytes = 0;
    std::string error;
    auto enc = AsfEncoder::Create(wmftest::BaseProfileStreams(kBitrate, kWidth, kHeight), "bench", [&](asf::DataPacketPtr p) { bytes += p->bytes.size(); }, &error);
    if (!enc) {
        std::fprintf(stderr, "encoder: %s\n", error.c_str());
        return 1;
    }
    const double ours0 = CpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < frames; ++i) {
        const auto& pic = pictures[static_cast<size_t>(i) % 60];
        enc->EncodeVideo(0, {PixelLayout::RGB32, kWidth, kHeight, pic.data(), pic.size()}, i * 666667LL, false);
    }
    enc->Finish();
    const double ours = CpuSeconds(RUSAGE_SELF) - ours0;

    // The peer: the ffmpeg command line, same frames, size, rate and bitrate.
    const double peer0 = CpuSeconds(RUSAGE_CHILDREN);
    const std::string command = "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgr0 -s 320x240 -r 15 -i " + raw
        + " -c:v wmv2 -b:v " + std::to_string(kBitrate * 9 / 10) + " -maxrate " + std::to_string(kBitrate * 9 / 10)
        + " -bufsize " + std::to_string(kBitrate * 5) + " -g 120 -threads 1 -f asf " + out;
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    const double peer = CpuSeconds(RUSAGE_CHILDREN) - peer0;
    std::printf("encode: %d frames 320x240 WMV2 at %u bit/s\n", frames, kBitrate);
    std::printf("  ours   %.3f ms CPU per frame (%llu bytes)\n", ours * 1000 / frames, static_cast<unsigned long long>(bytes));
    std::printf("  ffmpeg %.3f ms CPU per frame (command line, process start included)\n", peer * 1000 / frames);
    std::printf("  ratio ours/ffmpeg = %.2f (target <= 1.20)\n", ours / peer);
    std::remove(raw.c_str());
    std::remove(out.c_str());
    return 0;
}

// ---- a source filter the bench drives by hand --------------------------------------

const CLSID kBenchSource = MakeGuid("{5E0F3C70-2B1D-4C8A-9F61-0D7A2B4C9E13}");

class BenchSource final : public BaseFilter<> {
public:
    BenchSource() : BaseFilter(kBenchSource) { m_out = static_cast<Out*>(AddPin(std::make_unique<Out>(*this))); }
    ~BenchSource() override { StopStreamingNow(); }
    OutputPin* Output() { return m_out; }

private:
    struct Out final : OutputPin {
        explicit Out(FilterCore& f) : OutputPin(f, "Capture", PIN_CATEGORY_CAPTURE) {}
        HRESULT CheckMediaType(const AM_MEDIA_TYPE& t) override
        {
            return t.majortype == MEDIATYPE_Video && t.subtype == MEDIASUBTYPE_RGB32 ? S_OK : S_FALSE;
        }
        HRESULT GetMediaType(int index, AM_MEDIA_TYPE* t) override
        {
            if (index != 0)
                return S_FALSE;
            *t = MakeVideoType(MEDIASUBTYPE_RGB32, kWidth, kHeight, 15);
            return S_OK;
        }
    };
    Out* m_out;
};

struct Rig {
    ComPtr<IFilterGraph> graph;
    ComPtr<IMediaControl> control;
    ComPtr<BenchSource> source;
    ComPtr<IBaseFilter> writer;
    ComPtr<IWMWriterNetworkSink> sink;
    DWORD port = 0;
};

bool Build(Rig& r, DWORD maxClients)
{
    RegisterMediaFrameworkClasses();
    RegisterWMAsfWriterClass();
    CreateFilterGraphManager(IFilterGraph::iid, r.graph.ReleaseAndGetVoid());
    r.control = QueryInterfacePtr<IMediaControl>(r.graph.Get());
    r.source = ComPtr<BenchSource>::Adopt(NewComObject<BenchSource>());
    r.writer = CoCreate<IBaseFilter>(CLSID_WMAsfWriter);
    if (!r.graph || !r.control || !r.writer)
        return false;
    if (!bench::ConfigureDefaultRow(r.writer.Get()))
        return false;
    r.graph->AddFilter(r.source.Get(), "Source");
    r.graph->AddFilter(r.writer.Get(), "Writer");
    ComPtr<IPin> in;
    r.writer->FindPin("Video Input 01", in.GetAddressOf());
    const AM_MEDIA_TYPE type = MakeVideoType(MEDIASUBTYPE_RGB32, kWidth, kHeight, 15);
    if (FAILED(r.graph->ConnectDirect(r.source->Output(), in.Get(), &type)))
        return false;
    auto provider = QueryInterfacePtr<IServiceProvider>(r.writer.Get());
    ComPtr<IWMWriterAdvanced2> advanced;
    provider->QueryService(IWMWriterAdvanced2::iid, IWMWriterAdvanced2::iid, advanced.ReleaseAndGetVoid());
    advanced->SetLiveSource(1);
    ComPtr<IWMWriterSink> fileSink;
    advanced->GetSink(0, fileSink.GetAddressOf());
    advanced->RemoveSink(fileSink.Get());
    WMCreateWriterNetworkSink(r.sink.GetAddressOf());
    r.sink->SetMaximumClients(maxClients);
    if (FAILED(r.sink->Open(&r.port)))
        return false;
    advanced->AddSink(r.sink.Get());
    return SUCCEEDED(r.control->Run());
}

// Pushes pictures into the writer at 15 a second; records when each entered.
void Produce(Rig& r, int frames, std::vector<Clock::time_point>* entered, const std::atomic<bool>* stop = nullptr)
{
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 60; ++i)
        pictures.push_back(Picture(i));
    const auto start = Clock::now();
    for (int n = 0; n < frames && !(stop && *stop); ++n) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(66667LL * n));
        auto sample = MediaSample::Create(pictures[0].size());
        std::memcpy(sample->Data(), pictures[static_cast<size_t>(n) % 60].data(), pictures[0].size());
        const REFERENCE_TIME t0 = n * 666667LL, t1 = t0 + 666667;
        sample->SetTime(&t0, &t1);
        if (entered)
            (*entered)[static_cast<size_t>(n)] = Clock::now();
        r.source->Output()->Deliver(sample.Get());
    }
}

int Delay(int seconds, const char* relayUrl)
{
    Rig r;
    if (!Build(r, 10)) {
        std::fprintf(stderr, "cannot build the graph\n");
        return 1;
    }
#ifdef LUMORA_BENCH_RELAY
    // The same delivery with the relay taking every picture beside it.
    std::shared_ptr<RtmpRelay> relay;
    if (relayUrl) {
        RelayOptions options;
        options.url = relayUrl;
        relay = std::make_shared<RtmpRelay>(options);
        relay->Start(QueryInterfacePtr<IWMWriterPictureTap>(r.writer.Get())->GetPictureTap());
    }
#else
    if (relayUrl) {
        std::fprintf(stderr, "built without the relay\n");
        return 2;
    }
#endif
    const int fd = bench::OpenLoopback(static_cast<int>(r.port), "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n");
    const int frames = seconds * 15;
    std::vector<Clock::time_point> entered(static_cast<size_t>(frames)), arrived(static_cast<size_t>(frames));
    std::vector<bool> seen(static_cast<size_t>(frames), false);
    std::atomic<bool> done{false};
    std::thread client([&] {
        bench::FollowAsfStream(fd, done, [&](int64_t ms, Clock::time_point now) {
            const auto frame = static_cast<size_t>(std::lround(static_cast<double>(ms) / 66.6667));
            if (frame < seen.size() && !seen[frame]) {
                seen[frame] = true;
                arrived[frame] = now;
            }
        });
    });
    Produce(r, frames, &entered);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    done = true;
    client.join();
    close(fd);
    r.control->Stop();
    r.sink->Close();
#ifdef LUMORA_BENCH_RELAY
    if (relay) {
        const RelayStatus status = relay->Status();
        relay->Stop();
        std::printf("relay beside it: %s, %llu pictures sent, %llu dropped\n",
            RelayStatusText(status, std::chrono::steady_clock::now()).c_str(),
            static_cast<unsigned long long>(status.picturesSent), static_cast<unsigned long long>(status.picturesDropped));
    }
#endif
    std::vector<double> delays;
    for (size_t i = 15; i < entered.size(); ++i) // the first second is the join
        if (seen[i])
            delays.push_back(std::chrono::duration<double, std::milli>(arrived[i] - entered[i]).count());
    if (delays.empty()) {
        std::fprintf(stderr, "no frame reached the client\n");
        return 1;
    }
    std::sort(delays.begin(), delays.end());
    const double p50 = delays[delays.size() / 2], p99 = delays[std::min(delays.size() - 1, delays.size() * 99 / 100)];
    std::printf("delay: %zu frames 320x240 at 15 fps, %u bit/s, writer filter -> network sink -> loopback client\n",
        delays.size(), kBitrate);
    std::printf("  p50 %.1f ms (target < 50), p99 %.1f ms (target < 100), max %.1f ms\n", p50, p99, delays.back());
    return 0;
}

long ResidentKiB()
{
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int Soak(int seconds)
{
    Rig r;
    if (!Build(r, 10)) {
        std::fprintf(stderr, "cannot build the graph\n");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 10; ++i)
        clients.emplace_back([&] {
            const int fd = bench::OpenLoopback(static_cast<int>(r.port), "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n");
            char buf[65536];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) > 0) {
                    const ssize_t n = recv(fd, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    received += static_cast<uint64_t>(n);
                }
            }
            close(fd);
        });
    std::thread producer([&] { Produce(r, seconds * 15, nullptr, &stop); });
    const auto start = Clock::now();
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    std::printf("soak: 10 clients, %d s\n  time   RSS KiB   CPU %%   received MB\n", seconds);
    long atMinute = 0, last = 0;
    for (int t = 10; t <= seconds; t += 10) {
        std::this_thread::sleep_until(start + std::chrono::seconds(t));
        const double cpu = (CpuSeconds(RUSAGE_SELF) - cpu0) / t * 100;
        last = ResidentKiB();
        if (t == 60)
            atMinute = last;
        std::printf("  %4d s %8ld %7.1f %10.2f\n", t, last, cpu, received / 1e6);
        std::fflush(stdout);
    }
    stop = true;
    producer.join();
    for (auto& c : clients)
        c.join();
    r.control->Stop();
    r.sink->Close();
    if (atMinute)
        std::printf("  growth after the first minute: %ld KiB\n", last - atMinute);
    return 0;
}

} // namespace

#ifdef LUMORA_BENCH_LIVE
int Live(int seconds);
int Screen(int seconds, const char* rowList, const char* only, char** argv);
#endif

int main(int argc, char** argv)
{
    // As in the program: the encoder's remarks stay off the console.
    RouteFfmpegLog();
    const std::string mode = argc > 1 ? argv[1] : "encode";
    const int arg = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "encode")
        return Encode(arg > 0 ? arg : 900);
    if (mode == "delay")
        return Delay(arg > 0 ? arg : 20, argc > 3 ? argv[3] : nullptr);
    if (mode == "soak")
        return Soak(arg > 0 ? arg : 300);
#ifdef LUMORA_BENCH_LIVE
    if (mode == "live")
        return Live(arg > 0 ? arg : 60);
    if (mode == "screen")
        return Screen(arg > 0 ? arg : 10, argc > 3 ? argv[3] : nullptr, argc > 4 ? argv[4] : nullptr, argv);
#endif
    std::fprintf(stderr, "usage: bench_wmf encode|delay|soak|live|screen [count] (delay: [seconds [rtmp-url]]; screen: [seconds [rows [player]]])\n");
    return 2;
}
