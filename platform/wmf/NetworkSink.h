#pragma once
// The HTTP network sink: serves the live ASF stream to players.
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
// A route hook (SinkRoutes.h) may serve other paths on the same port; a gate
// (SinkGate.h) sees every request before anything routes it, and may refuse it.
//
// Joining at the live edge: a streaming client gets the header at once and
// its data from the next packet that starts a key frame; the sink asks the
// writer (KeyFrameRequest) for a key frame at its next picture, so that
// packet is at most a frame time away and the client never plays a backlog.
// Clients joining before that picture share its key frame. A key frame costs
// several pictures' worth of the bitrate, so the sink asks at most once per
// forced key spacing: a client that comes sooner waits for the next key
// frame (at most that long) rather than starting behind the live edge.
// Without a writer that takes requests (a sink fed by hand), a client starts
// at the most recent key frame packet (the packets since then are kept for
// joining clients).

#include "platform/wmf/WMWriter.h"

#include <chrono>

struct NetworkSinkOptions {
    // A client whose oldest queued data has waited this long is dropped.
    std::chrono::milliseconds stallLimit{5000};
    // A request head must arrive within this time.
    std::chrono::milliseconds requestTimeout{10000};
    // Key frames asked for by joining clients are at least this far apart.
    std::chrono::milliseconds forcedKeySpacing{1000};
};

// A sink with other timings than the defaults (tests shorten them).
HRESULT WMCreateWriterNetworkSink(IWMWriterNetworkSink** sink, const NetworkSinkOptions& options);
