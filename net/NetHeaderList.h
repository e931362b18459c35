#pragma once
// Text-level building blocks of the HTTP client: the header list (lines of
// "Name: value" with case-insensitive lookup and line folding), the header
// records that map typed fields to and from a raw header list, the proxy
// settings and basic authentication with its scheme registry. None of them
// does input or output.

#include "net/NetInternetDate.h"
#include "net/NetStack.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------- header list

// An ordered list of text lines. A line is a header line "Name: value" or a
// continuation line (beginning with a blank or TAB) that belongs to the header
// line above it.
class TNetHeaderList {
public:
    TNetHeaderList() = default;
    explicit TNetHeaderList(int foldLength) : m_foldLength(foldLength) {}

    // Ordinary list operations; a bad index raises EListError.
    int Count() const { return static_cast<int>(m_lines.size()); }
    const std::string& operator[](int index) const;
    void Add(const std::string& line) { m_lines.push_back(line); }
    void Insert(int index, const std::string& line);
    void Put(int index, const std::string& line);
    void Delete(int index);
    void Clear() { m_lines.clear(); }
    void AddStrings(const TNetHeaderList& other);
    const std::vector<std::string>& Lines() const { return m_lines; }
    // Every line followed by CR LF.
    std::string Text() const;

    // Settings (only the contents are copied by AddStrings; assignment copies all).
    const std::string& NameValueSeparator() const { return m_separator; }
    void SetNameValueSeparator(const std::string& value) { m_separator = value; }
    bool CaseSensitive() const { return m_caseSensitive; }
    void SetCaseSensitive(bool value) { m_caseSensitive = value; }
    bool UnfoldLines() const { return m_unfoldLines; }
    void SetUnfoldLines(bool value) { m_unfoldLines = value; }
    bool FoldLines() const { return m_foldLines; }
    void SetFoldLines(bool value) { m_foldLines = value; }
    int FoldLength() const { return m_foldLength; }
    void SetFoldLength(int value) { m_foldLength = value; }

    // The name of a line, upper-cased unless CaseSensitive; "" for a line
    // without the separator.
    std::string NameOfLine(int index) const;
    // The value of a header line with its continuation lines joined (when
    // UnfoldLines), trimmed; "" for an index outside the list.
    std::string ValueOfLine(int index) const;
    // The first line with that name (case-insensitive), or -1.
    int IndexOfHeader(const std::string& name) const;
    std::string ValueOf(const std::string& name) const;
    // Replaces the header in its place (a new one goes to the end); an empty
    // value deletes the header and its continuation lines.
    void SetValueOf(const std::string& name, const std::string& value);
    // Appends the value of every header of that name to destination, in line
    // order. Nothing happens without a destination.
    void ExtractValues(const std::string& name, TNetHeaderList* destination) const;
    // Wraps text at FoldLength columns; pieces after the first begin with a blank.
    std::vector<std::string> FoldLine(const std::string& text) const;
    // Deletes the continuation lines that follow line index.
    void DeleteFoldedLines(int index);

private:
    std::string SeparatorMark() const;

    std::vector<std::string> m_lines;
    std::string m_separator = ": ";
    bool m_caseSensitive = false;
    bool m_unfoldLines = true;
    bool m_foldLines = true;
    int m_foldLength = 78;
};

// ---------------------------------------------------------------- authentication

class TNetAuthentication;

// A class of authentication object, as the scheme registry keeps it.
struct TNetAuthenticationClassInfo {
    const char* ClassName;
    std::unique_ptr<TNetAuthentication> (*Create)();
};
using TNetAuthenticationClass = const TNetAuthenticationClassInfo*;

class ENetAlreadyRegisteredAuthenticationMethod : public ENetException {
public:
    using ENetException::ENetException;
};

enum TNetAuthWhatsNext {
    wnAskTheProgram, // the program must supply credentials first
    wnDoRequest,     // send the request with Authentication()
    wnFail,          // give up
};

