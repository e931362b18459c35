#include "platform/wmf/ViewerAuth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace viewerauth {

namespace {

constexpr size_t kMaxDigestParams = 32;
constexpr size_t kSaltBytes = 16;
constexpr size_t kBasicKeyBytes = 32;
constexpr std::string_view kBasicPrefix = "pbkdf2-sha256$";

std::string Hex(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

bool FromHex(std::string_view text, std::string* out)
{
    if (text.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (ec != std::errc() || end != text.data() + i + 2)
            return false;
        *out += static_cast<char>(value);
    }
    return true;
}

void RandomBytes(unsigned char* bytes, size_t length)
{
    // Without random bytes no secret can be made: nothing sensible follows.
    if (RAND_bytes(bytes, static_cast<int>(length)) != 1)
        throw std::runtime_error("no random bytes from the system");
}

bool SameTextNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool IsTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

void SkipSpace(std::string_view& s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
}

// auth-param = token BWS "=" BWS ( token / quoted-string )
bool ReadParam(std::string_view& s, std::string* name, std::string* value)
{
    size_t n = 0;
    while (n < s.size() && IsTokenChar(s[n]))
        ++n;
    if (n == 0)
        return false;
    name->clear();
    for (char c : s.substr(0, n))
        *name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.remove_prefix(n);
    SkipSpace(s);
    if (s.empty() || s.front() != '=')
        return false;
    s.remove_prefix(1);
    SkipSpace(s);
    value->clear();
    if (!s.empty() && s.front() == '"') {
        s.remove_prefix(1);
        for (;;) {
            if (s.empty())
                return false; // unterminated
            const char c = s.front();
            s.remove_prefix(1);
            if (c == '"')
                break;
            if (c == '\\') {
                if (s.empty())
                    return false;
                *value += s.front();
                s.remove_prefix(1);
            } else {
                *value += c;
            }
        }
        return true;
    }
    n = 0;
    while (n < s.size() && IsTokenChar(s[n]))
        ++n;
    if (n == 0)
        return false;
    *value = s.substr(0, n);
    s.remove_prefix(n);
    return true;
}

const EVP_MD* Md(DigestAlgorithm algorithm) { return algorithm == DigestAlgorithm::MD5 ? EVP_md5() : EVP_sha256(); }

const std::string& StoredKey(const StoredCredentials& stored, DigestAlgorithm algorithm)
{
    return algorithm == DigestAlgorithm::MD5 ? stored.digestMd5 : stored.digestSha256;
}

} // namespace

std::string_view AlgorithmName(DigestAlgorithm algorithm) { return algorithm == DigestAlgorithm::MD5 ? "MD5" : "SHA-256"; }

std::string HashHex(DigestAlgorithm algorithm, std::string_view text)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(text.data(), text.size(), out, &length, Md(algorithm), nullptr) != 1)
        throw std::runtime_error("hash failed");
    return Hex(out, length);
}

std::string DigestKey(DigestAlgorithm algorithm, std::string_view user, std::string_view realm, std::string_view password)
{
    std::string text;
    text.append(user).append(":").append(realm).append(":").append(password);
    std::string key = HashHex(algorithm, text);
    OPENSSL_cleanse(text.data(), text.size());
    return key;
}

std::string DigestResponse(DigestAlgorithm algorithm, std::string_view key, std::string_view nonce, std::string_view nc,
    std::string_view cnonce, std::string_view qop, std::string_view method, std::string_view uri)
{
    std::string a2;
    a2.append(method).append(":").append(uri);
    std::string text;
    text.append(key).append(":").append(nonce).append(":").append(nc).append(":").append(cnonce).append(":").append(qop)
        .append(":").append(HashHex(algorithm, a2));
    return HashHex(algorithm, text);
}

std::string BasicKey(std::string_view password, std::string_view saltHex, int iterations)
{
    std::string salt;
    if (iterations < 1 || !FromHex(saltHex, &salt))
        return {};
    unsigned char key[kBasicKeyBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
            reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), iterations, EVP_sha256(),
            sizeof key, key) != 1)
        return {};
    return Hex(key, sizeof key);
}

