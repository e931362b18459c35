#include "live/browser/Mp4Fragmenter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

constexpr int kIoBuffer = 64 * 1024;

} // namespace

Mp4Fragmenter::~Mp4Fragmenter() { Close(); }

int Mp4Fragmenter::Write(void* opaque, uint8_t* data, int size)
{
    auto* self = static_cast<Mp4Fragmenter*>(opaque);
    self->m_out.insert(self->m_out.end(), data, data + size);
    return size;
}

void Mp4Fragmenter::Close()
{
    // No trailer: a live file has no end, and the fragments already went out.
    if (m_format) {
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    m_video = nullptr;
    m_audio = nullptr;
    m_out.clear();
}

bool Mp4Fragmenter::Open(const AVCodecContext* video, std::vector<uint8_t>* init, std::string* error)
{
    return Open(video, nullptr, init, error);
}

bool Mp4Fragmenter::Open(const AVCodecContext* video, const AVCodecContext* audio, std::vector<uint8_t>* init,
    std::string* error)
{
    Close();
    auto fail = [&](std::string text) {
        Close();
        *error = std::move(text);
        return false;
    };
    if (avformat_alloc_output_context2(&m_format, nullptr, "mp4", nullptr) < 0 || !m_format)
        return fail("the MP4 muxer is not available");
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
    if (!buffer)
        return fail("out of memory");
    m_io = avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, &Mp4Fragmenter::Write, nullptr);
    if (!m_io) {
        av_free(buffer);
        return fail("out of memory");
    }
    m_io->seekable = 0;
    m_format->pb = m_io;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_video = avformat_new_stream(m_format, nullptr);
    if (!m_video || avcodec_parameters_from_context(m_video->codecpar, video) < 0)
        return fail("the MP4 muxer is not available");
    m_video->time_base = video->time_base;
    m_videoTimeBaseNum = video->time_base.num;
    m_videoTimeBaseDen = video->time_base.den;
    if (audio) {
        m_audio = avformat_new_stream(m_format, nullptr);
        if (!m_audio || avcodec_parameters_from_context(m_audio->codecpar, audio) < 0)
            return fail("the MP4 muxer is not available");
        // The encoder's timestamps already place its priming: no edit list
        // should cut it again.
        m_audio->codecpar->initial_padding = 0;
        m_audio->time_base = audio->time_base;
        m_audioTimeBaseNum = audio->time_base.num;
        m_audioTimeBaseDen = audio->time_base.den;
    }

    AVDictionary* options = nullptr;
    // empty_moov: the header is complete without samples; default_base_moof:
    // offsets relative to each moof, as Media Source Extensions require;
    // frag_custom: a fragment ends where we flush, after every packet.
    av_dict_set(&options, "movflags", "empty_moov+default_base_moof+frag_custom+skip_trailer", 0);
    av_dict_set(&options, "video_track_timescale", "90000", 0);
    const int rc = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (rc < 0)
        return fail("the MP4 muxer cannot start (" + AvErrorText(rc) + ")");
    avio_flush(m_io);
    *init = std::move(m_out);
    m_out = {};
    return true;
}

bool Mp4Fragmenter::Fragment(AVPacket* packet, std::vector<uint8_t>* fragment, std::string* error)
{
    if (!m_format) {
        *error = "the MP4 muxer is not open";
        return false;
    }
    // A fragment ends before the next packet is known, so the muxer takes
    // the sample's length from the packet: one frame (a tick of the
    // encoder's time base).
    if (packet->duration <= 0)
        packet->duration = 1;
    av_packet_rescale_ts(packet, AVRational{m_videoTimeBaseNum, m_videoTimeBaseDen}, m_video->time_base);
    packet->stream_index = m_video->index;
    int rc = av_write_frame(m_format, packet);
    if (rc >= 0)
        rc = av_write_frame(m_format, nullptr); // ends the fragment
    if (rc < 0) {
        *error = "the MP4 muxer failed (" + AvErrorText(rc) + ")";
        return false;
    }
    avio_flush(m_io);
    *fragment = std::move(m_out);
    m_out = {};
    return true;
}

bool Mp4Fragmenter::AddAudio(AVPacket* packet, std::string* error)
{
    if (!m_format || !m_audio) {
        *error = "the MP4 muxer has no audio track";
        return false;
    }
    av_packet_rescale_ts(packet, AVRational{m_audioTimeBaseNum, m_audioTimeBaseDen}, m_audio->time_base);
    packet->stream_index = m_audio->index;
    const int rc = av_write_frame(m_format, packet);
    if (rc < 0) {
        *error = "the MP4 muxer failed (" + AvErrorText(rc) + ")";
        return false;
    }
    return true;
}
