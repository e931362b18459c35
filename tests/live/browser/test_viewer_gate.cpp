// A stream port that needs a password: every path of the port (the Windows
// Media stream in both its forms, the browser paths, paths added later)
// behind the gate, with real clients: curl (Digest and Basic), ffprobe and
// ffmpeg over http:// with user info and over mmsh:// with the private
// link, mpv and VLC with user info, and raw sockets for the 401 and 429
// heads.

#include "live/browser/BrowserSide.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/NetworkSink.h"
#include "platform/wmf/ViewerGate.h"
#include "platform/wmf/WMWriter.h"
#include "platform/dshow/TestPatternCode.h"
#include "tests/live/browser/TappedFeeder.h"
#include "tests/support/TestSupport.h"
#include "tests/wmf/LiveRig.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::RunCommand;

const std::string kPassword = "s3cret pass";

const std::string kDescribe = "User-Agent: NSPlayer/7.10.0.3059\r\nPragma: no-cache,rate=1.000000,stream-time=0\r\n"
                              "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\n";
const std::string kPlay = kDescribe + "Pragma: xPlayStrm=1\r\n";

class ViewerGateTest : public ::testing::Test {
protected:
    // The port with the password set (or not), the gate offering `offer`.
    void Start(bool password = true, ViewerGateOptions::Offer offer = ViewerGateOptions::Offer::DigestAndBasic)
    {
        ViewerGateOptions options;
        options.offer = offer;
        m_gate = std::make_shared<ViewerGate>(options);
        if (password)
            m_gate->SetCredentials(viewerauth::StoreCredentials("viewer", kPassword));
        ASSERT_EQ(WMCreateWriterNetworkSink(m_sink.GetAddressOf()), S_OK);
        m_sink->SetMaximumClients(1);
        m_routes = m_sink.As<IWMWriterSinkRoutes>();
        ASSERT_TRUE(m_routes);
        ASSERT_EQ(m_routes->SetRouteHook(m_browsers), S_OK);
        ASSERT_EQ(m_routes->SetGate(m_gate), S_OK);
        m_browsers->SetPictureTap(m_tap);
        ASSERT_EQ(m_sink->Open(&m_port), S_OK);
        EXPECT_EQ(m_routes->SetGate(nullptr), NS_E_INVALID_OPERATION) << "the gate stays while the port is open";
        m_feeder = std::make_unique<browsertest::TappedFeeder>(m_sink.Get(), m_tap, browsertest::PictureKind::Calm, browsertest::FrameCode::Stamped);
    }
    void TearDown() override
    {
        m_feeder.reset();
        if (m_sink)
            m_sink->Close();
    }
    std::string Url(const std::string& path, const std::string& userInfo = {}, const char* scheme = "http") const
    {
        return std::string(scheme) + "://" + userInfo + "127.0.0.1:" + std::to_string(m_port) + path;
    }
    // One exchange over a raw socket from `from`: everything until the sink closes.
    std::string Exchange(const std::string& method, const std::string& path, const std::string& extra = {},
        const char* from = nullptr)
    {
        const int fd = wmftest::Connect(m_port, 0, from);
        wmftest::Send(fd, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) + "\r\n" + extra + "\r\n");
        bool closed = false;
        std::string answer = wmftest::Read(fd, 10s, 64 * 1024, &closed);
        close(fd);
        return answer;
    }
    // The status curl saw, with `auth` (--digest or --basic) and a user;
    // streams are cut after a second.
    std::string Curl(const std::string& path, const std::string& auth, const std::string& user,
        const std::string& extra = {})
    {
        return RunCommand("curl -s -o /dev/null -w '%{http_code}' --max-time 2 " + auth + " -u '" + user + "' " + extra + " '"
            + Url(path) + "'");
    }

    ComPtr<IWMWriterNetworkSink> m_sink;
    ComPtr<IWMWriterSinkRoutes> m_routes;
    std::shared_ptr<ViewerGate> m_gate;
    std::shared_ptr<BrowserSide> m_browsers = std::make_shared<BrowserSide>();
    std::shared_ptr<PictureTap> m_tap = std::make_shared<PictureTap>();
    DWORD m_port = 0;
    std::unique_ptr<browsertest::TappedFeeder> m_feeder;
};

