#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "lumora-test-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Make read-only folders made by tests removable again.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

ChildProcess::ChildProcess(std::vector<std::string> argv, const std::string& workDir)
{
    m_pid = fork();
    if (m_pid == 0) {
        // A group of its own, so that what the peer forks (a server's
        // session processes) ends with it.
        setpgid(0, 0);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    setpgid(m_pid, m_pid);
}

ChildProcess::~ChildProcess() { terminate(); }

bool ChildProcess::running()
{
    if (m_reaped || m_pid <= 0)
        return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_reaped = true;
        m_status = status;
        return false;
    }
    return true;
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
}

void ChildProcess::terminate()
{
    if (m_pid <= 0)
        return;
    if (running()) {
        // A stopped peer (a test froze it) takes no signal but SIGKILL
        // until it runs again.
        kill(-m_pid, SIGCONT);
        kill(-m_pid, SIGTERM);
        if (wait(std::chrono::milliseconds(2000)) == -1) {
            kill(-m_pid, SIGKILL);
            wait(std::chrono::milliseconds(2000));
        }
    }
    // Whatever the peer forked and left behind.
    kill(-m_pid, SIGKILL);
}

int FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int ConnectLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WaitForPort(int port, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (const int fd = ConnectLoopback(port); fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int OpenDescriptorCount()
{
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++count;
        closedir(d);
    }
    return count - 1; // the directory stream itself
}

std::string RunCommand(const std::string& command, int* exitStatus)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int status = pclose(p);
    if (exitStatus)
        *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string SourceDir()
{
    const char* s = std::getenv("LUMORA_SOURCE_DIR");
    return s ? s : ".";
}

std::string BuildDir()
{
    const char* s = std::getenv("LUMORA_BUILD_DIR");
    return s ? s : ".";
}

} // namespace testsupport
