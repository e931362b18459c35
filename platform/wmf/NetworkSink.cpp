// The HTTP network sink: serves the live ASF stream to players.
//
// One thread per sink (started by Open, joined by Close or the destructor)
// runs a poll loop over the listening socket, the clients and a wake-up
// descriptor. The writer's encoding thread only hands header and packets
// over through a locked inbox and wakes the loop, so no client can delay
// the encoder. Each client has its own queue of shared packets; a client
// whose oldest queued data has waited too long (it stopped reading or
// cannot keep up) is dropped.
//
// What a client gets:
//   Windows Media players (User-Agent NSPlayer/NSServer/WMFSDK/WMCacheProxy
//   or an xClientGUID pragma): Describe = headers and one $H chunk; Play
//   (pragma xPlayStrm=1) = $H, then one $D chunk per data packet, $E when
//   the stream ends.
//   Other GETs of "/": video/x-ms-asf, the header, then raw packets.
//   HEAD: the same status and headers as GET, no body.
//   Over the client limit: 503. POST (player logs): 204. Other paths: 404.
//   Other methods: 501. Malformed or oversized requests: 400 / 431.
//   Browser paths (/watch, /live.mjpg, /snapshot.jpg, /status.json): see
//   BrowserSide.h; MJPEG viewers take client slots like players.
//
// Joining at the live edge: a streaming client gets the header at once and
// its data from the next packet that starts a key frame; the sink asks the
// writer (KeyFrameRequest, one atomic flag) for a key frame at its next
// picture, so that packet is at most a frame time away and the client never
// plays a backlog. Clients joining before that picture share its key frame.
// A key frame costs several pictures' worth of the bitrate, so the sink
// asks at most once per kForcedKeySpacing: a client that comes sooner waits
// for the next key frame (at most that long) rather than starting behind
// the live edge. Without a writer that takes requests (a sink fed by
// hand), a client starts at the most recent key frame packet (the packets
// since then are kept for joining clients).

#include "platform/wmf/BrowserFeed.h"
#include "platform/wmf/BrowserSide.h"
#include "platform/wmf/HttpRequest.h"
#include "platform/wmf/WatchPage.h"
#include "platform/wmf/WMWriter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A client whose oldest queued data is older than this is dropped.
constexpr auto kStallLimit = std::chrono::seconds(5);
// A request head must arrive within this time.
constexpr auto kRequestTimeout = std::chrono::seconds(10);
// Hard limit of queued bytes per client, whatever their age.
constexpr size_t kMaxQueuedBytes = 16u << 20;
// Packets kept for joining clients (from the last key frame on).
constexpr size_t kMaxBacklogBytes = 8u << 20;
// Key frames asked for by joining clients are at least this far apart.
constexpr auto kForcedKeySpacing = std::chrono::seconds(1);
// Connections that have not yet sent a complete request.
constexpr size_t kMaxPendingConnections = 64;
constexpr int kSendBuffer = 64 * 1024;

constexpr HRESULT HResultFromErrno(int e) { return MakeHResult(0x80070000u | (static_cast<uint32_t>(e) & 0xFFFF)); }

// A snapshot request waits this long for a picture.
constexpr auto kPictureTimeout = std::chrono::seconds(5);
// A picture older than this is not the first one a new MJPEG viewer gets.
constexpr auto kFreshPicture = std::chrono::seconds(1);
constexpr size_t kMaxViewerChanges = 256;

enum class ClientState {
    ReadingRequest,
    WaitingForHeader, // the stream has not begun yet
    Joining,          // header sent; data starts at the next key frame
    Streaming,
    Pictures,          // an MJPEG viewer
    WaitingForPicture, // a snapshot request
    Closing,
};


struct Chunk {
    std::string prefix;         // response headers or chunk framing
    asf::DataPacketPtr packet;  // may be null
    std::vector<uint8_t> owned; // bytes owned by the chunk (header)
    JpegPicturePtr picture;     // may be null
    size_t offset = 0;          // bytes already sent
    Clock::time_point queued;

    size_t Size() const
    {
        return prefix.size() + (packet ? packet->bytes.size() : 0) + owned.size() + (picture ? picture->bytes.size() : 0);
    }
};

