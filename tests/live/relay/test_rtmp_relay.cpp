// The relay against real peers on loopback: nginx with its RTMP module
// (publishing HLS), ffprobe and ffmpeg as viewers, a server that accepts
// and never answers, and nginx frozen (SIGSTOP) in the middle of a stream.
#include "live/relay/RtmpRelay.h"
#include "tests/live/relay/RelayTestKit.h"
#include "tests/support/NginxRtmp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using testsupport::NginxRtmp;
using testsupport::ReadFileText;
using testsupport::RunCommand;
using relaytest::PictureFeed;
using relaytest::StopsWithin;
using relaytest::WaitFor;

namespace {

std::string Probe(const std::string& url)
{
    return RunCommand("timeout 30 ffprobe -v error -select_streams v:0 -show_entries "
                      "stream=codec_name,width,height,r_frame_rate -of csv=p=0 '" + url + "' 2>&1");
}

// Connection numbers ("*N") nginx gave the sessions that published `key`.
std::vector<std::string> PublishSessions(const std::string& log, const std::string& key)
{
    // Lines read "... [info] 123#123: *7 publish: name='cam' ...".
    std::vector<std::string> out;
    const std::string mark = " publish: name='" + key + "'";
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
        const size_t star = log.rfind('*', at);
        if (star != std::string::npos)
            out.push_back(log.substr(star, at - star));
    }
    return out;
}

// A session the client ended as the protocol wants says deleteStream itself,
// before nginx sees the connection go.
bool EndedByTheClient(const std::string& log, const std::string& session)
{
    const size_t deleted = log.find(session + " deleteStream");
    const size_t gone = log.find(session + " disconnect");
    return deleted != std::string::npos && gone != std::string::npos && deleted < gone;
}

class RelayToNginx : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    void SetUp() override
    {
        if (!NginxRtmp::Available())
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        ASSERT_TRUE(m_nginx.Start());
    }
    RelayOptions Options(const std::string& url)
    {
        RelayOptions o;
        o.url = url;
        o.bitrateKbps = 300;
        o.firstRetry = kFirstRetry; // half the program's, so retries come sooner
        return o;
    }
    NginxRtmp m_nginx;
};

TEST_F(RelayToNginx, PublishesH264AtThePictureSizeWithHlsAndEndsTheStreamOnStop)
{
    RtmpRelay relay(Options(m_nginx.Url("live", "cam")));
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s))
        << RelayStatusText(relay.Status(), std::chrono::steady_clock::now());
    EXPECT_EQ(relay.Status().error, "");

    EXPECT_EQ(Probe(m_nginx.Url("live", "cam")), "h264,320,240,15/1\n");

    // nginx cuts the stream into HLS segments at the 2-second key frames;
    // a segment decodes as H.264 at the same size.
    const std::string playlist = m_nginx.HlsDir() + "/cam.m3u8";
    ASSERT_TRUE(WaitFor([&] { return ReadFileText(playlist).find("cam-1.ts") != std::string::npos; }, 30s))
        << ReadFileText(playlist);
    const std::string decoded =
        RunCommand("timeout 30 ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                   "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" + m_nginx.HlsDir() + "/cam-0.ts' 2>&1");
    ASSERT_EQ(decoded.rfind("h264,320,240,", 0), 0u) << decoded;
    EXPECT_GE(std::atoi(decoded.c_str() + 13), 15) << "about two seconds of pictures per segment";

    ASSERT_TRUE(StopsWithin(relay, 10s));
    EXPECT_EQ(relay.Status().state, RelayState::Off);
    EXPECT_GT(relay.Status().picturesSent, 30u);
    const std::string log = m_nginx.ErrorLog();
    const auto sessions = PublishSessions(log, "cam");
    ASSERT_EQ(sessions.size(), 1u) << log;
    ASSERT_TRUE(WaitFor([&] { return EndedByTheClient(m_nginx.ErrorLog(), sessions[0]); }, 10s)) << m_nginx.ErrorLog();
}

