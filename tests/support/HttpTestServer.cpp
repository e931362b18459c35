#include "tests/support/HttpTestServer.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

using asciitext::Lower;

// The Content-Length of a request head, 0 when absent.
std::size_t ContentLengthOf(const std::string& head)
{
    const std::string lower = Lower(head);
    const std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return static_cast<std::size_t>(std::strtoul(head.c_str() + at + 17, nullptr, 10));
}

bool SendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

HttpTestServer::HttpTestServer(Handler handler) : m_handler(std::move(handler))
{
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listen < 0)
        throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listen, 16) != 0)
        throw std::runtime_error("bind/listen failed");
    socklen_t length = sizeof address;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer()
{
    m_stop = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (int fd : m_openFds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& worker : m_workers)
        worker.join();
    ::close(m_listen);
}

std::string HttpTestServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<HttpRecordedRequest> HttpTestServer::Requests() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requests;
}

std::string HttpTestServer::Reply(const std::string& statusLine, const std::string& body,
                                  const std::vector<std::string>& headers)
{
    std::string reply = statusLine + "\r\n";
    for (const std::string& header : headers)
        reply += header + "\r\n";
    reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return reply;
}

void HttpTestServer::AcceptLoop()
{
    while (!m_stop) {
        pollfd p {m_listen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept(m_listen, nullptr, nullptr);
        if (fd < 0)
            continue;
        const int connection = ++m_connections;
        std::lock_guard<std::mutex> guard(m_mutex);
        m_openFds.push_back(fd);
        m_workers.emplace_back([this, fd, connection] { Serve(fd, connection); });
    }
}

void HttpTestServer::Serve(int fd, int connection)
{
    std::string buffer;
    char chunk[65536];
    bool open = true;
    while (open && !m_stop) {
        // One request: the head, then its body.
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            pollfd p {fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 50);
            if (m_stop)
                break;
            if (ready <= 0)
                continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        if (!open || m_stop)
            break;
        const std::size_t total = headEnd + 4 + ContentLengthOf(buffer.substr(0, headEnd + 2));
        while (buffer.size() < total && open) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                open = false;
            else
                buffer.append(chunk, static_cast<std::size_t>(n));
        }
        HttpRecordedRequest request;
        request.connection = connection;
        request.raw = buffer.substr(0, std::min(total, buffer.size()));
        buffer.erase(0, request.raw.size());
        int index;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            index = static_cast<int>(m_requests.size());
            m_requests.push_back(request);
        }
        const HttpScriptedReply reply = m_handler(index, request);
        if (!SendAll(fd, reply.bytes) || reply.close)
            break;
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

} // namespace testsupport