struct Client {
    int fd = -1;
    ClientState state = ClientState::ReadingRequest;
    wmhttp::RequestKind kind = wmhttp::RequestKind::Plain;
    std::string input;
    std::deque<Chunk> queue;
    size_t queuedBytes = 0;
    Clock::time_point since;
    uint32_t nextLocation = 0;
    uint32_t clientId = 0;
    bool counted = false;  // holds one of the client slots
    bool headOnly = false; // HEAD: answer without a body
    std::string address;  // the peer, "host:port"
    wmhttp::BrowserRoute route = wmhttp::BrowserRoute::None;
    uint64_t lastPicture = 0; // sequence of the last picture sent or seen
    bool sentPart = false;    // an MJPEG part went out

    bool Framed() const { return kind == wmhttp::RequestKind::Play || kind == wmhttp::RequestKind::Describe; }
    // Has been sent the stream header and is to be told when the stream ends.
    bool Started() const { return state == ClientState::Joining || state == ClientState::Streaming; }
};

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

class NetworkSink final : public ComObject<IWMWriterNetworkSink, IWMWriterBrowserSide> {
public:
    NetworkSink() = default;
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
            m_inbox.leading = info.videoStreams.empty() ? info.audioStreams : info.videoStreams;
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
        m_maxClients = maxClients;
        return S_OK;
    }
    HRESULT GetMaximumClients(DWORD* maxClients) override
    {
        if (!maxClients)
            return E_POINTER;
        *maxClients = m_maxClients;
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
        if (m_listen < 0)
            return NS_E_INVALID_OPERATION;
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0)
            std::strcpy(host, "localhost");
        *url = "http://" + std::string(host) + ":" + std::to_string(m_port) + "/";
        return S_OK;
    }

    HRESULT Open(DWORD* port) override
    {
        if (!port)
            return E_POINTER;
        if (m_listen >= 0)
            return NS_E_INVALID_OPERATION;
        if (*port > 65535)
            return E_INVALIDARG;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return HResultFromErrno(errno);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<uint16_t>(*port));
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 32) != 0
            || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            const int e = errno;
            ::close(fd);
            return HResultFromErrno(e);
        }
        const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) {
            const int e = errno;
            ::close(fd);
            return HResultFromErrno(e);
        }
        m_listen = fd;
        m_wake = wake;
        m_port = ntohs(addr.sin_port);
        m_stop = false;
        *port = m_port;
        {
            std::lock_guard lock(m_inboxLock);
            m_running = true;
        }
        m_openedAt = Clock::now();
        m_bytesSent = 0;
        m_feed.Start();
        m_thread = std::thread([this] { Run(); });
        return S_OK;
    }

    HRESULT Disconnect() override
    {
        if (m_listen < 0)
            return S_OK;
        m_disconnect = true;
        Wake();
        return S_OK;
    }

    HRESULT Close() override
    {
        if (m_thread.joinable()) {
            m_stop = true;
            Wake();
            m_thread.join();
        }
        m_feed.Stop();
        {
            std::lock_guard lock(m_inboxLock);
            m_running = false;
            m_inbox.packets.clear();
            m_inbox.ended = false;
            // The last header stays: a sink opened again serves the same stream.
            if (!m_header.empty() && m_inbox.header.empty()) {
                m_inbox.header = m_header;
                m_inbox.leading = m_leading;
                m_inbox.newHeader = true;
                m_inbox.keyFrames = m_keyFrames;
                m_inbox.newKeyFrames = true;
            }
        }
        m_header.clear();
        if (m_listen >= 0)
            ::close(m_listen);
        if (m_wake >= 0)
            ::close(m_wake);
        m_listen = m_wake = -1;
        return S_OK;
    }

    // ---- IWMWriterBrowserSide ----

    void SetPictureTap(std::shared_ptr<PictureTap> tap) override { m_feed.SetTap(std::move(tap)); }
    void SetStreamLabel(const std::string& label) override
    {
        std::lock_guard lock(m_viewersLock);
        m_label = label;
    }
    uint32_t GetViewerCount() override { return m_viewerCount; }
    std::vector<ViewerChange> TakeViewerChanges() override
    {
        std::lock_guard lock(m_viewersLock);
        std::vector<ViewerChange> out(m_changes.begin(), m_changes.end());
        m_changes.clear();
        return out;
    }

