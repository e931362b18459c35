// The whole program with a viewers' password: set in the window, kept in the
// settings file only in its stored forms, honoured after a restart by curl
// and by headless Chromium (with the password in the URL and with the private
// link), and guessing reported in the window and on standard output.
#include "tests/app/AppFixture.h"

#include "media/MediaKit.h"
#include "platform/wmf/ViewerAuth.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <sys/stat.h>

#include <set>

using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::RunCommand;
using testsupport::WriteFileText;

namespace {

const std::string kPassword = "window pass";

class ViewerPassword : public AppFixture {
protected:
    TForm1& OpenWith(const std::string& settings)
    {
        WriteFileText(Path("lumora.ini"), "[Network]\nPort=" + std::to_string(m_port) + "\n" + settings);
        return Open(Options());
    }
    // No echo service: nothing leaves the machine.
    static TStartOptions Options()
    {
        TStartOptions o;
        o.EchoUrl = "http://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/";
        return o;
    }
    void StartStreaming(TForm1& f)
    {
        f.cbSource->setCurrentIndex(f.cbSource->count() - 1); // the test source
        f.btnStart->click();
        ASSERT_TRUE(m_errors.empty()) << m_errors.front();
        ASSERT_TRUE(f.FilterGraph1->Active());
    }
    std::string Url(const std::string& path, const std::string& userInfo = {}) const
    {
        return "http://" + userInfo + "127.0.0.1:" + std::to_string(m_port) + path;
    }
    // curl's status for path; `auth` holds its options.
    std::string Curl(const std::string& path, const std::string& auth = {}) const
    {
        return RunCommand("curl -s -o /dev/null -w '%{http_code}' --max-time 10 " + auth + " '" + Url(path) + "'");
    }
    // Headless Chromium on a page, `what` saying what to make of it.
    std::string Chromium(const std::string& url, const std::string& what) const
    {
        testsupport::TempDir profile;
        return RunCommand("timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
            "--disable-background-networking --disable-component-update --disable-sync --user-data-dir="
            + profile.path().string() + " " + what + " '" + url + "' 2>/dev/null");
    }
    size_t ScreenshotColours(const std::string& url) const
    {
        const std::string file = Path("shot.png");
        QFile::remove(QString::fromStdString(file));
        Chromium(url, "--window-size=400,420 --screenshot=" + file);
        const QImage shot(QString::fromStdString(file));
        std::set<QRgb> colours;
        for (int y = 0; y < shot.height(); y += 2)
            for (int x = 0; x < shot.width(); x += 2)
                colours.insert(shot.pixel(x, y));
        return colours.size();
    }
    int m_port = FreeTcpPort();
};

TEST_F(ViewerPassword, SetInTheWindowStoredOnlyAsKeysAndHonouredAfterARestart)
{
    {
        TForm1& f = OpenWith("");
        auto* ask = f.findChild<QCheckBox*>("cbViewerPassword");
        auto* field = f.findChild<QLineEdit*>("edViewerPassword");
        ASSERT_TRUE(ask && field);
        EXPECT_EQ(ask->text(), "Viewers need a password");
        EXPECT_FALSE(ask->isChecked()) << "off by default";
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        ask->setChecked(true);
        field->setText(QString::fromStdString(kPassword));
        emit field->editingFinished();
        EXPECT_TRUE(field->text().isEmpty()) << "the window does not keep the password";
        ASSERT_TRUE(Close());
    }
    const std::string saved = SettingsText();
    EXPECT_EQ(saved.find(kPassword), std::string::npos) << saved;
    const size_t viewers = saved.find("[Viewers]");
    ASSERT_NE(viewers, std::string::npos) << saved;
    EXPECT_EQ(saved.substr(viewers, saved.find("\n[", viewers) - viewers).find("Password"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[Viewers]\nUser=viewer\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Basic=pbkdf2-sha256$"), std::string::npos) << saved;
    EXPECT_NE(saved.find("DigestSHA256=" + viewerauth::DigestKey(viewerauth::DigestAlgorithm::SHA256, "viewer", "Lumora", kPassword)),
        std::string::npos) << saved;
    struct stat st {};
    ASSERT_EQ(stat(Path("lumora.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // After a restart: the password admits, its absence and a wrong one do not.
    TForm1& f = Open(Options());
    EXPECT_TRUE(f.findChild<QCheckBox*>("cbViewerPassword")->isChecked());
    StartStreaming(f);
    EXPECT_EQ(Curl("/status.json", "--digest -u 'viewer:" + kPassword + "'"), "200");
    EXPECT_EQ(Curl("/status.json", "--basic -u 'viewer:" + kPassword + "'"), "200");
    EXPECT_EQ(Curl("/status.json"), "401");
    EXPECT_EQ(Curl("/status.json", "--digest -u viewer:wrong"), "401");

    // Guessing: five wrong answers (the one above and four more) lock the
    // address out, even for the right password, and the window and the
    // console say so.
    std::vector<std::string> statuses;
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i)
        statuses.push_back(Curl("/watch", i < 4 ? "--basic -u viewer:guess" : "--digest -u 'viewer:" + kPassword + "'"));
    const bool shown = WaitFor([&] { return f.StatusPanel1->text() == "5 failed logins from 127.0.0.1"; }, 5s);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(statuses, (std::vector<std::string>{"401", "401", "401", "401", "429"}));
    EXPECT_TRUE(shown) << f.StatusPanel1->text().toStdString();
    EXPECT_NE(out.find("5 failed logins from 127.0.0.1\n"), std::string::npos) << out;
    f.btnStop->click();
}

TEST_F(ViewerPassword, ChromiumWatchesWithThePasswordOrThePrivateLinkOnly)
{
    if (RunCommand("command -v chromium").empty())
        GTEST_SKIP() << "chromium is not installed";
    TForm1& f = OpenWith("[Viewers]\nPassword=" + kPassword + "\n");
    StartStreaming(f);
    // Without the password Chromium gets no picture; with it in the URL, the picture.
    // (A refused page is a few flat colours; the live picture has many.)
    EXPECT_LT(ScreenshotColours(Url("/watch")), 8u);
    EXPECT_GT(ScreenshotColours(Url("/watch", "viewer:window%20pass@")), 20u);

    auto* make = f.findChild<QPushButton*>("btnPrivateLink");
    auto* link = f.findChild<QLineEdit*>("edPrivateLink");
    ASSERT_TRUE(make && link);
    EXPECT_TRUE(make->isEnabled());
    make->click();
    const std::string first = link->text().toStdString();
    const std::string prefix = "/watch?k=";
    ASSERT_NE(first.find(":" + std::to_string(m_port) + prefix), std::string::npos) << first;
    const std::string token = first.substr(first.find(prefix) + prefix.size());
    EXPECT_EQ(token.size(), 22u) << "128 random bits";
    EXPECT_GT(ScreenshotColours(Url(prefix + token)), 20u) << "the page passes the link on to its picture";

    make->click();
    EXPECT_NE(link->text().toStdString(), first);
    EXPECT_LT(ScreenshotColours(Url(prefix + token)), 8u) << "the old link after renewal";
    f.btnStop->click();
    ASSERT_TRUE(Close());
    // The hand-written password is gone from the file, its stored form is there.
    const std::string saved = SettingsText();
    EXPECT_EQ(saved.find(kPassword), std::string::npos) << saved;
    EXPECT_NE(saved.find("DigestMD5="), std::string::npos) << saved;
    EXPECT_NE(saved.find("LinkToken="), std::string::npos) << saved;
}

TEST_F(ViewerPassword, TheOpenStreamHintShowsOnlyWhileThePageIsPublishedWithoutAPassword)
{
    TForm1& f = OpenWith("");
    auto* hint = f.findChild<QLabel*>("lblOpenStream");
    ASSERT_TRUE(hint);
    f.show();
    EXPECT_FALSE(hint->isVisible());
    f.cbFTP->setChecked(true);
    EXPECT_TRUE(hint->isVisibleTo(f.TabSheet2));
    EXPECT_EQ(hint->text(), "Anyone who finds your web page can watch");
    f.findChild<QCheckBox*>("cbViewerPassword")->setChecked(true);
    EXPECT_TRUE(hint->isVisibleTo(f.TabSheet2)) << "asked for, but no password typed yet";
    auto* field = f.findChild<QLineEdit*>("edViewerPassword");
    field->setText("x");
    emit field->editingFinished();
    EXPECT_FALSE(hint->isVisibleTo(f.TabSheet2));
}

} // namespace
