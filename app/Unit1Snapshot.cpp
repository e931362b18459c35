// The picture on the website: while streaming, the newest picture of the
// stream uploaded beside the page every so many seconds ([Web] Snapshot,
// SnapshotSeconds), for viewers who cannot reach the stream.
#include "app/Unit1.h"

#include "app/SnapshotUploader.h"
#include "media/MediaKit.h"
#include "net/NetFTP.h"
#include "platform/ini/IniFile.h"
#include "platform/wmf/PictureTap.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
constexpr int DefaultSnapshotSeconds = 60;
constexpr int MinimumSnapshotSeconds = 10;
constexpr int MaximumSnapshotSeconds = 24 * 3600;

TNetFTPSecurity SecurityOfIndex(int index) { return index == 1 ? fsTLS : index == 2 ? fsNone : fsAuto; }
} // namespace

void TForm1::BuildSnapshotControls()
{
    // Below the page's groups, on the Website page's free row.
    cbSnapshot = new QCheckBox("Upload a picture as", TabSheet3);
    cbSnapshot->setObjectName("cbSnapshot");
    cbSnapshot->setToolTip("While streaming, the newest picture goes to the website beside the page,\n"
                           "for visitors who cannot reach the stream itself.");
    edSnapshot = new QLineEdit("webcam.jpg", TabSheet3);
    edSnapshot->setObjectName("edSnapshot");
    auto* every = new QLabel("every", TabSheet3);
    every->setObjectName("lblSnapshotEvery");
    edSnapshotSeconds = new QLineEdit(QString::number(DefaultSnapshotSeconds), TabSheet3);
    edSnapshotSeconds->setObjectName("edSnapshotSeconds");
    auto* unit = new QLabel("s", TabSheet3);
    unit->setObjectName("lblSnapshotUnit");
    Snapshots = std::make_unique<TSnapshotUploader>(this, [this](bool ok, const std::string& text) {
        SnapshotUploaded(ok, text);
    });
}

void TForm1::ReadSnapshotSettings(TIniFile& ini)
{
    // Snapshot=NAME: on, under that name; absent or empty: off.
    const std::string name = ini.ReadString("Web", "Snapshot", "");
    cbSnapshot->setChecked(!name.empty());
    if (!name.empty())
        edSnapshot->setText(QString::fromStdString(name));
    edSnapshotSeconds->setText(QString::number(ini.ReadInteger("Web", "SnapshotSeconds", DefaultSnapshotSeconds)));
}

void TForm1::WriteSnapshotSettings(TIniFile& ini)
{
    // Written once the upload was ever switched on: a file that never had
    // the keys keeps its shape.
    auto present = [&ini](const char* key) { return ini.ReadString("Web", key, "\x01") != "\x01"; };
    if (cbSnapshot->isChecked() || present("Snapshot"))
        ini.WriteString("Web", "Snapshot", cbSnapshot->isChecked() ? edSnapshot->text().toStdString() : std::string());
    if (cbSnapshot->isChecked() || present("SnapshotSeconds"))
        ini.WriteInteger("Web", "SnapshotSeconds", SnapshotSeconds());
}

int TForm1::SnapshotSeconds() const
{
    const std::string text = edSnapshotSeconds->text().trimmed().toStdString();
    const int seconds = IsPlainDecimal(text) ? std::atoi(text.c_str()) : DefaultSnapshotSeconds;
    return std::clamp(seconds, MinimumSnapshotSeconds, MaximumSnapshotSeconds);
}

std::string TForm1::SnapshotRemoteName() const
{
    // Beside the page: in the remote page's folder, unless the name has a folder of its own.
    const std::string name = edSnapshot->text().trimmed().toStdString();
    if (name.find('/') != std::string::npos)
        return name;
    const std::string page = edFile->text().toStdString();
    const size_t slash = page.find_last_of('/');
    return (slash == std::string::npos ? std::string() : page.substr(0, slash + 1)) + name;
}

void TForm1::SnapshotsStarted()
{
    for (QWidget* w : {static_cast<QWidget*>(cbSnapshot), static_cast<QWidget*>(edSnapshot),
                       static_cast<QWidget*>(edSnapshotSeconds)})
        w->setEnabled(false);
    m_snapshotFailureSaid.clear();
    if (!cbSnapshot->isChecked() || edSnapshot->text().trimmed().isEmpty() || edRemoteHost->text().isEmpty())
        return;
    const ComPtr<IWMWriterPictureTap> tap = Supports<IWMWriterPictureTap>(*ASFWriter);
    if (!tap)
        return;
    TSnapshotSettings s;
    s.Host = edRemoteHost->text().toStdString();
    s.Port = NetFTP1->Port();
    s.Username = edUsername->text().toStdString();
    s.Password = edPassword->text().toStdString();
    s.RemoteName = SnapshotRemoteName();
    s.Security = SecurityOfIndex(cbSecurity->currentIndex());
    s.TrustedFingerprint = TrustedFingerprint;
    s.Interval = std::chrono::milliseconds(SnapshotIntervalMs > 0 ? SnapshotIntervalMs : SnapshotSeconds() * 1000);
    s.ReplyTimeoutMs = RequestLimits.FtpReply > 0 ? RequestLimits.FtpReply : 15000;
    const fs::path page(Files.WanPageFile());
    s.LocalFile = (page.parent_path() / ("lumora-snapshot-" + std::to_string(::getpid()) + ".jpg")).string();
    Snapshots->Start(tap->GetPictureTap(), std::move(s));
}

void TForm1::SnapshotsStopped()
{
    Snapshots->Stop();
    for (QWidget* w : {static_cast<QWidget*>(cbSnapshot), static_cast<QWidget*>(edSnapshot),
                       static_cast<QWidget*>(edSnapshotSeconds)})
        w->setEnabled(true);
}

void TForm1::SnapshotUploaded(bool ok, const std::string& text)
{
    if (ok) {
        m_snapshotFailureSaid.clear();
        cbSnapshot->setToolTip(QString::fromStdString(text));
        if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        }
        return;
    }
    // Said once until an upload succeeds or the reason changes; the next
    // interval tries again whatever was said.
    if (text == m_snapshotFailureSaid)
        return;
    m_snapshotFailureSaid = text;
    ShowNoticeLines({"The picture upload to " + edRemoteHost->text().toStdString() + " failed (" + text +
                     "); it is tried again every " + std::to_string(SnapshotSeconds()) + " s."});
}
