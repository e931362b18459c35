#pragma once
// Helpers the benchmarks share: CPU time, percentiles, loopback HTTP readers
// and child processes. Plain POSIX; the pictures and the stream reader that
// need the Windows Media layer are in BenchMedia.h.

#include "tests/support/TestSupport.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// User + system CPU seconds of RUSAGE_SELF, RUSAGE_CHILDREN or RUSAGE_THREAD.
double CpuSeconds(int who);

// The value at rank floor(q * size) of `v` (q = 1 gives the largest); 0 when
// `v` is empty.
double Percentile(std::vector<double> v, double q);

using testsupport::ConnectLoopback;

// A connection to 127.0.0.1:port that has sent `request`, or -1.
int OpenLoopback(int port, const std::string& request);

// Receives from `fd` until `end` or until the peer closes, handing each
// piece to `onBytes` with the moment it arrived.
void ReceiveUntil(int fd, std::chrono::steady_clock::time_point end,
                  const std::function<void(std::string_view bytes, std::chrono::steady_clock::time_point arrived)>& onBytes);

// "GET path HTTP/1.1" with the Host line, as a browser asks.
std::string HttpGet(const std::string& path);

// A child process holding `count` (at most 16) readers of `path` that read
// everything until the server closes; only system calls after fork. The
// caller kills and reaps it.
pid_t ReadingViewers(int port, const std::string& path, int count);

// Starts argv[0] from PATH in a process group of its own, its output to
// `output` (empty: this process's), with `env` ("NAME=value") added.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& output = {},
            const std::vector<std::string>& env = {});

// Ends a child from Spawn and whatever it started (SIGTERM), and reaps it.
void End(pid_t pid);

} // namespace bench
