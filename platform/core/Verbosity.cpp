#include "platform/core/Verbosity.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
bool FromEnvironment()
{
    const char* v = std::getenv("LUMORA_DEBUG");
    return v && *v && std::strcmp(v, "0") != 0;
}

// Read from library threads (FFmpeg logs from its encoder threads).
std::atomic<bool>& Flag()
{
    static std::atomic<bool> verbose {FromEnvironment()};
    return verbose;
}
} // namespace

bool VerboseConsole() { return Flag().load(std::memory_order_relaxed); }

void SetVerboseConsole(bool verbose) { Flag().store(verbose, std::memory_order_relaxed); }
