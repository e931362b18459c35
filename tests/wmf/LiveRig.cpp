// The live rig: a real graph serving the test source, and players reading it.

#include "tests/wmf/LiveRig.h"
#include "tests/wmf/PlayerProcess.h"
#include "tests/wmf/WmfTestUtil.h"

#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/TestPatternCode.h"
#include "platform/ffmpeg/FfmpegLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace wmflive {

const Row kRows[7] = {
    {0, 256000, 320, 240}, {1, 128000, 320, 240}, {2, 93000, 320, 240}, {3, 56000, 320, 240},
    {4, 32000, 320, 240},  {5, 28800, 240, 176},  {6, 20000, 240, 176},
};

std::string Run(const std::string& command, int* status)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    const int rc = pclose(p);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

ComPtr<IWMProfile> RowProfile(const Row& row)
{
    ComPtr<IWMProfileManager> m;
    if (FAILED(WMCreateProfileManager(m.GetAddressOf())))
        return {};
    std::string xml = wmftest::BaseProfileXml();
    std::map<std::string, std::string> edits{{"bitrate=\"32000\"", "bitrate=\"" + std::to_string(row.bitrate) + "\""},
        {"quality=\"75\"", ""}};
    if (row.index < 5)
        edits.insert({{"right=\"240\"", "right=\"320\""}, {"bottom=\"176\"", "bottom=\"240\""},
            {"biwidth=\"240\"", "biwidth=\"320\""}, {"biheight=\"176\"", "biheight=\"240\""}});
    for (const auto& [from, to] : edits)
        for (size_t at = xml.find(from); at != std::string::npos; at = xml.find(from, at + to.size()))
            xml.replace(at, from.size(), to);
    ComPtr<IWMProfile> edited;
    m->LoadProfileByData(Utf8ToUtf16(xml).c_str(), edited.GetAddressOf());
    return edited;
}

bool LiveRig::Start(const Row& row, std::string* error)
{
    RouteFfmpegLog(); // as in the program: the encoder's remarks stay off the console
    auto fail = [&](const char* why) {
        if (error)
            *error = why;
        Stop();
        return false;
    };
    RegisterMediaFrameworkClasses();
    RegisterWMAsfWriterClass();
    CreateFilterGraphManager(IFilterGraph::iid, m_graph.ReleaseAndGetVoid());
    m_control = QueryInterfacePtr<IMediaControl>(m_graph.Get());
    m_source = CoCreate<IBaseFilter>(CLSID_LumoraTestSource);
    m_writer = CoCreate<IBaseFilter>(CLSID_WMAsfWriter);
    if (!m_graph || !m_control || !m_source || !m_writer)
        return fail("cannot create the graph");
    auto config = QueryInterfacePtr<IConfigAsfWriter>(m_writer.Get());
    const ComPtr<IWMProfile> profile = RowProfile(row);
    if (!config || !profile || FAILED(config->ConfigureFilterUsingProfile(profile.Get())))
        return fail("cannot configure the writer");
    m_graph->AddFilter(m_source.Get(), "Source");
    m_graph->AddFilter(m_writer.Get(), "Writer");
    auto provider = QueryInterfacePtr<IServiceProvider>(m_writer.Get());
    ComPtr<IWMWriterAdvanced2> advanced;
    if (!provider || FAILED(provider->QueryService(IWMWriterAdvanced2::iid, IWMWriterAdvanced2::iid, advanced.ReleaseAndGetVoid())))
        return fail("no advanced writer interface");
    advanced->SetLiveSource(1);
    const DWORD mode = WM_DM_DEINTERLACE_NORMAL;
    advanced->SetInputSetting(0, g_wszDeinterlaceMode, WMT_TYPE_DWORD, reinterpret_cast<const BYTE*>(&mode), 4);
    ComPtr<IPin> out, in;
    m_source->FindPin("Capture", out.GetAddressOf());
    m_writer->FindPin("Video Input 01", in.GetAddressOf());
    if (!out || !in || FAILED(m_graph->ConnectDirect(out.Get(), in.Get(), nullptr)))
        return fail("cannot connect the source to the writer");
    AM_MEDIA_TYPE type;
    if (SUCCEEDED(out->ConnectionMediaType(&type)) && type.video.AvgTimePerFrame > 0)
        m_fps = 1e7 / static_cast<double>(type.video.AvgTimePerFrame);
    ComPtr<IWMWriterSink> fileSink;
    advanced->GetSink(0, fileSink.GetAddressOf());
    advanced->RemoveSink(fileSink.Get());
    WMCreateWriterNetworkSink(m_sink.GetAddressOf());
    m_sink->SetMaximumClients(10);
    m_port = 0;
    if (FAILED(m_sink->Open(&m_port)))
        return fail("cannot open the network sink");
    advanced->AddSink(m_sink.Get());
    m_started = Clock::now();
    if (FAILED(m_control->Run()))
        return fail("cannot run the graph");
    return true;
}

