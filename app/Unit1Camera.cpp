// A camera that goes away and comes back while the graph runs. The capture
// source keeps frames flowing (a slate) and reopens the camera by itself; the
// window only tells the user, in the message panel, and on the terminal when
// there is no screen to look at.
#include "app/Unit1.h"

#include <QGuiApplication>
#include <QLabel>

#include <cstdio>

namespace {
const char* const kCameraLost = "Camera lost";
}

void TForm1::FilterGraph1DeviceLost(bool Removed)
{
    if (Removed) {
        StatusPanel1->setText(kCameraLost);
        if (QGuiApplication::platformName() == "offscreen") {
            std::printf("%s\n", kCameraLost);
            std::fflush(stdout);
        }
    } else if (StatusPanel1->text() == kCameraLost) {
        StatusPanel1->clear();
    }
}
