#include "live/browser/H264Feed.h"

#include "live/browser/Mp4Fragmenter.h"
#include "platform/wmf/PictureSlot.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

// Sound waits for the feed's thread this long at most (100-ns units).
constexpr int64_t kSoundQueue = 20000000;
// Sound may trail the pictures this long before silence stands in for it.
constexpr int64_t kSoundLag = 3000000;

struct SoundChunk {
    std::vector<int16_t> samples;
    int channels = 0;
    int sampleRate = 0;
    int64_t time = 0;
    int64_t Length() const
    {
        return static_cast<int64_t>(samples.size() / static_cast<size_t>(channels)) * 10000000 / sampleRate;
    }
};

} // namespace

// The encode's subscriber and the state shared with the feed's thread. The
// source holds it by shared pointer.
struct H264Feed::Shared final : WorkerState, IH264Subscriber {
    // From the encode (its thread): packets not yet made into fragments.
    std::deque<H264PacketPtr> packets;
    bool ended = false; // writing ended: the next packet starts a new track

    // From the sink.
    std::shared_ptr<PictureTap> tap;
    std::shared_ptr<H264Source> source; // subscribed to while viewers need it
    uint32_t bitrate = 0;
    size_t viewers = 0;
    SoundTrack sound = SoundTrack::Off;
    uint32_t audioBitrate = kDefaultAudioBitrate;
    std::deque<SoundChunk> soundQueue;
    int64_t soundQueued = 0; // 100-ns units

    // To the sink.
    std::deque<Mp4FragmentPtr> fragments;
    // Numbering for the feed's whole life, not per run of its thread: a
    // sink opened again must not see numbers it saw before.
    uint64_t sequence = 0, generation = 0;
    std::string error;

    void OnH264(const H264PacketPtr& packet) override
    {
        {
            std::lock_guard guard(lock);
            // The feed's thread only muxes, which takes far less than an
            // encode; a backlog means it was starved, and it starts again at
            // the next key frame.
            if (packets.size() >= kBacklog)
                packets.clear();
            packets.push_back(packet);
        }
        signal.notify_one();
    }

    void OnH264End() override
    {
        {
            std::lock_guard guard(lock);
            ended = true;
            packets.clear();
        }
        signal.notify_one();
    }

    uint32_t Bitrate() const { return bitrate ? bitrate : kDefaultBitrate; }

    static constexpr size_t kBacklog = 60;
};

H264Feed::H264Feed(std::function<void()> wake, H264FeedOptions options)
    : m_wake(std::move(wake)), m_options(std::move(options)), m_shared(std::make_shared<Shared>())
{
}

H264Feed::~H264Feed() { Stop(); }

void H264Feed::Start() { m_shared->Start(m_thread, [this] { Run(); }); }

void H264Feed::Stop() { m_shared->Stop(m_thread); }

void H264Feed::SetTap(std::shared_ptr<PictureTap> tap) { m_shared->SetAndWake(m_shared->tap, std::move(tap)); }

void H264Feed::SetBitrate(uint32_t bitsPerSecond)
{
    std::shared_ptr<H264Source> source;
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->bitrate = bitsPerSecond;
        source = m_shared->source;
    }
    if (source)
        source->SetBitrate(m_shared.get(), m_shared->Bitrate());
}

void H264Feed::SetViewers(size_t viewers) { m_shared->SetAndWake(m_shared->viewers, viewers); }

void H264Feed::AskKeyFrame()
{
    std::shared_ptr<H264Source> source;
    {
        std::lock_guard guard(m_shared->lock);
        source = m_shared->source;
    }
    if (source)
        source->AskKeyFrame();
}

void H264Feed::SetSound(SoundTrack sound, uint32_t audioBitsPerSecond)
{
    std::lock_guard guard(m_shared->lock);
    m_shared->sound = sound;
    m_shared->audioBitrate = audioBitsPerSecond ? audioBitsPerSecond : kDefaultAudioBitrate;
    if (sound == SoundTrack::Off) {
        m_shared->soundQueue.clear();
        m_shared->soundQueued = 0;
    }
}

void H264Feed::FeedAudio(const TappedAudio& audio)
{
    if (!audio.samples || audio.frames == 0 || audio.channels < 1 || audio.sampleRate < 1000)
        return;
    SoundChunk chunk;
    chunk.channels = audio.channels;
    chunk.sampleRate = audio.sampleRate;
    chunk.time = audio.time;
    std::lock_guard guard(m_shared->lock);
    Shared& s = *m_shared;
    if (s.sound != SoundTrack::On)
        return;
    chunk.samples.assign(audio.samples, audio.samples + audio.frames * static_cast<size_t>(audio.channels));
    while (!s.soundQueue.empty() && s.soundQueued + chunk.Length() > kSoundQueue) {
        s.soundQueued -= s.soundQueue.front().Length();
        s.soundQueue.pop_front();
    }
    s.soundQueued += chunk.Length();
    s.soundQueue.push_back(std::move(chunk));
}

uint64_t H264Feed::LastSequence() const
{
    std::lock_guard guard(m_shared->lock);
    return m_shared->fragments.empty() ? 0 : m_shared->fragments.back()->sequence;
}

std::vector<Mp4FragmentPtr> H264Feed::Since(uint64_t sequence) const
{
    std::lock_guard guard(m_shared->lock);
    std::vector<Mp4FragmentPtr> out;
    for (auto it = m_shared->fragments.rbegin(); it != m_shared->fragments.rend() && (*it)->sequence > sequence; ++it)
        out.push_back(*it);
    return {out.rbegin(), out.rend()};
}

std::string H264Feed::Error() const
{
    std::shared_ptr<H264Source> source;
    {
        std::lock_guard guard(m_shared->lock);
        if (!m_shared->error.empty())
            return m_shared->error;
        source = m_shared->source;
    }
    return source ? source->Error() : std::string();
}

