#include "live/audio/AacEncoder.h"

#include "platform/ffmpeg/FfmpegLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace {

constexpr int64_t kTicksPerSecond = 10000000; // 100-ns units

std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// a * b / c rounded to nearest, for the magnitudes of timestamps here.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c)
{
    const int64_t product = a * b;
    return product >= 0 ? (product + c / 2) / c : -((-product + c / 2) / c);
}

} // namespace

AacEncoder::~AacEncoder() { Close(); }

void AacEncoder::Close()
{
    avcodec_free_context(&m_context);
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    if (m_fifo) {
        av_audio_fifo_free(m_fifo);
        m_fifo = nullptr;
    }
    swr_free(&m_resampler);
    m_inRate = m_inChannels = 0;
    m_position = m_encoded = 0;
    m_soundLast = false;
}

bool AacEncoder::Open(const AacSettings& settings, int64_t origin, std::string* error)
{
    Close();
    RouteFfmpegLog();
    m_settings = settings;
    m_settings.channels = std::clamp(settings.channels, 1, 2);
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        *error = "the AAC encoder is not available";
        return false;
    }
    m_context = avcodec_alloc_context3(codec);
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    if (!m_context || !m_packet || !m_frame) {
        Close();
        *error = "out of memory";
        return false;
    }
    m_context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_context->sample_rate = m_settings.sampleRate;
    av_channel_layout_default(&m_context->ch_layout, m_settings.channels);
    m_context->bit_rate = m_settings.bitrate;
    m_context->time_base = AVRational{1, m_settings.sampleRate};
    if (m_settings.globalHeader)
        m_context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int rc = avcodec_open2(m_context, codec, nullptr);
    if (rc < 0) {
        Close();
        *error = "the AAC encoder cannot be opened (" + AvErrorText(rc) + ")";
        return false;
    }
    m_fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, m_settings.channels, m_context->frame_size * 4);
    m_frame->format = AV_SAMPLE_FMT_FLTP;
    m_frame->nb_samples = m_context->frame_size;
    m_frame->sample_rate = m_settings.sampleRate;
    av_channel_layout_copy(&m_frame->ch_layout, &m_context->ch_layout);
    if (!m_fifo || av_frame_get_buffer(m_frame, 0) < 0) {
        Close();
        *error = "out of memory";
        return false;
    }
    m_priming = m_context->initial_padding;
    m_origin = origin + MulDivRound(m_priming, kTicksPerSecond, m_settings.sampleRate);
    return true;
}

int64_t AacEncoder::SampleAt(int64_t time) const
{
    return MulDivRound(time - m_origin, m_settings.sampleRate, kTicksPerSecond);
}

int64_t AacEncoder::Reach() const
{
    return m_origin + MulDivRound(m_position, kTicksPerSecond, m_settings.sampleRate);
}

bool AacEncoder::Convert(const TappedAudio& audio, std::string* error)
{
    if (!m_resampler || audio.sampleRate != m_inRate || audio.channels != m_inChannels) {
        swr_free(&m_resampler);
        AVChannelLayout in{}, out{};
        av_channel_layout_default(&in, audio.channels);
        av_channel_layout_default(&out, m_settings.channels);
        const int rc = swr_alloc_set_opts2(&m_resampler, &out, AV_SAMPLE_FMT_FLTP, m_settings.sampleRate, &in,
            AV_SAMPLE_FMT_S16, audio.sampleRate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (rc < 0 || swr_init(m_resampler) < 0) {
            swr_free(&m_resampler);
            *error = "the sound cannot be converted (" + std::to_string(audio.channels) + " channels at "
                + std::to_string(audio.sampleRate) + " Hz)";
            return false;
        }
        m_inRate = audio.sampleRate;
        m_inChannels = audio.channels;
    }
    const int inFrames = static_cast<int>(std::min<size_t>(audio.frames, INT32_MAX / 16));
    const int room = swr_get_out_samples(m_resampler, inFrames);
    if (room < 0) {
        *error = "the sound cannot be converted";
        return false;
    }
    m_converted.resize(static_cast<size_t>(room) * static_cast<size_t>(m_settings.channels));
    uint8_t* planes[2] = {};
    for (int c = 0; c < m_settings.channels; ++c)
        planes[c] = reinterpret_cast<uint8_t*>(m_converted.data() + static_cast<size_t>(c) * static_cast<size_t>(room));
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(audio.samples)};
    const int made = swr_convert(m_resampler, planes, room, in, inFrames);
    if (made < 0) {
        *error = "the sound cannot be converted";
        return false;
    }
    // Planes are laid out `room` apart; keep the stride and the count.
    m_convertedFrames = made;
    if (made < room)
        for (int c = 1; c < m_settings.channels; ++c)
            std::copy_n(m_converted.begin() + static_cast<ptrdiff_t>(c) * room, made,
                m_converted.begin() + static_cast<ptrdiff_t>(c) * made);
    return true;
}

