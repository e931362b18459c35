// The "Ask the router to open the port" box: on by default without a key in
// the settings file, and the key written only once the box was changed.
#include "tests/app/AppFixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include <cstdlib>

namespace {

// No router of the machine's own network is ever asked from here.
class PortMappingWindow : public AppFixture {
protected:
    void SetUp() override
    {
        ::setenv("LUMORA_PORT_MAPPING", "0", 1);
        AppFixture::SetUp();
    }
};

TEST_F(PortMappingWindow, TheBoxIsSavedOnlyOnceChangedAndComesBack)
{
    TForm1& f = Open();
    EXPECT_TRUE(f.cbPortMapping->isChecked()) << "on by default";
    f.cbPortMapping->setChecked(false);
    ASSERT_TRUE(Close());
    EXPECT_NE(SettingsText().find("[Network]\nPort=8080\nProfile=2\nPortMapping=0\n"), std::string::npos)
        << SettingsText();

    m_form.reset();
    TForm1& g = Open();
    EXPECT_FALSE(g.cbPortMapping->isChecked());
    // Ticked again: the key stays, with the new value.
    g.cbPortMapping->setChecked(true);
    ASSERT_TRUE(Close());
    EXPECT_NE(SettingsText().find("PortMapping=1\n"), std::string::npos) << SettingsText();
}

TEST_F(PortMappingWindow, TheRouterLinesStayReadableWhileTheSettingsAreLocked)
{
    TForm1& f = Open();
    f.edPort->setText(QString::number(testsupport::FreeTcpPort()));
    f.btnStartClick();
    ASSERT_TRUE(f.Streaming());
    EXPECT_FALSE(f.cbPortMapping->isEnabled()) << "locked with the other settings";
    EXPECT_TRUE(f.lblReachability->isEnabled());
    EXPECT_TRUE(f.lblRouterAddress->isEnabled());
    f.btnStopClick();
    EXPECT_TRUE(f.cbPortMapping->isEnabled());
}

} // namespace
