// The program itself, run as a user runs it on a machine without a display:
// what it prints, that no invisible dialog holds it, and that a signal ends
// it (settings saved) whatever it is waiting for.
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include "platform/core/Verbosity.h"
#include "platform/ffmpeg/FfmpegLog.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::FreeTcpPort;
using testsupport::HttpScriptedReply;
using testsupport::HttpTestServer;
using testsupport::ReadFileText;
using testsupport::ScriptedPeer;
using testsupport::ScriptedServer;
using testsupport::TempDir;
using testsupport::WriteFileText;

namespace {

// One run of the program in a scratch folder, its output in files.
class ProgramRun {
public:
    ProgramRun(const std::vector<std::string>& args, const std::string& env)
    {
        std::string command = "exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_RUNTIME_DIR " + env +
                              " '" + testsupport::BuildDir() + "/lumora'";
        for (const std::string& a : args)
            command += " '" + a + "'";
        command += " >'" + m_dir.file("out.txt") + "' 2>'" + m_dir.file("err.txt") + "'";
        m_process = std::make_unique<ChildProcess>(std::vector<std::string> {"sh", "-c", command},
                                                   m_dir.path().string());
    }
    std::string Out() const { return ReadFileText(m_dir.file("out.txt")); }
    std::string Err() const { return ReadFileText(m_dir.file("err.txt")); }
    std::string File(const std::string& name) const { return m_dir.file(name); }
    bool WaitForOutput(const std::function<bool()>& seen, std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!seen()) {
            if (std::chrono::steady_clock::now() > end || !m_process->running())
                return seen();
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }
    void Signal(int sig) { ::kill(m_process->pid(), sig); }
    // The program's own process (the shell execs it).
    int Pid() const { return m_process->pid(); }
    int Wait(std::chrono::milliseconds timeout) { return m_process->wait(timeout); }

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
};

bool Search(const std::string& text, const std::string& pattern)
{
    return QRegularExpression(QString::fromStdString(pattern)).match(QString::fromStdString(text)).hasMatch();
}

std::string Settings(int port, int profile = 2)
{
    return "[Network]\nPort=" + std::to_string(port) + "\nProfile=" + std::to_string(profile) + "\n";
}

TEST(Console, OptionsUsageGoesToTheRightStream)
{
    {
        ProgramRun run({"--no-such-option"}, "");
        EXPECT_EQ(run.Wait(20s), 2);
        EXPECT_EQ(run.Out(), "");
        EXPECT_NE(run.Err().find("lumora: unknown option --no-such-option\nusage: lumora"), std::string::npos)
            << run.Err();
    }
    {
        ProgramRun run({"--help"}, "");
        EXPECT_EQ(run.Wait(20s), 0);
        EXPECT_EQ(run.Out().rfind("usage: lumora", 0), 0u) << run.Out();
        EXPECT_NE(run.Out().find("--verbose"), std::string::npos);
        EXPECT_EQ(run.Err(), "");
    }
}

// Headless runs: each case starts the program with --start, waits for what it
// must print, then sends a signal; the program ends at once with its settings
// saved, and the console holds exactly the lines a user should read.
TEST(Console, HeadlessRunsPrintWhatHappensAndEndOnASignal)
{
    HttpTestServer echo([](int, const testsupport::HttpRecordedRequest&) {
        return HttpScriptedReply {HttpTestServer::Reply("HTTP/1.1 200 OK", "<body>Address: 203.0.113.7</body>"), true};
    });
    ScriptedServer silentEcho([](ScriptedPeer& p) { p.ReadUntilClose(60000); }, 1);
    const std::string silentUrl = "http://127.0.0.1:" + std::to_string(silentEcho.port()) + "/";

    struct Case {
        const char* name;
        std::string env;
        std::string echoUrl;
        int profile;
        std::string stdoutPattern; // what stdout must hold before the signal (regex)
        std::string stderrPattern; // what stderr must match in full (regex)
        int signal;
        bool searchStderr = false; // the pattern need only occur in stderr
    };
    const std::string lan = R"(http://[0-9.]+:(\d+)/)";
    const Case cases[] = {
        {"no video source: the error box is one stderr line", "LUMORA_TEST_SOURCE=0", echo.Url("/"), 2, "",
         // Start fails, and the close-time stop fails once more; neither waits.
         R"(Lumora: [^\n]+\n(Lumora: [^\n]+\n)?)", SIGTERM},
        {"streaming at 256 Kbps: the start line with the WAN address, nothing else", "", echo.Url("/"), 0,
         "Lumora is streaming Lumora Test Pattern at " + lan + R"( \(WAN http://203\.0\.113\.7:\1/\)\n)", "",
         SIGINT},
        {"an echo service that never answers: the signal gives the request up", "", silentUrl, 2,
         "Lumora is running without a display", "", SIGTERM},
        {"verbose: the libraries' warnings are shown", "LUMORA_DEBUG=1", echo.Url("/"), 0,
         "Lumora is streaming Lumora Test Pattern at " + lan, R"((^|\n)QStandardPaths: XDG_RUNTIME_DIR not set)",
         SIGTERM, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = FreeTcpPort();
        TempDir settingsDir;
        const std::string settings = settingsDir.file("lumora.ini");
        WriteFileText(settings, Settings(port, c.profile));
        ProgramRun run({"--start", "--settings", settings, "--echo-url", c.echoUrl}, c.env);

        EXPECT_TRUE(run.WaitForOutput([&] { return Search(run.Out(), c.stdoutPattern); }, 30s)) << run.Out();
        if (!c.stderrPattern.empty()) {
            EXPECT_TRUE(run.WaitForOutput([&] { return !run.Err().empty(); }, 30s));
        }
        // A viewer makes the encoder work; its remarks would show by now.
        testsupport::RunCommand("timeout 10 ffprobe -v quiet http://127.0.0.1:" + std::to_string(port) + "/");
        run.Signal(c.signal);
        EXPECT_EQ(run.Wait(8s), 0) << "ended promptly after the signal";
        if (c.searchStderr) {
            EXPECT_TRUE(Search(run.Err(), c.stderrPattern)) << run.Err().substr(0, 2000);
        } else {
            EXPECT_TRUE(Search(run.Err(), QRegularExpression::anchoredPattern(QString::fromStdString(c.stderrPattern))
                                              .toStdString()))
                << run.Err();
        }
        EXPECT_NE(ReadFileText(settings).find("[IP]"), std::string::npos) << "settings saved at the close";
        EXPECT_NE(ReadFileText(settings).find("Port=" + std::to_string(port)), std::string::npos);
    }
}

// A signal while the upload is stuck on a server that stopped reading (the
// page far larger than the socket buffers): the program ends at once, its
// settings saved and its WAN page file removed. The program always uses the
// FTP port 21, so the server listens there on an address of its own in
// 127.0.0.0/8, which needs root.
TEST(Console, ASignalEndsAnUploadStuckOnAServerThatStoppedReading)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the FTP port 21 needs root";
    std::mt19937 random(static_cast<unsigned>(::getpid()));
    const std::string ftpAddress = "127.0." + std::to_string(100 + random() % 100) + "." +
                                   std::to_string(2 + random() % 250);
    testsupport::ScriptedFtpOptions options;
    options.stopReadingAfter = 64 * 1024;
    options.listenAddress = ftpAddress;
    options.listenPort = 21;
    testsupport::ScriptedFtpServer ftp(options);
    HttpTestServer echo([](int, const testsupport::HttpRecordedRequest&) {
        return HttpScriptedReply {HttpTestServer::Reply("HTTP/1.1 200 OK", "<body>Address: 203.0.113.7</body>"), true};
    });

    TempDir files;
    std::string page;
    for (int i = 0; i < 8192; ++i)
        page += "<p><a href=\"http://{IP}/\">" + std::string(1000, 'x') + "</a></p>\n";
    WriteFileText(files.file("template.htm"), page);
    const int port = FreeTcpPort();
    const std::string settings = files.file("lumora.ini");
    WriteFileText(settings, Settings(port) + "[Web]\nHost=" + ftpAddress + "\nUsername=u\nPassword=p\nTemplate=" +
                                files.file("template.htm") + "\nFile=cam.htm\n");
    ProgramRun run({"--start", "--settings", settings, "--echo-url", echo.Url("/")}, "");
    // The upload starts 10 seconds after Start.
    EXPECT_TRUE(run.WaitForOutput([&] { return ftp.Received().size() >= options.stopReadingAfter; }, 60s))
        << run.Out() << run.Err();
    std::this_thread::sleep_for(300ms); // the sender now waits for room that never comes
    run.Signal(SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    // Exit status 0 is the window's own close; the watchdog would end it
    // with 1, and only after 10 seconds.
    EXPECT_EQ(run.Wait(8s), 0) << run.Out() << run.Err();
    RecordProperty("ms_from_signal_to_end",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - signalled)
                                        .count()));
    EXPECT_NE(ReadFileText(settings).find("[IP]"), std::string::npos) << "settings saved at the close";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::temp_directory_path() /
                                         ("lumora-wan-" + std::to_string(run.Pid()) + ".htm")))
        << "the WAN page file was left behind";
}

// FFmpeg's log goes through the program's callback: silent unless verbose,
// and then only warnings and errors.
TEST(Console, FfmpegLogIsQuietUnlessVerbose)
{
    RouteFfmpegLog();
    struct Case {
        bool verbose;
        int level;
        bool shown;
    };
    const Case cases[] = {
        {false, AV_LOG_ERROR, false}, {false, AV_LOG_WARNING, false}, {true, AV_LOG_ERROR, true},
        {true, AV_LOG_WARNING, true}, {true, AV_LOG_INFO, false},
    };
    const bool was = VerboseConsole();
    for (const Case& c : cases) {
        SetVerboseConsole(c.verbose);
        testing::internal::CaptureStderr();
        av_log(nullptr, c.level, "clipping %d dct coefficients\n", 7);
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed, c.shown ? "ffmpeg: clipping 7 dct coefficients\n" : "")
            << "verbose " << c.verbose << ", level " << c.level;
    }
    SetVerboseConsole(was);
}

} // namespace