bool AacEncoder::Feed(const TappedAudio& audio, const PacketSink& packet, std::string* error)
{
    if (!m_context) {
        *error = "the AAC encoder is not open";
        return false;
    }
    if (!audio.samples || audio.frames == 0 || audio.channels < 1 || audio.channels > 8 || audio.sampleRate < 1000
        || audio.sampleRate > 384000)
        return true; // nothing usable
    if (!Convert(audio, error))
        return false;
    const int64_t start = SampleAt(audio.time);
    const int64_t tolerance = MulDivRound(m_settings.tolerance, m_settings.sampleRate, kTicksPerSecond);
    // Sound that follows sound joins on within the tolerance; sound after
    // silence (or at the start) goes exactly where its time says, as the
    // seam there cannot be heard.
    const int64_t slack = m_soundLast ? tolerance : 0;
    int64_t skip = 0;
    if (start > m_position + slack) {
        if (!AppendSilence(start - m_position, packet, error))
            return false;
    } else if (start < m_position - slack) {
        skip = std::min(m_convertedFrames, m_position - start);
    }
    const float* planes[2] = {};
    for (int c = 0; c < m_settings.channels; ++c)
        planes[c] = m_converted.data() + c * m_convertedFrames + skip;
    if (!Append(planes, m_convertedFrames - skip, packet, error))
        return false;
    // A piece cut whole leaves the next one to be placed exactly too.
    m_soundLast = skip < m_convertedFrames;
    return true;
}

bool AacEncoder::FillSilence(int64_t until, const PacketSink& packet, std::string* error)
{
    if (!m_context) {
        *error = "the AAC encoder is not open";
        return false;
    }
    const int64_t end = SampleAt(until);
    return end > m_position ? AppendSilence(end - m_position, packet, error) : true;
}

bool AacEncoder::AppendSilence(int64_t frames, const PacketSink& packet, std::string* error)
{
    m_soundLast = false;
    static const std::vector<float> zeros(4096, 0.0f);
    const float* planes[2] = {zeros.data(), zeros.data()};
    while (frames > 0) {
        const int64_t step = std::min<int64_t>(frames, static_cast<int64_t>(zeros.size()));
        if (!Append(planes, step, packet, error))
            return false;
        frames -= step;
    }
    return true;
}

bool AacEncoder::Append(const float* const* planes, int64_t frames, const PacketSink& packet, std::string* error)
{
    if (frames <= 0)
        return true;
    void* data[2] = {const_cast<float*>(planes[0]), const_cast<float*>(planes[m_settings.channels > 1 ? 1 : 0])};
    if (av_audio_fifo_write(m_fifo, data, static_cast<int>(frames)) < frames) {
        *error = "out of memory";
        return false;
    }
    m_position += frames;
    return EncodeFull(packet, error);
}

bool AacEncoder::EncodeFull(const PacketSink& packet, std::string* error)
{
    const int frameSize = m_context->frame_size;
    while (av_audio_fifo_size(m_fifo) >= frameSize) {
        if (av_frame_make_writable(m_frame) < 0) {
            *error = "out of memory";
            return false;
        }
        av_audio_fifo_read(m_fifo, reinterpret_cast<void**>(m_frame->data), frameSize);
        m_frame->pts = m_encoded;
        m_encoded += frameSize;
        int rc = avcodec_send_frame(m_context, m_frame);
        while (rc >= 0) {
            rc = avcodec_receive_packet(m_context, m_packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                break;
            if (rc < 0)
                break;
            // The priming moves to the origin: the first packet is at 0.
            m_packet->pts += m_priming;
            m_packet->dts += m_priming;
            packet(m_packet);
            av_packet_unref(m_packet);
        }
        if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
            *error = "the AAC encoder failed (" + AvErrorText(rc) + ")";
            return false;
        }
    }
    return true;
}
