// FTP over explicit TLS against real servers on loopback: vsftpd requiring
// TLS for logins and data with session reuse, and pyftpdlib's TLS handler.
// What arrives on the server's disk is compared byte for byte; vsftpd's
// protocol log shows what the client asked for.

#include "net/NetFTPPublish.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/TlsTestPeers.h"

#include <gtest/gtest.h>

#include <iostream>

using testsupport::FtpTestServer;
using testsupport::TempDir;
using testsupport::TestCertificate;
using testsupport::VsftpdTestServer;

namespace {

std::string PageBytes(size_t size, int seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + i / 256 + static_cast<size_t>(seed)) & 0xFF);
    return s;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Equal bytes, or where they first differ (pages are too long to print).
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        ++i;
    return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                         << ", first difference at " << i;
}

class VsftpdTlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!VsftpdTestServer::Available())
            GTEST_SKIP() << "vsftpd must start as root";
        certificate = testsupport::MakeTestCertificate(dir, "IP:127.0.0.1");
        server = std::make_unique<VsftpdTestServer>(certificate);
        ftp.SetHost("127.0.0.1");
        ftp.SetPort(server->port());
        ftp.SetUsername("anonymous");
        ftp.SetPassword("publisher@example.org");
        ftp.SetTransferType(ftBinary);
        ftp.SetSecurity(fsAuto);
        ftp.SetReadTimeout(20000);
    }
    void TearDown() override
    {
        if (ftp.IsConnected())
            ftp.QuitSession();
        if (HasFailure() && server)
            std::cerr << "vsftpd's log:\n" << server->Log();
    }
    std::string Local(const std::string& bytes)
    {
        const std::string path = dir.file("page-" + std::to_string(++files) + ".htm");
        testsupport::WriteFileText(path, bytes);
        return path;
    }

    TempDir dir;
    TestCertificate certificate;
    std::unique_ptr<VsftpdTestServer> server;
    TNetFTP ftp;
    int files = 0;
};

TEST_F(VsftpdTlsTest, AutoRefusesTheCertificateUntilTrustedThenPublishesOverTLS)
{
    try {
        ftp.OpenSession();
        FAIL() << "the self-signed certificate was accepted";
    } catch (const ENetTLSCertificateRefused& e) {
        EXPECT_TRUE(Contains(e.Message(), certificate.fingerprint)) << e.Message();
    }
    EXPECT_FALSE(ftp.IsConnected());
    // A refused handshake never falls back to plain FTP: no login was sent.
    EXPECT_TRUE(Contains(server->Log(), "\"AUTH TLS\""));
    EXPECT_FALSE(Contains(server->Log(), "\"USER anonymous\""));

    ftp.SetTrustedFingerprint(certificate.fingerprint);
    const std::string oldPage = PageBytes(70000, 1), newPage = PageBytes(300001, 2);
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        ftp.SetPassive(passive);
        ftp.OpenSession();
        EXPECT_TRUE(ftp.TLSActive());
        EXPECT_FALSE(ftp.TLSProtocol().empty());
        PublishFile(ftp, Local(oldPage), "www/index.htm");
        const TNetFTPPublishResult result = PublishFile(ftp, Local(newPage), "www/index.htm");
        ftp.QuitSession();
        EXPECT_TRUE(result.TLS);
        EXPECT_EQ(result.Passive, passive);
        EXPECT_EQ(result.Method, TNetFTPReplaceMethod::Renamed);
        EXPECT_TRUE(SameBytes(server->ReadStored("www/index.htm"), newPage));
        EXPECT_EQ(server->StoredNames(), std::vector<std::string> {"index.htm"});
    }
    const std::string log = server->Log();
    EXPECT_TRUE(Contains(log, "\"PBSZ 0\""));
    EXPECT_TRUE(Contains(log, "\"PROT P\""));
    EXPECT_TRUE(Contains(log, "\"RNTO www/index.htm\""));
    // Every data connection resumed the control session: vsftpd refuses
    // others with 522.
    EXPECT_FALSE(Contains(log, "522")) << log;
}

TEST_F(VsftpdTlsTest, PlainFtpIsRefusedWithTheServersMessage)
{
    ftp.SetSecurity(fsNone);
    try {
        ftp.OpenSession();
        FAIL() << "a plain login was accepted";
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 530);
        EXPECT_TRUE(Contains(e.Message(), "encryption")) << e.Message();
    }
    EXPECT_FALSE(Contains(server->Log(), "AUTH"));
}

class PyftpdlibTlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        certificate = testsupport::MakeTestCertificate(dir, "IP:127.0.0.1");
        ftp.SetHost("127.0.0.1");
        ftp.SetUsername("lumora");
        ftp.SetPassword("secret");
        ftp.SetTransferType(ftBinary);
        ftp.SetReadTimeout(20000);
        ftp.SetTrustedFingerprint(certificate.fingerprint);
    }
    void TearDown() override
    {
        if (ftp.IsConnected())
            ftp.QuitSession();
    }
    TempDir dir;
    TestCertificate certificate;
    TNetFTP ftp;
};

TEST_F(PyftpdlibTlsTest, RequiredTLSStoresEveryByteInBothModes)
{
    FtpTestServer server(certificate.certFile, certificate.keyFile);
    ftp.SetPort(server.port());
    ftp.SetSecurity(fsTLS);
    const std::string page = PageBytes(1 << 20, 3);
    const std::string local = dir.file("page.bin");
    testsupport::WriteFileText(local, page);
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        ftp.SetPassive(passive);
        ftp.OpenSession();
        ASSERT_TRUE(ftp.TLSActive());
        const std::string name = passive ? "passive.bin" : "active.bin";
        PublishFile(ftp, local, name);
        ftp.QuitSession();
        EXPECT_TRUE(SameBytes(server.ReadStored(name), page));
    }
}

TEST_F(PyftpdlibTlsTest, AutoGoesPlainOnlyWhenTheServerHasNoTLS)
{
    FtpTestServer plain; // answers AUTH with 500
    ftp.SetPort(plain.port());
    ftp.SetSecurity(fsAuto);
    ftp.OpenSession();
    EXPECT_FALSE(ftp.TLSActive());
    const std::string local = dir.file("page.htm");
    testsupport::WriteFileText(local, "plain page");
    PublishFile(ftp, local, "index.htm");
    ftp.QuitSession();
    EXPECT_EQ(plain.ReadStored("index.htm"), "plain page");

    ftp.SetSecurity(fsTLS);
    try {
        ftp.OpenSession();
        FAIL() << "required TLS went plain";
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 500);
    }
    EXPECT_FALSE(ftp.IsConnected());
}

TEST(FtpTlsHandshakeTest, FailedHandshakeAfterAuthIsNeverAPlainSession)
{
    // The server says yes to AUTH TLS and then speaks no TLS at all.
    testsupport::ScriptedFtpOptions options;
    options.replies["AUTH"] = "234 Proceed";
    testsupport::ScriptedFtpServer server(options);
    TNetFTP ftp;
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(server.port());
    ftp.SetUsername("user");
    ftp.SetPassword("secret");
    ftp.SetSecurity(fsAuto);
    ftp.SetReadTimeout(10000);
    EXPECT_THROW(ftp.OpenSession(), ENetTLSError);
    EXPECT_FALSE(ftp.IsConnected());
    server.Join();
    for (const std::string& command : server.Commands())
        EXPECT_NE(command.rfind("USER", 0), 0u) << "a login went out after the failed handshake";
}

} // namespace
