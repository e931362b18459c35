#pragma once
// A settings file read and written one key at a time through the
// private-profile functions, with typed reads and writes.

#include "platform/core/Exception.h"

#include <string>

class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

class TIniFile {
public:
    static constexpr uint32_t BufferSize = 2048;

    explicit TIniFile(std::string fileName) : m_fileName(std::move(fileName)) {}
    const std::string& FileName() const { return m_fileName; }

    // At most BufferSize - 1 characters come back.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal, or hexadecimal for a value of more than two characters that
    // begins with "0x"/"0X"; a value that does not convert gives def.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    // Read as an integer; non-zero is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // Each raises "Unable to write to %s" when the file cannot be written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);

private:
    std::string m_fileName;
};

// Integer conversion used by ReadInteger: decimal, or "0x"/"0X" hex when the
// text is longer than two characters. False when the text does not convert.
bool TryStrToInt(const std::string& text, int32_t& value);
