// The built-in test source: moving colour bars (or a moving grey ramp on
// its second crossbar input) with a frame counter and the wall-clock time,
// so a viewer sees at a glance that the picture is live. Its picture
// controls (brightness, contrast, hue, saturation) change the colours.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/SourceStreaming.h"
#include "platform/dshow/TestPatternCode.h"
#include "platform/dshow/TestPatternPicture.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

struct ProcAmpRange {
    long property, min, max, step, def;
};
constexpr ProcAmpRange kProcAmp[] = {
    {VideoProcAmp_Brightness, -100, 100, 1, 0},
    {VideoProcAmp_Contrast, 0, 200, 1, 100},
    {VideoProcAmp_Hue, -180, 180, 1, 0},
    {VideoProcAmp_Saturation, 0, 200, 1, 100},
};

const ProcAmpRange* FindProcAmp(long property)
{
    for (const auto& r : kProcAmp)
        if (r.property == property)
            return &r;
    return nullptr;
}

std::vector<AM_MEDIA_TYPE> TestFormats()
{
    std::vector<AM_MEDIA_TYPE> list;
    for (const GUID& subtype : {MEDIASUBTYPE_RGB32, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_I420})
        for (auto size : {std::pair{640, 480}, std::pair{320, 240}})
            for (double fps : {30.0, 15.0})
                list.push_back(MakeVideoType(subtype, size.first, size.second, fps));
    return list;
}

bool SameFormat(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b)
{
    return a.subtype == b.subtype && a.video.biWidth == b.video.biWidth && a.video.biHeight == b.video.biHeight &&
           a.video.AvgTimePerFrame == b.video.AvgTimePerFrame;
}


class TestPatternSource;

class TestPatternPin final : public OutputPin {
public:
    TestPatternPin(FilterCore& filter, TestPatternSource& owner) : OutputPin(filter, "Capture", PIN_CATEGORY_CAPTURE), m_owner(owner) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override;
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override;

private:
    TestPatternSource& m_owner;
};

