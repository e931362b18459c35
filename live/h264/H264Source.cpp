#include "live/h264/H264Source.h"

#include "platform/wmf/PictureSlot.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t Ticks(std::chrono::milliseconds ms) { return static_cast<int64_t>(ms.count()) * 10000; }

struct Subscription {
    std::shared_ptr<IH264Subscriber> subscriber;
    H264Role role = H264Role::Follow;
    uint32_t bitrate = 0;
};

// A muxer's view of the open encoder: its parameters and time base.
AVCodecContext* CopyParameters(const AVCodecContext* encoder)
{
    AVCodecContext* copy = avcodec_alloc_context3(nullptr);
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    const bool ok = copy && parameters && avcodec_parameters_from_context(parameters, encoder) >= 0
        && avcodec_parameters_to_context(copy, parameters) >= 0;
    avcodec_parameters_free(&parameters);
    if (!ok) {
        avcodec_free_context(&copy);
        return nullptr;
    }
    copy->time_base = encoder->time_base;
    copy->framerate = encoder->framerate;
    copy->flags = encoder->flags;
    return copy;
}

} // namespace

H264Run::~H264Run() { avcodec_free_context(&codec); }

H264Packet::~H264Packet() { av_packet_free(&packet); }

// The tap's observer and the state shared with the source's thread. The tap
// holds it by shared pointer, so it outlives a tap that still publishes.
struct H264Source::Shared final : PictureSlot {
    std::vector<Subscription> subscriptions;
    bool keyAsked = false;
    H264SourceStats stats;
    std::string error;

    // Held while subscribers are called: Unsubscribe waits on it, so no call
    // reaches a subscriber after it left.
    std::mutex delivering;

    std::shared_ptr<PictureTap> WantedTap() const { return stop || subscriptions.empty() ? nullptr : tap; }

    uint32_t Bitrate() const
    {
        const auto lead = std::find_if(subscriptions.begin(), subscriptions.end(),
            [](const Subscription& s) { return s.role == H264Role::Lead; });
        const uint32_t bitrate = lead != subscriptions.end() ? lead->bitrate
            : subscriptions.empty()                          ? 0
                                                             : subscriptions.front().bitrate;
        return bitrate ? bitrate : kDefaultBitrate;
    }
};

H264Source::H264Source(H264SourceOptions options)
    : m_options(std::move(options)), m_shared(std::make_shared<Shared>())
{
    m_shared->Start(m_thread, [this] { Run(); });
}

H264Source::~H264Source() { m_shared->Stop(m_thread); }

std::shared_ptr<H264Source> H264Source::Of(const std::shared_ptr<PictureTap>& tap)
{
    static std::mutex lock;
    static std::map<const PictureTap*, std::pair<std::weak_ptr<PictureTap>, std::weak_ptr<H264Source>>> sources;
    std::lock_guard guard(lock);
    // Entries of taps and sources gone are let go here.
    for (auto it = sources.begin(); it != sources.end();)
        it = it->second.first.expired() || it->second.second.expired() ? sources.erase(it) : std::next(it);
    if (auto found = sources.find(tap.get()); found != sources.end())
        if (std::shared_ptr<H264Source> source = found->second.second.lock())
            return source;
    auto source = std::make_shared<H264Source>();
    source->SetTap(tap);
    sources[tap.get()] = {tap, source};
    return source;
}

void H264Source::SetTap(std::shared_ptr<PictureTap> tap)
{
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->tap = std::move(tap);
    }
    m_shared->signal.notify_one();
}

void H264Source::Subscribe(std::shared_ptr<IH264Subscriber> subscriber, H264Role role, uint32_t bitrate)
{
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->subscriptions.push_back({std::move(subscriber), role, bitrate});
        m_shared->stats.subscribers = m_shared->subscriptions.size();
    }
    m_shared->signal.notify_one();
}

void H264Source::Unsubscribe(const IH264Subscriber* subscriber)
{
    std::shared_ptr<IH264Subscriber> gone; // let go outside our locks
    {
        std::lock_guard guard(m_shared->lock);
        auto& list = m_shared->subscriptions;
        const auto it = std::find_if(list.begin(), list.end(),
            [&](const Subscription& s) { return s.subscriber.get() == subscriber; });
        if (it == list.end())
            return;
        gone = std::move(it->subscriber);
        list.erase(it);
        m_shared->stats.subscribers = list.size();
    }
    m_shared->signal.notify_one();
    std::lock_guard wait(m_shared->delivering);
}