TEST_F(RelayToNginx, ServerGoneIsRetriedAndTheRelayIsLiveAgainWhenItReturns)
{
    RtmpRelay relay(Options(m_nginx.Url("live", "cam")));
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s));

    m_nginx.Stop();
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Retrying; }, 20s));
    const RelayStatus waiting = relay.Status();
    EXPECT_EQ(waiting.retrySeconds, 1);
    EXPECT_NE(RelayStatusText(waiting, std::chrono::steady_clock::now()).find("; retry in "), std::string::npos);
    EXPECT_EQ(waiting.error.rfind("connection lost (", 0), 0u) << waiting.error;

    // The next attempt finds no server: the delay grows.
    ASSERT_TRUE(WaitFor([&] { return relay.Status().retrySeconds == 2; }, 20s));
    EXPECT_EQ(relay.Status().error, "connection refused by 127.0.0.1:" + std::to_string(m_nginx.port()));

    ASSERT_TRUE(m_nginx.Start());
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 30s))
        << RelayStatusText(relay.Status(), std::chrono::steady_clock::now());
    EXPECT_EQ(relay.Status().sessions, 2u);
    EXPECT_EQ(Probe(m_nginx.Url("live", "cam")), "h264,320,240,15/1\n");
    EXPECT_TRUE(StopsWithin(relay, 10s));
}

// The writer stops (another source was picked): the session ends cleanly and
// a new one begins with the pictures of the next writing, at their size.
TEST_F(RelayToNginx, EndOfPicturesEndsTheSessionAndNewPicturesStartAnother)
{
    RtmpRelay relay(Options(m_nginx.Url("live", "cam")));
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    {
        PictureFeed feed(*relayPictures, 320, 240, 15);
        ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s));
    }
    relayPictures->End();
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Connecting; }, 10s));
    const auto first = PublishSessions(m_nginx.ErrorLog(), "cam");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return EndedByTheClient(m_nginx.ErrorLog(), first[0]); }, 10s)) << m_nginx.ErrorLog();

    PictureFeed feed(*relayPictures, 240, 176, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().sessions == 2 && relay.Status().state == RelayState::Live; }, 20s));
    EXPECT_EQ(Probe(m_nginx.Url("live", "cam")), "h264,240,176,15/1\n");
    EXPECT_TRUE(StopsWithin(relay, 10s));
}

// Only the server's own answer refuses: nginx saying "already publishing"
// to a second publisher of a key is final, and so is a bad address. nginx
// closing the connection on an unknown application says nothing, like any
// server that goes away, so that is retried with the growing delay.
TEST_F(RelayToNginx, OnlyTheServersAnswerOrABadAddressIsFinalAndEverythingElseIsRetried)
{
    RelayOptions holder = Options(m_nginx.Url("live", "taken"));
    RtmpRelay first(holder);
    const auto firstPictures = std::make_shared<PictureTap>();
    first.Start(firstPictures);
    PictureFeed firstFeed(*firstPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return first.Status().state == RelayState::Live; }, 20s));

    const int closedPort = testsupport::FreeTcpPort();
    const struct {
        std::string url;
        RelayState state;
        std::string error;
    } cases[] = {
        {m_nginx.Url("live", "taken"), RelayState::Failed, "refused by the server: Already publishing"},
        {m_nginx.Url("nosuchapp", "cam"), RelayState::Retrying, "connection lost (closed by the server)"},
        {"rtmp://127.0.0.1:" + std::to_string(closedPort) + "/live/cam", RelayState::Retrying,
         "connection refused by 127.0.0.1:" + std::to_string(closedPort)},
        {"http://127.0.0.1:" + std::to_string(m_nginx.port()) + "/live/cam", RelayState::Failed,
         "bad URL: the address must start with rtmp:// or rtmps://"},
        {"rtmp://127.0.0.1:" + std::to_string(m_nginx.port()) + "/live", RelayState::Failed,
         "bad URL: the address needs an application and a stream key (rtmp://host/app/key)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        RelayOptions o = Options(c.url);
        o.firstRetry = 500ms;
        RtmpRelay relay(o);
        const auto relayPictures = std::make_shared<PictureTap>();
        relay.Start(relayPictures);
        PictureFeed feed(*relayPictures, 320, 240, 15);
        ASSERT_TRUE(WaitFor([&] { return relay.Status().state == c.state; }, 20s))
            << RelayStatusText(relay.Status(), std::chrono::steady_clock::now());
        EXPECT_EQ(relay.Status().error, c.error);
        if (c.state == RelayState::Retrying) {
            // Tried again, after a longer wait.
            EXPECT_TRUE(WaitFor([&] { return relay.Status().retrySeconds == 1; }, 10s))
                << RelayStatusText(relay.Status(), std::chrono::steady_clock::now());
            EXPECT_EQ(relay.Status().error, c.error);
        }
        EXPECT_TRUE(StopsWithin(relay, 10s));
    }
    // Past the first retry delay, nginx has still seen the refused publish
    // once only, and no connection for the bad addresses.
    std::this_thread::sleep_for(kFirstRetry + 500ms);
    const std::string log = m_nginx.ErrorLog();
    EXPECT_EQ(PublishSessions(log, "taken").size(), 2u) << log;
    auto count = [&](const std::string& mark) {
        size_t n = 0;
        for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("connect: app='live'"), 2u) << "the holder and the refused publisher\n" << log;
    EXPECT_GE(count("connect: app='nosuchapp'"), 2u) << log;
    EXPECT_TRUE(StopsWithin(first, 10s));
}

