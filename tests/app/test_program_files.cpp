#include "app/Unit1.h"
#include "platform/ui/Application.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(ProgramFiles, BesideAWritableProgram)
{
    testsupport::TempDir dir;
    const TProgramFiles f = ResolveProgramFiles(dir.file("lumora"), "");
    EXPECT_EQ(f.SettingsFile, dir.file("lumora.ini"));
    EXPECT_EQ(f.ParkedWriterName(), dir.file("lumoratmp")) << "no dot before tmp";
    const TProgramFiles g = ResolveProgramFiles(dir.file("prog.exe"), "");
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
    EXPECT_TRUE(std::filesystem::is_directory(config.file("lumora")));
}

TEST(ProgramFiles, WanPageFileIsPrivateToTheProcess)
{
    // In the runtime folder, named for this process, whatever the program's
    // own folder; created for the owner only.
    testsupport::TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const std::string page = ResolveProgramFiles("/nonexistent-folder/lumora", "").WanPageFile();
    const std::string other = ResolveProgramFiles(runtime.file("other"), "").WanPageFile();
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(std::filesystem::path(page).parent_path(), runtime.path());
    EXPECT_NE(page.find(std::to_string(::getpid())), std::string::npos) << page;
    EXPECT_EQ(other, page) << "one file per process, not per program path";
    testsupport::WriteFileText(page, "left over");
    ::chmod(page.c_str(), 0644);
    PreparePrivateFile(page);
    struct stat st {};
    ASSERT_EQ(::stat(page.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
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

// The help link shows a manual that exists: beside the program, in the
// installed documentation folder, or (a program run from its build tree)
// the one the build rendered.
TEST(HelpLink, FindsTheManualBesideTheProgramInstalledOrBuilt)
{
    testsupport::TempDir root;
    std::filesystem::create_directories(root.path() / "bin");
    std::filesystem::create_directories(root.path() / "share/doc/lumora");
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::string expected; // "" = the build tree's manual
    };
    const Case cases[] = {
        {"nothing installed", {}, ""},
        {"installed documentation", {"share/doc/lumora/manual.html"}, "share/doc/lumora/manual.html"},
        {"beside the program", {"share/doc/lumora/manual.html", "bin/manual.html"}, "bin/manual.html"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& f : c.files)
            testsupport::WriteFileText(root.file(f), "<title>Lumora manual</title>\n");
        Application::Instance().SetExeName(root.file("bin/lumora"));
        const std::string manual = TForm1::ManualFile();
        Application::Instance().SetExeName("");
        const std::string expected = c.expected.empty() ? testsupport::BuildDir() + "/manual.html" : root.file(c.expected);
        EXPECT_EQ(manual, std::filesystem::path(expected).lexically_normal().string());
        EXPECT_TRUE(std::filesystem::is_regular_file(manual));
    }
}

} // namespace
