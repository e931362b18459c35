#include "bench/support/BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bench {

double CpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

int OpenLoopback(int port, const std::string& request)
{
    const int fd = ConnectLoopback(port);
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

void ReceiveUntil(int fd, std::chrono::steady_clock::time_point end,
                  const std::function<void(std::string_view bytes, std::chrono::steady_clock::time_point arrived)>& onBytes)
{
    static thread_local char chunk[65536];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        onBytes(std::string_view(chunk, static_cast<size_t>(n)), std::chrono::steady_clock::now());
    }
}

std::string HttpGet(const std::string& path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

pid_t ReadingViewers(int port, const std::string& path, int count)
{
    const std::string request = HttpGet(path);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    pollfd fds[16];
    count = std::min(count, 16);
    for (int i = 0; i < count; ++i) {
        fds[i].fd = ConnectLoopback(port);
        fds[i].events = POLLIN;
        [[maybe_unused]] ssize_t n = send(fds[i].fd, request.data(), request.size(), MSG_NOSIGNAL);
    }
    static char buffer[65536];
    for (;;) {
        if (poll(fds, static_cast<nfds_t>(count), 1000) < 0)
            _exit(1);
        for (int i = 0; i < count; ++i)
            if (fds[i].revents & (POLLIN | POLLHUP))
                if (recv(fds[i].fd, buffer, sizeof buffer, 0) <= 0)
                    _exit(0);
    }
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& output, const std::vector<std::string>& env)
{
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        if (!output.empty())
            if (FILE* out = std::fopen(output.c_str(), "w")) {
                dup2(fileno(out), 1);
                dup2(fileno(out), 2);
            }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void End(pid_t pid)
{
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

} // namespace bench
