// Requests of browser paths as the network sink routes them, and the Host
// header that goes into the watch page.

#include "platform/wmf/HttpRequest.h"
#include "live/browser/BrowserRoutes.h"
#include "live/browser/WatchPage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    wmhttp::Request request;
    size_t consumed = 0;
    if (wmhttp::ParseRequest(text, &request, &consumed) != wmhttp::ParseResult::Complete)
        return 0;
    browser::RouteBrowser(request);
    std::string host;
    uint16_t port = 0;
    if (browser::AuthorityOfHeader(request.Header("Host"), &host, &port)) {
        // Only a host name or address reaches the page: nothing that could
        // end an attribute or open a tag.
        if (host.empty() || port == 0 || host.find_first_of("<>\"'& \t\r\n") != std::string::npos)
            std::abort();
        browser::StreamFacts facts;
        facts.profile = request.Header("User-Agent");
        if (browser::WatchPage(facts, host, port).find(host) == std::string::npos)
            std::abort();
        browser::StatusJson(facts);
    }
    return 0;
}
