#include "app/Unit1.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(ProgramFiles, BesideAWritableProgram)
{
    testsupport::TempDir dir;
    const TProgramFiles f = ResolveProgramFiles(dir.file("lumora"), "");
    EXPECT_EQ(f.SettingsFile, dir.file("lumora.ini"));
    EXPECT_EQ(f.WanPageFile(), dir.file("lumora.tmp"));
    EXPECT_EQ(f.ParkedWriterName(), dir.file("lumoratmp")) << "no dot before tmp";
    const TProgramFiles g = ResolveProgramFiles(dir.file("prog.exe"), "");
    EXPECT_EQ(g.WanPageFile(), dir.file("prog.tmp"));
    EXPECT_EQ(g.ParkedWriterName(), dir.file("progtmp"));
    EXPECT_EQ(ResolveProgramFiles(dir.file("lumora"), "/x/y.ini").SettingsFile, "/x/y.ini");
}

TEST(ProgramFiles, PerUserWhenTheProgramFolderIsNotWritable)
{
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const TProgramFiles f = ResolveProgramFiles("/nonexistent-folder/lumora", "");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(f.SettingsFile, config.file("lumora/lumora.ini"));
    EXPECT_EQ(f.WanPageFile(), config.file("lumora/lumora.tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(config.file("lumora")));
}

TEST(RemotePageName, ExtensionRule)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"index", "index.htm"},      {"page.html", "page.htm"}, {"page.HTM", "page.htm"},
        {"cam.php", "cam.php"},      {"cam.htm", "cam.htm"},    {"", ""},
        {"dir.v2/page", "dir.htm"}, // a "/" does not end the extension
        {"a.b\\c", "a.b\\c.htm"},    {"ftp:x", "ftp:x.htm"},    {"a.PHP", "a.htm"},
        {"archive.tar.gz", "archive.tar.htm"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ApplyRemotePageExtension(c.in), c.out) << c.in;
}

} // namespace
