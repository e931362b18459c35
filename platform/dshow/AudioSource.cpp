// The audio capture source: a sound server source or ALSA device read
// through libavdevice ("pulse" / "alsa" inputs), or the built-in test tone.
//
// Timing. Buffers are stamped by counting samples from an anchor on the
// capture clock: the first buffer's end is taken as its arrival, each later
// buffer follows the previous one exactly, so the stream has no gaps or
// overlaps. The device's own crystal is kept on the capture clock by
// SampleClock (single frames repeated or dropped); a stall anchors afresh.
// The test tone is generated against the clock and needs no anchor.

#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/SampleClock.h"
#include "platform/dshow/SourceStreaming.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <thread>

namespace {

constexpr REFERENCE_TIME kSecond = 10000000;
constexpr REFERENCE_TIME kBuffer = 200000;    // 20 ms per buffer of tone or silence
// What the sound server hands over at once. Every buffer costs a round of
// thread switches in the sound library, the reader, the streaming thread and
// the writer, which at 20 ms was most of what sound costs; the stamps do not
// depend on it (a buffer is dated by its end), only the sound's delay.
constexpr REFERENCE_TIME kFragment = 500000;  // 50 ms
constexpr REFERENCE_TIME kReopen = kSecond;   // retry a lost device once a second
// An input that gives nothing this long is taken as lost: a sound server
// that stopped answering keeps its connection open and would otherwise
// never say so (reads do not block: see OpenInput).
constexpr REFERENCE_TIME kSilentInput = kSecond;
// The sound server's first buffer after an open may take about a second.
constexpr REFERENCE_TIME kFirstData = 3 * kSecond;

AM_MEDIA_TYPE MakePcmType(int sampleRate, int channels)
{
    AM_MEDIA_TYPE t;
    t.majortype = MEDIATYPE_Audio;
    t.subtype = MEDIASUBTYPE_PCM;
    t.formattype = FORMAT_WaveFormatEx;
    t.bFixedSizeSamples = 1;
    t.lSampleSize = static_cast<uint32_t>(channels * 2);
    t.audio.wFormatTag = 1;
    t.audio.nChannels = static_cast<uint16_t>(channels);
    t.audio.nSamplesPerSec = static_cast<uint32_t>(sampleRate);
    t.audio.wBitsPerSample = 16;
    t.audio.nBlockAlign = static_cast<uint16_t>(channels * 2);
    t.audio.nAvgBytesPerSec = static_cast<uint32_t>(sampleRate * channels * 2);
    return t;
}

bool UsablePcm(const AM_MEDIA_TYPE& t)
{
    return t.majortype == MEDIATYPE_Audio && t.subtype == MEDIASUBTYPE_PCM && t.formattype == FORMAT_WaveFormatEx &&
           t.audio.wBitsPerSample == 16 && t.audio.nChannels >= 1 && t.audio.nChannels <= 2 &&
           t.audio.nSamplesPerSec >= 8000 && t.audio.nSamplesPerSec <= 48000;
}

class AudioSource;

class AudioPin final : public OutputPin {
public:
    explicit AudioPin(FilterCore& filter) : OutputPin(filter, "Capture", PIN_CATEGORY_CAPTURE) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override { return UsablePcm(type) ? S_OK : S_FALSE; }
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override
    {
        if (index != 0)
            return S_FALSE;
        *type = MakePcmType(48000, 1);
        return S_OK;
    }
};

class AudioSource final : public BaseFilter<IAudioCaptureControl> {
public:
    explicit AudioSource(DeviceIdentity device)
        : BaseFilter(device.kind == "tone" ? CLSID_LumoraTestTone : CLSID_AudioCaptureSource), m_device(std::move(device))
    {
        m_pin = static_cast<AudioPin*>(AddPin(std::make_unique<AudioPin>(*this)));
    }
    ~AudioSource() override { StopStreamingNow(); }

    void SetListener(Listener listener) override
    {
        std::lock_guard lock(m_listenerLock);
        m_listener = std::move(listener);
    }
    void SetMuted(bool muted) override { m_muted = muted; }
    int PeakLevel() override { return m_peak.load(); }
    bool InputLost() override { return m_lost.load(); }

protected:
    HRESULT OnRun(REFERENCE_TIME) override
    {
        m_stream.Start([this] { StreamLoop(); });
        return S_OK;
    }
    void OnStopRunning() override { StopThread(); }
    void OnStop() override { StopThread(); }

private:
    void StopThread()
    {
        // A read of the device is waited on apart from WaitUntil.
        m_stream.Stop([this] {
            std::shared_ptr<Reader> reader;
            {
                std::lock_guard lock(m_readerLock);
                reader = m_reader;
            }
            WakeForStop(reader);
        });
    }

