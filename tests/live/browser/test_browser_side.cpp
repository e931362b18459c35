// The browser side of the network sink: the watch page, MJPEG, snapshots and
// the state, with a live encoder and its picture tap behind the sink, and
// real clients (ffmpeg over mmsh:// and mpjpeg, ImageMagick, libjpeg) and
// raw sockets.

#include "tests/live/browser/BrowserSideFixture.h"

namespace {

using namespace browsertest;

TEST_F(BrowserSideTest, PathsAndMethodsAnswerAsAnHttp11Server)
{
    struct Case {
        const char* method;
        const char* path;
        const char* status;     // start of the response
        const char* type;       // Content-Type, or nullptr
        bool body;
    };
    const Case cases[] = {
        {"GET", "/watch", "HTTP/1.1 200 OK\r\n", "text/html; charset=utf-8", true},
        {"HEAD", "/watch", "HTTP/1.1 200 OK\r\n", "text/html; charset=utf-8", false},
        {"GET", "/status.json?x=1", "HTTP/1.1 200 OK\r\n", "application/json", true},
        {"HEAD", "/status.json", "HTTP/1.1 200 OK\r\n", "application/json", false},
        {"HEAD", "/snapshot.jpg", "HTTP/1.1 200 OK\r\n", "image/jpeg", false},
        {"HEAD", "/live.mjpg", "HTTP/1.1 200 OK\r\n", "multipart/x-mixed-replace; boundary=lumoraframe", false},
        {"HEAD", "/live.mp4", "HTTP/1.1 200 OK\r\n", "video/mp4", false},
        {"POST", "/live.mp4", "HTTP/1.1 405 Method Not Allowed\r\n", "text/plain", true},
        {"POST", "/watch", "HTTP/1.1 405 Method Not Allowed\r\n", "text/plain", true},
        {"DELETE", "/live.mjpg", "HTTP/1.1 405 Method Not Allowed\r\n", "text/plain", true},
        {"PUT", "/snapshot.jpg", "HTTP/1.1 405 Method Not Allowed\r\n", "text/plain", true},
        {"HEAD", "/nothing-here", "HTTP/1.0 404 Not Found\r\n", "text/plain", false}, // the stream's own answer
        {"GET", "/watch/extra", "HTTP/1.0 404 Not Found\r\n", "text/plain", true}, // the stream's own answer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const std::string answer = Get(c.path, c.method);
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find(std::string("Content-Type: ") + c.type + "\r\n"), std::string::npos) << answer.substr(0, 300);
        EXPECT_EQ(Body(answer).empty(), !c.body) << answer.substr(0, 300);
        if (std::string(c.status).find("405") != std::string::npos) {
            EXPECT_NE(answer.find("Allow: GET, HEAD\r\n"), std::string::npos);
        }
    }
    // HEAD announces the length GET sends.
    const std::string get = Get("/watch"), head = Get("/watch", "HEAD");
    EXPECT_EQ(ContentLength(head), Body(get).size());
}

TEST_F(BrowserSideTest, WatchPageAndStatusDescribeTheStream)
{
    // The picture format is learnt from the first picture after the start.
    ASSERT_TRUE(WaitFor([&] { return Body(Get("/status.json")).find("\"fps\":15") != std::string::npos; }, 5s));
    // The page carries the addresses the browser used (here a port a router
    // forwards), the picture at the profile's size and the viewer count.
    const std::string page = Body(Get("/watch"));
    EXPECT_NE(page.find("<title>Lumora</title>"), std::string::npos) << page;
    // Without script the MJPEG picture shows; with it the page plays H.264.
    EXPECT_NE(page.find("<noscript><img src=\"/live.mjpg\" width=\"320\" height=\"240\""), std::string::npos) << page;
    EXPECT_NE(page.find("<video id=\"live\" width=\"320\" height=\"240\" muted autoplay playsinline"), std::string::npos) << page;
    EXPECT_NE(page.find("fetch('/live.mp4'"), std::string::npos) << page;
    EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
    EXPECT_EQ(page.find("src=\"http"), std::string::npos) << "no outside resources";
    EXPECT_EQ(page.find("<script src"), std::string::npos) << "no outside resources";
    EXPECT_NE(page.find("http://127.0.0.1:" + std::to_string(m_port) + "/"), std::string::npos) << page;
    EXPECT_NE(page.find("mmsh://127.0.0.1:" + std::to_string(m_port) + "/"), std::string::npos) << page;
    EXPECT_NE(page.find("Watching now: 0 of 10"), std::string::npos) << page;

    const std::string forwarded = Body(Exchange(m_port, "GET /watch HTTP/1.1\r\nHost: cam.example.net:8099\r\n\r\n"));
    EXPECT_NE(forwarded.find("http://cam.example.net:8099/"), std::string::npos) << forwarded;
    EXPECT_NE(forwarded.find("mmsh://cam.example.net:8099/"), std::string::npos) << forwarded;
    const std::string noPort = Body(Exchange(m_port, "GET /watch HTTP/1.1\r\nHost: [::1]\r\n\r\n"));
    EXPECT_NE(noPort.find("mmsh://[::1]:80/"), std::string::npos) << noPort;
    // A Host that is not a host name never reaches the page.
    const std::string hostile = Body(Exchange(m_port, "GET /watch HTTP/1.1\r\nHost: \"><script>x</script>\r\n\r\n"));
    EXPECT_EQ(hostile.find("<script>x"), std::string::npos) << hostile;
    EXPECT_NE(hostile.find("http://127.0.0.1:" + std::to_string(m_port) + "/"), std::string::npos) << hostile;

    const std::string status = Body(Get("/status.json"));
    ASSERT_TRUE(MatchesShape(status, "{\"streaming\":true,\"viewers\":0,\"limit\":10,\"profile\":\"93 Kbps (CBR)\","
                                     "\"width\":320,\"height\":240,\"fps\":15,\"uptime_s\":#,\"bytes_sent\":#,"
                                     "\"viewers_by_kind\":{\"wm\":0,\"mse\":0,\"hls\":0,\"mjpeg\":0}}\n"))
        << status;
    EXPECT_GT(std::stoull(status.substr(status.find("bytes_sent") + 12)), 1000u) << "the pages sent so far are counted";
}

