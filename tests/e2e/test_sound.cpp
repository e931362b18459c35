// Sound in the stream, with a real sound server (a PulseAudio daemon of the
// test's own with a null sink) and real players: ffprobe and ffmpeg over
// http:// and mmsh://, VLC and mpv.
#include "tests/app/AppFixture.h"

#include "app/Unit1Audio.h"
#include "media/MediaKit.h"
#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/TestPatternCode.h"
#include "tests/support/NginxRtmp.h"
#include "tests/live/SoundTestKit.h"
#include "tests/support/PulseTestServer.h"

#include <QComboBox>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <cmath>
#include <complex>
#include <fstream>
#include <sstream>

using namespace std::chrono_literals;
using soundtest::Rms;
using testsupport::FreeTcpPort;
using testsupport::PulseTestServer;
using testsupport::RunCommand;
using testsupport::WriteFileText;

namespace {

constexpr int kRate = 22050; // what the players are asked to decode to
constexpr int kToneHz = 660;

std::vector<int16_t> ReadPcm(const std::string& path)
{
    return soundtest::Samples(testsupport::ReadFileText(path));
}

// The strongest frequency (5 Hz steps, 50..5000 Hz) of one second from the
// middle of the samples.
int DominantFrequency(const std::vector<int16_t>& pcm, int rate)
{
    if (pcm.size() < static_cast<size_t>(rate))
        return 0;
    return soundtest::DominantHz(pcm, (pcm.size() - static_cast<size_t>(rate)) / 2, static_cast<size_t>(rate), rate, 5, 5000);
}

class Sound : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        m_pulse = std::make_unique<PulseTestServer>();
        if (!m_pulse->Running())
            GTEST_SKIP() << "no sound server for the test: " << m_pulse->Error();
    }
    void TearDown() override
    {
        AppFixture::TearDown(); // the window (and its audio source) first
        m_pulse.reset();
    }

    // The window streaming the test pattern with `input` as its sound, on
    // the bitrate row `row`.
    TForm1& StartStreaming(const std::string& inputPath, int row = 2, const std::string& moreSettings = {})
    {
        m_port = FreeTcpPort();
        WriteFileText(Path("lumora.ini"),
            "[Network]\nPort=" + std::to_string(m_port) + "\nProfile=" + std::to_string(row) + "\n" + moreSettings);
        TStartOptions o;
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
        TForm1& f = Open(o);
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test pattern
        if (!inputPath.empty())
            ChooseInput(f, inputPath);
        f.btnStart->click();
        EXPECT_TRUE(f.btnStop->isEnabled());
        return f;
    }
    void ChooseInput(TForm1& f, const std::string& path)
    {
        auto* box = f.findChild<QComboBox*>("cbAudio");
        ASSERT_NE(box, nullptr);
        const auto& inputs = f.Audio->Inputs();
        for (size_t i = 0; i < inputs.size(); ++i)
            if (inputs[i].identity.path == path || (path == "tone" && inputs[i].identity.kind == "tone")) {
                box->setCurrentIndex(static_cast<int>(i) + 1);
                emit box->activated(static_cast<int>(i) + 1);
                return;
            }
        FAIL() << "no audio input " << path << " among " << inputs.size();
    }
    std::string Url(const char* scheme = "http") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + "/";
    }
    // Codec names of the stream's streams as ffprobe lists them.
    std::string Codecs(const char* scheme = "http") const
    {
        return RunCommand("timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + Url(scheme) + "' 2>&1");
    }
    // `seconds` of the stream's sound, decoded by ffmpeg to mono kRate.
    std::vector<int16_t> DecodeAudio(int seconds, const char* scheme = "http")
    {
        const std::string out = Path("audio.raw");
        RunCommand("timeout " + std::to_string(seconds + 20) + " ffmpeg -v error -y -i '" + Url(scheme) + "' -t " +
                   std::to_string(seconds) + " -map 0:a:0 -f s16le -ac 1 -ar " + std::to_string(kRate) + " " + out + " 2>&1");
        return ReadPcm(out);
    }
    // Runs `work` on a thread while the window's event loop turns.
    template <class Work>
    auto Meanwhile(Work work)
    {
        using R = decltype(work());
        R result{};
        bool done = false;
        std::thread t([&] { result = work(); done = true; });
        WaitFor([&] { return done; }, 120s);
        t.join();
        return result;
    }

    std::unique_ptr<PulseTestServer> m_pulse;
    int m_port = 0;
};

