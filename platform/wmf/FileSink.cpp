// The writer's file sink: the ASF stream into a file, with the totals
// written into the header when writing ends.

#include "platform/wmf/WMWriter.h"

#include <cstdio>
#include <mutex>

namespace {

class FileSink final : public ComObject<IWMWriterFileSink> {
public:
    ~FileSink() override { CloseFile(); }

    HRESULT Open(const std::string& fileName) override
    {
        std::lock_guard lock(m_lock);
        m_name = fileName;
        return S_OK;
    }

    HRESULT OnHeader(const uint8_t* header, size_t length) override
    {
        if (!header)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        CloseFile();
        m_header.assign(header, header + length);
        asf::HeaderInfo info;
        if (!asf::ParseHeader(header, length, &info))
            return E_INVALIDARG;
        m_preroll = info.prerollMs;
        m_packets = 0;
        m_endMs = 0;
        if (m_name.empty())
            return S_OK;
        m_file = std::fopen(m_name.c_str(), "wb");
        if (!m_file)
            return E_ACCESSDENIED;
        if (std::fwrite(header, 1, length, m_file) != length) {
            CloseFile();
            return STG_E_READFAULT;
        }
        return S_OK;
    }

    HRESULT IsRealTime(BOOL* realTime) override
    {
        if (!realTime)
            return E_POINTER;
        *realTime = 0;
        return S_OK;
    }

    HRESULT OnDataUnit(const asf::DataPacketPtr& packet) override
    {
        if (!packet)
            return E_POINTER;
        std::lock_guard lock(m_lock);
        if (!m_file)
            return S_OK;
        if (std::fwrite(packet->bytes.data(), 1, packet->bytes.size(), m_file) != packet->bytes.size()) {
            CloseFile();
            return STG_E_READFAULT;
        }
        ++m_packets;
        asf::PacketInfo info;
        if (asf::ParsePacket(packet->bytes.data(), packet->bytes.size(), &info))
            m_endMs = std::max<uint64_t>(m_endMs, static_cast<uint64_t>(info.sendTimeMs) + info.durationMs);
        return S_OK;
    }

    HRESULT OnEndWriting() override
    {
        std::lock_guard lock(m_lock);
        if (!m_file)
            return S_OK;
        // The header again, now with the size, packet count and durations.
        const long size = std::ftell(m_file);
        auto header = m_header;
        if (size > 0 && asf::PatchHeaderForFile(header, static_cast<uint64_t>(size), m_packets,
                            (m_endMs + m_preroll) * 10000, m_endMs * 10000)
            && std::fseek(m_file, 0, SEEK_SET) == 0)
            std::fwrite(header.data(), 1, header.size(), m_file);
        CloseFile();
        return S_OK;
    }

private:
    void CloseFile()
    {
        if (m_file)
            std::fclose(m_file);
        m_file = nullptr;
    }

    std::mutex m_lock;
    std::string m_name;
    std::FILE* m_file = nullptr;
    std::vector<uint8_t> m_header;
    uint64_t m_packets = 0;
    uint64_t m_endMs = 0;
    uint64_t m_preroll = 0;
};

} // namespace

HRESULT WMCreateWriterFileSink(IWMWriterFileSink** sink)
{
    if (!sink)
        return E_POINTER;
    *sink = NewComObject<FileSink>();
    return S_OK;
}
