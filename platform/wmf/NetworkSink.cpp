// The Windows Media protocol of the network sink (NetworkSink.h): players'
// requests, the $H/$D/$E framing, and joining at the live edge. The
// connections themselves are the connection server's (ConnectionServer.h).
//
// The writer's encoding thread only hands header and packets over through a
// locked inbox and wakes the server's thread, so no client can delay the
// encoder.

#include "platform/wmf/NetworkSink.h"

#include "platform/wmf/ConnectionServer.h"
#include "platform/wmf/SinkRoutes.h"

#include <cstring>
#include <random>

using wmsink::Clock;
using wmsink::Connection;
using wmsink::ConnectionState;

namespace {

// Packets kept for joining clients (from the last key frame on).
constexpr size_t kMaxBacklogBytes = 8u << 20;

void AppendLE(std::string& s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// $H / $D framing: '$', id, length (bytes after this field), location id,
// incarnation, AF flags, packet size (= length).
std::string Framing(char id, uint32_t location, uint8_t afFlags, size_t payload)
{
    std::string f;
    const auto length = static_cast<uint32_t>(payload + 8);
    f += '$';
    f += id;
    AppendLE(f, length, 2);
    AppendLE(f, location, 4);
    f += '\0';
    f += static_cast<char>(afFlags);
    AppendLE(f, length, 2);
    return f;
}

std::string EndOfStream()
{
    std::string f = "$E";
    AppendLE(f, 4, 2);
    AppendLE(f, 0, 4); // reason 0: the stream ended
    return f;
}

// The Max Bitrate field of the File Properties Object.
uint32_t HeaderBitrate(const std::vector<uint8_t>& header)
{
    asf::HeaderInfo info;
    if (!asf::ParseHeader(header.data(), header.size(), &info) || info.filePropertiesOffset + 104 > header.size())
        return 0;
    const uint8_t* p = header.data() + info.filePropertiesOffset + 100;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
        | static_cast<uint32_t>(p[3]) << 24;
}

SharedBytes PacketBytes(const asf::DataPacketPtr& packet)
{
    return SharedBytes(packet, &packet->bytes);
}

class NetworkSink;

// A client of the stream itself: a player, or any GET of "/".
class Player final : public IRouteSession {
public:
    enum class Phase {
        WaitingForHeader, // the stream has not begun yet
        Joining,          // header sent; data starts at the next key frame
        Streaming,
        Done, // answered (Describe, HEAD) or ended
    };

    Player(std::vector<Player*>& players, Connection& connection, wmhttp::RequestKind kind, uint32_t clientId)
        : connection(connection), kind(kind), clientId(clientId), m_players(players)
    {
        m_players.push_back(this);
    }
    ~Player() override { std::erase(m_players, this); }

    void Turn(RouteConnection&, const SinkFacts&) override {}

    bool Framed() const { return kind == wmhttp::RequestKind::Play || kind == wmhttp::RequestKind::Describe; }
    // Has been sent the stream header and is to be told when the stream ends.
    bool Started() const { return phase == Phase::Joining || phase == Phase::Streaming; }

    void QueuePacket(const asf::DataPacketPtr& packet)
    {
        connection.Send(Framed() ? Framing('D', nextLocation++, 0, packet->bytes.size()) : std::string(), PacketBytes(packet));
    }

    // Ends the stream for this client: players get $E; the connection
    // closes once everything queued is sent.
    void End()
    {
        if (Started() && kind == wmhttp::RequestKind::Play)
            connection.Send(EndOfStream());
        phase = Phase::Done;
        connection.Finish();
    }

    Connection& connection;
    const wmhttp::RequestKind kind;
    const uint32_t clientId;
    Phase phase = Phase::WaitingForHeader;
    uint32_t nextLocation = 0;

private:
    std::vector<Player*>& m_players;
};

class NetworkSink final : public ComObject<IWMWriterNetworkSink, IWMWriterSinkRoutes>, wmsink::ConnectionServer::Protocol {
public:
    explicit NetworkSink(const NetworkSinkOptions& options)
        : m_options(options), m_server(*this, {options.stallLimit, options.requestTimeout})
    {
    }
    ~NetworkSink() override { Close(); }

    // ---- IWMWriterSink (encoding thread) ----

    HRESULT OnHeader(const uint8_t* header, size_t length) override
    {
        if (!header)
            return E_POINTER;
        std::vector<uint8_t> live(header, header + length);
        asf::HeaderInfo info;
        if (!asf::PatchHeaderForLive(live) || !asf::ParseHeader(live.data(), live.size(), &info)
            || live.size() > 65527)
            return E_INVALIDARG;
        {
            std::lock_guard lock(m_inboxLock);
            m_inbox.header = std::move(live);
            m_inbox.newHeader = true;
            m_inbox.keyFrames = nullptr; // until the writer of this stream gives its own
            m_inbox.newKeyFrames = true;
            m_inbox.ended = false;
            m_inbox.packets.clear();
            WakeLocked();
        }
        return S_OK;
    }

    HRESULT SetKeyFrameRequest(KeyFrameRequestPtr request) override
    {
        std::lock_guard lock(m_inboxLock);
        m_inbox.keyFrames = std::move(request);
        m_inbox.newKeyFrames = true;
        WakeLocked();
        return S_OK;
    }

    HRESULT IsRealTime(BOOL* realTime) override
    {
        if (!realTime)
            return E_POINTER;
        *realTime = 1;
        return S_OK;
    }

    HRESULT OnDataUnit(const asf::DataPacketPtr& packet) override
    {
        if (!packet)
            return E_POINTER;
        {
            std::lock_guard lock(m_inboxLock);
            // Nothing is kept while the sink is closed or has no header.
            if (!m_running || (m_inbox.header.empty() && !m_haveHeaderOnThread))
                return S_OK;
            m_inbox.packets.push_back(packet);
            WakeLocked();
        }
        return S_OK;
    }

    HRESULT OnEndWriting() override
    {
        {
            std::lock_guard lock(m_inboxLock);
            m_inbox.ended = true;
            WakeLocked();
        }
        return S_OK;
    }

    // ---- IWMWriterNetworkSink (user-interface thread) ----

    HRESULT SetMaximumClients(DWORD maxClients) override
    {
        m_server.SetMaximumClients(maxClients);
        return S_OK;
    }
    HRESULT GetMaximumClients(DWORD* maxClients) override
    {
        if (!maxClients)
            return E_POINTER;
        *maxClients = m_server.MaximumClients();
        return S_OK;
    }
    HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) override
    {
        return protocol == WMT_PROTOCOL_HTTP ? S_OK : E_INVALIDARG;
    }
    HRESULT GetNetworkProtocol(WMT_NET_PROTOCOL* protocol) override
    {
        if (!protocol)
            return E_POINTER;
        *protocol = WMT_PROTOCOL_HTTP;
        return S_OK;
    }
    HRESULT GetHostURL(std::string* url) override
    {
        if (!url)
            return E_POINTER;
        if (!m_server.IsOpen())
            return NS_E_INVALID_OPERATION;
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0)
            std::strcpy(host, "localhost");
        *url = "http://" + std::string(host) + ":" + std::to_string(m_server.Port()) + "/";
        return S_OK;
    }