StoredCredentials StoreCredentials(std::string_view user, std::string_view password, int iterations)
{
    StoredCredentials stored;
    stored.user = user;
    unsigned char salt[kSaltBytes];
    RandomBytes(salt, sizeof salt);
    const std::string saltHex = Hex(salt, sizeof salt);
    stored.basic = std::string(kBasicPrefix) + std::to_string(iterations) + "$" + saltHex + "$"
        + BasicKey(password, saltHex, iterations);
    stored.digestSha256 = DigestKey(DigestAlgorithm::SHA256, user, kRealm, password);
    stored.digestMd5 = DigestKey(DigestAlgorithm::MD5, user, kRealm, password);
    return stored;
}

bool SameSecret(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool DecodeBase64(std::string_view text, std::string* out)
{
    if (text.size() % 4)
        return false;
    out->clear();
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=' && i + 2 >= text.size()) {
            ++padding;
            value = 0;
        } else
            return false;
        if (padding && c != '=')
            return false; // data after padding
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            const char bytes[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits)};
            out->append(bytes, 3 - padding);
            bits = 0;
            count = 0;
        }
    }
    return true;
}

std::string RandomToken(size_t bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::vector<unsigned char> raw(bytes);
    RandomBytes(raw.data(), raw.size());
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char b : raw) {
        bits = (bits << 8) | b;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 63];
        }
    }
    if (count > 0)
        out += alphabet[(bits << (6 - count)) & 63];
    OPENSSL_cleanse(raw.data(), raw.size());
    return out;
}

const std::string* Authorization::Param(std::string_view name) const
{
    for (const auto& [n, v] : params)
        if (n == name)
            return &v;
    return nullptr;
}

bool ParseAuthorization(std::string_view value, Authorization* out)
{
    Authorization result;
    SkipSpace(value);
    size_t n = 0;
    while (n < value.size() && IsTokenChar(value[n]))
        ++n;
    const std::string_view scheme = value.substr(0, n);
    value.remove_prefix(n);
    if (scheme.empty() || (!value.empty() && value.front() != ' ' && value.front() != '\t'))
        return false;
    SkipSpace(value);
    if (SameTextNoCase(scheme, "Basic")) {
        // token68: base64 of "user:password".
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        std::string decoded;
        if (!DecodeBase64(value, &decoded))
            return false;
        const size_t colon = decoded.find(':');
        if (colon == std::string::npos)
            return false;
        result.scheme = Authorization::Scheme::Basic;
        result.user = decoded.substr(0, colon);
        result.password = decoded.substr(colon + 1);
        OPENSSL_cleanse(decoded.data(), decoded.size());
    } else if (SameTextNoCase(scheme, "Digest")) {
        result.scheme = Authorization::Scheme::Digest;
        for (;;) {
            std::string name, param;
            if (!ReadParam(value, &name, &param) || result.Param(name) || result.params.size() == kMaxDigestParams)
                return false;
            result.params.emplace_back(std::move(name), std::move(param));
            SkipSpace(value);
            if (value.empty())
                break;
            if (value.front() != ',')
                return false;
            value.remove_prefix(1);
            SkipSpace(value);
        }
    } else {
        result.scheme = Authorization::Scheme::Other;
    }
    if (out)
        *out = std::move(result);
    return true;
}

// ---- nonces ----------------------------------------------------------------------

NonceKeeper::NonceKeeper() : m_epoch(Clock::now()) { RandomBytes(m_key, sizeof m_key); }

std::string NonceKeeper::Mac(std::string_view time) const
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    HMAC(EVP_sha256(), m_key, sizeof m_key, reinterpret_cast<const unsigned char*>(time.data()), time.size(), mac, &length);
    return Hex(mac, 16);
}

std::string NonceKeeper::Make(Clock::time_point now) const
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_epoch).count();
    char time[17];
    std::snprintf(time, sizeof time, "%016llx", static_cast<unsigned long long>(ms));
    return std::string(time) + Mac(time);
}

