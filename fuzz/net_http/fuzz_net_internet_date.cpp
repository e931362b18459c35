// Internet date parsing and formatting on arbitrary text.
#include "net/NetInternetDate.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    const TNetDateTime parsed = ParseInternetDate(text);
    const TNetDateTime local = InternetDateToLocal(std::string(reinterpret_cast<const char*>(data), size));
    FormatInternetDate(parsed);
    FormatInternetDate(local);
    return 0;
}
