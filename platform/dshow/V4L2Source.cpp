// A V4L2 capture device as a source filter. Frames are read through
// libavdevice's video4linux2 input in the device's own format (YUYV is
// delivered as YUY2, MJPEG as MJPG for the converter to decode, planar
// 4:2:0 as I420). Picture controls and video inputs are the device's V4L2
// user controls and inputs, reached with ioctl on a separate descriptor.
//
// A camera that goes away while streaming (unplugged, reset) does not end the
// stream: the source reports EC_DEVICE_LOST (param2 1), sends a still slate
// at the same size and rate, looks for the same camera (card name and bus
// info, whatever its node number) every few seconds, reopens it in the agreed
// format, applies the picture settings and input the user chose again, and
// reports EC_DEVICE_LOST with param2 0 when live frames flow again.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/CameraLostSlate.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/SourceStreaming.h"
#include "platform/dshow/V4L2Identity.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

HRESULT HResultFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return HRESULT_DEVICE_NOT_CONNECTED;
    case EBUSY:
        return HRESULT_DEVICE_BUSY;
    case EACCES:
    case EPERM:
        return E_ACCESSDENIED;
    case EINVAL:
    case ENOTTY:
        return HRESULT_NOT_SUPPORTED;
    default:
        return HRESULT_DEVICE_FAILURE;
    }
}

// How often a lost camera is looked for.
constexpr REFERENCE_TIME kReconnectInterval = 2 * 10'000'000LL;

HRESULT HResultFromAv(int avError)
{
    return avError < 0 && avError > -4096 ? HResultFromErrno(-avError) : HRESULT_DEVICE_FAILURE;
}

struct ControlMap {
    long property;
    uint32_t cid;
    uint32_t autoCid; // 0 when none
};
constexpr ControlMap kControls[] = {
    {VideoProcAmp_Brightness, V4L2_CID_BRIGHTNESS, 0},
    {VideoProcAmp_Contrast, V4L2_CID_CONTRAST, 0},
    {VideoProcAmp_Hue, V4L2_CID_HUE, V4L2_CID_HUE_AUTO},
    {VideoProcAmp_Saturation, V4L2_CID_SATURATION, 0},
    {VideoProcAmp_Sharpness, V4L2_CID_SHARPNESS, 0},
    {VideoProcAmp_Gamma, V4L2_CID_GAMMA, 0},
    {VideoProcAmp_WhiteBalance, V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE},
    {VideoProcAmp_BacklightCompensation, V4L2_CID_BACKLIGHT_COMPENSATION, 0},
    {VideoProcAmp_Gain, V4L2_CID_GAIN, V4L2_CID_AUTOGAIN},
};

const ControlMap* FindControl(long property)
{
    for (const auto& c : kControls)
        if (c.property == property)
            return &c;
    return nullptr;
}

