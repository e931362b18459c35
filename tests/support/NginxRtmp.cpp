#include "tests/support/NginxRtmp.h"

#include <filesystem>
#include <unistd.h>

namespace testsupport {

namespace {
const char* const kModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
}

bool NginxRtmp::Available()
{
    return ::access(kModule, R_OK) == 0 && RunCommand("command -v nginx >/dev/null && echo yes") == "yes\n";
}

NginxRtmp::NginxRtmp() : m_port(FreeTcpPort())
{
    std::filesystem::create_directories(m_dir.path() / "hls");
    const std::string conf = std::string("load_module ") + kModule + ";\n" +
                             "master_process off;\n"
                             "error_log " + m_dir.file("error.log") + " info;\n"
                             "pid " + m_dir.file("nginx.pid") + ";\n"
                             "events { worker_connections 64; }\n"
                             "rtmp {\n"
                             "  server {\n"
                             "    listen 127.0.0.1:" + std::to_string(m_port) + ";\n"
                             "    application live {\n"
                             "      live on;\n"
                             "      hls on;\n"
                             "      hls_path " + HlsDir() + ";\n"
                             "      hls_fragment 1s;\n"
                             "      hls_playlist_length 6s;\n"
                             "    }\n"
                             "  }\n"
                             "}\n";
    WriteFileText(m_dir.file("nginx.conf"), conf);
}

NginxRtmp::~NginxRtmp()
{
    Stop();
}

bool NginxRtmp::Start()
{
    Stop();
    m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
        "nginx", "-p", m_dir.path().string(), "-e", m_dir.file("error.log"), "-c", m_dir.file("nginx.conf"), "-g",
        "daemon off;"});
    return WaitForPort(m_port, std::chrono::seconds(10));
}

void NginxRtmp::Stop()
{
    if (m_process)
        m_process->terminate();
    m_process.reset();
}

bool NginxRtmp::Running()
{
    return m_process && m_process->running();
}

std::string NginxRtmp::Url(const std::string& application, const std::string& key) const
{
    return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/" + application + "/" + key;
}

std::string NginxRtmp::ErrorLog() const
{
    return ReadFileText(m_dir.file("error.log"));
}

} // namespace testsupport
