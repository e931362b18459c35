// The TLS transport under the HTTP client, against Python's http.server
// wrapped in ssl on loopback: certificate refusal and trust by fingerprint,
// verification against the trust store with host-name checking, redirects
// between http and https, and the size limit of an echo answer.

#include "net/NetHTTPBounded.h"
#include "net/NetIOHandlerTLS.h"
#include "platform/core/Text.h"
#include "tests/support/TlsTestPeers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using testsupport::HttpsEchoServer;
using testsupport::TempDir;
using testsupport::TestCertificate;

namespace {

class HttpsEchoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempDir;
        certificate = new TestCertificate(testsupport::MakeTestCertificate(*dir, "IP:127.0.0.1"));
        server = new HttpsEchoServer(*certificate);
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete certificate;
        delete dir;
    }
    void SetUp() override
    {
        http.SetIOHandler(&tls);
        http.SetHandleRedirects(true);
        // The first pass counts as one: 6 lets 5 redirects be followed.
        http.SetRedirectMaximum(6);
        http.SetReadTimeout(20000);
    }
    void TearDown() override
    {
        if (http.IsConnected())
            http.CloseConnection();
        http.SetIOHandler(nullptr);
    }

    static TempDir* dir;
    static TestCertificate* certificate;
    static HttpsEchoServer* server;
    TNetIOHandlerTLS tls;
    TNetHTTP http;
};
TempDir* HttpsEchoTest::dir = nullptr;
TestCertificate* HttpsEchoTest::certificate = nullptr;
HttpsEchoServer* HttpsEchoTest::server = nullptr;

using asciitext::Lower;

std::string WithoutColons(std::string s)
{
    std::erase(s, ':');
    return s;
}