    HRESULT Open(DWORD* port) override
    {
        if (!port)
            return E_POINTER;
        if (m_server.IsOpen())
            return NS_E_INVALID_OPERATION;
        if (*port > 65535)
            return E_INVALIDARG;
        {
            std::lock_guard lock(m_inboxLock);
            m_running = true;
        }
        if (m_gate)
            m_gate->Opened();
        if (m_hook) {
            m_hook->Opened([this] { m_server.Wake(); });
            m_hook->SlotsOffered(&m_server);
        }
        const HRESULT hr = m_server.Open(port);
        if (FAILED(hr)) {
            if (m_hook)
                m_hook->Closed();
            std::lock_guard lock(m_inboxLock);
            m_running = false;
        }
        return hr;
    }

    HRESULT Disconnect() override
    {
        m_server.Disconnect();
        return S_OK;
    }

    HRESULT Close() override
    {
        const bool wasOpen = m_server.IsOpen();
        m_server.Stop();
        // The hook's threads may wake the server until Closed returns.
        if (wasOpen && m_hook)
            m_hook->Closed();
        {
            // The encoding thread wakes the server only while this is set.
            std::lock_guard lock(m_inboxLock);
            m_running = false;
            m_inbox.packets.clear();
            m_inbox.ended = false;
            // The last header stays: a sink opened again serves the same stream.
            if (!m_header.empty() && m_inbox.header.empty()) {
                m_inbox.header = m_header;
                m_inbox.newHeader = true;
                m_inbox.keyFrames = m_keyFrames;
                m_inbox.newKeyFrames = true;
            }
        }
        m_header.clear();
        m_server.Close();
        return S_OK;
    }

