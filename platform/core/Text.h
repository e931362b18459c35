#pragma once
// Letter case and blank trimming for protocol, markup and settings text.
//
// Contract: ASCII only and independent of the C locale. Only 'A'..'Z' and
// 'a'..'z' change case; every other byte, including each byte of a UTF-8 or
// Windows-1252 character, is left exactly as it is and compares only with
// itself. (The C library's toupper and strcasecmp follow the locale that
// the window system sets at start, so they are not used here.)
// "Blank" is a byte up to 0x20: the space and the control characters, as
// the protocols' and the markup's trimming rules have it. Nothing here
// allocates beyond the string it returns, and nothing keeps a view of its
// arguments.

#include <cstddef>
#include <string>
#include <string_view>

namespace asciitext {

constexpr bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

constexpr char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
constexpr char UpperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }
// For scanners that read characters as int with a negative end-of-input
// value: that value, like every non-letter, comes back unchanged.
constexpr int UpperChar(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

inline std::string Lower(std::string s)
{
    for (char& c : s)
        c = LowerChar(c);
    return s;
}

inline std::string Upper(std::string s)
{
    for (char& c : s)
        c = UpperChar(c);
    return s;
}

// Without leading and trailing blanks.
inline std::string Trim(std::string_view s)
{
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && IsBlank(s[end - 1]))
        --end;
    return std::string(s.substr(begin, end - begin));
}

// Without leading and trailing bytes of the given set only (for formats
// whose white space is narrower than "blank", such as " \t").
inline std::string Trim(std::string_view s, std::string_view bytes)
{
    const std::size_t begin = s.find_first_not_of(bytes);
    if (begin == std::string_view::npos)
        return std::string();
    return std::string(s.substr(begin, s.find_last_not_of(bytes) - begin + 1));
}

inline std::string TrimLeft(std::string_view s)
{
    std::size_t begin = 0;
    while (begin < s.size() && IsBlank(s[begin]))
        ++begin;
    return std::string(s.substr(begin));
}

inline std::string TrimRight(std::string_view s)
{
    std::size_t end = s.size();
    while (end > 0 && IsBlank(s[end - 1]))
        --end;
    return std::string(s.substr(0, end));
}

// Equal but for letter case; texts of different lengths are never equal.
constexpr bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

constexpr bool StartsText(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

// Where part first occurs in s at or after from, but for letter case;
// npos when it does not. An empty part is found at from (when from <= size).
constexpr std::size_t FindText(std::string_view s, std::string_view part, std::size_t from = 0)
{
    for (std::size_t i = from; i + part.size() <= s.size(); ++i)
        if (SameText(s.substr(i, part.size()), part))
            return i;
    return std::string_view::npos;
}

constexpr bool ContainsText(std::string_view s, std::string_view part)
{
    return FindText(s, part) != std::string_view::npos;
}

} // namespace asciitext
