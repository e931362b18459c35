// The Windows Media ASF writer filter.

#include "platform/dshow/BaseClasses.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/AudioTap.h"
#include "platform/wmf/WMAsfWriter.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Samples waiting for the encoding thread. A live source never waits: when
// the encoder falls this far behind, new pictures are dropped.
constexpr size_t kMaxQueuedSamples = 8;

std::string StringValue(WMT_ATTR_DATATYPE type, const BYTE* value, size_t length)
{
    if (type != WMT_TYPE_STRING || !value)
        return {};
    std::u16string text;
    for (size_t i = 0; i + 1 < length; i += 2)
        text += static_cast<char16_t>(value[i] | (value[i + 1] << 8));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return Utf16ToUtf8(text);
}

bool SameName(const WCHAR* a, const WCHAR* b)
{
    if (!a || !b)
        return false;
    return std::u16string_view(a) == std::u16string_view(b);
}

// ---- the writer's state, shared by the filter and its advanced interface ----

class WriterCore {
public:
    WriterCore()
    {
        ComPtr<IWMWriterFileSink> file;
        WMCreateWriterFileSink(file.GetAddressOf());
        m_fileSink = file;
        m_sinks.push_back(ComPtr<IWMWriterSink>(file.Get()));
    }
    ~WriterCore() { End(); }

    // ---- configuration (user-interface thread) ----

    void SetStreams(std::vector<WMStreamFormat> streams, GUID profileId, ComPtr<IWMProfile> profile)
    {
        std::lock_guard lock(m_lock);
        m_streams = std::move(streams);
        m_profileId = profileId;
        m_profile = std::move(profile);
        m_deinterlace.clear();
    }
    std::vector<WMStreamFormat> Streams()
    {
        std::lock_guard lock(m_lock);
        return m_streams;
    }
    GUID ProfileId()
    {
        std::lock_guard lock(m_lock);
        return m_profileId;
    }
    ComPtr<IWMProfile> Profile()
    {
        std::lock_guard lock(m_lock);
        return m_profile;
    }

    HRESULT SetFileName(const std::string& name)
    {
        std::lock_guard lock(m_lock);
        m_fileName = name;
        return m_fileSink->Open(name);
    }
    std::string FileName()
    {
        std::lock_guard lock(m_lock);
        return m_fileName;
    }

    DWORD params[4] = {0, 1, 0, 0}; // AutoIndex on by default

    // ---- sinks ----

