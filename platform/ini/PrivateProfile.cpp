#include "platform/ini/PrivateProfile.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Line {
    std::string text;
};

using asciitext::SameText;

// White space around section names, keys and values: spaces, tabs and line
// ends; any other control character belongs to the text.
std::string Trim(std::string_view s) { return asciitext::Trim(s, " \t\r\n"); }

// A settings file is small; anything larger is not one.
constexpr size_t kMaxSettingsFile = 1024 * 1024;

// Only a regular file of at most kMaxSettingsFile bytes is read; anything
// else (a FIFO, a device that never ends) counts as absent. The open never
// waits for a FIFO's writer.
bool ReadWholeFile(const char* fileName, std::string& out)
{
    const int fd = ::open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxSettingsFile) {
        ::close(fd);
        return false;
    }
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > kMaxSettingsFile) { // grew while we read
            out.clear();
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

} // namespace

std::string SettingsFileRefusal(const std::string& fileName)
{
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0)
        return {};
    if (!S_ISREG(st.st_mode))
        return "The settings file " + fileName + " is not a regular file; it was not read, the defaults are used.";
    if (static_cast<size_t>(st.st_size) > kMaxSettingsFile)
        return "The settings file " + fileName + " is larger than 1 MB; it was not read, the defaults are used.";
    return {};
}

namespace {

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// "[name]" gives name; anything else is not a section header.
bool SectionName(const std::string& line, std::string& name)
{
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    const size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" gives both, trimmed; a line without '=' is not a key.
bool KeyValue(const std::string& line, std::string& key, std::string& value)
{
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return !key.empty();
}

bool FindValue(const std::string& text, const char* section, const char* key, std::string& value)
{
    bool inSection = false;
    for (const std::string& line : SplitLines(text)) {
        std::string name;
        if (SectionName(line, name)) {
            inSection = SameText(name, section);
            continue;
        }
        std::string k, v;
        if (inSection && KeyValue(line, k, v) && SameText(k, key)) {
            value = v;
            return true;
        }
    }
    return false;
}

std::string Unquote(const std::string& v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// Replaces the file with `text`: temporary file beside it, fsync, rename.
bool ReplaceFile(const char* fileName, const std::string& text)
{
    std::string tmp = std::string(fileName) + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = err;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), fileName) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    return true;
}

} // namespace

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* buffer,
                                  uint32_t size, const char* fileName)
{
    if (!buffer || size == 0)
        return 0;
    std::string result;
    std::string text;
    std::string value;
    if (section && key && fileName && ReadWholeFile(fileName, text) && FindValue(text, section, key, value))
        result = Unquote(value);
    else if (def) {
        result = def;
        while (!result.empty() && result.back() == ' ')
            result.pop_back();
    }
    const size_t n = std::min<size_t>(result.size(), size - 1);
    std::memcpy(buffer, result.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
}

int32_t GetPrivateProfileIntA(const char* section, const char* key, int32_t def, const char* fileName)
{
    char buf[64];
    if (GetPrivateProfileStringA(section, key, "", buf, sizeof buf, fileName) == 0)
        return def;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(buf, &end, 10);
    if (end == buf)
        return def;
    return static_cast<int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* fileName)
{
    if (!section || !fileName) {
        errno = EINVAL;
        return false;
    }
    std::string text;
    ReadWholeFile(fileName, text);
    const bool crlf = text.find("\r\n") != std::string::npos;
    const char* eol = crlf ? "\r\n" : "\n";

    std::vector<std::string> lines = SplitLines(text);
    // Locate the section: [first, last) are its lines after the header.
    size_t header = lines.size(), first = lines.size(), last = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (!SectionName(lines[i], name))
            continue;
        if (header != lines.size()) {
            last = i;
            break;
        }
        if (SameText(name, section)) {
            header = i;
            first = i + 1;
        }
    }

    if (!key) {
        if (header != lines.size())
            lines.erase(lines.begin() + static_cast<long>(header), lines.begin() + static_cast<long>(last));
    } else if (header == lines.size()) {
        if (value) {
            if (!lines.empty() && !Trim(lines.back()).empty())
                lines.emplace_back();
            lines.push_back(std::string("[") + section + "]");
            lines.push_back(std::string(key) + "=" + value);
        }
    } else {
        size_t found = last;
        for (size_t i = first; i < last; ++i) {
            std::string k, v;
            if (KeyValue(lines[i], k, v) && SameText(k, key)) {
                found = i;
                break;
            }
        }
        if (found != last) {
            if (value)
                lines[found] = std::string(key) + "=" + value;
            else
                lines.erase(lines.begin() + static_cast<long>(found));
        } else if (value) {
            // After the section's last non-blank line.
            size_t at = last;
            while (at > first && Trim(lines[at - 1]).empty())
                --at;
            lines.insert(lines.begin() + static_cast<long>(at), std::string(key) + "=" + value);
        }
    }

    std::string out;
    for (const std::string& l : lines) {
        out += l;
        out += eol;
    }
    return ReplaceFile(fileName, out);
}