    REFERENCE_TIME Now() const { return ReferenceTimeNow() - StartTime(); }

    // Waits until stream time `until`; false when asked to stop.
    bool WaitUntil(REFERENCE_TIME until)
    {
        return m_stream.WaitUntil(
            std::chrono::steady_clock::now() + std::chrono::nanoseconds(std::max<REFERENCE_TIME>(until - Now(), 0) * 100));
    }
    bool Stopping() { return m_stream.Stopping(); }

    void StreamLoop()
    {
        const bool connected = m_pin->IsConnected();
        {
            std::lock_guard lock(m_listenerLock);
            if (!connected && !m_listener)
                return; // nobody to hear it
        }
        const AM_MEDIA_TYPE type = connected ? m_pin->ConnectionType() : MakePcmType(48000, 1);
        m_rate = static_cast<int>(type.audio.nSamplesPerSec);
        m_channels = type.audio.nChannels;
        m_clock = SampleClock(m_rate);
        m_clock.Anchor(Now(), 0);
        m_first = true;
        if (m_device.kind == "tone")
            ToneLoop();
        else
            DeviceLoop();
    }

    void ToneLoop()
    {
        // The tone's own time is stream time: its sample n plays at stream
        // time n / rate, so the beeps fall exactly on the whole seconds.
        m_clock.Anchor(0, 0);
        m_clock.Advance(static_cast<size_t>(std::max<int64_t>(Now(), 0) * m_rate / kSecond));
        const int64_t perBuffer = m_rate * kBuffer / kSecond;
        std::vector<int16_t> pcm;
        while (WaitUntil(m_clock.TimeOf(m_clock.Sent() + perBuffer))) {
            pcm.assign(static_cast<size_t>(perBuffer * m_channels), 0);
            for (int64_t i = 0; i < perBuffer; ++i) {
                const int64_t n = m_clock.Sent() + i;
                const double t = static_cast<double>(n) / m_rate;
                const int64_t intoSecond = n % m_rate;
                const bool beep = intoSecond < m_rate * kTestToneBeepLength / kSecond;
                const double v = beep ? 9000.0 * std::sin(2 * M_PI * kTestToneBeepHz * t)
                                      : 1000.0 * std::sin(2 * M_PI * kTestToneHz * t);
                for (int c = 0; c < m_channels; ++c)
                    pcm[static_cast<size_t>(i * m_channels + c)] = static_cast<int16_t>(std::lrint(v));
            }
            if (!Send(pcm.data(), static_cast<size_t>(perBuffer)))
                return;
        }
    }

