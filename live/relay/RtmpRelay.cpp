// The relay's thread: FLV muxer and RTMP connection for the shared H.264
// encode, with deadlines on every blocking step and reconnection with
// growing delays.

#include "live/relay/RtmpRelay.h"

#include "live/relay/ConnectLog.h"
#include "live/relay/RelayBridge.h"
#include "live/relay/RelayLink.h"
#include "live/relay/RtmpUrl.h"
#include "platform/ffmpeg/FfmpegLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string_view>

using Clock = std::chrono::steady_clock;

namespace {

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// "user:password@" of an address, or "".
std::string UserInfo(const std::string& text)
{
    const size_t begin = text.find("://");
    if (begin == std::string::npos)
        return {};
    const size_t end = text.find('/', begin + 3);
    const size_t at = text.rfind('@', end);
    return at != std::string::npos && at > begin ? text.substr(begin + 3, at + 1 - (begin + 3)) : std::string();
}

// Sound longer than this waits for the relay at most; older is dropped.
constexpr int64_t kSoundQueue = 20000000; // 100-ns units
// With sound on, sound may trail the pictures this long before silence
// stands in for it (the capture's own buffering comes well within).
constexpr int64_t kSoundLag = 3000000;

// The silent track: mono at a low rate (silence takes a few bytes a frame).
AacSettings SilentTrack()
{
    AacSettings s;
    s.channels = 1;
    s.bitrate = 24000;
    return s;
}

} // namespace

std::string RelayStatusText(const RelayStatus& status, Clock::time_point now)
{
    switch (status.state) {
    case RelayState::Off:
        return "off";
    case RelayState::Connecting:
        return "connecting";
    case RelayState::Live: {
        const long long s =
            std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(now - status.since).count());
        char text[48];
        std::snprintf(text, sizeof text, "live %02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
        return text;
    }
    case RelayState::Retrying: {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(status.since - now).count();
        const long long seconds = std::max<long long>(1, (left + 999) / 1000);
        return status.error + "; retry in " + std::to_string(seconds) + " s";
    }
    case RelayState::Failed:
        return status.error;
    }
    return {};
}

// ---- one session: encoder, muxer and connection ----------------------------------

class RtmpRelay::Session {
public:
    // Refused: the server's answer refused the publish; Untrusted: the
    // certificate was refused.
    enum class OpenResult { Ok, Failed, Refused, Untrusted };

    explicit Session(RtmpRelay& relay) : m_relay(relay) {}
    ~Session() { Close(false); }

    // The run of the encode whose packets this session carries.
    const H264RunPtr& Run() const { return m_run; }

