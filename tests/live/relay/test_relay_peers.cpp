// The relay against peers that are not what they should be: a TLS front
// (Python's ssl) before nginx with certificates for the wrong name or from
// no trusted issuer, a plain RTMP port behind an rtmps:// address, servers
// that close or talk nonsense right after the RTMP handshake, and a proxy
// before nginx that stops reading.
#include "live/relay/RtmpRelay.h"
#include "tests/live/relay/RelayTestKit.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TlsTestPeers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>

using namespace std::chrono_literals;
using relaytest::PictureFeed;
using relaytest::StopsWithin;
using relaytest::WaitFor;
using testsupport::ChildProcess;
using testsupport::NginxRtmp;
using testsupport::TempDir;

namespace {

std::string StatusText(const RtmpRelay& relay)
{
    return RelayStatusText(relay.Status(), std::chrono::steady_clock::now());
}

size_t Count(const std::string& text, const std::string& mark)
{
    size_t n = 0;
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        ++n;
    return n;
}

// A TLS front: takes TLS on its port with the given certificate and passes
// the plain bytes on to 127.0.0.1:target, as an ingest's TLS terminator does.
class TlsFront {
public:
    TlsFront(const testsupport::TestCertificate& certificate, int target) : m_port(testsupport::FreeTcpPort())
    {
        const std::string script = m_dir.file("front.py");
        testsupport::WriteFileText(script, R"(import select, socket, ssl, sys, threading
cert, key, port, target = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(8)

def serve(raw):
    raw.settimeout(10)
    try:
        tls = context.wrap_socket(raw, server_side=True)
        inner = socket.create_connection(("127.0.0.1", target), timeout=10)
    except (OSError, ssl.SSLError):
        raw.close()
        return
    try:
        while True:
            ready = [tls] if tls.pending() else select.select([tls, inner], [], [], 30)[0]
            if not ready:
                break
            for source, sink in ((tls, inner), (inner, tls)):
                if source in ready:
                    data = source.recv(65536)
                    if not data:
                        raise EOFError
                    sink.sendall(data)
    except (OSError, ssl.SSLError, EOFError):
        pass
    tls.close()
    inner.close()

while True:
    connection, _ = listener.accept()
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
)");
        m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", script, certificate.certFile, certificate.keyFile, std::to_string(m_port),
            std::to_string(target)});
        testsupport::WaitForPort(m_port, 10s);
    }
    int port() const { return m_port; }

private:
    TempDir m_dir;
    int m_port;
    std::unique_ptr<ChildProcess> m_process;
};

class RelayOverTls : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NginxRtmp::Available())
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        ASSERT_TRUE(m_nginx.Start());
    }
    void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }
    TempDir m_dir;
    NginxRtmp m_nginx;
};

