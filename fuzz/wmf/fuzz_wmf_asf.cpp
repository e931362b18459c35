// ASF headers and data packets: the first byte picks which reader gets the
// rest (the network and file sinks read what the writer produced; players'
// streams in tests are read back the same way).

#include "platform/wmf/AsfFormat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    if (data[0] & 1) {
        asf::HeaderInfo info;
        if (asf::ParseHeader(body, length, &info) && info.headerObjectSize > length)
            std::abort();
        std::vector<uint8_t> copy(body, body + length);
        asf::PatchHeaderForLive(copy);
    } else {
        asf::PacketInfo info;
        if (asf::ParsePacket(body, length, &info)) {
            for (const auto& p : info.payloads)
                if (p.dataOffset > length || p.dataLength > length - p.dataOffset)
                    std::abort();
            asf::PacketStartsKeyFrame(info, {1, 2});
        }
    }
    return 0;
}
