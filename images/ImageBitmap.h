#pragma once
// The plain bitmap every image decoder of the viewer produces, and the
// drawing surface images are drawn onto. No window system here: the viewer
// wraps a TPlainBitmap in its own image type to paint it.

#include <cstddef>
#include <cstdint>
#include <vector>

enum class TPixelFormat {
    pfRGB24, // 3 bytes per pixel: red, green, blue
    pfMask8, // 1 byte per pixel: MaskOpaque or MaskTransparent
};

// Mask values: white marks a transparent pixel, black an opaque one.
constexpr uint8_t MaskOpaque = 0x00;
constexpr uint8_t MaskTransparent = 0xFF;

struct TImageRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool operator==(const TImageRect&) const = default;
};

// Rows top-down, each padded to a multiple of 4 bytes (so that a row can be
// handed to drawing libraries as is).
class TPlainBitmap {
public:
    TPlainBitmap() = default;
    // All bytes set to `fill`. Throws std::bad_alloc when memory runs out.
    TPlainBitmap(int width, int height, TPixelFormat format, uint8_t fill = 0);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    TPixelFormat Format() const { return m_format; }
    bool IsEmpty() const { return m_width <= 0 || m_height <= 0; }
    size_t Stride() const { return m_stride; }
    int BytesPerPixel() const { return m_format == TPixelFormat::pfRGB24 ? 3 : 1; }

    uint8_t* Row(int y) { return m_bits.data() + size_t(y) * m_stride; }
    const uint8_t* Row(int y) const { return m_bits.data() + size_t(y) * m_stride; }
    const uint8_t* Bits() const { return m_bits.data(); }
    size_t ByteCount() const { return m_bits.size(); }

    // The colour of a pfRGB24 pixel as R + G * 256 + B * 65536.
    uint32_t Pixel(int x, int y) const;
    // A copy of the given area (clipped to the bitmap).
    TPlainBitmap Copy(const TImageRect& area) const;

    static size_t RowBytes(int width, TPixelFormat format);

private:
    int m_width = 0;
    int m_height = 0;
    TPixelFormat m_format = TPixelFormat::pfRGB24;
    size_t m_stride = 0;
    std::vector<uint8_t> m_bits;
};

// Where images are drawn. The viewer implements it over its painter; the
// software version below draws into a TPlainBitmap.
class TImageCanvas {
public:
    virtual ~TImageCanvas() = default;
    // Stretches `source` of `bitmap` onto `dest`. With a mask (pfMask8 of the
    // bitmap's size), pixels the mask marks transparent leave the canvas as it was.
    virtual void StretchDraw(const TImageRect& dest, const TPlainBitmap& bitmap,
                             const TPlainBitmap* mask, const TImageRect& source) = 0;
};

// Nearest-neighbour stretching into a pfRGB24 bitmap, clipped to it.
class TBitmapCanvas : public TImageCanvas {
public:
    explicit TBitmapCanvas(TPlainBitmap& target) : m_target(target) {}
    void StretchDraw(const TImageRect& dest, const TPlainBitmap& bitmap,
                     const TPlainBitmap* mask, const TImageRect& source) override;

private:
    TPlainBitmap& m_target;
};
