#pragma once
// The network sink's connection server: the listening socket, the client
// connections and the one thread that serves them.
//
// The thread runs a poll loop over the listening socket, the clients and a
// wake-up descriptor. It reads request heads, hands each complete one to
// the protocol above (the Windows Media sink), and sends what the protocol
// queued as fast as each client takes it. Every client has its own queue of
// chunks that share their bodies (packets, pictures), so one slow client
// never delays another or the encoder; a client whose oldest queued chunk
// has waited longer than the stall limit, or who has too much queued, is
// dropped with a reset.
//
// Threads: Open, Close, Disconnect and Wake are called from the sink's
// owner (any one thread); Protocol's calls and everything that takes a
// Connection run on the server's thread.

#include "platform/wmf/SinkRoutes.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace wmsink {

using Clock = std::chrono::steady_clock;

struct ServerTimings {
    // A client whose oldest queued data is older than this is dropped.
    std::chrono::milliseconds stallLimit{5000};
    // A request head must arrive within this time.
    std::chrono::milliseconds requestTimeout{10000};
};

struct Chunk {
    std::string head; // response headers or chunk framing
    SharedBytes body; // may be null; sent in place
    size_t offset = 0; // bytes already sent
    Clock::time_point queued;

    size_t Size() const { return head.size() + (body ? body->size() : 0); }
};

enum class ConnectionState {
    ReadingRequest,
    Serving, // a session answers it
    Closing, // closes once its queue is sent
};

class ConnectionServer;

class Connection final : public RouteConnection {
public:
    // ---- RouteConnection ----
    void Send(std::string bytes) override;
    void Send(std::string head, SharedBytes body) override;
    bool Sending() const override;
    void Finish() override;
    void Refuse(int code, const char* reason) override;
    bool TakeViewerSlot(ViewerKind kind) override;
    const std::string& PeerAddress() const override { return address; }
    std::string LocalAddress() const override;
    void KeepQueueShort() override;

    int fd = -1;
    ConnectionState state = ConnectionState::ReadingRequest;
    std::string input;
    std::deque<Chunk> queue;
    size_t queuedBytes = 0;
    Clock::time_point since;
    std::string address; // the peer, "host:port" ("[host]:port" for IPv6)
    std::string host;    // the peer's address alone (an IPv4-mapped one as IPv4)
    std::string group;   // whom the per-address limits count it with (PeerAddress.h)
    size_t trailing = 0; // bytes the client sent after its request
    bool headOnly = false; // HEAD: answer without a body
    bool counted = false;  // holds one of the viewer slots
    ViewerKind viewerKind = ViewerKind::MediaPlayer;
    // Whoever answers the request; destroyed with the connection.
    std::unique_ptr<IRouteSession> session;

private:
    friend class ConnectionServer;
    ConnectionServer* m_server = nullptr;
    // Bytes the system holds for the peer, sent or not, until it acknowledges them.
    int Unacknowledged() const;
    // Oldest queued chunk past the limit, or (short-queue connections) the
    // bytes on their way not falling for that long.
    bool Stalled(Clock::time_point now, std::chrono::milliseconds limit);
    bool m_shortQueue = false;
    int m_pending = 0; // Unacknowledged() at the last look
    Clock::time_point m_progressAt = Clock::now();
};

class ConnectionServer final : public ViewerSlots {
public:
    // The protocol served (the sink's thread).
    class Protocol {
    public:
        // Each turn of the loop, before the connections are serviced.
        virtual void Turn() = 0;
        // A complete request head on `connection` (its input is cleared).
        virtual void Request(Connection& connection, const wmhttp::Request& request) = 0;
        // What a connection is told when the server ends it (Disconnect or
        // Close): a player's end of stream.
        virtual std::string Farewell(const Connection& /*connection*/) const { return {}; }
        // The thread is about to stop; the connections are gone.
        virtual void Stopped() = 0;

    protected:
        ~Protocol() = default;
    };

    ConnectionServer(Protocol& protocol, ServerTimings timings);
    ~ConnectionServer();
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    // Binds every local address on *port (0: a free one), IPv6 and IPv4
    // alike, or IPv4 alone where the system has no IPv6; writes back the
    // bound port and starts the thread; an HRESULT from errno on failure.
    HRESULT Open(DWORD* port);
    bool IsOpen() const { return m_listen >= 0; }
    uint16_t Port() const { return m_port; }
    // Ends every connection (the thread does it at its next turn).
    void Disconnect();
    // Stops and joins the thread, closing every connection (the port stays bound).
    void Stop();
    // Stop, then frees the port.
    void Close();
    // Makes the thread turn soon; any thread, harmless when closed.
    void Wake();

    void SetMaximumClients(uint32_t limit) { m_maxClients = limit; }
    uint32_t MaximumClients() const { return m_maxClients; }

    // ---- the server's thread ----
    std::list<Connection>& Connections() { return m_connections; }
    // True when the viewer slots are all taken.
    bool Full() const;
    uint64_t BytesSent() const { return m_bytesSent; }
    // Counts a connection as a viewer (the caller checked Full).
    void CountViewer(Connection& connection, ViewerKind kind);
    // ---- ViewerSlots ----
    bool TakeLooseSlot(ViewerKind kind, const std::string& address) override;
    void GiveLooseSlot(ViewerKind kind, const std::string& address) override;

    // ---- any thread ----
    uint32_t ViewerCount() const { return m_viewerCount; }
    std::vector<ViewerChange> TakeViewerChanges();

private:
    void Run();
    void Accept();
    // Makes room for a new connection from `group` by closing the oldest
    // connection that has not completed its request, of that group when it
    // has too many, else of anyone when the table is full.
    void ShedIncomplete(const std::string& group);
    bool Service(Connection& c, short revents);
    bool Flush(Connection& c);
    void Drop(Connection& c, bool reset);
    void NoteViewer(const Connection& c, bool joined);
    void NoteViewer(const std::string& address, ViewerKind kind, bool joined);

    Protocol& m_protocol;
    const ServerTimings m_timings;
    std::atomic<uint32_t> m_maxClients{5};
    uint16_t m_port = 0;
    std::atomic<int> m_listen{-1};
    std::atomic<int> m_wake{-1}; // Wake may run on other threads while Open or Close change it
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_disconnect{false};

    // The server's thread only.
    std::list<Connection> m_connections;
    std::atomic<uint64_t> m_bytesSent{0};
    std::vector<std::pair<ViewerKind, std::string>> m_looseSlots;

    // Between the server's thread and whoever shows the viewers.
    mutable std::mutex m_viewersLock;
    std::deque<ViewerChange> m_changes;
    std::atomic<uint32_t> m_viewerCount{0};
};

// The HRESULT of an errno value.
constexpr HRESULT HResultFromErrno(int e) { return MakeHResult(0x80070000u | (static_cast<uint32_t>(e) & 0xFFFF)); }

} // namespace wmsink