// A descriptor for control ioctls, closed on scope exit.
class ControlHandle {
public:
    explicit ControlHandle(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~ControlHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ControlHandle(const ControlHandle&) = delete;
    ControlHandle& operator=(const ControlHandle&) = delete;
    int fd() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd;
};

int Ioctl(int fd, unsigned long request, void* arg)
{
    int r;
    do
        r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

// The driver's description of control `id` into `q`; false when the device
// has no such control or has it disabled.
bool QueryEnabledControl(int fd, uint32_t id, v4l2_queryctrl& q)
{
    q = v4l2_queryctrl{};
    q.id = id;
    return Ioctl(fd, VIDIOC_QUERYCTRL, &q) == 0 && !(q.flags & V4L2_CTRL_FLAG_DISABLED);
}

class V4L2Source;

class V4L2Pin final : public OutputPin {
public:
    V4L2Pin(FilterCore& filter, V4L2Source& owner) : OutputPin(filter, "Capture", PIN_CATEGORY_CAPTURE), m_owner(owner) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override;
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override;

private:
    V4L2Source& m_owner;
};

class V4L2Source final : public BaseFilter<IAMVideoProcAmp, IAMCrossbar, ISpecifyPropertyPages> {
public:
    explicit V4L2Source(DeviceIdentity device) : BaseFilter(CLSID_VideoCaptureSource), m_device(std::move(device))
    {
        avdevice_register_all();
        m_pin = static_cast<V4L2Pin*>(AddPin(std::make_unique<V4L2Pin>(*this, *this)));
        ScanControls();
    }
    ~V4L2Source() override
    {
        StopStreamingNow();
        Close();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        // Offer the controls only when the device has them, so the
        // application can tell (its buttons stay disabled otherwise).
        if (riid == IAMVideoProcAmp::iid && !m_hasControls)
            return E_NOINTERFACE;
        if (riid == IAMCrossbar::iid && m_inputs.size() < 2)
            return E_NOINTERFACE;
        return BaseFilter::QueryInterface(riid, ppv);
    }

    // The device's current format, found by opening it once. A failure is
    // remembered and returned to whoever tries to connect.
    HRESULT Probe(AM_MEDIA_TYPE* type)
    {
        if (!m_probed) {
            m_probed = true;
            m_probeResult = Open();
            if (SUCCEEDED(m_probeResult))
                m_probeResult = TypeFromStream(m_type);
            Close();
        }
        if (SUCCEEDED(m_probeResult) && type)
            *type = m_type;
        return m_probeResult;
    }

    // ---- IAMVideoProcAmp ----
    HRESULT GetRange(long property, long* min, long* max, long* step, long* def, long* caps) override
    {
        if (!min || !max || !step || !def || !caps)
            return E_POINTER;
        const ControlMap* c = FindControl(property);
        ControlHandle h(DevicePath());
        if (!c || !h)
            return E_PROP_ID_UNSUPPORTED;
        v4l2_queryctrl q;
        if (!QueryEnabledControl(h.fd(), c->cid, q))
            return E_PROP_ID_UNSUPPORTED;
        *min = q.minimum;
        *max = q.maximum;
        *step = q.step ? q.step : 1;
        *def = q.default_value;
        *caps = VideoProcAmp_Flags_Manual;
        if (c->autoCid) {
            v4l2_queryctrl a;
            if (QueryEnabledControl(h.fd(), c->autoCid, a))
                *caps |= VideoProcAmp_Flags_Auto;
        }
        return S_OK;
    }
    HRESULT GetPropertyName(long property, std::string* name) override
    {
        if (!name)
            return E_POINTER;
        const ControlMap* c = FindControl(property);
        ControlHandle h(DevicePath());
        if (!c || !h)
            return E_PROP_ID_UNSUPPORTED;
        v4l2_queryctrl q;
        if (!QueryEnabledControl(h.fd(), c->cid, q))
            return E_PROP_ID_UNSUPPORTED;
        // The driver's name need not end in NUL when it fills the field.
        const auto* text = reinterpret_cast<const char*>(q.name);
        *name = std::string(text, strnlen(text, sizeof q.name));
        if (name->empty())
            *name = VideoProcAmpDisplayName(property);
        return S_OK;
    }
    HRESULT Set(long property, long value, long flags) override
    {
        const ControlMap* c = FindControl(property);
        ControlHandle h(DevicePath());
        if (!c)
            return E_PROP_ID_UNSUPPORTED;
        if (!h)
            return HResultFromErrno(errno);
        const HRESULT hr = ApplyControl(h.fd(), *c, value, flags);
        if (SUCCEEDED(hr))
            RememberSettings(h.fd());
        return hr;
    }
    HRESULT Get(long property, long* value, long* flags) override
    {
        if (!value || !flags)
            return E_POINTER;
        const ControlMap* c = FindControl(property);
        ControlHandle h(DevicePath());
        if (!c)
            return E_PROP_ID_UNSUPPORTED;
        if (!h)
            return HResultFromErrno(errno);
        v4l2_control ctl{c->cid, 0};
        if (Ioctl(h.fd(), VIDIOC_G_CTRL, &ctl) < 0)
            return errno == EINVAL ? E_PROP_ID_UNSUPPORTED : HResultFromErrno(errno);
        *value = ctl.value;
        *flags = VideoProcAmp_Flags_Manual;
        if (c->autoCid) {
            v4l2_control a{c->autoCid, 0};
            if (Ioctl(h.fd(), VIDIOC_G_CTRL, &a) == 0 && a.value)
                *flags = VideoProcAmp_Flags_Auto;
        }
        return S_OK;
    }

    // ---- IAMCrossbar over the device's video inputs ----
    HRESULT get_PinCounts(long* outputs, long* inputs) override
    {
        if (!outputs || !inputs)
            return E_POINTER;
        *outputs = 1;
        *inputs = static_cast<long>(m_inputs.size());
        return S_OK;
    }
    HRESULT CanRoute(long output, long input) override
    {
        return output == 0 && input >= 0 && input < static_cast<long>(m_inputs.size()) ? S_OK : S_FALSE;
    }
    HRESULT Route(long output, long input) override
    {
        if (CanRoute(output, input) != S_OK)
            return E_INVALIDARG;
        ControlHandle h(DevicePath());
        if (!h)
            return HResultFromErrno(errno);
        int index = static_cast<int>(m_inputs[static_cast<size_t>(input)].index);
        if (Ioctl(h.fd(), VIDIOC_S_INPUT, &index) < 0)
            return HResultFromErrno(errno);
        RememberSettings(h.fd());
        return S_OK;
    }
    HRESULT get_IsRoutedTo(long output, long* input) override
    {
        if (!input)
            return E_POINTER;
        if (output != 0)
            return E_INVALIDARG;
        ControlHandle h(DevicePath());
        int index = 0;
        if (!h || Ioctl(h.fd(), VIDIOC_G_INPUT, &index) < 0)
            return HResultFromErrno(errno);
        for (size_t i = 0; i < m_inputs.size(); ++i)
            if (static_cast<int>(m_inputs[i].index) == index) {
                *input = static_cast<long>(i);
                return S_OK;
            }
        *input = -1;
        return S_FALSE;
    }
    HRESULT get_CrossbarPinInfo(BOOL isInput, long index, long* related, long* physicalType) override
    {
        if (!related || !physicalType)
            return E_POINTER;
        *related = -1;
        if (!isInput) {
            if (index != 0)
                return E_INVALIDARG;
            *physicalType = PhysConn_Video_VideoDecoder;
            return S_OK;
        }
        if (index < 0 || index >= static_cast<long>(m_inputs.size()))
            return E_INVALIDARG;
        *physicalType = m_inputs[static_cast<size_t>(index)].type == V4L2_INPUT_TYPE_TUNER ? PhysConn_Video_Tuner : PhysConn_Video_Composite;
        return S_OK;
    }
    HRESULT get_CrossbarPinName(BOOL isInput, long index, std::string* name) override
    {
        if (!name)
            return E_POINTER;
        if (!isInput)
            return index == 0 ? (*name = "Video Decoder Out", S_OK) : E_INVALIDARG;
        if (index < 0 || index >= static_cast<long>(m_inputs.size()))
            return E_INVALIDARG;
        *name = reinterpret_cast<const char*>(m_inputs[static_cast<size_t>(index)].name);
        return S_OK;
    }

    HRESULT GetPages(CAUUID* pages) override
    {
        if (!pages)
            return E_POINTER;
        std::vector<GUID> list;
        if (m_hasControls)
            list.push_back(CLSID_VideoProcAmpPropertyPage);
        if (m_inputs.size() >= 2)
            list.push_back(CLSID_CrossbarFilterPropertyPage);
        pages->cElems = static_cast<ULONG>(list.size());
        pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(std::max<size_t>(1, list.size()) * sizeof(GUID)));
        if (!pages->pElems) {
            pages->cElems = 0;
            return E_OUTOFMEMORY;
        }
        std::copy(list.begin(), list.end(), pages->pElems);
        return S_OK;
    }

protected:
    HRESULT OnPause() override
    {
        const HRESULT hr = Open();
        if (FAILED(hr))
            return hr;
        if (ControlHandle h(DevicePath()); h)
            RememberSettings(h.fd());
        AM_MEDIA_TYPE now;
        if (FAILED(TypeFromStream(now)) || !(now.subtype == m_type.subtype) || now.video.biWidth != m_type.video.biWidth ||
            now.video.biHeight != m_type.video.biHeight) {
            Close();
            return VFW_E_TYPE_NOT_ACCEPTED; // the device changed its format since it was connected
        }
        return S_OK;
    }
    HRESULT OnRun(REFERENCE_TIME) override
    {
        m_stop = false;
        m_thread = std::thread([this] { StreamLoop(); });
        return S_OK;
    }
    void OnStopRunning() override { Join(); }
    void OnStop() override
    {
        Join();
        Close();
    }

private:
    static HRESULT ApplyControl(int fd, const ControlMap& c, long value, long flags)
    {
        if (c.autoCid) {
            v4l2_control a{c.autoCid, (flags & VideoProcAmp_Flags_Auto) ? 1 : 0};
            Ioctl(fd, VIDIOC_S_CTRL, &a);
            if (flags & VideoProcAmp_Flags_Auto)
                return S_OK;
        }
        v4l2_control ctl{c.cid, static_cast<int32_t>(value)};
        return Ioctl(fd, VIDIOC_S_CTRL, &ctl) == 0 ? S_OK : HResultFromErrno(errno);
    }

    // Reads the device's input and picture controls, to put them back on a
    // camera that was replugged and has forgotten them. Automatic modes come
    // first in the list so that restoring them does not block a manual value.
    void RememberSettings(int fd)
    {
        std::vector<std::pair<uint32_t, int32_t>> controls;
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& c : kControls) {
                const uint32_t cid = pass == 0 ? c.autoCid : c.cid;
                v4l2_control ctl{cid, 0};
                if (cid && Ioctl(fd, VIDIOC_G_CTRL, &ctl) == 0)
                    controls.emplace_back(cid, ctl.value);
            }
        int input = -1;
        if (Ioctl(fd, VIDIOC_G_INPUT, &input) < 0)
            input = -1;
        std::lock_guard lock(m_settingsLock);
        m_savedControls = std::move(controls);
        m_savedInput = input;
    }

