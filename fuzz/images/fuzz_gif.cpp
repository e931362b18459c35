// GIF loading as the viewer does it, then a few animation steps and a draw,
// on arbitrary bytes.

#include "images/GifImage.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    bool still = false;
    auto image = LoadGIFImage(data, size, still);
    if (!image)
        return 0;
    uint32_t now = 0;
    image->Clock = [&now] { return now; };
    TPlainBitmap target(16, 16, TPixelFormat::pfRGB24);
    TBitmapCanvas canvas(target);
    image->SetAnimate(true);
    for (int i = 0; i < 4; ++i) {
        image->Draw(canvas, {-3, 2, 19, 11});
        now += 1000;
        image->Tick();
    }
    image->Bitmap();
    image->Mask();
    return 0;
}
