#pragma once
// HTTP authentication of viewers: reading an Authorization header, and
// checking Digest (qop=auth with SHA-256 or MD5) and Basic credentials
// against stored keys. No plain password is ever kept: Digest is checked
// against H(user:realm:password) for each algorithm, Basic against a salted
// PBKDF2 hash. OpenSSL does every hash, MAC and random byte; secrets are
// compared in constant time.
//
// Digest nonces carry their own issue time and a MAC under a key that is
// drawn afresh for every NonceKeeper (one per start of the server), so a
// nonce expires, and one from an earlier run of the server is refused.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace viewerauth {

inline constexpr std::string_view kRealm = "Lumora";
// PBKDF2-HMAC-SHA256 rounds of a stored Basic key.
inline constexpr int kBasicIterations = 20000;

enum class DigestAlgorithm { SHA256, MD5 };

// The algorithm's name in Digest headers ("SHA-256", "MD5").
std::string_view AlgorithmName(DigestAlgorithm algorithm);

// What checking needs, and all the settings keep.
struct StoredCredentials {
    std::string user;
    std::string basic;        // "pbkdf2-sha256$ROUNDS$SALT$KEY", salt and key in hex
    std::string digestSha256; // H(user:realm:password) in lower-case hex
    std::string digestMd5;

    // True when no password is set.
    bool Empty() const { return basic.empty() && digestSha256.empty() && digestMd5.empty(); }
};

// The stored form of `password` for `user`, with a fresh random salt.
StoredCredentials StoreCredentials(std::string_view user, std::string_view password, int iterations = kBasicIterations);

// Lower-case hex of the algorithm's hash of `text`.
std::string HashHex(DigestAlgorithm algorithm, std::string_view text);
// The Digest key H(user:realm:password).
std::string DigestKey(DigestAlgorithm algorithm, std::string_view user, std::string_view realm, std::string_view password);
// The Digest response for qop=auth: H(key:nonce:nc:cnonce:qop:H(method:uri)).
std::string DigestResponse(DigestAlgorithm algorithm, std::string_view key, std::string_view nonce, std::string_view nc,
    std::string_view cnonce, std::string_view qop, std::string_view method, std::string_view uri);
// The PBKDF2-HMAC-SHA256 key of a Basic password in the stored form.
std::string BasicKey(std::string_view password, std::string_view saltHex, int iterations);

// True when a and b hold the same bytes; the time taken depends on their
// lengths only.
bool SameSecret(std::string_view a, std::string_view b);

// Standard base64 with padding; false on any other character or length.
bool DecodeBase64(std::string_view text, std::string* out);
// `bytes` random bytes from the system's generator as URL-safe text
// (base64url without padding).
std::string RandomToken(size_t bytes);

// An Authorization header value.
struct Authorization {
    enum class Scheme { Basic, Digest, Other };
    Scheme scheme = Scheme::Other;
    std::string user;     // Basic
    std::string password; // Basic
    // Digest parameters in order, names in lower case, values unquoted.
    std::vector<std::pair<std::string, std::string>> params;

    // The value of a Digest parameter, or nullptr.
    const std::string* Param(std::string_view name) const;
};

// False when the value is not a well-formed Basic or Digest credential
// (a different scheme parses as Other).
bool ParseAuthorization(std::string_view value, Authorization* out);

using Clock = std::chrono::steady_clock;

// Issues and checks Digest nonces: the issue time in milliseconds since the
// keeper was made, and a MAC of it, in hex.
class NonceKeeper {
public:
    NonceKeeper(); // a fresh random key
    std::string Make(Clock::time_point now) const;
    enum class State { Fresh, Expired, Foreign };
    State Check(std::string_view nonce, Clock::time_point now, std::chrono::milliseconds lifetime) const;

private:
    std::string Mac(std::string_view time) const;
    unsigned char m_key[32];
    Clock::time_point m_epoch;
};

enum class Verdict {
    Admitted,
    Rejected, // wrong user or password, or a credential that cannot be checked
    Stale,    // the right password with a nonce that is old or not ours: ask again
};

Verdict CheckBasic(const Authorization& credential, const StoredCredentials& stored);
Verdict CheckDigest(const Authorization& credential, std::string_view method, std::string_view target,
    const StoredCredentials& stored, const NonceKeeper& nonces, Clock::time_point now, std::chrono::milliseconds lifetime);

} // namespace viewerauth
