#include "platform/ui/Dialogs.h"

#include "platform/ui/Application.h"
#include "platform/ui/UnattendedDialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QUrl>

namespace {
TMessageHandler& MessageHandler()
{
    static TMessageHandler h;
    return h;
}
TFileDialogHandler& FileHandler()
{
    static TFileDialogHandler h;
    return h;
}
TOpenUrlHandler& UrlHandler()
{
    static TOpenUrlHandler h;
    return h;
}

QMessageBox::Icon IconFor(TMsgDlgType t)
{
    switch (t) {
    case TMsgDlgType::mtWarning: return QMessageBox::Warning;
    case TMsgDlgType::mtError: return QMessageBox::Critical;
    case TMsgDlgType::mtInformation: return QMessageBox::Information;
    case TMsgDlgType::mtConfirmation: return QMessageBox::Question;
    case TMsgDlgType::mtCustom: return QMessageBox::NoIcon;
    }
    return QMessageBox::NoIcon;
}

} // namespace

// "Desc|*.a;*.b|All|*.*" -> {"Desc (*.a *.b)", "All (*)"}: Qt reads the
// patterns from the last parentheses of each filter; the dialog is told to
// hide that part, so the user sees each description once, as written.
QStringList QtNameFilters(const std::string& filter)
{
    const QStringList parts = QString::fromStdString(filter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
        for (QString& p : patterns) {
            p = p.trimmed();
            if (p == "*.*")
                p = "*"; // every file, as "*.*" means there
        }
        out << parts[i] + " (" + patterns.join(' ') + ")";
    }
    return out;
}

namespace {
} // namespace

TModalResult ShowMessageDialog(const TMessageRequest& request)
{
    if (MessageHandler())
        return MessageHandler()(request);
    if (auto answer = AnswerUnattended(request))
        return *answer;
    QMessageBox box(IconFor(request.Type), QString::fromStdString(request.Caption),
                    QString::fromStdString(request.Text), QMessageBox::NoButton, request.Parent);
    struct Pair {
        TMsgDlgBtn button;
        QMessageBox::StandardButton qt;
        TModalResult result;
    };
    const Pair pairs[] = {{mbYes, QMessageBox::Yes, mrYes},
                          {mbNo, QMessageBox::No, mrNo},
                          {mbOK, QMessageBox::Ok, mrOk},
                          {mbCancel, QMessageBox::Cancel, mrCancel}};
    for (const Pair& p : pairs) {
        if (!(request.Buttons & p.button))
            continue;
        QPushButton* b = box.addButton(p.qt);
        if (p.result == request.DefaultResult)
            box.setDefaultButton(b);
        if (p.result == request.EscapeResult)
            box.setEscapeButton(b);
    }
    if (request.Left && request.Top)
        box.move(*request.Left, *request.Top);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (!clicked)
        return request.EscapeResult;
    for (const Pair& p : pairs)
        if (box.standardButton(clicked) == p.qt)
            return p.result;
    return mrNone;
}

void ShowMessage(const std::string& text)
{
    TMessageRequest r;
    r.Parent = Application::Instance().MainForm();
    r.Caption = QApplication::applicationName().toStdString();
    r.Text = text;
    r.Type = TMsgDlgType::mtCustom;
    r.Buttons = mbOK;
    r.DefaultResult = mrOk;
    r.EscapeResult = mrOk;
    ShowMessageDialog(r);
}

TMessageHandler SetMessageHandler(TMessageHandler handler)
{
    return std::exchange(MessageHandler(), std::move(handler));
}

std::optional<std::string> ExecuteFileDialog(const TFileDialogRequest& request)
{
    if (FileHandler())
        return FileHandler()(request);
    if (DialogsUnattended())
        return std::nullopt;
    QFileDialog dlg(request.Parent);
    dlg.setAcceptMode(request.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(request.Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dlg.setOption(QFileDialog::HideNameFilterDetails);
    dlg.setNameFilters(QtNameFilters(request.Filter));
    if (!request.DefaultExt.empty())
        dlg.setDefaultSuffix(QString::fromStdString(request.DefaultExt));
    if (!request.InitialDir.empty())
        dlg.setDirectory(QString::fromStdString(request.InitialDir));
    if (!request.FileName.empty())
        dlg.selectFile(QString::fromStdString(request.FileName));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    return dlg.selectedFiles().first().toStdString();
}

TFileDialogHandler SetFileDialogHandler(TFileDialogHandler handler)
{
    return std::exchange(FileHandler(), std::move(handler));
}

void ShellOpen(const std::string& url)
{
    if (UrlHandler()) {
        UrlHandler()(url);
        return;
    }
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

TOpenUrlHandler SetShellOpenHandler(TOpenUrlHandler handler)
{
    return std::exchange(UrlHandler(), std::move(handler));
}
