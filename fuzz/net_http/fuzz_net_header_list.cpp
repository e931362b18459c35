// The header list and the response record on arbitrary header lines.
#include "net/NetHeaderList.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    TNetResponseHeaderInfo response;
    TNetHeaderList& raw = response.RawHeaders();
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        raw.Add(text.substr(begin, end - begin));
        begin = end + 1;
    }
    try {
        response.ProcessHeaders();
    } catch (const ENetConvertError&) {
    }
    for (int i = 0; i < raw.Count(); ++i) {
        raw.NameOfLine(i);
        raw.ValueOfLine(i);
    }
    TNetHeaderList folded;
    folded.SetFoldLength(static_cast<int>(size % 40) + 1);
    folded.SetValueOf("X-Fuzz", text);
    folded.SetValueOf("X-Other", "1");
    folded.SetValueOf("X-Fuzz", text.substr(0, size / 2));
    if (folded.IndexOfHeader("X-Other") < 0)
        __builtin_trap();
    folded.SetValueOf("X-Fuzz", "");

    TNetBasicAuthentication basic;
    basic.SetAuthParams(raw);
    basic.Next();
    basic.SetUsername(text);
    basic.Authentication();
    return 0;
}
