#include "live/relay/ConnectLog.h"

namespace {

std::string Trimmed(std::string_view s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
        s.remove_suffix(1);
    return std::string(s);
}

} // namespace

void ConnectLog::Note(std::string_view line)
{
    if (const size_t p = line.find("Server error: "); p != std::string_view::npos)
        serverError = Trimmed(line.substr(p + 14));
}