    // ---- IWMWriterSinkRoutes ----

    HRESULT SetRouteHook(std::shared_ptr<ISinkRouteHook> hook) override
    {
        if (m_server.IsOpen())
            return NS_E_INVALID_OPERATION;
        m_hook = std::move(hook);
        return S_OK;
    }
    HRESULT SetGate(std::shared_ptr<ISinkGate> gate) override
    {
        if (m_server.IsOpen())
            return NS_E_INVALID_OPERATION;
        m_gate = std::move(gate);
        return S_OK;
    }
    uint32_t GetViewerCount() override { return m_server.ViewerCount(); }
    std::vector<ViewerChange> TakeViewerChanges() override { return m_server.TakeViewerChanges(); }

private:
    struct Inbox {
        std::vector<uint8_t> header;
        bool newHeader = false;
        KeyFrameRequestPtr keyFrames;
        bool newKeyFrames = false;
        bool ended = false;
        std::vector<asf::DataPacketPtr> packets;
    };

    // The encoding thread wakes the server's thread only while it runs.
    void WakeLocked()
    {
        if (m_running)
            m_server.Wake();
    }

    // ---- ConnectionServer::Protocol (the server's thread) ----

    void Turn() override
    {
        TakeInbox();
        AskIfDue();
        if (!m_hook)
            return;
        const SinkFacts facts = Facts();
        for (Connection& c : m_server.Connections())
            if (c.session && c.state != ConnectionState::Closing)
                c.session->Turn(c, facts);
        m_hook->Turned(facts);
    }

    void Request(Connection& c, const wmhttp::Request& request) override
    {
        // The gate before any routing: whatever it refuses is answered here
        // and never reaches a route or takes a viewer slot.
        if (m_gate)
            if (std::optional<std::string> refusal = m_gate->Check(request, c.host, c.headOnly)) {
                c.Send(std::move(*refusal));
                return c.Finish();
            }
        // A route of the hook first; otherwise the one place where a
        // request's method and path choose its answer.
        if (m_hook) {
            const SinkFacts facts = Facts();
            if (auto session = m_hook->Route(request, c, facts)) {
                c.session = std::move(session);
                if (c.state == ConnectionState::ReadingRequest)
                    c.state = ConnectionState::Serving;
                if (c.state != ConnectionState::Closing)
                    c.session->Turn(c, facts);
                return;
            }
        }
        const wmhttp::RequestKind kind = wmhttp::Classify(request);
        switch (kind) {
        case wmhttp::RequestKind::NotFound: return c.Refuse(404, "Not Found");
        case wmhttp::RequestKind::BadMethod: return c.Refuse(501, "Not Implemented");
        case wmhttp::RequestKind::Log:
            c.Send("HTTP/1.0 204 No Content\r\nServer: Rex/9.0\r\nConnection: close\r\n\r\n");
            return c.Finish();
        default: break;
        }
        if (m_server.Full())
            return c.Refuse(503, "Service Unavailable");
        if (kind != wmhttp::RequestKind::Describe && !c.headOnly)
            m_server.CountViewer(c, ViewerKind::MediaPlayer);
        auto player = std::make_unique<Player>(m_players, c, kind, m_random());
        Player& p = *player;
        c.session = std::move(player);
        c.state = ConnectionState::Serving;
        if (m_haveHeaderOnThread && !m_ended)
            StartStreaming(p);
    }

