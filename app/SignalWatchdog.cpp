#include "app/SignalWatchdog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

TSignalWatchdog::TSignalWatchdog(std::vector<std::string> runtimeFiles, int graceMs)
    : m_files(std::move(runtimeFiles)), m_graceMs(graceMs)
{
    if (::pipe2(m_armPipe, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(m_stopPipe, O_CLOEXEC) != 0)
        return; // no watchdog; the signal still asks the window to close
    m_thread = std::thread([this] { Run(); });
}

TSignalWatchdog::~TSignalWatchdog()
{
    if (m_thread.joinable()) {
        const char c = 0;
        [[maybe_unused]] ssize_t n = ::write(m_stopPipe[1], &c, 1);
        m_thread.join();
    }
    for (int fd : {m_armPipe[0], m_armPipe[1], m_stopPipe[0], m_stopPipe[1]})
        if (fd >= 0)
            ::close(fd);
}

void TSignalWatchdog::Arm() noexcept
{
    if (m_armPipe[1] < 0)
        return;
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(m_armPipe[1], &c, 1);
    errno = saved;
}

void TSignalWatchdog::Run()
{
    // Wait for the signal or the end of the program.
    pollfd waitFor[2] = {{m_armPipe[0], POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    for (;;) {
        const int rc = ::poll(waitFor, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (waitFor[1].revents & (POLLIN | POLLHUP)))
            return;
        if (waitFor[0].revents & POLLIN)
            break;
    }
    // The grace period: a normal end stops us here.
    pollfd stop {m_stopPipe[0], POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&stop, 1, m_graceMs);
    } while (rc < 0 && errno == EINTR);
    if (rc != 0)
        return;
    for (const std::string& file : m_files)
        ::unlink(file.c_str());
    std::fprintf(stderr, "lumora: did not end within %d seconds of the signal; exiting\n", m_graceMs / 1000);
    std::fflush(stderr);
    std::_Exit(1);
}