    // `first` is a key frame: the stream's timestamps count from it.
    OpenResult Open(const RtmpUrl& url, const H264PacketPtr& first, std::string& error)
    {
        m_run = first->run;
        m_t0 = first->time;
        m_firstPts = first->packet->pts;
        m_packet = av_packet_alloc();
        if (!m_packet) {
            error = "out of memory";
            return OpenResult::Failed;
        }
        AacSettings sound = SilentTrack();
        if (m_relay.m_options.sound == SoundTrack::On) {
            sound.channels = 2;
            sound.bitrate = static_cast<int64_t>(std::max(8, m_relay.m_options.audioBitrateKbps)) * 1000;
        }
        if (!m_aac.Open(sound, m_t0, &error))
            return OpenResult::Failed;

        const RelayOptions& o = m_relay.m_options;
        if (avformat_alloc_output_context2(&m_format, nullptr, "flv", nullptr) < 0 || !m_format) {
            error = "the FLV muxer is not available";
            return OpenResult::Failed;
        }
        m_format->interrupt_callback.callback = &RtmpRelay::Interrupt;
        m_format->interrupt_callback.opaque = &m_relay;
        m_stream = avformat_new_stream(m_format, nullptr);
        if (!m_stream || avcodec_parameters_from_context(m_stream->codecpar, m_run->codec) < 0) {
            error = "the FLV muxer is not available";
            return OpenResult::Failed;
        }
        m_stream->time_base = AVRational{1, 1000};
        m_audio = avformat_new_stream(m_format, nullptr);
        if (!m_audio || avcodec_parameters_from_context(m_audio->codecpar, m_aac.Context()) < 0) {
            error = "the FLV muxer is not available";
            return OpenResult::Failed;
        }
        m_audio->time_base = AVRational{1, 1000};

        // The connection to the ingest is the relay's own (see RelayBridge):
        // a certificate refused there ends here, before a byte of RTMP.
        m_relay.SetDeadline(o.connectTimeout);
        RelayLink link;
        RelayLinkFailure failure = RelayLinkFailure::None;
        if (!link.Open(url, o.trustedFingerprint, [this] { return RtmpRelay::Interrupt(&m_relay) != 0; }, failure,
                       error))
            return failure == RelayLinkFailure::Certificate ? OpenResult::Untrusted : OpenResult::Failed;
        m_bridge = std::make_unique<RelayBridge>();
        if (!m_bridge->Start(std::move(link), o.connectTimeout, o.writeTimeout, error))
            return OpenResult::Failed;

        // libavformat speaks RTMP through the bridge's loopback port; the
        // server is told the real address and the same application and key.
        const std::string local = "rtmp://" + UserInfo(o.url) + "127.0.0.1:" + std::to_string(m_bridge->Port()) +
                                  "/" + url.application + "/" + url.streamKey;
        const std::string tcUrl = url.scheme + "://" + (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) +
                                  (url.port ? ":" + std::to_string(url.port) : std::string()) + "/" + url.application;
        // rw_timeout bounds each socket wait in the TCP layer beneath RTMP.
        // The RTMP protocol's own "timeout" means a listening wait there, so
        // it is not set; the interrupt callback bounds the whole step.
        AVDictionary* options = nullptr;
        av_dict_set_int(&options, "rw_timeout", static_cast<int64_t>(o.writeTimeout.count()) * 1000, 0);
        av_dict_set(&options, "tcp_nodelay", "1", 0);
        av_dict_set(&options, "rtmp_tcurl", tcUrl.c_str(), 0);
        av_dict_set(&options, "rtmp_app", url.application.c_str(), 0);
        av_dict_set(&options, "rtmp_playpath", url.streamKey.c_str(), 0);
        ConnectLog capture;
        ListenToFfmpegLogOnThisThread([&capture](int, std::string_view line) { capture.Note(line); });
        m_relay.SetDeadline(o.connectTimeout);
        int rc = avio_open2(&m_format->pb, local.c_str(), AVIO_FLAG_WRITE, &m_format->interrupt_callback, &options);
        ListenToFfmpegLogOnThisThread({});
        av_dict_free(&options);
        if (rc < 0) {
            // Only the server's own answer refuses; a server that closes or
            // talks nonsense is a connection lost like any other.
            if (!capture.serverError.empty()) {
                error = "refused by the server: " + capture.serverError;
                return OpenResult::Refused;
            }
            const std::string lost = m_bridge->LostReason();
            if (lost.empty() && (rc == AVERROR_EXIT || rc == AVERROR(ETIMEDOUT)))
                error = "no answer from " + RelayHostPort(url);
            else
                error = LostText(rc);
            return OpenResult::Failed;
        }
        AVDictionary* muxOptions = nullptr;
        // A live stream has no length to patch in at the end.
        av_dict_set(&muxOptions, "flvflags", "no_duration_filesize", 0);
        m_relay.SetDeadline(o.writeTimeout);
        rc = avformat_write_header(m_format, &muxOptions);
        av_dict_free(&muxOptions);
        if (rc >= 0) {
            avio_flush(m_format->pb);
            rc = m_format->pb->error;
        }
        if (rc < 0) {
            error = LostText(rc);
            return OpenResult::Failed;
        }
        m_headerWritten = true;
        return OpenResult::Ok;
    }

    // Writes one packet of the encode; false with the reason when the
    // connection is lost.
    bool Send(const H264Packet& packet, std::string& error)
    {
        if (av_packet_ref(m_packet, packet.packet) < 0) {
            error = "out of memory";
            return false;
        }
        m_packet->pts -= m_firstPts;
        m_packet->dts -= m_firstPts;
        av_packet_rescale_ts(m_packet, m_run->codec->time_base, m_stream->time_base);
        m_packet->stream_index = m_stream->index;
        const bool written = Write(m_packet, error);
        av_packet_unref(m_packet);
        if (!written)
            return false;
        // The audio track keeps up with the pictures: silence where no
        // sound came (with sound off, always).
        const int64_t lag = m_relay.m_options.sound == SoundTrack::On ? kSoundLag : 0;
        std::string failed;
        const bool filled = m_aac.FillSilence(packet.time - lag, [&](AVPacket* p) { WriteSound(p, error); }, &failed);
        if (!filled)
            error = failed;
        return filled && error.empty();
    }

