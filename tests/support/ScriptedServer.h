#pragma once
// A loopback TCP server for protocol tests: it accepts connections on
// 127.0.0.1 and runs a scripted handler on each, in a thread of its own. The
// handler talks through a ScriptedPeer (send bytes, read lines, close, reset).
// Every read waits at most a few seconds, so a broken client fails a test
// instead of hanging it.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedPeer {
public:
    explicit ScriptedPeer(int fd) : m_fd(fd) {}
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int fd() const { return m_fd; }
    void Send(const std::string& bytes);
    // A line without its LF (a CR before it stays); "" with Eof() at the end.
    std::string ReadLine(int timeoutMs = 5000);
    std::string ReadExactly(size_t count, int timeoutMs = 5000);
    // Everything until the client closes (or the time-out passes).
    std::string ReadUntilClose(int timeoutMs = 10000);
    // True when nothing arrives within the time.
    bool Silent(int timeoutMs);
    bool Eof() const { return m_eof; }
    void Close();
    // Closes with a reset (RST) instead of an orderly close.
    void Reset();

private:
    bool Fill(int timeoutMs);

    int m_fd;
    std::string m_buffer;
    bool m_eof = false;
};

class ScriptedServer {
public:
    using Handler = std::function<void(ScriptedPeer&)>;

    // Accepts up to `connections` connections one after the other and runs
    // the handler on each. backlog is passed to listen().
    // `address` and `port` (0: ephemeral) say where to listen; any address
    // of 127.0.0.0/8 works.
    explicit ScriptedServer(Handler handler, int connections = 1, int backlog = 8,
                            const std::string& address = "127.0.0.1", int port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return m_port; }
    int listenFd() const { return m_listenFd; }
    // Waits until the handlers are done.
    void Join();
    // Failures raised inside handlers (std::exception texts).
    std::vector<std::string> Errors();

private:
    void Run(int connections);

    Handler m_handler;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_errors;
};

// Binds a listening socket on 127.0.0.1 (port 0 = ephemeral); answers the fd
// and stores the port.
int ListenLoopback(int& port, int backlog = 8);
int ListenOn(const std::string& address, int& port, int backlog = 8);

} // namespace testsupport