void H264Source::SetBitrate(const IH264Subscriber* subscriber, uint32_t bitrate)
{
    std::lock_guard guard(m_shared->lock);
    for (Subscription& s : m_shared->subscriptions)
        if (s.subscriber.get() == subscriber)
            s.bitrate = bitrate;
}

void H264Source::AskKeyFrame()
{
    std::lock_guard guard(m_shared->lock);
    m_shared->keyAsked = true;
}

H264SourceStats H264Source::Stats() const
{
    std::lock_guard guard(m_shared->lock);
    return m_shared->stats;
}

std::string H264Source::Error() const
{
    std::lock_guard guard(m_shared->lock);
    return m_shared->error;
}

int H264Source::EncodersOpen() { return H264Encoder::OpenNow(); }

void H264Source::Run()
{
    Shared& s = *m_shared;
    H264Encoder encoder;
    H264RunPtr run;
    H264Settings failed; // the settings the encoder last failed to open with
    std::shared_ptr<PictureTap> attached;
    int64_t lastKey = 0; // stream time of the last key frame

    auto closeRun = [&] {
        encoder.Close();
        run.reset();
        s.stats.bitrate = 0;
    };
    // Calls every subscriber with our lock released (it is taken again).
    auto deliver = [&](std::unique_lock<std::mutex>& guard, const auto& call) {
        std::vector<std::shared_ptr<IH264Subscriber>> to;
        for (const Subscription& sub : s.subscriptions)
            to.push_back(sub.subscriber);
        std::lock_guard busy(s.delivering);
        guard.unlock();
        for (const auto& subscriber : to)
            call(*subscriber);
        to.clear();
        guard.lock();
    };

    std::unique_lock guard(s.lock);
    for (;;) {
        s.signal.wait(guard, [&] {
            return s.stop || s.ended || (s.havePending && !s.subscriptions.empty()) || s.WantedTap() != attached;
        });
        if (s.ended) {
            s.ended = false;
            closeRun();
            deliver(guard, [](IH264Subscriber& subscriber) { subscriber.OnH264End(); });
        }
        if (const std::shared_ptr<PictureTap> wanted = s.WantedTap(); wanted != attached) {
            PictureSlot::MoveTo(guard, m_shared, attached, wanted);
            if (!attached)
                closeRun();
            continue;
        }
        if (s.stop)
            break;
        if (!s.havePending || s.subscriptions.empty())
            continue;

        const TappedPicture picture = std::move(s.pending);
        const Clock::time_point handed = s.handed;
        s.havePending = false;
        H264Settings settings;
        settings.width = picture.width;
        settings.height = picture.height;
        settings.frameInterval = picture.frameInterval;
        settings.bitrate = s.Bitrate();
        settings.preset = m_options.preset;
        bool key = false;
        if (!run || !(run->settings == settings)) {
            if (settings == failed)
                continue;
            guard.unlock();
            closeRun();
            std::string error;
            bool opened = encoder.Open(settings, &error);
            AVCodecContext* codec = opened ? CopyParameters(encoder.Context()) : nullptr;
            if (opened && !codec) {
                error = "out of memory";
                opened = false;
            }
            guard.lock();
            if (!opened) {
                closeRun();
                failed = settings;
                s.error = error;
                continue;
            }
            failed = {};
            s.error.clear();
            auto next = std::make_shared<H264Run>();
            next->generation = ++s.stats.runs;
            next->settings = settings;
            next->codec = codec;
            run = std::move(next);
            s.stats.bitrate = settings.bitrate;
            key = true;
        }
        const int64_t sinceKey = picture.time - lastKey;
        if ((s.keyAsked && sinceKey >= Ticks(m_options.keySpacing)) || sinceKey >= Ticks(m_options.keyInterval) || sinceKey < 0)
            key = true;
        if (key) {
            s.keyAsked = false;
            lastKey = picture.time;
        }
        guard.unlock();

        std::vector<H264PacketPtr> made;
        std::string error;
        const bool encoded = encoder.Encode(picture, key ? FrameKind::Key : FrameKind::Any, [&](AVPacket* packet) {
            auto out = std::make_shared<H264Packet>();
            out->run = run;
            out->packet = av_packet_clone(packet);
            out->key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            out->time = picture.time;
            out->handed = handed;
            if (out->packet)
                made.push_back(std::move(out));
        }, &error);

        guard.lock();
        if (!encoded) {
            s.error = error;
            closeRun();
            continue;
        }
        ++s.stats.pictures;
        if (!made.empty())
            deliver(guard, [&made](IH264Subscriber& subscriber) {
                for (const H264PacketPtr& packet : made)
                    subscriber.OnH264(packet);
            });
    }
    PictureSlot::MoveTo(guard, m_shared, attached, nullptr);
}
