// The help page, the automatic start and the close-time stop.
#include "app/Unit1.h"

#include "platform/ui/Resources.h"

#include <QCheckBox>
#include <QPushButton>

void TForm1::LoadHelpPage()
{
    // Only a help page this start wrote is removed again.
    const bool wrote = !FileExists("help.htm");
    if (wrote)
        SaveResourceToFile("MYUSERDATA", "help.htm");
    if (wrote)
        DeleteFileQuietly("help.htm");
}

void TForm1::AutoStart()
{
    if (btnStart->isEnabled() && cbAutoStart->isChecked())
        btnStartClick();
}

void TForm1::CloseTimeStop() {}
