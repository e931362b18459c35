#pragma once
// Small helpers shared by the test programs: scratch folders, child processes
// (real peers such as pyftpdlib or ffprobe) and loopback ports.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// A child process started with execvp. The destructor terminates it (SIGTERM,
// then SIGKILL after a grace period) and reaps it, so no peer outlives a test.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv, const std::string& workDir = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return m_pid; }
    bool running();
    // Waits for the child to end; returns its exit status, or -1 on time-out.
    int wait(std::chrono::milliseconds timeout);
    void terminate();

private:
    int m_pid = -1;
    int m_status = -1;
    bool m_reaped = false;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();
// A TCP connection to 127.0.0.1:port, or -1 when nothing accepts it.
int ConnectLoopback(int port);
// Polls until something accepts connections on 127.0.0.1:port.
bool WaitForPort(int port, std::chrono::milliseconds timeout);
// Polls `done` every 20 ms until it holds; false when `timeout` passed first.
template <class Pred>
bool WaitFor(Pred done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
// Number of open file descriptors of this process (for leak checks).
int OpenDescriptorCount();
// Runs a shell command and returns its standard output (and exit status).
std::string RunCommand(const std::string& command, int* exitStatus = nullptr);
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
// The source tree's root (for fixtures), from LUMORA_SOURCE_DIR.
std::string SourceDir();
// The build tree's root (for screenshots), from LUMORA_BUILD_DIR.
std::string BuildDir();

} // namespace testsupport
