#include "tests/support/TlsTestPeers.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

namespace fs = std::filesystem;

TestCertificate MakeTestCertificate(const TempDir& dir, const std::string& subjectAltName, const std::string& name)
{
    TestCertificate c;
    c.certFile = dir.file(name + "-cert.pem");
    c.keyFile = dir.file(name + "-key.pem");
    int status = -1;
    RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=lumora-test -addext "
               "'subjectAltName=" + subjectAltName + "' -keyout '" + c.keyFile + "' -out '" + c.certFile +
                   "' 2>/dev/null",
               &status);
    if (status != 0)
        throw std::runtime_error("openssl req failed");
    // "sha256 Fingerprint=AB:CD:..."
    std::string printed = RunCommand("openssl x509 -noout -fingerprint -sha256 -in '" + c.certFile + "'", &status);
    const size_t eq = printed.find('=');
    if (status != 0 || eq == std::string::npos)
        throw std::runtime_error("openssl x509 -fingerprint failed");
    c.fingerprint = printed.substr(eq + 1);
    while (!c.fingerprint.empty() && (c.fingerprint.back() == '\n' || c.fingerprint.back() == '\r'))
        c.fingerprint.pop_back();
    return c;
}

// ---------------------------------------------------------------- vsftpd

bool VsftpdTestServer::Available() { return ::geteuid() == 0 && fs::exists("/usr/sbin/vsftpd"); }

VsftpdTestServer::VsftpdTestServer(const TestCertificate& certificate)
{
    // vsftpd refuses a chroot root its session user can write to, so the
    // root belongs to root and only "www" to the ftp user.
    const fs::path root = m_dir.path() / "root";
    fs::create_directories(root / Folder());
    fs::permissions(m_dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    int status = -1;
    RunCommand("chown ftp '" + (root / Folder()).string() + "'", &status);
    if (status != 0)
        throw std::runtime_error("chown ftp failed");

    for (int attempt = 0; attempt < 3 && !m_process; ++attempt) {
        m_port = FreeTcpPort();
        const int pasv = FreeTcpPort();
        const std::string conf = m_dir.file("vsftpd.conf");
        WriteFileText(conf, "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\n"
                            "listen_port=" + std::to_string(m_port) + "\n"
                            "anonymous_enable=YES\nno_anon_password=YES\nanon_root=" + root.string() + "\n"
                            "write_enable=YES\nanon_upload_enable=YES\nanon_other_write_enable=YES\n"
                            "anon_umask=022\nlocal_enable=NO\n"
                            // Containers rarely allow the namespaces and seccomp filter.
                            "isolate=NO\nisolate_network=NO\nseccomp_sandbox=NO\n"
                            "pasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" + std::to_string(pasv) +
                            "\npasv_max_port=" + std::to_string(pasv + 20) + "\n"
                            "port_enable=YES\nconnect_from_port_20=NO\n"
                            "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                            "force_anon_data_ssl=YES\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                            "require_ssl_reuse=YES\nssl_ciphers=HIGH\n"
                            "rsa_cert_file=" + certificate.certFile + "\nrsa_private_key_file=" +
                            certificate.keyFile + "\n"
                            "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\n"
                            "vsftpd_log_file=" + m_dir.file("vsftpd.log") + "\n"
                            "secure_chroot_dir=/var/run/vsftpd/empty\n");
        fs::create_directories("/var/run/vsftpd/empty");
        auto process = std::make_unique<ChildProcess>(std::vector<std::string> {"/usr/sbin/vsftpd", conf});
        if (WaitForPort(m_port, std::chrono::seconds(10)))
            m_process = std::move(process);
    }
    if (!m_process)
        throw std::runtime_error("vsftpd did not start");
}

VsftpdTestServer::~VsftpdTestServer()
{
    m_process.reset();
    // Each session of vsftpd leads a process session of its own, out of the
    // listener's group: find them by the configuration they were started
    // with, or they outlive the test (holding whatever it inherited).
    const std::string conf = m_dir.file("vsftpd.conf");
    std::error_code e;
    for (const auto& entry : fs::directory_iterator("/proc", e)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = ReadFileText((entry.path() / "cmdline").string());
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find("vsftpd") != std::string::npos && cmdline.find(conf) != std::string::npos)
            ::kill(std::stoi(name), SIGKILL);
    }
}

std::string VsftpdTestServer::StoredPath(const std::string& name) const
{
    return (m_dir.path() / "root" / name).string();
}

std::string VsftpdTestServer::ReadStored(const std::string& name) const { return ReadFileText(StoredPath(name)); }

std::vector<std::string> VsftpdTestServer::StoredNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir.path() / "root" / Folder()))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string VsftpdTestServer::Log() const
{
    const std::string log = m_dir.file("vsftpd.log");
    return fs::exists(log) ? ReadFileText(log) : std::string();
}

// ---------------------------------------------------------------- HTTPS echo

namespace {

const char kEchoScript[] = R"PY(
import http.server, socketserver, ssl, sys, threading

cert, key, tls_port, plain_port = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
ECHO = b"<html><head><title>Current IP Check</title></head><body>Current IP Address: 203.0.113.7</body></html>"

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass
    def reply(self, code, body=b"", headers=()):
        self.send_response(code)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        p = self.path
        if p == "/echo":
            self.reply(200, ECHO, [("Content-Type", "text/html")])
        elif p == "/moved":
            self.reply(301, b"moved", [("Location", "/echo")])
        elif p == "/to-https":
            self.reply(302, b"", [("Location", "https://127.0.0.1:%d/echo" % tls_port)])
        elif p.startswith("/hop/"):
            n = int(p[5:])
            self.reply(302, b"", [("Location", "/echo" if n == 0 else "/hop/%d" % (n - 1))])
        elif p == "/big":
            block = b"x" * (1 << 20)
            self.send_response(200)
            self.send_header("Content-Length", str(10 << 20))
            self.end_headers()
            for _ in range(10):
                self.wfile.write(block)
        elif p == "/big-unsized":
            block = b"x" * (1 << 20)
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            for _ in range(10):
                self.wfile.write(block)
        else:
            self.reply(404, b"nope")

class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    def handle_error(self, request, client_address):
        pass  # clients that stop reading on purpose

tls = Server(("127.0.0.1", tls_port), Handler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
tls.socket = ctx.wrap_socket(tls.socket, server_side=True)
plain = Server(("127.0.0.1", plain_port), Handler)
threading.Thread(target=plain.serve_forever, daemon=True).start()
tls.serve_forever()
)PY";

} // namespace

HttpsEchoServer::HttpsEchoServer(const TestCertificate& certificate)
{
    const std::string script = m_dir.file("echo_server.py");
    WriteFileText(script, kEchoScript);
    for (int attempt = 0; attempt < 3 && !m_process; ++attempt) {
        m_tlsPort = FreeTcpPort();
        m_plainPort = FreeTcpPort();
        auto process = std::make_unique<ChildProcess>(
            std::vector<std::string> {"/usr/bin/python3", script, certificate.certFile, certificate.keyFile,
                                      std::to_string(m_tlsPort), std::to_string(m_plainPort)});
        if (WaitForPort(m_tlsPort, std::chrono::seconds(10)) && WaitForPort(m_plainPort, std::chrono::seconds(10)))
            m_process = std::move(process);
    }
    if (!m_process)
        throw std::runtime_error("the HTTPS echo server did not start");
}

HttpsEchoServer::~HttpsEchoServer() = default;

std::string HttpsEchoServer::HttpsUrl(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(m_tlsPort) + path;
}

std::string HttpsEchoServer::HttpUrl(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_plainPort) + path;
}

} // namespace testsupport
