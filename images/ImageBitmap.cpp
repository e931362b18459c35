#include "images/ImageBitmap.h"

#include <algorithm>
#include <cstring>

size_t TPlainBitmap::RowBytes(int width, TPixelFormat format)
{
    const size_t bytes = size_t(width) * (format == TPixelFormat::pfRGB24 ? 3 : 1);
    return (bytes + 3) & ~size_t(3);
}

TPlainBitmap::TPlainBitmap(int width, int height, TPixelFormat format, uint8_t fill)
    : m_width(std::max(width, 0)), m_height(std::max(height, 0)), m_format(format),
      m_stride(RowBytes(m_width, format)), m_bits(m_stride * size_t(m_height), fill)
{
}

uint32_t TPlainBitmap::Pixel(int x, int y) const
{
    const uint8_t* p = Row(y) + size_t(x) * 3;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}

TPlainBitmap TPlainBitmap::Copy(const TImageRect& area) const
{
    const int left = std::clamp(area.Left, 0, m_width);
    const int right = std::clamp(area.Right, left, m_width);
    const int top = std::clamp(area.Top, 0, m_height);
    const int bottom = std::clamp(area.Bottom, top, m_height);
    TPlainBitmap copy(right - left, bottom - top, m_format);
    const size_t bytes = size_t(right - left) * size_t(BytesPerPixel());
    for (int y = top; y < bottom; ++y)
        if (bytes)
            std::memcpy(copy.Row(y - top), Row(y) + size_t(left) * size_t(BytesPerPixel()), bytes);
    return copy;
}

void TBitmapCanvas::StretchDraw(const TImageRect& dest, const TPlainBitmap& bitmap,
                                const TPlainBitmap* mask, const TImageRect& source)
{
    if (dest.IsEmpty() || source.IsEmpty() || bitmap.Format() != TPixelFormat::pfRGB24 ||
        m_target.Format() != TPixelFormat::pfRGB24)
        return;
    if (mask && (mask->Width() != bitmap.Width() || mask->Height() != bitmap.Height()))
        mask = nullptr;
    const int x0 = std::max(dest.Left, 0), x1 = std::min(dest.Right, m_target.Width());
    const int y0 = std::max(dest.Top, 0), y1 = std::min(dest.Bottom, m_target.Height());
    for (int y = y0; y < y1; ++y) {
        const int sy = source.Top + int(int64_t(y - dest.Top) * source.Height() / dest.Height());
        if (sy < 0 || sy >= bitmap.Height())
            continue;
        for (int x = x0; x < x1; ++x) {
            const int sx = source.Left + int(int64_t(x - dest.Left) * source.Width() / dest.Width());
            if (sx < 0 || sx >= bitmap.Width())
                continue;
            if (mask && mask->Row(sy)[sx] == MaskTransparent)
                continue;
            std::memcpy(m_target.Row(y) + size_t(x) * 3, bitmap.Row(sy) + size_t(sx) * 3, 3);
        }
    }
}
