// Download throughput of the HTTP client against curl, both fetching the same
// body from one local server in the same run.
//
//   bench_net_http [megabytes=100] [rounds=3]
//
// Prints MB/s for each side (best of the rounds) and the ratio ours/curl
// (target >= 0.8).

#include "net/NetHTTP.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Serves every request with the same body of `size` bytes, then closes.
class BodyServer {
public:
    explicit BodyServer(int64_t size) : m_size(size), m_chunk(262144, 'x')
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 8) != 0) {
            std::perror("bind");
            std::exit(1);
        }
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~BodyServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/body.bin"; }

private:
    void Run()
    {
        while (!m_stop) {
            pollfd p {m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int client = ::accept(m_fd, nullptr, nullptr);
            if (client < 0)
                continue;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                                      + std::to_string(m_size) + "\r\nConnection: close\r\n\r\n";
            bool ok = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL) > 0;
            for (int64_t left = m_size; ok && left > 0;) {
                const std::size_t piece = static_cast<std::size_t>(std::min<int64_t>(left, m_chunk.size()));
                std::size_t sent = 0;
                while (ok && sent < piece) {
                    const ssize_t n = ::send(client, m_chunk.data() + sent, piece - sent, MSG_NOSIGNAL);
                    ok = n > 0;
                    if (ok)
                        sent += static_cast<std::size_t>(n);
                }
                left -= static_cast<int64_t>(piece);
            }
            ::shutdown(client, SHUT_WR);
            ::close(client);
        }
    }

    int64_t m_size;
    std::string m_chunk;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

// Counts what is written and keeps nothing, like curl's -o /dev/null.
class DiscardStream : public TNetStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override
    {
        m_position += count;
        m_size = std::max(m_size, m_position);
        return count;
    }
    int64_t Seek(int64_t offset, TNetSeekOrigin origin) override
    {
        m_position = origin == soBeginning ? offset : origin == soCurrent ? m_position + offset : m_size + offset;
        return m_position;
    }
    int64_t Size() override { return m_size; }
    void SetSize(int64_t size) override { m_size = size; }

private:
    int64_t m_position = 0;
    int64_t m_size = 0;
};

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

} // namespace

int main(int argc, char** argv)
{
    const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int64_t size = megabytes * 1024 * 1024;
    BodyServer server(size);

    double ours = 1e9;
    double curl = 1e9;
    for (int round = 0; round < rounds; ++round) {
        {
            TNetHTTP http;
            DiscardStream sink;
            const auto start = Clock::now();
            http.GetToStream(server.Url(), sink);
            ours = std::min(ours, Seconds(start));
            if (sink.Size() != size) {
                std::fprintf(stderr, "short body: %lld of %lld bytes\n", static_cast<long long>(sink.Size()),
                             static_cast<long long>(size));
                return 1;
            }
        }
        {
            const std::string command = "curl -s -f -o /dev/null '" + server.Url() + "'";
            const auto start = Clock::now();
            if (std::system(command.c_str()) != 0) {
                std::fprintf(stderr, "curl failed\n");
                return 1;
            }
            curl = std::min(curl, Seconds(start));
        }
    }
    const double mb = static_cast<double>(megabytes);
    std::printf("GetToStream %lld MB: ours %.1f MB/s, curl %.1f MB/s, ratio ours/curl %.2f (best of %d)\n",
                static_cast<long long>(megabytes), mb / ours, mb / curl, curl / ours, rounds);
    return 0;
}
