#include "tests/app/AppFixture.h"
#include "tests/support/Unprivileged.h"

#include "media/SysDevEnum.h"
#include "platform/ui/Resources.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <functional>
#include <unistd.h>

using testsupport::ReadFileText;
using testsupport::WriteFileText;

namespace {

class StartupShutdown : public AppFixture {};

TEST_F(StartupShutdown, NoSettingsFileGivesTheDefaults)
{
    TForm1& f = Open();
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_EQ(f.windowTitle(), "Lumora");
    EXPECT_EQ(f.edPort->text(), "8080") << "not the 80 of the design";
    EXPECT_EQ(f.cbProfiles->currentIndex(), 2);
    EXPECT_EQ(f.cbProfiles->currentText(), "93 Kbps (CBR)");
    EXPECT_EQ(f.ProfileIndex, 2);
    ASSERT_GE(f.cbSource->count(), 1);
    EXPECT_EQ(f.cbSource->itemText(f.cbSource->count() - 1), "Lumora Test Pattern");
    EXPECT_EQ(f.cbSource->currentIndex(), 0);
    EXPECT_FALSE(f.cbAutoStart->isChecked());
    EXPECT_FALSE(f.cbFTP->isChecked());
    for (QLineEdit* e : {f.edRemoteHost, f.edUsername, f.edPassword, f.edTemplate, f.edLocal, f.edFile})
        EXPECT_TRUE(e->text().isEmpty()) << e->objectName().toStdString();
    EXPECT_TRUE(f.btnStart->isEnabled());
    EXPECT_FALSE(f.btnStop->isEnabled());
    EXPECT_TRUE(f.btnPreview->isEnabled());
    EXPECT_FALSE(f.btnCrossbar->isEnabled());
    EXPECT_FALSE(f.btnConfigure->isEnabled());
    EXPECT_FALSE(f.Label7->isVisible());
    EXPECT_FALSE(f.PageControl1->tabBar()->isVisible());
    EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet1);
    EXPECT_EQ(f.TreeView1->topLevelItemCount(), 4);
    for (QTimer* t : {f.tmrStartButtonUpload, f.tmrMain, f.tmrMessage, f.tmrManualUpload})
        EXPECT_FALSE(t->isActive()) << t->objectName().toStdString();
    EXPECT_EQ(f.tmrMain->interval(), 900000);
    EXPECT_EQ(f.tmrStartButtonUpload->interval(), 10000);

    // The sample template is written; the help page does not stay behind.
    EXPECT_EQ(ReadFileText(Path("template.htm")), std::string(FindResourceData("TEMPLATE")));
    EXPECT_FALSE(FileExists(Path("help.htm")));
    SaveScreenshot("main.png");
}

TEST_F(StartupShutdown, CloseWritesTheTwelveKeysAndRestartRestoresThem)
{
    TForm1& f = Open();
    f.cbAutoStart->setChecked(false);
    f.cbFTP->setChecked(true);
    f.edRemoteHost->setText("ftp.example.org");
    f.edUsername->setText("cam");
    f.edPassword->setText(" p@ss=w;rd+ ");
    f.edTemplate->setText("/tmp/t.htm");
    f.edLocal->setText("/tmp/local.htm");
    f.edFile->setText("cam.htm");
    f.edPort->setText("80x"); // stored as typed
    f.cbSource->setCurrentIndex(f.cbSource->count() - 1);
    f.LastUploadedIP = "203.0.113.7";
    ASSERT_TRUE(Close());

    const std::string expected = "[Video]\nSource=" + std::to_string(m_form->cbSource->count() - 1) +
                                 "\nAuto=0\n\n[Web]\nUpdate=1\nHost=ftp.example.org\nUsername=cam\n"
                                 "Password=\" p@ss=w;rd+ \"\nTemplate=/tmp/t.htm\nLocal=/tmp/local.htm\nFile=cam.htm\n\n"
                                 "[Network]\nPort=80x\nProfile=2\n\n[IP]\nLast=203.0.113.7\n";
    EXPECT_EQ(SettingsText(), expected);

    m_form.reset();
    TForm1& g = Open();
    EXPECT_TRUE(g.cbFTP->isChecked());
    EXPECT_EQ(g.edRemoteHost->text(), "ftp.example.org");
    EXPECT_EQ(g.edPassword->text(), " p@ss=w;rd+ ") << "the password comes back exactly as typed";
    EXPECT_EQ(g.edPort->text(), "80x");
    EXPECT_EQ(g.edFile->text(), "cam.htm");
    EXPECT_EQ(g.LastUploadedIP, "203.0.113.7");
    EXPECT_EQ(g.cbSource->currentIndex(), g.cbSource->count() - 1);
}