TEST_F(Sound, TheInputsListTheServersSourcesThenTheTestTone)
{
    TForm1& f = Open();
    const auto& inputs = f.Audio->Inputs();
    ASSERT_GE(inputs.size(), 2u);
    EXPECT_TRUE(std::any_of(inputs.begin(), inputs.end(),
        [](const AudioInput& d) { return d.identity.kind == "pulse" && d.identity.path == PulseTestServer::kMonitor; }));
    EXPECT_EQ(inputs.back().identity.friendlyName, kTestToneName);
    auto* box = f.findChild<QComboBox*>("cbAudio");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->currentIndex(), 0) << "sound is off by default";
    EXPECT_EQ(box->count(), static_cast<int>(inputs.size()) + 1);
}

TEST_F(Sound, TheMonitoredToneReachesPlayersBesideThePicture)
{
    m_pulse->PlayTone(kToneHz);
    TForm1& f = StartStreaming(PulseTestServer::kMonitor);
    for (const char* scheme : {"http", "mmsh"}) {
        SCOPED_TRACE(scheme);
        const std::string codecs = Meanwhile([&] { return Codecs(scheme); });
        EXPECT_EQ(codecs, "wmv2\nwmav2\n");
        const std::vector<int16_t> pcm = Meanwhile([&] { return DecodeAudio(4, scheme); });
        ASSERT_GE(pcm.size(), static_cast<size_t>(kRate * 3)) << "too little sound decoded";
        EXPECT_NEAR(DominantFrequency(pcm, kRate), kToneHz, 10);
        EXPECT_GT(Rms(pcm), 1000.0) << "the tone is played at full scale";
    }
    // Both streams decode.
    const std::string decoded = Meanwhile([&] {
        return RunCommand("timeout 30 ffmpeg -v error -i '" + Url() + "' -t 3 -f null - 2>&1 && echo decoded");
    });
    EXPECT_EQ(decoded, "decoded\n");
    // The meter shows the level.
    auto* meter = f.findChild<QWidget*>("pbAudioLevel");
    ASSERT_NE(meter, nullptr);
    EXPECT_TRUE(WaitFor([&] { return meter->property("value").toInt() > 50; }, 5s));

    // Muted: the stream goes on, silent.
    f.findChild<QCheckBox*>("cbMute")->setChecked(true);
    const std::vector<int16_t> muted = Meanwhile([&] { return DecodeAudio(3); });
    ASSERT_GE(muted.size(), static_cast<size_t>(kRate * 2));
    EXPECT_LT(Rms(muted, muted.size() / 2), 50.0);
}

