#include "platform/ini/IniFile.h"

#include "platform/ini/PrivateProfile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

bool TryStrToInt(const std::string& text, int32_t& value)
{
    std::string t = text;
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t'))
        t.erase(t.begin());
    if (t.empty())
        return false;
    int base = 10;
    const char* digits = t.c_str();
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        digits += 2;
        if (*digits == '-' || *digits == '+')
            return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(digits, &end, base);
    if (end == digits || *end != '\0' || errno == ERANGE)
        return false;
    if (base == 16) {
        // Hexadecimal text is a 32-bit pattern: 0xFFFFFFFF is -1.
        if (v < 0 || v > 0xFFFFFFFFLL)
            return false;
        value = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const
{
    std::vector<char> buffer(BufferSize);
    const uint32_t n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer.data(), BufferSize,
                                                m_fileName.c_str());
    return std::string(buffer.data(), n);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const
{
    int32_t value = def;
    if (!TryStrToInt(ReadString(section, key, ""), value))
        return def;
    return value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

namespace {
// Reading trims blanks around a value and removes one pair of quotes, so a
// value that starts or ends with a blank or is itself quoted is written
// inside quotes: it then reads back exactly as it was written.
std::string ProtectValue(const std::string& value)
{
    if (value.empty())
        return value;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    if (blank(value.front()) || blank(value.back()) || quoted)
        return "\"" + value + "\"";
    return value;
}
} // namespace

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    if (value.find_first_of("\r\n") != std::string::npos)
        throw EIniFileException(Format("Unable to write to %s", m_fileName.c_str()));
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), ProtectValue(value).c_str(), m_fileName.c_str()))
        throw EIniFileException(Format("Unable to write to %s", m_fileName.c_str()));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}