    // Places captured sound on the audio track; false with the reason when
    // the connection is lost.
    bool SendSound(const SoundChunk& chunk, std::string& error)
    {
        const TappedAudio audio{chunk.samples.data(), chunk.samples.size() / static_cast<size_t>(chunk.channels),
            chunk.channels, chunk.sampleRate, chunk.time};
        std::string failed;
        const bool fed = m_aac.Feed(audio, [&](AVPacket* p) { WriteSound(p, error); }, &failed);
        if (!fed)
            error = failed;
        return fed && error.empty();
    }

    // Ends the stream: with `clean`, the muxer's trailer and the protocol's
    // goodbye (the server sees the stream end); always within the deadline.
    void Close(bool clean)
    {
        if (m_format && m_format->pb) {
            m_relay.SetDeadline(m_relay.m_options.closeTimeout);
            if (clean && m_headerWritten)
                av_write_trailer(m_format);
            avio_closep(&m_format->pb);
        }
        if (m_bridge) {
            // What the muxer said last (the end of the stream) goes out
            // within the close deadline, and never past Stop's.
            int64_t by = NowNs() + (clean ? std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                m_relay.m_options.closeTimeout).count()
                                          : 0);
            by = std::min(by, m_relay.m_stopDeadline.load());
            m_bridge->Finish(Clock::time_point(std::chrono::nanoseconds(by)));
            m_bridge.reset();
        }
        if (m_format) {
            avformat_free_context(m_format);
            m_format = nullptr;
        }
        av_packet_free(&m_packet);
        m_aac.Close();
        m_headerWritten = false;
    }

private:
    // One AAC packet (time base the encoder's) into the stream; after a
    // failure (`error` set) the rest of the batch is let go.
    void WriteSound(AVPacket* packet, std::string& error)
    {
        if (!error.empty())
            return;
        av_packet_rescale_ts(packet, m_aac.Context()->time_base, m_audio->time_base);
        packet->stream_index = m_audio->index;
        Write(packet, error);
    }

    bool Write(AVPacket* packet, std::string& error)
    {
        m_relay.SetDeadline(m_relay.m_options.writeTimeout);
        int rc = av_write_frame(m_format, packet);
        if (rc >= 0) {
            avio_flush(m_format->pb);
            rc = m_format->pb->error;
        }
        if (rc < 0) {
            error = LostText(rc);
            return false;
        }
        return true;
    }

    std::string LostText(int rc) const
    {
        if (const std::string lost = m_bridge ? m_bridge->LostReason() : std::string(); !lost.empty())
            return "connection lost (" + lost + ")";
        if (rc == AVERROR_EXIT || rc == AVERROR(ETIMEDOUT))
            return "connection lost (the server stopped answering)";
        return "connection lost (" + AvErrorText(rc) + ")";
    }

    RtmpRelay& m_relay;
    H264RunPtr m_run;
    AVFormatContext* m_format = nullptr;
    AVStream* m_stream = nullptr;
    AVStream* m_audio = nullptr;
    AacEncoder m_aac;
    AVPacket* m_packet = nullptr;
    std::unique_ptr<RelayBridge> m_bridge;
    bool m_headerWritten = false;
    int64_t m_t0 = 0, m_firstPts = 0;
};

// ---- the relay -----------------------------------------------------------------------

// What the shared encode holds and calls: only while the relay is started.
class RtmpRelay::Subscriber final : public IH264Subscriber {
public:
    explicit Subscriber(RtmpRelay& relay) : m_relay(relay) {}
    void OnH264(const H264PacketPtr& packet) override { m_relay.OnPacket(packet); }
    void OnH264End() override { m_relay.OnPacketsEnd(); }

private:
    RtmpRelay& m_relay;
};

RtmpRelay::RtmpRelay(RelayOptions options) : m_options(std::move(options)) {}

RtmpRelay::~RtmpRelay()
{
    Stop();
}

void RtmpRelay::SetStatusListener(std::function<void(const RelayStatus&)> listener)
{
    std::lock_guard lock(m_lock);
    m_listener = std::move(listener);
}