    HRESULT SinkCount(DWORD* count)
    {
        if (!count)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        *count = static_cast<DWORD>(m_sinks.size());
        return S_OK;
    }
    HRESULT GetSink(DWORD index, IWMWriterSink** sink)
    {
        if (!sink)
            return E_POINTER;
        *sink = nullptr;
        std::lock_guard lock(m_lock);
        if (index >= m_sinks.size())
            return E_INVALIDARG;
        *sink = ComPtr<IWMWriterSink>(m_sinks[index]).Detach();
        return S_OK;
    }
    HRESULT AddSink(IWMWriterSink* sink)
    {
        if (!sink)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        for (const auto& s : m_sinks)
            if (s.Get() == sink)
                return E_INVALIDARG;
        m_sinks.emplace_back(sink);
        // Joining while writing: the header first, before any packet (the
        // encoding thread takes its sink list under the same lock).
        if (m_encoder) {
            sink->OnHeader(m_encoder->Header().data(), m_encoder->Header().size());
            sink->SetKeyFrameRequest(m_encoder->KeyFrames());
        }
        return S_OK;
    }
    HRESULT RemoveSink(IWMWriterSink* sink)
    {
        std::lock_guard lock(m_lock);
        for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it)
            if (it->Get() == sink) {
                m_sinks.erase(it);
                return S_OK;
            }
        return E_INVALIDARG;
    }

    // ---- settings and attributes ----

    std::atomic<bool> live{false};

    HRESULT SetInputSetting(DWORD input, const WCHAR* name, WMT_ATTR_DATATYPE type, const BYTE* value, WORD length)
    {
        if (!name || !value)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        if (input >= m_streams.size())
            return E_INVALIDARG;
        if (!SameName(name, g_wszDeinterlaceMode))
            return NS_E_INVALID_REQUEST;
        if (type != WMT_TYPE_DWORD || length != 4 || !m_streams[input].IsVideo())
            return E_INVALIDARG;
        DWORD mode = 0;
        std::memcpy(&mode, value, 4);
        m_deinterlace[input] = mode;
        return S_OK;
    }
    HRESULT GetInputSetting(DWORD input, const WCHAR* name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length)
    {
        if (!name || !type || !length)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        if (input >= m_streams.size() || !SameName(name, g_wszDeinterlaceMode))
            return E_INVALIDARG;
        *type = WMT_TYPE_DWORD;
        if (!value) {
            *length = 4;
            return S_OK;
        }
        if (*length < 4)
            return ASF_E_BUFFERTOOSMALL;
        const auto it = m_deinterlace.find(input);
        const DWORD mode = it == m_deinterlace.end() ? WM_DM_NOTINTERLACED : it->second;
        std::memcpy(value, &mode, 4);
        *length = 4;
        return S_OK;
    }

    struct Attribute {
        WORD stream;
        std::u16string name;
        WMT_ATTR_DATATYPE type;
        std::vector<BYTE> value;
    };

    HRESULT SetAttribute(WORD stream, const WCHAR* name, WMT_ATTR_DATATYPE type, const BYTE* value, size_t length, WORD* index)
    {
        if (!name || (!value && length))
            return E_POINTER;
        if (length > 65535 || type < WMT_TYPE_DWORD || type > WMT_TYPE_GUID)
            return E_INVALIDARG;
        std::lock_guard lock(m_lock);
        Attribute a{stream, name, type, std::vector<BYTE>(value, value + length)};
        for (size_t i = 0; i < m_attributes.size(); ++i)
            if (m_attributes[i].stream == stream && m_attributes[i].name == a.name) {
                m_attributes[i] = std::move(a);
                if (index)
                    *index = static_cast<WORD>(i);
                return S_OK;
            }
        if (index)
            *index = static_cast<WORD>(m_attributes.size());
        m_attributes.push_back(std::move(a));
        return S_OK;
    }
    HRESULT GetAttribute(WORD* stream, const WCHAR* name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length)
    {
        if (!stream || !name || !type || !length)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        for (const Attribute& a : m_attributes)
            if (a.stream == *stream && a.name == name) {
                *type = a.type;
                if (value) {
                    if (*length < a.value.size())
                        return ASF_E_BUFFERTOOSMALL;
                    std::memcpy(value, a.value.data(), a.value.size());
                }
                *length = static_cast<WORD>(a.value.size());
                return S_OK;
            }
        return E_INVALIDARG;
    }

    QWORD WriterTime() const { return static_cast<QWORD>(m_lastTime.load()); }
    const std::shared_ptr<PictureTap>& Tap() const { return m_tap; }

    // ---- writing ----

    // Leaving Stopped: builds the encoder, sends the header to every sink
    // and starts the encoding thread.
    HRESULT Begin()
    {
        End();
        std::lock_guard lock(m_lock);
        std::string title;
        for (const Attribute& a : m_attributes)
            if (a.stream == 0 && a.name == g_wszTitle)
                title = StringValue(a.type, a.value.data(), a.value.size());
        std::string error;
        m_encoder = AsfEncoder::Create(m_streams, title, [this](asf::DataPacketPtr p) { Distribute(p); }, &error);
        if (!m_encoder)
            return E_FAIL;
        m_encoder->SetPictureTap(m_tap);
        for (const auto& sink : m_sinks) {
            sink->OnHeader(m_encoder->Header().data(), m_encoder->Header().size());
            sink->SetKeyFrameRequest(m_encoder->KeyFrames());
        }
        m_settings = m_deinterlace;
        m_stopWorker = false;
        m_accepting = true;
        m_frameCount.assign(m_streams.size(), 0);
        m_slotStep.clear();
        for (const auto& f : m_streams)
            m_slotStep.push_back(f.IsVideo() && f.avgTimePerFrame > 0 ? static_cast<REFERENCE_TIME>(f.avgTimePerFrame) : 0);
        m_lastSlot.assign(m_streams.size(), -1);
        m_haveSlotOrigin = false;
        m_worker = std::thread([this] { Work(); });
        return S_OK;
    }

    // Entering Stopped: encodes what is queued, drains the encoders and
    // ends every sink.
    void End()
    {
        {
            std::lock_guard jobs(m_jobLock);
            m_accepting = false;
            m_stopWorker = true;
        }
        m_jobReady.notify_all();
        m_jobTaken.notify_all();
        if (m_worker.joinable())
            m_worker.join();
        std::unique_ptr<AsfEncoder> encoder;
        {
            std::lock_guard lock(m_lock);
            encoder = std::move(m_encoder);
        }
        if (!encoder)
            return;
        // Finish still emits packets through Distribute, which needs the
        // encoder gone from m_encoder only for AddSink's header.
        encoder->Finish();
        for (const auto& sink : Sinks())
            sink->OnEndWriting();
        m_tap->End();
    }

    // Streaming thread: queues a sample for the encoding thread.
    HRESULT Deliver(size_t stream, IMediaSample* sample, const AM_MEDIA_TYPE& type)
    {
        REFERENCE_TIME start = 0, end = 0;
        const bool timed = SUCCEEDED(sample->GetTime(&start, &end));
        std::unique_lock jobs(m_jobLock);
        if (!m_accepting)
            return VFW_E_WRONG_STATE;
        if (stream >= m_frameCount.size())
            return E_INVALIDARG;
        if (!timed) {
            // Untimed samples: a live source is stamped by the clock, a file
            // source by its position in the stream.
            if (live) {
                if (!m_haveClock) {
                    m_clockOrigin = ReferenceTimeNow();
                    m_haveClock = true;
                }
                start = ReferenceTimeNow() - m_clockOrigin;
            } else {
                const auto& f = m_streamsAtBegin(stream);
                start = f.IsVideo() ? static_cast<REFERENCE_TIME>(m_frameCount[stream] * f.avgTimePerFrame) : 0;
            }
        }
        ++m_frameCount[stream];
        if (m_jobs.size() >= kMaxQueuedSamples) {
            if (live)
                return S_OK; // dropped: the encoder is behind real time
            m_jobTaken.wait(jobs, [&] { return m_jobs.size() < kMaxQueuedSamples || !m_accepting; });
            if (!m_accepting)
                return VFW_E_WRONG_STATE;
        }
        m_jobs.push_back(Job{stream, ComPtr<IMediaSample>(sample), type, start});
        if (!m_haveSlotOrigin) {
            m_slotOrigin = start;
            m_haveSlotOrigin = true;
        }
        if (m_slotStep[stream])
            m_lastSlot[stream] = std::max(m_lastSlot[stream], SlotOf(stream, start));
        jobs.unlock();
        m_jobReady.notify_one();
        return S_OK;
    }

    // Streaming thread, before a frame is made: the encoder takes the first
    // picture of each frame slot (counted, as it does, from the first sample
    // queued) and drops the others, so a picture for a slot already queued
    // is not wanted.
    HRESULT WantsFrame(size_t stream, REFERENCE_TIME start)
    {
        std::lock_guard jobs(m_jobLock);
        if (!m_accepting || stream >= m_slotStep.size() || !m_slotStep[stream] || !m_haveSlotOrigin)
            return S_OK;
        return SlotOf(stream, start) > m_lastSlot[stream] ? S_OK : S_FALSE;
    }

