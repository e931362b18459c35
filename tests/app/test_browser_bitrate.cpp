// [Browser] Bitrate: the browsers' H.264 bitrate in the Network Settings.
// It follows the relay's bitrate until set, is saved only once it differs
// from that (or was in the file), and comes back after a restart.

#include "tests/app/AppFixture.h"

#include <QGroupBox>
#include <QLabel>
#include <QSpinBox>

using namespace testsupport;

namespace {

class BrowserBitrate : public AppFixture {};

TEST_F(BrowserBitrate, FollowsTheRelaysBitrateUntilSetThenIsSavedAndRestored)
{
    const struct {
        const char* ini;
        int shown; // kbps
    } cases[] = {
        {"", 300},                               // the relay's default for the profile
        {"[Relay]\nBitrate=800\n", 800},         // the relay's own setting
        {"[Browser]\nBitrate=450\n", 450},
        {"[Relay]\nBitrate=800\n[Browser]\nBitrate=450\n", 450},
        {"[Browser]\nBitrate=0\n", 300},         // not a bitrate: the default
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        WriteFileText(Path("lumora.ini"), c.ini);
        TForm1& f = Open();
        ASSERT_TRUE(m_errors.empty()) << m_errors.front();
        EXPECT_EQ(f.edBrowserBitrate->value(), c.shown);
        EXPECT_TRUE(f.GroupBox3->isAncestorOf(f.edBrowserBitrate)) << "on the Network page, with the settings";
        ASSERT_TRUE(Close());
        // Untouched, the file keeps the shape it had.
        const std::string text = SettingsText();
        EXPECT_EQ(text.find("[Browser]") != std::string::npos, std::string(c.ini).find("[Browser]") != std::string::npos) << text;
        m_form.reset();
    }

    WriteFileText(Path("lumora.ini"), "");
    Open().edBrowserBitrate->setValue(1200);
    ASSERT_TRUE(Close());
    EXPECT_NE(SettingsText().find("[Browser]\nBitrate=1200\n"), std::string::npos) << SettingsText();
    m_form.reset();
    EXPECT_EQ(Open().edBrowserBitrate->value(), 1200);
}

} // namespace
