// The answers of an echo over IPv6: the reply's body and the address in it.
#include "net/NetIPv6.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string body = input;
    try {
        body = BodyOfHttpReply(input, "http://[::1]/", 64 * 1024);
        if (body.size() > 64 * 1024)
            std::abort();
    } catch (const std::exception&) {
    }
    const std::string address = PublicIPv6FromEchoAnswer(body);
    // An address found is public, and reads back as itself.
    if (!address.empty() && (!IsPublicIPv6(address) || PublicIPv6FromEchoAnswer("Address: " + address + "<") != address))
        std::abort();
    return 0;
}