private:
    int64_t SlotOf(size_t stream, REFERENCE_TIME start) const
    {
        const REFERENCE_TIME step = m_slotStep[stream];
        return (std::max<REFERENCE_TIME>(start - m_slotOrigin, 0) + step / 4) / step;
    }

    struct Job {
        size_t stream;
        ComPtr<IMediaSample> sample;
        AM_MEDIA_TYPE type;
        REFERENCE_TIME time;
    };

    const WMStreamFormat& m_streamsAtBegin(size_t stream) { return m_streams[stream]; }

    std::vector<ComPtr<IWMWriterSink>> Sinks()
    {
        std::lock_guard lock(m_lock);
        return m_sinks;
    }

    void Distribute(const asf::DataPacketPtr& packet)
    {
        for (const auto& sink : Sinks())
            sink->OnDataUnit(packet);
    }

    void Work()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock jobs(m_jobLock);
                m_jobReady.wait(jobs, [&] { return !m_jobs.empty() || m_stopWorker; });
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            m_jobTaken.notify_all();
            Encode(job);
        }
    }

    void Encode(const Job& job)
    {
        AsfEncoder* encoder = m_encoder.get(); // stable while the worker runs
        if (!encoder)
            return;
        AM_MEDIA_TYPE type = job.type;
        AM_MEDIA_TYPE changed;
        if (job.sample->GetMediaType(&changed) == S_OK)
            type = changed;
        BYTE* data = nullptr;
        if (FAILED(job.sample->GetPointer(&data)) || !data)
            return;
        const long length = job.sample->GetActualDataLength();
        if (length <= 0)
            return;
        if (type.majortype == MEDIATYPE_Video) {
            PixelLayout layout = PixelLayout::RGB32;
            if (type.subtype == MEDIASUBTYPE_YUY2)
                layout = PixelLayout::YUY2;
            else if (type.subtype == MEDIASUBTYPE_I420)
                layout = PixelLayout::I420;
            else if (type.subtype != MEDIASUBTYPE_RGB32)
                return;
            const auto it = m_settings.find(static_cast<DWORD>(job.stream));
            const bool deinterlace = it != m_settings.end() && it->second != WM_DM_NOTINTERLACED;
            encoder->EncodeVideo(job.stream,
                {layout, type.video.biWidth, type.video.biHeight, data, static_cast<size_t>(length)}, job.time, deinterlace);
        } else if (type.majortype == MEDIATYPE_Audio) {
            const size_t frameBytes = static_cast<size_t>(type.audio.nChannels) * 2;
            if (frameBytes)
                encoder->EncodeAudio(job.stream, reinterpret_cast<const int16_t*>(data),
                    static_cast<size_t>(length) / frameBytes, job.time);
        }
        m_lastTime = encoder->LastTime();
    }

    std::mutex m_lock; // configuration, sinks, attributes
    std::vector<WMStreamFormat> m_streams;
    GUID m_profileId = GUID_NULL;
    ComPtr<IWMProfile> m_profile;
    std::vector<ComPtr<IWMWriterSink>> m_sinks;
    ComPtr<IWMWriterFileSink> m_fileSink;
    std::string m_fileName;
    std::map<DWORD, DWORD> m_deinterlace;
    std::vector<Attribute> m_attributes;
    std::unique_ptr<AsfEncoder> m_encoder;
    const std::shared_ptr<PictureTap> m_tap = std::make_shared<PictureTap>();

    std::mutex m_jobLock; // the queue between streaming and encoding threads
    std::condition_variable m_jobReady, m_jobTaken;
    std::deque<Job> m_jobs;
    bool m_accepting = false;
    bool m_stopWorker = false;
    bool m_haveClock = false;
    REFERENCE_TIME m_clockOrigin = 0;
    std::vector<uint64_t> m_frameCount;
    std::vector<REFERENCE_TIME> m_slotStep; // of each video stream (0: not video)
    std::vector<int64_t> m_lastSlot;        // the latest slot queued, per stream
    REFERENCE_TIME m_slotOrigin = 0;
    bool m_haveSlotOrigin = false;
    std::map<DWORD, DWORD> m_settings; // input settings of this writing session (worker only)
    std::thread m_worker;
    std::atomic<int64_t> m_lastTime{0};
};

