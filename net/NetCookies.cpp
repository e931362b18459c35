#include "net/NetCookies.h"

#include "net/NetHTTP.h"
#include "net/NetStack.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <mutex>

namespace {

using asciitext::IsBlank;
using asciitext::SameText;
using asciitext::Trim;
using asciitext::Upper;

// The host from its first "." on (".b.c" for "a.b.c"); "" without a ".".
std::string FromFirstDot(const std::string& host)
{
    const std::size_t dot = host.find('.');
    return dot == std::string::npos ? std::string() : host.substr(dot);
}

// Splits a header value at ";" into trimmed pieces; empty pieces are skipped.
std::vector<std::string> SplitPieces(const std::string& value)
{
    std::vector<std::string> pieces;
    std::size_t begin = 0;
    while (begin <= value.size()) {
        std::size_t end = value.find(';', begin);
        if (end == std::string::npos)
            end = value.size();
        std::string piece = Trim(value.substr(begin, end - begin));
        if (!piece.empty() || pieces.empty())
            pieces.push_back(piece);
        begin = end + 1;
    }
    return pieces;
}

} // namespace

// ---------------------------------------------------------------- TNetCookieRFC2109

void TNetCookieRFC2109::SetCookieText(const std::string& value)
{
    if (value != m_cookieText)
        Parse(value);
    m_cookieText = value;
}

void TNetCookieRFC2109::Parse(const std::string& value)
{
    const std::vector<std::string> pieces = SplitPieces(value);
    const std::string& first = pieces.front();
    const std::size_t eq = first.find('=');
    CookieName = eq == std::string::npos ? first : first.substr(0, eq);
    Value = eq == std::string::npos ? std::string() : first.substr(eq + 1);

    Path.clear();
    Expires.clear();
    Domain.clear();
    Secure = false;
    MaxAge = -1;
    Version.clear();
    Comment.clear();

    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        const std::size_t at = piece.find('=');
        if (at == std::string::npos)
            ReadAttribute(Upper(piece), {});
        else
            ReadAttribute(Upper(Trim(piece.substr(0, at))), Trim(piece.substr(at + 1)));
    }
    DeriveExpiry();
}

bool TNetCookieRFC2109::ReadAttribute(const std::string& name, const std::string& value)
{
    if (name == "PATH") {
        std::string path = value;
        if (!path.empty() && path.front() == '"')
            path.erase(0, 1);
        if (!path.empty() && path.back() == '"')
            path.pop_back();
        Path = path;
    } else if (name == "EXPIRES") {
        Expires = value;
    } else if (name == "DOMAIN") {
        Domain = value;
    } else if (name == "SECURE") {
        Secure = true;
    } else if (name == "MAX-AGE") {
        int seconds = -1;
        MaxAge = NetTryStrToInt(value, seconds) ? seconds : -1;
    } else if (name == "VERSION") {
        Version = value;
    } else if (name == "COMMENT") {
        Comment = value;
    } else {
        return false;
    }
    return true;
}

void TNetCookieRFC2109::DeriveExpiry()
{
    if (!Expires.empty()) {
        // Whole seconds from now until the date, kept within 32 bits.
        const double seconds = std::floor((InternetDateToLocal(Expires) - NetNow()) * 86400.0);
        MaxAge = static_cast<int32_t>(std::clamp(seconds, static_cast<double>(INT32_MIN),
                                                 static_cast<double>(INT32_MAX)));
    } else if (MaxAge >= 0) {
        Expires = FormatInternetDate(NetNow() + MaxAge / 86400.0);
    }
}

void TNetCookieRFC2109::AssignFrom(const TNetCookieRFC2109& other)
{
    CookieName = other.CookieName;
    Value = other.Value;
    Path = other.Path;
    Expires = other.Expires;
    Domain = other.Domain;
    Secure = other.Secure;
    MaxAge = other.MaxAge;
    Version = other.Version;
    Comment = other.Comment;
    m_cookieText = other.m_cookieText;
}

bool TNetCookieRFC2109::IsAllowed(const std::string& requestHost) const
{
    const std::string& h = requestHost;
    const std::string& d = Domain;
    if (IsDottedAddress(h))
        return d == h;
    if (h.empty() || h[0] != '.') {
        if ((d.empty() || d[0] != '.') && !IsDottedAddress(d))
            return d == h;
        return d == FromFirstDot(h);
    }
    return SameText(d, FromFirstDot(h));
}

// ---------------------------------------------------------------- TNetCookieRFC2965

void TNetCookieRFC2965::Parse(const std::string& value)
{
    CommentURL.clear();
    Discard = false;
    PortList = {80};
    TNetCookieRFC2109::Parse(value);
}

bool TNetCookieRFC2965::ReadAttribute(const std::string& name, const std::string& value)
{
    if (name == "COMMENTURL") {
        CommentURL = value;
    } else if (name == "DISCARD") {
        Discard = true;
    } else if (name == "PORT") {
        std::string list = value;
        if (!list.empty() && list.front() == '"')
            list.erase(0, 1);
        if (!list.empty() && list.back() == '"')
            list.pop_back();
        PortList.clear();
        while (!list.empty()) {
            int port = 0;
            if (NetTryStrToInt(Trim(CutField(list, ",")), port))
                PortList.push_back(port);
        }
        if (PortList.empty())
            PortList = {80};
    } else {
        return TNetCookieRFC2109::ReadAttribute(name, value);
    }
    return true;
}

void TNetCookieRFC2965::DeriveExpiry()
{
    // Only the RFC 2109 kind turns an expiry date into a maximum age.
    if (Expires.empty() && MaxAge >= 0)
        Expires = FormatInternetDate(NetNow() + MaxAge / 86400.0);
}

