#pragma once
// A GET whose answer has a size limit, for small answers from outside
// services (the public-address echo): a larger answer is an error, found
// while it arrives, so memory never holds more than the limit and one
// receive.

#include "net/NetHTTP.h"

#include <cstdint>
#include <string>

class ENetAnswerTooLong : public ENetException {
public:
    explicit ENetAnswerTooLong(int64_t limit);
};

// The peer closed before the body reached its Content-Length.
class ENetAnswerCutShort : public ENetException {
public:
    ENetAnswerCutShort(int64_t received, int64_t announced);
};

// A memory stream that refuses to grow beyond `limit` bytes (EStreamError's
// descendant ENetAnswerTooLong).
class TNetBoundedMemoryStream : public TNetMemoryStream {
public:
    explicit TNetBoundedMemoryStream(int64_t limit) : m_limit(limit) {}
    int64_t Write(const void* buffer, int64_t count) override;
    void SetSize(int64_t size) override;

private:
    int64_t m_limit;
};

// GetAsString with the limit. An answer that is still a redirect when the
// client stops following (RedirectMaximum reached, or redirects off) raises
// ENetHTTPProtocolException with its status line instead of answering an
// empty body. An answer cut short (fewer bytes than its Content-Length)
// raises ENetAnswerCutShort: part of an answer is not an answer.
std::string GetAsStringBounded(TNetCustomHTTP& http, const std::string& url, int64_t limit);
