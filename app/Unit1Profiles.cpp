// Placeholder until the Windows Media writer lands; that work replaces this file.
#include "app/Unit1.h"
#include <QComboBox>

void TForm1::cbProfilesClick() { ProfileIndex = cbProfiles->currentIndex(); }
