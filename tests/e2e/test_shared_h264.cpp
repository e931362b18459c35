// One H.264 encode for the relay and the browsers: with the relay publishing
// to nginx-rtmp and a browser's MP4 viewer on /live.mp4 at the same time,
// both carry the very same H.264 packets, and one libx264 encoder runs. The
// browsers' own bitrate applies only while no relay runs.
#include "tests/app/AppFixture.h"

#include "app/Unit1Relay.h"
#include "live/h264/H264Source.h"
#include "media/MediaKit.h"
#include "platform/wmf/PictureTap.h"
#include "tests/support/NginxRtmp.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <future>
#include <set>
#include <sstream>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::NginxRtmp;
using testsupport::RunCommand;
using testsupport::WriteFileText;

namespace {

// The MD5 of each video packet's bytes as ffmpeg demuxes them (stream copy,
// no decoding): FLV and MP4 both carry H.264 as length-prefixed units, so
// one encode gives the same hashes in both.
std::vector<std::string> PacketHashes(const std::string& url, int packets)
{
    const std::string out = RunCommand("timeout 40 ffmpeg -v error -i '" + url + "' -map 0:v:0 -c copy -frames:v "
        + std::to_string(packets) + " -f framemd5 - 2>/dev/null");
    std::vector<std::string> hashes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') {
            const size_t comma = line.rfind(',');
            if (comma != std::string::npos)
                hashes.push_back(line.substr(comma + 2));
        }
    return hashes;
}

std::string Decode(const std::string& url)
{
    return RunCommand("timeout 40 ffmpeg -v error -xerror -i '" + url
        + "' -map 0:v:0 -frames:v 30 -f null - 2>&1; echo rc=$?");
}

class SharedH264 : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (!NginxRtmp::Available())
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        ASSERT_TRUE(m_nginx.Start());
        m_port = FreeTcpPort();
    }

    TForm1& StartWith(const std::string& settings)
    {
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n" + settings);
        TStartOptions o;
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
        TForm1& f = Open(o);
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
        f.btnStart->click();
        return f;
    }

    std::string Mp4() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/live.mp4"; }

    // Runs `work` on another thread while the window's event loop turns,
    // and notes the most libx264 encoders open meanwhile.
    template <class Work>
    auto Meanwhile(Work work)
    {
        auto result = std::async(std::launch::async, work);
        WaitFor([&] {
            m_mostEncoders = std::max(m_mostEncoders, H264Source::EncodersOpen());
            return result.wait_for(0s) == std::future_status::ready;
        }, 90s);
        return result.get();
    }

    // The shared encode of the running stream's pictures.
    H264SourceStats Encode(TForm1& f) const
    {
        const ComPtr<IWMWriterPictureTap> tap = Supports<IWMWriterPictureTap>(*f.ASFWriter);
        return tap ? H264Source::Of(tap->GetPictureTap())->Stats() : H264SourceStats{};
    }

    NginxRtmp m_nginx;
    int m_port = 0;
    int m_mostEncoders = 0;
};

// The relay at 400 kbps and the browsers at the same rate (no browser
// setting: it follows the relay) or at another: either way the browsers
// join the relay's encode while it runs.
TEST_F(SharedH264, TheRelayAndAnMp4ViewerShareOneEncodeAtTheRelaysBitrate)
{
    const struct {
        const char* name;
        std::string browser; // [Browser] settings
    } cases[] = {
        {"same bitrate", ""},
        {"browsers at 250 kbps", "[Browser]\nBitrate=250\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_mostEncoders = 0;
        const std::string relay = m_nginx.Url("live", "cam");
        TForm1& f = StartWith("[Relay]\nURL=" + relay + "\nEnabled=1\nBitrate=400\n" + c.browser);
        ASSERT_TRUE(m_errors.empty()) << m_errors.front();
        ASSERT_TRUE(WaitFor([&] { return f.lblRelayStatus->text().startsWith("live "); }, 20s))
            << f.lblRelayStatus->text().toStdString();

        const auto [relayed, browsed] = Meanwhile([&] {
            auto a = std::async(std::launch::async, [&] { return PacketHashes(relay, 90); });
            auto b = std::async(std::launch::async, [&] { return PacketHashes(Mp4(), 90); });
            return std::make_pair(a.get(), b.get());
        });
        ASSERT_GE(relayed.size(), 60u) << "the relay's stream from nginx";
        ASSERT_GE(browsed.size(), 60u) << "/live.mp4";
        const std::set<std::string> fromRelay(relayed.begin(), relayed.end());
        const size_t same = static_cast<size_t>(
            std::count_if(browsed.begin(), browsed.end(), [&](const std::string& h) { return fromRelay.count(h) > 0; }));
        EXPECT_GE(same, 30u) << "the browsers get the relay's packets";
        EXPECT_EQ(m_mostEncoders, 1) << "libx264 encoders open at once";
        EXPECT_EQ(Encode(f).bitrate, 400000u);

        // Both decode, each player on its own.
        EXPECT_EQ(Meanwhile([&] { return Decode(relay); }), "rc=0\n");
        EXPECT_EQ(Meanwhile([&] { return Decode(Mp4()); }), "rc=0\n");

        // Without the relay the browsers' own setting applies (a new run).
        f.Relay->Stop();
        const uint32_t own = c.browser.empty() ? 400000u : 250000u;
        EXPECT_EQ(Meanwhile([&] { return Decode(Mp4()); }), "rc=0\n");
        EXPECT_EQ(Encode(f).bitrate, own);
        EXPECT_EQ(H264Source::EncodersOpen(), 1);

        f.btnStop->click();
        ASSERT_TRUE(m_errors.empty()) << m_errors.front();
        ASSERT_TRUE(Close());
        m_form.reset();
    }
}

} // namespace