// Credentials and state of one authentication scheme. The user name and
// password live in Params under "Username" and "Password".
class TNetAuthentication {
public:
    TNetAuthentication();
    virtual ~TNetAuthentication() = default;

    virtual TNetAuthWhatsNext Next() = 0;
    virtual int Steps() const { return 0; }
    virtual void SetPassword(const std::string& value);
    virtual void SetUsername(const std::string& value);
    virtual void Reset() { m_currentStep = 0; }
    // The value of the "Authorization" header for the current step.
    virtual std::string Authentication() = 0;
    virtual bool KeepAlive() const = 0;
    virtual TNetAuthenticationClass ClassType() const = 0;

    std::string Username() const { return m_params.ValueOf("username"); }
    std::string Password() const { return m_params.ValueOf("password"); }
    int CurrentStep() const { return m_currentStep; }
    TNetHeaderList& Params() { return m_params; }
    const TNetHeaderList& Params() const { return m_params; }
    // The server's challenge lines (the values of its WWW-Authenticate or
    // Proxy-Authenticate headers); null until set.
    const TNetHeaderList* AuthParams() const { return m_authParams.get(); }
    void SetAuthParams(const TNetHeaderList& challenges);

protected:
    TNetHeaderList m_params;
    int m_currentStep = 0;
    std::unique_ptr<TNetHeaderList> m_authParams;
};

// "Basic " + base64(user ":" password).
class TNetBasicAuthentication : public TNetAuthentication {
public:
    static TNetAuthenticationClass ClassInfo();

    TNetAuthWhatsNext Next() override;
    int Steps() const override { return 1; }
    void Reset() override { m_currentStep = 0; }
    std::string Authentication() override;
    bool KeepAlive() const override { return false; }
    TNetAuthenticationClass ClassType() const override { return ClassInfo(); }
    const std::string& Realm() const { return m_realm; }

private:
    std::string m_realm;
};

// The process-wide scheme registry ("Basic" is there from the start). Names
// compare case-insensitively.
void RegisterAuthScheme(const std::string& scheme, TNetAuthenticationClass authClass);
TNetAuthenticationClass FindAuthScheme(const std::string& scheme);

// Base64 with the RFC 2045 alphabet and "=" padding, without line breaks.
class TNetEncoderMIME {
public:
    static std::string Encode(const std::string& bytes);
};

// ---------------------------------------------------------------- header records

// Fields common to requests and responses. RawHeaders folds at 1024 columns,
// CustomHeaders at 78.
class TNetEntityHeaderInfo {
public:
    TNetEntityHeaderInfo();
    virtual ~TNetEntityHeaderInfo() = default;
    TNetEntityHeaderInfo(const TNetEntityHeaderInfo&) = delete;
    TNetEntityHeaderInfo& operator=(const TNetEntityHeaderInfo&) = delete;

    // Reads the typed fields from RawHeaders.
    virtual void ProcessHeaders();
    // Writes the typed fields into RawHeaders (emptied first).
    virtual void SetHeaders();
    virtual void ClearHeaders();
    // Copies the typed fields and CustomHeaders of another record.
    virtual void Assign(const TNetEntityHeaderInfo& source);

