// HLS on the stream port: ffprobe and ffmpeg's HLS reader play /live.m3u8;
// the playlists and segments as a raw client reads them (format, caching,
// key frames, media sequence); HLS viewers counted against the shared limit
// with every other kind, until they stop fetching.

#include "tests/live/browser/BrowserSideFixture.h"

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace browsertest;

uint32_t Be32(const std::string& s, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16
        | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 | static_cast<uint8_t>(s[at + 3]);
}

// One fMP4 media segment as a player reads it: moof/mdat pairs.
struct SegmentInfo {
    bool valid = false;
    size_t fragments = 0;
    bool startsWithIdr = false;  // the first mdat holds an IDR picture
    uint64_t firstDecodeTime = 0; // tfdt of the first fragment, 90 kHz
};

SegmentInfo ReadSegment(const std::string& data)
{
    SegmentInfo info;
    bool sawMoof = false;
    for (size_t at = 0; at + 8 <= data.size();) {
        const size_t size = Be32(data, at);
        if (size < 8 || at + size > data.size())
            return info;
        const std::string_view type(data.data() + at + 4, 4);
        if (type == "moof") {
            if (info.fragments == 0) {
                const size_t tfdt = data.find("tfdt", at);
                if (tfdt == std::string::npos || tfdt > at + size)
                    return info;
                info.firstDecodeTime = data[tfdt + 4] == 1 ? static_cast<uint64_t>(Be32(data, tfdt + 8)) << 32 | Be32(data, tfdt + 12)
                                                           : Be32(data, tfdt + 8);
            }
            sawMoof = true;
        } else if (type == "mdat") {
            if (!sawMoof)
                return info;
            if (info.fragments == 0)
                for (size_t n = at + 8; n + 5 <= at + size; n += 4 + Be32(data, n))
                    info.startsWithIdr = info.startsWithIdr || (data[n + 4] & 0x1f) == 5;
            ++info.fragments;
            sawMoof = false;
        } else {
            return info; // only fragments belong in a media segment
        }
        at += size;
    }
    info.valid = info.fragments > 0;
    return info;
}

struct Playlist {
    std::map<std::string, std::string> tags; // "#EXT-X-...": value
    std::vector<std::pair<double, std::string>> segments; // EXTINF, URI
    std::vector<std::string> maps;                        // EXT-X-MAP URIs
    bool startsRight = false;
};

Playlist ParsePlaylist(const std::string& text)
{
    Playlist p;
    std::istringstream in(text);
    std::string line;
    p.startsRight = std::getline(in, line) && line == "#EXTM3U";
    double duration = -1;
    while (std::getline(in, line)) {
        if (line.rfind("#EXTINF:", 0) == 0) {
            duration = std::stod(line.substr(8));
        } else if (line.rfind("#EXT-X-MAP:URI=\"", 0) == 0) {
            p.maps.push_back(line.substr(16, line.size() - 17));
        } else if (line.rfind("#EXT", 0) == 0) {
            const size_t colon = line.find(':');
            p.tags[line.substr(0, colon)] = colon == std::string::npos ? "" : line.substr(colon + 1);
        } else if (!line.empty()) {
            p.segments.emplace_back(duration, line);
            duration = -1;
        }
    }
    return p;
}

std::string HeadOf(const std::string& response) { return response.substr(0, response.find("\r\n\r\n") + 4); }

class HlsTest : public BrowserSideTest {
protected:
    // The media playlist's path named by the multivariant playlist at /live.m3u8.
    std::string MediaPlaylistPath(const std::string& query = {})
    {
        const std::string multivariant = Body(Get("/live.m3u8" + query));
        const size_t at = multivariant.find("\nhls/");
        EXPECT_NE(at, std::string::npos) << multivariant;
        return at == std::string::npos ? std::string() : "/" + multivariant.substr(at + 1, multivariant.find('\n', at + 1) - at - 1);
    }
};

