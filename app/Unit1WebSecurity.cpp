// Publishing that works with today's hosts: FTP over TLS (the Security
// choice and the trusted certificate), the passive fallback, the safe replace
// of the live page, the echo service over https with redirects, and the
// private WAN page file.
#include "app/Unit1.h"

#include "net/NetFTP.h"
#include "net/NetFTPPublish.h"
#include "net/NetHTTPBounded.h"
#include "net/NetIOHandlerTLS.h"
#include "platform/ini/IniFile.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QTime>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The echo answer is a line of text; anything larger is not an echo.
constexpr int64_t EchoAnswerLimit = 64 * 1024;
// The first pass counts as one, so this follows at most 5 redirects.
constexpr int EchoRedirectMaximum = 6;
// Behind address translation the server never connects back; this long is
// waited before the upload is retried in passive mode.
constexpr int ActiveConnectBackMs = 5000;

const char* const SecurityNames[] = {"Auto", "TLS", "None"};

TNetFTPSecurity SecurityFromIndex(int index)
{
    switch (index) {
    case 1: return fsTLS;
    case 2: return fsNone;
    default: return fsAuto;
    }
}

} // namespace

// One file per running program, in the user's runtime folder (or the
// temporary folder), readable by the user only: two programs never write the
// same page, and the page is nobody else's to read or replace.
std::string TProgramFiles::WanPageFile() const
{
    fs::path folder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && ::access(runtime, W_OK) == 0)
        folder = runtime;
    else
        folder = fs::temp_directory_path();
    return (folder / ("lumora-wan-" + std::to_string(::getpid()) + ".htm")).string();
}

// Creates the WAN page file with mode 0600 before the page is written into
// it (the writer keeps an existing file's mode). A link in its place is
// refused instead of followed.
void PreparePrivateFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Exception(Format("Cannot create file \"%s\". %s", path.c_str(), std::strerror(errno)));
    ::fchmod(fd, 0600);
    ::close(fd);
}

void TForm1::CreateWebSecurityControls()
{
    // A setting of the server: in its group, so it greys with it while streaming.
    auto* label = new QLabel("FTP security", GroupBox2);
    label->setObjectName("lblSecurity");
    cbSecurity = new QComboBox(GroupBox2);
    cbSecurity->setObjectName("cbSecurity");
    for (const char* name : SecurityNames)
        cbSecurity->addItem(name);
    cbSecurity->setToolTip("Auto: TLS when the server offers it, plain FTP when it has none.\n"
                           "TLS: TLS required.\nNone: plain FTP (the password travels unencrypted).");
}

void TForm1::ReadWebSecuritySettings(TIniFile& ini)
{
    const std::string security = ini.ReadString("Web", "Security", "Auto");
    int index = 0;
    for (int i = 0; i < 3; ++i)
        if (strcasecmp(security.c_str(), SecurityNames[i]) == 0)
            index = i;
    cbSecurity->setCurrentIndex(index);
    TrustedFingerprint = ini.ReadString("Web", "TrustedFingerprint", "");
}

void TForm1::WriteWebSecuritySettings(TIniFile& ini)
{
    // A file that never had these keys keeps its old shape while they hold
    // their defaults.
    auto present = [&ini](const char* key) { return ini.ReadString("Web", key, "\x01") != "\x01"; };
    const int index = std::max(0, cbSecurity->currentIndex());
    if (index != 0 || present("Security"))
        ini.WriteString("Web", "Security", SecurityNames[index]);
    if (!TrustedFingerprint.empty() || present("TrustedFingerprint"))
        ini.WriteString("Web", "TrustedFingerprint", TrustedFingerprint);
}

void TForm1::PrepareEchoClient()
{
    EchoTLS = std::make_unique<TNetIOHandlerTLS>();
    NetHTTP1->SetIOHandler(EchoTLS.get());
    NetHTTP1->SetHandleRedirects(true);
    NetHTTP1->SetRedirectMaximum(EchoRedirectMaximum);
}

std::string TForm1::FetchEchoAnswer()
{
    EchoTLS->SetTrustedFingerprint(TrustedFingerprint);
    return GetAsStringBounded(*NetHTTP1, EchoUrl(), EchoAnswerLimit);
}

void TForm1::ApplyWebSecurity()
{
    NetFTP1->SetSecurity(SecurityFromIndex(cbSecurity->currentIndex()));
    NetFTP1->SetTrustedFingerprint(TrustedFingerprint);
    NetFTP1->SetPassiveFallback(true);
    NetFTP1->SetDataAcceptTimeout(std::min(ActiveConnectBackMs, NetFTP1->DataAcceptTimeout()));
}

std::string TForm1::PublishWanPage(const std::string& host, const std::string& remoteName)
{
    // A store that failed may have used up the session's time; deleting its
    // temporary file gets a small budget of its own.
    const auto cleanUpScope = [this, &host](const std::function<void()>& cleanUp) {
        TWindowAntiFreeze::TRequest request(*AntiFreeze, RequestLimits.FtpCleanUp, "the FTP server " + host);
        NetFTP1->SetReadTimeout(std::min(RequestLimits.FtpReply, RequestLimits.FtpCleanUp));
        cleanUp();
    };
    const TNetFTPPublishResult result = PublishFile(*NetFTP1, Files.WanPageFile(), remoteName, cleanUpScope);
    std::string how = result.TLS ? " over " + NetFTP1->TLSProtocol() : std::string(" over plain FTP");
    if (result.Passive)
        how += ", passive mode";
    return "Uploaded " + remoteName + " to " + host + " at " + QTime::currentTime().toString("HH:mm").toStdString() +
           how + ReplaceMethodNote(result.Method);
}
