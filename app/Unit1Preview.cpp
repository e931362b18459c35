// Placeholder until the media graph lands; the media graph work replaces this file.
#include "app/Unit1.h"
#include "platform/core/Exception.h"

void TForm1::cbSourceChange() {}
void TForm1::btnPreviewClick() { throw Exception("Interface not supported"); }
void TForm1::btnCrossbarClick() {}
void TForm1::btnConfigureClick() {}
