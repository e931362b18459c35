#include "platform/ini/IniFile.h"
#include "platform/ini/PrivateProfile.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Unprivileged.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::ReadFileText;
using testsupport::TempDir;
using testsupport::WriteFileText;

namespace {

std::string Get(const std::string& file, const char* section, const char* key, const char* def, uint32_t size = 2048)
{
    std::vector<char> buf(size + 1, '#');
    const uint32_t n = GetPrivateProfileStringA(section, key, def, buf.data(), size, file.c_str());
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf.data(), n);
}

TEST(PrivateProfile, ReadsFollowWindowsRules)
{
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileText(f, "; comment\r\n[Video]\r\nSource=3\r\n  auto =  1  \r\n[WEB]\r\nHost=ftp.example.org\r\n"
                     "Quoted=\"  padded  \"\r\nEmpty=\r\nNoEquals\r\n[Other]\r\nHost=wrong\r\n");
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        const char* expected;
    } cases[] = {
        {"Video", "Source", "x", "3"},
        {"video", "SOURCE", "x", "3"},          // names ignore case
        {"Video", "Auto", "x", "1"},            // blanks around key and value
        {"Web", "Host", "x", "ftp.example.org"}, // first matching section only
        {"Web", "Quoted", "x", "  padded  "},   // one pair of quotes removed
        {"Web", "Empty", "x", ""},              // present but empty is not missing
        {"Web", "NoEquals", "dflt", "dflt"},
        {"Web", "Missing", "dflt  ", "dflt"},   // default loses trailing blanks
        {"Nope", "Host", "d", "d"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Get(f, c.section, c.key, c.def), c.expected) << c.section << "/" << c.key;
    EXPECT_EQ(Get(dir.file("missing.ini"), "Video", "Source", "0"), "0");
}

TEST(PrivateProfile, BufferLimitsTheValue)
{
    TempDir dir;
    const std::string f = dir.file("a.ini");
    const std::string longValue(3000, 'v');
    ASSERT_TRUE(WritePrivateProfileStringA("S", "K", longValue.c_str(), f.c_str()));
    EXPECT_EQ(Get(f, "S", "K", "", 2048), std::string(2047, 'v'));
    EXPECT_EQ(Get(f, "S", "K", "", 4), "vvv");
    TIniFile ini(f);
    EXPECT_EQ(ini.ReadString("S", "K", "").size(), 2047u);
}

TEST(PrivateProfile, WritesCreateFileSectionAndKeepOrder)
{
    TempDir dir;
    const std::string f = dir.file("new.ini");
    ASSERT_TRUE(WritePrivateProfileStringA("Video", "Source", "1", f.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Video", "Auto", "0", f.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Web", "Host", "h", f.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("video", "SOURCE", "2", f.c_str())); // replaced in place
    EXPECT_EQ(ReadFileText(f), "[Video]\nSOURCE=2\nAuto=0\n\n[Web]\nHost=h\n");
    ASSERT_TRUE(WritePrivateProfileStringA("Video", "Auto", nullptr, f.c_str())); // delete key
    ASSERT_TRUE(WritePrivateProfileStringA("Web", nullptr, nullptr, f.c_str()));  // delete section
    EXPECT_EQ(ReadFileText(f), "[Video]\nSOURCE=2\n\n");

    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the settings hold a password";
}

TEST(PrivateProfile, WriteReplacesAtomicallyAndKeepsLineEnds)
{
    TempDir dir;
    const std::string f = dir.file("crlf.ini");
    WriteFileText(f, "[A]\r\nx=1\r\n");
    struct stat before {};
    ASSERT_EQ(stat(f.c_str(), &before), 0);
    ASSERT_TRUE(WritePrivateProfileStringA("A", "y", "2", f.c_str()));
    struct stat after {};
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file is renamed over the old one";
    EXPECT_EQ(ReadFileText(f), "[A]\r\nx=1\r\ny=2\r\n");
    // No temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(IniFile, WriteFailureRaisesUnableToWrite)
{
    TempDir dir;
    const std::string f = dir.file("no-such-folder/settings.ini");
    TIniFile ini(f);
    try {
        ini.WriteString("Web", "Host", "x");
        FAIL() << "write into a missing folder succeeded";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + f);
    }
}

TEST(IniFile, ReadOnlyFolderFailsAndLeavesTheFileAlone)
{
    TempDir dir;
    const std::string f = dir.file("s.ini");
    WriteFileText(f, "[Web]\nHost=old\n");
    {
        testsupport::Unprivileged user({dir.path()});
        ASSERT_EQ(user.Error(), "");
        ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
        TIniFile ini(f);
        EXPECT_THROW(ini.WriteString("Web", "Host", "new"), EIniFileException);
        chmod(dir.path().c_str(), 0700);
    }
    EXPECT_EQ(ReadFileText(f), "[Web]\nHost=old\n");
}

TEST(IniFile, TypedValuesRoundTrip)
{
    TempDir dir;
    TIniFile ini(dir.file("t.ini"));
    ini.WriteInteger("N", "Neg", -1);
    ini.WriteBool("N", "On", true);
    ini.WriteBool("N", "Off", false);
    ini.WriteString("N", "Padded", " secret with blanks ");
    ini.WriteString("N", "Quoted", "\"q\"");
    ini.WriteString("N", "Symbols", "p@ss=w;rd[+]");
    EXPECT_EQ(ini.ReadInteger("N", "Neg", 0), -1);
    EXPECT_TRUE(ini.ReadBool("N", "On", false));
    EXPECT_FALSE(ini.ReadBool("N", "Off", true));
    EXPECT_EQ(ini.ReadString("N", "Padded", ""), " secret with blanks ");
    EXPECT_EQ(ini.ReadString("N", "Quoted", ""), "\"q\"");
    EXPECT_EQ(ini.ReadString("N", "Symbols", ""), "p@ss=w;rd[+]");
    EXPECT_EQ(ReadFileText(dir.file("t.ini")).find("On=1\nOff=0\n") != std::string::npos, true);
}

TEST(IniFile, IntegerConversion)
{
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"12", true, 12},     {"-1", true, -1},          {"0x1F", true, 31},       {"0X10", true, 16},
        {"0xFFFFFFFF", true, -1}, {"0x", false, 0},       {"0xZZ", false, 0},       {"12abc", false, 0},
        {"", false, 0},       {"99999999999", false, 0}, {"0x-1", false, 0},       {"007", true, 7},
    };
    for (const Case& c : cases) {
        int32_t v = 12345;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    TempDir dir;
    WriteFileText(dir.file("h.ini"), "[Network]\nProfile=0x3\nBad=abc\n");
    TIniFile ini(dir.file("h.ini"));
    EXPECT_EQ(ini.ReadInteger("Network", "Profile", 2), 3);
    EXPECT_EQ(ini.ReadInteger("Network", "Bad", 2), 2);
}

} // namespace

// A settings path that names something that never ends, or never answers,
// reads as a missing file, at once.
TEST(PrivateProfile, FilesThatAreNotSmallRegularFilesReadAsMissing)
{
    testsupport::TempDir dir;
    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = dir.file("large.ini");
    testsupport::WriteFileText(large, "[Network]\nPort=9000\n; " + std::string(2 * 1024 * 1024, 'x') + "\n");
    for (const std::string& path : {fifo, std::string("/dev/zero"), large}) {
        SCOPED_TRACE(path);
        char buf[64] = {};
        EXPECT_EQ(GetPrivateProfileStringA("Network", "Port", "8080", buf, sizeof buf, path.c_str()), 4u);
        EXPECT_STREQ(buf, "8080");
    }
}