    void RestoreSettings(int fd)
    {
        std::vector<std::pair<uint32_t, int32_t>> controls;
        int input = -1;
        {
            std::lock_guard lock(m_settingsLock);
            controls = m_savedControls;
            input = m_savedInput;
        }
        if (input >= 0)
            Ioctl(fd, VIDIOC_S_INPUT, &input);
        for (const auto& [cid, value] : controls) {
            v4l2_control ctl{cid, value};
            Ioctl(fd, VIDIOC_S_CTRL, &ctl); // a control the camera now refuses is left as it is
        }
    }

    std::string DevicePath()
    {
        std::lock_guard lock(m_settingsLock);
        return m_device.path;
    }

    void ScanControls()
    {
        ControlHandle h(DevicePath());
        if (!h)
            return;
        m_haveIdentity = QueryV4L2Identity(DevicePath(), m_identity);
        for (const auto& c : kControls) {
            v4l2_queryctrl q;
            if (QueryEnabledControl(h.fd(), c.cid, q))
                m_hasControls = true;
        }
        for (uint32_t i = 0; i < 64; ++i) {
            v4l2_input input{};
            input.index = i;
            if (Ioctl(h.fd(), VIDIOC_ENUMINPUT, &input) < 0)
                break;
            m_inputs.push_back(input);
        }
    }

