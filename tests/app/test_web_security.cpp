// The window's side of publishing over TLS: the Security choice and the
// trusted certificate in the settings, an upload to pyftpdlib's TLS server
// refused until the certificate is trusted, and the echo service over https
// behind a redirect.
#include "tests/app/AppFixture.h"

#include "net/NetFTP.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/TlsTestPeers.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

using testsupport::ReadFileText;
using testsupport::WriteFileText;

namespace {

class WebSecurity : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        certificate = testsupport::MakeTestCertificate(m_dir, "IP:127.0.0.1");
    }
    testsupport::TestCertificate certificate;
};

TEST_F(WebSecurity, SecurityChoiceAndTrustedCertificateAreSettings)
{
    TForm1& f = Open();
    ASSERT_NE(f.cbSecurity, nullptr);
    EXPECT_EQ(f.cbSecurity->count(), 3);
    EXPECT_EQ(f.cbSecurity->currentText(), "Auto") << "a new settings file asks for TLS when offered";
    EXPECT_TRUE(f.GroupBox2->isAncestorOf(f.cbSecurity)) << "a server setting, greyed with the server group";
    EXPECT_EQ(f.cbSecurity->parentWidget(), f.GroupBox2);

    f.cbSecurity->setCurrentIndex(f.cbSecurity->findText("TLS"));
    f.TrustedFingerprint = certificate.fingerprint;
    ASSERT_TRUE(Close());
    const std::string saved = SettingsText();
    EXPECT_NE(saved.find("Security=TLS"), std::string::npos) << saved;
    EXPECT_NE(saved.find("TrustedFingerprint=" + certificate.fingerprint), std::string::npos) << saved;

    TForm1& g = Open();
    EXPECT_EQ(g.cbSecurity->currentText(), "TLS");
    EXPECT_EQ(g.TrustedFingerprint, certificate.fingerprint);
}

TEST_F(WebSecurity, UploadOverTLSIsRefusedUntilTheCertificateIsTrusted)
{
    testsupport::FtpTestServer ftp(certificate.certFile, certificate.keyFile);
    TForm1& f = Open();
    WriteFileText(Path("page.tpl"), "<a href=\"http://{IP}/\">watch</a>\n");
    f.edRemoteHost->setText("127.0.0.1");
    f.edUsername->setText(QString::fromStdString(ftp.user()));
    f.edPassword->setText(QString::fromStdString(ftp.password()));
    f.edTemplate->setText(QString::fromStdString(Path("page.tpl")));
    f.edFile->setText("cam.htm");
    f.edPort->setText("8080");
    f.NetFTP1->SetPort(ftp.port());
    f.StatusPanel0->setText("203.0.113.7");

    f.MakeWANFile();
    f.UpLoadFile();
    const std::string refused = f.StatusPanel1->text().toStdString();
    EXPECT_NE(refused.find(certificate.fingerprint), std::string::npos) << refused;
    EXPECT_EQ(f.LastUploadedIP, "");
    EXPECT_FALSE(std::filesystem::exists(ftp.home() / "cam.htm"));

    f.TrustedFingerprint = certificate.fingerprint;
    f.MakeWANFile();
    f.UpLoadFile();
    const std::string done = f.StatusPanel1->text().toStdString();
    EXPECT_NE(done.find("Uploaded cam.htm to 127.0.0.1 at "), std::string::npos) << done;
    EXPECT_NE(done.find(" over TLSv1."), std::string::npos) << done;
    EXPECT_EQ(f.LastUploadedIP, "203.0.113.7");
    EXPECT_EQ(ftp.ReadStored("cam.htm"), "<a href=\"http://203.0.113.7:8080/\">watch</a>\n");
    EXPECT_TRUE(m_errors.empty()) << m_errors.front();
}

TEST_F(WebSecurity, EchoServiceOverHttpsBehindARedirect)
{
    testsupport::HttpsEchoServer echo(certificate);
    TStartOptions o;
    o.EchoUrl = echo.HttpsUrl("/moved");
    TForm1& f = Open(o);
    f.GetOutsideIP();
    EXPECT_TRUE(f.StatusPanel0->text().isEmpty()) << "an untrusted certificate gives no address";
    f.TrustedFingerprint = certificate.fingerprint;
    f.GetOutsideIP();
    EXPECT_EQ(f.StatusPanel0->text().toStdString(), testsupport::HttpsEchoServer::EchoedAddress());
}

} // namespace
