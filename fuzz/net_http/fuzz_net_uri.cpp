// ParseURI, FullURI and ResolvePath on arbitrary text.
#include "net/NetURI.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    TNetURI uri(text);
    try {
        const std::string full = uri.FullURI(IncludeAuthInfo | IncludeBookmark);
        // What we compose parses back to the same host, unless a field holds
        // a character that separates fields ("@" or "/" in the authority, ":"
        // in the host).
        const std::string authority = uri.Username + uri.Password + uri.Host + uri.Port;
        TNetURI again(full);
        if (authority.find_first_of("@/") == std::string::npos && uri.Host.find(':') == std::string::npos
            && again.Host != uri.Host)
            __builtin_trap();
        uri.RequestURI();
    } catch (const ENetURIException&) {
    }
    const std::size_t half = text.size() / 2;
    ResolvePath(text.substr(0, half), text.substr(half), "/");
    LastPosBefore("/", text, static_cast<int>(size % 7) - 1);
    NormalizeSlashes(text);
    return 0;
}