    std::string Farewell(const Connection& c) const override
    {
        for (const Player* p : m_players)
            if (&p->connection == &c && p->Started() && p->kind == wmhttp::RequestKind::Play)
                return EndOfStream();
        return {};
    }

    void Stopped() override
    {
        m_backlog.clear();
        m_backlogBytes = 0;
        m_haveKey = false;
        m_haveHeaderOnThread = false;
    }

    void TakeInbox()
    {
        Inbox in;
        {
            std::lock_guard lock(m_inboxLock);
            std::swap(in, m_inbox);
        }
        if (in.newHeader) {
            // A new stream: those watching the old one are ended.
            for (Player* p : std::vector<Player*>(m_players))
                if (p->Started())
                    p->End();
            m_header = std::move(in.header);
            m_sharedHeader = std::make_shared<const std::vector<uint8_t>>(m_header);
            m_haveHeaderOnThread = true;
            m_ended = false;
            m_streamStart = Clock::now();
            m_bitrate = HeaderBitrate(m_header);
            m_backlog.clear();
            m_backlogBytes = 0;
            m_haveKey = false;
            if (m_hook)
                m_hook->StreamBegan(Facts());
        }
        if (in.newKeyFrames)
            m_keyFrames = std::move(in.keyFrames);
        if (in.newHeader)
            for (Player* p : std::vector<Player*>(m_players))
                if (p->phase == Player::Phase::WaitingForHeader)
                    StartStreaming(*p);
        for (auto& packet : in.packets) {
            if (packet->keyFrameStart) {
                m_backlog.clear();
                m_backlogBytes = 0;
                m_haveKey = true;
                for (Player* p : m_players)
                    if (p->phase == Player::Phase::Joining)
                        p->phase = Player::Phase::Streaming;
            }
            if (m_haveKey) {
                m_backlog.push_back(packet);
                m_backlogBytes += packet->bytes.size();
                if (m_backlogBytes > kMaxBacklogBytes) {
                    // Key frames too far apart to keep: joiners wait for the next.
                    m_backlog.clear();
                    m_backlogBytes = 0;
                    m_haveKey = false;
                }
            }
            for (Player* p : m_players)
                if (p->phase == Player::Phase::Streaming)
                    p->QueuePacket(packet);
        }
        if (in.ended) {
            m_ended = true;
            for (Player* p : std::vector<Player*>(m_players))
                if (p->Started() || p->phase == Player::Phase::WaitingForHeader)
                    p->End();
            for (Connection& c : m_server.Connections())
                if (c.session && c.state != ConnectionState::Closing)
                    c.session->StreamEnded(c);
        }
    }

    SinkFacts Facts() const
    {
        SinkFacts f;
        f.streaming = m_haveHeaderOnThread && !m_ended;
        f.viewers = m_server.ViewerCount();
        f.limit = m_server.MaximumClients();
        f.port = m_server.Port();
        f.bitrate = m_bitrate;
        f.streamStart = m_streamStart;
        f.bytesSent = m_server.BytesSent();
        return f;
    }