TEST_F(RelayToNginx, FrozenServerCostsABoundedWaitWhileTheFeedGoesOn)
{
    RelayOptions o = Options(m_nginx.Url("live", "noise"));
    o.bitrateKbps = 50000; // noise at a high rate fills the socket buffers within seconds
    // Long enough for the socket buffers to fill and the relay to fall
    // behind before the silence counts as a lost connection.
    o.writeTimeout = 3000ms;
    o.connectTimeout = 2000ms;
    RtmpRelay relay(o);
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 30, true);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s));

    ::kill(m_nginx.Pid(), SIGSTOP);
    const bool left = WaitFor([&] { return relay.Status().state == RelayState::Retrying; }, 60s);
    const RelayStatus s = relay.Status();
    const int fedBefore = feed.count();
    std::this_thread::sleep_for(1s);
    EXPECT_GT(feed.count(), fedBefore) << "the picture source is never held up";
    EXPECT_TRUE(StopsWithin(relay, 10s)) << "Stop ends the relay although the server hangs";
    ::kill(m_nginx.Pid(), SIGCONT);
    ASSERT_TRUE(left) << RelayStatusText(s, std::chrono::steady_clock::now());
    EXPECT_EQ(s.error, "connection lost (the server stopped answering)");
    EXPECT_GT(s.picturesDropped, 0u) << "pictures were dropped on the relay's side";
}

// A server that accepts connections and never says a word.
class SilentServer {
public:
    SilentServer()
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_fd, 4);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~SilentServer() { close(m_fd); }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

TEST(RelayToSilentServer, StopEndsAConnectThatWouldWaitLong)
{
    SilentServer server;
    RelayOptions o;
    o.url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/cam";
    o.connectTimeout = 120s; // only Stop can end this attempt early
    RtmpRelay relay(o);
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Connecting; }, 10s));
    std::this_thread::sleep_for(1s); // inside the handshake by now
    EXPECT_TRUE(StopsWithin(relay, 10s));
    EXPECT_EQ(relay.Status().state, RelayState::Off);
}

TEST(RelayToSilentServer, AnAnswerThatNeverComesIsANoAnswerAndRetried)
{
    SilentServer server;
    RelayOptions o;
    o.url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/cam";
    o.connectTimeout = 1s;
    RtmpRelay relay(o);
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Retrying; }, 20s));
    EXPECT_EQ(relay.Status().error, "no answer from 127.0.0.1:" + std::to_string(server.port()));
    EXPECT_TRUE(StopsWithin(relay, 10s));
}

} // namespace
