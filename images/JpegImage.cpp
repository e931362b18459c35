#include "images/JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include <jpeglib.h>

namespace {

struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

// libjpeg reports a fatal error by calling error_exit, which must not
// return; we jump back to DecodeJpegImage. No C++ object with a destructor
// is created between setjmp and the calls that may jump.
[[noreturn]] void JpegErrorExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

void JpegOutputMessage(j_common_ptr) {}

struct JpegOutput {
    TPlainBitmap bitmap;
    std::vector<uint8_t> row;
    bool ok = false;
};

// Adobe writes CMYK inverted; everyone who reads it treats it that way.
void CmykRowToRgb(const uint8_t* cmyk, uint8_t* rgb, int width, bool inverted)
{
    for (int x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        int c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c; m = 255 - m; y = 255 - y; k = 255 - k;
        }
        rgb[0] = uint8_t(c * k / 255);
        rgb[1] = uint8_t(m * k / 255);
        rgb[2] = uint8_t(y * k / 255);
    }
}

void Decode(const uint8_t* data, size_t size, JpegOutput* out)
{
    jpeg_decompress_struct cinfo;
    JpegErrorManager jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = JpegErrorExit;
    jerr.pub.output_message = JpegOutputMessage;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        out->ok = false;
        return;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    if (int64_t(cinfo.image_width) * cinfo.image_height * 4 > MaxDecodedImageBytes) {
        jpeg_destroy_decompress(&cinfo);
        return;
    }
    jpeg_start_decompress(&cinfo);
    const int width = int(cinfo.output_width);
    const int height = int(cinfo.output_height);
    try {
        out->bitmap = TPlainBitmap(width, height, TPixelFormat::pfRGB24);
        if (cmyk)
            out->row.resize(size_t(width) * 4);
    } catch (const std::bad_alloc&) {
        jpeg_destroy_decompress(&cinfo);
        return;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        JSAMPROW row = cmyk ? out->row.data() : out->bitmap.Row(y);
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
            break;
        if (cmyk)
            CmykRowToRgb(out->row.data(), out->bitmap.Row(y), width, cinfo.saw_Adobe_marker);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    out->ok = true;
}

} // namespace

bool DecodeJpegImage(const uint8_t* data, size_t size, TPlainBitmap& bitmap)
{
    if (!data || size == 0)
        return false;
    auto out = std::make_unique<JpegOutput>();
    Decode(data, size, out.get());
    if (!out->ok)
        return false;
    bitmap = std::move(out->bitmap);
    return true;
}
