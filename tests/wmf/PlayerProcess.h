#pragma once
// A player (or any helper program) in its own process group, so stopping it
// also stops what it started (runuser's child). Never waits on it for ever:
// Stop asks, then kills after 3 s, and always reaps.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace wmflive {

class PlayerProcess {
public:
    // Standard input is /dev/null; standard output and error go to `log`,
    // or, when `outputFd` is given, standard output goes there (a pipe's
    // writing end, closed in the child only) and standard error to `log`.
    bool Spawn(const std::vector<std::string>& args, const std::string& log, int outputFd = -1)
    {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (outputFd >= 0) {
            posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
            posix_spawn_file_actions_addclose(&actions, outputFd);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        }
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int rc = posix_spawnp(&m_pid, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            m_pid = -1;
        return rc == 0;
    }
    // True once the process has ended (and is reaped).
    bool Ended()
    {
        if (m_pid <= 0)
            return true;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = status;
            m_pid = -1;
        }
        return m_pid <= 0;
    }
    // Asks the group to end, then kills it after 3 s; always reaps.
    void Stop()
    {
        if (Ended())
            return;
        kill(-m_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!Ended() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (m_pid > 0) {
            kill(-m_pid, SIGKILL);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_status = status;
            m_pid = -1;
        }
    }
    PlayerProcess() = default;
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;
    ~PlayerProcess() { Stop(); }
    int Status() const { return m_status; }

private:
    pid_t m_pid = -1;
    int m_status = 0;
};

} // namespace wmflive