    static int Interrupt(void* opaque) { return static_cast<V4L2Source*>(opaque)->m_stop.load() ? 1 : 0; }

    HRESULT Open()
    {
        m_stop = false; // the interrupt callback would abort the open otherwise
        return OpenContext();
    }

    HRESULT OpenContext()
    {
        Close();
        const AVInputFormat* format = av_find_input_format("video4linux2");
        if (!format)
            return HRESULT_NOT_SUPPORTED;
        m_context = avformat_alloc_context();
        if (!m_context)
            return E_OUTOFMEMORY;
        m_context->interrupt_callback.callback = &V4L2Source::Interrupt;
        m_context->interrupt_callback.opaque = this;
        AVDictionary* options = nullptr;
        if (m_type.video.biWidth > 0) {
            // Ask for the format that was agreed at connection time.
            char size[32];
            std::snprintf(size, sizeof size, "%dx%d", m_type.video.biWidth, m_type.video.biHeight);
            av_dict_set(&options, "video_size", size, 0);
            av_dict_set(&options, "input_format", m_type.subtype == MEDIASUBTYPE_MJPG ? "mjpeg" : m_type.subtype == MEDIASUBTYPE_YUY2 ? "yuyv422" : "yuv420p", 0);
        }
        const int r = avformat_open_input(&m_context, DevicePath().c_str(), format, &options);
        av_dict_free(&options);
        if (r < 0) {
            m_context = nullptr; // freed by avformat_open_input on failure
            return HResultFromAv(r);
        }
        return S_OK;
    }

