#pragma once
// TLS peers for the tests, all on 127.0.0.1 and started by the test:
// - MakeTestCertificate: a self-signed certificate made with `openssl req`,
//   with its SHA-256 fingerprint as `openssl x509 -fingerprint -sha256`
//   prints it.
// - VsftpdTestServer: vsftpd in the foreground (listen=YES, background=NO) on
//   a free port, TLS required for logins and data (ssl_enable,
//   force_*_logins_ssl, require_ssl_reuse), anonymous uploads into "www"
//   below a scratch root; its protocol log is readable. vsftpd must start as
//   root (it changes to its unprivileged user per session), so Available()
//   says whether it can run here.
// - HttpsEchoServer: Python's http.server, once plain and once wrapped in
//   ssl, serving an address echo page, 301/302 redirects and a 10 MB answer.

#include "tests/support/TestSupport.h"

#include <memory>
#include <string>

namespace testsupport {

struct TestCertificate {
    std::string certFile;
    std::string keyFile;
    std::string fingerprint; // "AB:CD:..." (openssl's form)
};

// subjectAltName as openssl takes it, e.g. "IP:127.0.0.1,DNS:localhost".
TestCertificate MakeTestCertificate(const TempDir& dir, const std::string& subjectAltName = "IP:127.0.0.1",
                                    const std::string& name = "server");

class VsftpdTestServer {
public:
    static bool Available();
    explicit VsftpdTestServer(const TestCertificate& certificate);
    ~VsftpdTestServer();

    int port() const { return m_port; }
    // The listening vsftpd process (its sessions are its children).
    int pid() const { return m_process->pid(); }
    // The upload folder's path as the client names it.
    static std::string Folder() { return "www"; }
    std::string StoredPath(const std::string& name) const;
    std::string ReadStored(const std::string& name) const;
    std::vector<std::string> StoredNames() const;
    std::string Log() const;

private:
    TempDir m_dir;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

class HttpsEchoServer {
public:
    // The TLS side uses the certificate; the plain side serves the same paths.
    explicit HttpsEchoServer(const TestCertificate& certificate);
    ~HttpsEchoServer();

    int tlsPort() const { return m_tlsPort; }
    int plainPort() const { return m_plainPort; }
    std::string HttpsUrl(const std::string& path) const;
    std::string HttpUrl(const std::string& path) const;
    // The address the echo page reports.
    static std::string EchoedAddress() { return "203.0.113.7"; }

private:
    TempDir m_dir;
    int m_tlsPort = 0;
    int m_plainPort = 0;
    std::unique_ptr<ChildProcess> m_process;
};

} // namespace testsupport
