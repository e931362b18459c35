#pragma once
// Message boxes and file dialogs. Every dialog goes through one function that
// tests can answer programmatically instead of showing a modal window.

#include <QStringList>

#include <functional>
#include <optional>
#include <string>

class QWidget;

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

enum TMsgDlgBtn : unsigned { mbYes = 1u << 0, mbNo = 1u << 1, mbOK = 1u << 2, mbCancel = 1u << 3 };

enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

struct TMessageRequest {
    QWidget* Parent = nullptr;
    std::string Caption;
    std::string Text;
    TMsgDlgType Type = TMsgDlgType::mtInformation;
    unsigned Buttons = mbOK;
    TModalResult DefaultResult = mrOk; // the button Enter presses
    TModalResult EscapeResult = mrCancel; // what Escape gives
    std::optional<int> Left; // screen position of the dialog, when given
    std::optional<int> Top;
};

using TMessageHandler = std::function<TModalResult(const TMessageRequest&)>;

// Shows the dialog modally (or asks the installed handler) and returns the
// button pressed.
TModalResult ShowMessageDialog(const TMessageRequest& request);
// A plain message box with an OK button and the application's title.
void ShowMessage(const std::string& text);
// Installs a handler that answers every message dialog (nullptr restores the
// real dialogs). Returns the previous handler.
TMessageHandler SetMessageHandler(TMessageHandler handler);

struct TFileDialogRequest {
    QWidget* Parent = nullptr;
    bool Save = false;
    std::string Filter;      // "Description|*.a;*.b|All Files (*.*)|*.*"
    std::string DefaultExt;  // without a dot
    std::string InitialDir;  // folder shown first
    std::string FileName;    // initial name
};

using TFileDialogHandler = std::function<std::optional<std::string>(const TFileDialogRequest&)>;

// The chosen file, or nothing when cancelled.
std::optional<std::string> ExecuteFileDialog(const TFileDialogRequest& request);
// The dialog's name filters for a filter text: one per description, the
// patterns Qt needs in parentheses after it (shown hidden).
QStringList QtNameFilters(const std::string& filter);
TFileDialogHandler SetFileDialogHandler(TFileDialogHandler handler);

// Opens a web address in the user's browser.
using TOpenUrlHandler = std::function<void(const std::string&)>;
void ShellOpen(const std::string& url);
TOpenUrlHandler SetShellOpenHandler(TOpenUrlHandler handler);
