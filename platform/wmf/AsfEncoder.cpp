// WMV2/WMA2 encoding with FFmpeg and ASF packetising.

#include "platform/wmf/AsfEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

// WMV2's coarsest quantiser.
constexpr double kMaxQuantiser = 31;
// The constant-bitrate bucket: how far (in seconds of the stream's rate)
// a picture is planned to run the bytes sent ahead of the budget. A player
// needs this much preroll to have a picture in time on a link of exactly
// the stream's rate, and players that add the preroll to their own buffer
// play that much further behind live; so the bucket is only as large as
// the largest picture needs: a key frame at the coarsest quantiser (key
// frames are never dropped), about kCoarseKeyBytesPerPixel for camera-like
// scenes. Within these bounds; pictures are dropped only past the largest.
constexpr double kMinBucketSeconds = 0.15;
constexpr double kMaxBucketSeconds = 1.0;
constexpr double kCoarseKeyBytesPerPixel = 0.025;
// The preroll over the bucket: the packet a picture ends in, and jitter.
constexpr double kPrerollMarginMs = 50;
// The longest a viewer waits for the next picture, 100-ns units.
constexpr int64_t kMaxGap100ns = 4000000;

double BucketSeconds(const std::vector<WMStreamFormat>& streams)
{
    double bytesPerSecond = 0, coarseKey = 0;
    for (const auto& f : streams) {
        bytesPerSecond += f.bitrate / 8.0;
        if (f.IsVideo())
            coarseKey = std::max(coarseKey, f.width * f.height * kCoarseKeyBytesPerPixel);
    }
    if (bytesPerSecond <= 0)
        return kMaxBucketSeconds;
    return std::clamp(coarseKey / bytesPerSecond, kMinBucketSeconds, kMaxBucketSeconds);
}

} // namespace

struct AsfEncoder::Stream {
    WMStreamFormat format;
    uint8_t number = 0;
    bool leading = false;
    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    // video
    SwsContext* scaler = nullptr;
    int scalerWidth = 0, scalerHeight = 0;
    PixelLayout scalerLayout = PixelLayout::RGB32;
    bool scalerHalf = false;
    int64_t lastPts = -1;
    int64_t lastKeyPts = -1;
    int64_t lastTappedPts = -1;
    // Rate control: bytes of a picture ~ complexity / quantiser, learnt
    // separately for key frames and the others.
    double keyComplexity = 0, deltaComplexity = 0;
    double quantiser = 0; // of the picture being encoded
    double qmin = 2;
    // audio
    std::vector<std::vector<float>> pending; // per channel
    int64_t samplesSent = 0;
    bool audioStarted = false;

    ~Stream()
    {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
    }
};

size_t PictureBytes(PixelLayout layout, int width, int height)
{
    if (width <= 0 || height <= 0 || width > 8192 || height > 8192)
        return 0;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    switch (layout) {
    case PixelLayout::RGB32: return w * h * 4;
    case PixelLayout::YUY2: return width % 2 ? 0 : w * h * 2;
    case PixelLayout::I420: return (width % 2 || height % 2) ? 0 : w * h * 3 / 2;
    }
    return 0;
}

namespace {

int WriteToVector(void* opaque, uint8_t* buf, int size)
{
    auto* out = static_cast<std::vector<uint8_t>*>(opaque);
    out->insert(out->end(), buf, buf + size);
    return size;
}

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The packet size: about half a video frame at the profile's total rate, so
// that most frames fill a packet at once and leave without waiting.
uint32_t ChoosePacketSize(const std::vector<WMStreamFormat>& streams)
{
    double total = 0, fps = 0;
    for (const auto& s : streams) {
        total += s.bitrate;
        fps = std::max(fps, s.FramesPerSecond());
    }
    if (fps <= 0)
        fps = 10; // audio only: a packet every 100 ms
    const double bytesPerFrame = total / 8.0 / fps;
    const auto size = static_cast<uint32_t>(std::clamp(bytesPerFrame / 2.0, 200.0, 3200.0));
    return size & ~3u;
}

} // namespace