void H264Feed::Run()
{
    Shared& s = *m_shared;
    AacEncoder sound;
    AacSettings soundSettings; // of the open track, when it has sound
    Mp4Fragmenter fragmenter;
    Mp4TrackPtr track;
    H264RunPtr run;            // the encoder run the open track carries
    int64_t firstPts = 0;      // of the track's first packet: its time zero
    AVPacket* own = av_packet_alloc();
    std::shared_ptr<PictureTap> subscribed;
    Clock::time_point lastNeed = Clock::now() - m_options.linger;

    auto closeTrack = [&] {
        sound.Close();
        fragmenter.Close();
        track.reset();
        run.reset();
    };

    std::unique_lock guard(s.lock);
    for (;;) {
        s.signal.wait_for(guard, std::chrono::milliseconds(200), [&] {
            return s.stop || s.ended || !s.packets.empty() || (s.tap != subscribed && s.viewers > 0);
        });
        const auto now = Clock::now();
        if (!s.stop && s.viewers > 0)
            lastNeed = now;
        if (s.ended) {
            s.ended = false;
            closeTrack();
        }
        const std::shared_ptr<PictureTap> wanted = s.stop || now - lastNeed >= m_options.linger ? nullptr : s.tap;
        if (wanted != subscribed) {
            // Unsubscribe waits for a call of OnH264 under way, which takes
            // our lock: (un)subscribing is done with ours released.
            std::shared_ptr<H264Source> old = std::move(s.source);
            const uint32_t bitrate = s.Bitrate();
            guard.unlock();
            if (old)
                old->Unsubscribe(m_shared.get());
            old.reset();
            std::shared_ptr<H264Source> next = wanted ? H264Source::Of(wanted) : nullptr;
            if (next) {
                next->Subscribe(m_shared, H264Role::Follow, bitrate);
                next->AskKeyFrame();
            }
            guard.lock();
            s.source = std::move(next);
            subscribed = wanted;
            s.packets.clear();
            closeTrack();
            continue;
        }
        if (s.stop)
            break;
        // Fragments older than the viewers can use are let go.
        while (!s.fragments.empty() && now - s.fragments.front()->made > m_options.keep)
            s.fragments.pop_front();
        if (s.packets.empty())
            continue;

        const H264PacketPtr packet = std::move(s.packets.front());
        s.packets.pop_front();
        const bool withSound = s.sound == SoundTrack::On;
        AacSettings wantedSound;
        wantedSound.bitrate = s.audioBitrate;
        if (!track || packet->run != run || track->audio != withSound || (withSound && !(soundSettings == wantedSound))) {
            // A new track starts at a key frame.
            if (!packet->key) {
                closeTrack();
                if (const std::shared_ptr<H264Source> source = s.source) {
                    guard.unlock();
                    source->AskKeyFrame();
                    guard.lock();
                }
                continue;
            }
            guard.unlock();
            closeTrack();
            std::string error;
            auto next = std::make_shared<Mp4Track>();
            next->audio = withSound;
            soundSettings = wantedSound;
            const bool opened = own && (!withSound || sound.Open(wantedSound, packet->time, &error))
                && fragmenter.Open(packet->run->codec, withSound ? sound.Context() : nullptr, &next->init, &error);
            guard.lock();
            if (!opened) {
                closeTrack();
                s.error = own ? error : "out of memory";
                continue;
            }
            s.error.clear();
            next->generation = ++s.generation;
            next->width = packet->run->settings.width;
            next->height = packet->run->settings.height;
            next->frameInterval = packet->run->settings.frameInterval;
            next->bitrate = packet->run->settings.bitrate;
            track = std::move(next);
            run = packet->run;
            firstPts = packet->packet->pts;
        }
        std::deque<SoundChunk> heard;
        if (track->audio) {
            heard.swap(s.soundQueue);
            s.soundQueued = 0;
        }
        guard.unlock();

        std::string error;
        if (track->audio) {
            // The sound up to this picture goes into its fragment.
            std::string muxError;
            const auto add = [&](AVPacket* audio) {
                if (muxError.empty())
                    fragmenter.AddAudio(audio, &muxError);
            };
            bool ok = true;
            for (const SoundChunk& chunk : heard)
                ok = ok && sound.Feed(TappedAudio{chunk.samples.data(), chunk.samples.size() / static_cast<size_t>(chunk.channels),
                    chunk.channels, chunk.sampleRate, chunk.time}, add, &error);
            ok = ok && sound.FillSilence(packet->time - kSoundLag, add, &error);
            if (ok && !muxError.empty())
                error = muxError;
        }
        auto fragment = std::make_shared<Mp4Fragment>();
        if (error.empty()) {
            if (av_packet_ref(own, packet->packet) < 0) {
                error = "out of memory";
            } else {
                // The track's time starts at its first picture.
                own->pts -= firstPts;
                own->dts -= firstPts;
                fragment->track = track;
                fragment->key = packet->key;
                fragment->time = packet->time;
                fragment->handed = packet->handed;
                if (fragmenter.Fragment(own, &fragment->bytes, &error))
                    fragment->made = Clock::now();
                av_packet_unref(own);
            }
        }

        guard.lock();
        if (!error.empty()) {
            s.error = error;
            closeTrack();
            continue;
        }
        fragment->sequence = ++s.sequence;
        s.fragments.push_back(std::move(fragment));
        if (m_wake) {
            guard.unlock();
            m_wake();
            guard.lock();
        }
    }
    std::shared_ptr<H264Source> source = std::move(s.source);
    guard.unlock();
    if (source)
        source->Unsubscribe(m_shared.get());
    av_packet_free(&own);
}