class TestPatternSource final
    : public BaseFilter<IAMVideoProcAmp, IAMCrossbar, IAMStreamConfig, ISpecifyPropertyPages> {
public:
    TestPatternSource() : BaseFilter(CLSID_LumoraTestSource), m_formats(TestFormats())
    {
        for (const auto& r : kProcAmp)
            m_procAmp[static_cast<size_t>(r.property)] = r.def;
        m_pin = static_cast<TestPatternPin*>(AddPin(std::make_unique<TestPatternPin>(*this, *this)));
    }
    ~TestPatternSource() override
    {
        StopStreamingNow();
        if (m_sws)
            sws_freeContext(m_sws);
    }

    // ---- formats ----
    const std::vector<AM_MEDIA_TYPE>& Formats() const { return m_formats; }
    bool HasChosenFormat() const { return m_chosen; }
    const AM_MEDIA_TYPE& ChosenFormat() const { return m_format; }

    HRESULT SetFormat(const AM_MEDIA_TYPE* type) override
    {
        if (!type)
            return E_POINTER;
        if (State() != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (m_pin->IsConnected())
            return VFW_E_ALREADY_CONNECTED;
        for (const auto& f : m_formats) {
            if (SameFormat(f, *type)) {
                m_format = f;
                m_chosen = true;
                return S_OK;
            }
        }
        return VFW_E_INVALIDMEDIATYPE;
    }
    HRESULT GetFormat(AM_MEDIA_TYPE* type) override
    {
        if (!type)
            return E_POINTER;
        *type = m_pin->IsConnected() ? m_pin->ConnectionType() : m_chosen ? m_format : m_formats.front();
        return S_OK;
    }
    HRESULT GetNumberOfCapabilities(int* count, int* size) override
    {
        if (!count || !size)
            return E_POINTER;
        *count = static_cast<int>(m_formats.size());
        *size = 0;
        return S_OK;
    }
    HRESULT GetStreamCaps(int index, AM_MEDIA_TYPE* type, BYTE*) override
    {
        if (!type)
            return E_POINTER;
        if (index < 0 || index >= static_cast<int>(m_formats.size()))
            return S_FALSE;
        *type = m_formats[static_cast<size_t>(index)];
        return S_OK;
    }

    // ---- picture controls ----
    HRESULT GetRange(long property, long* min, long* max, long* step, long* def, long* caps) override
    {
        const ProcAmpRange* r = FindProcAmp(property);
        if (!r)
            return E_PROP_ID_UNSUPPORTED;
        if (!min || !max || !step || !def || !caps)
            return E_POINTER;
        *min = r->min;
        *max = r->max;
        *step = r->step;
        *def = r->def;
        *caps = VideoProcAmp_Flags_Manual;
        return S_OK;
    }
    HRESULT Set(long property, long value, long) override
    {
        const ProcAmpRange* r = FindProcAmp(property);
        if (!r)
            return E_PROP_ID_UNSUPPORTED;
        if (value < r->min || value > r->max)
            return E_INVALIDARG;
        m_procAmp[static_cast<size_t>(property)] = value;
        return S_OK;
    }
    HRESULT Get(long property, long* value, long* flags) override
    {
        if (!FindProcAmp(property))
            return E_PROP_ID_UNSUPPORTED;
        if (!value || !flags)
            return E_POINTER;
        *value = m_procAmp[static_cast<size_t>(property)];
        *flags = VideoProcAmp_Flags_Manual;
        return S_OK;
    }
    HRESULT GetPropertyName(long property, std::string* name) override
    {
        if (!FindProcAmp(property))
            return E_PROP_ID_UNSUPPORTED;
        if (!name)
            return E_POINTER;
        *name = VideoProcAmpDisplayName(property);
        return S_OK;
    }

    // ---- crossbar: one output, two pattern inputs ----
    HRESULT get_PinCounts(long* outputs, long* inputs) override
    {
        if (!outputs || !inputs)
            return E_POINTER;
        *outputs = 1;
        *inputs = 2;
        return S_OK;
    }
    HRESULT CanRoute(long output, long input) override { return output == 0 && (input == 0 || input == 1) ? S_OK : S_FALSE; }
    HRESULT Route(long output, long input) override
    {
        if (CanRoute(output, input) != S_OK)
            return E_INVALIDARG;
        m_pattern = static_cast<int>(input);
        return S_OK;
    }
    HRESULT get_IsRoutedTo(long output, long* input) override
    {
        if (!input)
            return E_POINTER;
        if (output != 0)
            return E_INVALIDARG;
        *input = m_pattern;
        return S_OK;
    }
    HRESULT get_CrossbarPinInfo(BOOL isInput, long index, long* related, long* physicalType) override
    {
        if (!related || !physicalType)
            return E_POINTER;
        if (isInput) {
            if (index < 0 || index > 1)
                return E_INVALIDARG;
            *related = -1;
            *physicalType = index == 0 ? PhysConn_Video_Composite : PhysConn_Video_SVideo;
        } else {
            if (index != 0)
                return E_INVALIDARG;
            *related = -1;
            *physicalType = PhysConn_Video_VideoDecoder;
        }
        return S_OK;
    }
    HRESULT get_CrossbarPinName(BOOL isInput, long index, std::string* name) override
    {
        if (!name)
            return E_POINTER;
        if (isInput && (index == 0 || index == 1)) {
            *name = index == 0 ? "Colour Bars" : "Grey Ramp";
            return S_OK;
        }
        if (!isInput && index == 0) {
            *name = "Video Decoder Out";
            return S_OK;
        }
        return E_INVALIDARG;
    }

    HRESULT GetPages(CAUUID* pages) override
    {
        if (!pages)
            return E_POINTER;
        pages->cElems = 2;
        pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(2 * sizeof(GUID)));
        if (!pages->pElems) {
            pages->cElems = 0;
            return E_OUTOFMEMORY;
        }
        pages->pElems[0] = CLSID_VideoProcAmpPropertyPage;
        pages->pElems[1] = CLSID_CrossbarFilterPropertyPage;
        return S_OK;
    }

    // Draws frame `frame` of the current pattern into an RGB32 buffer.
    void RenderRgb(uint32_t* pixels, int width, int height, int64_t frame, bool flash)
    {
        DrawTestPattern(pixels, width, height, frame, flash, m_pattern.load() != 0,
            [this](double r, double g, double b) { return Adjust(r, g, b); });
    }

protected:
    HRESULT OnRun(REFERENCE_TIME) override
    {
        m_stream.Start([this] { StreamLoop(); });
        return S_OK;
    }
    void OnStopRunning() override { m_stream.Stop(); }
    void OnStop() override { m_stream.Stop(); }

private:

    uint32_t Adjust(double r, double g, double b) const
    {
        const double brightness = static_cast<double>(m_procAmp[VideoProcAmp_Brightness].load());
        const double contrast = static_cast<double>(m_procAmp[VideoProcAmp_Contrast].load()) / 100.0;
        const double hue = static_cast<double>(m_procAmp[VideoProcAmp_Hue].load()) * M_PI / 180.0;
        const double saturation = static_cast<double>(m_procAmp[VideoProcAmp_Saturation].load()) / 100.0;
        double y = 0.299 * r + 0.587 * g + 0.114 * b;
        double u = (b - y) * 0.565;
        double v = (r - y) * 0.713;
        y = (y - 128.0) * contrast + 128.0 + brightness * 1.28;
        const double u2 = (u * std::cos(hue) - v * std::sin(hue)) * saturation;
        const double v2 = (u * std::sin(hue) + v * std::cos(hue)) * saturation;
        return PackTestPatternRgb(y + 1.403 * v2, y - 0.344 * u2 - 0.714 * v2, y + 1.770 * u2);
    }


    void StreamLoop()
    {
        const AM_MEDIA_TYPE type = m_pin->ConnectionType();
        const int width = type.video.biWidth, height = type.video.biHeight;
        // A source run without a connection (a graph whose rendering failed
        // and was played anyway) has no frame to make.
        if (!m_pin->IsConnected() || width <= 0 || height <= 0)
            return;
        const REFERENCE_TIME interval = type.video.AvgTimePerFrame > 0 ? type.video.AvgTimePerFrame : 333333;
        const auto period = std::chrono::nanoseconds(interval * 100);
        std::vector<uint32_t> rgb(static_cast<size_t>(width) * height);
        auto next = std::chrono::steady_clock::now();
        bool first = true;
        int64_t markedSecond = -1; // the last whole second that got its marker
        for (int64_t frame = 0;; ++frame) {
            if (!m_stream.WaitUntil(next))
                return;
            const REFERENCE_TIME captured = ReferenceTimeNow();
            const REFERENCE_TIME start = captured - StartTime();
            // Frames no one downstream will use are not drawn (the counter
            // still counts them).
            if (!m_pin->Wanted(start)) {
                Advance(next, period);
                continue;
            }
            auto sample = MediaSample::Create(type.lSampleSize ? type.lSampleSize : VideoFrameBytes(type.subtype, width, height));
            // The first frame sent from half a frame before a whole second on
            // carries the marker: the frame whose time is nearest the second.
            const int64_t second = std::max<REFERENCE_TIME>(start + interval / 2, 0) / 10000000;
            const bool flash = second > markedSecond;
            markedSecond = std::max(markedSecond, second);
            if (type.subtype == MEDIASUBTYPE_RGB32) {
                RenderRgb(reinterpret_cast<uint32_t*>(sample->Data()), width, height, frame, flash);
            } else {
                RenderRgb(rgb.data(), width, height, frame, flash);
                ConvertFrom(rgb.data(), type, sample->Data());
            }
            const REFERENCE_TIME end = start + interval;
            sample->SetTime(&start, &end);
            sample->SetDiscontinuity(first);
            sample->captureTime = captured;
            first = false;
            if (!DeliverFromStream(*this, *m_pin, sample.Get()))
                return;
            Advance(next, period);
        }
    }

    static void Advance(std::chrono::steady_clock::time_point& next, std::chrono::nanoseconds period)
    {
        next += period;
        const auto now = std::chrono::steady_clock::now();
        if (next < now - period)
            next = now; // fell behind: do not try to catch up with a burst
    }

    void ConvertFrom(const uint32_t* rgb, const AM_MEDIA_TYPE& type, BYTE* out)
    {
        const int w = type.video.biWidth, h = type.video.biHeight;
        const AVPixelFormat dst = type.subtype == MEDIASUBTYPE_YUY2 ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_YUV420P;
        m_sws = sws_getCachedContext(m_sws, w, h, AV_PIX_FMT_BGR0, w, h, dst, SWS_POINT, nullptr, nullptr, nullptr);
        if (!m_sws)
            return;
        const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(rgb), nullptr, nullptr, nullptr};
        const int srcStride[4] = {w * 4, 0, 0, 0};
        uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
        int strides[4] = {w * 2, 0, 0, 0};
        if (dst == AV_PIX_FMT_YUV420P) {
            strides[0] = w;
            strides[1] = strides[2] = w / 2;
            planes[1] = out + static_cast<size_t>(w) * h;
            planes[2] = planes[1] + static_cast<size_t>(w / 2) * (h / 2);
        }
        sws_scale(m_sws, src, srcStride, 0, h, planes, strides);
    }

    friend class TestPatternPin;

    std::vector<AM_MEDIA_TYPE> m_formats;
    AM_MEDIA_TYPE m_format;
    bool m_chosen = false;
    TestPatternPin* m_pin = nullptr;
    std::array<std::atomic<long>, 10> m_procAmp{};
    std::atomic<int> m_pattern{0};
    SwsContext* m_sws = nullptr;

    StreamThread m_stream;
};

HRESULT TestPatternPin::CheckMediaType(const AM_MEDIA_TYPE& type)
{
    if (m_owner.HasChosenFormat())
        return SameFormat(type, m_owner.ChosenFormat()) ? S_OK : S_FALSE;
    for (const auto& f : m_owner.Formats())
        if (SameFormat(f, type))
            return S_OK;
    return S_FALSE;
}

HRESULT TestPatternPin::GetMediaType(int index, AM_MEDIA_TYPE* type)
{
    if (m_owner.HasChosenFormat()) {
        if (index != 0)
            return S_FALSE;
        *type = m_owner.ChosenFormat();
        return S_OK;
    }
    if (index < 0 || index >= static_cast<int>(m_owner.Formats().size()))
        return S_FALSE;
    *type = m_owner.Formats()[static_cast<size_t>(index)];
    return S_OK;
}

} // namespace

HRESULT CreateTestPatternSource(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto source = ComPtr<TestPatternSource>::Adopt(NewComObject<TestPatternSource>());
    return source->QueryInterface(riid, ppv);
}
