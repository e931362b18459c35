// JPEG and BMP decoding (and GIF through the same entry) on arbitrary bytes.

#include "images/BmpImage.h"
#include "images/JpegImage.h"
#include "images/ViewerImages.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TPlainBitmap bitmap;
    DecodeBmpImage(data, size, bitmap);
    DecodeJpegImage(data, size, bitmap);
    LoadViewerImage(data, size);
    return 0;
}
