#include "live/browser/HlsViewers.h"

#include "platform/wmf/ViewerAuth.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxSessions = 256; // when the sink has no client limit
constexpr size_t kMaxIdLength = 32;

bool SafeName(std::string_view text)
{
    return !text.empty() && text.size() <= kMaxIdLength && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

std::string PlaylistHead(size_t bytes)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\nContent-Length: " + std::to_string(bytes)
        + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
}

HlsSegmentsOptions Named(HlsSegmentsOptions options)
{
    if (options.name.empty())
        options.name = viewerauth::RandomToken(6);
    return options;
}

// A response sent at once; the session keeps the connection routed here
// until it is out.
class Sent final : public IRouteSession {
public:
    void Turn(RouteConnection&, const SinkFacts&) override {}
};

std::unique_ptr<IRouteSession> Answer(RouteConnection& connection, std::string response)
{
    connection.Send(std::move(response));
    connection.Finish();
    return std::make_unique<Sent>();
}

std::unique_ptr<IRouteSession> Refused(RouteConnection& connection, int code, const char* reason)
{
    connection.Refuse(code, reason);
    return std::make_unique<Sent>();
}

} // namespace

// A first media playlist waits, without blocking the sink, until enough
// segments exist for a player to start (a player finding an empty list
// gives up), keeping its viewer counted meanwhile.
class HlsViewers::PlaylistWait final : public IRouteSession {
public:
    PlaylistWait(HlsViewers& owner, std::string id, bool head, std::string query)
        : m_owner(owner), m_id(std::move(id)), m_head(head), m_query(std::move(query)), m_since(Clock::now())
    {
    }

    void Turn(RouteConnection& connection, const SinkFacts&) override
    {
        if (m_done)
            return;
        if (auto it = m_owner.m_sessions.find(m_id); it != m_owner.m_sessions.end())
            it->second.seen = Clock::now();
        const size_t listed = m_owner.m_segments.Listed();
        if (listed >= m_owner.m_options.startSegments || Clock::now() - m_since > m_owner.m_options.startTimeout) {
            m_done = true;
            if (listed == 0) {
                connection.Refuse(503, "Service Unavailable");
                return;
            }
            connection.Send(m_owner.PlaylistResponse(m_query, m_head));
            connection.Finish();
        }
    }

private:
    HlsViewers& m_owner;
    const std::string m_id;
    const bool m_head;
    const std::string m_query;
    const Clock::time_point m_since;
    bool m_done = false;
};

HlsViewers::HlsViewers(H264Feed& feed, HlsOptions options)
    : m_feed(feed), m_options(options), m_segments(Named(options.segments)), m_fedAt(Clock::now())
{
}

HlsViewers::~HlsViewers() = default;

void HlsViewers::SetSlots(ViewerSlots* slots)
{
    // The sink gives back every loose slot when its thread stops.
    m_slots = slots;
    m_sessions.clear();
    m_segments.Clear();
}

std::string HlsViewers::NewSessionId() { return viewerauth::RandomToken(9); }

bool HlsViewers::Touch(const std::string& id, const std::string& address)
{
    const auto now = Clock::now();
    if (auto it = m_sessions.find(id); it != m_sessions.end()) {
        it->second.seen = now;
        return true;
    }
    if (!m_slots || m_sessions.size() >= kMaxSessions || !m_slots->TakeLooseSlot(ViewerKind::Browser, address))
        return false;
    m_sessions[id] = Session{address, now};
    // The encoder starts (or keeps running) at once: the playlist that
    // follows waits for segments.
    m_feed.SetViewers(m_sessions.size());
    m_feed.AskKeyFrame();
    return true;
}

std::unique_ptr<IRouteSession> HlsViewers::Multivariant(RouteConnection& connection, bool head, const std::string& query,
    uint32_t bitrate)
{
    std::string id;
    if (!head) {
        id = NewSessionId();
        if (!Touch(id, connection.PeerAddress()))
            return Refused(connection, 503, "Service Unavailable");
    }
    // BANDWIDTH is the peak a player must expect: the encoder's rate with
    // its one-second buffer, and the container's share.
    std::string stream = "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(static_cast<uint64_t>(bitrate) * 5 / 4);
    std::string codecs;
    int width = 0, height = 0;
    double fps = 0;
    if (m_segments.Describe(&codecs, &width, &height, &fps)) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.3f", fps);
        stream += ",CODECS=\"" + codecs + "\",RESOLUTION=" + std::to_string(width) + "x" + std::to_string(height)
            + ",FRAME-RATE=" + rate;
    }
    const std::string body = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-INDEPENDENT-SEGMENTS\n" + stream + "\nhls/"
        + (head ? std::string("SESSION") : id) + "/live.m3u8" + query + "\n";
    return Answer(connection, PlaylistHead(body.size()) + (head ? std::string() : body));
}

std::string HlsViewers::PlaylistResponse(const std::string& query, bool head) const
{
    const std::string body = m_segments.MediaPlaylist(query);
    return PlaylistHead(body.size()) + (head ? std::string() : body);
}

std::unique_ptr<IRouteSession> HlsViewers::File(std::string_view path, RouteConnection& connection, bool head,
    const std::string& query)
{
    // /hls/SESSION/FILE
    constexpr std::string_view kPrefix = "/hls/";
    if (path.substr(0, kPrefix.size()) != kPrefix)
        return Refused(connection, 404, "Not Found");
    path.remove_prefix(kPrefix.size());
    const size_t slash = path.find('/');
    const std::string_view id = path.substr(0, slash);
    const std::string_view file = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    const bool playlist = file == "live.m3u8";
    if (!SafeName(id) || (!playlist && (file.size() > 64 || file.find('/') != std::string_view::npos)))
        return Refused(connection, 404, "Not Found");
    if (!head && !Touch(std::string(id), connection.PeerAddress()))
        return Refused(connection, 503, "Service Unavailable");
    if (playlist) {
        if (m_segments.Listed() >= m_options.startSegments)
            return Answer(connection, PlaylistResponse(query, head));
        return std::make_unique<PlaylistWait>(*this, std::string(id), head, query);
    }
    const auto bytes = m_segments.File(std::string(file));
    if (!bytes)
        return Refused(connection, 404, "Not Found");
    // A file's name is never reused for other bytes (the names carry this
    // run's mark and a number that only grows).
    std::string responseHead = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " + std::to_string(bytes->size())
        + "\r\nCache-Control: public, max-age=60, immutable\r\nConnection: close\r\n\r\n";
    if (head)
        return Answer(connection, std::move(responseHead));
    connection.Send(std::move(responseHead), bytes);
    connection.Finish();
    return std::make_unique<Sent>();
}

void HlsViewers::Turned()
{
    const auto now = Clock::now();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (now - it->second.seen > m_options.lapse) {
            if (m_slots)
                m_slots->GiveLooseSlot(ViewerKind::Browser, it->second.address);
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
    const std::vector<Mp4FragmentPtr> fragments = m_feed.Since(m_lastFragment);
    if (!fragments.empty()) {
        m_lastFragment = fragments.back()->sequence;
        m_segments.Take(fragments);
        m_fedAt = now;
    } else if (now - m_fedAt > m_options.stale) {
        // The encoder stopped: what is kept is no longer live.
        m_segments.Clear();
    }
    // Every segment starts with a key frame: ask for the next one now; the
    // feed makes it once a second has passed since the last.
    if (!m_sessions.empty())
        m_feed.AskKeyFrame();
}
