#include "live/browser/H264Feed.h"

#include "live/browser/Mp4Fragmenter.h"
#include "live/h264/H264Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

int64_t Ticks(std::chrono::milliseconds ms) { return static_cast<int64_t>(ms.count()) * 10000; }

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

// The tap's observer and the state shared with the feed's thread. The tap
// holds it by shared pointer, so it outlives a tap that still publishes.
struct H264Feed::Shared final : IPictureObserver {
    mutable std::mutex lock;
    std::condition_variable signal;
    bool stop = false;

    // From the tap (encoding thread).
    TappedPicture pending;
    bool havePending = false;
    bool ended = false; // writing ended: the next picture starts a new track
    Clock::time_point handed;

    // From the sink.
    std::shared_ptr<PictureTap> tap;
    uint32_t bitrate = 0;
    size_t viewers = 0;
    bool keyAsked = false;
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

    void OnPicture(const TappedPicture& picture) override
    {
        {
            std::lock_guard guard(lock);
            pending = picture;
            havePending = true;
            handed = Clock::now();
        }
        signal.notify_one();
    }

    void OnPicturesEnd() override
    {
        {
            std::lock_guard guard(lock);
            ended = true;
            havePending = false;
        }
        signal.notify_one();
    }
};

H264Feed::H264Feed(std::function<void()> wake, H264FeedOptions options)
    : m_wake(std::move(wake)), m_options(std::move(options)), m_shared(std::make_shared<Shared>())
{
}

H264Feed::~H264Feed() { Stop(); }

void H264Feed::Start()
{
    if (m_thread.joinable())
        return;
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->stop = false;
    }
    m_thread = std::thread([this] { Run(); });
}

void H264Feed::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->stop = true;
    }
    m_shared->signal.notify_one();
    m_thread.join();
}

void H264Feed::SetTap(std::shared_ptr<PictureTap> tap)
{
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->tap = std::move(tap);
    }
    m_shared->signal.notify_one();
}

void H264Feed::SetBitrate(uint32_t bitsPerSecond)
{
    std::lock_guard guard(m_shared->lock);
    m_shared->bitrate = bitsPerSecond;
}

void H264Feed::SetViewers(size_t viewers)
{
    bool more = false;
    {
        std::lock_guard guard(m_shared->lock);
        more = viewers > m_shared->viewers;
        m_shared->viewers = viewers;
    }
    if (more)
        m_shared->signal.notify_one();
}

void H264Feed::AskKeyFrame()
{
    std::lock_guard guard(m_shared->lock);
    m_shared->keyAsked = true;
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
    std::lock_guard guard(m_shared->lock);
    return m_shared->error;
}

