// The publishing schedule, the Website page and the navigation tree.
#include "app/Unit1.h"

#include "app/AntiFreeze.h"
#include "htmlview/HtmlView.h"

#include "net/NetFTP.h"
#include "net/NetStack.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

void TForm1::TreeView1Click()
{
    QTreeWidgetItem* node = TreeView1->currentItem();
    const int position = node ? TreeView1->indexOfTopLevelItem(node) : -1;
    switch (position) {
    case 1: PageControl1->setCurrentWidget(TabSheet2); break;
    case 2: PageControl1->setCurrentWidget(TabSheet3); break;
    case 3: PageControl1->setCurrentWidget(TabSheet4); break;
    default: PageControl1->setCurrentWidget(TabSheet1); break;
    }
}

void TForm1::TabSheet3Show()
{
    btnUpload->setEnabled(!edFile->text().isEmpty() && !edRemoteHost->text().isEmpty() &&
                          !edUsername->text().isEmpty() && FileExists(edTemplate->text().toStdString()) &&
                          !edPassword->text().isEmpty());
}

namespace {
// Points a file dialog at the field's file when it exists, else at the
// program's folder.
void PrepareDialog(TFileDialogSettings& dialog, const std::string& fieldText)
{
    if (FileExists(fieldText)) {
        dialog.InitialDir = fs::path(fieldText).parent_path().string();
        dialog.FileName = fieldText;
    } else {
        dialog.InitialDir = fs::path(Application::Instance().ExeName()).parent_path().string();
    }
}

std::optional<std::string> RunDialog(QWidget* parent, const TFileDialogSettings& dialog, bool save)
{
    TFileDialogRequest r;
    r.Parent = parent;
    r.Save = save;
    r.Filter = dialog.Filter;
    r.DefaultExt = dialog.DefaultExt;
    r.InitialDir = dialog.InitialDir;
    r.FileName = dialog.FileName;
    return ExecuteFileDialog(r);
}
} // namespace

void TForm1::btnBrowseClick()
{
    PrepareDialog(OpenDialog1, edTemplate->text().toStdString());
    if (auto chosen = RunDialog(this, OpenDialog1, false)) {
        OpenDialog1.FileName = *chosen;
        edTemplate->setText(QString::fromStdString(*chosen));
    }
}

void TForm1::Button1Click()
{
    PrepareDialog(SaveDialog1, edLocal->text().toStdString());
    if (auto chosen = RunDialog(this, SaveDialog1, true)) {
        SaveDialog1.FileName = *chosen;
        edLocal->setText(QString::fromStdString(*chosen));
    }
    if (edFile->text().isEmpty())
        edFile->setText(QString::fromStdString(fs::path(edLocal->text().toStdString()).filename().string()));
}

void TForm1::btnUploadClick()
{
    GetOutsideIP();
    edIPAddress->setText(QString::fromStdString(PrimaryLocalAddressText()));
    tmrManualUpload->start();
}

namespace {
bool PublicAddressUsable(const QLabel* panel) { return IsDottedAddress(panel->text().toStdString()); }
} // namespace

void TForm1::tmrManualUploadTimer()
{
    tmrManualUpload->stop();
    if (!FileExists(edTemplate->text().toStdString()) || !PublicAddressUsable(StatusPanel0))
        return;
    // The local page is written when its name points into an existing folder;
    // a manual upload always uploads, whatever was uploaded last.
    const fs::path local(edLocal->text().toStdString());
    if (!local.empty() && local.has_filename() && fs::is_directory(local.has_parent_path() ? local.parent_path() : "."))
        MakeLocalFile();
    MakeWANFile();
    UpLoadFile();
}

std::string TForm1::MakeLocalFileBesideUpload()
{
    if (edLocal->text().isEmpty())
        return {};
    try {
        MakeLocalFile();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

namespace {
// Runs the website page and the upload, then reports a local page that could
// not be written: the user's website never waits for the local copy.
template <class Form>
void PublishPages(Form& form)
{
    const std::string localPageError = form.MakeLocalFileBesideUpload();
    form.MakeWANFile();
    form.UpLoadFile();
    if (!localPageError.empty())
        throw Exception(localPageError);
}
} // namespace

void TForm1::tmrStartButtonUploadTimer()
{
    tmrStartButtonUpload->stop();
    if (LastUploadedIP != StatusPanel0->text().toStdString() && FileExists(edTemplate->text().toStdString()) &&
        PublicAddressUsable(StatusPanel0)) {
        PublishPages(*this);
    }
}

void TForm1::tmrMainTimer()
{
    GetOutsideIP();
    if (LastUploadedIP != StatusPanel0->text().toStdString() && PublicAddressUsable(StatusPanel0) &&
        FileExists(edTemplate->text().toStdString())) {
        PublishPages(*this);
    }
}

void TForm1::tmrMessageTimer()
{
    tmrMessage->stop();
    StatusPanel1->clear();
}

void TForm1::UpLoadFile()
{
    if (!PublicAddressUsable(StatusPanel0) || AntiFreeze->Abandoned()) // a closing program opens no session
        return;
    NetFTP1->SetHost(edRemoteHost->text().toStdString());
    NetFTP1->SetUsername(edUsername->text().toStdString());
    NetFTP1->SetPassword(edPassword->text().toStdString());
    NetFTP1->SetTransferType(ftASCII);
    const std::string host = edRemoteHost->text().toStdString();
    const std::string remoteName = edFile->text().toStdString();
    std::string result;
    {
        // The whole session is bounded, and each reply within it; the window
        // keeps painting meanwhile.
        TWindowAntiFreeze::TRequest request(*AntiFreeze, RequestLimits.FtpSession, "the FTP server " + host);
        NetFTP1->SetReadTimeout(RequestLimits.FtpReply);
        NetFTP1->SetDataAcceptTimeout(RequestLimits.FtpReply);
        try {
            StatusPanel1->setText("Uploading to " + edRemoteHost->text() + "...");
            ApplyWebSecurity();
            NetFTP1->OpenSession(true, RequestLimits.FtpReply);
            result = PublishWanPage(host, remoteName);
            LastUploadedIP = StatusPanel0->text().toStdString();
        } catch (const std::exception& e) {
            LastUploadedIP.clear();
            result = e.what();
        }
        // Closing the session must not turn a finished upload into an error box.
        try {
            if (NetFTP1->IsConnected())
                NetFTP1->QuitSession();
        } catch (const std::exception&) {
            NetFTP1->CloseConnection();
        }
    }
    ShowUploadResult(result);
    tmrMessage->start();
    if (FileExists(Files.WanPageFile()))
        DeleteFileQuietly(Files.WanPageFile());
}

void TForm1::ShowUploadResult(const std::string& text)
{
    StatusPanel1->setText(QString::fromStdString(text));
    ShowLastUpload(text);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}
