#include "live/browser/BrowserSide.h"

#include "live/browser/BrowserRoutes.h"
#include "live/browser/WatchPage.h"
#include "platform/wmf/ViewerGate.h"

#include <algorithm>
#include <cctype>

using browser::BrowserRoute;
using Clock = std::chrono::steady_clock;

namespace {

SharedBytes PictureBytes(const JpegPicturePtr& picture)
{
    return SharedBytes(picture, &picture->bytes);
}

uint64_t SequenceOf(const JpegPicturePtr& picture) { return picture ? picture->sequence : 0; }

// The private link's token the page was opened with ("k" of the query), if
// it is URL-safe text of a sensible length; the gate has checked it.
std::string LinkToken(std::string_view target)
{
    const std::string_view token = LinkTokenOf(target);
    const bool safe = token.size() <= 64 && std::all_of(token.begin(), token.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
    return safe ? std::string(token) : std::string();
}

// A request answered at once: the connection stays routed here until the
// answer is sent.
class Answered final : public IRouteSession {
public:
    void Turn(RouteConnection&, const SinkFacts&) override {}
};

} // namespace

// /live.mjpg: the newest picture whenever everything before it was sent, so
// a slow viewer skips pictures instead of queueing them.
class BrowserSide::MjpegViewer final : public IRouteSession {
public:
    explicit MjpegViewer(BrowserSide& side) : m_side(side) { ++m_side.m_watching; }
    ~MjpegViewer() override { StopWatching(); }

    void Turn(RouteConnection& connection, const SinkFacts&) override
    {
        const JpegPicturePtr latest = m_side.m_feed.Latest();
        if (!latest || connection.Sending() || latest->sequence <= m_lastPicture
            || (!m_sentPart && Clock::now() - latest->handed > m_side.m_options.freshPicture))
            return;
        connection.Send(browser::MjpegPartHead(latest->bytes.size(), !m_sentPart), PictureBytes(latest));
        m_lastPicture = latest->sequence;
        m_sentPart = true;
    }

    void StreamEnded(RouteConnection& connection) override
    {
        StopWatching();
        connection.Finish();
    }

private:
    void StopWatching()
    {
        if (m_watching)
            --m_side.m_watching;
        m_watching = false;
    }

    BrowserSide& m_side;
    bool m_watching = true;
    uint64_t m_lastPicture = 0; // sequence of the last picture sent
    bool m_sentPart = false;
};

// /snapshot.jpg: the next picture, encoded for this request, never an old one.
class BrowserSide::Snapshot final : public IRouteSession {
public:
    explicit Snapshot(BrowserSide& side) : m_side(side), m_after(SequenceOf(side.m_feed.Latest())), m_since(Clock::now())
    {
        m_side.m_feed.WantPicture();
    }

