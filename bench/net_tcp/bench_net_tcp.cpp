// Loopback throughput of the TCP connection against plain blocking
// recv()/send() loops on the same transfer, and the cost of short line reads.
//
//   bench_net_tcp [megabytes=200] [lines=1000000]
//
// Prints MB/s for each side and the ratio ours/plain (target >= 0.9), and the
// time per 40-byte ReadLine.

#include "net/NetTCPConnection.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChunk = 32768;

int Listen(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 4);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

int Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void PlainSend(int fd, int64_t total)
{
    static char chunk[kChunk];
    std::memset(chunk, 'x', sizeof chunk);
    int64_t sent = 0;
    while (sent < total) {
        const ssize_t n = ::send(fd, chunk, static_cast<size_t>(std::min<int64_t>(kChunk, total - sent)), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += n;
    }
}

int64_t PlainReceive(int fd)
{
    static char chunk[kChunk];
    int64_t got = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

// Discards what is written; reads give `size` bytes of filler.
class NullStream : public TNetStream {
public:
    explicit NullStream(int64_t size = 0) : m_size(size) {}
    int64_t Read(void* buffer, int64_t count) override
    {
        const int64_t n = std::min(count, m_size - m_pos);
        if (n <= 0)
            return 0;
        std::memset(buffer, 'y', static_cast<size_t>(n));
        m_pos += n;
        return n;
    }
    int64_t Write(const void*, int64_t count) override
    {
        m_pos += count;
        m_size = std::max(m_size, m_pos);
        return count;
    }
    int64_t Seek(int64_t offset, TNetSeekOrigin origin) override
    {
        m_pos = (origin == soBeginning ? 0 : origin == soCurrent ? m_pos : m_size) + offset;
        return m_pos;
    }
    void SetSize(int64_t size) override { m_size = size; }

private:
    int64_t m_size;
    int64_t m_pos = 0;
};

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Receive: a plain sender thread pushes `total` bytes; the receiver is ours
// (ReadToStream) or a plain recv() loop.
double ReceiveOnce(int64_t total, bool ours)
{
    int port = 0;
    const int listener = Listen(port);
    std::thread sender([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        PlainSend(fd, total);
        ::close(fd);
    });
    double seconds = 0;
    if (ours) {
        TNetTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(port);
        client.ConnectToHost();
        NullStream sink;
        const auto start = Clock::now();
        client.ReadToStream(sink, total);
        seconds = Seconds(start);
        client.CloseConnection();
    } else {
        const int fd = Connect(port);
        const auto start = Clock::now();
        PlainReceive(fd);
        seconds = Seconds(start);
        ::close(fd);
    }
    sender.join();
    ::close(listener);
    return seconds;
}

// Send: ours (WriteFromStream) or a plain send() loop; a plain receiver.
double SendOnce(int64_t total, bool ours)
{
    int port = 0;
    const int listener = Listen(port);
    std::thread receiver([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        PlainReceive(fd);
        ::close(fd);
    });
    double seconds = 0;
    if (ours) {
        TNetTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(port);
        client.ConnectToHost();
        NullStream source(total);
        const auto start = Clock::now();
        client.WriteFromStream(source);
        client.CloseConnection();
        seconds = Seconds(start);
    } else {
        const int fd = Connect(port);
        const auto start = Clock::now();
        PlainSend(fd, total);
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
        seconds = Seconds(start);
    }
    receiver.join();
    ::close(listener);
    return seconds;
}

// Lines: the peer sends `lines` lines of 39 characters + LF; ours reads them
// with ReadLine, the plain side with recv() and memchr().
double LinesOnce(int lines, bool ours)
{
    int port = 0;
    const int listener = Listen(port);
    std::thread sender([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::string block;
        const std::string line = std::string(39, 'l') + "\n";
        for (int i = 0; i < 800; ++i)
            block += line;
        for (int sent = 0; sent < lines; sent += 800)
            if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0)
                break;
        ::close(fd);
    });
    double seconds = 0;
    int64_t count = 0;
    if (ours) {
        TNetTCPClient client;
        client.SetHost("127.0.0.1");
        client.SetPort(port);
        client.ConnectToHost();
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i)
            count += static_cast<int64_t>(client.ReadLine().size());
        seconds = Seconds(start);
        client.CloseConnection();
    } else {
        const int fd = Connect(port);
        std::string pending;
        char chunk[kChunk];
        const auto start = Clock::now();
        int read = 0;
        size_t offset = 0;
        while (read < lines) {
            const void* lf = std::memchr(pending.data() + offset, '\n', pending.size() - offset);
            if (lf) {
                const size_t end = static_cast<const char*>(lf) - pending.data();
                std::string text = pending.substr(offset, end - offset);
                count += static_cast<int64_t>(text.size());
                offset = end + 1;
                ++read;
                continue;
            }
            pending.erase(0, offset);
            offset = 0;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            pending.append(chunk, static_cast<size_t>(n));
        }
        seconds = Seconds(start);
        ::close(fd);
    }
    sender.join();
    ::close(listener);
    if (count != static_cast<int64_t>(lines) * 39)
        std::fprintf(stderr, "line count mismatch\n");
    return seconds;
}

template <class F>
double Best(int runs, F f)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, f());
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 200;
    const int lines = argc > 2 ? std::atoi(argv[2]) : 1000000;
    const int64_t total = megabytes * 1024 * 1024;
    const int runs = 3;

    const double recvOurs = Best(runs, [&] { return ReceiveOnce(total, true); });
    const double recvPlain = Best(runs, [&] { return ReceiveOnce(total, false); });
    const double sendOurs = Best(runs, [&] { return SendOnce(total, true); });
    const double sendPlain = Best(runs, [&] { return SendOnce(total, false); });
    const double linesOurs = Best(runs, [&] { return LinesOnce(lines, true); });
    const double linesPlain = Best(runs, [&] { return LinesOnce(lines, false); });

    const double mb = static_cast<double>(megabytes);
    std::printf("receive %lld MB: ReadToStream %.0f MB/s, plain recv %.0f MB/s, ratio %.2f\n",
                static_cast<long long>(megabytes), mb / recvOurs, mb / recvPlain, recvPlain / recvOurs);
    std::printf("send    %lld MB: WriteFromStream %.0f MB/s, plain send %.0f MB/s, ratio %.2f\n",
                static_cast<long long>(megabytes), mb / sendOurs, mb / sendPlain, sendPlain / sendOurs);
    std::printf("lines   %d x 40 bytes: ReadLine %.1f ns/line, plain recv+memchr %.1f ns/line, ratio %.2f\n", lines,
                linesOurs * 1e9 / lines, linesPlain * 1e9 / lines, linesPlain / linesOurs);
    return 0;
}
