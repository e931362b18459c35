// The help page, the automatic start and the close-time stop.
#include "app/Unit1.h"

#include "htmlview/HtmlImages.h"
#include "htmlview/HtmlView.h"
#include "media/MediaKit.h"
#include "platform/ui/Application.h"
#include "platform/ui/Resources.h"

#include <QCheckBox>
#include <QPushButton>
#include <QVBoxLayout>

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