// ---- IWMWriterAdvanced2 and IWMHeaderInfo3 -----------------------------------

class WriterAdvanced final : public ComObject<IWMWriterAdvanced2, IWMHeaderInfo3> {
public:
    explicit WriterAdvanced(std::shared_ptr<WriterCore> core) : m_core(std::move(core)) {}

    HRESULT GetSinkCount(DWORD* count) override { return m_core->SinkCount(count); }
    HRESULT GetSink(DWORD index, IWMWriterSink** sink) override { return m_core->GetSink(index, sink); }
    HRESULT AddSink(IWMWriterSink* sink) override { return m_core->AddSink(sink); }
    HRESULT RemoveSink(IWMWriterSink* sink) override { return m_core->RemoveSink(sink); }
    HRESULT SetLiveSource(BOOL live) override
    {
        m_core->live = live != 0;
        return S_OK;
    }
    HRESULT IsRealTime(BOOL* realTime) override
    {
        if (!realTime)
            return E_POINTER;
        *realTime = m_core->live ? 1 : 0;
        return S_OK;
    }
    HRESULT GetWriterTime(QWORD* time) override
    {
        if (!time)
            return E_POINTER;
        *time = m_core->WriterTime();
        return S_OK;
    }
    HRESULT SetInputSetting(DWORD input, const WCHAR* name, WMT_ATTR_DATATYPE type, const BYTE* value, WORD length) override
    {
        return m_core->SetInputSetting(input, name, type, value, length);
    }
    HRESULT GetInputSetting(DWORD input, const WCHAR* name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length) override
    {
        return m_core->GetInputSetting(input, name, type, value, length);
    }

