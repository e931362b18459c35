// Headless Firefox (firefox-esr, which decodes H.264 through the system's
// FFmpeg) opens the watch page through its Marionette protocol: the page
// chooses Media Source Extensions and the video plays.

#include "tests/live/browser/BrowserSideFixture.h"

#include <fstream>
#include <sstream>

namespace {

using namespace browsertest;

double NumberField(const std::string& json, const std::string& name)
{
    const size_t at = json.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::stod(json.substr(at + name.size() + 3));
}

TEST_F(BrowserSideTest, FirefoxPlaysTheWatchPageThroughMediaSource)
{
    if (RunCommand("command -v firefox-esr").find("firefox") == std::string::npos)
        GTEST_SKIP() << "firefox-esr is not installed";
    testsupport::TempDir dir;
    const std::string shots = dir.file("firefox-");
    const std::string out = RunCommand("timeout 150 python3 " + testsupport::SourceDir() + "/tests/live/browser/firefox_probe.py "
        + Url("http", "/watch") + " 800x600 12 700 " + shots + " 2>&1");
    std::vector<std::string> samples;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("sample {", 0) == 0)
            samples.push_back(line.substr(7));
    ASSERT_EQ(samples.size(), 12u) << out;
    const std::string& last = samples.back();
    EXPECT_NE(last.find("\"mode\":\"mse\""), std::string::npos) << last;
    EXPECT_EQ(NumberField(last, "width"), 320) << last;
    EXPECT_NE(last.find("\"paused\":false"), std::string::npos) << last;
    const double t1 = NumberField(samples[9], "time"), t2 = NumberField(last, "time");
    EXPECT_GT(t2, t1 + 0.5) << samples[9] << "\n" << last;
    std::ifstream a(shots + "9.png", std::ios::binary), b(shots + "11.png", std::ios::binary);
    const std::string pa((std::istreambuf_iterator<char>(a)), {}), pb((std::istreambuf_iterator<char>(b)), {});
    EXPECT_GT(pa.size(), 1000u);
    EXPECT_NE(pa, pb) << "two screenshots over a second apart are the same";
}

} // namespace
