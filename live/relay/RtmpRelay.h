#pragma once
// The relay: a second output for the writer's pictures, as H.264 in FLV
// published over RTMP with libavformat to a media server or a streaming
// service's ingest.
//
// The H.264 is the shared encode of the writer's pictures (H264Source): the
// relay subscribes as its lead, so the encode runs at the relay's bitrate
// and browsers watching at the same time get the same packets. The relay
// never holds up the writer or the encode: OnH264 only queues the shared
// packet (a few at most; when the relay falls behind it lets the queue go
// and waits for the next key frame, which it asks for) and returns; every
// network step runs on the relay's own thread. Each blocking network step
// (connect with the RTMP handshake, one write, the closing) has a deadline
// enforced through libavformat's interrupt callback, so a server that stops
// answering costs the relay a bounded wait and never stops Stop.
//
// The connection to the ingest is the relay's own (RelayLink, RelayBridge):
// rtmps:// checks the server's certificate and host name before a byte of
// RTMP goes out, and bytes the server leaves unacknowledged for the write
// deadline end the session as a lost connection.
//
// A lost connection is retried after 2, 4, 8 ... seconds (60 s at most);
// a session that went live resets the delay. A server that closes or talks
// nonsense is a lost connection too. Final, until the next Start: a bad
// address, a refused certificate, and the server's own refusal of the first
// publish (its error answer to the connect or the publish, e.g. a wrong
// stream key).
//
// Sound. The FLV always carries an AAC track beside the H.264: players
// that read the relay (ffplay, mpv, browsers through a media server) and
// some ingests wait for one, and without it they sit seconds behind live.
// With sound off the track is silence at a low rate; with sound on it is
// what FeedAudio brings, placed on the capture clock of the pictures, and
// silence wherever sound lags the pictures by more than a moment (the input
// lost), so the stream never waits for sound.
//
// Threads: Start, Stop, Status and the destructor may be called from any
// one thread (the window's); FeedAudio from the audio tap's thread; the
// status listener runs on the relay's thread.

#include "live/audio/AacEncoder.h"
#include "live/h264/H264Source.h"
#include "platform/wmf/PictureTap.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class RelayState {
    Off,        // not started, or stopped
    Connecting, // waiting for pictures, connecting or starting to publish
    Live,       // publishing
    Retrying,   // the last attempt or session failed; the next one is due
    Failed,     // bad address, refused certificate or publish: no further attempt
};

struct RelayStatus {
    RelayState state = RelayState::Off;
    std::string error; // Retrying, Failed: why
    int retrySeconds = 0;                            // Retrying: the delay chosen
    std::chrono::steady_clock::time_point since;     // Live: went live; Retrying: the next attempt
    uint64_t picturesSent = 0;    // written, over all sessions
    uint64_t picturesDropped = 0; // dropped on the relay's side (it fell behind)
    uint64_t sessions = 0;        // sessions that went live
};

// The text the window shows and the headless program prints: "off",
// "connecting", "live 00:12:34", "<error>; retry in 8 s" or "<error>".
std::string RelayStatusText(const RelayStatus& status, std::chrono::steady_clock::time_point now);

struct RelayOptions {
    std::string url;          // rtmp://host[:port]/application/streamkey
    // rtmps://: the SHA-256 fingerprint of a certificate to accept although
    // the system's trust store does not ("AB:CD:..."; "" for none).
    std::string trustedFingerprint;
    int bitrateKbps = 300;    // video bitrate
    // The audio track: silence (Off) or the sound FeedAudio brings (On),
    // at audioBitrateKbps; silence alone takes far less.
    SoundTrack sound = SoundTrack::Off;
    int audioBitrateKbps = 64;
    size_t queuePictures = 8; // encoded pictures waiting for the connection, at most
    std::chrono::milliseconds connectTimeout{10000}; // connect, handshake, publish
    std::chrono::milliseconds writeTimeout{5000};    // one picture's data; unacknowledged bytes
    std::chrono::milliseconds closeTimeout{2000};    // ending the stream, also on Stop
    std::chrono::milliseconds firstRetry{2000};
    std::chrono::milliseconds longestRetry{60000};
};

class RtmpRelay {
public:
    explicit RtmpRelay(RelayOptions options);
    ~RtmpRelay(); // stops
    RtmpRelay(const RtmpRelay&) = delete;
    RtmpRelay& operator=(const RtmpRelay&) = delete;

    // Called on the relay's thread after every change of state (not for the
    // counters); must return at once. Set before Start.
    void SetStatusListener(std::function<void(const RelayStatus&)> listener);

    // Starts the relay's thread and subscribes to the shared encode of the
    // tap's pictures. It connects when the first key frame comes, because
    // the encode gives the size and rate of the H.264 stream.
    void Start(std::shared_ptr<PictureTap> pictures);
    // Ends the stream as the server expects (so it sees the end) and joins
    // the thread. Returns within about closeTimeout even when the server
    // hangs. Safe to call more than once.
    void Stop();

    RelayStatus Status() const;
    const RelayOptions& Options() const { return m_options; }

    // Captured sound for the audio track (the audio tap's thread): copied and
    // queued (two seconds at most), returns at once. Ignored with sound off
    // and while the relay is stopped.
    void FeedAudio(const TappedAudio& audio);

private:
    class Session;
    class Subscriber;
    struct SoundChunk {
        std::vector<int16_t> samples;
        int channels = 0;
        int sampleRate = 0;
        int64_t time = 0;
    };
    enum class SessionEnd { Stopped, PicturesEnded, FormatChanged, Lost };

    void Run();
    // The encode's thread.
    void OnPacket(const H264PacketPtr& packet);
    void OnPacketsEnd();
    bool WaitForKey(H264PacketPtr& packet);
    SessionEnd RunSession(Session& session, H264PacketPtr first, std::string& error);
    bool WaitOrStop(std::chrono::steady_clock::time_point until);
    void SetState(RelayState state, const std::string& error = {}, int retrySeconds = 0,
                  std::chrono::steady_clock::time_point since = {});
    static int Interrupt(void* opaque);
    void SetDeadline(std::chrono::milliseconds fromNow);

    const RelayOptions m_options;
    std::function<void(const RelayStatus&)> m_listener;

    mutable std::mutex m_lock; // guards everything below up to the thread
    std::condition_variable m_wake;
    std::deque<H264PacketPtr> m_queue;
    bool m_needKey = true; // packets wait for a key frame (the relay fell behind)
    std::deque<SoundChunk> m_sound;
    int64_t m_soundQueued = 0; // 100-ns units of sound in m_sound
    bool m_picturesEnded = false;
    bool m_accepting = false; // pictures are queued only while the thread runs
    bool m_stopping = false;
    RelayStatus m_status;
    std::thread m_thread;
    std::shared_ptr<H264Source> m_source;
    std::shared_ptr<Subscriber> m_subscriber;

    // Deadlines of the blocking step under way (steady clock, ns); the
    // interrupt callback reads them from inside libavformat.
    std::atomic<int64_t> m_deadline{INT64_MAX};
    std::atomic<int64_t> m_stopDeadline{INT64_MAX};
};
