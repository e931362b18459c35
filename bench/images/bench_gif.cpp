// GIF decoding throughput, ours against giflib's DGifSlurp on the same bytes
// in memory: decoded pixels per second for each file and the ratio.
//
// The files are made with ImageMagick (convert) in a temporary folder at
// start-up: small stills of 1 to 8 bits, interlaced images, animations and a
// 2000 x 2000 still. Both sides stop at colour indices per image (giflib
// composes nothing); "ours+strip" also builds the film strip.

#include "images/GifImage.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct Sample {
    const char* name;
    const char* arguments;
};

const Sample Samples[] = {
    {"still-8bit-320x240", "-seed 1 -size 320x240 plasma:fractal"},
    {"still-4bit-320x240", "-seed 2 -size 320x240 plasma:fractal -colors 16"},
    {"still-1bit-320x240", "-seed 3 -size 320x240 plasma:fractal -colors 2"},
    {"gradient-640x480", "-size 640x480 gradient:red-blue -colors 256"},
    {"interlaced-320x240", "-seed 4 -size 320x240 plasma:fractal -interlace GIF"},
    {"anim-10x200x150", "-seed 5 -size 200x150 plasma:fractal -duplicate 9 -distort SRT %[fx:t*36] -set delay 5 -loop 0"},
    {"anim-optimized", "-seed 6 -size 200x150 plasma:fractal ( +clone -fill blue -draw \"circle 100,75 100,40\" ) "
                       "( +clone -fill yellow -draw \"rectangle 10,10 60,60\" ) -layers Optimize"},
    {"still-2000x2000", "-seed 7 -size 2000x2000 plasma:fractal"},
};

struct File {
    std::string name;
    std::vector<uint8_t> bytes;
    int64_t pixels = 0; // sum of the images' width x height
};

std::vector<File> g_files;

struct MemoryReader {
    const std::vector<uint8_t>* bytes;
    size_t pos;
};

int ReadFromMemory(GifFileType* gif, GifByteType* target, int count)
{
    auto* reader = static_cast<MemoryReader*>(gif->UserData);
    const size_t n = std::min(size_t(count), reader->bytes->size() - reader->pos);
    std::memcpy(target, reader->bytes->data() + reader->pos, n);
    reader->pos += n;
    return int(n);
}

int64_t GiflibDecode(const std::vector<uint8_t>& bytes)
{
    MemoryReader reader{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadFromMemory, &error);
    if (!gif)
        return -1;
    int64_t pixels = -1;
    if (DGifSlurp(gif) == GIF_OK) {
        pixels = 0;
        for (int i = 0; i < gif->ImageCount; ++i)
            pixels += int64_t(gif->SavedImages[i].ImageDesc.Width) * gif->SavedImages[i].ImageDesc.Height;
    }
    DGifCloseFile(gif, &error);
    return pixels;
}

void BM_Ours(benchmark::State& state, const File* file)
{
    for (auto _ : state) {
        TGif gif;
        gif.LoadFromMemory(file->bytes.data(), file->bytes.size());
        benchmark::DoNotOptimize(gif.Images().back().Pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * file->pixels);
}

void BM_OursWithStrip(benchmark::State& state, const File* file)
{
    for (auto _ : state) {
        bool still;
        auto image = LoadGIFImage(file->bytes.data(), file->bytes.size(), still);
        benchmark::DoNotOptimize(image.get());
    }
    state.SetItemsProcessed(state.iterations() * file->pixels);
}

void BM_Giflib(benchmark::State& state, const File* file)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(GiflibDecode(file->bytes));
    state.SetItemsProcessed(state.iterations() * file->pixels);
}

// Keeps the median pixels per second of every benchmark to print the
// ratios at the end (the machine is shared: medians of 5 runs).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end() && run.aggregate_name == "median")
                rates[run.run_name.function_name] = it->second;
        }
    }
    std::map<std::string, double> rates;
};

bool MakeFiles(const std::filesystem::path& dir)
{
    for (const Sample& s : Samples) {
        const std::string path = (dir / (std::string(s.name) + ".gif")).string();
        std::string arguments = s.arguments;
        for (size_t at = 0; (at = arguments.find_first_of("()", at)) != std::string::npos; at += 2)
            arguments.insert(at, "\\");
        const std::string command = "convert " + arguments + " '" + path + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "could not make %s with ImageMagick\n", s.name);
            return false;
        }
        File file;
        file.name = s.name;
        std::ifstream in(path, std::ios::binary);
        file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        file.pixels = GiflibDecode(file.bytes);
        try {
            TGif check;
            check.LoadFromMemory(file.bytes.data(), file.bytes.size());
        } catch (const Exception& e) {
            std::fprintf(stderr, "%s: %s\n", s.name, e.Message().c_str());
            return false;
        }
        if (file.pixels <= 0) {
            std::fprintf(stderr, "giflib cannot read %s\n", s.name);
            return false;
        }
        g_files.push_back(std::move(file));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/bench_images_XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const std::filesystem::path dir = pattern;
    const bool made = MakeFiles(dir);
    std::filesystem::remove_all(dir);
    if (!made)
        return 1;

    for (const File& f : g_files) {
        for (auto* b : {benchmark::RegisterBenchmark(("ours/" + f.name).c_str(), BM_Ours, &f),
                        benchmark::RegisterBenchmark(("giflib/" + f.name).c_str(), BM_Giflib, &f),
                        benchmark::RegisterBenchmark(("ours+strip/" + f.name).c_str(), BM_OursWithStrip, &f)})
            b->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-22s %14s %14s %8s %12s\n", "file", "ours Mpx/s", "giflib Mpx/s", "ratio", "+strip ratio");
    double sumRatio = 0;
    int count = 0;
    for (const File& f : g_files) {
        const double ours = reporter.rates["ours/" + f.name];
        const double giflib = reporter.rates["giflib/" + f.name];
        const double strip = reporter.rates["ours+strip/" + f.name];
        if (ours <= 0 || giflib <= 0)
            continue;
        std::printf("%-22s %14.1f %14.1f %8.2f %12.2f\n", f.name.c_str(), ours / 1e6, giflib / 1e6, ours / giflib,
                    strip / giflib);
        sumRatio += ours / giflib;
        ++count;
    }
    if (count)
        std::printf("%-22s %14s %14s %8.2f\n", "mean ratio", "", "", sumRatio / count);
    return 0;
}