    // The device is opened and read on a thread of its own. A sound server
    // that accepts the connection and then stops answering keeps an open or
    // a read waiting (the sound library gives up on an open only after half
    // a minute and never on a read, and neither asks anyone whether to
    // stop): meanwhile the stream goes on with silence, the input is taken
    // as lost, and Stop leaves the reader behind instead of waiting for it.
    // An abandoned reader closes its device when its call returns.
    struct Reader {
        std::mutex lock;
        std::condition_variable arrived;
        struct Chunk {
            std::vector<int16_t> pcm;  // whole frames
            REFERENCE_TIME arrival = 0; // on the reference clock
        };
        std::deque<Chunk> chunks; // oldest first
        bool opened = false;
        bool ended = false; // the open or a read failed
        bool stop = false;  // the streaming thread is asked to stop
        std::atomic<bool> abandoned{false};
    };
    static int AbandonedReader(void* opaque)
    {
        return static_cast<Reader*>(opaque)->abandoned.load() ? 1 : 0;
    }
    std::shared_ptr<Reader> StartReader()
    {
        auto reader = std::make_shared<Reader>();
        std::thread([reader, device = m_device, rate = m_rate, channels = m_channels] {
            AVFormatContext* context = OpenInput(device, rate, channels, reader.get());
            {
                std::lock_guard lock(reader->lock);
                reader->opened = context != nullptr;
                reader->ended = context == nullptr;
            }
            reader->arrived.notify_all();
            AVPacket* packet = av_packet_alloc();
            // At most two seconds wait for the streaming thread; older ones go.
            const size_t most = static_cast<size_t>(2 * kSecond / kFragment);
            while (context && packet && !reader->abandoned) {
                const int r = av_read_frame(context, packet);
                if (r == AVERROR(EAGAIN)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                std::lock_guard lock(reader->lock);
                if (r < 0) {
                    reader->ended = true;
                    reader->arrived.notify_all();
                    break;
                }
                const size_t frameBytes = static_cast<size_t>(channels) * 2;
                const size_t whole = static_cast<size_t>(packet->size) / frameBytes * frameBytes;
                std::vector<int16_t> pcm(whole / 2);
                std::memcpy(pcm.data(), packet->data, whole);
                reader->chunks.push_back({std::move(pcm), ReferenceTimeNow()});
                if (reader->chunks.size() > most)
                    reader->chunks.pop_front();
                av_packet_unref(packet);
                reader->arrived.notify_all();
            }
            av_packet_free(&packet);
            if (context)
                avformat_close_input(&context);
        }).detach();
        return reader;
    }
    static void Abandon(const std::shared_ptr<Reader>& reader)
    {
        if (reader)
            reader->abandoned = true;
    }
    static void WakeForStop(const std::shared_ptr<Reader>& reader)
    {
        if (!reader)
            return;
        {
            std::lock_guard lock(reader->lock);
            reader->stop = true;
        }
        reader->arrived.notify_all();
    }
    // The reader the streaming thread waits on, for Stop to wake it.
    void SetCurrentReader(const std::shared_ptr<Reader>& reader)
    {
        {
            std::lock_guard lock(m_readerLock);
            m_reader = reader;
        }
        // Stop asks first and reads m_reader after: one of the two wakes it.
        if (Stopping())
            WakeForStop(reader);
    }

    static AVFormatContext* OpenInput(const DeviceIdentity& device, int rate, int channels, Reader* pending)
    {
        avdevice_register_all();
        const AVInputFormat* format = av_find_input_format(device.kind == "pulse" ? "pulse" : "alsa");
        if (!format)
            return nullptr;
        AVDictionary* options = nullptr;
        av_dict_set_int(&options, "sample_rate", rate, 0);
        av_dict_set_int(&options, "channels", channels, 0);
        if (device.kind == "pulse") {
            av_dict_set_int(&options, "fragment_size", rate * channels * 2 * kFragment / kSecond, 0);
            av_dict_set(&options, "name", "Lumora", 0);
            av_dict_set(&options, "stream_name", "Microphone", 0);
        }
        AVFormatContext* context = avformat_alloc_context();
        context->interrupt_callback.callback = &AudioSource::AbandonedReader;
        context->interrupt_callback.opaque = pending;
        const int r = avformat_open_input(&context, device.path.c_str(), format, &options);
        av_dict_free(&options);
        if (r < 0)
            return nullptr; // freed by avformat_open_input on failure
        return context;
    }

    void SetLost(bool lost)
    {
        if (m_lost.exchange(lost) != lost)
            NotifyEvent(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(Self()), lost ? 1 : 0);
    }

    void DeviceLoop()
    {
        const int64_t perBuffer = m_rate * kBuffer / kSecond;
        std::vector<int16_t> silence(static_cast<size_t>(perBuffer * m_channels), 0);
        REFERENCE_TIME nextTry = 0;
        REFERENCE_TIME lastData = Now();
        std::shared_ptr<Reader> reader;
        bool live = false;     // the reader has delivered since it was started
        bool wasOpened = false; // the reader's open has ended
        const auto lose = [&] {
            Abandon(reader);
            reader.reset();
            SetCurrentReader(nullptr);
            live = false;
            wasOpened = false;
            SetLost(true);
            nextTry = Now() + kReopen;
        };
        Reader::Chunk chunk;
        while (!Stopping()) {
            if (!reader && Now() >= nextTry) {
                reader = StartReader();
                SetCurrentReader(reader);
                m_clock.Restart(); // silence keeps the count on the clock meanwhile
                lastData = Now();
            }
            bool got = false, ended = false, opening = false;
            if (reader) {
                std::unique_lock lock(reader->lock);
                // While live, until the next buffer (Stop wakes it too), at
                // most until the device counts as silent.
                const REFERENCE_TIME wait = live ? std::max<REFERENCE_TIME>(lastData + kSilentInput - Now(), 0) + 10000 : 0;
                reader->arrived.wait_for(lock, std::chrono::nanoseconds(wait * 100),
                    [&] { return !reader->chunks.empty() || reader->ended || reader->stop; });
                if (!reader->chunks.empty()) {
                    chunk = std::move(reader->chunks.front());
                    reader->chunks.pop_front();
                    got = true;
                }
                ended = reader->ended && !got;
                opening = !reader->opened && !reader->ended;
            }
            if (opening && Now() - lastData > kSilentInput)
                SetLost(true); // the open waits on the server: say so, and go on with silence
            if (reader && !opening && !wasOpened) {
                wasOpened = true;
                lastData = Now(); // the first buffer is waited for from here
            }
            if (ended || (!opening && reader && !got && Now() - lastData > (live ? kSilentInput : kFirstData))) {
                lose(); // failed, or silent for too long: a server that stopped answering
                continue;
            }
            if (!got) {
                if (live)
                    continue; // waiting for the device, which delivers in time
                // No device yet (or lost): silence on the count, paced by the clock.
                m_peak = 0;
                if (!WaitUntil(m_clock.TimeOf(m_clock.Sent() + perBuffer)) || !Send(silence.data(), static_cast<size_t>(perBuffer)))
                    break;
                continue;
            }
            live = true;
            lastData = Now();
            const size_t frames = chunk.pcm.size() / static_cast<size_t>(m_channels);
            if (frames == 0)
                continue;
            // The buffer ended when the reader got it.
            const SampleClock::Plan plan = m_clock.Live(frames, chunk.arrival - StartTime());
            m_first = m_first || plan.anchored;
            AdjustFrames(chunk.pcm, m_channels, plan.adjust);
            const auto head = static_cast<long>(plan.head * m_channels);
            if (head < 0)
                chunk.pcm.erase(chunk.pcm.begin(), chunk.pcm.begin() - head);
            else if (head > 0)
                chunk.pcm.insert(chunk.pcm.begin(), static_cast<size_t>(head), int16_t{0});
            SetLost(false);
            if (chunk.pcm.empty())
                continue;
            if (!Send(chunk.pcm.data(), chunk.pcm.size() / static_cast<size_t>(m_channels)))
                break;
        }
        Abandon(reader);
        SetCurrentReader(nullptr);
    }

    // Delivers one buffer at the next count; false when streaming must end.
    bool Send(int16_t* pcm, size_t frames)
    {
        const size_t count = frames * static_cast<size_t>(m_channels);
        int peak = 0;
        for (size_t i = 0; i < count; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
        m_peak = peak;
        if (m_muted)
            std::fill(pcm, pcm + count, int16_t{0});
        const REFERENCE_TIME start = m_clock.Next();
        m_clock.Advance(frames);
        const REFERENCE_TIME end = m_clock.Next();
        {
            std::lock_guard lock(m_listenerLock);
            if (m_listener)
                m_listener(pcm, frames, m_channels, m_rate, start);
        }
        if (!m_pin->IsConnected())
            return true;
        auto sample = MediaSample::Create(count * 2);
        std::memcpy(sample->Data(), pcm, count * 2);
        sample->SetTime(&start, &end);
        sample->SetDiscontinuity(m_first);
        sample->captureTime = StartTime() + start;
        m_first = false;
        return DeliverFromStream(*this, *m_pin, sample.Get());
    }

    const DeviceIdentity m_device;
    AudioPin* m_pin = nullptr;
    std::mutex m_listenerLock;
    Listener m_listener;
    std::atomic<bool> m_muted{false};
    std::atomic<int> m_peak{0};
    std::atomic<bool> m_lost{false};

    // Streaming thread only.
    int m_rate = 48000;
    int m_channels = 1;
    SampleClock m_clock;
    bool m_first = true; // the next buffer follows a discontinuity

    std::mutex m_readerLock;
    std::shared_ptr<Reader> m_reader; // the streaming thread's current reader
    StreamThread m_stream;
};

} // namespace

HRESULT CreateAudioCaptureSource(const DeviceIdentity& device, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (device.kind != "tone" && (device.kind != "pulse" && device.kind != "alsa"))
        return MK_E_NOOBJECT;
    auto source = ComPtr<AudioSource>::Adopt(NewComObject<AudioSource>(device));
    return source->QueryInterface(riid, ppv);
}
