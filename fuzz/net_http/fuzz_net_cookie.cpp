// Cookie parsing, the host check and the cookie store on arbitrary values.
#include "net/NetCookies.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    TNetCookieManager manager;
    std::size_t begin = 0;
    int line = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string value = text.substr(begin, end - begin);
        if (line++ % 2 == 0)
            manager.AddServerCookie(value, "www.example.org");
        else
            manager.AddServerCookie2(value, "127.0.0.1");
        begin = end + 1;
    }
    manager.CookieHeaderFor(TNetURI("http://www.example.org/a/b"), false);
    manager.CookieHeaderFor(TNetURI("http://127.0.0.1/"), true);
    TNetCookieRFC2109 cookie;
    cookie.Domain = text;
    cookie.IsAllowed(text);
    return 0;
}
