#include "images/BmpImage.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace {

// File header (14 bytes):
//   0 2 "BM"   2 4 file size   6 4 reserved   10 4 offset of the pixels
// Info header, OS/2 (12 bytes): size, width (2), height (2), planes (2), bits (2)
// Info header, Windows (40 bytes and longer):
//   0 4 size     4 4 width     8 4 height (negative: rows top-down)
//  12 2 planes  14 2 bits     16 4 compression (0 RGB, 1 RLE8, 2 RLE4, 3 bit fields)
//  20 4 image size   24 8 resolution   32 4 colours used   36 4 colours important
//  40 12 red, green, blue masks (inside the header from 52 bytes on; after a
//        40-byte header when the compression is bit fields)
constexpr int FileHeaderSize = 14;
constexpr uint32_t BiRgb = 0, BiRle8 = 1, BiRle4 = 2, BiBitFields = 3;
constexpr int64_t MaxPixelBytes = 200000000;

uint32_t Get16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t Get32(const uint8_t* p) { return Get16(p) | Get16(p + 2) << 16; }

// One colour channel of a bit-field pixel, widened to 8 bits by repeating
// its bits (5-bit 0x1F gives 0xFF, 0x10 gives 0x84), as other readers do.
struct Channel {
    int shift = 0;
    int bits = 0;
    uint32_t max = 0;

    explicit Channel(uint32_t mask)
    {
        if (mask == 0)
            return;
        shift = std::countr_zero(mask);
        bits = std::countr_one(mask >> shift); // a mask with gaps keeps its low run
        max = bits >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << bits) - 1;
    }
    uint8_t Get(uint32_t pixel) const
    {
        if (bits == 0)
            return 0;
        const uint64_t value = (pixel >> shift) & max;
        if (bits >= 8)
            return uint8_t(value >> (bits - 8));
        uint64_t wide = 0;
        int filled = 0;
        for (; filled < 8; filled += bits)
            wide = wide << bits | value;
        return uint8_t(wide >> (filled - 8));
    }
};

struct Header {
    int width = 0;
    int height = 0;
    bool topDown = false;
    int bits = 0;
    uint32_t compression = BiRgb;
    uint32_t masks[3] = {0, 0, 0};
    uint32_t palette[256] = {};
    int paletteCount = 0;
    size_t pixelOffset = 0;
};

bool ReadHeader(const uint8_t* data, size_t size, Header& h)
{
    if (size < FileHeaderSize + 12 || data[0] != 'B' || data[1] != 'M')
        return false;
    h.pixelOffset = Get32(data + 10);
    const uint8_t* info = data + FileHeaderSize;
    const uint32_t infoSize = Get32(info);
    size_t paletteEntry = 4;
    int64_t height;
    if (infoSize == 12) {
        h.width = int(Get16(info + 4));
        height = int16_t(Get16(info + 6));
        h.bits = int(Get16(info + 10));
        paletteEntry = 3;
    } else if (infoSize >= 40 && infoSize <= 124 && size >= FileHeaderSize + infoSize) {
        h.width = int32_t(Get32(info + 4));
        height = int32_t(Get32(info + 8));
        h.bits = int(Get16(info + 14));
        h.compression = Get32(info + 16);
        uint32_t used = Get32(info + 32);
        if (h.bits <= 8)
            h.paletteCount = int(used == 0 || used > (1u << h.bits) ? 1u << h.bits : used);
        if (h.compression == BiBitFields) {
            const size_t maskAt = FileHeaderSize + 40;
            if (infoSize < 52 && size < maskAt + 12)
                return false;
            for (int i = 0; i < 3; ++i)
                h.masks[i] = Get32(data + maskAt + 4 * size_t(i));
        }
    } else {
        return false;
    }
    if (infoSize == 12 && h.bits <= 8)
        h.paletteCount = 1 << h.bits;
    if (h.width <= 0 || height == 0 || height == INT32_MIN)
        return false;
    h.topDown = height < 0;
    h.height = int(height < 0 ? -height : height);
    if (int64_t(h.width) * h.height > MaxPixelBytes / 3)
        return false;

    switch (h.bits) {
    case 1: case 4: case 8:
        if (!(h.compression == BiRgb || (h.compression == BiRle8 && h.bits == 8) ||
              (h.compression == BiRle4 && h.bits == 4)))
            return false;
        break;
    case 16: case 32:
        if (h.compression == BiRgb) {
            h.masks[0] = h.bits == 16 ? 0x7C00 : 0xFF0000;
            h.masks[1] = h.bits == 16 ? 0x03E0 : 0x00FF00;
            h.masks[2] = h.bits == 16 ? 0x001F : 0x0000FF;
        } else if (h.compression != BiBitFields) {
            return false;
        }
        break;
    case 24:
        if (h.compression != BiRgb)
            return false;
        break;
    default:
        return false;
    }

    // The palette follows the info header (and the masks of a 40-byte one).
    size_t at = FileHeaderSize + infoSize + (infoSize == 40 && h.compression == BiBitFields ? 12 : 0);
    for (int i = 0; i < h.paletteCount; ++i, at += paletteEntry) {
        if (at + 3 > size)
            break; // entries missing from the file stay black
        h.palette[i] = uint32_t(data[at + 2]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at]) << 16;
    }
    return h.pixelOffset < size;
}