TEST_F(HlsTest, FfmpegPlaysLiveM3u8AndThePlaylistsAndSegmentsFollowTheFormat)
{
    const std::string probe = RunCommand("timeout 60 ffprobe -v error -show_entries stream=codec_name,profile,width,height,r_frame_rate "
        "-of csv=p=0 " + Url("http", "/live.m3u8"));
    // (The HLS reader lists the stream twice: in its program and alone.)
    EXPECT_EQ(probe.substr(0, probe.find('\n') + 1), "h264,Constrained Baseline,320,240,15/1\n") << probe;
    // Five seconds of pictures through ffmpeg's HLS reader, decoded whole.
    const std::string decoded = RunCommand("timeout 90 ffmpeg -nostdin -v error -i " + Url("http", "/live.m3u8")
        + " -frames:v 75 -f rawvideo -pix_fmt gray - | wc -c");
    EXPECT_EQ(std::stoul(decoded), 75u * 320 * 240) << decoded;

    const std::string multivariant = Get("/live.m3u8");
    EXPECT_EQ(HeadOf(multivariant), "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\nContent-Length: "
            + std::to_string(Body(multivariant).size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
    std::istringstream lines(Body(multivariant));
    std::vector<std::string> line;
    for (std::string l; std::getline(lines, l);)
        line.push_back(l);
    ASSERT_EQ(line.size(), 5u) << Body(multivariant);
    EXPECT_EQ(line[0] + line[1] + line[2], "#EXTM3U#EXT-X-VERSION:7#EXT-X-INDEPENDENT-SEGMENTS");
    // (MatchesShape reads '#' as digits: the tag's own '#' is checked apart.)
    EXPECT_EQ(line[3][0], '#');
    EXPECT_TRUE(MatchesShape(line[3].substr(1), "EXT-X-STREAM-INF:BANDWIDTH=#,CODECS=\"avc1.42c00c\",RESOLUTION=#x#,FRAME-RATE=#.#"))
        << line[3];
    EXPECT_NE(line[3].find("RESOLUTION=320x240,FRAME-RATE=15.000"), std::string::npos) << line[3];
    EXPECT_EQ(line[4].rfind("hls/", 0), 0u) << line[4];
    EXPECT_EQ(line[4].substr(line[4].size() - 10), "/live.m3u8") << line[4];

    const std::string path = MediaPlaylistPath();
    const std::string base = path.substr(0, path.rfind('/') + 1);
    const std::string first = Get(path);
    EXPECT_EQ(HeadOf(first).rfind("HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\n", 0), 0u) << first;
    EXPECT_NE(HeadOf(first).find("\r\nCache-Control: no-store\r\n"), std::string::npos) << first;
    Playlist a = ParsePlaylist(Body(first));
    EXPECT_TRUE(a.startsRight);
    EXPECT_EQ(a.tags["#EXT-X-VERSION"], "7");
    EXPECT_EQ(a.tags["#EXT-X-TARGETDURATION"], "1");
    EXPECT_TRUE(a.tags.count("#EXT-X-INDEPENDENT-SEGMENTS"));
    ASSERT_EQ(a.maps.size(), 1u) << Body(first);
    ASSERT_GE(a.segments.size(), 2u) << Body(first);

    // Every segment lasts about a second (a key frame once a second, never
    // more often) and its EXTINF rounds to at most the target duration;
    // each starts with a key frame where the one before it ended.
    const std::string init = Body(Get(base + a.maps[0]));
    EXPECT_EQ(init.substr(4, 4), "ftyp");
    EXPECT_NE(init.find("avcC"), std::string::npos);
    SegmentInfo previous;
    double previousDuration = 0;
    for (const auto& [duration, uri] : a.segments) {
        SCOPED_TRACE(uri);
        EXPECT_GE(duration, 0.99);
        EXPECT_LE(std::lround(duration), 1);
        const std::string response = Get(base + uri);
        EXPECT_NE(HeadOf(response).find("\r\nContent-Type: video/mp4\r\n"), std::string::npos) << HeadOf(response);
        EXPECT_NE(HeadOf(response).find("\r\nCache-Control: public, max-age=60, immutable\r\n"), std::string::npos) << HeadOf(response);
        const SegmentInfo s = ReadSegment(Body(response));
        ASSERT_TRUE(s.valid);
        EXPECT_TRUE(s.startsWithIdr);
        EXPECT_EQ(s.fragments, static_cast<size_t>(std::lround(duration * 15)));
        if (previous.valid) {
            EXPECT_EQ(s.firstDecodeTime, previous.firstDecodeTime + static_cast<uint64_t>(std::llround(previousDuration * 90000)));
        }
        previous = s;
        previousDuration = duration;
    }
    // Later the list has moved on: the media sequence grew by the segments
    // that left it, and the numbering follows the list.
    Playlist b;
    int64_t moved = 0;
    EXPECT_TRUE(WaitFor([&] {
        b = ParsePlaylist(Body(Get(path)));
        moved = std::stoll(b.tags["#EXT-X-MEDIA-SEQUENCE"]) - std::stoll(a.tags["#EXT-X-MEDIA-SEQUENCE"]);
        return moved >= 2;
    }, 10s));
    ASSERT_FALSE(b.segments.empty());
    EXPECT_GE(moved, 1) << Body(first);
    if (moved < static_cast<int64_t>(a.segments.size())) {
        EXPECT_EQ(b.segments.front().second, a.segments[static_cast<size_t>(moved)].second) << "numbering follows the list";
    }
    EXPECT_NE(b.segments.back().second, a.segments.back().second);
    // Files that are not kept, or not of this form, are not found.
    for (const std::string& missing : {base + "nothing.m4s", base + "x-999999.m4s", std::string("/hls/../watch")})
        EXPECT_EQ(Get(missing).rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << missing;
}

TEST_F(HlsTest, TenViewersOfMixedKindsFillTheLimitTheEleventhOfAnyKindGets503)
{
    // Three Windows Media players, two MJPEG and two MSE browsers, and three
    // HLS players (ffmpeg's HLS reader, playing on).
    std::vector<std::unique_ptr<ChildProcess>> players;
    for (int i = 0; i < 3; ++i)
        players.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "ffmpeg", "-nostdin", "-v", "quiet", "-i", Url("mmsh"), "-f", "null", "-"}));
    std::vector<int> browsers;
    for (const char* path : {"/live.mjpg", "/live.mjpg", "/live.mp4", "/live.mp4"}) {
        browsers.push_back(Connect(m_port));
        Send(browsers.back(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(Read(browsers.back(), 10s, 15).rfind("HTTP/1.1 200 OK", 0), 0u) << path;
    }
    std::vector<std::unique_ptr<ChildProcess>> hls;
    for (int i = 0; i < 3; ++i)
        hls.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "ffmpeg", "-nostdin", "-v", "quiet", "-i", Url("http", "/live.m3u8"), "-f", "null", "-"}));
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 10; }, 30s)) << m_side->GetViewerCount();
    for (const std::string& request : {std::string("GET /live.m3u8 HTTP/1.1\r\n\r\n"), std::string("GET /hls/newcomer/live.m3u8 HTTP/1.1\r\n\r\n"),
             std::string("GET /live.mp4 HTTP/1.1\r\n\r\n"), std::string("GET /live.mjpg HTTP/1.1\r\n\r\n"), "GET / HTTP/1.0\r\n" + kPlay + "\r\n"}) {
        const std::string refused = Exchange(m_port, request);
        EXPECT_EQ(refused.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << request << refused;
    }
    // The HLS players are still served while the limit is reached.
    std::string status = Body(Get("/status.json"));
    EXPECT_NE(status.find("\"viewers\":10,\"limit\":10"), std::string::npos) << status;
    EXPECT_NE(status.find("\"viewers_by_kind\":{\"wm\":3,\"mse\":2,\"hls\":3,\"mjpeg\":2}"), std::string::npos) << status;
    EXPECT_EQ(m_side->GetViewerCount(), 10u) << "an HLS player keeps its slot between its requests";

    // HLS players that stop fetching stop counting; their slots are anyone's.
    hls.clear();
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 7; }, 10s)) << m_side->GetViewerCount();
    status = Body(Get("/status.json"));
    EXPECT_NE(status.find("\"viewers_by_kind\":{\"wm\":3,\"mse\":2,\"hls\":0,\"mjpeg\":2}"), std::string::npos) << status;
    const int again = Connect(m_port);
    Send(again, "GET /live.mp4 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Read(again, 10s, 15), "HTTP/1.1 200 OK");
    close(again);
    players.clear();
    for (int fd : browsers)
        close(fd);
}