std::unique_ptr<AsfEncoder> AsfEncoder::Create(const std::vector<WMStreamFormat>& streams, const std::string& title,
    asf::PacketWriter::Emit emit, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::unique_ptr<AsfEncoder> {
        if (error)
            *error = why;
        return nullptr;
    };
    if (streams.empty() || streams.size() > 127)
        return fail("no streams");
    std::unique_ptr<AsfEncoder> enc(new AsfEncoder);
    const uint32_t packetSize = ChoosePacketSize(streams);
    // Share of a packet left for media data (packet and payload headers).
    const double payloadShare = static_cast<double>(packetSize - 40) / packetSize;
    bool haveVideo = false;
    for (const auto& f : streams)
        haveVideo |= f.IsVideo();

    for (size_t i = 0; i < streams.size(); ++i) {
        auto s = std::make_unique<Stream>();
        s->format = streams[i];
        s->number = static_cast<uint8_t>(i + 1); // the muxer numbers streams in order
        const WMStreamFormat& f = s->format;
        const AVCodec* codec = avcodec_find_encoder(f.IsVideo() ? AV_CODEC_ID_WMV2 : AV_CODEC_ID_WMAV2);
        if (!codec)
            return fail("encoder not available");
        s->codec = avcodec_alloc_context3(codec);
        s->frame = av_frame_alloc();
        s->packet = av_packet_alloc();
        if (!s->codec || !s->frame || !s->packet)
            return fail("out of memory");
        AVCodecContext* c = s->codec;
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (f.IsVideo()) {
            s->leading = true;
            c->width = f.width;
            c->height = f.height;
            c->pix_fmt = AV_PIX_FMT_YUV420P;
            int num = 1, den = 15;
            av_reduce(&num, &den, static_cast<int64_t>(f.avgTimePerFrame), 10000000, 65535);
            c->time_base = AVRational{num, den};
            c->framerate = AVRational{den, num};
            // Constant bitrate by our own rate control (EncodeVideo): each
            // picture is coded at the quantiser its share of the budget buys.
            c->bit_rate = static_cast<int64_t>(f.bitrate * payloadShare);
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = static_cast<int>(kMaxQuantiser / 2 * FF_QP2LAMBDA);
            c->max_b_frames = 0;
            // Key frames are ours to place (by time and on request); the
            // encoder adds none on its own.
            c->gop_size = 600;
            av_opt_set_int(c, "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
            // At generous rates let easy pictures use the finest quantiser.
            const double bitsPerPixel = static_cast<double>(f.bitrate) / (f.width * f.height * f.FramesPerSecond());
            s->qmin = bitsPerPixel >= 0.15 ? 1 : 2;
            c->qmin = static_cast<int>(s->qmin);
            c->qmax = static_cast<int>(kMaxQuantiser);
            av_opt_set_int(c->priv_data, "lmin", static_cast<int64_t>(s->qmin * FF_QP2LAMBDA), 0);
            // Still backgrounds: always weigh a macroblock left where it was.
            av_opt_set(c->priv_data, "mpv_flags", "+mv0", 0);
            // Starting guesses of the picture model (bytes x quantiser).
            s->keyComplexity = f.width * f.height * 0.8;
            s->deltaComplexity = f.width * f.height * 0.1;
            c->thread_count = 1;
        } else {
            s->leading = !haveVideo;
            c->sample_rate = f.sampleRate;
            c->sample_fmt = AV_SAMPLE_FMT_FLTP;
            av_channel_layout_default(&c->ch_layout, f.channels);
            c->bit_rate = f.bitrate;
            c->time_base = AVRational{1, f.sampleRate};
            s->pending.resize(static_cast<size_t>(f.channels));
        }
        const int rc = avcodec_open2(c, codec, nullptr);
        if (rc < 0)
            return fail("cannot open encoder: " + AvError(rc));
        enc->m_streams.push_back(std::move(s));
    }

    // The header, from the muxer, into memory.
    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, "asf", nullptr) < 0 || !oc)
        return fail("ASF muxer not available");
    std::vector<uint8_t> bytes;
    const int ioSize = 4096;
    auto* ioBuffer = static_cast<unsigned char*>(av_malloc(ioSize));
    AVIOContext* io = avio_alloc_context(ioBuffer, ioSize, 1, &bytes, nullptr, WriteToVector, nullptr);
    std::string problem;
    if (!io) {
        av_free(ioBuffer);
        problem = "out of memory";
    } else {
        io->seekable = 0;
        oc->pb = io;
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
        if (!title.empty())
            av_dict_set(&oc->metadata, "title", title.c_str(), 0);
        for (auto& s : enc->m_streams) {
            AVStream* st = avformat_new_stream(oc, nullptr);
            if (!st || avcodec_parameters_from_context(st->codecpar, s->codec) < 0) {
                problem = "cannot add stream";
                break;
            }
            st->time_base = AVRational{1, 1000};
        }
        if (problem.empty()) {
            AVDictionary* options = nullptr;
            av_dict_set_int(&options, "packet_size", packetSize, 0);
            const int rc = avformat_write_header(oc, &options);
            av_dict_free(&options);
            if (rc < 0)
                problem = "cannot write header: " + AvError(rc);
            else {
                avio_flush(io);
                enc->m_header = bytes;
                av_write_trailer(oc); // its index and end marker are not ours
            }
        }
        av_freep(&io->buffer); // ours, possibly replaced by the context
        avio_context_free(&io);
    }
    avformat_free_context(oc);
    if (!problem.empty())
        return fail(problem);

    asf::HeaderInfo info;
    if (!asf::ParseHeader(enc->m_header.data(), enc->m_header.size(), &info)
        || enc->m_header.size() != info.headerObjectSize + asf::kDataObjectHeaderSize || info.packetSize != packetSize)
        return fail("muxer wrote an unexpected header");
    // What the muxer cannot know: the start time, the preroll a live
    // stream needs (not the muxer's fixed one), the rates of the streams.
    asf::StreamFacts facts;
    facts.creationTime = asf::FileTimeFromUnixMicros(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count());
    // Players may start at any key frame; the preroll covers the bucket.
    enc->m_bucketSeconds = BucketSeconds(streams);
    const auto preroll = static_cast<uint32_t>(std::ceil(enc->m_bucketSeconds * 1000 + kPrerollMarginMs));
    facts.prerollMs = preroll;
    for (const auto& s : enc->m_streams) {
        facts.streamBitrates.emplace_back(s->number, s->format.bitrate);
        facts.maxBitrate += s->format.bitrate;
        facts.extended.push_back({s->number, s->format.bitrate, preroll, s->format.IsVideo() ? s->format.avgTimePerFrame : 0});
    }
    if (!asf::CompleteHeader(enc->m_header, facts) || !asf::ParseHeader(enc->m_header.data(), enc->m_header.size(), &info))
        return fail("cannot complete the header");
    enc->m_prerollMs = static_cast<uint32_t>(info.prerollMs);
    for (const auto& f : streams)
        enc->m_bytesPerSecond += f.bitrate / 8.0;
    AsfEncoder* self = enc.get();
    enc->m_writer = std::make_unique<asf::PacketWriter>(packetSize, enc->m_prerollMs,
        [self, emit = std::move(emit)](asf::DataPacketPtr packet) {
            self->m_sentBytes += packet->bytes.size();
            if (emit)
                emit(std::move(packet));
        });
    return enc;
}