void LiveRig::Stop()
{
    if (m_control)
        m_control->Stop();
    if (m_sink)
        m_sink->Close();
    m_control.Reset();
    m_sink.Reset();
    m_source.Reset();
    m_writer.Reset();
    m_graph.Reset();
}

std::string LiveRig::Url(const char* scheme) const
{
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + "/";
}

double LiveRig::FrameAt(Clock::time_point t) const
{
    return std::chrono::duration<double>(t - m_started).count() * m_fps;
}

FirstPicture FirstDecodedPicture(const std::string& url, int width, int height, const std::string& inputOptions)
{
    FirstPicture r;
    char path[] = "/tmp/lumora-first-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        r.error = "no temporary file";
        return r;
    }
    close(fd);
    r.connected = Clock::now();
    int status = -1;
    const std::string errors = Run("timeout 30 ffmpeg -nostdin -v error -y " + inputOptions + " -i '" + url
            + "' -frames:v 1 -f rawvideo -pix_fmt gray '" + path + "' 2>&1",
        &status);
    r.decoded = Clock::now();
    std::ifstream f(path, std::ios::binary);
    const std::string luma((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::remove(path);
    if (status != 0 || luma.size() != static_cast<size_t>(width) * height) {
        r.error = "ffmpeg status " + std::to_string(status) + ", " + std::to_string(luma.size()) + " bytes: " + errors;
        return r;
    }
    r.code = ReadTestPatternCode(reinterpret_cast<const uint8_t*>(luma.data()), width, height, width);
    r.ok = r.code >= 0;
    if (!r.ok)
        r.error = "no frame code in the picture";
    return r;
}

const char* PlayerName(Player player)
{
    switch (player) {
    case Player::Ffmpeg:
        return "ffmpeg";
    case Player::Mpv:
        return "mpv";
    case Player::Vlc:
        return "VLC";
    }
    return "?";
}

namespace {

const char* PlayerProgram(Player player)
{
    return player == Player::Ffmpeg ? "ffmpeg" : player == Player::Mpv ? "mpv" : "cvlc";
}

std::string ReadWhole(const std::filesystem::path& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A PNG is complete once its last chunk, IEND (empty, fixed CRC), is written.
bool CompletePng(const std::string& bytes)
{
    static const char kEnd[] = "\0\0\0\0IEND\xAE\x42\x60\x82";
    constexpr size_t kEndSize = sizeof kEnd - 1;
    return bytes.size() > 8 + kEndSize && bytes.compare(0, 4, "\x89PNG") == 0
        && bytes.compare(bytes.size() - kEndSize, kEndSize, kEnd, kEndSize) == 0;
}

// The first picture file in `folder` (players number them from 1), or empty.
std::filesystem::path FirstPng(const std::filesystem::path& folder)
{
    std::filesystem::path first;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const auto& path = entry.path();
        if (path.extension() == ".png" && (first.empty() || path.filename() < first.filename()))
            first = path;
    }
    return first;
}

std::string Tail(const std::string& text, size_t n = 400)
{
    return text.size() > n ? text.substr(text.size() - n) : text;
}

} // namespace

bool PlayerInstalled(Player player)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + PlayerProgram(player)).c_str(), X_OK) == 0)
            return true;
    return false;
}