TEST_F(BrowserSideTest, FfmpegReadsMjpegAndSnapshotsDecode)
{
    // 30 pictures = two seconds of the stream, decoded at the profile's size.
    const std::string mjpeg = RunCommand("timeout 60 ffmpeg -nostdin -v error -f mpjpeg -i " + Url("http", "/live.mjpg")
        + " -frames:v 30 -f rawvideo -pix_fmt gray - | wc -c");
    EXPECT_EQ(std::stoul(mjpeg), 30u * 320 * 240) << mjpeg;
    const std::string probe = RunCommand("timeout 30 ffprobe -v error -f mpjpeg -show_entries stream=codec_name,width,height -of csv=p=0 "
        + Url("http", "/live.mjpg"));
    EXPECT_EQ(probe, "mjpeg,320,240\n");

    testsupport::TempDir dir;
    std::string previous;
    for (int i = 0; i < 2; ++i) {
        const std::string answer = Get("/snapshot.jpg");
        ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find("Cache-Control: no-store\r\n"), std::string::npos);
        const std::string jpeg = Body(answer);
        int width = 0, height = 0;
        ASSERT_TRUE(DecodeJpeg(jpeg, &width, &height));
        EXPECT_EQ(width, 320);
        EXPECT_EQ(height, 240);
        const std::string file = dir.file("snapshot" + std::to_string(i) + ".jpg");
        testsupport::WriteFileText(file, jpeg);
        EXPECT_EQ(RunCommand("identify -format '%m %w %h' " + file + " 2>&1"), "JPEG 320 240");
        EXPECT_NE(jpeg, previous) << "each snapshot is a new picture";
        previous = jpeg;
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(m_side->GetViewerCount(), 0u) << "snapshots are not viewers";
}

TEST_F(BrowserSideTest, MixedViewersShareTheLimit)
{
    std::vector<std::unique_ptr<ChildProcess>> players;
    for (int i = 0; i < 6; ++i)
        players.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "ffmpeg", "-nostdin", "-v", "quiet", "-i", Url("mmsh"), "-f", "null", "-"}));
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 6; }, 30s)) << m_side->GetViewerCount();
    std::vector<int> browsers;
    for (int i = 0; i < 4; ++i) {
        browsers.push_back(Connect(m_port));
        Send(browsers.back(), "GET /live.mjpg HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string first = Read(browsers.back(), 5s, 200);
        EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace", 0), 0u) << first;
    }
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 10; }, 10s));

    // The eleventh of either kind is refused, as players always were.
    for (const std::string& request : {std::string("GET /live.mjpg HTTP/1.1\r\n\r\n"), "GET / HTTP/1.0\r\n" + kPlay + "\r\n"}) {
        const std::string refused = Exchange(m_port, request);
        EXPECT_EQ(refused.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << refused;
    }
    const std::string full = Body(Get("/status.json"));
    EXPECT_NE(full.find("\"viewers\":10,\"limit\":10"), std::string::npos) << full;
    const std::string page = Body(Get("/watch"));
    EXPECT_NE(page.find("Watching now: 10 of 10"), std::string::npos) << page;
    EXPECT_NE(page.find("viewer limit is reached"), std::string::npos) << page;

    auto changes = m_side->TakeViewerChanges();
    ASSERT_EQ(changes.size(), 10u);
    int browserJoins = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
        EXPECT_TRUE(changes[i].joined);
        EXPECT_EQ(changes[i].viewers, i + 1);
        EXPECT_EQ(changes[i].address.rfind("127.0.0.1:", 0), 0u) << changes[i].address;
        browserJoins += changes[i].kind == ViewerKind::Browser;
    }
    EXPECT_EQ(browserJoins, 4);

    // A leaving browser frees its slot and is reported.
    close(browsers.back());
    browsers.pop_back();
    ASSERT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 9; }, 5s));
    changes = m_side->TakeViewerChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_FALSE(changes[0].joined);
    EXPECT_EQ(changes[0].kind, ViewerKind::Browser);
    EXPECT_EQ(changes[0].viewers, 9u);
    EXPECT_NE(Body(Get("/status.json")).find("\"viewers\":9,"), std::string::npos);
    players.clear();
    for (int fd : browsers)
        close(fd);
    EXPECT_TRUE(WaitFor([&] { return m_side->GetViewerCount() == 0; }, 10s));
}

