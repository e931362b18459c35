#pragma once
// The last resort after SIGINT or SIGTERM: a thread of its own, started with
// the program, that ends the process a grace period after the signal even
// when the main thread is stuck and never gets to close the window. Before
// it ends the process it removes the program's runtime files (best effort).
//
// The signal handler calls Arm(), which only writes to a pipe. The object
// owns its thread: the destructor stops and joins it, so a program that
// ended normally is never ended twice.

#include <string>
#include <thread>
#include <vector>

class TSignalWatchdog {
public:
    TSignalWatchdog(std::vector<std::string> runtimeFiles, int graceMs = 10000);
    ~TSignalWatchdog();
    TSignalWatchdog(const TSignalWatchdog&) = delete;
    TSignalWatchdog& operator=(const TSignalWatchdog&) = delete;

    // Starts the grace period (the first call counts). Async-signal-safe.
    void Arm() noexcept;

private:
    void Run();

    std::vector<std::string> m_files;
    int m_graceMs;
    int m_armPipe[2] = {-1, -1};
    int m_stopPipe[2] = {-1, -1};
    std::thread m_thread;
};
