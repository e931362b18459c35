#include "live/h264/H264Encoder.h"

#include "platform/ffmpeg/FfmpegLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>

namespace {

std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Frees the shared picture when the encoder lets go of the frame.
void ReleasePicture(void* opaque, uint8_t*)
{
    delete static_cast<std::shared_ptr<const std::vector<uint8_t>>*>(opaque);
}

std::atomic<int> g_open{0};

} // namespace

H264Encoder::~H264Encoder() { Close(); }

int H264Encoder::OpenNow() { return g_open.load(); }

void H264Encoder::Close()
{
    if (m_opened) {
        m_opened = false;
        --g_open;
    }
    avcodec_free_context(&m_context);
    av_packet_free(&m_packet);
    m_lastPts = -1;
}

bool H264Encoder::Open(const H264Settings& settings, std::string* error)
{
    Close();
    RouteFfmpegLog();
    m_settings = settings;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        *error = "the H.264 encoder (libx264) is not available";
        return false;
    }
    if (settings.width <= 0 || settings.height <= 0 || settings.width % 2 || settings.height % 2) {
        *error = "the H.264 encoder needs an even picture size";
        return false;
    }
    m_context = avcodec_alloc_context3(codec);
    m_packet = av_packet_alloc();
    if (!m_context || !m_packet) {
        Close();
        *error = "out of memory";
        return false;
    }
    const int64_t interval = settings.frameInterval > 0 ? settings.frameInterval : 666667;
    AVRational tb{static_cast<int>(interval), 10000000};
    const int g = std::gcd(tb.num, tb.den);
    tb = {tb.num / g, tb.den / g};
    m_context->width = settings.width;
    m_context->height = settings.height;
    m_context->pix_fmt = AV_PIX_FMT_YUV420P;
    m_context->time_base = tb;
    m_context->framerate = AVRational{tb.den, tb.num};
    // Key frames come when asked for; the encoder on its own makes one only
    // after a minute, as a safety net.
    const double fps = static_cast<double>(tb.den) / tb.num;
    m_context->gop_size = std::max(1, static_cast<int>(std::lround(60.0 * fps)));
    m_context->max_b_frames = 0;
    const int64_t bitrate = std::max<int64_t>(16000, settings.bitrate);
    m_context->bit_rate = bitrate;
    m_context->rc_max_rate = bitrate;
    m_context->rc_min_rate = 0;
    m_context->rc_buffer_size = static_cast<int>(std::min<int64_t>(bitrate, INT32_MAX));
    if (settings.globalHeader)
        m_context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(m_context->priv_data, "preset", settings.preset.c_str(), 0);
    av_opt_set(m_context->priv_data, "tune", "zerolatency", 0);
    // Constrained baseline: every browser and phone decodes it.
    av_opt_set(m_context->priv_data, "profile", "baseline", 0);
    // A key frame asked for is an IDR frame, where a decoder can start.
    av_opt_set(m_context->priv_data, "forced-idr", "1", 0);
    av_opt_set(m_context->priv_data, "x264-params", "scenecut=0", 0);
    const int rc = avcodec_open2(m_context, codec, nullptr);
    if (rc < 0) {
        Close();
        *error = "the H.264 encoder cannot be opened (" + AvErrorText(rc) + ")";
        return false;
    }
    m_opened = true;
    ++g_open;
    return true;
}

bool H264Encoder::Encode(const TappedPicture& picture, FrameKind kind, const std::function<void(AVPacket*)>& packet,
    std::string* error)
{
    if (!m_context) {
        *error = "the H.264 encoder is not open";
        return false;
    }
    const int width = m_settings.width, height = m_settings.height;
    const size_t luma = static_cast<size_t>(width) * height;
    if (!picture.i420 || picture.width != width || picture.height != height || picture.i420->size() < luma * 3 / 2) {
        *error = "the picture does not match the H.264 encoder's size";
        return false;
    }
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
        *error = "out of memory";
        return false;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    // The encoder reads the shared picture in place; the buffer keeps it
    // alive for as long as the encoder holds the frame.
    auto* keep = new std::shared_ptr<const std::vector<uint8_t>>(picture.i420);
    uint8_t* base = const_cast<uint8_t*>(picture.i420->data());
    frame->buf[0] = av_buffer_create(base, picture.i420->size(), &ReleasePicture, keep, AV_BUFFER_FLAG_READONLY);
    if (!frame->buf[0]) {
        delete keep;
        av_frame_free(&frame);
        *error = "out of memory";
        return false;
    }
    frame->data[0] = base;
    frame->data[1] = base + luma;
    frame->data[2] = base + luma + luma / 4;
    frame->linesize[0] = width;
    frame->linesize[1] = frame->linesize[2] = width / 2;
    if (m_lastPts < 0)
        m_t0 = picture.time;
    const int64_t interval = m_settings.frameInterval > 0 ? m_settings.frameInterval : 666667;
    int64_t pts = std::llround(static_cast<double>(picture.time - m_t0) / static_cast<double>(interval));
    if (pts <= m_lastPts)
        pts = m_lastPts + 1;
    m_lastPts = pts;
    frame->pts = pts;
    if (kind == FrameKind::Key)
        frame->pict_type = AV_PICTURE_TYPE_I;
    const int rc = avcodec_send_frame(m_context, frame);
    av_frame_free(&frame);
    if (rc < 0) {
        *error = "the H.264 encoder failed (" + AvErrorText(rc) + ")";
        return false;
    }
    return Drain(packet, error);
}

bool H264Encoder::Drain(const std::function<void(AVPacket*)>& packet, std::string* error)
{
    for (;;) {
        const int rc = avcodec_receive_packet(m_context, m_packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0) {
            *error = "the H.264 encoder failed (" + AvErrorText(rc) + ")";
            return false;
        }
        packet(m_packet);
        av_packet_unref(m_packet);
    }
}
