#pragma once
// Cookies of the HTTP client: the two cookie kinds parsed from "Set-Cookie"
// and "Set-Cookie2" values, and the manager that stores them by domain and
// builds the "Cookie" header for a request.

#include "net/NetInternetDate.h"
#include "net/NetURI.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

class TNetCookieManager;
class TNetCustomHTTP;

// A cookie as "Set-Cookie" describes it.
class TNetCookieRFC2109 {
public:
    TNetCookieRFC2109() = default;
    virtual ~TNetCookieRFC2109() = default;

    // Parses a header value unless it equals the text last parsed; the text
    // is kept as CookieText either way.
    void SetCookieText(const std::string& value);
    const std::string& CookieText() const { return m_cookieText; }

    // Whether the cookie may be set by requestHost (its Domain is checked).
    bool IsAllowed(const std::string& requestHost) const;
    // Takes the contents of another cookie (everything but its place).
    virtual void AssignFrom(const TNetCookieRFC2109& other);

    std::string CookieName;
    std::string Value;
    std::string Path;
    // The expiry as the server wrote it ("" = a session cookie).
    std::string Expires;
    std::string Domain;
    bool Secure = false;
    // Seconds, -1 when not given.
    int32_t MaxAge = -1;
    std::string Version;
    std::string Comment;

protected:
    // One attribute piece, name upper-cased ("PATH") and value; flags have an
    // empty value. Answers false when the name is not one of this kind's.
    virtual bool ReadAttribute(const std::string& name, const std::string& value);
    virtual void Parse(const std::string& value);
    virtual void DeriveExpiry();

private:
    std::string m_cookieText;
};

// A cookie as "Set-Cookie2" describes it.
class TNetCookieRFC2965 : public TNetCookieRFC2109 {
public:
    void AssignFrom(const TNetCookieRFC2109& other) override;

    std::string CommentURL;
    bool Discard = false;
    // The ports the cookie applies to; {80} when the attribute is absent or empty.
    std::vector<int> PortList {80};

protected:
    bool ReadAttribute(const std::string& name, const std::string& value) override;
    void Parse(const std::string& value) override;
    void DeriveExpiry() override;
};

using TNetOnNewCookieEvent =
    std::function<void(TNetCookieManager* sender, TNetCookieRFC2109* cookie, bool& accept)>;

// The cookie store: a list of domains in order of first use, each with its
// cookies by name (both compared case-insensitively). Reads take a shared
// lock, changes an exclusive one, so the store may be shared between threads.
class TNetCookieManager {
public:
    TNetCookieManager();
    ~TNetCookieManager();
    TNetCookieManager(const TNetCookieManager&) = delete;
    TNetCookieManager& operator=(const TNetCookieManager&) = delete;

    // Offered every new cookie that passed the host check; accept starts true.
    TNetOnNewCookieEvent OnNewCookie;

    // A "Set-Cookie" value from requestHost.
    void AddServerCookie(const std::string& value, const std::string& requestHost);
    // A "Set-Cookie2" value from requestHost.
    void AddServerCookie2(const std::string& value, const std::string& requestHost);
    // The "Cookie" header value for a request to uri; "" when nothing applies.
    std::string CookieHeaderFor(const TNetURI& uri, bool isTLS);
    // Frees every cookie whose expiry lies in the past.
    void PurgeExpiredCookies();

    // Number of stored cookies, and a copy of one by domain and name (for
    // inspection); null when absent.
    int CookieCount() const;
    std::unique_ptr<TNetCookieRFC2109> FindCookie(const std::string& domain, const std::string& name) const;

private:
    friend class TNetCustomHTTP;
    struct Domain {
        std::string name;
        std::vector<std::unique_ptr<TNetCookieRFC2109>> cookies;
    };

    void AddCookie(std::unique_ptr<TNetCookieRFC2109> cookie, const std::string& value,
                   const std::string& requestHost);
    void PurgeLocked();
    void AttachClient(TNetCustomHTTP* client);
    void DetachClient(TNetCustomHTTP* client);

    mutable std::shared_mutex m_lock;
    std::vector<Domain> m_domains;
    // Clients that use this manager without owning it; told when it goes.
    std::vector<TNetCustomHTTP*> m_clients;
};
