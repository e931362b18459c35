// Streaming start and stop.
#include "app/Unit1.h"
#include "platform/core/Exception.h"

void TForm1::btnStartClick() { btnPreviewClick(); }
void TForm1::btnStopClick() {}