AsfEncoder::~AsfEncoder() = default;

uint32_t AsfEncoder::PacketSize() const { return m_writer ? m_writer->PacketSize() : 0; }

// `shortfall`: bytes the stream is behind its constant rate; a quarter of
// it is made up with this object's packets.
bool AsfEncoder::Drain(Stream& s, double shortfall)
{
    for (;;) {
        const int rc = avcodec_receive_packet(s.codec, s.packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0)
            return false;
        const int64_t ms = av_rescale_q(s.packet->pts, s.codec->time_base, AVRational{1, 1000});
        const auto timeMs = static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, UINT32_MAX - 100000));
        m_lastTime = std::max<int64_t>(m_lastTime, ms * 10000);
        const auto size = static_cast<size_t>(s.packet->size);
        if (s.format.IsVideo() && s.quantiser > 0 && size > 0) {
            const bool key = (s.packet->flags & AV_PKT_FLAG_KEY) != 0;
            double& model = key ? s.keyComplexity : s.deltaComplexity;
            model = 0.5 * model + 0.5 * static_cast<double>(size) * s.quantiser;
            ++m_stats.encoded;
            m_stats.keyFrames += key;
            m_stats.lastQuantiser = s.quantiser;
        }
        size_t maxFragment = 0;
        if (shortfall > 0 && size > 0) {
            const double wanted = size + shortfall / 4;
            const double room = m_writer->PacketSize() - asf::PacketWriter::FixedOverhead();
            const double packets = std::clamp(std::ceil(wanted / m_writer->PacketSize()), 1.0, 32.0);
            if (packets * room > size)
                maxFragment = std::max<size_t>(1, static_cast<size_t>(std::ceil(size / packets)));
            m_writer->Flush();
        }
        m_writer->AddObject(s.number, (s.packet->flags & AV_PKT_FLAG_KEY) != 0, s.leading, timeMs, s.packet->data, size,
            maxFragment);
        if (maxFragment)
            m_writer->Flush();
        av_packet_unref(s.packet);
    }
}

