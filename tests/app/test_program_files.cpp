#include "app/Unit1.h"
#include "platform/ui/Application.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

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

namespace {

// The help link opens a README that exists: beside the program, in the
// installed documentation folder, or (a program run from its build tree)
// the source tree's.
TEST(HelpLink, PointsAtAReadmeThatExists)
{
    testsupport::TempDir root;
    std::filesystem::create_directories(root.path() / "bin");
    std::filesystem::create_directories(root.path() / "share/doc/lumora");
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::string expected; // "" = the source tree's README
    };
    const Case cases[] = {
        {"nothing installed", {}, ""},
        {"installed documentation", {"share/doc/lumora/README.md"}, "share/doc/lumora/README.md"},
        {"beside the program", {"share/doc/lumora/README.md", "bin/README.md"}, "bin/README.md"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& f : c.files)
            testsupport::WriteFileText(root.file(f), "# Lumora\n");
        Application::Instance().SetExeName(root.file("bin/lumora"));
        const std::string url = TForm1::HelpSiteUrl();
        Application::Instance().SetExeName("");
        const std::string expected =
            c.expected.empty() ? testsupport::SourceDir() + "/README.md" : root.file(c.expected);
        EXPECT_EQ(url, "file://" + std::filesystem::path(expected).lexically_normal().string());
        EXPECT_TRUE(std::filesystem::exists(url.substr(7)));
    }
}

} // namespace
