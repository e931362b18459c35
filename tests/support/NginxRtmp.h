#pragma once
// nginx with Debian's RTMP module as a real relay peer: one process (no
// workers) on free loopback ports, started and stopped by the test, with an
// application "live" that publishes HLS into a scratch folder. Restarting
// keeps the port, as a server that comes back does.

#include "tests/support/TestSupport.h"

#include <chrono>
#include <memory>
#include <string>

namespace testsupport {

class NginxRtmp {
public:
    // True when nginx and its RTMP module are installed.
    static bool Available();

    NginxRtmp();
    ~NginxRtmp();

    // Starts (or starts again) on the same port; true once it accepts.
    bool Start();
    void Stop();
    bool Running();

    int port() const { return m_port; }
    int Pid() const { return m_process ? m_process->pid() : -1; }
    std::string Url(const std::string& application, const std::string& key) const;
    std::string HlsDir() const { return m_dir.file("hls"); }
    std::string ErrorLog() const;

private:
    TempDir m_dir;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

} // namespace testsupport