TEST_F(StartupShutdown, SavedValuesOutsideTheListsSelectNothing)
{
    WriteFileText(Path("lumora.ini"), "[Video]\nSource=57\n[Network]\nProfile=0x9\n");
    TForm1& f = Open();
    EXPECT_EQ(f.cbSource->currentIndex(), -1);
    EXPECT_EQ(f.ProfileIndex, 9);
    EXPECT_EQ(f.cbProfiles->currentIndex(), -1);
    EXPECT_TRUE(f.btnStart->isEnabled()) << "SourceIndex is still 0 after start-up";
    ASSERT_TRUE(Close());
    const std::string text = SettingsText();
    EXPECT_NE(text.find("Source=-1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Profile=9\n"), std::string::npos) << "the value read is saved back untouched";
}

TEST_F(StartupShutdown, ExistingTemplateAndHelpPageAreKept)
{
    WriteFileText(Path("template.htm"), "my own template {IP}\n");
    WriteFileText(Path("help.htm"), "<p>someone else's help</p>");
    Open();
    EXPECT_EQ(ReadFileText(Path("template.htm")), "my own template {IP}\n");
    EXPECT_EQ(ReadFileText(Path("help.htm")), "<p>someone else's help</p>")
        << "a file this start did not write is not deleted";
}

TEST_F(StartupShutdown, WithoutDevicesStartIsStillEnabled)
{
    setenv("LUMORA_TEST_SOURCE", "0", 1);
    TForm1& f = Open();
    unsetenv("LUMORA_TEST_SOURCE");
    if (f.DeviceEnum->DeviceCount() != 0)
        GTEST_SKIP() << "this machine has a capture device";
    EXPECT_EQ(f.cbSource->count(), 0);
    EXPECT_EQ(f.cbSource->currentIndex(), -1);
    EXPECT_TRUE(f.btnStart->isEnabled());
    ASSERT_TRUE(Close());
    EXPECT_NE(SettingsText().find("Source=-1\n"), std::string::npos);
}

TEST_F(StartupShutdown, UnwritableSettingsAreReportedAtStartAndOnceAtClose)
{
    struct Case {
        const char* name;
        std::function<std::string()> settingsFile;
    };
    const Case cases[] = {
        {"missing folder", [this] { return Path("missing-folder/lumora.ini"); }},
        {"read-only folder",
         [this] {
             std::filesystem::create_directory(Path("ro"));
             testsupport::WriteFileText(Path("ro/lumora.ini"), "[Network]\nPort=9000\n");
             std::filesystem::permissions(Path("ro"), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_exec);
             return Path("ro/lumora.ini");
         }},
    };
    testsupport::Unprivileged user({m_dir.path()});
    ASSERT_EQ(user.Error(), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_errors.clear();
        m_messages.clear();
        TStartOptions options;
        options.SettingsFile = c.settingsFile();
        ASSERT_NE(::access(std::filesystem::path(options.SettingsFile).parent_path().c_str(), W_OK), 0)
            << "the folder is writable all the same";
        Open(options);
        // The user learns it before changing anything...
        ASSERT_EQ(m_messages.size(), 1u);
        EXPECT_EQ(m_messages[0], "Unable to write to " + options.SettingsFile +
                                     "\nYour settings will not be saved when Lumora closes. Make that folder "
                                     "writable, or start Lumora with --settings and a file you can write.");
        // ...and the close reports it once more, then closes all the same.
        EXPECT_TRUE(Close());
        ASSERT_EQ(m_errors.size(), 1u);
        EXPECT_EQ(m_errors[0], "Unable to write to " + options.SettingsFile);
        EXPECT_FALSE(m_form->isVisible());
        m_form.reset();
    }
    std::filesystem::permissions(Path("ro"), std::filesystem::perms::owner_all);
}

TEST_F(StartupShutdown, StartUpFailureIsShownAndTheWindowStillOpens)
{
    // A folder where the template file should go cannot be created as a file.
    std::filesystem::create_directory(Path("template.htm/"));
    std::filesystem::remove(Path("template.htm"));
    std::filesystem::create_directory(Path("template.htm"));
    // FileExists is false for a folder, so creating the file is tried and fails.
    TForm1& f = Open();
    ASSERT_EQ(m_errors.size(), 1u);
    EXPECT_EQ(m_errors[0].rfind("Cannot create file \"template.htm\". ", 0), 0u) << m_errors[0];
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.btnStart->isEnabled()) << "the steps after the failure did not run";
}

} // namespace
