// libjpeg-turbo in raw-data mode: rows of the I420 planes are handed over
// in groups of 16 luma and 8 chroma rows (one MCU row of 4:2:0).

#include "live/browser/JpegEncoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

struct JpegEncoder::State {
    jpeg_compress_struct cinfo{};
    struct Error {
        jpeg_error_mgr mgr{};
        std::jmp_buf jump{};
    } error;
    bool ready = false;

    static void OnError(j_common_ptr c)
    {
        // The library must not exit the program: unwind to Encode instead.
        std::longjmp(reinterpret_cast<Error*>(c->err)->jump, 1);
    }
    static void OnMessage(j_common_ptr, int) {}
};

JpegEncoder::JpegEncoder() : m_state(std::make_unique<State>())
{
    State& s = *m_state;
    s.cinfo.err = jpeg_std_error(&s.error.mgr);
    s.error.mgr.error_exit = State::OnError;
    s.error.mgr.emit_message = State::OnMessage;
    if (setjmp(s.error.jump) == 0) {
        jpeg_create_compress(&s.cinfo);
        s.ready = true;
    }
}

JpegEncoder::~JpegEncoder()
{
    if (m_state->ready)
        jpeg_destroy_compress(&m_state->cinfo);
}

bool JpegEncoder::Encode(const uint8_t* i420, int width, int height, int quality, std::vector<uint8_t>* out)
{
    if (!out)
        return false;
    out->clear();
    State& s = *m_state;
    if (!s.ready || !i420 || width < 2 || height < 2 || width % 2 || height % 2 || width > 8192 || height > 8192)
        return false;
    const auto w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const uint8_t* planes[3] = {i420, i420 + w * h, i420 + w * h + (w / 2) * (h / 2)};

    // Rows past the picture's end repeat its last row (the library wants
    // whole MCU rows).
    JSAMPROW rowsY[16], rowsU[8], rowsV[8];
    JSAMPARRAY groups[3] = {rowsY, rowsU, rowsV};

    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_compress_struct& c = s.cinfo;
    if (setjmp(s.error.jump) != 0) {
        jpeg_abort_compress(&c);
        std::free(buffer);
        out->clear();
        return false;
    }
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 3;
    c.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, JCS_YCbCr);
    jpeg_set_quality(&c, quality < 1 ? 1 : quality > 100 ? 100 : quality, TRUE);
    c.raw_data_in = TRUE;
    c.dct_method = JDCT_ISLOW;
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 2;
    for (int i = 1; i < 3; ++i)
        c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        const size_t top = c.next_scanline;
        for (size_t r = 0; r < 16; ++r) {
            const size_t y = top + r < h ? top + r : h - 1;
            rowsY[r] = const_cast<JSAMPROW>(planes[0] + y * w);
        }
        for (size_t r = 0; r < 8; ++r) {
            const size_t y = top / 2 + r < h / 2 ? top / 2 + r : h / 2 - 1;
            rowsU[r] = const_cast<JSAMPROW>(planes[1] + y * (w / 2));
            rowsV[r] = const_cast<JSAMPROW>(planes[2] + y * (w / 2));
        }
        jpeg_write_raw_data(&c, groups, 16);
    }
    jpeg_finish_compress(&c);
    out->assign(buffer, buffer + size);
    std::free(buffer);
    return !out->empty();
}
