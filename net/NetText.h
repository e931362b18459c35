#pragma once
// Small text helpers shared by the internet layer's parsers. "Blank" means
// a blank or a control character (any byte up to 0x20), as the protocols'
// trimming rules have it.

#include <cctype>
#include <string>

namespace nettext {

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

inline std::string Trim(const std::string& s)
{
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && IsBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

inline std::string TrimRight(const std::string& s)
{
    std::size_t end = s.size();
    while (end > 0 && IsBlank(s[end - 1]))
        --end;
    return s.substr(0, end);
}

inline std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Equal but for letter case.
inline bool SameText(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

} // namespace nettext
