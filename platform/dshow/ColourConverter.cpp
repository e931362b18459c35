// The colour space converter: decodes MJPEG and converts and scales raw
// video between RGB32, YUY2 and I420 with libswscale. It runs on the
// upstream streaming thread, one frame in, one frame out.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"

#include <algorithm>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

AVPixelFormat PixelFormatOf(const GUID& subtype)
{
    if (subtype == MEDIASUBTYPE_RGB32) return AV_PIX_FMT_BGR0;
    if (subtype == MEDIASUBTYPE_YUY2) return AV_PIX_FMT_YUYV422;
    if (subtype == MEDIASUBTYPE_I420) return AV_PIX_FMT_YUV420P;
    return AV_PIX_FMT_NONE;
}

// Pointers and strides of a frame in our packed layouts (see DShow.h).
void FramePlanes(BYTE* data, const GUID& subtype, int width, int height, uint8_t* planes[4], int strides[4])
{
    planes[0] = planes[1] = planes[2] = planes[3] = nullptr;
    strides[0] = strides[1] = strides[2] = strides[3] = 0;
    planes[0] = data;
    if (subtype == MEDIASUBTYPE_RGB32) {
        strides[0] = width * 4;
    } else if (subtype == MEDIASUBTYPE_YUY2) {
        strides[0] = width * 2;
    } else if (subtype == MEDIASUBTYPE_I420) {
        strides[0] = width;
        strides[1] = strides[2] = width / 2;
        planes[1] = data + static_cast<size_t>(width) * height;
        planes[2] = planes[1] + static_cast<size_t>(width / 2) * (height / 2);
    }
}

bool IsConvertible(const GUID& subtype)
{
    return PixelFormatOf(subtype) != AV_PIX_FMT_NONE || subtype == MEDIASUBTYPE_MJPG;
}

const GUID kOutputSubtypes[] = {MEDIASUBTYPE_RGB32, MEDIASUBTYPE_I420, MEDIASUBTYPE_YUY2};

class ColourConverter;

class ConverterInputPin final : public InputPin {
public:
    ConverterInputPin(FilterCore& filter, ColourConverter& owner) : InputPin(filter, "Input"), m_owner(owner) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
    {
        return type.majortype == MEDIATYPE_Video && type.formattype == FORMAT_VideoInfo && IsConvertible(type.subtype) &&
                       type.video.biWidth > 0 && type.video.biHeight > 0
                   ? S_OK
                   : S_FALSE;
    }
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT WantsFrame(REFERENCE_TIME start) override;

private:
    ColourConverter& m_owner;
};

class ConverterOutputPin final : public OutputPin {
public:
    ConverterOutputPin(FilterCore& filter, PinBase& input) : OutputPin(filter, "Output"), m_input(input) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
    {
        if (!m_input.IsConnected())
            return VFW_E_NOT_CONNECTED;
        if (!(type.majortype == MEDIATYPE_Video) || !(type.formattype == FORMAT_VideoInfo))
            return S_FALSE;
        if (PixelFormatOf(type.subtype) == AV_PIX_FMT_NONE)
            return S_FALSE;
        const int w = type.video.biWidth, h = type.video.biHeight;
        if (w <= 0 || h <= 0 || w > 8192 || h > 8192)
            return S_FALSE;
        if (type.subtype == MEDIASUBTYPE_I420 && (w % 2 || h % 2))
            return S_FALSE;
        return S_OK;
    }
    // The input's size and rate in each output format.
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override
    {
        if (!m_input.IsConnected() || index < 0 || index >= static_cast<int>(std::size(kOutputSubtypes)))
            return S_FALSE;
        const AM_MEDIA_TYPE in = m_input.ConnectionType();
        const double fps = in.video.AvgTimePerFrame > 0 ? 1e7 / static_cast<double>(in.video.AvgTimePerFrame) : 0;
        *type = MakeVideoType(kOutputSubtypes[index], in.video.biWidth, in.video.biHeight, fps);
        type->video.AvgTimePerFrame = in.video.AvgTimePerFrame;
        return S_OK;
    }

private:
    PinBase& m_input;
};

class ColourConverter final : public BaseFilter<> {
public:
    ColourConverter() : BaseFilter(CLSID_Colour)
    {
        m_in = static_cast<ConverterInputPin*>(AddPin(std::make_unique<ConverterInputPin>(*this, *this)));
        m_out = static_cast<ConverterOutputPin*>(AddPin(std::make_unique<ConverterOutputPin>(*this, *m_in)));
    }
    ~ColourConverter() override
    {
        StopStreamingNow();
        FreeCodec();
    }

