#include "tests/support/FtpTestServer.h"
#include "platform/core/Text.h"

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

// pyftpdlib with one user whose home is the given folder; a failed login is
// answered at once instead of after the usual 3 s delay.
const char kServerScript[] = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

port, home = int(sys.argv[1]), sys.argv[2]
logging.basicConfig(level=logging.WARNING)
authorizer = DummyAuthorizer()
authorizer.add_user("lumora", "secret", home, perm="elradfmwMT")

if len(sys.argv) > 4:
    from pyftpdlib.handlers import TLS_FTPHandler
    class Handler(TLS_FTPHandler):
        pass
    Handler.certfile = sys.argv[3]
    Handler.keyfile = sys.argv[4]
    Handler.tls_control_required = True
    Handler.tls_data_required = True
else:
    class Handler(FTPHandler):
        pass

Handler.authorizer = authorizer
Handler.auth_failed_timeout = 0.05
server = FTPServer(("127.0.0.1", port), Handler)
server.serve_forever()
)PY";

std::string PassiveReply(const std::string& format, int high, int low)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format.c_str(), high, low);
    return buffer;
}

using asciitext::Upper;

int ConnectTo(const std::string& ip, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("scripted FTP: data connect failed");
    }
    return fd;
}

int AcceptWithin(int listenFd, int timeoutMs)
{
    pollfd p {listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        throw std::runtime_error("scripted FTP: no data connection");
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

} // namespace

FtpTestServer::FtpTestServer() { Start({}); }

FtpTestServer::FtpTestServer(const std::string& certFile, const std::string& keyFile) { Start({certFile, keyFile}); }

void FtpTestServer::Start(const std::vector<std::string>& extraArgs)
{
    const std::string script = m_scratch.file("ftp_server.py");
    WriteFileText(script, kServerScript);
    for (int attempt = 0; attempt < 3 && !m_process; ++attempt) {
        m_port = FreeTcpPort();
        std::vector<std::string> argv {"/usr/bin/python3", script, std::to_string(m_port), m_home.path().string()};
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        auto process = std::make_unique<ChildProcess>(argv);
        if (WaitForPort(m_port, std::chrono::seconds(10)))
            m_process = std::move(process);
    }
    if (!m_process)
        throw std::runtime_error("pyftpdlib did not start");
}

FtpTestServer::~FtpTestServer() = default;

std::string FtpTestServer::ReadStored(const std::string& name) const
{
    return ReadFileText((m_home.path() / name).string());
}

ScriptedFtpServer::ScriptedFtpServer(ScriptedFtpOptions options) : m_options(std::move(options))
{
    m_server = std::make_unique<ScriptedServer>([this](ScriptedPeer& peer) { Session(peer); },
                                                m_options.connections, 8, m_options.listenAddress,
                                                m_options.listenPort);
}

std::map<std::string, std::string> ScriptedFtpServer::Files()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options.files;
}

ScriptedFtpServer::~ScriptedFtpServer() { m_server.reset(); }

std::vector<std::string> ScriptedFtpServer::Commands()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

std::string ScriptedFtpServer::Received()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::string ScriptedFtpServer::ReplyFor(const std::string& verb) const
{
    const auto it = m_options.replies.find(verb);
    if (it != m_options.replies.end())
        return it->second;
    static const std::map<std::string, std::string> defaults = {
        {"USER", "331 Password required"}, {"PASS", "230 Logged in"}, {"TYPE", "200 Type set"},
        {"SYST", "215 UNIX Type: L8"},     {"PORT", "200 PORT ok"},  {"SITE", "200 SITE ok"},
        {"OPEN", "200 OPEN ok"},           {"NOOP", "200 NOOP ok"},  {"QUIT", "221 Bye"},
    };
    const auto d = defaults.find(verb);
    return d != defaults.end() ? d->second : "502 Not implemented";
}

