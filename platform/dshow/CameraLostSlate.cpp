#include "platform/dshow/CameraLostSlate.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// 5 x 8 glyphs (bit 4 is the left column, row 7 the descender) for the
// letters of the slate's text.
const uint8_t* Glyph(char c)
{
    struct Entry {
        char c;
        uint8_t rows[8];
    };
    static const Entry glyphs[] = {
        {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E, 0}}, {'a', {0, 0, 0x0E, 0x01, 0x0F, 0x11, 0x0F, 0}},
        {'m', {0, 0, 0x1A, 0x15, 0x15, 0x15, 0x15, 0}},       {'e', {0, 0, 0x0E, 0x11, 0x1F, 0x10, 0x0E, 0}},
        {'r', {0, 0, 0x16, 0x19, 0x10, 0x10, 0x10, 0}},       {'l', {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0}},
        {'o', {0, 0, 0x0E, 0x11, 0x11, 0x11, 0x0E, 0}},       {'s', {0, 0, 0x0F, 0x10, 0x0E, 0x01, 0x1E, 0}},
        {'t', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06, 0}}, {'-', {0, 0, 0, 0, 0x1F, 0, 0, 0}},
        {'n', {0, 0, 0x16, 0x19, 0x11, 0x11, 0x11, 0}},       {'c', {0, 0, 0x0E, 0x10, 0x10, 0x11, 0x0E, 0}},
        {'i', {0x04, 0, 0x0C, 0x04, 0x04, 0x04, 0x0E, 0}},    {'g', {0, 0, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
    };
    static const uint8_t blank[8] = {};
    for (const auto& g : glyphs)
        if (g.c == c)
            return g.rows;
    return blank;
}

// A picture as three planes (chroma subsampled by cw x ch), whatever the
// layout: YUY2 is addressed through its own accessors.
struct Planes {
    int width = 0, height = 0;
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    int yStride = 0, cStride = 0;
    int cw = 2, ch = 2; // chroma subsampling
    int yStep = 1, cStep = 1; // bytes between neighbouring samples (2 and 4 for YUY2)
    uint8_t black = 16; // 0 for full-range (JPEG) pictures

    uint8_t& Y(int x, int yy) { return y[yy * yStride + x * yStep]; }
    uint8_t& U(int x, int yy) { return u[(yy / ch) * cStride + (x / cw) * cStep]; }
    uint8_t& V(int x, int yy) { return v[(yy / ch) * cStride + (x / cw) * cStep]; }
};