bool AsfEncoder::EncodeVideo(size_t streamIndex, const VideoPicture& picture, int64_t time, bool deinterlace)
{
    if (streamIndex >= m_streams.size() || !m_streams[streamIndex]->format.IsVideo())
        return false;
    Stream& s = *m_streams[streamIndex];
    const size_t needed = PictureBytes(picture.layout, picture.width, picture.height);
    if (!needed || !picture.data || picture.size < needed)
        return false;
    if (!m_haveOrigin) {
        m_origin = time;
        m_haveOrigin = true;
    }
    // Frame slot of this picture; a picture in a slot already filled is dropped.
    const auto step = static_cast<int64_t>(s.format.avgTimePerFrame);
    const int64_t pts = (std::max<int64_t>(time - m_origin, 0) + step / 4) / step;
    if (pts <= s.lastPts)
        return true;

    // Key frames: the first, one whenever the profile's spacing (a time)
    // is reached, and one when a sink asked for it.
    const double fps = s.format.FramesPerSecond();
    const auto spacing = static_cast<int64_t>(s.format.maxKeyFrameSpacing ? s.format.maxKeyFrameSpacing : 100000000);
    const bool asked = m_keyFrames->Take();
    const bool key = s.lastKeyPts < 0 || asked || (pts - s.lastKeyPts) * step >= spacing;

    // Constant bitrate: `balance` is how far the bytes sent run ahead of
    // the budget. Each picture gets its share plus a second's repayment of
    // the balance, coded at the quantiser the model says buys that. Only a
    // picture that would overrun the bucket even at the coarsest quantiser
    // is dropped (key frames never are, nor a picture after a long gap).
    // A stream behind its budget pads its packets out instead of holding
    // them (still pictures cannot use the bits).
    const double seconds = static_cast<double>(pts * step) / 1e7;
    const double balance = static_cast<double>(m_sentBytes) - m_bytesPerSecond * seconds;
    const double videoPerSecond = s.format.bitrate / 8.0;
    const double perFrame = videoPerSecond / fps;
    const double bucket = m_bytesPerSecond * m_bucketSeconds;
    // Outputs beside the stream get every frame slot, dropped or not.
    const bool tapped = m_tap && m_tap->Wanted() && pts > s.lastTappedPts;
    // A picture is never held back longer than this (the bucket may run
    // over by one coarse picture; the pictures after it make up for it).
    const bool overdue = s.lastPts >= 0 && (pts - s.lastPts) * step >= kMaxGap100ns;
    // Pictures are dropped only a second ahead, as ever: below that a
    // coarser picture keeps the frame rate (see `wanted` below).
    if (!key && !overdue && balance + s.deltaComplexity / kMaxQuantiser > m_bytesPerSecond * kMaxBucketSeconds) {
        ++m_stats.dropped;
        if (tapped && Scale(s, picture, deinterlace)) {
            s.lastTappedPts = pts;
            PublishPicture(*s.frame, time, step);
        }
        return true;
    }
    const double shortfall = balance < -m_bytesPerSecond / 8 ? -balance : 0;
    double wanted = perFrame - balance / std::max(fps, 1.0);
    if (key) // a key frame may take most of what is left of the bucket
        wanted = std::max(wanted, bucket * 0.6 - std::max(balance, 0.0));
    // No picture beyond the bucket where a coarser quantiser avoids it.
    wanted = std::max(std::min(wanted, bucket - balance), perFrame * 0.1);
    const double complexity = key ? s.keyComplexity : s.deltaComplexity;
    s.quantiser = std::clamp(std::round(complexity / wanted), s.qmin, kMaxQuantiser);

    if (!Scale(s, picture, deinterlace))
        return false;
    AVFrame* f = s.frame;
    if (tapped) {
        s.lastTappedPts = pts;
        PublishPicture(*f, time, step);
    }
    f->pts = pts;
    f->quality = static_cast<int>(s.quantiser * FF_QP2LAMBDA);
    f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    f->key_frame = key;
    s.lastPts = pts;
    if (key) {
        s.lastKeyPts = pts;
        m_stats.forcedKeyFrames += asked;
    }
    return avcodec_send_frame(s.codec, f) >= 0 && Drain(s, shortfall);
}

