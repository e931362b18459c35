#pragma once
// The network sink's route hook: how another output serves paths of its own
// on the stream port, beside the Windows Media stream at "/".
//
// The sink reads each request head. With a hook installed it offers the
// request to the hook first; a hook that returns no session leaves the
// request to the Windows Media protocol, so with no hook (or one that takes
// nothing) the sink serves exactly that protocol.
//
// Contract.
// - Threads. Opened and Closed run on the thread that opens or closes the
//   sink; every other call of the hook and of its sessions runs on the
//   sink's thread, one at a time.
// - Blocking. None of those calls may block: no peer, file or network wait,
//   no waiting on another thread's work. A short lock around state shared
//   with another thread is fine. Queue what is to be sent and return.
// - Sockets. The sink keeps owning every socket. A route gets a
//   RouteConnection to queue bytes on; it stays valid until the session the
//   route returned is destroyed, which the sink does on its thread when the
//   connection ends (the peer left, stalled, or the sink closed).
// - The sink's rules hold for routed connections too: a connection whose
//   oldest queued bytes have waited longer than the stall limit is dropped,
//   and one that holds a viewer slot counts against the client limit (an
//   over-the-limit player and browser get the same 503).

#include "platform/com/Unknown.h"
#include "platform/wmf/HttpRequest.h"
#include "platform/wmf/SinkGate.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

enum class ViewerKind { MediaPlayer, Browser };

inline const char* ViewerKindName(ViewerKind kind)
{
    return kind == ViewerKind::Browser ? "browser" : "media player";
}

// What the sink knows of the stream it serves, as of this turn of its loop.
struct SinkFacts {
    bool streaming = false; // a stream header arrived and the stream has not ended
    uint32_t viewers = 0;   // connections holding a viewer slot
    uint32_t limit = 0;     // the client limit (0: none)
    uint16_t port = 0;      // the port the sink listens on
    uint32_t bitrate = 0;   // the stream's bitrate in bits per second (0: unknown)
    std::chrono::steady_clock::time_point streamStart; // when the header arrived
    uint64_t bytesSent = 0; // to every client since the sink opened
};

// One client connection, as a route sees it.
class RouteConnection {
public:
    // Queue bytes; they go out in order as the peer takes them.
    virtual void Send(std::string bytes) = 0;
    // Queue a head and a shared body that is sent in place, never copied.
    virtual void Send(std::string head, SharedBytes body) = 0;
    // True while queued bytes wait to be sent.
    virtual bool Sending() const = 0;
    // The connection closes once everything queued is sent.
    virtual void Finish() = 0;
    // The sink's own plain-text refusal ("503 Service Unavailable"), then Finish.
    virtual void Refuse(int code, const char* reason) = 0;
    // Counts the connection as a viewer until it ends; false when the client
    // limit is reached (the caller then refuses it with 503).
    virtual bool TakeViewerSlot(ViewerKind kind) = 0;
    // The peer, "host:port" ("[host]:port" for IPv6; an IPv4 peer is written
    // as IPv4 whichever socket family carried it).
    virtual const std::string& PeerAddress() const = 0;
    // The local address the peer reached us on, without the port, as a URL
    // writes it (IPv6 in brackets).
    virtual std::string LocalAddress() const = 0;
    // From now on Sending() stays true until the peer has acknowledged every
    // byte, not only until the system took it: a route that sends only while
    // nothing is Sending() then has at most one picture on the way and
    // always sends the newest, however slow the link.
    virtual void KeepQueueShort() = 0;

protected:
    ~RouteConnection() = default;
};

// Viewer slots held by viewers that keep no connection open: a viewer that
// comes back with a new request now and then (an HLS player fetching its
// playlist and segments) holds a slot between its requests. They count
// against the client limit like connections. The sink's thread only.
class ViewerSlots {
public:
    // Counts one viewer more; false when the client limit is reached.
    virtual bool TakeLooseSlot(ViewerKind kind, const std::string& address) = 0;
    // Gives back a slot that TakeLooseSlot gave. Slots still held when the
    // sink's thread stops are given back by the sink.
    virtual void GiveLooseSlot(ViewerKind kind, const std::string& address) = 0;

protected:
    ~ViewerSlots() = default;
};

// A request a route took: lives as long as its connection.
class IRouteSession {
public:
    virtual ~IRouteSession() = default;
    // Every turn of the sink's loop: after a wake, data from a peer, or at
    // least four times a second.
    virtual void Turn(RouteConnection& connection, const SinkFacts& facts) = 0;
    // The stream ended (the writer stopped writing).
    virtual void StreamEnded(RouteConnection& /*connection*/) {}
};

class ISinkRouteHook {
public:
    virtual ~ISinkRouteHook() = default;
    // The sink opened: `wake` makes its loop turn soon (any thread, until
    // Closed returns).
    virtual void Opened(std::function<void()> wake) = 0;
    // The sink's thread has stopped; no call follows until the next Opened.
    virtual void Closed() = 0;
    // A new stream began (its header arrived).
    virtual void StreamBegan(const SinkFacts& facts) = 0;
    // A complete request. A session takes it; nullptr leaves it to the
    // Windows Media protocol. The session gets its first Turn at once.
    virtual std::unique_ptr<IRouteSession> Route(const wmhttp::Request& request, RouteConnection& connection,
        const SinkFacts& facts) = 0;
    // After every session's Turn in one turn of the loop.
    virtual void Turned(const SinkFacts& /*facts*/) {}
    // The sink's slots for viewers without a connection, given after Opened;
    // valid until Closed returns, used on the sink's thread only.
    virtual void SlotsOffered(ViewerSlots* /*slots*/) {}
};

struct ViewerChange {
    bool joined = false;
    std::string address; // "host:port" of the viewer
    ViewerKind kind = ViewerKind::MediaPlayer;
    uint32_t viewers = 0; // viewers connected after the change
};

// Offered by the network sink (QueryInterface). User-interface thread.
struct IWMWriterSinkRoutes : IUnknown {
    static constexpr IID iid = MakeGuid("{0B7E5D3A-41C2-4F6E-9D18-7A3C2E9B6F40}");
    // Installs the hook (nullptr removes it). Only while the sink is closed:
    // NS_E_INVALID_OPERATION while it serves.
    virtual HRESULT SetRouteHook(std::shared_ptr<ISinkRouteHook> hook) = 0;
    // Installs the gate every request passes first (SinkGate.h; nullptr
    // removes it). Only while the sink is closed, as the hook.
    virtual HRESULT SetGate(std::shared_ptr<ISinkGate> gate) = 0;
    // Connected viewers: players of the stream and routed viewers.
    virtual uint32_t GetViewerCount() = 0;
    // Joins and leaves since the last call, oldest first (at most the last
    // 256 are kept).
    virtual std::vector<ViewerChange> TakeViewerChanges() = 0;
};