FirstPicture FirstShownPicture(Player player, const std::string& url, int width, int height, const std::vector<std::string>& options)
{
    if (player == Player::Ffmpeg) {
        std::string joined;
        for (const auto& o : options)
            joined += (joined.empty() ? "" : " ") + o;
        return FirstDecodedPicture(url, width, height, joined);
    }
    namespace fs = std::filesystem;
    FirstPicture r;
    char temp[] = "/tmp/lumora-player-XXXXXX";
    if (!mkdtemp(temp)) {
        r.error = "no temporary folder";
        return r;
    }
    const fs::path folder = temp, pictures = folder / "pictures", home = folder / "home";
    const fs::path log = folder / "player.log", picture = folder / "first.png", luma = folder / "first.gray";
    std::error_code ec;
    fs::create_directory(pictures, ec);
    fs::create_directory(home, ec);
    const bool root = geteuid() == 0;
    if (root) // VLC runs as nobody, who writes the pictures and its own settings there
        for (const auto& p : {folder, pictures, home})
            chmod(p.c_str(), 0777);

    std::vector<std::string> args;
    if (player == Player::Mpv) {
        args = {"mpv", "--no-config", "--no-terminal", "--no-audio", "--frames=1", "--vo=image", "--vo-image-format=png",
            "--vo-image-outdir=" + pictures.string()};
    } else {
        if (root)
            args = {"runuser", "-u", "nobody", "--"};
        args.insert(args.end(), {"env", "HOME=" + home.string(), "cvlc", "--no-audio", "--vout=dummy",
                                    "--video-filter=scene", "--scene-format=png", "--scene-ratio=1", "--scene-prefix=f",
                                    "--scene-path=" + pictures.string(), "--network-caching=" + std::to_string(kVlcCachingMs),
                                    // Without a size the scene filter stretches the shown picture over the
                                    // decoder's padded one (320 x 240 to 320 x 256).
                                    "--scene-width=" + std::to_string(width), "--scene-height=" + std::to_string(height)});
    }
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);

    std::string bytes;
    {
        PlayerProcess process;
        r.connected = Clock::now();
        if (!process.Spawn(args, log.string())) {
            r.error = std::string("cannot start ") + PlayerProgram(player);
            fs::remove_all(folder, ec);
            return r;
        }
        const auto deadline = r.connected + std::chrono::seconds(30);
        bool seen = false, ended = false;
        while (Clock::now() < deadline) {
            ended = process.Ended(); // before looking, so a picture written just before the end is found
            const fs::path first = FirstPng(pictures);
            if (!first.empty()) {
                if (!seen)
                    r.decoded = Clock::now();
                seen = true;
                bytes = ReadWhole(first);
                if (CompletePng(bytes))
                    break;
            }
            if (ended)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        process.Stop();
        if (!CompletePng(bytes)) {
            r.error = std::string(PlayerName(player))
                + (ended ? " ended (status " + std::to_string(process.Status()) + ")" : std::string(" timed out"))
                + (seen ? " with an incomplete picture" : " before any picture") + ": " + Tail(ReadWhole(log));
            fs::remove_all(folder, ec);
            return r;
        }
    }
    {
        std::ofstream out(picture, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    int status = -1;
    const std::string errors = Run("timeout 30 ffmpeg -nostdin -v error -y -i '" + picture.string()
            + "' -frames:v 1 -f rawvideo -pix_fmt gray '" + luma.string() + "' 2>&1",
        &status);
    const std::string gray = ReadWhole(luma);
    fs::remove_all(folder, ec);
    if (status != 0 || gray.size() != static_cast<size_t>(width) * height) {
        r.error = std::string(PlayerName(player)) + " picture: ffmpeg status " + std::to_string(status) + ", "
            + std::to_string(gray.size()) + " bytes of gray for " + std::to_string(width) + " x " + std::to_string(height)
            + ": " + errors;
        return r;
    }
    r.code = ReadTestPatternCode(reinterpret_cast<const uint8_t*>(gray.data()), width, height, width);
    r.ok = r.code >= 0;
    if (!r.ok)
        r.error = std::string(PlayerName(player)) + ": no frame code in the picture";
    return r;
}

PacketTable ProbePackets(const std::string& url, int seconds)
{
    PacketTable t;
    int status = -1;
    const std::string out = Run("timeout " + std::to_string(seconds * 3 + 20) + " ffprobe -v error -select_streams v:0 -read_intervals '%+"
            + std::to_string(seconds) + "' -show_entries packet=pts_time,flags -of csv=p=0 '" + url + "' 2>&1",
        &status);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos)
            continue;
        char* end = nullptr;
        const double pts = std::strtod(line.c_str(), &end);
        if (end == line.c_str())
            continue;
        t.packets.emplace_back(pts, line.find('K', comma) != std::string::npos);
    }
    if (status != 0 || t.packets.size() < 2)
        t.error = "ffprobe status " + std::to_string(status) + ": " + out.substr(0, 300);
    return t;
}

double PacketTable::FramesPerSecond() const
{
    if (packets.size() < 2)
        return 0;
    const double span = packets.back().first - packets.front().first;
    return span > 0 ? (packets.size() - 1) / span : 0;
}

double PacketTable::MaxGap() const
{
    double gap = 0;
    for (size_t i = 1; i < packets.size(); ++i)
        gap = std::max(gap, packets[i].first - packets[i - 1].first);
    return gap;
}

double PacketTable::MaxKeySpacing() const
{
    double spacing = 0, last = -1;
    for (const auto& [pts, key] : packets) {
        if (!key)
            continue;
        if (last >= 0)
            spacing = std::max(spacing, pts - last);
        last = pts;
    }
    return spacing;
}

std::string PacketTable::Describe() const
{
    size_t keys = 0;
    for (const auto& p : packets)
        keys += p.second;
    char line[160];
    std::snprintf(line, sizeof line, "%5zu frames %6.2f fps  max gap %5.3f s  %3zu key frames  max key spacing %5.2f s  first %s",
        packets.size(), FramesPerSecond(), MaxGap(), keys, MaxKeySpacing(), FirstIsKey() ? "key" : "DELTA");
    return line;
}

} // namespace wmflive