void TNetCookieRFC2965::AssignFrom(const TNetCookieRFC2109& other)
{
    TNetCookieRFC2109::AssignFrom(other);
    if (const auto* cookie2 = dynamic_cast<const TNetCookieRFC2965*>(&other)) {
        CommentURL = cookie2->CommentURL;
        Discard = cookie2->Discard;
        PortList = cookie2->PortList;
    }
}

// ---------------------------------------------------------------- TNetCookieManager

TNetCookieManager::TNetCookieManager() = default;

TNetCookieManager::~TNetCookieManager()
{
    {
        std::unique_lock<std::shared_mutex> guard(m_lock);
        PurgeLocked();
    }
    // Clients that were given this manager forget it.
    const std::vector<TNetCustomHTTP*> clients = m_clients;
    for (TNetCustomHTTP* client : clients)
        client->CookieManagerDestroyed(this);
}

void TNetCookieManager::AttachClient(TNetCustomHTTP* client)
{
    if (std::find(m_clients.begin(), m_clients.end(), client) == m_clients.end())
        m_clients.push_back(client);
}

void TNetCookieManager::DetachClient(TNetCustomHTTP* client)
{
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

void TNetCookieManager::AddServerCookie(const std::string& value, const std::string& requestHost)
{
    AddCookie(std::make_unique<TNetCookieRFC2109>(), value, requestHost);
}

void TNetCookieManager::AddServerCookie2(const std::string& value, const std::string& requestHost)
{
    AddCookie(std::make_unique<TNetCookieRFC2965>(), value, requestHost);
}

void TNetCookieManager::AddCookie(std::unique_ptr<TNetCookieRFC2109> cookie, const std::string& value,
                                  const std::string& requestHost)
{
    cookie->SetCookieText(value);
    if (cookie->Domain.empty())
        cookie->Domain = requestHost;
    if (!cookie->IsAllowed(requestHost))
        return;
    bool accept = true;
    if (OnNewCookie)
        OnNewCookie(this, cookie.get(), accept);
    if (!accept)
        return;

    std::unique_lock<std::shared_mutex> guard(m_lock);
    auto domain = std::find_if(m_domains.begin(), m_domains.end(),
                               [&](const Domain& d) { return SameText(d.name, cookie->Domain); });
    if (domain == m_domains.end()) {
        m_domains.push_back({cookie->Domain, {}});
        domain = m_domains.end() - 1;
    }
    for (auto& stored : domain->cookies) {
        if (SameText(stored->CookieName, cookie->CookieName)) {
            stored->AssignFrom(*cookie);
            return;
        }
    }
    domain->cookies.push_back(std::move(cookie));
}

void TNetCookieManager::PurgeExpiredCookies()
{
    std::unique_lock<std::shared_mutex> guard(m_lock);
    PurgeLocked();
}

void TNetCookieManager::PurgeLocked()
{
    const TNetDateTime now = NetNow();
    for (Domain& domain : m_domains) {
        auto& cookies = domain.cookies;
        cookies.erase(std::remove_if(cookies.begin(), cookies.end(),
                                     [now](const std::unique_ptr<TNetCookieRFC2109>& c) {
                                         return !c->Expires.empty() && InternetDateToLocal(c->Expires) < now;
                                     }),
                      cookies.end());
    }
}

std::string TNetCookieManager::CookieHeaderFor(const TNetURI& uri, bool isTLS)
{
    PurgeExpiredCookies();

    std::shared_lock<std::shared_mutex> guard(m_lock);
    struct Candidate {
        std::string path;
        std::string pair;
    };
    std::vector<Candidate> candidates;
    const std::string host = Upper(uri.Host);
    for (const Domain& domain : m_domains) {
        if (host.find(Upper(domain.name)) == std::string::npos)
            continue;
        for (auto it = domain.cookies.rbegin(); it != domain.cookies.rend(); ++it) {
            const TNetCookieRFC2109& cookie = **it;
            if (cookie.Path.empty() || uri.Path.compare(0, cookie.Path.size(), cookie.Path) != 0)
                continue;
            if (cookie.Secure && !isTLS)
                continue;
            if (cookie.Value.empty())
                continue;
            candidates.push_back({cookie.Path, cookie.CookieName + "=" + cookie.Value});
        }
    }
    // Longest (last in order) paths first; among equal paths, newest first.
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return Upper(a.path) > Upper(b.path);
    });
    std::string header;
    for (const Candidate& c : candidates) {
        if (!header.empty())
            header += "; ";
        header += c.pair;
    }
    return header;
}

int TNetCookieManager::CookieCount() const
{
    std::shared_lock<std::shared_mutex> guard(m_lock);
    int count = 0;
    for (const Domain& domain : m_domains)
        count += static_cast<int>(domain.cookies.size());
    return count;
}

std::unique_ptr<TNetCookieRFC2109> TNetCookieManager::FindCookie(const std::string& domainName,
                                                                 const std::string& name) const
{
    std::shared_lock<std::shared_mutex> guard(m_lock);
    for (const Domain& domain : m_domains) {
        if (!SameText(domain.name, domainName))
            continue;
        for (const auto& cookie : domain.cookies) {
            if (SameText(cookie->CookieName, name)) {
                std::unique_ptr<TNetCookieRFC2109> copy;
                if (dynamic_cast<const TNetCookieRFC2965*>(cookie.get()))
                    copy = std::make_unique<TNetCookieRFC2965>();
                else
                    copy = std::make_unique<TNetCookieRFC2109>();
                copy->AssignFrom(*cookie);
                return copy;
            }
        }
    }
    return nullptr;
}
