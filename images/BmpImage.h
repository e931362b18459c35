#pragma once
// Windows bitmap (.bmp) decoding for the viewer.

#include "images/ImageBitmap.h"

#include <cstddef>
#include <cstdint>

// Reads a BMP file: OS/2 (12-byte) and Windows (40, 52, 56, 108, 124-byte)
// headers, bottom-up or top-down, 1, 4 and 8 bits with a palette (also RLE8
// and RLE4), 16 and 32 bits (plain or with bit-field masks) and 24 bits.
// False, with `bitmap` untouched, for anything else, for pixel data that
// lies outside the file, or an image over 200 000 000 bytes of pixels.
bool DecodeBmpImage(const uint8_t* data, size_t size, TPlainBitmap& bitmap);