// The certificate decides before the stream key leaves: refused (with its
// fingerprint) unless the system store vouches for it and its name matches,
// or it is the trusted one; live through the front when accepted.
TEST_F(RelayOverTls, TheCertificateIsCheckedAgainstTheStoreAndTheNameOrTheTrustedFingerprint)
{
    // Self-signed, for a name that is not the address the relay dials.
    const auto other = testsupport::MakeTestCertificate(m_dir, "DNS:ingest.example.invalid", "other");
    // Self-signed, for the address dialled.
    const auto local = testsupport::MakeTestCertificate(m_dir, "IP:127.0.0.1", "local");
    // A store that trusts both, as an installed private CA would be.
    const std::string store = m_dir.file("store.pem");
    testsupport::WriteFileText(store, testsupport::ReadFileText(other.certFile) +
                                          testsupport::ReadFileText(local.certFile));
    auto refused = [](const std::string& reason, const std::string& fingerprint) {
        return "The certificate of 127.0.0.1 was refused (" + reason + "). Its SHA-256 fingerprint is " +
               fingerprint + ".";
    };
    std::string lowerBare; // the fingerprint as typed by hand: no colons, lower case
    for (char c : other.fingerprint)
        if (c != ':')
            lowerBare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    const struct {
        const char* what;
        const testsupport::TestCertificate& certificate;
        bool inStore;
        std::string trusted;
        std::string error; // "" for live
    } cases[] = {
        {"self-signed, other name", other, false, "", refused("self-signed certificate", other.fingerprint)},
        {"another certificate trusted", other, false, local.fingerprint,
         refused("self-signed certificate", other.fingerprint)},
        {"in the store, other name", other, true, "", refused("IP address mismatch", other.fingerprint)},
        {"fingerprint trusted", other, false, lowerBare, ""},
        {"in the store, right name", local, true, "", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string key = "key" + std::to_string(n++);
        if (c.inStore)
            ::setenv("SSL_CERT_FILE", store.c_str(), 1);
        else
            ::unsetenv("SSL_CERT_FILE");
        TlsFront front(c.certificate, m_nginx.port());
        RelayOptions o;
        o.url = "rtmps://127.0.0.1:" + std::to_string(front.port()) + "/live/" + key;
        o.trustedFingerprint = c.trusted;
        o.connectTimeout = 5s;
        RtmpRelay relay(o);
        const auto relayPictures = std::make_shared<PictureTap>();
        relay.Start(relayPictures);
        PictureFeed feed(*relayPictures, 320, 240, 15);
        const RelayState expected = c.error.empty() ? RelayState::Live : RelayState::Failed;
        ASSERT_TRUE(WaitFor([&] { return relay.Status().state == expected; }, 20s)) << StatusText(relay);
        EXPECT_EQ(relay.Status().error, c.error);
        EXPECT_TRUE(StopsWithin(relay, 10s));
        const std::string log = m_nginx.ErrorLog();
        EXPECT_EQ(Count(log, "publish: name='" + key + "'"), c.error.empty() ? 1u : 0u)
            << "the key reaches the server only past an accepted certificate\n" << log;
    }
}

TEST_F(RelayOverTls, RtmpsToAPlainRtmpPortIsAFailedTlsHandshake)
{
    RelayOptions o;
    o.url = "rtmps://127.0.0.1:" + std::to_string(m_nginx.port()) + "/live/cam";
    o.connectTimeout = 1s;
    RtmpRelay relay(o);
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Retrying; }, 20s)) << StatusText(relay);
    EXPECT_EQ(relay.Status().error,
              "TLS handshake with 127.0.0.1:" + std::to_string(m_nginx.port()) + " failed (the server did not answer it)");
    EXPECT_TRUE(StopsWithin(relay, 10s));
}

// The server's half of the RTMP handshake: C0 C1 in, S0 S1 S2 out, C2 in.
bool RtmpHandshake(testsupport::ScriptedPeer& peer)
{
    const std::string c0c1 = peer.ReadExactly(1537);
    if (c0c1.size() != 1537)
        return false;
    peer.Send(std::string(1, '\x03') + std::string(1536, '\0') + c0c1.substr(1));
    return peer.ReadExactly(1536).size() == 1536;
}