void RtmpRelay::Start(std::shared_ptr<PictureTap> pictures)
{
    {
        std::lock_guard lock(m_lock);
        if (m_thread.joinable())
            return;
        m_stopping = false;
        m_accepting = true;
        m_picturesEnded = false;
        m_needKey = true;
        m_stopDeadline = INT64_MAX;
        m_status.state = RelayState::Connecting;
        m_status.error.clear();
        m_thread = std::thread([this] { Run(); });
    }
    m_source = H264Source::Of(pictures);
    m_subscriber = std::make_shared<Subscriber>(*this);
    m_source->Subscribe(m_subscriber, H264Role::Lead, static_cast<uint32_t>(std::max(1, m_options.bitrateKbps)) * 1000);
}

void RtmpRelay::Stop()
{
    if (m_source)
        m_source->Unsubscribe(m_subscriber.get());
    {
        std::lock_guard lock(m_lock);
        if (!m_thread.joinable())
            return;
        m_stopping = true;
        m_accepting = false;
        m_queue.clear();
        m_sound.clear();
        m_soundQueued = 0;
        m_stopDeadline = NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(m_options.closeTimeout).count();
    }
    m_wake.notify_all();
    m_thread.join();
    m_source.reset();
    m_subscriber.reset();
}

RelayStatus RtmpRelay::Status() const
{
    std::lock_guard lock(m_lock);
    return m_status;
}

void RtmpRelay::OnPacket(const H264PacketPtr& packet)
{
    bool askKey = false;
    {
        std::lock_guard lock(m_lock);
        if (!m_accepting)
            return;
        // Behind: what waits is let go, and the stream goes on at the next
        // key frame (a predicted frame needs every one before it).
        if (m_queue.size() >= std::max<size_t>(1, m_options.queuePictures)) {
            m_status.picturesDropped += m_queue.size();
            m_queue.clear();
            m_needKey = true;
        }
        if (m_needKey && !packet->key) {
            ++m_status.picturesDropped;
            askKey = true;
        } else {
            m_needKey = false;
            m_queue.push_back(packet);
            m_picturesEnded = false;
        }
    }
    if (askKey)
        m_source->AskKeyFrame();
    else
        m_wake.notify_all();
}

void RtmpRelay::FeedAudio(const TappedAudio& audio)
{
    if (m_options.sound != SoundTrack::On || !audio.samples || audio.frames == 0 || audio.channels < 1 ||
        audio.sampleRate < 1000)
        return;
    SoundChunk chunk;
    chunk.samples.assign(audio.samples, audio.samples + audio.frames * static_cast<size_t>(audio.channels));
    chunk.channels = audio.channels;
    chunk.sampleRate = audio.sampleRate;
    chunk.time = audio.time;
    const int64_t length = static_cast<int64_t>(audio.frames) * 10000000 / audio.sampleRate;
    {
        std::lock_guard lock(m_lock);
        if (!m_accepting)
            return;
        while (!m_sound.empty() && m_soundQueued + length > kSoundQueue) {
            const SoundChunk& old = m_sound.front();
            m_soundQueued -= static_cast<int64_t>(old.samples.size() / static_cast<size_t>(old.channels)) * 10000000 /
                             old.sampleRate;
            m_sound.pop_front();
        }
        m_sound.push_back(std::move(chunk));
        m_soundQueued += length;
    }
    m_wake.notify_all();
}

void RtmpRelay::OnPacketsEnd()
{
    {
        std::lock_guard lock(m_lock);
        m_picturesEnded = true;
        // The next run starts with a key frame.
        m_needKey = true;
    }
    m_wake.notify_all();
}

int RtmpRelay::Interrupt(void* opaque)
{
    auto* self = static_cast<RtmpRelay*>(opaque);
    const int64_t now = NowNs();
    return now > self->m_deadline.load() || now > self->m_stopDeadline.load() ? 1 : 0;
}

void RtmpRelay::SetDeadline(std::chrono::milliseconds fromNow)
{
    m_deadline = NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(fromNow).count();
}

void RtmpRelay::SetState(RelayState state, const std::string& error, int retrySeconds, Clock::time_point since)
{
    std::function<void(const RelayStatus&)> listener;
    RelayStatus snapshot;
    {
        std::lock_guard lock(m_lock);
        m_status.state = state;
        m_status.error = error;
        m_status.retrySeconds = retrySeconds;
        m_status.since = since;
        if (state == RelayState::Live)
            ++m_status.sessions;
        listener = m_listener;
        snapshot = m_status;
    }
    if (listener)
        listener(snapshot);
}