// The outputs beside the Windows Media stream get the same sound: the relay
// through a real media server, and the browsers' H.264 on the stream port.
TEST_F(Sound, TheRelayAndTheBrowsersH264CarryTheSound)
{
    using testsupport::NginxRtmp;
    if (!NginxRtmp::Available())
        GTEST_SKIP() << "nginx with the RTMP module is not installed";
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    const std::string relay = nginx.Url("live", "cam");
    m_pulse->PlayTone(kToneHz);
    StartStreaming(PulseTestServer::kMonitor, 2, "[Relay]\nURL=" + relay + "\nEnabled=1\n");
    const std::string mp4 = "http://127.0.0.1:" + std::to_string(m_port) + "/live.mp4";
    for (const std::string& url : {relay, mp4}) {
        SCOPED_TRACE(url);
        std::string codecs;
        // The relay publishes once it has connected.
        WaitFor([&] {
            codecs = Meanwhile([&] {
                return RunCommand("timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + url + "' 2>&1");
            });
            return codecs == "h264\naac\n" || codecs == "aac\nh264\n";
        }, 30s);
        EXPECT_TRUE(codecs == "h264\naac\n" || codecs == "aac\nh264\n") << codecs;
        const std::string out = Path("out.raw");
        Meanwhile([&] {
            return RunCommand("timeout 40 ffmpeg -v error -y -i '" + url + "' -t 4 -map 0:a:0 -f s16le -ac 1 -ar "
                + std::to_string(kRate) + " " + out + " 2>&1");
        });
        const std::vector<int16_t> pcm = ReadPcm(out);
        ASSERT_GE(pcm.size(), static_cast<size_t>(kRate * 3)) << "too little sound decoded";
        EXPECT_NEAR(DominantFrequency(pcm, kRate), kToneHz, 10);
        EXPECT_GT(Rms(pcm), 1000.0);
    }
}

TEST_F(Sound, SoundOffKeepsTheStreamVideoOnlyAndTheSettingsAsTheyWere)
{
    StartStreaming("");
    EXPECT_EQ(Meanwhile([&] { return Codecs(); }), "wmv2\n");
    ASSERT_TRUE(Close());
    EXPECT_EQ(SettingsText().find("[Audio]"), std::string::npos) << SettingsText();
}

TEST_F(Sound, TheChoiceIsSavedOnceUsedAndComesBack)
{
    {
        TForm1& f = Open();
        ChooseInput(f, PulseTestServer::kMonitor);
        ASSERT_TRUE(Close());
    }
    const std::string saved = SettingsText();
    EXPECT_NE(saved.find(std::string("[Audio]\nSource=pulse:") + PulseTestServer::kMonitor + "\nEnabled=1"), std::string::npos)
        << saved;
    m_form.reset();
    TForm1& f = Open();
    auto* box = f.findChild<QComboBox*>("cbAudio");
    ASSERT_GT(box->currentIndex(), 0);
    EXPECT_EQ(f.Audio->Inputs()[static_cast<size_t>(box->currentIndex()) - 1].identity.path, PulseTestServer::kMonitor);

    // Turned off: the keys stay, Enabled says off.
    box->setCurrentIndex(0);
    emit box->activated(0);
    ASSERT_TRUE(Close());
    EXPECT_NE(SettingsText().find(std::string("Source=pulse:") + PulseTestServer::kMonitor + "\nEnabled=0"), std::string::npos)
        << SettingsText();
}

TEST_F(Sound, RowsTooSmallForSoundStayVideoOnly)
{
    StartStreaming(PulseTestServer::kMonitor, 5); // 28.8 Kbps
    EXPECT_EQ(Meanwhile([&] { return Codecs(); }), "wmv2\n");
}

TEST_F(Sound, LostInputIsSilenceUntilItComesBack)
{
    m_pulse->PlayTone(kToneHz);
    TForm1& f = StartStreaming(PulseTestServer::kMonitor);
    ASSERT_NEAR(DominantFrequency(Meanwhile([&] { return DecodeAudio(3); }), kRate), kToneHz, 10);

    ASSERT_TRUE(m_pulse->UnloadSink());
    EXPECT_TRUE(WaitFor([&] { return f.StatusPanel1->text() == kMicrophoneLost; }, 20s));
    const std::vector<int16_t> lost = Meanwhile([&] { return DecodeAudio(3); });
    ASSERT_GE(lost.size(), static_cast<size_t>(kRate * 2)) << "the stream went on";
    EXPECT_LT(Rms(lost, lost.size() / 2), 50.0);

    ASSERT_TRUE(m_pulse->LoadSink());
    m_pulse->PlayTone(kToneHz);
    EXPECT_TRUE(WaitFor([&] { return f.StatusPanel1->text() != kMicrophoneLost; }, 20s));
    const std::vector<int16_t> back = Meanwhile([&] { return DecodeAudio(4); });
    EXPECT_NEAR(DominantFrequency(back, kRate), kToneHz, 10);
}

// A sound server that stops answering keeps its connection open and never
// says so: the input is taken as lost, the stream goes on with silence,
// Stop ends at once (nothing waits on the server), and a new Start while it
// is still frozen streams silence until it answers again.
TEST_F(Sound, AServerThatStopsAnsweringIsALostInputAndNeverHoldsTheStream)
{
    m_pulse->PlayTone(kToneHz);
    TForm1& f = StartStreaming(PulseTestServer::kMonitor);
    ASSERT_NEAR(DominantFrequency(Meanwhile([&] { return DecodeAudio(3); }), kRate), kToneHz, 10);

    m_pulse->Freeze();
    EXPECT_TRUE(WaitFor([&] { return f.StatusPanel1->text() == kMicrophoneLost; }, 20s));
    const std::vector<int16_t> lost = Meanwhile([&] { return DecodeAudio(3); });
    ASSERT_GE(lost.size(), static_cast<size_t>(kRate * 2)) << "the stream went on";
    EXPECT_LT(Rms(lost, lost.size() / 2), 50.0);
    f.btnStop->click(); // returns: nothing waits on the frozen server
    EXPECT_TRUE(f.btnStart->isEnabled());

    // Started again while the server is still frozen: the open waits on it
    // beside the stream, not in its way.
    f.btnStart->click();
    ASSERT_TRUE(f.FilterGraph1->Active());
    EXPECT_EQ(Meanwhile([&] { return Codecs(); }), "wmv2\nwmav2\n");
    EXPECT_GE(Meanwhile([&] { return DecodeAudio(2); }).size(), static_cast<size_t>(kRate)) << "silence goes on";
    m_pulse->Thaw();
    m_pulse->PlayTone(kToneHz);
    EXPECT_TRUE(WaitFor([&] { return f.StatusPanel1->text() != kMicrophoneLost; }, 40s));
    EXPECT_NEAR(DominantFrequency(Meanwhile([&] { return DecodeAudio(4); }), kRate), kToneHz, 10);
    f.btnStop->click();
}

TEST_F(Sound, BeepsOfTheTestToneMeetTheFlashesOfThePattern)
{
    StartStreaming("tone");
    const std::string rec = Path("rec.asf");
    Meanwhile([&] {
        return RunCommand("timeout 40 ffmpeg -v error -y -i '" + Url() + "' -t 10 -c copy " + rec + " 2>&1");
    });
    // Frame times and pictures, and the sound from time 0 of the same
    // timeline (silence before its first sample).
    const std::string times = RunCommand("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time "
                                         "-of csv=p=0 " + rec);
    RunCommand("ffmpeg -v error -y -i " + rec + " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt gray " +
               Path("video.raw"));
    RunCommand("ffmpeg -v error -y -copyts -i " + rec + " -map 0:a:0 -af aresample=async=1:first_pts=0 -f s16le -ac 1 -ar " + std::to_string(kRate) + " " +
               Path("audio.raw"));
    const std::vector<int16_t> pcm = ReadPcm(Path("audio.raw"));
    std::ifstream video(Path("video.raw"), std::ios::binary);

    const int w = 320, h = 240; // the 93 Kbps row's frame
    std::vector<double> flashes;
    std::istringstream t(times);
    std::vector<uint8_t> frame(static_cast<size_t>(w * h));
    for (std::string line; std::getline(t, line);) {
        if (!video.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size())))
            break;
        if (ReadTestPatternFlash(frame.data(), w, h, w))
            flashes.push_back(std::stod(line));
    }
    // Beep onsets: where the level rises past half the beep's after a quiet
    // spell (5 ms windows; the quiet tone stays far below).
    std::vector<double> onsets;
    const size_t window = kRate / 200;
    bool quiet = false;
    size_t rise = 0;
    for (size_t i = 0; i + window <= pcm.size(); i += window) {
        const double r = Rms(pcm, i, window);
        if (r < 1500) {
            quiet = true;
            rise = i + window;
        } else if (quiet && r > 3000) {
            onsets.push_back(static_cast<double>(rise) / kRate);
            quiet = false;
        }
    }
    ASSERT_GE(flashes.size(), 5u);
    ASSERT_GE(onsets.size(), 5u);
    const double frameTime = 1.0 / 15;
    int matched = 0;
    for (double flash : flashes) {
        double nearest = 1e9;
        for (double onset : onsets)
            nearest = std::abs(onset - flash) < std::abs(nearest) ? onset - flash : nearest;
        EXPECT_LE(std::abs(nearest), frameTime) << "flash at " << flash << " s, beep " << nearest * 1000 << " ms off";
        matched += std::abs(nearest) <= frameTime;
    }
    EXPECT_GE(matched, 5);
}

TEST_F(Sound, VlcAndMpvPlayTheSound)
{
    m_pulse->PlayTone(kToneHz);
    StartStreaming(PulseTestServer::kMonitor);
    const std::string mpv = Meanwhile([&] {
        return RunCommand("timeout 40 mpv --no-config --ao=null --vo=null --length=3 '" + Url() + "' 2>&1");
    });
    EXPECT_NE(mpv.find("AO: [null]"), std::string::npos) << mpv;
    EXPECT_NE(mpv.find("wmav2"), std::string::npos) << mpv;
    // VLC refuses to run as root; it is run as nobody then.
    const std::string vlc = Meanwhile([&] {
        return RunCommand("timeout 40 $( [ \"$(id -u)\" = 0 ] && echo setpriv --reuid=65534 --regid=65534 --clear-groups "
                          "env HOME=/tmp ) cvlc -vv --no-video --aout=dummy --play-and-exit --run-time=3 '" + Url() + "' 2>&1");
    });
    EXPECT_NE(vlc.find("added new audio stream (codec:WMA2"), std::string::npos) << "VLC's ASF reader saw no WMA2 stream";
    EXPECT_NE(vlc.find("codec (wmav2) started"), std::string::npos) << "VLC decoded no sound";
}

} // namespace