    HRESULT Convert(IMediaSample* sample)
    {
        const AM_MEDIA_TYPE in = m_in->ConnectionType();
        const AM_MEDIA_TYPE out = m_out->ConnectionType();
        if (!m_out->IsConnected())
            return S_OK;
        // A frame downstream will not use is neither decoded nor converted
        // (JPEG pictures stand alone: skipping one costs the next nothing).
        REFERENCE_TIME start = 0, end = 0;
        const bool timed = SUCCEEDED(sample->GetTime(&start, &end));
        if (timed && !m_out->Wanted(start))
            return S_OK;
        BYTE* src = nullptr;
        sample->GetPointer(&src);
        const long length = sample->GetActualDataLength();

        uint8_t* srcPlanes[4];
        int srcStrides[4];
        AVPixelFormat srcFormat;
        int srcW = in.video.biWidth, srcH = in.video.biHeight;
        if (in.subtype == MEDIASUBTYPE_MJPG) {
            const HRESULT hr = Decode(src, length, DecodeScale(in, out));
            if (hr != S_OK)
                return hr == S_FALSE ? S_OK : hr; // a broken frame is dropped
            for (int i = 0; i < 4; ++i) {
                srcPlanes[i] = m_frame->data[i];
                srcStrides[i] = m_frame->linesize[i];
            }
            srcFormat = static_cast<AVPixelFormat>(m_frame->format);
            srcW = m_frame->width;
            srcH = m_frame->height;
        } else {
            if (static_cast<uint32_t>(length) < VideoFrameBytes(in.subtype, srcW, srcH))
                return S_OK; // short frame: dropped
            FramePlanes(src, in.subtype, srcW, srcH, srcPlanes, srcStrides);
            srcFormat = PixelFormatOf(in.subtype);
        }

        // The JPEG decoder gives full-range "J" formats, which swscale only
        // takes as deprecated aliases: with them the cached context never
        // matches and is rebuilt for every frame. Ask for the plain format and
        // state the range instead.
        static constexpr std::pair<AVPixelFormat, AVPixelFormat> kPlainFormats[] = {
            {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P}, {AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV422P},
            {AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV444P}, {AV_PIX_FMT_YUVJ440P, AV_PIX_FMT_YUV440P}};
        int fullRange = 0;
        for (const auto& [jpeg, plain] : kPlainFormats)
            if (srcFormat == jpeg) {
                srcFormat = plain;
                fullRange = 1;
            }
        const int dstW = out.video.biWidth, dstH = out.video.biHeight;
        const AVPixelFormat dstFormat = PixelFormatOf(out.subtype);
        m_sws = sws_getCachedContext(m_sws, srcW, srcH, srcFormat, dstW, dstH, dstFormat,
                                     srcW == dstW && srcH == dstH ? SWS_POINT : SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!m_sws)
            return VFW_E_RUNTIME_ERROR;
        int *inverse = nullptr, *table = nullptr, srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(m_sws, &inverse, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation) >= 0 &&
            srcRange != fullRange)
            sws_setColorspaceDetails(m_sws, inverse, fullRange, table, dstRange, brightness, contrast, saturation);
        auto result = MediaSample::Create(VideoFrameBytes(out.subtype, dstW, dstH));
        uint8_t* dstPlanes[4];
        int dstStrides[4];
        FramePlanes(result->Data(), out.subtype, dstW, dstH, dstPlanes, dstStrides);
        sws_scale(m_sws, srcPlanes, srcStrides, 0, srcH, dstPlanes, dstStrides);

        if (timed)
            result->SetTime(&start, &end);
        if (auto* ours = dynamic_cast<MediaSample*>(sample))
            result->captureTime = ours->captureTime;
        result->SetDiscontinuity(sample->IsDiscontinuity() == S_OK);
        return m_out->Deliver(result.Get());
    }

    void EndOfStream() { m_out->DeliverEndOfStream(); }
    bool Wanted(REFERENCE_TIME start) { return m_out->Wanted(start); }

protected:
    void OnStop() override { FreeCodec(); }

private:
    // How far the JPEG decoder may scale down by itself (0: full size, 1: a
    // half, 2: a quarter) and still give at least the output's size.
    static int DecodeScale(const AM_MEDIA_TYPE& in, const AM_MEDIA_TYPE& out)
    {
        int lowres = 0;
        while (lowres < 2 && out.video.biWidth <= in.video.biWidth >> (lowres + 1) &&
               out.video.biHeight <= in.video.biHeight >> (lowres + 1))
            ++lowres;
        return lowres;
    }

    // S_OK with m_frame filled, S_FALSE when the data gave no picture.
    HRESULT Decode(const BYTE* data, long length, int lowres)
    {
        if (m_codec && m_lowres != lowres)
            FreeCodec();
        if (!m_codec) {
            const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
            if (!codec)
                return HRESULT_NOT_SUPPORTED;
            m_codec = avcodec_alloc_context3(codec);
            m_frame = av_frame_alloc();
            m_packet = av_packet_alloc();
            m_lowres = lowres;
            if (m_codec)
                m_codec->lowres = std::min(lowres, static_cast<int>(codec->max_lowres));
            if (!m_codec || !m_frame || !m_packet || avcodec_open2(m_codec, codec, nullptr) < 0) {
                FreeCodec();
                return E_OUTOFMEMORY;
            }
        }
        m_packet->data = const_cast<BYTE*>(data);
        m_packet->size = static_cast<int>(length);
        if (avcodec_send_packet(m_codec, m_packet) < 0)
            return S_FALSE;
        return avcodec_receive_frame(m_codec, m_frame) == 0 ? S_OK : S_FALSE;
    }

    void FreeCodec()
    {
        if (m_packet) av_packet_free(&m_packet);
        if (m_frame) av_frame_free(&m_frame);
        if (m_codec) avcodec_free_context(&m_codec);
        if (m_sws) {
            sws_freeContext(m_sws);
            m_sws = nullptr;
        }
    }

    ConverterInputPin* m_in;
    ConverterOutputPin* m_out;
    AVCodecContext* m_codec = nullptr;
    int m_lowres = 0;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    SwsContext* m_sws = nullptr;
};

HRESULT ConverterInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CheckStreaming();
    if (FAILED(hr))
        return hr;
    return m_owner.Convert(sample);
}

HRESULT ConverterInputPin::WantsFrame(REFERENCE_TIME start)
{
    return m_owner.Wanted(start) ? S_OK : S_FALSE;
}

HRESULT ConverterInputPin::EndOfStream()
{
    m_owner.EndOfStream();
    return S_OK;
}

} // namespace

HRESULT CreateColourConverter(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto converter = ComPtr<ColourConverter>::Adopt(NewComObject<ColourConverter>());
    return converter->QueryInterface(riid, ppv);
}