// Every request form the port knows, and paths it does not know yet.
struct PortRequest {
    const char* name;
    const char* method;
    const char* path;
    std::string extra;
    const char* open; // the status line's start without a password
};
const PortRequest kEveryPath[] = {
    {"plain stream", "GET", "/", "", "HTTP/1.0 200 OK"},
    {"player describe", "GET", "/", kDescribe, "HTTP/1.0 200 OK"},
    {"player play", "GET", "/?x=1", kPlay, "HTTP/1.0 200 OK"},
    {"stream head", "HEAD", "/", "", "HTTP/1.0 200 OK"},
    {"player log", "POST", "/", "Content-Length: 0\r\n", "HTTP/1.0 204 No Content"},
    {"watch page", "GET", "/watch", "", "HTTP/1.1 200 OK"},
    {"mjpeg", "GET", "/live.mjpg", "", "HTTP/1.1 200 OK"},
    {"snapshot", "GET", "/snapshot.jpg", "", "HTTP/1.1 200 OK"},
    {"status", "GET", "/status.json", "", "HTTP/1.1 200 OK"},
    {"mp4", "GET", "/live.mp4", "", "HTTP/1.1 200 OK"},
    {"hls", "GET", "/live.m3u8", "", "HTTP/1.1 200 OK"},
    {"unknown path", "GET", "/nothing", "", "HTTP/1.0 404 Not Found"},
    {"wrong method", "DELETE", "/watch", "", "HTTP/1.1 405 Method Not Allowed"},
};

