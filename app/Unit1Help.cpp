// The help page, the automatic start and the close-time stop.
#include "app/Unit1.h"

#include "htmlview/HtmlImages.h"
#include "htmlview/HtmlView.h"
#include "media/MediaKit.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>

void TForm1::CreateHelpViewer()
{
    HTML = new THtmlView(HTMLHost);
    HTML->setObjectName("HTML");
    auto* layout = new QVBoxLayout(HTMLHost);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(HTML);
    HTML->SetDefFontName("Times New Roman");
    HTML->SetDefPreFontName("Courier New");
    HTML->SetHistoryMaxCount(0);
    HTML->SetNoSelect(true);
    HTML->SetBorderStyle(htFocused);
    HTML->SetDefBackground(clWindow);
    HTML->SetImageLoader(ViewerImageLoader());
    HTML->OnError = [](THtmlView*, const Exception& e) { Application::Instance().HandleException(e); };
    // The help page is a resource, not a file the viewer can load again:
    // the manual's way back to it loads the resource. Web addresses open in
    // the desktop's browser.
    HTML->OnHotSpotClick = [this](THtmlView*, const std::string& url, bool& handled) {
        const std::string file = url.substr(0, url.find('#'));
        if (file == "help.htm" && std::filesystem::path(HTML->CurrentFile()).filename() != "help.htm") {
            handled = true;
            LoadHelpPage();
            if (url.size() > file.size())
                HTML->PositionTo(url.substr(file.size()));
        } else if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) {
            handled = true;
            ShellOpen(url);
        }
    };
}

void TForm1::LoadHelpPage()
{
    // A help page that was already there is shown and kept; only the page
    // this start wrote is removed again.
    const bool wrote = !FileExists("help.htm");
    if (wrote)
        SaveResourceToFile("MYUSERDATA", "help.htm");
    try {
        HTML->LoadFromFile("help.htm");
    } catch (...) {
        if (wrote)
            DeleteFileQuietly("help.htm");
        throw;
    }
    if (wrote)
        DeleteFileQuietly("help.htm");
}

void TForm1::AutoStart()
{
    if (btnStart->isEnabled() && (cbAutoStart->isChecked() || Options.Start))
        btnStartClick();
}

void TForm1::CloseTimeStop()
{
    if (FilterGraph1->Active())
        btnStopClick();
}

void TForm1::Label16MouseMove()
{
    if (!QApplication::overrideCursor())
        QApplication::setOverrideCursor(Qt::PointingHandCursor);
}

void TForm1::Label16MouseLeave()
{
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
}

void TForm1::Label16Click()
{
    // The manual in the help viewer itself: nothing depends on the desktop
    // having a program for it.
    const std::string manual = ManualFile();
    if (manual.empty())
        HTML->ScrollToY(0);
    else
        HTML->LoadFromFile(manual);
}