bool RtmpRelay::WaitOrStop(Clock::time_point until)
{
    std::unique_lock lock(m_lock);
    return !m_wake.wait_until(lock, until, [this] { return m_stopping; });
}

// Waits for a key frame, the newest one: older waiting packets are
// dropped, so a new session starts with what the camera shows now. False
// on Stop.
bool RtmpRelay::WaitForKey(H264PacketPtr& packet)
{
    std::unique_lock lock(m_lock);
    for (;;) {
        const auto key = std::find_if(m_queue.rbegin(), m_queue.rend(), [](const H264PacketPtr& p) { return p->key; });
        if (key != m_queue.rend()) {
            const auto from = std::prev(key.base());
            m_status.picturesDropped += static_cast<uint64_t>(from - m_queue.begin());
            m_queue.erase(m_queue.begin(), from);
            packet = std::move(m_queue.front());
            m_queue.pop_front();
            return true;
        }
        // The session before may have left the middle of a run here.
        m_status.picturesDropped += m_queue.size();
        m_queue.clear();
        m_needKey = true;
        lock.unlock();
        if (m_source)
            m_source->AskKeyFrame();
        lock.lock();
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping)
            return false;
    }
}

RtmpRelay::SessionEnd RtmpRelay::RunSession(Session& session, H264PacketPtr first, std::string& error)
{
    H264PacketPtr packet = std::move(first);
    std::deque<SoundChunk> sound;
    for (;;) {
        for (const SoundChunk& chunk : sound)
            if (!session.SendSound(chunk, error))
                return SessionEnd::Lost;
        sound.clear();
        if (packet) {
            if (!session.Send(*packet, error))
                return SessionEnd::Lost;
            std::lock_guard lock(m_lock);
            ++m_status.picturesSent;
        }
        packet.reset();
        std::unique_lock lock(m_lock);
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty() || m_picturesEnded || !m_sound.empty(); });
        if (m_stopping)
            return SessionEnd::Stopped;
        sound.swap(m_sound);
        m_soundQueued = 0;
        if (m_queue.empty()) {
            if (!sound.empty())
                continue; // sound alone goes out at once
            m_picturesEnded = false; // writing ended
            return SessionEnd::PicturesEnded;
        }
        packet = std::move(m_queue.front());
        m_queue.pop_front();
        // A new run (another size, rate or bitrate) needs a new stream.
        if (packet->run != session.Run()) {
            m_queue.push_front(std::move(packet));
            return SessionEnd::FormatChanged;
        }
    }
}

void RtmpRelay::Run()
{
    RtmpUrl url;
    std::string why;
    if (!ParseRtmpUrl(m_options.url, url, &why)) {
        SetState(RelayState::Failed, "bad URL: " + why);
        WaitOrStop(Clock::time_point::max());
        SetState(RelayState::Off);
        return;
    }

    std::chrono::milliseconds delay = m_options.firstRetry;
    bool wentLive = false;
    SetState(RelayState::Connecting);
    for (;;) {
        H264PacketPtr first;
        if (!WaitForKey(first))
            break;
        std::string error;
        Session session(*this);
        const Session::OpenResult opened = session.Open(url, first, error);
        if (opened == Session::OpenResult::Ok) {
            SetState(RelayState::Live, {}, 0, Clock::now());
            wentLive = true;
            delay = m_options.firstRetry;
            const SessionEnd end = RunSession(session, std::move(first), error);
            session.Close(end != SessionEnd::Lost);
            if (end == SessionEnd::Stopped)
                break;
            if (end != SessionEnd::Lost) {
                SetState(RelayState::Connecting);
                continue;
            }
        } else {
            session.Close(false);
            // A refusal of the first publish is the user's to mend (address
            // or key); asking again would not help and services may block
            // a key that keeps failing. After a session was live, a refusal
            // is more likely the server still holding the old session.
            if ((opened == Session::OpenResult::Refused && !wentLive) || opened == Session::OpenResult::Untrusted) {
                SetState(RelayState::Failed, error);
                WaitOrStop(Clock::time_point::max());
                break;
            }
        }
        {
            std::lock_guard lock(m_lock);
            if (m_stopping)
                break;
        }
        const auto next = Clock::now() + delay;
        SetState(RelayState::Retrying, error,
                 static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(delay).count()), next);
        if (!WaitOrStop(next))
            break;
        delay = std::min(delay * 2, m_options.longestRetry);
        SetState(RelayState::Connecting);
    }
    SetState(RelayState::Off);
}