TEST_F(HlsTest, TheEncoderRunsForHlsViewersOnlyWhileTheyKeepFetching)
{
    ASSERT_TRUE(WaitFor([&] { return !m_tap->Wanted(); }, 20s)) << "attached with nobody watching";
    const std::string path = MediaPlaylistPath();
    EXPECT_TRUE(WaitFor([&] { return m_tap->Wanted(); }, 5s)) << "a new HLS viewer starts the encoder";
    EXPECT_EQ(Get(path).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    // Fetching on, as a player does, keeps it running past the lapse.
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(600ms);
        EXPECT_EQ(Get(path).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    }
    EXPECT_TRUE(m_tap->Wanted());
    EXPECT_EQ(m_side->GetViewerCount(), 1u);
    const auto changes = m_side->TakeViewerChanges();
    ASSERT_FALSE(changes.empty());
    EXPECT_TRUE(changes[0].joined);
    EXPECT_EQ(changes[0].kind, ViewerKind::Browser);
    // It stops once the viewer lapsed and the feed's linger passed.
    EXPECT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 0; }, 10s));
    EXPECT_TRUE(WaitFor([&] { return !m_tap->Wanted(); }, 10s)) << "still encoding after the HLS viewer left";
    const auto left = m_side->TakeViewerChanges();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_FALSE(left[0].joined);
}

