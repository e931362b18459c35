// Authorization headers as any client may send them: the Digest fields with
// their quoting, Basic's base64, and the checks that run on what parsed.

#include "platform/wmf/ViewerAuth.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace viewerauth;
    static const StoredCredentials stored = StoreCredentials("viewer", "pw", 1);
    static const NonceKeeper nonces;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Authorization credential;
    if (!ParseAuthorization(text, &credential))
        return 0;
    if (credential.params.size() > 32)
        std::abort();
    // A guess that gets in would be a fault: the password is not in any input.
    if (CheckBasic(credential, stored) == Verdict::Admitted && credential.password != "pw")
        std::abort();
    if (CheckDigest(credential, "GET", "/", stored, nonces, Clock::now(), std::chrono::seconds(60)) == Verdict::Admitted)
        std::abort();
    std::string decoded;
    DecodeBase64(text, &decoded);
    return 0;
}
