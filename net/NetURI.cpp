#include "net/NetURI.h"
#include "platform/core/Text.h"

#include <cctype>

namespace {

// Text before the first delimiter, or all of it; the rest (after the
// delimiter) goes to tail, which is empty when the delimiter is absent. text
// is taken by value so that tail may be the same string.
std::string SplitAtFirst(std::string text, char delimiter, std::string& tail)
{
    const std::size_t at = text.find(delimiter);
    if (at == std::string::npos) {
        tail.clear();
        return text;
    }
    tail = text.substr(at + 1);
    return text.substr(0, at);
}

// Splits W into its directory part, document and query. The query starts at
// the first "?", or when there is none at the first "=".
void SplitPath(const std::string& w, std::string& directory, std::string& document,
               std::string& params)
{
    std::size_t q = w.find('?');
    if (q == std::string::npos)
        q = w.find('=');
    int s; // 1-based position of the last "/" of the directory part, 0 if none
    if (q != std::string::npos)
        s = LastPosBefore("/", w, static_cast<int>(q) + 1);
    else {
        const std::size_t last = w.rfind('/');
        s = last == std::string::npos ? 0 : static_cast<int>(last) + 1;
    }
    directory = w.substr(0, static_cast<std::size_t>(s));
    if (q != std::string::npos) {
        document = w.substr(static_cast<std::size_t>(s), q - static_cast<std::size_t>(s));
        params = w.substr(q);
    } else {
        document = w.substr(static_cast<std::size_t>(s));
        params.clear();
    }
}

} // namespace

TNetURI::TNetURI(const std::string& uri)
{
    if (!uri.empty())
        ParseURI(uri);
}

void TNetURI::ParseURI(const std::string& uri)
{
    URIText = NormalizeSlashes(uri);
    std::string w = URIText;
    Protocol.clear();
    Username.clear();
    Password.clear();
    Host.clear();
    Port.clear();
    Path.clear();
    Document.clear();
    Params.clear();
    Bookmark.clear();

    const std::size_t k = w.find("://");
    if (k != std::string::npos) {
        Protocol = w.substr(0, k);
        w.erase(0, k + 3);

        std::string authority = SplitAtFirst(w, '/', w);
        std::string userInfo;
        const std::size_t at = authority.find('@');
        if (at != std::string::npos) {
            userInfo = authority.substr(0, at);
            authority.erase(0, at + 1);
        }
        Username = SplitAtFirst(userInfo, ':', Password);
        if (Username.empty())
            Password.clear(); // a password without a user name is dropped
        Host = SplitAtFirst(authority, ':', Port);

        std::string directory;
        SplitPath(w, directory, Document, Params);
        Path = "/" + directory;
        const std::size_t hash = Document.find('#');
        if (hash != std::string::npos) {
            Bookmark = Document.substr(hash + 1);
            Document.resize(hash);
        }
    } else {
        // A relative reference keeps any "#" in its document.
        SplitPath(w, Path, Document, Params);
    }

    if (Bookmark.empty()) {
        const std::size_t hash = Params.find('#');
        if (hash != std::string::npos) {
            Bookmark = Params.substr(hash + 1);
            Params.resize(hash);
        }
    }
}

std::string TNetURI::FullURI(unsigned options) const
{
    if (Protocol.empty())
        throw ENetURIException("Protocol field is empty");
    std::string result = Protocol + "://";
    if (!Username.empty() && (options & IncludeAuthInfo)) {
        result += Username;
        if (!Password.empty())
            result += ":" + Password;
        result += "@";
    }
    if (Host.empty())
        throw ENetURIException("Host field is empty");
    result += Host;
    if (!Port.empty())
        result += ":" + Port;
    result += Path + Document + Params;
    if (!Bookmark.empty() && (options & IncludeBookmark))
        result += "#" + Bookmark;
    return result;
}

std::string TNetURI::RequestURI()
{
    URIText = FullURI(IncludeAuthInfo | IncludeBookmark);
    return FullURI(IncludeNone);
}

std::string NormalizeSlashes(const std::string& text)
{
    // In UTF-8 the byte of "\" never occurs inside a multi-byte character, so
    // every such byte is a real backslash.
    std::string result = text;
    for (char& c : result)
        if (c == '\\')
            c = '/';
    return result;
}

std::string ResolvePath(const std::string& basePath, const std::string& path,
                        const std::string& delimiter)
{
    if (delimiter.empty())
        return basePath + path;
    const char d = delimiter[0];
    if (!path.empty() && path[0] == d)
        return path;

    const bool keepTrail = path.empty() || path.back() == d;
    std::string w = basePath;
    if (!w.empty() && w.back() != d)
        w += d;
    w += path;

    std::string r;
    for (std::size_t i = 0; i < w.size(); ++i) {
        const char c = w[i];
        if (c == d) {
            if (i == 0)
                r.assign(1, d);
            else if (r.empty() || r.back() != d)
                r += d;
        } else if (c == '.' && !r.empty() && r.back() == d && i + 1 < w.size()
                   && w[i + 1] == '.') {
            // ".." takes back the segment before it.
            r.pop_back();
            while (!r.empty() && r.back() != d)
                r.pop_back();
            ++i;
        } else {
            r += c;
        }
    }
    if (!r.empty() && r.back() == d && !keepTrail)
        r.pop_back();
    return r;
}

int LastPosBefore(const std::string& sub, const std::string& text, int start)
{
    if (sub.empty() || sub.size() > text.size())
        return 0;
    const int highest = static_cast<int>(text.size() - sub.size()) + 1;
    if (start == -1 || start > highest)
        start = highest;
    for (int pos = start; pos >= 1; --pos)
        if (asciitext::SameText(std::string_view(text).substr(static_cast<std::size_t>(pos - 1), sub.size()), sub))
            return pos;
    return 0;
}
