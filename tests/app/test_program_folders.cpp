#include "app/ProgramFolders.h"
#include "app/Unit1.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Unprivileged.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// An unpacked installation (prefix/usr with its desktop entry) beside a build
// folder holding the same program, and per-user folders in HOME.
class ProgramFolders : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_root.path() / "usr/bin");
        fs::create_directories(m_root.path() / "usr/share/applications");
        fs::create_directories(m_root.path() / "usr2/share");
        fs::create_directories(m_root.path() / "build");
        Touch("usr/bin/lumora");
        Touch("usr/share/applications/org.lumora.Lumora.desktop");
        Touch("build/lumora");
        setenv("HOME", m_home.path().c_str(), 1);
        setenv("XDG_DATA_HOME", m_home.file("data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", m_home.file("config").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        if (m_savedHome)
            setenv("HOME", m_savedHome->c_str(), 1);
    }
    void Touch(const std::string& rel) { std::ofstream(m_root.path() / rel) << "x"; }
    std::string Root(const std::string& rel) const { return (m_root.path() / rel).string(); }

    testsupport::TempDir m_root;
    testsupport::TempDir m_home;
    std::optional<std::string> m_savedHome =
        std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
};

TEST_F(ProgramFolders, InstalledMeansABinFolderWithTheDesktopEntryBesideIt)
{
    EXPECT_TRUE(IsInstalledProgram(Root("usr/bin/lumora")));
    EXPECT_FALSE(IsInstalledProgram(Root("build/lumora")));
    fs::remove(Root("usr/share/applications/org.lumora.Lumora.desktop"));
    EXPECT_FALSE(IsInstalledProgram(Root("usr/bin/lumora"))) << "a bin folder alone is not an installation";
}

TEST_F(ProgramFolders, DocumentsGoWhereTheyMayBeWritten)
{
    const std::string data = m_home.file("data/lumora");
    struct Case {
        std::string workingDir;
        std::string exe;
        std::string expected;
    } cases[] = {
        {Root("build"), Root("build/lumora"), Root("build")},
        {"/", Root("build/lumora"), data},
        {"/", Root("usr/bin/lumora"), data},
        {Root(""), Root("usr/bin/lumora"), Root("")},                   // outside the prefix
        {Root("usr/share"), Root("usr/bin/lumora"), data},              // inside the prefix
        {Root("usr"), Root("usr/bin/lumora"), data},                    // the prefix itself
        {Root("usr/share/.."), Root("usr/bin/lumora"), data},
        {Root("usr/bin/.."), Root("build/lumora"), Root("usr/bin/..")}, // not installed: the historic place
        {Root("usr2/share"), Root("usr/bin/lumora"), Root("usr2/share")}, // a sibling whose name starts alike
    };
    for (const Case& c : cases)
        EXPECT_EQ(WritableDataFolder(c.workingDir, c.exe), c.expected) << c.workingDir << " for " << c.exe;
    EXPECT_TRUE(fs::is_directory(data)) << "the data folder is created";
}

TEST_F(ProgramFolders, AReadOnlyWorkingFolderIsLeft)
{
    const fs::path ro = m_root.path() / "ro";
    fs::create_directories(ro);
    testsupport::Unprivileged user({m_root.path(), m_home.path()});
    ASSERT_EQ(user.Error(), "");
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
    ASSERT_NE(::access(ro.c_str(), W_OK), 0) << "the folder is writable all the same";
    EXPECT_EQ(WritableDataFolder(ro.string(), Root("build/lumora")), m_home.file("data/lumora"));
    fs::permissions(ro, fs::perms::owner_all);
}

TEST_F(ProgramFolders, DataHomeFollowsTheBaseDirectoryRules)
{
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(UserDataFolder(), m_home.file(".local/share/lumora"));
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(UserDataFolder(), m_home.file(".local/share/lumora")) << "a relative path is ignored";
    EXPECT_FALSE(fs::exists("relative"));
    unsetenv("HOME");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(UserDataFolder(), "");
    EXPECT_EQ(WritableDataFolder("/", Root("build/lumora")), "/") << "nowhere better to go";
}

TEST_F(ProgramFolders, EnteringTheDataFolderKeepsARelativeSettingsFileWhereItWas)
{
    const fs::path saved = fs::current_path();
    fs::current_path("/");
    std::string settings = "etc/cam.ini";
    std::string absolute = "/srv/cam.ini";
    const std::string entered = EnterWritableDataFolder(Root("build/lumora"), settings);
    const fs::path now = fs::current_path();
    const std::string again = EnterWritableDataFolder(Root("build/lumora"), absolute);
    fs::current_path(saved);
    EXPECT_EQ(entered, m_home.file("data/lumora"));
    EXPECT_EQ(now, fs::path(m_home.file("data/lumora")));
    EXPECT_EQ(settings, "/etc/cam.ini");
    EXPECT_EQ(again, "") << "a usable folder is kept";
    EXPECT_EQ(absolute, "/srv/cam.ini");
}

TEST_F(ProgramFolders, AnInstalledProgramKeepsItsSettingsPerUserEvenWhenItsFolderIsWritable)
{
    const TProgramFiles installed = ResolveProgramFiles(Root("usr/bin/lumora"), "");
    EXPECT_EQ(installed.SettingsFile, m_home.file("config/lumora/lumora.ini"));
    const TProgramFiles built = ResolveProgramFiles(Root("build/lumora"), "");
    EXPECT_EQ(built.SettingsFile, Root("build/lumora.ini"));
}

} // namespace