// Splits an MJPEG body into whole JPEG parts; what is left stays in `buffer`.
std::vector<std::string> TakeParts(std::string& buffer)
{
    std::vector<std::string> parts;
    const std::string head = "--lumoraframe\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    for (;;) {
        const size_t at = buffer.find(head);
        const size_t end = at == std::string::npos ? at : buffer.find("\r\n\r\n", at + head.size());
        if (end == std::string::npos)
            break;
        const size_t start = end + 4;
        const size_t length = std::stoul(buffer.substr(at + head.size()));
        if (buffer.size() < start + length)
            break;
        parts.push_back(buffer.substr(start, length));
        buffer.erase(0, start + length);
    }
    return parts;
}

TEST_F(BrowserSideTest, SlowViewersSkipPicturesStalledOnesAreDroppedPlayersUnharmed)
{
    // A viewer reading far slower than the pictures come: it keeps getting
    // whole pictures and is not dropped (it gets the newest, not a queue
    // that grows until the stall limit throws it out).
    const int slow = Connect(m_port, 4096);
    Send(slow, "GET /live.mjpg HTTP/1.1\r\n\r\n");
    const int stalled = Connect(m_port, 4096);
    Send(stalled, "GET /live.mjpg HTTP/1.1\r\n\r\n");
    const int player = Connect(m_port);
    Send(player, "GET / HTTP/1.0\r\n" + kPlay + "\r\n");

    std::string buffer;
    size_t pictures = 0, playerBytes = 0;
    bool slowClosed = false, stalledClosed = false;
    // Long enough for the stall rule to act twice over.
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 3 * kStallLimit) {
        buffer += Read(slow, 250ms, 3000, &slowClosed);
        if (slowClosed)
            break;
        for (const std::string& part : TakeParts(buffer)) {
            int w = 0, h = 0;
            EXPECT_TRUE(DecodeJpeg(part, &w, &h));
            ++pictures;
        }
        playerBytes += Read(player, 10ms).size();
        pollfd p{stalled, 0, 0};
        stalledClosed = stalledClosed || (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)));
    }
    EXPECT_FALSE(slowClosed) << "the slow viewer was dropped";
    EXPECT_GE(pictures, 3u);
    EXPECT_TRUE(stalledClosed) << "the viewer that never reads is dropped by the stall rule";
    EXPECT_GT(playerBytes, 40000u) << "the player kept receiving";
    close(slow);
    close(stalled);
    close(player);
}

TEST_F(BrowserSideTest, AViewerThatFallsBehindGetsTheNewestPictureNotABacklog)
{
    // A viewer whose link takes nothing for a while (a small receive buffer
    // stands for a slow link): what waits for it when it reads again must be
    // about one picture, not the many the system would queue.
    const int viewer = Connect(m_port, 4096);
    Send(viewer, "GET /live.mjpg HTTP/1.1\r\n\r\n");
    std::string buffer = Read(viewer, 3s, 20000);
    ASSERT_FALSE(TakeParts(buffer).empty()) << "no picture";
    std::this_thread::sleep_for(2s); // 30 pictures made meanwhile
    // Everything that waited, drained at once: new pictures come only every
    // 67 ms, so a drain of 30 ms takes what was queued and at most one more.
    std::string waited;
    char chunk[65536];
    const auto end = std::chrono::steady_clock::now() + 30ms;
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t n = recv(viewer, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0)
            waited.append(chunk, static_cast<size_t>(n));
    }
    buffer += waited;
    const size_t parts = TakeParts(buffer).size();
    EXPECT_LE(parts, 4u) << waited.size() << " bytes waited for the viewer";
    close(viewer);
}

TEST_F(BrowserSideTest, PicturesAreTakenOnlyWhileABrowserNeedsThem)
{
    // Priming at the stream's start learns the format, then lets go.
    ASSERT_TRUE(WaitFor([&] { return !m_tap->Wanted(); }, 20s)) << "attached with nobody watching";
    const int viewer = Connect(m_port);
    Send(viewer, "GET /live.mjpg HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(WaitFor([&] { return m_tap->Wanted(); }, 5s));
    // Pictures keep coming while attached (their rate is bench_browser's).
    std::string buffer;
    size_t parts = 0;
    EXPECT_TRUE(WaitFor([&] {
        buffer += Read(viewer, 100ms);
        parts += TakeParts(buffer).size();
        return parts >= 3;
    }, 10s)) << parts << " pictures";
    close(viewer);
    EXPECT_TRUE(WaitFor([&] { return !m_tap->Wanted(); }, 20s)) << "still attached after the viewer left";
}

} // namespace
