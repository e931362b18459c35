// Request heads as the network sink reads them from any client.

#include "platform/wmf/HttpRequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    wmhttp::Request request;
    size_t consumed = 0;
    if (wmhttp::ParseRequest(text, &request, &consumed) == wmhttp::ParseResult::Complete) {
        if (consumed == 0 || consumed > size || consumed > wmhttp::kMaxRequestHead)
            std::abort();
        if (request.headers.size() > wmhttp::kMaxHeaders)
            std::abort();
        wmhttp::Classify(request);
        request.Header("Pragma");
    }
    return 0;
}