    const std::string& CacheControl() const { return m_cacheControl; }
    void SetCacheControl(const std::string& v) { m_cacheControl = v; }
    const std::string& Connection() const { return m_connection; }
    void SetConnection(const std::string& v) { m_connection = v; }
    const std::string& ContentEncoding() const { return m_contentEncoding; }
    void SetContentEncoding(const std::string& v) { m_contentEncoding = v; }
    const std::string& ContentLanguage() const { return m_contentLanguage; }
    void SetContentLanguage(const std::string& v) { m_contentLanguage = v; }
    // -1 when absent.
    int32_t ContentLength() const { return m_contentLength; }
    void SetContentLength(int32_t v) { m_contentLength = v; }
    bool HasContentLength() const { return m_contentLength >= 0; }
    uint32_t ContentRangeEnd() const { return m_contentRangeEnd; }
    void SetContentRangeEnd(uint32_t v) { m_contentRangeEnd = v; }
    uint32_t ContentRangeStart() const { return m_contentRangeStart; }
    void SetContentRangeStart(uint32_t v) { m_contentRangeStart = v; }
    const std::string& ContentType() const { return m_contentType; }
    void SetContentType(const std::string& v) { m_contentType = v; }
    const std::string& ContentVersion() const { return m_contentVersion; }
    void SetContentVersion(const std::string& v) { m_contentVersion = v; }
    TNetHeaderList& CustomHeaders() { return m_customHeaders; }
    const TNetHeaderList& CustomHeaders() const { return m_customHeaders; }
    void SetCustomHeaders(const TNetHeaderList& v);
    // Local date-times; 0 when absent.
    TNetDateTime Date() const { return m_date; }
    void SetDate(TNetDateTime v) { m_date = v; }
    TNetDateTime Expires() const { return m_expires; }
    void SetExpires(TNetDateTime v) { m_expires = v; }
    TNetDateTime LastModified() const { return m_lastModified; }
    void SetLastModified(TNetDateTime v) { m_lastModified = v; }
    const std::string& Pragma() const { return m_pragma; }
    void SetPragma(const std::string& v) { m_pragma = v; }

    TNetHeaderList& RawHeaders() { return m_rawHeaders; }
    const TNetHeaderList& RawHeaders() const { return m_rawHeaders; }

protected:
    std::string m_cacheControl;
    std::string m_connection;
    std::string m_contentEncoding;
    std::string m_contentLanguage;
    int32_t m_contentLength = -1;
    uint32_t m_contentRangeEnd = 0;
    uint32_t m_contentRangeStart = 0;
    std::string m_contentType = "text/html";
    std::string m_contentVersion;
    TNetHeaderList m_customHeaders {78};
    TNetDateTime m_date = 0;
    TNetDateTime m_expires = 0;
    TNetDateTime m_lastModified = 0;
    std::string m_pragma;
    TNetHeaderList m_rawHeaders {1024};
};

class TNetRequestHeaderInfo : public TNetEntityHeaderInfo {
public:
    TNetRequestHeaderInfo();
    ~TNetRequestHeaderInfo() override;

    void ProcessHeaders() override;
    void SetHeaders() override;
    void ClearHeaders() override;
    void Assign(const TNetEntityHeaderInfo& source) override;

    const std::string& Accept() const { return m_accept; }
    void SetAccept(const std::string& v) { m_accept = v; }
    const std::string& AcceptCharSet() const { return m_acceptCharSet; }
    void SetAcceptCharSet(const std::string& v) { m_acceptCharSet = v; }
    const std::string& AcceptEncoding() const { return m_acceptEncoding; }
    void SetAcceptEncoding(const std::string& v) { m_acceptEncoding = v; }
    const std::string& AcceptLanguage() const { return m_acceptLanguage; }
    void SetAcceptLanguage(const std::string& v) { m_acceptLanguage = v; }
    bool BasicAuthentication() const { return m_basicAuthentication; }
    void SetBasicAuthentication(bool v) { m_basicAuthentication = v; }
    const std::string& Host() const { return m_host; }
    void SetHost(const std::string& v) { m_host = v; }
    const std::string& From() const { return m_from; }
    void SetFrom(const std::string& v) { m_from = v; }
    const std::string& Password() const { return m_password; }
    void SetPassword(const std::string& v) { m_password = v; }
    const std::string& Referer() const { return m_referer; }
    void SetReferer(const std::string& v) { m_referer = v; }
    const std::string& UserAgent() const { return m_userAgent; }
    void SetUserAgent(const std::string& v) { m_userAgent = v; }
    const std::string& Username() const { return m_username; }
    void SetUsername(const std::string& v) { m_username = v; }
    const std::string& ProxyConnection() const { return m_proxyConnection; }
    void SetProxyConnection(const std::string& v) { m_proxyConnection = v; }