    void Close()
    {
        if (m_context)
            avformat_close_input(&m_context);
    }

    HRESULT TypeFromStream(AM_MEDIA_TYPE& type)
    {
        if (!m_context || m_context->nb_streams < 1)
            return HRESULT_DEVICE_FAILURE;
        const AVStream* stream = m_context->streams[0];
        const AVCodecParameters* par = stream->codecpar;
        double fps = stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0 ? av_q2d(stream->avg_frame_rate)
                   : stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0 ? av_q2d(stream->r_frame_rate)
                                                                                   : 30.0;
        GUID subtype = GUID_NULL;
        if (par->codec_id == AV_CODEC_ID_MJPEG)
            subtype = MEDIASUBTYPE_MJPG;
        else if (par->codec_id == AV_CODEC_ID_RAWVIDEO && par->format == AV_PIX_FMT_YUYV422)
            subtype = MEDIASUBTYPE_YUY2;
        else if (par->codec_id == AV_CODEC_ID_RAWVIDEO && par->format == AV_PIX_FMT_YUV420P)
            subtype = MEDIASUBTYPE_I420;
        if (subtype == GUID_NULL || par->width <= 0 || par->height <= 0)
            return HRESULT_NOT_SUPPORTED;
        type = MakeVideoType(subtype, par->width, par->height, fps);
        return S_OK;
    }

    void Join()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    // Sends one frame downstream; false when streaming must end.
    bool DeliverFrame(const uint8_t* data, size_t size, bool& first)
    {
        const REFERENCE_TIME captured = ReferenceTimeNow();
        const REFERENCE_TIME start = captured - StartTime();
        // A frame no one downstream will use is not copied out of the driver.
        if (!m_pin->Wanted(start) && m_pin->IsConnected())
            return true;
        auto sample = MediaSample::Create(size);
        std::memcpy(sample->Data(), data, size);
        const REFERENCE_TIME end = start + m_type.video.AvgTimePerFrame;
        sample->SetTime(&start, &end);
        sample->SetDiscontinuity(first);
        sample->captureTime = captured;
        first = false;
        if (!DeliverFromStream(*this, *m_pin, sample.Get()))
            return false;
        m_last = std::move(sample);
        return true;
    }