// Converts (and scales) the picture into the stream's frame.
bool AsfEncoder::Scale(Stream& s, const VideoPicture& picture, bool deinterlace)
{
    const bool half = deinterlace && picture.height >= 8 && (picture.layout != PixelLayout::I420 || picture.height % 4 == 0);
    if (!s.scaler || s.scalerWidth != picture.width || s.scalerHeight != picture.height
        || s.scalerLayout != picture.layout || s.scalerHalf != half) {
        sws_freeContext(s.scaler);
        const AVPixelFormat from = picture.layout == PixelLayout::RGB32 ? AV_PIX_FMT_BGR0
            : picture.layout == PixelLayout::YUY2                       ? AV_PIX_FMT_YUYV422
                                                                        : AV_PIX_FMT_YUV420P;
        s.scaler = sws_getContext(picture.width, half ? picture.height / 2 : picture.height, from, s.format.width,
            s.format.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!s.scaler)
            return false;
        s.scalerWidth = picture.width;
        s.scalerHeight = picture.height;
        s.scalerLayout = picture.layout;
        s.scalerHalf = half;
    }
    AVFrame* f = s.frame;
    av_frame_unref(f);
    f->format = AV_PIX_FMT_YUV420P;
    f->width = s.format.width;
    f->height = s.format.height;
    if (av_frame_get_buffer(f, 0) < 0)
        return false;

    const uint8_t* src[4] = {};
    int stride[4] = {};
    const int w = picture.width, h = picture.height;
    switch (picture.layout) {
    case PixelLayout::RGB32:
        src[0] = picture.data;
        stride[0] = w * 4;
        break;
    case PixelLayout::YUY2:
        src[0] = picture.data;
        stride[0] = w * 2;
        break;
    case PixelLayout::I420:
        src[0] = picture.data;
        src[1] = picture.data + static_cast<size_t>(w) * h;
        src[2] = src[1] + static_cast<size_t>(w / 2) * (h / 2);
        stride[0] = w;
        stride[1] = stride[2] = w / 2;
        break;
    }
    int srcHeight = h;
    if (half) {
        // Keep the first field only: every other row, scaled back up.
        for (int& st : stride)
            st *= 2;
        srcHeight = h / 2;
    }
    sws_scale(s.scaler, src, stride, 0, srcHeight, f->data, f->linesize);
    return true;
}