    // The authentication object, owned by the record; null when none.
    TNetAuthentication* Authentication() const { return m_authentication.get(); }
    void SetAuthentication(std::unique_ptr<TNetAuthentication> value);

protected:
    std::string m_accept = "text/html, */*";
    std::string m_acceptCharSet;
    std::string m_acceptEncoding;
    std::string m_acceptLanguage;
    bool m_basicAuthentication = false;
    std::string m_host;
    std::string m_from;
    std::string m_password;
    std::string m_referer;
    std::string m_userAgent = "Mozilla/3.0 (compatible; Lumora)";
    std::string m_username;
    std::string m_proxyConnection;
    std::unique_ptr<TNetAuthentication> m_authentication;
};

class TNetResponseHeaderInfo : public TNetEntityHeaderInfo {
public:
    TNetResponseHeaderInfo();

    // Raises ENetConvertError for a "Content-Range" whose numbers do not read;
    // the fields read before it keep their new values.
    void ProcessHeaders() override;
    void ClearHeaders() override;

    const std::string& Location() const { return m_location; }
    void SetLocation(const std::string& v) { m_location = v; }
    const std::string& ProxyConnection() const { return m_proxyConnection; }
    void SetProxyConnection(const std::string& v) { m_proxyConnection = v; }
    TNetHeaderList& ProxyAuthenticate() { return m_proxyAuthenticate; }
    const TNetHeaderList& ProxyAuthenticate() const { return m_proxyAuthenticate; }
    const std::string& Server() const { return m_server; }
    void SetServer(const std::string& v) { m_server = v; }
    TNetHeaderList& WWWAuthenticate() { return m_wwwAuthenticate; }
    const TNetHeaderList& WWWAuthenticate() const { return m_wwwAuthenticate; }

protected:
    std::string m_location;
    std::string m_proxyConnection;
    TNetHeaderList m_proxyAuthenticate;
    std::string m_server;
    TNetHeaderList m_wwwAuthenticate;
};

// ---------------------------------------------------------------- proxy settings

class TNetProxyConnectionInfo {
public:
    TNetProxyConnectionInfo();
    ~TNetProxyConnectionInfo();
    TNetProxyConnectionInfo(const TNetProxyConnectionInfo&) = delete;
    TNetProxyConnectionInfo& operator=(const TNetProxyConnectionInfo&) = delete;

    bool BasicAuthentication() const { return m_basicAuthentication; }
    void SetBasicAuthentication(bool v) { m_basicAuthentication = v; }
    const std::string& ProxyPassword() const { return m_proxyPassword; }
    void SetProxyPassword(const std::string& v) { m_proxyPassword = v; }
    int ProxyPort() const { return m_proxyPort; }
    // A different port frees the authentication object.
    void SetProxyPort(int v);
    const std::string& ProxyServer() const { return m_proxyServer; }
    // A different server (case-insensitive) frees the authentication object.
    void SetProxyServer(const std::string& v);
    const std::string& ProxyUsername() const { return m_proxyUsername; }
    void SetProxyUsername(const std::string& v) { m_proxyUsername = v; }

    TNetAuthentication* Authentication() const { return m_authentication.get(); }
    void SetAuthentication(std::unique_ptr<TNetAuthentication> value);

    // Empties the texts and sets the port to 0.
    void Clear();
    // Sets "Proxy-Authorization" in headers when credentials apply.
    void SetHeaders(TNetHeaderList& headers);

private:
    bool m_basicAuthentication = false;
    std::string m_proxyPassword;
    int m_proxyPort = 0;
    std::string m_proxyServer;
    std::string m_proxyUsername;
    std::unique_ptr<TNetAuthentication> m_authentication;
};
