#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

int ListenLoopback(int& port, int backlog) { return ListenOn("127.0.0.1", port, backlog); }

int ListenOn(const std::string& address, int& port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("bind/listen failed: ") + std::strerror(errno));
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

ScriptedPeer::~ScriptedPeer() { Close(); }

void ScriptedPeer::Send(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("peer send failed");
        sent += static_cast<size_t>(n);
    }
}

bool ScriptedPeer::Fill(int timeoutMs)
{
    if (m_eof || m_fd < 0)
        return false;
    pollfd p {m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_buffer.append(chunk, static_cast<size_t>(n));
    return true;
}

std::string ScriptedPeer::ReadLine(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t lf = m_buffer.find('\n');
        if (lf != std::string::npos) {
            std::string line = m_buffer.substr(0, lf);
            m_buffer.erase(0, lf + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (!Fill(static_cast<int>(left.count())) && (m_eof || m_fd < 0)))
            return {};
    }
}

std::string ScriptedPeer::ReadExactly(size_t count, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_buffer.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (!Fill(static_cast<int>(left.count())) && m_eof))
            break;
    }
    std::string out = m_buffer.substr(0, count);
    m_buffer.erase(0, out.size());
    return out;
}

std::string ScriptedPeer::ReadUntilClose(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_eof) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        Fill(static_cast<int>(left.count()));
    }
    std::string out;
    out.swap(m_buffer);
    return out;
}

bool ScriptedPeer::Silent(int timeoutMs) { return m_buffer.empty() && !Fill(timeoutMs) && !m_eof; }

void ScriptedPeer::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void ScriptedPeer::Reset()
{
    if (m_fd >= 0) {
        linger lg {1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        Close();
    }
}

ScriptedServer::ScriptedServer(Handler handler, int connections, int backlog, const std::string& address, int port)
    : m_handler(std::move(handler)), m_port(port)
{
    m_listenFd = ListenOn(address, m_port, backlog);
    m_thread = std::thread([this, connections] { Run(connections); });
}

ScriptedServer::~ScriptedServer()
{
    m_stop = true;
    Join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void ScriptedServer::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

std::vector<std::string> ScriptedServer::Errors()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
}

void ScriptedServer::Run(int connections)
{
    for (int i = 0; i < connections && !m_stop; ++i) {
        int fd = -1;
        while (!m_stop) {
            pollfd p {m_listenFd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    break;
            }
        }
        if (fd < 0)
            return;
        ScriptedPeer peer(fd);
        try {
            m_handler(peer);
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_errors.push_back(e.what());
        }
    }
}

} // namespace testsupport
