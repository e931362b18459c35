#pragma once
// The network sink's gate: who may be served at all. Every complete request
// passes the gate before anything routes it (the Windows Media stream and
// every route of the route hook alike), so a gate covers every path of the
// port, present and future.
//
// Contract.
// - Threads. Opened runs on the thread that opens the sink; Check runs on
//   the sink's thread. Neither may block on a peer or another thread.
// - A refused request gets the gate's answer and its connection closes
//   once it is sent; it never takes a viewer slot.

#include "platform/wmf/HttpRequest.h"

#include <optional>
#include <string>

class ISinkGate {
public:
    virtual ~ISinkGate() = default;
    // The sink opened: a new start of the server.
    virtual void Opened() = 0;
    // Nothing: serve the request. Otherwise the whole response (head, and
    // a body unless `headOnly`) that refuses it. `peerHost` is the peer's
    // address without the port (IPv6 without brackets, an IPv4-mapped one as
    // IPv4).
    virtual std::optional<std::string> Check(const wmhttp::Request& request, const std::string& peerHost, bool headOnly) = 0;
};