TEST_F(HlsTest, AfterTheStreamStartsAgainNoFileNameIsReusedForOtherBytes)
{
    // Segments and init segments are cached as immutable by their names, so
    // a second stream on the same port must name its files anew.
    auto fetch = [&](Playlist* list, std::string* base) {
        const std::string path = MediaPlaylistPath();
        *base = path.substr(0, path.rfind('/') + 1);
        *list = ParsePlaylist(Body(Get(path)));
        ASSERT_EQ(list->maps.size(), 1u);
        ASSERT_FALSE(list->segments.empty());
    };
    Playlist first, second;
    std::string base1, base2;
    fetch(&first, &base1);
    const std::string init1 = Body(Get(base1 + first.maps[0]));
    m_feeder.reset();
    m_sink->Close();
    ASSERT_EQ(m_sink->Open(&m_port), S_OK);
    m_feeder = std::make_unique<TappedFeeder>(m_sink.Get(), m_tap);
    fetch(&second, &base2);
    EXPECT_NE(second.maps[0], first.maps[0]);
    for (const auto& s : second.segments)
        for (const auto& f : first.segments)
            EXPECT_NE(s.second, f.second);
    // What the second list names is the second stream's, and whole.
    const std::string init2 = Body(Get(base2 + second.maps[0]));
    EXPECT_EQ(init2.substr(4, 4), "ftyp");
    const SegmentInfo segment = ReadSegment(Body(Get(base2 + second.segments.back().second)));
    EXPECT_TRUE(segment.valid && segment.startsWithIdr);
}

double NumberField(const std::string& json, const std::string& name)
{
    const size_t at = json.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::stod(json.substr(at + name.size() + 3));
}

TEST_F(HlsTest, ChromiumWithoutMediaSourcePlaysTheWatchPageThroughHls)
{
    if (RunCommand("command -v node && command -v chromium").find("chromium") == std::string::npos)
        GTEST_SKIP() << "chromium or node is not installed";
    testsupport::TempDir dir;
    const std::string shots = dir.file("hls-");
    // A phone-sized window, as Safari on a phone has.
    const std::string out = RunCommand("PROBE_WITHOUT_MSE=1 timeout 120 node " + testsupport::SourceDir()
        + "/tests/live/browser/watch_probe.mjs " + Url("http", "/watch") + " 360x740 10 700 " + shots + " 2>&1");
    std::vector<std::string> samples;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("sample {", 0) == 0)
            samples.push_back(line.substr(7));
    ASSERT_EQ(samples.size(), 10u) << out;
    const std::string& last = samples.back();
    EXPECT_NE(last.find("\"mode\":\"hls\""), std::string::npos) << last;
    EXPECT_EQ(NumberField(last, "width"), 320) << last;
    EXPECT_NE(last.find("\"paused\":false"), std::string::npos) << last;
    // It plays on: the video's time advances and the screen changes.
    const double t1 = NumberField(samples[7], "time"), t2 = NumberField(last, "time");
    EXPECT_GT(t2, t1 + 0.5) << samples[7] << "\n" << last;
    std::ifstream a(shots + "7.png", std::ios::binary), b(shots + "9.png", std::ios::binary);
    const std::string pa((std::istreambuf_iterator<char>(a)), {}), pb((std::istreambuf_iterator<char>(b)), {});
    EXPECT_GT(pa.size(), 1000u);
    EXPECT_NE(pa, pb) << "two screenshots over a second apart are the same";
    EXPECT_NE(Body(Get("/status.json")).find("\"hls\":1"), std::string::npos);
}

} // namespace
