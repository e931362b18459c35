#pragma once
// Globally unique identifiers as the COM-style platform layer uses them:
// class ids, interface ids, categories. Text form is "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <cstdint>
#include <string>
#include <string_view>

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend constexpr bool operator==(const GUID& a, const GUID& b)
    {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
    friend constexpr bool operator<(const GUID& a, const GUID& b)
    {
        if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
        if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
        if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
        return false;
    }
};

using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

namespace guid_detail {
constexpr int HexDigit(char c)
{
    return (c >= '0' && c <= '9') ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}
// Parses "{8-4-4-4-12}" (braces required). Returns false on any other shape.
constexpr bool Parse(std::string_view s, GUID& g)
{
    if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-')
        return false;
    auto hex = [&](size_t pos, size_t count, uint64_t& out) {
        out = 0;
        for (size_t i = 0; i < count; ++i) {
            const int d = HexDigit(s[pos + i]);
            if (d < 0)
                return false;
            out = out * 16 + static_cast<uint64_t>(d);
        }
        return true;
    };
    uint64_t v = 0;
    if (!hex(1, 8, v)) return false;
    g.Data1 = static_cast<uint32_t>(v);
    if (!hex(10, 4, v)) return false;
    g.Data2 = static_cast<uint16_t>(v);
    if (!hex(15, 4, v)) return false;
    g.Data3 = static_cast<uint16_t>(v);
    if (!hex(20, 2, v)) return false;
    g.Data4[0] = static_cast<uint8_t>(v);
    if (!hex(22, 2, v)) return false;
    g.Data4[1] = static_cast<uint8_t>(v);
    for (int i = 0; i < 6; ++i) {
        if (!hex(25 + 2 * static_cast<size_t>(i), 2, v)) return false;
        g.Data4[2 + i] = static_cast<uint8_t>(v);
    }
    return true;
}
} // namespace guid_detail

// A GUID from a literal, checked at compile time: MakeGuid("{...}").
consteval GUID MakeGuid(const char* text)
{
    GUID g{};
    std::string_view s(text);
    if (!guid_detail::Parse(s, g))
        throw "malformed GUID literal";
    return g;
}

inline constexpr GUID GUID_NULL{};

// Parses the text form; false (and GUID_NULL) on malformed text.
bool GuidFromString(std::string_view text, GUID& out);
// Upper-case text form with braces.
std::string GuidToString(const GUID& g);
