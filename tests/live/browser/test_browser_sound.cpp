// Sound in /live.mp4: with sound on, ffprobe finds AAC beside the H.264 and
// ffmpeg hears the tone fed in; with sound off the stream is video only,
// and turning sound off again gives back the very bytes of before.

#include "tests/live/SoundTestKit.h"
#include "tests/live/browser/BrowserSideFixture.h"

#include <algorithm>
#include <sstream>

namespace {

using namespace browsertest;
using soundtest::DominantHz;
using soundtest::Rms;
using soundtest::Samples;
using soundtest::Streams;
using soundtest::ToneFeed;

constexpr int kRate = 8000; // the rate the decoded sound is checked at

size_t Count(const std::string& text, const std::string& mark)
{
    size_t n = 0;
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        ++n;
    return n;
}

// The first `count` chunks of a /live.mp4 response (the initialization
// segment, then fragments); fewer when the time runs out.
std::vector<std::string> FirstChunks(DWORD port, size_t count)
{
    const int fd = Connect(port);
    Send(fd, "GET /live.mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string buffer;
    std::vector<std::string> chunks;
    const auto end = std::chrono::steady_clock::now() + 10s;
    size_t at = std::string::npos;
    while (chunks.size() < count && std::chrono::steady_clock::now() < end) {
        bool closed = false;
        buffer += Read(fd, 50ms, SIZE_MAX, &closed);
        if (at == std::string::npos) {
            const size_t head = buffer.find("\r\n\r\n");
            if (head == std::string::npos)
                continue;
            at = head + 4;
        }
        for (;;) {
            const size_t line = buffer.find("\r\n", at);
            if (line == std::string::npos)
                break;
            const size_t size = std::stoul(buffer.substr(at, line - at), nullptr, 16);
            if (buffer.size() < line + 2 + size + 2)
                break;
            chunks.push_back(buffer.substr(line + 2, size));
            at = line + 2 + size + 2;
        }
        if (closed)
            break;
    }
    close(fd);
    return chunks;
}

TEST_F(BrowserSideTest, SoundOnAddsAacToLiveMp4AndSoundOffGivesBackTheVideoOnlyStream)
{
    ToneFeed tone([this](const TappedAudio& a) { m_browsers->FeedAudio(a); }, 1000, 48000, 2);

    // Sound off (the default): what the tone brings is not used.
    EXPECT_EQ(Streams(Url("http", "/live.mp4")), "h264,video\n");
    const std::vector<std::string> silent = FirstChunks(m_port, 3);
    ASSERT_EQ(silent.size(), 3u);
    EXPECT_EQ(Count(silent[0], "trak"), 1u);
    EXPECT_EQ(Count(silent[0], "mp4a"), 0u);
    EXPECT_EQ(Count(silent[2], "traf"), 1u);

    m_browsers->SetSound(SoundTrack::On);
    EXPECT_EQ(Streams(Url("http", "/live.mp4")), "aac,audio,2\nh264,video\n");
    const std::vector<int16_t> heard = Samples(RunCommand("timeout 30 ffmpeg -nostdin -v error -i "
        + Url("http", "/live.mp4") + " -map 0:a -t 3 -ac 1 -ar " + std::to_string(kRate) + " -f s16le -"));
    ASSERT_NEAR(static_cast<double>(heard.size()), 3.0 * kRate, 16);
    EXPECT_GT(Rms(heard, kRate / 2, 2 * kRate), 2000.0);
    EXPECT_EQ(DominantHz(heard, kRate / 2, 2 * kRate, kRate), 1000);
    // Both tracks in the header, and every fragment carries both.
    const std::vector<std::string> sounding = FirstChunks(m_port, 6);
    ASSERT_EQ(sounding.size(), 6u);
    EXPECT_EQ(Count(sounding[0], "trak"), 2u);
    EXPECT_EQ(Count(sounding[0], "mp4a"), 1u);
    for (size_t i = 1; i < sounding.size(); ++i)
        EXPECT_EQ(Count(sounding[i], "traf"), 2u) << i;

    m_browsers->SetSound(SoundTrack::Off);
    const std::vector<std::string> again = FirstChunks(m_port, 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], silent[0]) << "the video-only header of before, byte for byte";
}

} // namespace