void H264Feed::Run()
{
    Shared& s = *m_shared;
    H264Encoder encoder;
    AacEncoder sound;
    AacSettings soundSettings; // of the open track, when it has sound
    Mp4Fragmenter fragmenter;
    Mp4TrackPtr track;
    H264Settings failed; // the settings the encoder last failed to open with
    std::shared_ptr<PictureTap> attached;
    Clock::time_point lastNeed = Clock::now() - m_options.linger;
    int64_t lastKey = 0; // stream time of the last key frame

    auto closeTrack = [&] {
        encoder.Close();
        sound.Close();
        fragmenter.Close();
        track.reset();
    };

    std::unique_lock guard(s.lock);
    for (;;) {
        s.signal.wait_for(guard, std::chrono::milliseconds(200), [&] {
            return s.stop || s.ended || (s.havePending && s.viewers > 0) || (s.tap != attached && s.viewers > 0);
        });
        const auto now = Clock::now();
        if (!s.stop && s.viewers > 0)
            lastNeed = now;
        if (s.ended) {
            s.ended = false;
            closeTrack();
        }
        // Tap membership changes with our lock released: the tap calls
        // OnPicture under its own lock, which then takes ours.
        const std::shared_ptr<PictureTap> wanted = s.stop || now - lastNeed >= m_options.linger ? nullptr : s.tap;
        if (wanted != attached) {
            guard.unlock();
            if (attached)
                attached->Remove(m_shared.get());
            if (wanted)
                wanted->Add(m_shared);
            attached = wanted;
            if (!attached)
                closeTrack();
            guard.lock();
            s.havePending = false;
            continue;
        }
        if (s.stop)
            break;
        // Fragments older than the viewers can use are let go.
        while (!s.fragments.empty() && now - s.fragments.front()->made > m_options.keep)
            s.fragments.pop_front();
        if (!s.havePending || s.viewers == 0)
            continue;

        const TappedPicture picture = std::move(s.pending);
        const Clock::time_point handed = s.handed;
        s.havePending = false;
        H264Settings settings;
        settings.width = picture.width;
        settings.height = picture.height;
        settings.frameInterval = picture.frameInterval;
        settings.bitrate = s.bitrate ? s.bitrate : kDefaultBitrate;
        settings.preset = m_options.preset;
        const bool withSound = s.sound == SoundTrack::On;
        AacSettings wantedSound;
        wantedSound.bitrate = s.audioBitrate;
        bool key = false;
        if (!track || !(encoder.Settings() == settings) || track->audio != withSound
            || (withSound && !(soundSettings == wantedSound))) {
            if (settings == failed)
                continue;
            guard.unlock();
            closeTrack();
            std::string error;
            auto next = std::make_shared<Mp4Track>();
            next->audio = withSound;
            soundSettings = wantedSound;
            const bool opened = encoder.Open(settings, &error)
                && (!withSound || sound.Open(wantedSound, picture.time, &error))
                && fragmenter.Open(encoder.Context(), withSound ? sound.Context() : nullptr, &next->init, &error);
            guard.lock();
            if (!opened) {
                closeTrack();
                failed = settings;
                s.error = error;
                continue;
            }
            failed = {};
            s.error.clear();
            next->generation = ++s.generation;
            next->width = settings.width;
            next->height = settings.height;
            next->frameInterval = settings.frameInterval;
            next->bitrate = settings.bitrate;
            track = std::move(next);
            key = true;
        }
        const int64_t sinceKey = picture.time - lastKey;
        if ((s.keyAsked && sinceKey >= Ticks(m_options.keySpacing)) || sinceKey >= Ticks(m_options.keyInterval) || sinceKey < 0)
            key = true;
        if (key)
            s.keyAsked = false;
        std::deque<SoundChunk> heard;
        if (track->audio) {
            heard.swap(s.soundQueue);
            s.soundQueued = 0;
        }
        guard.unlock();

        std::vector<Mp4FragmentPtr> made;
        std::string error;
        if (track->audio) {
            // The sound up to this picture goes into its fragment.
            std::string muxError;
            const auto add = [&](AVPacket* packet) {
                if (muxError.empty())
                    fragmenter.AddAudio(packet, &muxError);
            };
            bool ok = true;
            for (const SoundChunk& chunk : heard)
                ok = ok && sound.Feed(TappedAudio{chunk.samples.data(), chunk.samples.size() / static_cast<size_t>(chunk.channels),
                    chunk.channels, chunk.sampleRate, chunk.time}, add, &error);
            ok = ok && sound.FillSilence(picture.time - kSoundLag, add, &error);
            if (ok && !muxError.empty())
                error = muxError;
        }
        const bool encoded = error.empty() && encoder.Encode(picture, key ? FrameKind::Key : FrameKind::Any, [&](AVPacket* packet) {
            auto fragment = std::make_shared<Mp4Fragment>();
            fragment->track = track;
            fragment->key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            fragment->time = picture.time;
            fragment->handed = handed;
            if (fragmenter.Fragment(packet, &fragment->bytes, &error)) {
                fragment->made = Clock::now();
                made.push_back(std::move(fragment));
            }
        }, &error);
        if (key)
            lastKey = picture.time;

        guard.lock();
        if (!encoded || !error.empty()) {
            s.error = error;
            closeTrack();
            continue;
        }
        for (Mp4FragmentPtr& fragment : made) {
            auto numbered = std::const_pointer_cast<Mp4Fragment>(fragment);
            numbered->sequence = ++s.sequence;
            s.fragments.push_back(std::move(fragment));
        }
        if (!made.empty() && m_wake) {
            guard.unlock();
            m_wake();
            guard.lock();
        }
    }
    guard.unlock();
    if (attached)
        attached->Remove(m_shared.get());
}