    HRESULT GetAttributeByName(WORD* stream, const WCHAR* name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length) override
    {
        return m_core->GetAttribute(stream, name, type, value, length);
    }
    HRESULT SetAttribute(WORD stream, const WCHAR* name, WMT_ATTR_DATATYPE type, const BYTE* value, WORD length) override
    {
        return m_core->SetAttribute(stream, name, type, value, length, nullptr);
    }
    HRESULT AddAttribute(WORD stream, const WCHAR* name, WORD* index, WMT_ATTR_DATATYPE type, WORD /*language*/,
        const BYTE* value, DWORD length) override
    {
        return m_core->SetAttribute(stream, name, type, value, length, index);
    }

private:
    std::shared_ptr<WriterCore> m_core;
};

// ---- the filter -------------------------------------------------------------------

class AsfWriterFilter;

class WriterInputPin final : public InputPin {
public:
    WriterInputPin(FilterCore& filter, std::string name, bool video, WriterCore& core)
        : InputPin(filter, std::move(name)), m_video(video), m_core(core)
    {
    }

    bool IsVideo() const { return m_video; }
    // Which profile stream the pin feeds; inactive pins (of an earlier
    // profile) take no connection.
    void Assign(bool active, size_t stream, const WMStreamFormat& format)
    {
        m_active = active;
        m_stream = stream;
        m_format = format;
    }
    bool Active() const { return m_active; }
    size_t Stream() const { return m_stream; }
    const WMStreamFormat& Format() const { return m_format; }

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
    {
        if (!m_active)
            return S_FALSE;
        if (m_video) {
            if (type.majortype != MEDIATYPE_Video || type.formattype != FORMAT_VideoInfo)
                return S_FALSE;
            PixelLayout layout;
            if (type.subtype == MEDIASUBTYPE_RGB32)
                layout = PixelLayout::RGB32;
            else if (type.subtype == MEDIASUBTYPE_YUY2)
                layout = PixelLayout::YUY2;
            else if (type.subtype == MEDIASUBTYPE_I420)
                layout = PixelLayout::I420;
            else
                return S_FALSE;
            return PictureBytes(layout, type.video.biWidth, type.video.biHeight) ? S_OK : S_FALSE;
        }
        return type.majortype == MEDIATYPE_Audio && type.subtype == MEDIASUBTYPE_PCM && type.formattype == FORMAT_WaveFormatEx
                && type.audio.wBitsPerSample == 16 && type.audio.nChannels == m_format.channels
                && static_cast<int>(type.audio.nSamplesPerSec) == m_format.sampleRate
            ? S_OK
            : S_FALSE;
    }