    void Turn(RouteConnection& connection, const SinkFacts&) override
    {
        if (m_done)
            return;
        const JpegPicturePtr latest = m_side.m_feed.Latest();
        if (latest && latest->sequence > m_after) {
            connection.Send("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: "
                    + std::to_string(latest->bytes.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n",
                PictureBytes(latest));
            connection.Finish();
            m_done = true;
        } else if (Clock::now() - m_since > m_side.m_options.pictureTimeout) {
            connection.Refuse(503, "Service Unavailable");
            m_done = true;
        }
    }

private:
    BrowserSide& m_side;
    const uint64_t m_after; // the newest picture when the request came
    const Clock::time_point m_since;
    bool m_done = false;
};

BrowserSide::BrowserSide(BrowserSideOptions options)
    : m_options(options), m_feed([this] {
          if (m_wake)
              m_wake();
      }, options.feed),
      m_h264([this] {
          if (m_wake)
              m_wake();
      }, options.h264),
      m_hls(m_h264, options.hls)
{
}

BrowserSide::~BrowserSide()
{
    m_h264.Stop();
    m_feed.Stop();
}

void BrowserSide::SetPictureTap(std::shared_ptr<PictureTap> tap)
{
    m_h264.SetTap(tap);
    m_feed.SetTap(std::move(tap));
}

void BrowserSide::SetH264Bitrate(uint32_t bitsPerSecond) { m_h264Bitrate = bitsPerSecond; }

void BrowserSide::SetStreamLabel(const std::string& label)
{
    std::lock_guard lock(m_labelLock);
    m_label = label;
}

void BrowserSide::Opened(std::function<void()> wake)
{
    m_wake = std::move(wake);
    m_feed.Start();
    m_h264.Start();
}

void BrowserSide::SlotsOffered(ViewerSlots* slots) { m_hls.SetSlots(slots); }

void BrowserSide::Closed()
{
    m_hls.SetSlots(nullptr);
    m_h264.Stop();
    m_feed.Stop();
    m_wake = nullptr;
}

void BrowserSide::StreamBegan(const SinkFacts& facts)
{
    m_feed.SetBitrate(facts.bitrate);
    m_h264.SetBitrate(m_h264Bitrate ? m_h264Bitrate.load() : facts.bitrate);
    m_feed.Prime();
}

std::unique_ptr<IRouteSession> BrowserSide::Route(const wmhttp::Request& request, RouteConnection& connection,
    const SinkFacts& facts)
{
    const BrowserRoute route = browser::RouteBrowser(request);
    const bool head = request.method == "HEAD";
    // Pages and documents are answered at once; the session only keeps the
    // connection routed here until it is sent.
    auto answer = [&connection](std::string response) -> std::unique_ptr<IRouteSession> {
        connection.Send(std::move(response));
        connection.Finish();
        return std::make_unique<Answered>();
    };
    switch (route) {
    case BrowserRoute::None: return nullptr;
    case BrowserRoute::BadMethod:
        return answer(browser::Response(405, "Method Not Allowed", "text/plain", "405 Method Not Allowed\r\n", false,
            "Allow: GET, HEAD\r\n"));
    case BrowserRoute::Watch: {
        // The addresses on the page are those the browser used (a port
        // forwarded by a router included); without a usable Host, ours.
        std::string host;
        uint16_t port = 0;
        if (!browser::AuthorityOfHeader(request.Header("Host"), &host, &port)) {
            host = connection.LocalAddress();
            port = facts.port;
        }
        return answer(browser::Response(200, "OK", "text/html; charset=utf-8",
            browser::WatchPage(Facts(facts), host, port, LinkToken(request.target)), head));
    }
    case BrowserRoute::Status:
        return answer(browser::Response(200, "OK", "application/json", browser::StatusJson(Facts(facts)), head));
    case BrowserRoute::Snapshot:
        if (head)
            return answer("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
        return std::make_unique<Snapshot>(*this);
    case BrowserRoute::Live:
        if (head)
            return answer(browser::MjpegHead());
        if (!connection.TakeViewerSlot(ViewerKind::Browser)) {
            connection.Refuse(503, "Service Unavailable");
            return std::make_unique<Answered>();
        }
        // A slow link gets the newest picture, not the ones the system queued.
        connection.KeepQueueShort();
        connection.Send(browser::MjpegHead());
        return std::make_unique<MjpegViewer>(*this);
    case BrowserRoute::HlsMultivariant:
    case BrowserRoute::HlsFile: {
        const std::string token = LinkToken(request.target);
        const std::string query = token.empty() ? std::string() : "?k=" + token;
        if (route == BrowserRoute::HlsFile)
            return m_hls.File(wmhttp::RequestPath(request.target), connection, head, query);
        const uint32_t bitrate = m_h264Bitrate ? m_h264Bitrate.load() : facts.bitrate;
        return m_hls.Multivariant(connection, head, query, bitrate ? bitrate : H264Feed::kDefaultBitrate);
    }
    case BrowserRoute::LiveMp4: {
        const BodyFraming framing = request.versionMinor >= 1 ? BodyFraming::Chunked : BodyFraming::UntilClose;
        if (head)
            return answer(Mp4Viewer::Head(framing));
        if (!connection.TakeViewerSlot(ViewerKind::Browser)) {
            connection.Refuse(503, "Service Unavailable");
            return std::make_unique<Answered>();
        }
        // Sending() then holds until the peer took the bytes, so a slow
        // link shows as a backlog here and is skipped, not queued.
        connection.KeepQueueShort();
        return std::make_unique<Mp4Viewer>(m_h264, m_watchingMp4, framing, m_options.mp4);
    }
    }
    return nullptr;
}

void BrowserSide::Turned(const SinkFacts&)
{
    m_feed.SetViewers(m_watching);
    m_hls.Turned();
    m_h264.SetViewers(m_watchingMp4 + m_hls.Viewers());
}

browser::StreamFacts BrowserSide::Facts(const SinkFacts& sink) const
{
    browser::StreamFacts f;
    f.streaming = sink.streaming;
    f.viewers = sink.viewers;
    f.limit = sink.limit;
    {
        std::lock_guard lock(m_labelLock);
        f.profile = m_label;
    }
    const PictureFormat format = m_feed.Format();
    f.width = format.width;
    f.height = format.height;
    f.fps = format.FramesPerSecond();
    if (f.streaming)
        f.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - sink.streamStart).count();
    f.bytesSent = sink.bytesSent;
    f.mp4 = static_cast<uint32_t>(m_watchingMp4);
    f.mjpeg = static_cast<uint32_t>(m_watching);
    f.hls = static_cast<uint32_t>(m_hls.Viewers());
    f.mediaPlayers = f.viewers >= f.mp4 + f.mjpeg + f.hls ? f.viewers - f.mp4 - f.mjpeg - f.hls : 0;
    return f;
}