private:
    struct Inbox {
        std::vector<uint8_t> header;
        std::vector<uint8_t> leading;
        bool newHeader = false;
        KeyFrameRequestPtr keyFrames;
        bool newKeyFrames = false;
        bool ended = false;
        std::vector<asf::DataPacketPtr> packets;
    };

    // The encoding thread wakes the sink's thread only while it runs (the
    // descriptor is closed by Close once it has stopped).
    void WakeLocked()
    {
        if (m_running)
            Wake();
    }

    void Wake()
    {
        if (m_wake >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
        }
    }

    // ---- the sink's thread ----

    void Run()
    {
        std::vector<pollfd> fds;
        while (!m_stop) {
            fds.clear();
            fds.push_back({m_wake, POLLIN, 0});
            fds.push_back({m_listen, POLLIN, 0});
            for (const Client& c : m_clients) {
                short events = 0;
                if (c.state != ClientState::Closing)
                    events |= POLLIN; // requests, and EOF of clients that went away
                if (!c.queue.empty())
                    events |= POLLOUT;
                fds.push_back({c.fd, events, 0});
            }
            if (poll(fds.data(), fds.size(), 250) < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
            }
            TakeInbox();
            AskIfDue();
            ServeBrowsers();
            if (m_disconnect.exchange(false))
                for (Client& c : m_clients)
                    EndClient(c);
            size_t index = 2;
            for (auto it = m_clients.begin(); it != m_clients.end(); ++index) {
                Client& c = *it;
                const short revents = index < fds.size() && fds[index].fd == c.fd ? fds[index].revents : 0;
                if (!Service(c, revents)) {
                    Drop(c, true);
                    const Client gone = std::move(c);
                    it = m_clients.erase(it);
                    if (gone.counted)
                        NoteViewer(gone, false);
                } else {
                    ++it;
                }
            }
            if (fds[1].revents & POLLIN)
                Accept();
        }
        // Closing: players are told the stream ended, best effort.
        for (Client& c : m_clients) {
            if (c.Started() && c.kind == wmhttp::RequestKind::Play && c.queue.empty()) {
                const std::string e = EndOfStream();
                [[maybe_unused]] const ssize_t n = ::send(c.fd, e.data(), e.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            Drop(c);
        }
        std::list<Client> gone;
        gone.swap(m_clients);
        for (Client& c : gone)
            if (c.counted) {
                c.counted = false;
                NoteViewer(c, false);
            }
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
            m_inbox.leading = in.leading;
        }
        if (in.newHeader) {
            // A new stream: those watching the old one are ended.
            for (Client& c : m_clients)
                if (c.Started())
                    EndClient(c);
            m_header = std::move(in.header);
            m_leading = in.leading;
            m_haveHeaderOnThread = true;
            m_ended = false;
            m_streamStart = Clock::now();
            m_feed.SetBitrate(HeaderBitrate(m_header));
            m_feed.Prime();
            m_backlog.clear();
            m_backlogBytes = 0;
            m_haveKey = false;
        }
        if (in.newKeyFrames)
            m_keyFrames = std::move(in.keyFrames);
        if (in.newHeader)
            for (Client& c : m_clients)
                if (c.state == ClientState::WaitingForHeader)
                    StartStreaming(c);
        for (auto& packet : in.packets) {
            if (packet->keyFrameStart) {
                m_backlog.clear();
                m_backlogBytes = 0;
                m_haveKey = true;
                for (Client& c : m_clients)
                    if (c.state == ClientState::Joining)
                        c.state = ClientState::Streaming;
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
            for (Client& c : m_clients)
                if (c.state == ClientState::Streaming)
                    QueuePacket(c, packet);
        }
        if (in.ended) {
            m_ended = true;
            for (Client& c : m_clients)
                if (c.Started() || c.state == ClientState::WaitingForHeader || c.state == ClientState::Pictures)
                    EndClient(c);
        }
    }

    void Accept()
    {
        for (;;) {
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            size_t pending = 0;
            for (const Client& c : m_clients)
                pending += c.state == ClientState::ReadingRequest;
            if (pending >= kMaxPendingConnections) {
                ::close(fd);
                continue;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
            Client c;
            c.fd = fd;
            c.address = PeerAddress(fd);
            c.since = Clock::now();
            c.clientId = m_random();
            m_clients.push_back(std::move(c));
        }
    }

    // Reads, answers and writes for one client; false when it is to be dropped.
    bool Service(Client& c, short revents)
    {
        const auto now = Clock::now();
        if (revents & (POLLERR | POLLNVAL))
            return false;
        if (revents & (POLLIN | POLLHUP)) {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n == 0)
                    return false; // the client went away
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                        break;
                    return false;
                }
                if (c.state == ClientState::ReadingRequest) {
                    c.input.append(buffer, static_cast<size_t>(n));
                    if (c.input.size() > wmhttp::kMaxRequestHead * 2)
                        break;
                }
                // Anything a client sends after its request is not read.
            }
            if (c.state == ClientState::ReadingRequest)
                HandleRequest(c);
        }
        if (c.state == ClientState::ReadingRequest && now - c.since > kRequestTimeout)
            return false;
        if (!Flush(c))
            return false;
        if (!c.queue.empty() && (now - c.queue.front().queued > kStallLimit || c.queuedBytes > kMaxQueuedBytes))
            return false; // stalled or too slow for the stream
        return !(c.state == ClientState::Closing && c.queue.empty());
    }

    void HandleRequest(Client& c)
    {
        wmhttp::Request request;
        size_t consumed = 0;
        switch (wmhttp::ParseRequest(c.input, &request, &consumed)) {
        case wmhttp::ParseResult::Incomplete: return;
        case wmhttp::ParseResult::Malformed: return Refuse(c, 400, "Bad Request");
        case wmhttp::ParseResult::TooLarge: return Refuse(c, 431, "Request Header Fields Too Large");
        case wmhttp::ParseResult::Complete: break;
        }
        c.input.clear();
        // The browser paths first; otherwise the one place where a
        // request's method and path choose its answer.
        if (const auto route = wmhttp::RouteBrowser(request); route != wmhttp::BrowserRoute::None)
            return HandleBrowserRequest(c, request, route);
        c.kind = wmhttp::Classify(request);
        c.headOnly = wmhttp::HeadOnly(request);
        switch (c.kind) {
        case wmhttp::RequestKind::NotFound: return Refuse(c, 404, "Not Found");
        case wmhttp::RequestKind::BadMethod: return Refuse(c, 501, "Not Implemented");
        case wmhttp::RequestKind::Log:
            Queue(c, "HTTP/1.0 204 No Content\r\nServer: Rex/9.0\r\nConnection: close\r\n\r\n");
            c.state = ClientState::Closing;
            return;
        default: break;
        }
        if (m_maxClients && CountedClients() >= m_maxClients)
            return Refuse(c, 503, "Service Unavailable");
        if (c.kind != wmhttp::RequestKind::Describe && !c.headOnly) {
            c.counted = true;
            NoteViewer(c, true);
        }
        if (m_haveHeaderOnThread && !m_ended)
            StartStreaming(c);
        else
            c.state = ClientState::WaitingForHeader;
    }

    // ---- the browser side ----

    void HandleBrowserRequest(Client& c, const wmhttp::Request& request, wmhttp::BrowserRoute route)
    {
        using wmhttp::BrowserRoute;
        const bool head = request.method == "HEAD";
        c.route = route;
        switch (route) {
        case BrowserRoute::None:
        case BrowserRoute::NotFound: return Answer(c, wmhttp::Response(404, "Not Found", "text/plain", "404 Not Found\r\n", head));
        case BrowserRoute::BadMethod:
            return Answer(c, wmhttp::Response(405, "Method Not Allowed", "text/plain", "405 Method Not Allowed\r\n", false,
                                 "Allow: GET, HEAD\r\n"));
        case BrowserRoute::Watch: {
            // The addresses on the page are those the browser used (a port
            // forwarded by a router included); without a usable Host, ours.
            std::string host;
            uint16_t port = 0;
            if (!wmhttp::AuthorityOfHeader(request.Header("Host"), &host, &port)) {
                host = LocalAddress(c.fd);
                port = static_cast<uint16_t>(m_port);
            }
            return Answer(c, wmhttp::Response(200, "OK", "text/html; charset=utf-8", wmhttp::WatchPage(Facts(), host, port), head));
        }
        case BrowserRoute::Status:
            return Answer(c, wmhttp::Response(200, "OK", "application/json", wmhttp::StatusJson(Facts()), head));
        case BrowserRoute::Snapshot:
            if (head)
                return Answer(c, "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
            // The next picture, encoded for this request: never an old one.
            c.lastPicture = LatestSequence();
            c.since = Clock::now();
            c.state = ClientState::WaitingForPicture;
            m_feed.WantPicture();
            return;
        case BrowserRoute::Live:
            if (head)
                return Answer(c, wmhttp::MjpegHead());
            if (m_maxClients && CountedClients() >= m_maxClients)
                return Refuse(c, 503, "Service Unavailable");
            c.counted = true;
            NoteViewer(c, true);
            Queue(c, wmhttp::MjpegHead());
            c.state = ClientState::Pictures;
            ServeBrowsers();
            return;
        }
    }

    void Answer(Client& c, std::string response)
    {
        Queue(c, std::move(response));
        c.state = ClientState::Closing;
    }

    uint64_t LatestSequence() const
    {
        const JpegPicturePtr latest = m_feed.Latest();
        return latest ? latest->sequence : 0;
    }

    // Hands the newest JPEG to every MJPEG viewer that has sent all it had
    // (a slow viewer skips pictures instead of queueing them) and to the
    // snapshot requests waiting for it; tells the feed how many watch.
    void ServeBrowsers()
    {
        const auto now = Clock::now();
        const JpegPicturePtr latest = m_feed.Latest();
        size_t watching = 0;
        for (Client& c : m_clients) {
            if (c.state == ClientState::Pictures) {
                ++watching;
                if (!latest || !c.queue.empty() || latest->sequence <= c.lastPicture
                    || (!c.sentPart && now - latest->handed > kFreshPicture))
                    continue;
                Chunk chunk;
                chunk.prefix = wmhttp::MjpegPartHead(latest->bytes.size(), !c.sentPart);
                chunk.picture = latest;
                chunk.queued = now;
                c.queuedBytes += chunk.Size();
                c.queue.push_back(std::move(chunk));
                c.lastPicture = latest->sequence;
                c.sentPart = true;
            } else if (c.state == ClientState::WaitingForPicture) {
                if (latest && latest->sequence > c.lastPicture) {
                    Chunk chunk;
                    chunk.prefix = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: "
                        + std::to_string(latest->bytes.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
                    chunk.picture = latest;
                    chunk.queued = now;
                    c.queuedBytes += chunk.Size();
                    c.queue.push_back(std::move(chunk));
                    c.state = ClientState::Closing;
                } else if (now - c.since > kPictureTimeout) {
                    Refuse(c, 503, "Service Unavailable");
                }
            }
        }
        m_feed.SetViewers(watching);
    }

    wmhttp::StreamFacts Facts() const
    {
        wmhttp::StreamFacts f;
        f.streaming = m_haveHeaderOnThread && !m_ended;
        f.viewers = static_cast<uint32_t>(CountedClients());
        f.limit = m_maxClients;
        {
            std::lock_guard lock(m_viewersLock);
            f.profile = m_label;
        }
        const PictureFormat format = m_feed.Format();
        f.width = format.width;
        f.height = format.height;
        f.fps = format.FramesPerSecond();
        if (f.streaming)
            f.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_streamStart).count();
        f.bytesSent = m_bytesSent;
        return f;
    }

    // A client took or gave back a slot: remembered for whoever shows the count.
    void NoteViewer(const Client& c, bool joined)
    {
        const auto count = static_cast<uint32_t>(CountedClients());
        m_viewerCount = count;
        std::lock_guard lock(m_viewersLock);
        if (m_changes.size() >= kMaxViewerChanges)
            m_changes.pop_front();
        m_changes.push_back({joined, c.address,
            c.route == wmhttp::BrowserRoute::Live ? ViewerKind::Browser : ViewerKind::MediaPlayer, count});
    }

    // The Max Bitrate field of the File Properties Object.
    static uint32_t HeaderBitrate(const std::vector<uint8_t>& header)
    {
        asf::HeaderInfo info;
        if (!asf::ParseHeader(header.data(), header.size(), &info) || info.filePropertiesOffset + 104 > header.size())
            return 0;
        const uint8_t* p = header.data() + info.filePropertiesOffset + 100;
        return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
            | static_cast<uint32_t>(p[3]) << 24;
    }

    static std::string AddressText(const sockaddr_storage& addr)
    {
        char text[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
            inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
            return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
        }
        return {};
    }

    static std::string PeerAddress(int fd)
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        return getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? AddressText(addr) : std::string();
    }

    // The address this connection reached us on, without the port.
    static std::string LocalAddress(int fd)
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        std::string text = getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? AddressText(addr) : std::string();
        text = text.substr(0, text.rfind(':'));
        return text.empty() ? "localhost" : text;
    }

    size_t CountedClients() const
    {
        size_t n = 0;
        for (const Client& c : m_clients)
            n += c.counted;
        return n;
    }

    void Refuse(Client& c, int code, const char* reason)
    {
        const std::string body = std::to_string(code) + " " + reason + "\r\n";
        Queue(c, "HTTP/1.0 " + std::to_string(code) + " " + reason + "\r\nServer: Rex/9.0\r\nContent-Type: text/plain\r\n"
                "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + (c.headOnly ? "" : body));
        c.state = ClientState::Closing;
        c.input.clear();
    }

    void StartStreaming(Client& c)
    {
        const bool describe = c.kind == wmhttp::RequestKind::Describe;
        std::string head = "HTTP/1.0 200 OK\r\nServer: Rex/9.0\r\n";
        if (c.Framed()) {
            head += describe ? "Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n" : "Content-Type: application/x-mms-framed\r\n";
            head += "Pragma: no-cache\r\nPragma: client-id=" + std::to_string(c.clientId)
                + "\r\nPragma: features=\"broadcast\"\r\n";
            if (describe)
                head += "Content-Length: " + std::to_string(m_header.size() + 12) + "\r\n";
        } else {
            head += "Content-Type: video/x-ms-asf\r\nPragma: no-cache\r\n";
        }
        head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
        if (c.headOnly) {
            Queue(c, std::move(head));
            c.state = ClientState::Closing;
            return;
        }
        if (c.Framed())
            head += Framing('H', 0, 0x0C, m_header.size());
        Chunk chunk;
        chunk.prefix = std::move(head);
        chunk.owned = m_header;
        chunk.queued = Clock::now();
        c.queuedBytes += chunk.Size();
        c.queue.push_back(std::move(chunk));
        if (describe) {
            c.state = ClientState::Closing;
            return;
        }
        if (m_keyFrames) {
            c.state = ClientState::Joining;
            AskForKeyFrame();
            return;
        }
        c.state = ClientState::Streaming;
        for (const auto& packet : m_backlog)
            QueuePacket(c, packet);
    }

    // Asks the writer for a key frame now, or once the spacing allows.
    void AskForKeyFrame()
    {
        const auto now = Clock::now();
        if (m_askedOnce && now - m_askedAt < kForcedKeySpacing) {
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
        if (!m_askDeferred || !m_keyFrames || Clock::now() - m_askedAt < kForcedKeySpacing)
            return;
        m_askDeferred = false;
        for (const Client& c : m_clients)
            if (c.state == ClientState::Joining) {
                AskForKeyFrame();
                return;
            }
    }

    void QueuePacket(Client& c, const asf::DataPacketPtr& packet)
    {
        Chunk chunk;
        if (c.Framed())
            chunk.prefix = Framing('D', c.nextLocation++, 0, packet->bytes.size());
        chunk.packet = packet;
        chunk.queued = Clock::now();
        c.queuedBytes += chunk.Size();
        c.queue.push_back(std::move(chunk));
    }

    void Queue(Client& c, std::string text)
    {
        Chunk chunk;
        chunk.prefix = std::move(text);
        chunk.queued = Clock::now();
        c.queuedBytes += chunk.Size();
        c.queue.push_back(std::move(chunk));
    }

    // Ends a client's stream: players get $E; the connection closes once
    // everything queued is sent.
    void EndClient(Client& c)
    {
        if (c.Started() && c.kind == wmhttp::RequestKind::Play)
            Queue(c, EndOfStream());
        c.state = ClientState::Closing;
        c.input.clear();
    }

    // Sends what the socket takes now; false on a broken connection.
    bool Flush(Client& c)
    {
        while (!c.queue.empty()) {
            iovec iov[16];
            int count = 0;
            for (auto it = c.queue.begin(); it != c.queue.end() && count < 12; ++it) {
                size_t skip = it == c.queue.begin() ? it->offset : 0;
                auto add = [&](const void* data, size_t size) {
                    if (skip >= size) {
                        skip -= size;
                        return;
                    }
                    iov[count].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(data) + skip);
                    iov[count].iov_len = size - skip;
                    skip = 0;
                    ++count;
                };
                add(it->prefix.data(), it->prefix.size());
                if (!it->owned.empty())
                    add(it->owned.data(), it->owned.size());
                if (it->packet)
                    add(it->packet->bytes.data(), it->packet->bytes.size());
                if (it->picture)
                    add(it->picture->bytes.data(), it->picture->bytes.size());
            }
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = static_cast<size_t>(count);
            const ssize_t sent = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            auto left = static_cast<size_t>(sent);
            m_bytesSent += left;
            while (left && !c.queue.empty()) {
                Chunk& front = c.queue.front();
                const size_t remaining = front.Size() - front.offset;
                if (left >= remaining) {
                    left -= remaining;
                    c.queuedBytes -= front.Size();
                    c.queue.pop_front();
                } else {
                    front.offset += left;
                    left = 0;
                }
            }
            if (sent == 0)
                return true;
        }
        return true;
    }

    // `reset`: the connection is aborted (a reset, so a stalled client's
    // unsent data is not kept by the system); otherwise closed normally.
    void Drop(Client& c, bool reset = false)
    {
        if (c.fd < 0)
            return;
        if (reset && !c.queue.empty()) {
            const linger abort{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(c.fd);
        c.fd = -1;
    }

    // Settings (user-interface thread; read by the sink's thread).
    std::atomic<DWORD> m_maxClients{5};
    DWORD m_port = 0;
    int m_listen = -1;
    int m_wake = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_disconnect{false};

    // Between the encoding thread and the sink's thread.
    std::mutex m_inboxLock;
    Inbox m_inbox;
    std::atomic<bool> m_haveHeaderOnThread{false};
    bool m_running = false; // open and serving (guarded by m_inboxLock)

    // The sink's thread only.
    std::list<Client> m_clients;
    std::vector<uint8_t> m_header;
    std::vector<uint8_t> m_leading;
    KeyFrameRequestPtr m_keyFrames; // of the writer feeding the sink, if it takes requests
    std::deque<asf::DataPacketPtr> m_backlog;
    size_t m_backlogBytes = 0;
    bool m_haveKey = false;
    Clock::time_point m_askedAt; // the last key frame request
    bool m_askedOnce = false;
    bool m_askDeferred = false; // a client waits for the spacing to allow one
    bool m_ended = false;
    Clock::time_point m_openedAt;
    Clock::time_point m_streamStart;
    std::atomic<uint64_t> m_bytesSent{0};

    // Between the sink's thread and whoever shows the viewers.
    mutable std::mutex m_viewersLock;
    std::string m_label;
    std::deque<ViewerChange> m_changes;
    std::atomic<uint32_t> m_viewerCount{0};

    // Declared last: its thread calls Wake until Close stops it.
    BrowserFeed m_feed{[this] { Wake(); }};

    std::minstd_rand m_random{static_cast<uint32_t>(Clock::now().time_since_epoch().count())};
};

} // namespace

HRESULT WMCreateWriterNetworkSink(IWMWriterNetworkSink** sink)
{
    if (!sink)
        return E_POINTER;
    *sink = NewComObject<NetworkSink>();
    return S_OK;
}
