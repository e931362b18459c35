// The relay's audio track, read back through nginx-rtmp by ffprobe and
// ffmpeg: silence when sound is off, the fed sound when it is on, and
// silence that carries the stream on when the sound stops coming.
#include "live/relay/RtmpRelay.h"
#include "tests/live/SoundTestKit.h"
#include "tests/live/relay/RelayTestKit.h"
#include "tests/support/NginxRtmp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

using namespace std::chrono_literals;
using relaytest::PictureFeed;
using relaytest::StopsWithin;
using relaytest::WaitFor;
using soundtest::DominantHz;
using soundtest::Rms;
using soundtest::Samples;
using soundtest::Streams;
using soundtest::ToneFeed;
using testsupport::NginxRtmp;
using testsupport::RunCommand;

namespace {

constexpr int kRate = 8000; // the rate the decoded sound is checked at

class RelaySound : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NginxRtmp::Available())
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        ASSERT_TRUE(m_nginx.Start());
    }
    static RelayOptions Options(const std::string& url, SoundTrack sound)
    {
        RelayOptions o;
        o.url = url;
        o.bitrateKbps = 300;
        o.sound = sound;
        return o;
    }
    NginxRtmp m_nginx;
};

TEST_F(RelaySound, TheFlvAlwaysCarriesAacSilentUnlessSoundIsOnAndFed)
{
    const struct {
        const char* what;
        SoundTrack sound;
        double toneHz; // 0: nothing fed
        int rate, channels;
        const char* streams;
        int heardHz; // 0: silence
    } cases[] = {
        {"sound off: a silent track", SoundTrack::Off, 0, 0, 0, "aac,audio,1\nh264,video\n", 0},
        {"sound off: what comes in stays out", SoundTrack::Off, 1000, 48000, 2, "aac,audio,1\nh264,video\n", 0},
        {"sound on: a tone at 48 kHz stereo", SoundTrack::On, 1000, 48000, 2, "aac,audio,2\nh264,video\n", 1000},
        {"sound on: a tone at 44.1 kHz mono", SoundTrack::On, 660, 44100, 1, "aac,audio,2\nh264,video\n", 660},
        {"sound on, nothing comes: silence", SoundTrack::On, 0, 0, 0, "aac,audio,2\nh264,video\n", 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string url = m_nginx.Url("live", "cam" + std::to_string(n++));
        RtmpRelay relay(Options(url, c.sound));
        const auto relayPictures = std::make_shared<PictureTap>();
        relay.Start(relayPictures);
        PictureFeed pictures(*relayPictures, 320, 240, 15);
        std::unique_ptr<ToneFeed> tone;
        if (c.toneHz > 0)
            tone = std::make_unique<ToneFeed>([&](const TappedAudio& a) { relay.FeedAudio(a); }, c.toneHz, c.rate,
                                              c.channels);
        ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s))
            << RelayStatusText(relay.Status(), std::chrono::steady_clock::now());

        EXPECT_EQ(Streams(url), c.streams);
        const std::vector<int16_t> heard =
            Samples(RunCommand("timeout 30 ffmpeg -nostdin -v error -i '" + url + "' -map 0:a -t 3 -ac 1 -ar " +
                               std::to_string(kRate) + " -f s16le -"));
        ASSERT_NEAR(static_cast<double>(heard.size()), 3.0 * kRate, 16) << "three seconds of sound decoded";
        // The middle two seconds, away from where decoding began and ended.
        const size_t from = kRate / 2, count = 2 * kRate;
        if (c.heardHz == 0) {
            EXPECT_LT(Rms(heard, from, count), 20.0);
        } else {
            EXPECT_GT(Rms(heard, from, count), 2000.0);
            EXPECT_NEAR(DominantHz(heard, from, count, kRate), c.heardHz, 2);
        }
        EXPECT_TRUE(StopsWithin(relay, 10s));
    }
}

// Sound that stops coming (the input lost) is followed by silence at once:
// a player reading both tracks gets every second of the stream, without
// waiting for audio that never comes.
TEST_F(RelaySound, SoundThatStopsComingIsFollowedBySilenceAndTheStreamGoesOn)
{
    const std::string url = m_nginx.Url("live", "cam");
    RtmpRelay relay(Options(url, SoundTrack::On));
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed pictures(*relayPictures, 320, 240, 15);
    ToneFeed tone([&](const TappedAudio& a) { relay.FeedAudio(a); }, 1000, 48000, 1);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s));

    testsupport::TempDir dir;
    const std::string audio = dir.file("audio.raw"), video = dir.file("video.txt");
    testsupport::ChildProcess player({"ffmpeg", "-nostdin", "-v", "error", "-i", url, "-t", "6", "-map", "0:a", "-ac",
                                      "1", "-ar", std::to_string(kRate), "-f", "s16le", audio, "-t", "6", "-map", "0:v",
                                      "-f", "framecrc", video});
    // The player is connected; a second of the tone, then none comes.
    ASSERT_TRUE(WaitFor([&] { return m_nginx.ErrorLog().find("play: name='cam'") != std::string::npos; }, 20s))
        << m_nginx.ErrorLog();
    std::this_thread::sleep_for(1s);
    tone.Silence();
    ASSERT_EQ(player.wait(30s), 0) << "the player got six seconds of both tracks";

    const std::vector<int16_t> heard = Samples(testsupport::ReadFileText(audio));
    ASSERT_NEAR(static_cast<double>(heard.size()), 6.0 * kRate, 16);
    EXPECT_EQ(DominantHz(heard, kRate / 10, kRate / 2, kRate), 1000) << "the tone first";
    EXPECT_GT(Rms(heard, kRate / 10, kRate / 2), 2000.0);
    EXPECT_LT(Rms(heard, 3 * kRate, 3 * kRate), 20.0) << "then silence";
    // Pictures from the first key frame on (one every 2 s) to the end.
    std::istringstream lines(testsupport::ReadFileText(video));
    int frames = 0;
    for (std::string line; std::getline(lines, line);)
        frames += !line.empty() && line[0] != '#';
    EXPECT_GE(frames, 4 * 15 - 5) << "the pictures went on";
    EXPECT_TRUE(StopsWithin(relay, 10s));
}

} // namespace
