// The signal watchdog in a child process whose main thread is stuck: armed,
// it removes the runtime files and ends the process after its grace period;
// stopped first (a program that ended normally), it ends nothing.
#include "app/SignalWatchdog.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs `body` in a child process; its exit status, or -1 when it had not
// ended within the time.
template <class Body>
int RunChild(Body body, std::chrono::milliseconds timeout)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TEST(SignalWatchdog, EndsAStuckProcessAfterItsGraceAndRemovesRuntimeFiles)
{
    testsupport::TempDir dir;
    const std::string page = dir.file("lumora-wan-1.htm");
    testsupport::WriteFileText(page, "page");
    const int status = RunChild(
        [&] {
            TSignalWatchdog watchdog({page}, 200);
            watchdog.Arm();
            for (;;)
                ::pause(); // the main thread never returns
        },
        std::chrono::seconds(10));
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(std::filesystem::exists(page));
}

TEST(SignalWatchdog, ANormalEndWithinTheGraceIsLeftAlone)
{
    testsupport::TempDir dir;
    const std::string page = dir.file("lumora-wan-2.htm");
    testsupport::WriteFileText(page, "page");
    const int status = RunChild(
        [&] {
            {
                TSignalWatchdog watchdog({page}, 60000);
                watchdog.Arm();
            }
            ::_exit(7);
        },
        std::chrono::seconds(10));
    EXPECT_EQ(status, 7);
    EXPECT_TRUE(std::filesystem::exists(page));
}

} // namespace