void ScriptedFtpServer::Session(ScriptedPeer& control)
{
    control.Send(m_options.greeting + "\r\n");
    if (m_options.greeting.rfind("220", 0) != 0) {
        control.Close();
        return;
    }
    int passiveFd = -1;
    std::string renameFrom;
    std::string portIP;
    int portPort = 0;
    for (;;) {
        std::string line = control.ReadLine(10000);
        if (line.empty() && control.Eof())
            break;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commands.push_back(line);
        }
        const std::string verb = Upper(line.substr(0, line.find(' ')));
        const std::string arg = line.find(' ') == std::string::npos ? std::string() : line.substr(line.find(' ') + 1);

        if (verb == "PASV" && !m_options.pasvRefusal.empty()) {
            control.Send(m_options.pasvRefusal + "\r\n");
        } else if (verb == "PASV" || (verb == "EPSV" && !m_options.pasvRefusal.empty())) {
            int port = 0;
            if (passiveFd >= 0)
                ::close(passiveFd);
            passiveFd = ListenLoopback(port, 1);
            if (verb == "PASV")
                control.Send(PassiveReply(m_options.pasvReply, port / 256, port % 256) + "\r\n");
            else
                control.Send("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n");
        } else if (verb == "DELE") {
            std::lock_guard<std::mutex> lock(m_mutex);
            control.Send(m_options.files.erase(arg) ? "250 Deleted\r\n" : "550 No such file\r\n");
        } else if (verb == "RNFR") {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_options.refuseRename)
                control.Send("502 RNFR not implemented\r\n");
            else if (m_options.files.count(arg)) {
                renameFrom = arg;
                control.Send("350 Ready for RNTO\r\n");
            } else
                control.Send("550 No such file\r\n");
        } else if (verb == "RNTO") {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (renameFrom.empty() || !m_options.files.count(renameFrom))
                control.Send("503 RNFR first\r\n");
            else if (m_options.refuseRenameOverExisting && m_options.files.count(arg))
                control.Send("553 Rename refused: the file exists\r\n");
            else {
                m_options.files[arg] = m_options.files[renameFrom];
                m_options.files.erase(renameFrom);
                control.Send("250 Renamed\r\n");
            }
            renameFrom.clear();
        } else if (verb == "PORT") {
            int n[6] = {};
            if (std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6) {
                portIP = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." +
                         std::to_string(n[3]);
                portPort = n[4] * 256 + n[5];
            }
            control.Send(ReplyFor("PORT") + "\r\n");
        } else if (verb == "STOR" && std::find(m_options.refuseStore.begin(), m_options.refuseStore.end(), arg) !=
                                         m_options.refuseStore.end()) {
            control.Send("552 Disk quota exceeded.\r\n");
        } else if (verb == "STOR" || verb == "APPE" || verb == "STOU") {
            control.Send(m_options.storPreliminary + "\r\n");
            if (m_options.storPreliminary[0] != '1')
                continue;
            int dataFd = -1;
            if (passiveFd >= 0) {
                dataFd = AcceptWithin(passiveFd, 10000);
                ::close(passiveFd);
                passiveFd = -1;
            } else if (m_options.connectBack) {
                dataFd = ConnectTo(portIP, portPort);
            } else {
                continue; // never connect back; the client has to give up
            }
            ScriptedPeer data(dataFd);
            if (m_options.closeControlMidTransfer) {
                data.ReadExactly(1);
                control.Close();
                data.ReadUntilClose(10000);
                return;
            }
            if (m_options.dropDataAfter > 0) {
                const std::string part = data.ReadExactly(m_options.dropDataAfter, 10000);
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_received += part;
                    m_options.files[arg] = part;
                }
                data.Reset();
                control.Send(m_options.dropReply + "\r\n");
                continue;
            }
            if (m_options.stopReadingAfter > 0) {
                const std::string part = data.ReadExactly(m_options.stopReadingAfter, 10000);
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_received += part;
                }
                control.ReadUntilClose(30000);
                return;
            }
            if (m_options.stallData) {
                const std::string abort = control.ReadLine(10000);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_commands.push_back(abort.empty() || abort.back() != '\r' ? abort : abort.substr(0, abort.size() - 1));
            } else {
                const std::string bytes = data.ReadUntilClose(20000);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received += bytes;
                if (verb == "APPE")
                    m_options.files[arg] += bytes;
                else
                    m_options.files[arg] = bytes;
            }
            data.Close();
            for (const auto& reply : m_options.storFinal)
                control.Send(reply + "\r\n");
        } else if (verb == "QUIT") {
            // The client does not wait for this reply and may be gone already.
            try {
                control.Send(ReplyFor(verb) + "\r\n");
            } catch (const std::exception&) {
            }
            break;
        } else {
            control.Send(ReplyFor(verb) + "\r\n");
        }
    }
    if (passiveFd >= 0)
        ::close(passiveFd);
}

} // namespace testsupport
