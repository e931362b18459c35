#include "net/NetHTTPBounded.h"

ENetAnswerTooLong::ENetAnswerTooLong(int64_t limit)
    : ENetException(Format("The answer is longer than %lld bytes.", static_cast<long long>(limit)))
{
}

ENetAnswerCutShort::ENetAnswerCutShort(int64_t received, int64_t announced)
    : ENetException(Format("The answer ended after %lld of its %lld bytes.", static_cast<long long>(received),
                           static_cast<long long>(announced)))
{
}

int64_t TNetBoundedMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count > 0 && Position() + count > m_limit)
        throw ENetAnswerTooLong(m_limit);
    return TNetMemoryStream::Write(buffer, count);
}

void TNetBoundedMemoryStream::SetSize(int64_t size)
{
    // A body of announced length is pre-sized before it is read.
    if (size > m_limit)
        throw ENetAnswerTooLong(m_limit);
    TNetMemoryStream::SetSize(size);
}

std::string GetAsStringBounded(TNetCustomHTTP& http, const std::string& url, int64_t limit)
{
    TNetBoundedMemoryStream stream(limit);
    http.GetToStream(url, stream);
    const int code = http.Response().StatusCode();
    if (code / 100 == 3)
        throw ENetHTTPProtocolException(code, http.Response().StatusLine, std::string());
    if (!http.Response().BodyComplete())
        throw ENetAnswerCutShort(stream.Size(), http.Response().ContentLength());
    return stream.DataString();
}