TEST_F(HttpsEchoTest, SelfSignedCertificateIsRefusedWithReasonAndFingerprint)
{
    try {
        http.GetAsString(server->HttpsUrl("/echo"));
        FAIL() << "the self-signed certificate was accepted";
    } catch (const ENetTLSCertificateRefused& e) {
        EXPECT_EQ(e.Fingerprint(), certificate->fingerprint);
        EXPECT_NE(e.Message().find(certificate->fingerprint), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("self-signed"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(http.IsConnected());
}

TEST_F(HttpsEchoTest, TrustedFingerprintIgnoresColonsCaseAndPrefix)
{
    const std::string fp = certificate->fingerprint;
    std::string wrong = fp;
    wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
    const struct {
        std::string setting;
        bool trusted;
    } cases[] = {
        {fp, true},
        {Lower(fp), true},
        {WithoutColons(fp), true},
        {"sha256 Fingerprint=" + fp, true},
        {"  " + Lower(WithoutColons(fp)) + "\n", true},
        {wrong, false},
        {WithoutColons(fp).substr(1), false}, // 63 digits trust nothing
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        tls.SetTrustedFingerprint(c.setting);
        if (c.trusted) {
            EXPECT_NE(http.GetAsString(server->HttpsUrl("/echo")).find(HttpsEchoServer::EchoedAddress()),
                      std::string::npos);
            EXPECT_EQ(tls.ProtocolName(), "TLSv1.3");
        } else {
            EXPECT_THROW(http.GetAsString(server->HttpsUrl("/echo")), ENetTLSCertificateRefused);
        }
        if (http.IsConnected())
            http.CloseConnection();
    }
}

TEST_F(HttpsEchoTest, AReplacedCertificateIsNamedWithBothFingerprints)
{
    // The user trusts a fingerprint; the server now shows another certificate.
    std::string trusted = certificate->fingerprint;
    trusted[0] = trusted[0] == 'A' ? 'B' : 'A';
    tls.SetTrustedFingerprint(Lower(WithoutColons(trusted)));
    try {
        http.GetAsString(server->HttpsUrl("/echo"));
        FAIL() << "a certificate other than the trusted one was accepted";
    } catch (const ENetTLSCertificateRefused& e) {
        EXPECT_EQ(e.TrustedFingerprint(), trusted);
        EXPECT_EQ(e.Message(), "The certificate of 127.0.0.1 differs from the trusted fingerprint: its SHA-256 "
                               "fingerprint is " + certificate->fingerprint + ", the trusted one is " + trusted + ".");
    }
}

TEST_F(HttpsEchoTest, StoreVerificationChecksTheHostName)
{
    // The test certificate as the whole trust store: verified without any
    // fingerprint for the address it names, refused for another name.
    const char* saved = std::getenv("SSL_CERT_FILE");
    const std::string savedValue = saved ? saved : "";
    ::setenv("SSL_CERT_FILE", certificate->certFile.c_str(), 1);
    TNetIOHandlerTLS storeTLS;
    TNetHTTP client;
    client.SetIOHandler(&storeTLS);
    client.SetReadTimeout(20000);
    EXPECT_NE(client.GetAsString(server->HttpsUrl("/echo")).find(HttpsEchoServer::EchoedAddress()),
              std::string::npos);
    client.CloseConnection();
    try {
        client.GetAsString("https://localhost:" + std::to_string(server->tlsPort()) + "/echo");
        ADD_FAILURE() << "a certificate for 127.0.0.1 was accepted for localhost";
    } catch (const ENetTLSCertificateRefused& e) {
        EXPECT_NE(e.Reason().find("mismatch"), std::string::npos) << e.Message();
    }
    if (saved)
        ::setenv("SSL_CERT_FILE", savedValue.c_str(), 1);
    else
        ::unsetenv("SSL_CERT_FILE");
    client.SetIOHandler(nullptr);
}

TEST_F(HttpsEchoTest, RedirectsAreFollowedUpToFive)
{
    tls.SetTrustedFingerprint(certificate->fingerprint);
    const struct {
        std::string url;
        bool answered;
    } cases[] = {
        {server->HttpsUrl("/moved"), true},     // 301 to another path
        {server->HttpUrl("/to-https"), true},   // 302 from http to https
        {server->HttpsUrl("/hop/4"), true},     // five redirects
        {server->HttpsUrl("/hop/5"), false},    // six
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        if (c.answered) {
            std::string body;
            EXPECT_NO_THROW(body = GetAsStringBounded(http, c.url, 65536));
            EXPECT_NE(body.find(HttpsEchoServer::EchoedAddress()), std::string::npos);
        } else {
            try {
                GetAsStringBounded(http, c.url, 65536);
                ADD_FAILURE() << "an unfinished redirect answered";
            } catch (const ENetHTTPProtocolException& e) {
                EXPECT_EQ(e.ReplyErrorCode(), 302);
            }
        }
    }
}

long PeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

TEST_F(HttpsEchoTest, TenMegabyteAnswerIsAnErrorWithFlatMemory)
{
    tls.SetTrustedFingerprint(certificate->fingerprint);
    for (const std::string path : {"/big", "/big-unsized"}) {
        SCOPED_TRACE(path);
        // A connection and TLS set up beforehand, so the peak below is the
        // answer's alone.
        ASSERT_FALSE(GetAsStringBounded(http, server->HttpsUrl("/echo"), 65536).empty());
        // Resets the peak to the current size (Linux clear_refs "5").
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = PeakResidentKiB();
        EXPECT_THROW(GetAsStringBounded(http, server->HttpsUrl(path), 65536), ENetAnswerTooLong);
        const long after = PeakResidentKiB();
        ASSERT_GT(before, 0);
        EXPECT_LT(after - before, 4096) << "peak grew by " << (after - before) << " KiB";
        // The connection is not left half-read for the next request.
        EXPECT_NE(GetAsStringBounded(http, server->HttpsUrl("/echo"), 65536).find(HttpsEchoServer::EchoedAddress()),
                  std::string::npos);
    }
}

TEST(TLSFingerprintTest, NormalizesOnlyWholeSha256Fingerprints)
{
    const std::string upper(64, 'A');
    EXPECT_EQ(TNetIOHandlerTLS::NormalizeFingerprint(std::string(64, 'a')), upper);
    EXPECT_EQ(TNetIOHandlerTLS::NormalizeFingerprint("aa:" + std::string(62, 'A')), upper);
    EXPECT_EQ(TNetIOHandlerTLS::NormalizeFingerprint(std::string(40, 'A')), ""); // a SHA-1 length
    EXPECT_EQ(TNetIOHandlerTLS::NormalizeFingerprint(std::string(63, 'A') + "G"), "");
    EXPECT_EQ(TNetIOHandlerTLS::NormalizeFingerprint(std::string(66, 'A')), "");
}

} // namespace
