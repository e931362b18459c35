#include "FakeCamPattern.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace fakecam {
namespace {

struct Yuv {
    uint8_t y, u, v;
};

// 75% colour bars in BT.601 limited range.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

const uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

inline uint8_t ClampY(int y) { return static_cast<uint8_t>(std::clamp(y, 16, 235)); }

void FillRect(uint8_t* out, uint32_t width, uint32_t height, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, Yuv c)
{
    x0 &= ~1u;
    const uint32_t x1 = std::min(width, x0 + w), y1 = std::min(height, y0 + h);
    for (uint32_t y = y0; y < y1; ++y) {
        uint8_t* row = out + static_cast<size_t>(y) * width * 2;
        for (uint32_t x = x0; x + 1 < x1; x += 2) {
            row[x * 2] = c.y;
            row[x * 2 + 1] = c.u;
            row[x * 2 + 2] = c.y;
            row[x * 2 + 3] = c.v;
        }
    }
}

} // namespace

void DrawYuyv(const PatternParams& p, uint8_t* out)
{
    const uint32_t w = p.width, h = p.height;
    const uint32_t band = std::max<uint32_t>(8, w / 8) & ~1u;
    const uint32_t scroll = static_cast<uint32_t>((p.frame * 2) % (band * 8));
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = out + static_cast<size_t>(y) * w * 2;
        const uint32_t slant = y / 4;
        for (uint32_t x = 0; x < w; x += 2) {
            const Yuv c = kBars[((x + scroll + slant) / band + static_cast<uint32_t>(p.input)) % 8];
            const uint8_t yy = ClampY(c.y + p.brightness);
            row[x * 2] = yy;
            row[x * 2 + 1] = c.u;
            row[x * 2 + 2] = yy;
            row[x * 2 + 3] = c.v;
        }
    }
    // The crossing block.
    const uint32_t block = std::max<uint32_t>(16, h / 6);
    if (w > block) {
        const uint32_t x = static_cast<uint32_t>((p.frame * 8) % (w - block));
        FillRect(out, w, h, x, h - block - h / 10, block, block, {235, 128, 128});
    }
    // The frame number: six digits, white on black.
    const uint32_t scale = std::max<uint32_t>(2, h / 60);
    char text[16];
    std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(p.frame % 1000000));
    const uint32_t ox = 2 * scale, oy = 2 * scale;
    FillRect(out, w, h, ox - scale, oy - scale, (6 * 6 + 1) * scale, 9 * scale, {16, 128, 128});
    for (int i = 0; i < 6; ++i) {
        const uint8_t* glyph = kDigits[text[i] - '0'];
        for (uint32_t gy = 0; gy < 7; ++gy)
            for (uint32_t gx = 0; gx < 5; ++gx)
                if (glyph[gy] & (0x10 >> gx))
                    FillRect(out, w, h, ox + (static_cast<uint32_t>(i) * 6 + gx) * scale, oy + gy * scale, scale + 1, scale,
                             {235, 128, 128});
    }
}

void EncodeJpeg(const uint8_t* yuyv, uint32_t width, uint32_t height, std::vector<uint8_t>& out)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_YCbCr);
    // 4:2:2 as USB cameras send it.
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 1;
    cinfo.comp_info[1].h_samp_factor = cinfo.comp_info[2].h_samp_factor = 1;
    cinfo.comp_info[1].v_samp_factor = cinfo.comp_info[2].v_samp_factor = 1;
    cinfo.dct_method = JDCT_IFAST;
    jpeg_set_quality(&cinfo, 80, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    while (cinfo.next_scanline < height) {
        const uint8_t* in = yuyv + static_cast<size_t>(cinfo.next_scanline) * width * 2;
        for (uint32_t x = 0; x < width; x += 2) {
            uint8_t* o = &row[static_cast<size_t>(x) * 3];
            o[0] = in[x * 2];
            o[1] = in[x * 2 + 1];
            o[2] = in[x * 2 + 3];
            o[3] = in[x * 2 + 2];
            o[4] = in[x * 2 + 1];
            o[5] = in[x * 2 + 3];
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    out.assign(buffer, buffer + size);
    std::free(buffer);
    jpeg_destroy_compress(&cinfo);
}

} // namespace fakecam
