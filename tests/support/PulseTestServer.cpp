#include "tests/support/PulseTestServer.h"

#include <csignal>
#include <cstdlib>
#include <thread>

namespace testsupport {

PulseTestServer::PulseTestServer()
{
    const std::string dir = m_dir.path().string();
    const std::string socket = dir + "/native";
    if (const char* old = std::getenv("PULSE_SERVER")) {
        m_hadServer = true;
        m_oldServer = old;
    }
    if (RunCommand("command -v pulseaudio pactl paplay >/dev/null && echo ok") != "ok\n") {
        m_error = "pulseaudio, pactl or paplay is not installed";
        return;
    }
    m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
        "env", "HOME=" + dir, "XDG_RUNTIME_DIR=" + dir, "PULSE_RUNTIME_PATH=" + dir + "/pulse",
        "XDG_CONFIG_HOME=" + dir, "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
        "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr", "--log-level=error",
        "--load=module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
        std::string("--load=module-null-sink sink_name=") + kSink + " rate=44100 channels=2"});
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    for (int i = 0; i < 100 && !m_running; ++i) {
        if (!m_daemon->running())
            break;
        m_running = Pactl("list short sources").find(kMonitor) != std::string::npos;
        if (!m_running)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!m_running)
        m_error = "the PulseAudio daemon did not start (pulseaudio -n with a null sink)";
}

PulseTestServer::~PulseTestServer()
{
    m_player.reset();
    m_daemon.reset();
    if (m_hadServer)
        setenv("PULSE_SERVER", m_oldServer.c_str(), 1);
    else
        unsetenv("PULSE_SERVER");
}

std::string PulseTestServer::Pactl(const std::string& args) const
{
    return RunCommand("timeout 10 pactl " + args + " 2>&1");
}

void PulseTestServer::PlayTone(int hz)
{
    StopTone();
    const std::string wav = m_dir.file("tone" + std::to_string(hz) + ".wav");
    RunCommand("test -f " + wav + " || ffmpeg -v error -f lavfi -i sine=frequency=" + std::to_string(hz) +
               ":sample_rate=44100 -t 600 -ac 2 -y " + wav);
    m_player = std::make_unique<ChildProcess>(std::vector<std::string>{"paplay", std::string("--device=") + kSink, wav});
}

void PulseTestServer::StopTone() { m_player.reset(); }

void PulseTestServer::Freeze()
{
    if (m_daemon && m_daemon->pid() > 0)
        ::kill(m_daemon->pid(), SIGSTOP);
}

void PulseTestServer::Thaw()
{
    if (m_daemon && m_daemon->pid() > 0)
        ::kill(m_daemon->pid(), SIGCONT);
}

bool PulseTestServer::UnloadSink()
{
    StopTone();
    Pactl("unload-module module-null-sink");
    return Pactl("list short sources").find(kMonitor) == std::string::npos;
}

bool PulseTestServer::LoadSink()
{
    Pactl(std::string("load-module module-null-sink sink_name=") + kSink + " rate=44100 channels=2");
    return Pactl("list short sources").find(kMonitor) != std::string::npos;
}

} // namespace testsupport
