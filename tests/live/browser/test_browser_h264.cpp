// H.264 for browsers on the stream port: /live.mp4 read by ffmpeg and by raw
// sockets that parse its chunks and MP4 boxes, the shared viewer limit, slow
// and stalled viewers, and headless Chromium playing the watch page.

#include "tests/live/browser/BrowserSideFixture.h"

#include <fstream>
#include <sstream>

namespace {

using namespace browsertest;

constexpr uint64_t kTicksPerFrame = 90000 / 15; // the MP4 track's time scale is 90 kHz

uint32_t Be32(const std::string& s, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16
        | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 | static_cast<uint8_t>(s[at + 3]);
}

// The payload of the first box of `type` found inside `box` (searched by
// walking the box tree through the container boxes a fragment has).
bool FindBox(const std::string& data, size_t begin, size_t end, std::string_view type, size_t* payload, size_t* payloadEnd)
{
    for (size_t at = begin; at + 8 <= end;) {
        const size_t size = Be32(data, at);
        if (size < 8 || at + size > end)
            return false;
        const std::string_view name(data.data() + at + 4, 4);
        if (name == type) {
            *payload = at + 8;
            *payloadEnd = at + size;
            return true;
        }
        if ((name == "moof" || name == "traf" || name == "moov" || name == "trak" || name == "mdia" || name == "minf"
                || name == "stbl")
            && FindBox(data, at + 8, at + size, type, payload, payloadEnd))
            return true;
        at += size;
    }
    return false;
}

struct Fragment {
    uint64_t decodeTime = 0; // tfdt, in the track's time scale
    bool key = false;        // the mdat holds an IDR picture
};

// Reads /live.mp4 as a player does: the response head, then chunks; the
// first chunk is the initialization segment, each after it one fragment.
class Mp4Reader {
public:
    // Takes what arrived; false when the bytes break the format.
    bool Feed(const std::string& bytes)
    {
        m_buffer += bytes;
        if (m_head.empty()) {
            const size_t end = m_buffer.find("\r\n\r\n");
            if (end == std::string::npos)
                return true;
            m_head = m_buffer.substr(0, end + 4);
            m_buffer.erase(0, end + 4);
        }
        for (;;) {
            size_t at = 0;
            if (m_chunks > 0) {
                if (m_buffer.size() < 2)
                    return true;
                if (m_buffer.compare(0, 2, "\r\n") != 0)
                    return false;
                at = 2;
            }
            const size_t line = m_buffer.find("\r\n", at);
            if (line == std::string::npos)
                return true;
            const size_t size = std::stoul(m_buffer.substr(at, line - at), nullptr, 16);
            if (m_buffer.size() < line + 2 + size)
                return true;
            const std::string chunk = m_buffer.substr(line + 2, size);
            m_buffer.erase(0, line + 2 + size);
            if (size == 0) {
                m_ended = true;
                return true;
            }
            if (m_chunks++ == 0) {
                m_init = chunk;
                continue;
            }
            Fragment f;
            size_t p = 0, e = 0;
            if (!FindBox(chunk, 0, chunk.size(), "tfdt", &p, &e))
                return false;
            f.decodeTime = chunk[p] == 1 ? static_cast<uint64_t>(Be32(chunk, p + 4)) << 32 | Be32(chunk, p + 8) : Be32(chunk, p + 4);
            if (!FindBox(chunk, 0, chunk.size(), "mdat", &p, &e))
                return false;
            // Length-prefixed NAL units; type 5 is an IDR slice.
            for (size_t n = p; n + 5 <= e; n += 4 + Be32(chunk, n))
                f.key = f.key || (chunk[n + 4] & 0x1f) == 5;
            fragments.push_back(f);
        }
    }