// Closing or talking nonsense right after the handshake is no refusal of
// the publish: the relay calls it a lost connection and comes back, later
// each time.
TEST(RelayToBadServer, CloseOrNonsenseAfterTheHandshakeIsALostConnectionAndRetried)
{
    const struct {
        const char* what;
        std::function<void(testsupport::ScriptedPeer&)> after;
    } cases[] = {
        {"closes", [](testsupport::ScriptedPeer& peer) { peer.Close(); }},
        {"resets", [](testsupport::ScriptedPeer& peer) { peer.Reset(); }},
        {"nonsense",
         [](testsupport::ScriptedPeer& peer) {
             peer.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
             peer.Close();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> handshakes{0};
        testsupport::ScriptedServer server(
            [&](testsupport::ScriptedPeer& peer) {
                if (RtmpHandshake(peer))
                    ++handshakes;
                c.after(peer);
            },
            3);
        RelayOptions o;
        o.url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/cam";
        o.connectTimeout = 2s;
        o.firstRetry = 1s;
        RtmpRelay relay(o);
        std::vector<RelayStatus> seen;
        std::mutex lock;
        relay.SetStatusListener([&](const RelayStatus& s) {
            std::lock_guard guard(lock);
            seen.push_back(s);
        });
        const auto relayPictures = std::make_shared<PictureTap>();
        relay.Start(relayPictures);
        PictureFeed feed(*relayPictures, 320, 240, 15);
        ASSERT_TRUE(WaitFor([&] { return handshakes >= 3 || relay.Status().state == RelayState::Failed; }, 20s))
            << StatusText(relay);
        EXPECT_TRUE(StopsWithin(relay, 10s));
        std::lock_guard guard(lock);
        std::vector<int> delays;
        for (const RelayStatus& s : seen) {
            EXPECT_NE(s.state, RelayState::Failed) << s.error;
            if (s.state == RelayState::Retrying) {
                EXPECT_EQ(s.error.rfind("connection lost (", 0), 0u) << s.error;
                delays.push_back(s.retrySeconds);
            }
        }
        ASSERT_GE(delays.size(), 2u);
        EXPECT_EQ(delays[0], 1);
        EXPECT_EQ(delays[1], 2);
    }
}

// A loopback proxy before nginx whose relay side can stop reading, with a
// small receive buffer so that the relay's bytes soon go unacknowledged.
class StallingProxy {
public:
    explicit StallingProxy(int target) : m_target(target)
    {
        m_listen = testsupport::ListenLoopback(m_port);
        const int small = 4096;
        ::setsockopt(m_listen, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        m_thread = std::thread([this] { Run(); });
    }
    ~StallingProxy()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    int port() const { return m_port; }
    void StopReading() { m_stalled = true; }

private:
    void Run()
    {
        pollfd p{m_listen, POLLIN, 0};
        while (!m_stop && ::poll(&p, 1, 50) <= 0) {
        }
        if (m_stop)
            return;
        const int client = ::accept(m_listen, nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(m_target));
        if (client < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        char buffer[16384];
        while (!m_stop) {
            pollfd fds[2] = {{client, static_cast<short>(m_stalled ? 0 : POLLIN), 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0)
                continue;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0 || ::send(server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    break;
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                if (n <= 0 || ::send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    break;
            }
        }
        ::close(client);
        ::close(server);
    }

    int m_target;
    int m_port = 0;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stalled{false};
    std::thread m_thread;
};

// A server that stops reading, at an ordinary bitrate, is a lost connection
// once the relay's bytes go unacknowledged for the write deadline, not when
// the kernel's send buffer is full many seconds later.
TEST(RelayToStalledServer, NoAcknowledgedProgressForTheWriteDeadlineIsALostConnection)
{
    if (!NginxRtmp::Available())
        GTEST_SKIP() << "nginx with the RTMP module is not installed";
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.Start());
    StallingProxy proxy(nginx.port());
    RelayOptions o;
    o.url = "rtmp://127.0.0.1:" + std::to_string(proxy.port()) + "/live/cam";
    o.bitrateKbps = 300;
    o.writeTimeout = 1s;
    RtmpRelay relay(o);
    const auto relayPictures = std::make_shared<PictureTap>();
    relay.Start(relayPictures);
    PictureFeed feed(*relayPictures, 320, 240, 15);
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Live; }, 20s)) << StatusText(relay);

    proxy.StopReading();
    // At 300 kbit/s the kernel's buffers would take far longer than this.
    ASSERT_TRUE(WaitFor([&] { return relay.Status().state == RelayState::Retrying; }, 8s)) << StatusText(relay);
    EXPECT_EQ(relay.Status().error, "connection lost (the server stopped answering)");
    EXPECT_TRUE(StopsWithin(relay, 10s));
}

} // namespace
