// How the window shows what happened: the last upload on the Website page
// and the public address field.
#include "app/Unit1.h"

#include "app/StatusPanel.h"
#include "net/NetStack.h"

#include <QLabel>
#include <QLineEdit>

const char* const NoVideoSourceText = "No video source: connect a camera or choose the test pattern.";

void TForm1::ShowLastUpload(const std::string& text)
{
    // Kept until the next upload, when the status bar has long been cleared.
    lblLastUpload->setText("Last upload: " + QString::fromStdString(text));
}

void TForm1::ShowWanAddress(bool learnt)
{
    // Never half an address: the field is empty until the public address is
    // known, with a hint that says why.
    const QString address = StatusPanel0->text();
    if (IsDottedAddress(address.toStdString())) {
        edWAN->setText(address + ":" + QString::fromStdString(Streaming() ? WanPagePortText() : edPort->text().toStdString()) + "/");
        return;
    }
    edWAN->clear();
    edWAN->setPlaceholderText(learnt ? QStringLiteral("unknown") : QStringLiteral("learning\u2026"));
}