    const std::string& Head() const { return m_head; }
    const std::string& Init() const { return m_init; }
    bool Ended() const { return m_ended; }
    std::vector<Fragment> fragments;

private:
    std::string m_buffer, m_head, m_init;
    size_t m_chunks = 0;
    bool m_ended = false;
};

int OpenMp4(DWORD port, int receiveBuffer = 0)
{
    const int fd = Connect(port, receiveBuffer);
    Send(fd, "GET /live.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return fd;
}

// Reads from `fd` into `reader` until `done` or the time runs out.
template <class Done>
bool ReadMp4(int fd, Mp4Reader& reader, Done done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        bool closed = false;
        EXPECT_TRUE(reader.Feed(Read(fd, 50ms, SIZE_MAX, &closed))) << "not chunks of MP4 fragments";
        if (closed)
            return done();
    }
    return true;
}

TEST_F(BrowserSideTest, FfmpegPlaysLiveMp4AsH264AtTheProfilesSizeAndRate)
{
    const std::string probe = RunCommand("timeout 30 ffprobe -v error -show_entries stream=codec_name,profile,width,height,r_frame_rate "
        "-of csv=p=0 " + Url("http", "/live.mp4"));
    EXPECT_EQ(probe, "h264,Constrained Baseline,320,240,15/1\n");
    // 30 pictures = two seconds of the stream, decoded whole.
    const std::string decoded = RunCommand("timeout 60 ffmpeg -nostdin -v error -i " + Url("http", "/live.mp4")
        + " -frames:v 30 -f rawvideo -pix_fmt gray - | wc -c");
    EXPECT_EQ(std::stoul(decoded), 30u * 320 * 240) << decoded;

    // The response as a browser gets it: chunked, not cached, an MP4
    // initialization segment with the H.264 parameter sets, then one
    // fragment per picture, every picture, starting with a key frame.
    const int fd = OpenMp4(m_port);
    Mp4Reader reader;
    ASSERT_TRUE(ReadMp4(fd, reader, [&] { return reader.fragments.size() >= 20; }, 10s));
    EXPECT_EQ(reader.Head(), "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nTransfer-Encoding: chunked\r\n"
                             "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(reader.Init().substr(4, 4), "ftyp");
    size_t p = 0, e = 0;
    EXPECT_TRUE(FindBox(reader.Init(), 0, reader.Init().size(), "mvex", &p, &e)) << "a moov for fragments";
    EXPECT_NE(reader.Init().find("avcC"), std::string::npos);
    EXPECT_TRUE(reader.fragments[0].key);
    for (size_t i = 1; i < reader.fragments.size(); ++i)
        EXPECT_EQ(reader.fragments[i].decodeTime, reader.fragments[i - 1].decodeTime + kTicksPerFrame) << i;
    EXPECT_NE(Body(Get("/status.json")).find("\"viewers_by_kind\":{\"wm\":0,\"mse\":1,\"hls\":0,\"mjpeg\":0}"), std::string::npos);
    close(fd);
    // HTTP/1.0 knows no chunks: the MP4 bytes as they are, until the close.
    const int plain = Connect(m_port);
    Send(plain, "GET /live.mp4 HTTP/1.0\r\n\r\n");
    const std::string answer = Read(plain, 10s, 400);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nCache-Control: no-store\r\n", 0), 0u) << answer;
    EXPECT_EQ(Body(answer).substr(4, 4), "ftyp");
    close(plain);
}

TEST_F(BrowserSideTest, AJoinerStartsAtAKeyFrameMadeForItNotAtABacklog)
{
    // A first viewer keeps the encoder running long enough for key frames
    // and a backlog of fragments to exist before the second one comes.
    const int first = OpenMp4(m_port);
    Mp4Reader a;
    ASSERT_TRUE(ReadMp4(first, a, [&] { return a.fragments.size() >= 40; }, 15s));
    const uint64_t before = a.fragments.back().decodeTime; // sent before the joiner came

    const int second = OpenMp4(m_port);
    Mp4Reader b;
    ASSERT_TRUE(ReadMp4(second, b, [&] { return b.fragments.size() >= 5; }, 10s));
    ASSERT_TRUE(b.fragments[0].key) << "the joiner's first picture is a key frame";
    EXPECT_GT(b.fragments[0].decodeTime, before) << "the joiner got a picture made before it came";
    // The same encode feeds both: the key frame is in the first viewer's
    // stream too, at the same time.
    ASSERT_TRUE(ReadMp4(first, a, [&] { return a.fragments.back().decodeTime >= b.fragments[0].decodeTime; }, 5s));
    bool shared = false;
    for (const Fragment& f : a.fragments)
        shared = shared || (f.decodeTime == b.fragments[0].decodeTime && f.key);
    EXPECT_TRUE(shared);
    close(first);
    close(second);
}

TEST_F(BrowserSideTest, ViewersOfEveryKindShareTheLimit)
{
    std::vector<std::unique_ptr<ChildProcess>> players;
    for (int i = 0; i < 4; ++i)
        players.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "ffmpeg", "-nostdin", "-v", "quiet", "-i", Url("mmsh"), "-f", "null", "-"}));
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 4; }, 30s)) << m_side->GetViewerCount();
    std::vector<int> browsers;
    for (const char* path : {"/live.mjpg", "/live.mjpg", "/live.mjpg", "/live.mp4", "/live.mp4", "/live.mp4"}) {
        browsers.push_back(Connect(m_port));
        Send(browsers.back(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(Read(browsers.back(), 10s, 15).rfind("HTTP/1.1 200 OK", 0), 0u) << path;
    }
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 10; }, 10s));
    for (const std::string& request : {std::string("GET /live.mp4 HTTP/1.1\r\n\r\n"), std::string("GET /live.mjpg HTTP/1.1\r\n\r\n"),
             "GET / HTTP/1.0\r\n" + kPlay + "\r\n"}) {
        const std::string refused = Exchange(m_port, request);
        EXPECT_EQ(refused.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << request << refused;
    }
    const std::string status = Body(Get("/status.json"));
    EXPECT_NE(status.find("\"viewers\":10,\"limit\":10"), std::string::npos) << status;
    EXPECT_NE(status.find("\"viewers_by_kind\":{\"wm\":4,\"mse\":3,\"hls\":0,\"mjpeg\":3}"), std::string::npos) << status;
    // An MP4 viewer that leaves frees its slot for anyone.
    close(browsers.back());
    browsers.pop_back();
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 9; }, 5s));
    const int again = OpenMp4(m_port);
    EXPECT_EQ(Read(again, 10s, 15), "HTTP/1.1 200 OK");
    close(again);
    players.clear();
    for (int fd : browsers)
        close(fd);
}