void PutColour(uint8_t* dst, uint32_t colour)
{
    dst[0] = uint8_t(colour);
    dst[1] = uint8_t(colour >> 8);
    dst[2] = uint8_t(colour >> 16);
}

bool DecodeRows(const uint8_t* data, size_t size, const Header& h, TPlainBitmap& bitmap)
{
    const size_t stride = ((size_t(h.width) * size_t(h.bits) + 31) / 32) * 4;
    if ((size - h.pixelOffset) / stride < size_t(h.height))
        return false;
    const Channel red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]);
    for (int row = 0; row < h.height; ++row) {
        const uint8_t* src = data + h.pixelOffset + size_t(row) * stride;
        uint8_t* dst = bitmap.Row(h.topDown ? row : h.height - 1 - row);
        for (int x = 0; x < h.width; ++x, dst += 3) {
            switch (h.bits) {
            case 1: PutColour(dst, h.palette[(src[x >> 3] >> (7 - (x & 7))) & 1]); break;
            case 4: PutColour(dst, h.palette[(src[x >> 1] >> ((x & 1) ? 0 : 4)) & 15]); break;
            case 8: PutColour(dst, h.palette[src[x]]); break;
            case 24:
                dst[0] = src[3 * x + 2];
                dst[1] = src[3 * x + 1];
                dst[2] = src[3 * x];
                break;
            case 16:
            case 32: {
                const uint32_t pixel = h.bits == 16 ? Get16(src + 2 * x) : Get32(src + 4 * x);
                dst[0] = red.Get(pixel);
                dst[1] = green.Get(pixel);
                dst[2] = blue.Get(pixel);
                break;
            }
            }
        }
    }
    return true;
}

// Run-length data: (count, index) pairs, or 0 followed by 0 end of line,
// 1 end of bitmap, 2 dx dy move, n >= 3 n literal indices (padded to a
// 16-bit boundary). Pixels not reached stay black; data running out ends
// the image where it stands.
bool DecodeRle(const uint8_t* data, size_t size, const Header& h, TPlainBitmap& bitmap)
{
    const bool four = h.compression == BiRle4;
    size_t at = h.pixelOffset;
    int x = 0, y = 0; // y counts rows in file order
    auto put = [&](int index) {
        if (x < h.width && y < h.height)
            PutColour(bitmap.Row(h.topDown ? y : h.height - 1 - y) + size_t(x) * 3, h.palette[index]);
        ++x;
    };
    while (at + 2 <= size && y < h.height) {
        const int count = data[at], value = data[at + 1];
        at += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i)
                put(four ? (i & 1 ? value & 15 : value >> 4) : value);
        } else if (value == 0) {
            x = 0;
            ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (at + 2 > size)
                break;
            x += data[at];
            y += data[at + 1];
            at += 2;
        } else {
            const size_t bytes = four ? (size_t(value) + 1) / 2 : size_t(value);
            if (size - at < bytes)
                break;
            for (int i = 0; i < value; ++i)
                put(four ? (i & 1 ? data[at + size_t(i / 2)] & 15 : data[at + size_t(i / 2)] >> 4) : data[at + size_t(i)]);
            at += (bytes + 1) & ~size_t(1);
        }
    }
    return true;
}

} // namespace

bool DecodeBmpImage(const uint8_t* data, size_t size, TPlainBitmap& bitmap)
{
    if (!data)
        return false;
    Header h;
    if (!ReadHeader(data, size, h))
        return false;
    try {
        TPlainBitmap decoded(h.width, h.height, TPixelFormat::pfRGB24, 0);
        const bool rle = h.compression == BiRle8 || h.compression == BiRle4;
        if (!(rle ? DecodeRle(data, size, h, decoded) : DecodeRows(data, size, h, decoded)))
            return false;
        bitmap = std::move(decoded);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