    // A video pin proposes the stream's own picture (I420 at the profile's
    // size): a converter in front of it then makes that, not a full-size
    // picture the encoder would scale down again.
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override
    {
        // An audio pin proposes the stream's rate and channel count as PCM.
        if (index == 0 && m_active && !m_video && m_format.sampleRate > 0 && m_format.channels > 0) {
            AM_MEDIA_TYPE t;
            t.majortype = MEDIATYPE_Audio;
            t.subtype = MEDIASUBTYPE_PCM;
            t.formattype = FORMAT_WaveFormatEx;
            t.lSampleSize = static_cast<uint32_t>(m_format.channels * 2);
            t.audio.nChannels = static_cast<uint16_t>(m_format.channels);
            t.audio.nSamplesPerSec = static_cast<uint32_t>(m_format.sampleRate);
            t.audio.wBitsPerSample = 16;
            t.audio.nBlockAlign = static_cast<uint16_t>(m_format.channels * 2);
            t.audio.nAvgBytesPerSec = static_cast<uint32_t>(m_format.sampleRate * m_format.channels * 2);
            *type = t;
            return S_OK;
        }
        if (index != 0 || !m_active || !m_video || m_format.width <= 0 || m_format.height <= 0 || m_format.width % 2 ||
            m_format.height % 2)
            return S_FALSE;
        *type = MakeVideoType(MEDIASUBTYPE_I420, m_format.width, m_format.height, m_format.FramesPerSecond());
        return S_OK;
    }

    HRESULT Receive(IMediaSample* sample) override
    {
        if (!sample)
            return E_POINTER;
        const HRESULT hr = CheckStreaming();
        if (FAILED(hr))
            return hr;
        return m_core.Deliver(m_stream, sample, ConnectionType());
    }
    HRESULT WantsFrame(REFERENCE_TIME start) override { return m_core.WantsFrame(m_stream, start); }

private:
    bool m_video;
    WriterCore& m_core;
    bool m_active = false;
    size_t m_stream = 0;
    WMStreamFormat m_format;
};

class AsfWriterFilter final : public BaseFilter<IConfigAsfWriter2, IFileSinkFilter, IServiceProvider, IWMWriterPictureTap, IWMWriterAudioTap> {
public:
    AsfWriterFilter() : BaseFilter(CLSID_WMAsfWriter), m_core(std::make_shared<WriterCore>())
    {
        // A new writer starts with the first profile of the system table.
        ConfigureFilterUsingProfileGuid(WMSystemProfileAt(0).id);
    }
    ~AsfWriterFilter() override { StopStreamingNow(); }

    // Only the pins of the current profile are shown.
    HRESULT EnumPins(IEnumPins** pins) override
    {
        if (!pins)
            return E_POINTER;
        std::vector<ComPtr<IPin>> list;
        for (WriterInputPin* p : m_active)
            list.emplace_back(static_cast<IPin*>(p));
        return CreatePinEnumerator(std::move(list), pins);
    }
    HRESULT FindPin(const char* id, IPin** pin) override
    {
        if (!id || !pin)
            return E_POINTER;
        *pin = nullptr;
        for (WriterInputPin* p : m_active)
            if (p->Name() == id) {
                *pin = ComPtr<IPin>(static_cast<IPin*>(p)).Detach();
                return S_OK;
            }
        return VFW_E_NOT_FOUND;
    }

