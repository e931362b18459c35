#pragma once
// Carries libavformat's RTMP over the relay's own connection. libavformat
// opens its RTMP transport itself and cannot be handed a socket, so it
// speaks plain RTMP to a loopback port of ours, and a pump thread moves the
// bytes between that one connection and the RelayLink (TLS or not).
//
// Owning the connection to the ingest lets the relay see what libavformat
// cannot: a server that stops reading. Bytes on their way that the server
// does not acknowledge for the write deadline (the kernel's count of
// acknowledged bytes stands still while bytes wait) end the link as lost,
// long before the kernel's send buffer would fill.
//
// Only a connection from this process is taken: the listener is on
// 127.0.0.1, and an accepted peer must be a socket of ours.

#include "live/relay/RelayLink.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

class RelayBridge {
public:
    RelayBridge() = default;
    ~RelayBridge(); // Finish with no time to flush
    RelayBridge(const RelayBridge&) = delete;
    RelayBridge& operator=(const RelayBridge&) = delete;

    // Listens on 127.0.0.1 and starts the pump over `link`. The muxer must
    // connect within acceptTimeout; writeTimeout is the write deadline.
    bool Start(RelayLink link, std::chrono::milliseconds acceptTimeout, std::chrono::milliseconds writeTimeout,
               std::string& error);
    int Port() const { return m_port; }

    // Lets the pump pass on what the muxer still sent (it has closed its
    // side) until `until`, then ends the link and joins the pump.
    void Finish(std::chrono::steady_clock::time_point until);

    // Why the link ended, "" while it runs or when the muxer ended it:
    // "the server stopped answering", "closed by the server", ...
    std::string LostReason() const;

private:
    void Pump();
    bool AcceptOwn(int& fd);
    void SetLost(const std::string& reason);

    RelayLink m_link;
    int m_listenFd = -1;
    int m_port = 0;
    std::chrono::steady_clock::time_point m_acceptDeadline;
    std::chrono::milliseconds m_writeTimeout{5000};
    std::atomic<int64_t> m_finishBy{INT64_MAX}; // steady clock, ns
    mutable std::mutex m_lock;
    std::string m_lost;
    std::thread m_thread;
};