void AsfEncoder::PublishPicture(const AVFrame& f, int64_t time, int64_t frameInterval)
{
    const size_t w = static_cast<size_t>(f.width), h = static_cast<size_t>(f.height);
    auto planes = std::make_shared<std::vector<uint8_t>>(w * h * 3 / 2);
    uint8_t* out = planes->data();
    for (int plane = 0; plane < 3; ++plane) {
        const size_t pw = plane ? w / 2 : w, ph = plane ? h / 2 : h;
        for (size_t y = 0; y < ph; ++y, out += pw)
            std::memcpy(out, f.data[plane] + y * static_cast<size_t>(f.linesize[plane]), pw);
    }
    m_tap->Publish(TappedPicture{f.width, f.height, time, frameInterval, std::move(planes)});
}

bool AsfEncoder::EncodeAudio(size_t streamIndex, const int16_t* samples, size_t frames, int64_t time)
{
    if (streamIndex >= m_streams.size() || !m_streams[streamIndex]->format.IsAudio() || (!samples && frames))
        return false;
    Stream& s = *m_streams[streamIndex];
    if (!m_haveOrigin) {
        m_origin = time;
        m_haveOrigin = true;
    }
    const size_t channels = s.pending.size();
    // Sound is timed by counting samples. The count starts where the first
    // buffer lies after the stream's origin (pictures may have come first).
    // A buffer more than 80 ms from where the count expects it (the source
    // skipped, or its clock and the capture clock drifted apart) puts the
    // sound back in place: silence fills a gap, an overlap is dropped.
    const int64_t rate = s.codec->sample_rate;
    const int64_t at = std::max<int64_t>(time - m_origin, 0) * rate / 10000000;
    if (!s.audioStarted) {
        s.samplesSent = at;
        s.audioStarted = true;
    }
    const int64_t expected = s.samplesSent + static_cast<int64_t>(s.pending[0].size());
    const int64_t tolerance = rate * 8 / 100;
    if (at - expected > tolerance && at - expected < rate * 5) {
        for (auto& p : s.pending)
            p.insert(p.end(), static_cast<size_t>(at - expected), 0.0f);
    } else if (expected - at > tolerance) {
        const size_t skip = std::min(frames, static_cast<size_t>(expected - at));
        samples += skip * s.pending.size();
        frames -= skip;
    }
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < channels; ++c)
            s.pending[c].push_back(samples[i * channels + c] / 32768.0f);
    const auto frameSize = static_cast<size_t>(s.codec->frame_size);
    while (frameSize && s.pending[0].size() >= frameSize) {
        AVFrame* f = s.frame;
        av_frame_unref(f);
        f->format = AV_SAMPLE_FMT_FLTP;
        f->nb_samples = static_cast<int>(frameSize);
        f->sample_rate = s.codec->sample_rate;
        if (av_channel_layout_copy(&f->ch_layout, &s.codec->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
            return false;
        for (size_t c = 0; c < channels; ++c) {
            std::memcpy(f->data[c], s.pending[c].data(), frameSize * sizeof(float));
            s.pending[c].erase(s.pending[c].begin(), s.pending[c].begin() + static_cast<long>(frameSize));
        }
        f->pts = s.samplesSent;
        s.samplesSent += static_cast<int64_t>(frameSize);
        if (avcodec_send_frame(s.codec, f) < 0 || !Drain(s))
            return false;
    }
    return true;
}

void AsfEncoder::Finish()
{
    for (auto& s : m_streams) {
        if (avcodec_send_frame(s->codec, nullptr) >= 0)
            Drain(*s);
    }
    if (m_writer)
        m_writer->Flush();
}
