#pragma once
// JPEG decoding for the viewer (libjpeg-turbo).

#include "images/ImageBitmap.h"

#include <cstddef>
#include <cstdint>

// Largest image accepted, in bytes of 24-bit pixels; a header that claims
// more is refused before any pixel memory is taken.
constexpr int64_t MaxDecodedImageBytes = 200000000;

// Decodes a baseline or progressive JPEG (greyscale, YCbCr, RGB, CMYK or
// YCCK) into `bitmap`. False, with `bitmap` untouched, for anything libjpeg
// cannot read or an image over MaxDecodedImageBytes. A truncated file gives
// the part that was present, as libjpeg recovers it.
bool DecodeJpegImage(const uint8_t* data, size_t size, TPlainBitmap& bitmap);