    // ---- IConfigAsfWriter ----

    HRESULT ConfigureFilterUsingProfileGuid(REFGUID id) override
    {
        ComPtr<IWMProfileManager> manager;
        if (FAILED(WMCreateProfileManager(manager.GetAddressOf())))
            return E_FAIL;
        ComPtr<IWMProfile> profile;
        const HRESULT hr = manager->LoadProfileByID(id, profile.GetAddressOf());
        if (FAILED(hr))
            return hr;
        return ConfigureFilterUsingProfile(profile.Get());
    }
    HRESULT GetCurrentProfileGuid(GUID* id) override
    {
        if (!id)
            return E_POINTER;
        *id = m_core->ProfileId();
        return S_OK;
    }
    HRESULT ConfigureFilterUsingProfile(IWMProfile* profile) override
    {
        if (!profile)
            return E_POINTER;
        if (State() != State_Stopped)
            return VFW_E_WRONG_STATE;
        for (WriterInputPin* p : m_active)
            if (p->IsConnected())
                return VFW_E_ALREADY_CONNECTED;
        DWORD count = 0;
        if (FAILED(profile->GetStreamCount(&count)) || count == 0 || count > 127)
            return NS_E_INVALID_PROFILE;
        std::vector<WMStreamFormat> streams;
        for (DWORD i = 0; i < count; ++i) {
            ComPtr<IWMStreamConfig> config;
            WMStreamFormat f;
            if (FAILED(profile->GetStream(i, config.GetAddressOf())) || FAILED(config->GetFormat(&f))
                || !(f.IsVideo() || f.IsAudio()))
                return NS_E_INVALID_PROFILE;
            streams.push_back(std::move(f));
        }
        GUID id = GUID_NULL;
        profile->GetProfileID(&id);
        m_core->SetStreams(streams, id, ComPtr<IWMProfile>(profile));
        RebuildPins(streams);
        return S_OK;
    }
    HRESULT GetCurrentProfile(IWMProfile** profile) override
    {
        if (!profile)
            return E_POINTER;
        *profile = m_core->Profile().Detach();
        return *profile ? S_OK : E_FAIL;
    }
    HRESULT SetIndexMode(BOOL index) override { return SetParam(AM_CONFIGASFWRITER_PARAM_AUTOINDEX, index ? 1 : 0, 0); }
    HRESULT GetIndexMode(BOOL* index) override
    {
        if (!index)
            return E_POINTER;
        *index = m_core->params[AM_CONFIGASFWRITER_PARAM_AUTOINDEX] != 0;
        return S_OK;
    }

    // ---- IConfigAsfWriter2 ----

    HRESULT StreamNumFromPin(IPin* pin, WORD* number) override
    {
        if (!pin || !number)
            return E_POINTER;
        for (WriterInputPin* p : m_active)
            if (static_cast<IPin*>(p) == pin) {
                *number = p->Format().streamNumber;
                return S_OK;
            }
        return E_INVALIDARG;
    }
    // The three parameters are kept and reported; our encoder always
    // compresses in one pass, and the file sink writes no index.
    HRESULT SetParam(DWORD param, DWORD value1, DWORD) override
    {
        if (param < AM_CONFIGASFWRITER_PARAM_AUTOINDEX || param > AM_CONFIGASFWRITER_PARAM_DONTCOMPRESS || value1 > 1)
            return E_INVALIDARG;
        m_core->params[param] = value1;
        return S_OK;
    }
    HRESULT GetParam(DWORD param, DWORD* value1, DWORD* value2) override
    {
        if (!value1)
            return E_POINTER;
        if (param < AM_CONFIGASFWRITER_PARAM_AUTOINDEX || param > AM_CONFIGASFWRITER_PARAM_DONTCOMPRESS)
            return E_INVALIDARG;
        *value1 = m_core->params[param];
        if (value2)
            *value2 = 0;
        return S_OK;
    }
    HRESULT ResetMultiPassState() override { return S_OK; }