TEST_F(ViewerGateTest, EveryPathAsksForThePasswordAndNoRefusalTakesASlot)
{
    Start();
    for (const PortRequest& r : kEveryPath) {
        SCOPED_TRACE(r.name);
        const std::string answer = Exchange(r.method, r.path, r.extra);
        ASSERT_EQ(answer.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << answer.substr(0, 300);
        const size_t sha = answer.find("\r\nWWW-Authenticate: Digest realm=\"Lumora\", qop=\"auth\", algorithm=SHA-256, nonce=\"");
        const size_t md5 = answer.find("\r\nWWW-Authenticate: Digest realm=\"Lumora\", qop=\"auth\", algorithm=MD5, nonce=\"");
        const size_t basic = answer.find("\r\nWWW-Authenticate: Basic realm=\"Lumora\", charset=\"UTF-8\"\r\n");
        EXPECT_TRUE(sha < md5 && md5 < basic && basic != std::string::npos) << answer.substr(0, 600);
    }
    // A wrong password is refused the same way on the stream and a page.
    EXPECT_EQ(Exchange("GET", "/", "Authorization: Basic dmlld2VyOndyb25n\r\n").rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
    EXPECT_EQ(m_routes->GetViewerCount(), 0u);
    EXPECT_TRUE(m_routes->TakeViewerChanges().empty()) << "no refused request was ever a viewer";
    // The one viewer slot is still free for someone with the password.
    EXPECT_EQ(Curl("/live.mjpg", "--digest", "viewer:" + kPassword), "200");
}

TEST_F(ViewerGateTest, WithoutAPasswordThePortAnswersAsBefore)
{
    Start(false);
    for (const PortRequest& r : kEveryPath) {
        SCOPED_TRACE(r.name);
        const std::string answer = Exchange(r.method, r.path, r.extra);
        EXPECT_EQ(answer.rfind(r.open, 0), 0u) << answer.substr(0, 200);
        EXPECT_EQ(answer.find("WWW-Authenticate"), std::string::npos);
    }
}

TEST_F(ViewerGateTest, CurlWithThePasswordIsServedOnEveryPathDigestAndBasic)
{
    Start();
    // Each pair of wrong answers from an address of its own, below the
    // failures that lock an address out.
    int from = 10;
    for (const char* path : {"/", "/watch", "/live.mjpg", "/snapshot.jpg", "/status.json"})
        for (const char* auth : {"--digest", "--basic"}) {
            SCOPED_TRACE(std::string(path) + " " + auth);
            const std::string source = "--interface 127.0.0." + std::to_string(from++);
            EXPECT_EQ(Curl(path, auth, "viewer:" + kPassword, source), "200");
            EXPECT_EQ(Curl(path, auth, "viewer:wrong", source), "401");
            EXPECT_EQ(Curl(path, auth, "someone:" + kPassword, source), "401");
        }
    // curl answers the first Digest challenge: SHA-256.
    const std::string trace = RunCommand("curl -sv -o /dev/null --max-time 5 --digest -u 'viewer:" + kPassword + "' '"
        + Url("/status.json") + "' 2>&1");
    const size_t sent = trace.find("> Authorization: Digest ");
    ASSERT_NE(sent, std::string::npos) << trace;
    const std::string line = trace.substr(sent, trace.find('\n', sent) - sent);
    EXPECT_NE(line.find("algorithm=SHA-256"), std::string::npos) << line;
}

TEST_F(ViewerGateTest, FfprobeAndFfmpegPlayWithUserInfoInTheUrl)
{
    struct Case {
        const char* name;
        ViewerGateOptions::Offer offer;
    };
    for (const Case& c : {Case{"Digest", ViewerGateOptions::Offer::DigestOnly}, Case{"Basic", ViewerGateOptions::Offer::BasicOnly}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        m_sink = nullptr;
        Start(true, c.offer);
        int status = 0;
        const std::string probe = wmftest::Probe(Url("/", "viewer:s3cret%20pass@"), &status);
        EXPECT_EQ(status, 0) << probe;
        EXPECT_NE(probe.find("codec_name=wmv2"), std::string::npos) << probe;
        // Two seconds of pictures from a player that decodes them.
        const std::string frames = RunCommand("timeout 60 ffmpeg -nostdin -v error -i '" + Url("/", "viewer:s3cret%20pass@")
            + "' -frames:v 30 -f null - 2>&1; echo rc=$?");
        EXPECT_EQ(frames, "rc=0\n");
        for (const std::string userInfo : {"", "viewer:wrong@"}) {
            const std::string refused = wmftest::Probe(Url("/", userInfo), &status);
            EXPECT_NE(status, 0);
            EXPECT_NE(refused.find("401"), std::string::npos) << userInfo << ": " << refused;
        }
    }
}

// The players people use besides FFmpeg take the password from the address
// too (mpv through FFmpeg's HTTP client, VLC through its own, which answers
// with Basic). Over mmsh:// neither sends user info at all, so the private
// link is the way there (next test).
TEST_F(ViewerGateTest, MpvAndVlcPlayWithUserInfoInTheUrl)
{
    Start();
    for (const wmflive::Player player : {wmflive::Player::Mpv, wmflive::Player::Vlc}) {
        SCOPED_TRACE(wmflive::PlayerName(player));
        if (!wmflive::PlayerInstalled(player)) {
            ADD_FAILURE() << wmflive::PlayerName(player) << " is not installed (scripts/install-deps.sh installs it)";
            continue;
        }
        const auto shown = wmflive::FirstShownPicture(player, Url("/", "viewer:s3cret%20pass@"), 320, 240);
        EXPECT_TRUE(shown.ok) << shown.error;
    }
    // Refused without the password: mpv gives up at the 401.
    const auto refused = wmflive::FirstShownPicture(wmflive::Player::Mpv, Url("/", "viewer:wrong@"), 320, 240);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("before any picture"), std::string::npos) << refused.error;
}

TEST_F(ViewerGateTest, APrivateLinkAdmitsBrowsersAndPlayersUntilRenewed)
{
    Start();
    const std::string token = viewerauth::RandomToken(16);
    m_gate->SetLinkToken(token);
    // The page passes the link on to its picture and to the players' addresses.
    const std::string page = Exchange("GET", "/watch?k=" + token);
    ASSERT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("<img src=\"/live.mjpg?k=" + token + "\""), std::string::npos) << page;
    EXPECT_NE(page.find("http://127.0.0.1:" + std::to_string(m_port) + "/?k=" + token), std::string::npos) << page;
    EXPECT_NE(page.find("mmsh://127.0.0.1:" + std::to_string(m_port) + "/?k=" + token), std::string::npos) << page;
    // The picture the page shows, and a player over mmsh:// (which has no
    // way to pass user info).
    const std::string mjpeg = RunCommand("timeout 60 ffmpeg -nostdin -v error -f mpjpeg -i '" + Url("/live.mjpg?k=" + token)
        + "' -frames:v 5 -f null - 2>&1; echo rc=$?");
    EXPECT_EQ(mjpeg, "rc=0\n");
    int status = 0;
    const std::string probe = wmftest::Probe(Url("/?k=" + token, "", "mmsh"), &status);
    EXPECT_NE(probe.find("codec_name=wmv2"), std::string::npos) << probe;

    // HLS: the playlists pass the link on to every file they name, so a
    // player that only knows the link's address plays (ffmpeg given the
    // media playlist fetches its init segment and segments by those names).
    const std::string multivariant = Exchange("GET", "/live.m3u8?k=" + token);
    const size_t variant = multivariant.find("\nhls/");
    ASSERT_NE(variant, std::string::npos) << multivariant;
    const std::string media = "/" + multivariant.substr(variant + 1, multivariant.find('\n', variant + 1) - variant - 1);
    EXPECT_EQ(media.substr(media.size() - token.size() - 3), "?k=" + token) << media;
    const std::string playlist = Exchange("GET", media);
    ASSERT_EQ(playlist.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << playlist;
    size_t uris = 0;
    for (size_t at = playlist.find(".m4s"); at != std::string::npos; at = playlist.find(".m4s", at + 1), ++uris)
        EXPECT_EQ(playlist.compare(at, token.size() + 7, ".m4s?k=" + token), 0) << playlist;
    EXPECT_GE(uris, 2u) << playlist;
    EXPECT_NE(playlist.find(".mp4?k=" + token + "\"\n"), std::string::npos) << playlist;
    const std::string hls = RunCommand("timeout 60 ffmpeg -nostdin -v error -i '" + Url(media) + "' -frames:v 5 -f null - 2>&1; echo rc=$?");
    EXPECT_EQ(hls, "rc=0\n");

    m_gate->SetLinkToken(viewerauth::RandomToken(16));
    EXPECT_EQ(Exchange("GET", "/watch?k=" + token).rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << "the old link after renewal";
    EXPECT_EQ(Exchange("GET", media).rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << "the old link after renewal";
    EXPECT_EQ(Curl("/live.mjpg?k=" + token, "", "x:y"), "401");
}

TEST_F(ViewerGateTest, GuessingFromOneAddressGets429OthersAreServed)
{
    Start();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Curl("/status.json", "--basic", "viewer:guess" + std::to_string(i), "--interface 127.0.0.2"), "401") << i;
    const std::string limited = Exchange("GET", "/status.json", "", "127.0.0.2");
    EXPECT_EQ(limited.rfind("HTTP/1.1 429 Too Many Requests\r\n", 0), 0u) << limited;
    EXPECT_NE(limited.find("\r\nRetry-After: 60\r\n"), std::string::npos) << limited;
    EXPECT_EQ(Curl("/status.json", "--digest", "viewer:" + kPassword, "--interface 127.0.0.2"), "429")
        << "the right password waits out the minute";
    EXPECT_EQ(Curl("/status.json", "--digest", "viewer:" + kPassword, "--interface 127.0.0.3"), "200")
        << "another address is unaffected";
    const auto reports = m_gate->TakeFailedLogins();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(FailedLoginsText(reports[0]), "5 failed logins from 127.0.0.2");
}

} // namespace
