#pragma once
// A PulseAudio daemon of the test's own: user mode, its own runtime folder
// and socket, no configuration script, a null sink whose monitor is the
// source the program captures. PULSE_SERVER points this process (and the
// pactl/paplay children it starts) at it while the object lives; the
// destructor stops the daemon and the players.

#include "tests/support/TestSupport.h"

#include <memory>
#include <string>

namespace testsupport {

class PulseTestServer {
public:
    static constexpr const char* kSink = "lumora_test";
    static constexpr const char* kMonitor = "lumora_test.monitor";

    PulseTestServer();
    ~PulseTestServer();
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // False (with the reason in Error()) when the daemon did not come up.
    bool Running() const { return m_running; }
    const std::string& Error() const { return m_error; }

    // Plays a sine of `hz` into the null sink (for up to ten minutes) until
    // StopTone, UnloadSink or the end.
    void PlayTone(int hz);
    void StopTone();
    // The null sink (and so the monitor source) goes away / comes back.
    bool UnloadSink();
    bool LoadSink();
    // The daemon stops answering (SIGSTOP), its connections left open, and
    // goes on again (SIGCONT).
    void Freeze();
    void Thaw();

    std::string Pactl(const std::string& args) const;

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    std::unique_ptr<ChildProcess> m_player;
    std::string m_oldServer;
    bool m_hadServer = false;
    bool m_running = false;
    std::string m_error;
};

} // namespace testsupport
