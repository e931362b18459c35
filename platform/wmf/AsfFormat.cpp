// ASF header reading and patching, data packet writing and reading.

#include "platform/wmf/AsfFormat.h"

#include <algorithm>
#include <cstring>

namespace asf {

namespace {

struct Id {
    uint8_t bytes[16];
};

// GUIDs as they lie in the file: Data1..3 little-endian, Data4 as is.
constexpr Id MakeId(uint32_t d1, uint16_t d2, uint16_t d3, uint64_t d4)
{
    Id id{};
    for (int i = 0; i < 4; ++i)
        id.bytes[i] = static_cast<uint8_t>(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        id.bytes[4 + i] = static_cast<uint8_t>(d2 >> (8 * i));
        id.bytes[6 + i] = static_cast<uint8_t>(d3 >> (8 * i));
    }
    for (int i = 0; i < 8; ++i)
        id.bytes[8 + i] = static_cast<uint8_t>(d4 >> (8 * (7 - i)));
    return id;
}

constexpr Id kHeaderObject = MakeId(0x75B22630, 0x668E, 0x11CF, 0xA6D900AA0062CE6CULL);
constexpr Id kDataObject = MakeId(0x75B22636, 0x668E, 0x11CF, 0xA6D900AA0062CE6CULL);
constexpr Id kFileProperties = MakeId(0x8CABDCA1, 0xA947, 0x11CF, 0x8EE400C00C205365ULL);
constexpr Id kStreamProperties = MakeId(0xB7DC0791, 0xA9B7, 0x11CF, 0x8EE600C00C205365ULL);
constexpr Id kStreamBitrateProperties = MakeId(0x7BF875CE, 0x468D, 0x11D1, 0x8D82006097C9A2B2ULL);
constexpr Id kHeaderExtension = MakeId(0x5FBF03B5, 0xA92E, 0x11CF, 0x8EE300C00C205365ULL);
constexpr Id kHeaderExtensionReserved = MakeId(0xABD3D211, 0xA9BA, 0x11CF, 0x8EE600C00C205365ULL);
constexpr Id kExtendedStreamProperties = MakeId(0x14E6A5CB, 0xC672, 0x4332, 0x8399A96952065B5AULL);
constexpr Id kContentDescription = MakeId(0x75B22633, 0x668E, 0x11CF, 0xA6D900AA0062CE6CULL);
constexpr Id kVideoMedia = MakeId(0xBC19EFC0, 0x5B4D, 0x11CF, 0xA8FD00805F5C442BULL);
constexpr Id kAudioMedia = MakeId(0xF8699E40, 0x5B4D, 0x11CF, 0xA8FD00805F5C442BULL);

bool IdAt(const uint8_t* p, const Id& id) { return std::memcmp(p, id.bytes, 16) == 0; }

uint64_t Read(const uint8_t* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void Write(uint8_t* p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Append(std::vector<uint8_t>& out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// File Properties Object field offsets.
constexpr size_t kFpSize = 104;
constexpr size_t kFpFileSize = 40;
constexpr size_t kFpCreationDate = 48;
constexpr size_t kFpPacketCount = 56;
constexpr size_t kFpPlayDuration = 64;
constexpr size_t kFpSendDuration = 72;
constexpr size_t kFpPreroll = 80;
constexpr size_t kFpFlags = 88;
constexpr size_t kFpMinPacket = 92;
constexpr size_t kFpMaxPacket = 96;
constexpr size_t kFpMaxBitrate = 100;

std::string Utf16LeToUtf8(const uint8_t* p, size_t bytes)
{
    std::string out;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const uint32_t c = p[i] | (p[i + 1] << 8);
        if (c == 0)
            break;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

// Header Object layout: GUID (16), size (8), object count (4), two reserved
// bytes, then the objects, each GUID (16) + size (8) + body.
bool ParseHeader(const uint8_t* data, size_t size, HeaderInfo* info)
{
    HeaderInfo h;
    if (!data || size < 30 || !IdAt(data, kHeaderObject))
        return false;
    const uint64_t total = Read(data + 16, 8);
    if (total < 30 || total > size)
        return false;
    h.headerObjectSize = static_cast<size_t>(total);
    bool haveFileProperties = false;
    size_t at = 30;
    while (at < h.headerObjectSize) {
        if (h.headerObjectSize - at < 24)
            return false;
        const uint8_t* obj = data + at;
        const uint64_t objSize = Read(obj + 16, 8);
        if (objSize < 24 || objSize > h.headerObjectSize - at)
            return false;
        if (IdAt(obj, kFileProperties)) {
            if (objSize < kFpSize)
                return false;
            h.filePropertiesOffset = at;
            h.prerollMs = Read(obj + kFpPreroll, 8);
            h.creationTime = Read(obj + kFpCreationDate, 8);
            h.maxBitrate = static_cast<uint32_t>(Read(obj + kFpMaxBitrate, 4));
            h.flags = static_cast<uint32_t>(Read(obj + kFpFlags, 4));
            const uint32_t minPacket = static_cast<uint32_t>(Read(obj + kFpMinPacket, 4));
            const uint32_t maxPacket = static_cast<uint32_t>(Read(obj + kFpMaxPacket, 4));
            if (minPacket != maxPacket || minPacket == 0 || minPacket > kMaxPacketSize)
                return false;
            h.packetSize = minPacket;
            haveFileProperties = true;
        } else if (IdAt(obj, kStreamProperties)) {
            if (objSize < 78)
                return false;
            const uint8_t number = obj[72] & 0x7F;
            if (IdAt(obj + 24, kVideoMedia))
                h.videoStreams.push_back(number);
            else if (IdAt(obj + 24, kAudioMedia))
                h.audioStreams.push_back(number);
        } else if (IdAt(obj, kStreamBitrateProperties)) {
            if (objSize < 26)
                return false;
            const size_t count = static_cast<size_t>(Read(obj + 24, 2));
            if (count * 6 > objSize - 26)
                return false;
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* record = obj + 26 + i * 6;
                h.streamBitrates.emplace_back(static_cast<uint8_t>(record[0] & 0x7F), static_cast<uint32_t>(Read(record + 2, 4)));
            }
        } else if (IdAt(obj, kContentDescription)) {
            if (objSize < 34)
                return false;
            const size_t titleLength = static_cast<size_t>(Read(obj + 24, 2));
            if (titleLength > objSize - 34)
                return false;
            h.title = Utf16LeToUtf8(obj + 34, titleLength);
        }
        at += static_cast<size_t>(objSize);
    }
    if (!haveFileProperties)
        return false;
    if (size >= h.headerObjectSize + kDataObjectHeaderSize && !IdAt(data + h.headerObjectSize, kDataObject))
        return false;
    if (info)
        *info = std::move(h);
    return true;
}

bool PatchHeaderForLive(std::vector<uint8_t>& header)
{
    HeaderInfo h;
    if (!ParseHeader(header.data(), header.size(), &h) || header.size() < h.headerObjectSize + kDataObjectHeaderSize)
        return false;
    uint8_t* fp = header.data() + h.filePropertiesOffset;
    Write(fp + kFpFileSize, 0, 8);
    Write(fp + kFpPacketCount, 0, 8);
    Write(fp + kFpPlayDuration, 0, 8);
    Write(fp + kFpSendDuration, 0, 8);
    Write(fp + kFpFlags, 0x01, 4); // broadcast
    if (Read(fp + kFpMaxBitrate, 4) == 0)
        Write(fp + kFpMaxBitrate, 1, 4);
    uint8_t* dataObject = header.data() + h.headerObjectSize;
    Write(dataObject + 16, kDataObjectHeaderSize, 8);
    Write(dataObject + 40, 0, 8);
    return true;
}

uint64_t FileTimeFromUnixMicros(int64_t micros)
{
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
    return static_cast<uint64_t>(std::max<int64_t>(micros, 0) * 10 + kUnixEpochAsFileTime);
}

bool CompleteHeader(std::vector<uint8_t>& header, const StreamFacts& facts)
{
    HeaderInfo h;
    if (!ParseHeader(header.data(), header.size(), &h) || header.size() < h.headerObjectSize + kDataObjectHeaderSize)
        return false;
    uint8_t* fp = header.data() + h.filePropertiesOffset;
    Write(fp + kFpCreationDate, facts.creationTime, 8);
    Write(fp + kFpPreroll, facts.prerollMs, 8);
    Write(fp + kFpMaxBitrate, facts.maxBitrate, 4);

    // Drop an earlier bitrate object, then put ours right after the File
    // Properties Object (players read the objects in any order).
    uint64_t count = Read(header.data() + 24, 4);
    size_t at = 30;
    size_t headerSize = h.headerObjectSize;
    while (at + 24 <= headerSize) {
        const auto objSize = static_cast<size_t>(Read(header.data() + at + 16, 8));
        if (IdAt(header.data() + at, kStreamBitrateProperties)) {
            header.erase(header.begin() + static_cast<long>(at), header.begin() + static_cast<long>(at + objSize));
            headerSize -= objSize;
            --count;
            continue;
        }
        at += objSize;
    }
    if (!facts.streamBitrates.empty()) {
        std::vector<uint8_t> object(kStreamBitrateProperties.bytes, kStreamBitrateProperties.bytes + 16);
        Append(object, 26 + facts.streamBitrates.size() * 6, 8);
        Append(object, facts.streamBitrates.size(), 2);
        for (const auto& [stream, bitrate] : facts.streamBitrates) {
            Append(object, stream & 0x7F, 2);
            Append(object, bitrate, 4);
        }
        // The File Properties Object may have moved if an object before it went.
        size_t fpAt = 30;
        while (fpAt + 24 <= headerSize && !IdAt(header.data() + fpAt, kFileProperties))
            fpAt += static_cast<size_t>(Read(header.data() + fpAt + 16, 8));
        const size_t insertAt = fpAt + kFpSize <= headerSize ? fpAt + static_cast<size_t>(Read(header.data() + fpAt + 16, 8)) : 30;
        header.insert(header.begin() + static_cast<long>(insertAt), object.begin(), object.end());
        headerSize += object.size();
        ++count;
    }
    if (!facts.extended.empty()) {
        std::vector<uint8_t> objects;
        for (const auto& e : facts.extended) {
            const size_t start = objects.size();
            objects.insert(objects.end(), kExtendedStreamProperties.bytes, kExtendedStreamProperties.bytes + 16);
            Append(objects, 88, 8); // fixed part only
            Append(objects, 0, 8);  // start time
            Append(objects, 0, 8);  // end time (live: none)
            Append(objects, e.bitrate, 4);
            Append(objects, e.bufferMs, 4);
            Append(objects, e.bufferMs, 4); // initial buffer fullness
            Append(objects, e.bitrate, 4);  // alternate: the same bucket
            Append(objects, e.bufferMs, 4);
            Append(objects, e.bufferMs, 4);
            Append(objects, 0, 4);          // maximum object size: unknown
            Append(objects, 0, 4);          // flags: live, nothing to seek or resend
            Append(objects, e.stream & 0x7F, 2);
            Append(objects, 0, 2);          // language index
            Append(objects, e.timePerFrame, 8);
            Append(objects, 0, 2);          // stream names
            Append(objects, 0, 2);          // payload extension systems
            Write(objects.data() + start + 16, objects.size() - start, 8);
        }
        // Into the Header Extension Object (a new one when the muxer wrote none).
        size_t ext = 30;
        while (ext + 24 <= headerSize && !IdAt(header.data() + ext, kHeaderExtension))
            ext += static_cast<size_t>(Read(header.data() + ext + 16, 8));
        if (ext + 46 > headerSize) {
            std::vector<uint8_t> object(kHeaderExtension.bytes, kHeaderExtension.bytes + 16);
            Append(object, 46, 8);
            object.insert(object.end(), kHeaderExtensionReserved.bytes, kHeaderExtensionReserved.bytes + 16);
            Append(object, 6, 2);
            Append(object, 0, 4);
            ext = headerSize;
            header.insert(header.begin() + static_cast<long>(ext), object.begin(), object.end());
            headerSize += object.size();
            ++count;
        }
        const auto extSize = static_cast<size_t>(Read(header.data() + ext + 16, 8));
        header.insert(header.begin() + static_cast<long>(ext + extSize), objects.begin(), objects.end());
        Write(header.data() + ext + 16, extSize + objects.size(), 8);
        Write(header.data() + ext + 42, Read(header.data() + ext + 42, 4) + objects.size(), 4);
        headerSize += objects.size();
    }
    Write(header.data() + 16, headerSize, 8);
    Write(header.data() + 24, count, 4);
    return ParseHeader(header.data(), header.size(), nullptr);
}

bool PatchHeaderForFile(std::vector<uint8_t>& header, uint64_t fileSize, uint64_t packetCount,
    uint64_t playDuration100ns, uint64_t sendDuration100ns)
{
    HeaderInfo h;
    if (!ParseHeader(header.data(), header.size(), &h) || header.size() < h.headerObjectSize + kDataObjectHeaderSize)
        return false;
    uint8_t* fp = header.data() + h.filePropertiesOffset;
    Write(fp + kFpFileSize, fileSize, 8);
    Write(fp + kFpPacketCount, packetCount, 8);
    Write(fp + kFpPlayDuration, playDuration100ns, 8);
    Write(fp + kFpSendDuration, sendDuration100ns, 8);
    Write(fp + kFpFlags, 0x02, 4); // seekable
    uint8_t* dataObject = header.data() + h.headerObjectSize;
    Write(dataObject + 16, kDataObjectHeaderSize + packetCount * h.packetSize, 8);
    Write(dataObject + 40, packetCount, 8);
    return true;
}

// ---- reading packets ------------------------------------------------------------

bool ParsePacket(const uint8_t* data, size_t size, PacketInfo* info)
{
    PacketInfo out;
    size_t p = 0;
    auto need = [&](size_t n) { return p <= size && size - p >= n; };
    auto readVar = [&](int type, uint32_t* v) {
        static constexpr int widths[4] = {0, 1, 2, 4};
        const int w = widths[type & 3];
        if (!need(static_cast<size_t>(w)))
            return false;
        *v = static_cast<uint32_t>(Read(data + p, w));
        p += static_cast<size_t>(w);
        return true;
    };
    if (!data || !need(1))
        return false;
    if (data[0] & 0x80) {
        // Error correction data: length in the low nibble, length type 00.
        if (data[0] & 0x60)
            return false;
        p = 1 + (data[0] & 0x0F);
    }
    if (!need(2))
        return false;
    const uint8_t lengthFlags = data[p];
    const uint8_t propertyFlags = data[p + 1];
    p += 2;
    const bool multiple = lengthFlags & 0x01;
    uint32_t packetLength = 0, sequence = 0, padding = 0;
    if (!readVar((lengthFlags >> 5) & 3, &packetLength) || !readVar((lengthFlags >> 1) & 3, &sequence)
        || !readVar((lengthFlags >> 3) & 3, &padding))
        return false;
    if (!need(6))
        return false;
    out.sendTimeMs = static_cast<uint32_t>(Read(data + p, 4));
    out.durationMs = static_cast<uint16_t>(Read(data + p + 4, 2));
    p += 6;
    size_t end = size;
    if (packetLength) {
        if (packetLength > size || packetLength < p)
            return false;
        end = packetLength;
    }
    if (padding > end - p)
        return false;
    end -= padding;
    out.paddingLength = padding + (size - (packetLength ? packetLength : size));
    if (((propertyFlags >> 6) & 3) != 1)
        return false; // stream numbers are always one byte

    int count = 1, payloadLengthType = 0;
    if (multiple) {
        if (!need(1))
            return false;
        count = data[p] & 0x3F;
        payloadLengthType = (data[p] >> 6) & 3;
        ++p;
        if (count == 0 || payloadLengthType == 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        Payload pl;
        if (p >= end)
            return false;
        pl.stream = data[p] & 0x7F;
        pl.keyFrame = data[p] & 0x80;
        ++p;
        uint32_t object = 0, offset = 0, replicated = 0;
        if (!readVar((propertyFlags >> 4) & 3, &object) || !readVar((propertyFlags >> 2) & 3, &offset)
            || !readVar(propertyFlags & 3, &replicated))
            return false;
        pl.objectNumber = static_cast<uint8_t>(object);
        if (replicated == 1) {
            // Compressed payload: the offset field holds the presentation
            // time, then one byte of time delta, then sub-payloads.
            if (!need(1))
                return false;
            pl.presentationMs = offset;
            ++p;
        } else {
            if ((replicated != 0 && replicated < 8) || !need(replicated))
                return false;
            pl.objectOffset = offset;
            if (replicated >= 8) {
                pl.objectSize = static_cast<uint32_t>(Read(data + p, 4));
                pl.presentationMs = static_cast<uint32_t>(Read(data + p + 4, 4));
            }
            p += replicated;
        }
        uint32_t length = 0;
        if (multiple) {
            if (!readVar(payloadLengthType, &length))
                return false;
        } else {
            if (p > end)
                return false;
            length = static_cast<uint32_t>(end - p);
        }
        if (p > end || length > end - p)
            return false;
        pl.dataOffset = p;
        pl.dataLength = length;
        p += length;
        out.payloads.push_back(pl);
    }
    if (info)
        *info = std::move(out);
    return true;
}

bool PacketStartsKeyFrame(const PacketInfo& info, const std::vector<uint8_t>& streams)
{
    for (const Payload& pl : info.payloads) {
        if (!pl.keyFrame || pl.objectOffset != 0)
            continue;
        if (streams.empty() || std::find(streams.begin(), streams.end(), pl.stream) != streams.end())
            return true;
    }
    return false;
}

// ---- writing packets ------------------------------------------------------------

PacketWriter::PacketWriter(uint32_t packetSize, uint32_t prerollMs, Emit emit)
    : m_packetSize(std::clamp<uint32_t>(packetSize, 64, static_cast<uint32_t>(kMaxPacketSize))),
      m_prerollMs(prerollMs),
      m_emit(std::move(emit))
{
}

void PacketWriter::OpenPacket(uint32_t timeMs)
{
    m_open = true;
    m_payloads.clear();
    m_payloadCount = 0;
    m_keyStart = false;
    m_firstTime = m_lastTime = timeMs;
    m_firstStartObject = 0;
}

void PacketWriter::AddObject(uint8_t stream, bool keyFrame, bool leading, uint32_t timeMs, const uint8_t* data, size_t size,
    size_t maxFragment)
{
    stream &= 0x7F;
    ++m_objectSequence;
    if (keyFrame && leading && m_open)
        Flush();
    const uint8_t objectNumber = m_objectNumbers[stream]++;
    size_t offset = 0;
    do {
        if (!m_open)
            OpenPacket(timeMs);
        const size_t room = m_packetSize - kPacketHeaderMax - m_payloads.size();
        if (room < kPayloadHeader + 1 || m_payloadCount == kMaxPayloads) {
            Flush();
            continue;
        }
        size_t length = std::min(size - offset, room - kPayloadHeader);
        if (maxFragment)
            length = std::min(length, maxFragment);
        m_payloads.push_back(static_cast<uint8_t>(stream | (keyFrame ? 0x80 : 0)));
        m_payloads.push_back(objectNumber);
        Append(m_payloads, offset, 4);
        m_payloads.push_back(8);
        Append(m_payloads, size, 4);
        Append(m_payloads, static_cast<uint64_t>(timeMs) + m_prerollMs, 4);
        Append(m_payloads, length, 2);
        if (length)
            m_payloads.insert(m_payloads.end(), data + offset, data + offset + length);
        ++m_payloadCount;
        m_lastTime = std::max(m_lastTime, timeMs);
        if (offset == 0) {
            if (!m_firstStartObject)
                m_firstStartObject = m_objectSequence;
            if (keyFrame && leading)
                m_keyStart = true;
        }
        offset += length;
        if (m_packetSize - kPacketHeaderMax - m_payloads.size() < kPayloadHeader + 1 || (maxFragment && length == maxFragment))
            Flush();
    } while (offset < size);
    // An earlier object's first bytes are still waiting: send them now.
    if (m_open && m_firstStartObject && m_firstStartObject < m_objectSequence)
        Flush();
}

void PacketWriter::Flush()
{
    if (!m_open)
        return;
    const size_t used = m_payloads.size();
    // Header without padding length is 12 bytes (with the payload flags byte).
    size_t padField = 0, padding = m_packetSize - 12 - used;
    if (padding != 0) {
        if (m_packetSize - 13 - used <= 255) {
            padField = 1;
            padding = m_packetSize - 13 - used;
        } else {
            padField = 2;
            padding = m_packetSize - 14 - used;
        }
    }
    auto packet = std::make_shared<DataPacket>();
    std::vector<uint8_t>& b = packet->bytes;
    b.assign(m_packetSize, 0);
    size_t at = 0;
    auto put = [&](uint64_t v, size_t bytes) {
        Write(b.data() + at, v, static_cast<int>(bytes));
        at += bytes;
    };
    put(0x82, 1);
    put(0, 2);
    put(0x01 | (padField == 1 ? 0x08 : padField == 2 ? 0x10 : 0), 1);
    put(0x5D, 1);
    if (padField)
        put(padding, padField);
    put(m_firstTime, 4);
    put(std::min<uint32_t>(m_lastTime - m_firstTime, 0xFFFF), 2);
    put(static_cast<uint64_t>(m_payloadCount) | 0x80, 1);
    if (used)
        std::memcpy(b.data() + at, m_payloads.data(), used);
    packet->sendTimeMs = m_firstTime;
    packet->keyFrameStart = m_keyStart;
    m_open = false;
    m_payloads.clear();
    ++m_packetCount;
    if (m_emit)
        m_emit(std::move(packet));
}

} // namespace asf