TEST_F(BrowserSideTest, SlowMp4ViewersSkipToKeyFramesStalledOnesAreDroppedOthersUnharmed)
{
    // Pictures that take the whole bitrate. One viewer reads everything;
    // one reads far slower than the stream comes (a small receive buffer
    // stands for a slow link); one never reads.
    m_feeder.reset();
    m_feeder = std::make_unique<TappedFeeder>(m_sink.Get(), m_tap, PictureKind::Noisy);
    const int fast = OpenMp4(m_port);
    const int slow = OpenMp4(m_port, 4096);
    const int stalled = OpenMp4(m_port, 4096);
    Mp4Reader f, s;
    bool slowClosed = false, stalledClosed = false;
    const auto start = std::chrono::steady_clock::now();
    // Long enough for the stall rule to act twice over.
    while (std::chrono::steady_clock::now() - start < 3 * kStallLimit) {
        bool closed = false;
        ASSERT_TRUE(f.Feed(Read(fast, 10ms, SIZE_MAX, &closed)));
        ASSERT_FALSE(closed);
        // At most 600 bytes each 200 ms: 3 kB/s, a quarter of the stream.
        std::this_thread::sleep_for(200ms);
        char bytes[600];
        const ssize_t n = recv(slow, bytes, sizeof bytes, MSG_DONTWAIT);
        slowClosed = n == 0;
        if (slowClosed)
            break;
        ASSERT_TRUE(s.Feed(std::string(bytes, static_cast<size_t>(std::max<ssize_t>(n, 0)))));
        pollfd p{stalled, 0, 0};
        stalledClosed = stalledClosed || (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)));
    }
    EXPECT_FALSE(slowClosed) << "the slow viewer was dropped";
    EXPECT_TRUE(stalledClosed) << "the viewer that never reads is dropped by the stall rule";
    // The fast viewer got every picture, in order, throughout.
    ASSERT_GE(f.fragments.size(), 60u);
    for (size_t i = 1; i < f.fragments.size(); ++i)
        ASSERT_EQ(f.fragments[i].decodeTime, f.fragments[i - 1].decodeTime + kTicksPerFrame) << i;
    // The slow one skipped forward, always to a key frame.
    ASSERT_GE(s.fragments.size(), 2u);
    size_t skips = 0;
    for (size_t i = 1; i < s.fragments.size(); ++i)
        if (s.fragments[i].decodeTime != s.fragments[i - 1].decodeTime + kTicksPerFrame) {
            ++skips;
            EXPECT_GT(s.fragments[i].decodeTime, s.fragments[i - 1].decodeTime);
            EXPECT_TRUE(s.fragments[i].key) << "a skip lands on a key frame (" << i << ")";
        }
    EXPECT_GE(skips, 1u) << s.fragments.size() << " fragments of " << f.fragments.size();
    close(fast);
    close(slow);
    close(stalled);
}