NonceKeeper::State NonceKeeper::Check(std::string_view nonce, Clock::time_point now, std::chrono::milliseconds lifetime) const
{
    if (nonce.size() != 48)
        return State::Foreign;
    const std::string_view time = nonce.substr(0, 16);
    if (!SameSecret(Mac(time), nonce.substr(16)))
        return State::Foreign;
    unsigned long long ms = 0;
    const auto [end, ec] = std::from_chars(time.data(), time.data() + time.size(), ms, 16);
    if (ec != std::errc() || end != time.data() + time.size())
        return State::Foreign;
    const auto age = now - (m_epoch + std::chrono::milliseconds(ms));
    return age < Clock::duration::zero() || age > lifetime ? State::Expired : State::Fresh;
}

// ---- checks ----------------------------------------------------------------------

Verdict CheckBasic(const Authorization& credential, const StoredCredentials& stored)
{
    if (credential.scheme != Authorization::Scheme::Basic)
        return Verdict::Rejected;
    // "pbkdf2-sha256$ROUNDS$SALT$KEY"
    std::string_view form = stored.basic;
    if (form.substr(0, kBasicPrefix.size()) != kBasicPrefix)
        return Verdict::Rejected;
    form.remove_prefix(kBasicPrefix.size());
    const size_t d1 = form.find('$');
    const size_t d2 = d1 == std::string_view::npos ? d1 : form.find('$', d1 + 1);
    if (d2 == std::string_view::npos)
        return Verdict::Rejected;
    int rounds = 0;
    const auto [end, ec] = std::from_chars(form.data(), form.data() + d1, rounds);
    if (ec != std::errc() || end != form.data() + d1 || rounds < 1 || rounds > 10'000'000)
        return Verdict::Rejected;
    const std::string key = BasicKey(credential.password, form.substr(d1 + 1, d2 - d1 - 1), rounds);
    // Both checks run whatever the first says.
    const bool user = SameSecret(credential.user, stored.user);
    const bool password = !key.empty() && SameSecret(key, form.substr(d2 + 1));
    return user && password ? Verdict::Admitted : Verdict::Rejected;
}

Verdict CheckDigest(const Authorization& credential, std::string_view method, std::string_view target,
    const StoredCredentials& stored, const NonceKeeper& nonces, Clock::time_point now, std::chrono::milliseconds lifetime)
{
    if (credential.scheme != Authorization::Scheme::Digest)
        return Verdict::Rejected;
    const std::string* user = credential.Param("username");
    const std::string* realm = credential.Param("realm");
    const std::string* nonce = credential.Param("nonce");
    const std::string* uri = credential.Param("uri");
    const std::string* response = credential.Param("response");
    const std::string* qop = credential.Param("qop");
    const std::string* nc = credential.Param("nc");
    const std::string* cnonce = credential.Param("cnonce");
    const std::string* algorithmName = credential.Param("algorithm");
    if (!user || !realm || !nonce || !uri || !response || !qop || !nc || !cnonce)
        return Verdict::Rejected;
    DigestAlgorithm algorithm = DigestAlgorithm::MD5; // when none is named
    if (algorithmName && SameTextNoCase(*algorithmName, "SHA-256"))
        algorithm = DigestAlgorithm::SHA256;
    else if (algorithmName && !SameTextNoCase(*algorithmName, "MD5"))
        return Verdict::Rejected;
    const std::string& key = StoredKey(stored, algorithm);
    // The credential must be for this request, this realm and qop=auth.
    if (key.empty() || *realm != kRealm || *uri != target || *qop != "auth" || nc->size() != 8)
        return Verdict::Rejected;
    std::string given = *response;
    for (char& c : given)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string expected = DigestResponse(algorithm, key, *nonce, *nc, *cnonce, *qop, method, *uri);
    const bool sameUser = SameSecret(*user, stored.user);
    if (!(SameSecret(given, expected) && sameUser))
        return Verdict::Rejected;
    return nonces.Check(*nonce, now, lifetime) == NonceKeeper::State::Fresh ? Verdict::Admitted : Verdict::Stale;
}

} // namespace viewerauth