    // ---- IFileSinkFilter ----

    HRESULT SetFileName(const char* fileName, const AM_MEDIA_TYPE*) override
    {
        if (!fileName)
            return E_POINTER;
        return m_core->SetFileName(fileName);
    }
    HRESULT GetCurFile(std::string* fileName, AM_MEDIA_TYPE* type) override
    {
        if (!fileName)
            return E_POINTER;
        *fileName = m_core->FileName();
        if (type)
            *type = AM_MEDIA_TYPE{};
        return S_OK;
    }

    // ---- IWMWriterPictureTap ----

    std::shared_ptr<PictureTap> GetPictureTap() override { return m_core->Tap(); }

    // ---- IWMWriterAudioTap ----

    std::shared_ptr<AudioTap> GetAudioTap() override { return m_audioTap; }

    // ---- IServiceProvider ----

    HRESULT QueryService(REFGUID service, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (service != IWMWriterAdvanced2::iid && service != IWMWriterAdvanced::iid)
            return E_NOINTERFACE;
        if (!m_advanced)
            m_advanced = ComPtr<WriterAdvanced>::Adopt(NewComObject<WriterAdvanced>(m_core));
        return m_advanced->QueryInterface(riid, ppv);
    }

protected:
    HRESULT OnPause() override { return m_core->Begin(); }
    void OnStop() override { m_core->End(); }

private:
    // Pins are never destroyed while the filter lives (others may hold
    // them); a new profile reuses the pins of the same kind, in order.
    void RebuildPins(const std::vector<WMStreamFormat>& streams)
    {
        m_active.clear();
        int videoUsed = 0, audioUsed = 0;
        for (size_t i = 0; i < streams.size(); ++i) {
            const bool video = streams[i].IsVideo();
            int& used = video ? videoUsed : audioUsed;
            WriterInputPin* pin = nullptr;
            int seen = 0;
            for (WriterInputPin* p : m_all)
                if (p->IsVideo() == video && seen++ == used) {
                    pin = p;
                    break;
                }
            if (!pin) {
                char name[32];
                std::snprintf(name, sizeof name, "%s Input %02d", video ? "Video" : "Audio", used + 1);
                pin = static_cast<WriterInputPin*>(AddPin(std::make_unique<WriterInputPin>(*this, name, video, *m_core)));
                m_all.push_back(pin);
            }
            ++used;
            pin->Assign(true, i, streams[i]);
            m_active.push_back(pin);
        }
        for (WriterInputPin* p : m_all)
            if (std::find(m_active.begin(), m_active.end(), p) == m_active.end())
                p->Assign(false, 0, WMStreamFormat{});
    }

    std::shared_ptr<WriterCore> m_core;
    const std::shared_ptr<AudioTap> m_audioTap = std::make_shared<AudioTap>();
    ComPtr<WriterAdvanced> m_advanced;
    std::vector<WriterInputPin*> m_all;    // owned by FilterCore
    std::vector<WriterInputPin*> m_active; // of the current profile
};

} // namespace

HRESULT CreateWMAsfWriter(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto filter = ComPtr<AsfWriterFilter>::Adopt(NewComObject<AsfWriterFilter>());
    return filter->QueryInterface(riid, ppv);
}

void RegisterWMAsfWriterClass()
{
    static std::once_flag once;
    std::call_once(once, [] { CoRegisterClass(CLSID_WMAsfWriter, CreateWMAsfWriter); });
}