// Darkens the picture to about a third and writes the text in white on a
// black band across the middle.
void Compose(Planes& p, bool haveLast)
{
    for (int yy = 0; yy < p.height; ++yy)
        for (int x = 0; x < p.width; ++x) {
            uint8_t& l = p.Y(x, yy);
            l = haveLast ? static_cast<uint8_t>(p.black + (l - p.black) / 3) : static_cast<uint8_t>(p.black + 40);
        }
    for (int yy = 0; yy < p.height; yy += p.ch)
        for (int x = 0; x < p.width; x += p.cw) {
            uint8_t& u = p.U(x, yy);
            uint8_t& v = p.V(x, yy);
            u = haveLast ? static_cast<uint8_t>(128 + (u - 128) / 3) : 128;
            v = haveLast ? static_cast<uint8_t>(128 + (v - 128) / 3) : 128;
        }
    const int length = static_cast<int>(std::strlen(kCameraLostText));
    const int scale = std::max(1, p.width * 3 / 4 / (length * 6));
    const int textW = length * 6 * scale, textH = 8 * scale;
    const int x0 = std::max(0, (p.width - textW) / 2), y0 = std::max(0, (p.height - textH) / 2);
    const int bandTop = std::max(0, y0 - 2 * scale), bandBottom = std::min(p.height, y0 + textH + 2 * scale);
    for (int yy = bandTop; yy < bandBottom; ++yy)
        for (int x = 0; x < p.width; ++x)
            p.Y(x, yy) = p.black;
    const uint8_t white = p.black == 0 ? 255 : 235;
    for (int i = 0; i < length; ++i) {
        const uint8_t* g = Glyph(kCameraLostText[i]);
        for (int gy = 0; gy < 8; ++gy)
            for (int gx = 0; gx < 5; ++gx) {
                if (!(g[gy] & (0x10 >> gx)))
                    continue;
                for (int sy = 0; sy < scale; ++sy)
                    for (int sx = 0; sx < scale; ++sx) {
                        const int x = x0 + (i * 6 + gx) * scale + sx, yy = y0 + gy * scale + sy;
                        if (x < p.width && yy < p.height)
                            p.Y(x, yy) = white;
                    }
            }
    }
    for (int yy = bandTop; yy < bandBottom; yy += p.ch)
        for (int x = 0; x < p.width; x += p.cw)
            p.U(x, yy) = p.V(x, yy) = 128;
}

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Decodes the last JPEG frame (or makes a blank 4:2:0 picture), composes the
// slate on it and encodes it again as a JPEG.
std::vector<uint8_t> MjpegSlate(int width, int height, const uint8_t* last, size_t size)
{
    std::unique_ptr<AVFrame, FrameFree> picture(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!picture || !packet)
        return {};
    bool decoded = false;
    if (last && size > 0) {
        const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        std::unique_ptr<AVCodecContext, CodecContextFree> dec(decoder ? avcodec_alloc_context3(decoder) : nullptr);
        std::vector<uint8_t> data(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(data.data(), last, size);
        packet->data = data.data();
        packet->size = static_cast<int>(size);
        decoded = dec && avcodec_open2(dec.get(), decoder, nullptr) == 0 && avcodec_send_packet(dec.get(), packet.get()) == 0 &&
                  avcodec_receive_frame(dec.get(), picture.get()) == 0 && picture->width == width && picture->height == height &&
                  (picture->format == AV_PIX_FMT_YUVJ420P || picture->format == AV_PIX_FMT_YUVJ422P ||
                   picture->format == AV_PIX_FMT_YUVJ444P);
        packet->data = nullptr;
        packet->size = 0;
        if (decoded && av_frame_make_writable(picture.get()) < 0)
            decoded = false;
    }
    if (!decoded) {
        av_frame_unref(picture.get());
        picture->format = AV_PIX_FMT_YUVJ420P;
        picture->width = width;
        picture->height = height;
        if (av_frame_get_buffer(picture.get(), 0) < 0)
            return {};
    }
    Planes p;
    p.width = width;
    p.height = height;
    p.y = picture->data[0];
    p.u = picture->data[1];
    p.v = picture->data[2];
    p.yStride = picture->linesize[0];
    p.cStride = picture->linesize[1];
    p.cw = picture->format == AV_PIX_FMT_YUVJ444P ? 1 : 2;
    p.ch = picture->format == AV_PIX_FMT_YUVJ420P ? 2 : 1;
    p.black = 0;
    Compose(p, decoded);

    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    std::unique_ptr<AVCodecContext, CodecContextFree> enc(encoder ? avcodec_alloc_context3(encoder) : nullptr);
    if (!enc)
        return {};
    enc->width = width;
    enc->height = height;
    enc->pix_fmt = static_cast<AVPixelFormat>(picture->format);
    enc->time_base = {1, 25};
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    enc->global_quality = FF_QP2LAMBDA * 4;
    picture->quality = enc->global_quality;
    picture->pts = 0;
    if (avcodec_open2(enc.get(), encoder, nullptr) < 0 || avcodec_send_frame(enc.get(), picture.get()) < 0 ||
        avcodec_receive_packet(enc.get(), packet.get()) < 0)
        return {};
    return std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

} // namespace

std::vector<uint8_t> MakeCameraLostSlate(const AM_MEDIA_TYPE& type, const uint8_t* last, size_t size)
{
    const int w = type.video.biWidth, h = std::abs(type.video.biHeight);
    if (w <= 0 || h <= 0)
        return {};
    if (type.subtype == MEDIASUBTYPE_MJPG)
        return MjpegSlate(w, h, last, size);
    const size_t bytes = VideoFrameBytes(type.subtype, w, h);
    if (bytes == 0 || (!(type.subtype == MEDIASUBTYPE_YUY2) && !(type.subtype == MEDIASUBTYPE_I420)))
        return {};
    const bool haveLast = last && size >= bytes;
    std::vector<uint8_t> out(bytes);
    if (haveLast)
        std::memcpy(out.data(), last, bytes);
    Planes p;
    p.width = w;
    p.height = h;
    if (type.subtype == MEDIASUBTYPE_YUY2) {
        // Y0 U Y1 V: luma every 2 bytes, each chroma every 4.
        p.y = out.data();
        p.u = out.data() + 1;
        p.v = out.data() + 3;
        p.yStride = p.cStride = w * 2;
        p.yStep = 2;
        p.cStep = 4;
        p.cw = 2;
        p.ch = 1;
    } else {
        p.y = out.data();
        p.u = p.y + static_cast<size_t>(w) * h;
        p.v = p.u + static_cast<size_t>(w / 2) * (h / 2);
        p.yStride = w;
        p.cStride = w / 2;
    }
    Compose(p, haveLast);
    return out;
}