// The probe's sample lines, each a JSON object.
std::vector<std::string> ProbeWatchPage(const std::string& url, const std::string& size, int samples, const std::string& shots)
{
    const std::string out = RunCommand("timeout 120 node " + testsupport::SourceDir() + "/tests/live/browser/watch_probe.mjs "
        + url + " " + size + " " + std::to_string(samples) + " 700 " + shots + " 2>&1");
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("sample {", 0) == 0)
            lines.push_back(line.substr(7));
    EXPECT_EQ(lines.size(), static_cast<size_t>(samples)) << out;
    return lines;
}

double NumberField(const std::string& json, const std::string& name)
{
    const size_t at = json.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::stod(json.substr(at + name.size() + 3));
}

TEST_F(BrowserSideTest, ChromiumPlaysTheWatchPageThroughMediaSource)
{
    if (RunCommand("command -v node && command -v chromium").find("chromium") == std::string::npos)
        GTEST_SKIP() << "chromium or node is not installed";
    testsupport::TempDir dir;
    struct Case {
        const char* size;
    };
    for (const Case& c : {Case{"800x600"}, Case{"360x740"}}) {
        SCOPED_TRACE(c.size);
        const std::string shots = dir.file(std::string("watch-") + c.size + "-");
        const std::vector<std::string> samples = ProbeWatchPage(Url("http", "/watch"), c.size, 6, shots);
        ASSERT_EQ(samples.size(), 6u);
        const std::string& last = samples.back();
        EXPECT_NE(last.find("\"mode\":\"mse\""), std::string::npos) << last;
        EXPECT_EQ(NumberField(last, "width"), 320) << last;
        EXPECT_EQ(NumberField(last, "height"), 240) << last;
        EXPECT_NE(last.find("\"paused\":false"), std::string::npos) << last;
        // The video plays on: its time advances between the last samples,
        // and what the screen shows changes.
        const double t1 = NumberField(samples[3], "time"), t2 = NumberField(last, "time");
        EXPECT_GT(t2, t1 + 0.5) << samples[3] << "\n" << last;
        std::ifstream a(shots + "3.png", std::ios::binary), b(shots + "5.png", std::ios::binary);
        const std::string pa((std::istreambuf_iterator<char>(a)), {}), pb((std::istreambuf_iterator<char>(b)), {});
        EXPECT_GT(pa.size(), 1000u);
        EXPECT_NE(pa, pb) << "two screenshots over a second apart are the same";
    }
}

} // namespace
