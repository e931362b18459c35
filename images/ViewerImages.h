#pragma once
// Image loading for the help viewer: GIF (still or animated), JPEG and BMP,
// told apart by their first bytes, each decoded at its natural size.

#include "images/GifImage.h"
#include "images/ImageBitmap.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

enum class TImageFormat { ifUnknown, ifGIF, ifJPEG, ifBMP };

TImageFormat DetectImageFormat(const uint8_t* data, size_t size);

// A decoded image. A GIF keeps its TGIFImage (strip, frames, animation
// state); JPEG and BMP give a bitmap. Mask is empty for a fully opaque image.
struct TViewerImage {
    TImageFormat Format = TImageFormat::ifUnknown;
    std::unique_ptr<TGIFImage> Gif;
    bool IsStill = true; // fewer than two frames
    TPlainBitmap Bitmap; // JPEG and BMP
    TPlainBitmap Mask;

    int Width() const { return Gif ? Gif->Width() : Bitmap.Width(); }
    int Height() const { return Gif ? Gif->Height() : Bitmap.Height(); }
};

// Null when the data is not one of the three formats or cannot be read;
// nothing is reported.
std::unique_ptr<TViewerImage> LoadViewerImage(const uint8_t* data, size_t size);
std::unique_ptr<TViewerImage> LoadViewerImage(std::istream& stream);
std::unique_ptr<TViewerImage> LoadViewerImageFile(const std::string& fileName);