    void StreamLoop()
    {
        AVPacket* packet = av_packet_alloc();
        bool first = true;
        while (!m_stop && packet) {
            const int r = av_read_frame(m_context, packet);
            if (r == AVERROR(EAGAIN)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (r < 0) {
                if (m_stop)
                    break;
                if (r != AVERROR(ENODEV) && r != AVERROR(EIO) && r != AVERROR_EOF) {
                    NotifyEvent(EC_ERRORABORT, HResultFromAv(r), 0);
                    break;
                }
                // The camera went away: keep the stream going until it is back.
                NotifyEvent(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(Self()), 1);
                if (!RideOutLoss(first))
                    break;
                NotifyEvent(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(Self()), 0);
                continue;
            }
            const bool goOn = DeliverFrame(packet->data, static_cast<size_t>(packet->size), first);
            av_packet_unref(packet);
            if (!goOn)
                break;
        }
        av_packet_free(&packet);
        m_last = nullptr;
    }

    // Sends the slate at the frame rate and looks for the camera every few
    // seconds. True when the camera is open again; false when streaming
    // stops first (or the slate cannot be delivered).
    bool RideOutLoss(bool& first)
    {
        Close(); // let go of the dead descriptor so the camera can come back
        const std::vector<uint8_t> slate = MakeCameraLostSlate(
            m_type, m_last ? m_last->Data() : nullptr, m_last ? static_cast<size_t>(m_last->GetActualDataLength()) : 0);
        const REFERENCE_TIME interval = std::max<REFERENCE_TIME>(m_type.video.AvgTimePerFrame, 10'000);
        REFERENCE_TIME nextTry = ReferenceTimeNow() + kReconnectInterval;
        REFERENCE_TIME nextFrame = ReferenceTimeNow();
        while (!m_stop) {
            const REFERENCE_TIME now = ReferenceTimeNow();
            if (now >= nextTry) {
                if (Reopen())
                    return true;
                nextTry = ReferenceTimeNow() + kReconnectInterval;
            }
            if (now >= nextFrame) {
                if (!slate.empty() && !DeliverFrame(slate.data(), slate.size(), first))
                    return false;
                nextFrame += interval;
                if (nextFrame < now)
                    nextFrame = now + interval;
            }
            const REFERENCE_TIME wait = std::min(nextFrame, nextTry) - ReferenceTimeNow();
            if (wait > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(std::min<REFERENCE_TIME>(wait, 500'000) / 10));
        }
        return false;
    }

    // Opens the lost camera again, wherever it now is, in the agreed format.
    bool Reopen()
    {
        if (!m_haveIdentity)
            return false;
        const std::string path = FindV4L2Node(m_identity);
        if (path.empty())
            return false;
        {
            std::lock_guard lock(m_settingsLock);
            m_device.path = path;
        }
        AM_MEDIA_TYPE now;
        if (FAILED(OpenContext()) || FAILED(TypeFromStream(now)) || !(now.subtype == m_type.subtype) ||
            now.video.biWidth != m_type.video.biWidth || now.video.biHeight != m_type.video.biHeight) {
            Close();
            return false;
        }
        // A camera that was replugged has forgotten what the user chose.
        ControlHandle h(path);
        if (h)
            RestoreSettings(h.fd());
        return true;
    }

    friend class V4L2Pin;

    std::mutex m_settingsLock; // guards m_device.path and the user's choices below
    DeviceIdentity m_device;
    std::vector<std::pair<uint32_t, int32_t>> m_savedControls; // V4L2 control id, value
    int m_savedInput = -1;
    V4L2Identity m_identity;
    bool m_haveIdentity = false;
    ComPtr<MediaSample> m_last; // the last frame delivered (streaming thread only)
    V4L2Pin* m_pin = nullptr;
    bool m_hasControls = false;
    std::vector<v4l2_input> m_inputs;
    bool m_probed = false;
    HRESULT m_probeResult = S_OK;
    AM_MEDIA_TYPE m_type;
    AVFormatContext* m_context = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

HRESULT V4L2Pin::CheckMediaType(const AM_MEDIA_TYPE& type)
{
    AM_MEDIA_TYPE own;
    const HRESULT hr = m_owner.Probe(&own);
    if (FAILED(hr))
        return hr;
    return type.subtype == own.subtype && type.video.biWidth == own.video.biWidth && type.video.biHeight == own.video.biHeight
               ? S_OK
               : S_FALSE;
}

HRESULT V4L2Pin::GetMediaType(int index, AM_MEDIA_TYPE* type)
{
    const HRESULT hr = m_owner.Probe(type);
    if (FAILED(hr))
        return hr;
    return index == 0 ? S_OK : S_FALSE;
}

} // namespace

HRESULT CreateV4L2Source(const DeviceIdentity& device, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto source = ComPtr<V4L2Source>::Adopt(NewComObject<V4L2Source>(device));
    return source->QueryInterface(riid, ppv);
}