    void StartStreaming(Player& p)
    {
        Connection& c = p.connection;
        const bool describe = p.kind == wmhttp::RequestKind::Describe;
        std::string head = "HTTP/1.0 200 OK\r\nServer: Rex/9.0\r\n";
        if (p.Framed()) {
            head += describe ? "Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n" : "Content-Type: application/x-mms-framed\r\n";
            head += "Pragma: no-cache\r\nPragma: client-id=" + std::to_string(p.clientId)
                + "\r\nPragma: features=\"broadcast\"\r\n";
            if (describe)
                head += "Content-Length: " + std::to_string(m_header.size() + 12) + "\r\n";
        } else {
            head += "Content-Type: video/x-ms-asf\r\nPragma: no-cache\r\n";
        }
        head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
        if (c.headOnly) {
            c.Send(std::move(head));
            p.phase = Player::Phase::Done;
            return c.Finish();
        }
        if (p.Framed())
            head += Framing('H', 0, 0x0C, m_header.size());
        c.Send(std::move(head), m_sharedHeader);
        if (describe) {
            p.phase = Player::Phase::Done;
            return c.Finish();
        }
        if (m_keyFrames) {
            p.phase = Player::Phase::Joining;
            AskForKeyFrame();
            return;
        }
        p.phase = Player::Phase::Streaming;
        for (const auto& packet : m_backlog)
            p.QueuePacket(packet);
    }

    // Asks the writer for a key frame now, or once the spacing allows.
    void AskForKeyFrame()
    {
        const auto now = Clock::now();
        if (m_askedOnce && now - m_askedAt < m_options.forcedKeySpacing) {
            m_askDeferred = true;
            return;
        }
        m_keyFrames->Ask();
        m_askedAt = now;
        m_askedOnce = true;
        m_askDeferred = false;
    }

    // A deferred ask, when its time has come and someone still waits.
    void AskIfDue()
    {
        if (!m_askDeferred || !m_keyFrames || Clock::now() - m_askedAt < m_options.forcedKeySpacing)
            return;
        m_askDeferred = false;
        for (const Player* p : m_players)
            if (p->phase == Player::Phase::Joining) {
                AskForKeyFrame();
                return;
            }
    }

    const NetworkSinkOptions m_options;

    // Between the encoding thread and the server's thread.
    std::mutex m_inboxLock;
    Inbox m_inbox;
    std::atomic<bool> m_haveHeaderOnThread{false};
    bool m_running = false; // open and serving (guarded by m_inboxLock)

    // Installed while closed; used by the server's thread while open.
    std::shared_ptr<ISinkRouteHook> m_hook;
    std::shared_ptr<ISinkGate> m_gate;

    // The server's thread only.
    std::vector<Player*> m_players;
    std::vector<uint8_t> m_header;
    SharedBytes m_sharedHeader; // the same bytes, sent to every client
    uint32_t m_bitrate = 0;
    KeyFrameRequestPtr m_keyFrames; // of the writer feeding the sink, if it takes requests
    std::deque<asf::DataPacketPtr> m_backlog;
    size_t m_backlogBytes = 0;
    bool m_haveKey = false;
    Clock::time_point m_askedAt; // the last key frame request
    bool m_askedOnce = false;
    bool m_askDeferred = false; // a client waits for the spacing to allow one
    bool m_ended = false;
    Clock::time_point m_streamStart;
    std::minstd_rand m_random{static_cast<uint32_t>(Clock::now().time_since_epoch().count())};

    // Declared last: its thread calls back into the members above until
    // Close (from the destructor) has joined it.
    wmsink::ConnectionServer m_server;
};

} // namespace

HRESULT WMCreateWriterNetworkSink(IWMWriterNetworkSink** sink, const NetworkSinkOptions& options)
{
    if (!sink)
        return E_POINTER;
    *sink = NewComObject<NetworkSink>(options);
    return S_OK;
}

HRESULT WMCreateWriterNetworkSink(IWMWriterNetworkSink** sink) { return WMCreateWriterNetworkSink(sink, {}); }
