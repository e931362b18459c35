#pragma once
// Requests as the network sink reads them: the request head of HTTP/1.x
// and what a Windows Media player asks for with it.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wmhttp {

inline constexpr size_t kMaxRequestHead = 8192;
inline constexpr size_t kMaxHeaders = 64;

struct Request {
    std::string method;
    std::string target;
    int versionMinor = 0; // HTTP/1.x
    std::vector<std::pair<std::string, std::string>> headers;

    // Every value of a header (names compare without regard to case), joined by ", ".
    std::string Header(std::string_view name) const;
};

enum class ParseResult { Incomplete, Complete, Malformed, TooLarge };

// Reads a request head (request line, header lines, empty line; lines end in
// CR LF or LF) from the start of `buffer`. On Complete, *consumed is the
// length of the head. Heads over kMaxRequestHead bytes or with more than
// kMaxHeaders lines are TooLarge.
ParseResult ParseRequest(std::string_view buffer, Request* request, size_t* consumed);

// The path of a request target: without the query, and without scheme and
// authority when the target is in absolute form ("http://host/watch?x").
std::string_view RequestPath(std::string_view target);

enum class RequestKind {
    Describe,    // a Windows Media player asking for the stream header
    Play,        // a Windows Media player asking for the stream
    Plain,       // any other GET (or HEAD) of the stream
    Log,         // POST: player statistics
    NotFound,    // GET of another path
    BadMethod,   // any other method
};

// The stream lives at "/" (a query is ignored). HEAD is classified as GET
// would be (it gets the same answer without a body).
RequestKind Classify(const Request& request);

// HEAD: the answer's status and headers only.
inline bool HeadOnly(const Request& request) { return request.method == "HEAD"; }

} // namespace wmhttp
