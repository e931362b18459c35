#include "bench/support/BenchMedia.h"

#include "platform/core/Text.h"
#include "platform/wmf/AsfFormat.h"
#include "platform/wmf/WMAsfWriter.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <string>

namespace bench {

std::vector<uint8_t> BarsPicture(int n, int width, int height, int codeBits)
{
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
    const int top = codeBits > 0 ? 32 : 0; // the square keeps clear of the code row
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 4];
            const int bar = (x * 8 / width) % 8;
            p[0] = bar & 1 ? 230 : 20;
            p[1] = bar & 2 ? 230 : 20;
            p[2] = bar & 4 ? 230 : 20;
            const int sx = (n * 3) % (width - 24), sy = top + (n * 2) % (height - 24 - top);
            if (x >= sx && x < sx + 24 && y >= sy && y < sy + 24)
                p[0] = p[1] = p[2] = 255;
            p[1] = static_cast<uint8_t>(p[1] ^ (((x * 7 + y * 13 + n * 17) % 11) == 0 ? 8 : 0));
            if (y < 16 && x / 16 < codeBits)
                p[0] = p[1] = p[2] = (n >> (x / 16)) & 1 ? 255 : 0;
        }
    return out;
}

bool ConfigureDefaultRow(IBaseFilter* writer)
{
    auto config = QueryInterfacePtr<IConfigAsfWriter>(writer);
    std::string xml = wmftest::BaseProfileXml();
    for (auto [from, to] : std::map<std::string, std::string>{{"bitrate=\"32000\"", "bitrate=\"93000\""},
             {"biwidth=\"240\"", "biwidth=\"320\""}, {"biheight=\"176\"", "biheight=\"240\""}})
        for (size_t at = xml.find(from); at != std::string::npos; at = xml.find(from))
            xml.replace(at, from.size(), to);
    ComPtr<IWMProfileManager> m;
    WMCreateProfileManager(m.GetAddressOf());
    ComPtr<IWMProfile> row;
    return config && !xml.empty() && SUCCEEDED(m->LoadProfileByData(Utf8ToUtf16(xml).c_str(), row.GetAddressOf()))
        && SUCCEEDED(config->ConfigureFilterUsingProfile(row.Get()));
}

void FollowAsfStream(int fd, const std::atomic<bool>& done,
    const std::function<void(int64_t ms, std::chrono::steady_clock::time_point arrived)>& onObjectStart)
{
    std::string buffer;
    size_t headerEnd = std::string::npos, at = 0;
    asf::HeaderInfo info;
    char chunk[65536];
    while (!done) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        const auto now = std::chrono::steady_clock::now();
        buffer.append(chunk, static_cast<size_t>(n));
        if (headerEnd == std::string::npos) {
            const size_t body = buffer.find("\r\n\r\n");
            if (body == std::string::npos)
                continue;
            const auto* h = reinterpret_cast<const uint8_t*>(buffer.data() + body + 4);
            if (!asf::ParseHeader(h, buffer.size() - body - 4, &info)
                || buffer.size() < body + 4 + info.headerObjectSize + asf::kDataObjectHeaderSize)
                continue;
            headerEnd = at = body + 4 + info.headerObjectSize + asf::kDataObjectHeaderSize;
        }
        // The first byte of an object is there as soon as its payload header is.
        while (at + 30 <= buffer.size()) {
            const size_t available = std::min<size_t>(info.packetSize, buffer.size() - at);
            std::vector<uint8_t> packet(buffer.begin() + static_cast<long>(at), buffer.begin() + static_cast<long>(at + available));
            packet.resize(info.packetSize, 0);
            asf::PacketInfo pi;
            if (asf::ParsePacket(packet.data(), packet.size(), &pi))
                for (const auto& pl : pi.payloads)
                    if (pl.objectOffset == 0 && pl.dataOffset <= available)
                        onObjectStart(static_cast<int64_t>(pl.presentationMs) - static_cast<int64_t>(info.prerollMs), now);
            if (available < info.packetSize)
                break;
            at += info.packetSize;
        }
    }
}

} // namespace bench
