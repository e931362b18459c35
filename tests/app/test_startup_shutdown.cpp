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
#include <sys/stat.h>
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

TEST_F(StartupShutdown, SavedValuesOutsideTheListsFallBackToTheDefaultsAndSaySo)
{
    // The sources on this machine decide the first line's text.
    const int sources = Open().cbSource->count();
    m_form.reset();
    ASSERT_GE(sources, 1) << "the test pattern is a source";
    const std::string sourceLine = "The saved video source %s is not in the list of " + std::to_string(sources) +
                                   " sources; the first one is used.";
    const struct {
        std::string ini;
        int source;
        int profile;
        std::vector<std::string> lines; // %s: the value as saved
    } cases[] = {
        {"[Video]\nSource=99999\n[Network]\nProfile=99\n", 0, 2, {"99999", "99"}},
        {"[Video]\nSource=-7\n[Network]\nProfile=-1\n", 0, 2, {"-7", "-1"}},
        {"[Video]\nSource=0x1\n[Network]\nProfile=abc\n", 0, 2, {"0x1", "abc"}},
        {"[Video]\nSource=" + std::to_string(sources - 1) + "\n[Network]\nProfile=3\n", sources - 1, 3, {}},
        {"[Video]\nSource=" + std::to_string(sources) + "\n", 0, 2, {std::to_string(sources)}},
        {"[Video]\nSource=-1\n", -1, 2, {}}, // saved by a program that had no source
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        WriteFileText(Path("lumora.ini"), c.ini);
        testing::internal::CaptureStdout();
        TForm1& f = Open();
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(f.cbSource->currentIndex(), c.source);
        EXPECT_EQ(f.cbProfiles->currentIndex(), c.profile);
        EXPECT_EQ(f.ProfileIndex, c.profile);
        std::string expected;
        std::string status;
        if (!c.lines.empty()) {
            const std::string first = Format(sourceLine.c_str(), c.lines[0].c_str());
            expected = first + "\n";
            status = first;
        }
        if (c.lines.size() > 1) {
            const std::string second = "The saved stream profile " + c.lines[1] + " is not in the list; " +
                                       f.cbProfiles->itemText(2).toStdString() + " is used.";
            expected += second + "\n";
            status += "  " + second;
        }
        EXPECT_EQ(printed, expected);
        EXPECT_EQ(f.StatusPanel1->text().toStdString(), status);
        EXPECT_TRUE(m_messages.empty() && m_errors.empty()) << "a fallback is a line, not a box";
        m_form.reset();
    }
}

TEST_F(StartupShutdown, ASettingsFileThatIsNotOneIsNamedOnceAndTheDefaultsUsed)
{
    const std::string fifo = Path("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = Path("large.ini");
    WriteFileText(large, "[Network]\nPort=9000\n; " + std::string(2 * 1024 * 1024, 'x') + "\n");
    const struct {
        std::string file;
        std::string line;
    } cases[] = {
        {fifo, "The settings file " + fifo + " is not a regular file; it was not read, the defaults are used."},
        {large, "The settings file " + large + " is larger than 1 MB; it was not read, the defaults are used."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TStartOptions options;
        options.SettingsFile = c.file;
        testing::internal::CaptureStdout();
        TForm1& f = Open(options);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, c.line + "\n");
        EXPECT_EQ(f.StatusPanel1->text().toStdString(), c.line);
        EXPECT_EQ(f.edPort->text(), "8080");
        m_form.reset();
    }
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
