#pragma once
// ASF container pieces the writer and the network sink need beside the
// FFmpeg muxer: reading and patching the header, and cutting media objects
// into fixed-size data packets (and reading those packets back).
//
// Data packet layout written by AsfPacketWriter (all little-endian):
//
//   off size field
//   0   1    error correction flags 0x82 (present, 2 bytes of data)
//   1   2    error correction data (0)
//   3   1    length type flags: 0x01 multiple payloads | padding length type
//   4   1    property flags 0x5D (replicated BYTE, offset DWORD, object BYTE, stream BYTE)
//   5   0-2  padding length (BYTE or WORD, absent when there is none)
//   .   4    send time, milliseconds
//   .   2    duration, milliseconds
//   .   1    payload flags: payload count | 0x80 (payload lengths are WORDs)
//   then per payload:
//       1    stream number | 0x80 for a key frame
//       1    media object number (per stream, wraps at 256)
//       4    offset of this fragment into the media object
//       1    replicated data length (8)
//       4    media object size
//       4    presentation time, milliseconds (preroll included)
//       2    payload length
//       n    payload data
//   then padding bytes (0) up to the packet size.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace asf {

// Sizes of the fixed parts.
inline constexpr size_t kDataObjectHeaderSize = 50;
inline constexpr size_t kMaxPacketSize = 65527;

struct HeaderInfo {
    size_t headerObjectSize = 0;     // the Header Object alone
    size_t filePropertiesOffset = 0; // from the start of the header
    uint32_t packetSize = 0;
    uint64_t prerollMs = 0;
    uint64_t creationTime = 0;       // FILETIME
    uint32_t maxBitrate = 0;
    uint32_t flags = 0;
    std::vector<std::pair<uint8_t, uint32_t>> streamBitrates; // from the Stream Bitrate Properties Object
    std::vector<uint8_t> videoStreams;
    std::vector<uint8_t> audioStreams;
    std::string title;               // from the Content Description Object
};

// Reads a Header Object (and, when present right after it, the 50-byte start
// of the Data Object). False for anything malformed; lengths are checked
// before every read.
bool ParseHeader(const uint8_t* data, size_t size, HeaderInfo* info);

// Marks the header (Header Object + 50 bytes of Data Object) as a live
// broadcast: file size, packet count and durations 0, broadcast flag, Data
// Object size 50. False when the header cannot be parsed.
bool PatchHeaderForLive(std::vector<uint8_t>& header);

// What the writer knows about its stream beyond what the muxer wrote.
struct StreamFacts {
    uint64_t creationTime = 0;  // FILETIME: 100-ns units since 1601-01-01 UTC
    uint32_t prerollMs = 0;     // presentation times lead send times by this
    uint32_t maxBitrate = 0;    // bits per second, all streams with packet overhead
    std::vector<std::pair<uint8_t, uint32_t>> streamBitrates; // stream number, average bits per second
    // Extended stream properties (players read the rate and frame rate here).
    struct Extended {
        uint8_t stream = 0;
        uint32_t bitrate = 0;         // leaky bucket rate, bits per second
        uint32_t bufferMs = 0;        // leaky bucket size
        uint64_t timePerFrame = 0;    // 100-ns units, 0 for audio
    };
    std::vector<Extended> extended;
};

// FILETIME of a moment given in Unix time (microseconds).
uint64_t FileTimeFromUnixMicros(int64_t micros);

// Puts the facts into a header (Header Object + 50 bytes of Data Object):
// creation date, preroll and maximum bitrate of the File Properties Object,
// a Stream Bitrate Properties Object (replacing one already there), and
// an Extended Stream Properties Object per stream in the Header Extension.
// False when the header cannot be parsed.
bool CompleteHeader(std::vector<uint8_t>& header, const StreamFacts& facts);

// Writes the totals of a finished recording into its header.
bool PatchHeaderForFile(std::vector<uint8_t>& header, uint64_t fileSize, uint64_t packetCount,
    uint64_t playDuration100ns, uint64_t sendDuration100ns);

struct Payload {
    uint8_t stream = 0;
    bool keyFrame = false;
    uint8_t objectNumber = 0;
    uint32_t objectOffset = 0;
    uint32_t objectSize = 0;
    uint32_t presentationMs = 0;
    size_t dataOffset = 0; // into the packet
    size_t dataLength = 0;
};

struct PacketInfo {
    uint32_t sendTimeMs = 0;
    uint16_t durationMs = 0;
    size_t paddingLength = 0;
    std::vector<Payload> payloads;
};

// Reads one data packet of the header's fixed packet size. Handles every
// length-type combination of the format (single and multiple payloads,
// explicit packet length); compressed payloads are reported as one payload
// of the whole block. False for anything malformed.
bool ParsePacket(const uint8_t* data, size_t size, PacketInfo* info);

// True when the packet holds the start (offset 0) of a key frame of one of
// `streams` (any stream when the list is empty).
bool PacketStartsKeyFrame(const PacketInfo& info, const std::vector<uint8_t>& streams);

// One finished data packet. Shared read-only between sinks and clients.
struct DataPacket {
    std::vector<uint8_t> bytes;
    uint32_t sendTimeMs = 0;
    bool keyFrameStart = false; // holds the start of a key frame of a leading stream
};
using DataPacketPtr = std::shared_ptr<const DataPacket>;

// Cuts media objects into packets of a fixed size. A packet is handed on as
// soon as it is full; so that a frame's first bytes are never held back
// waiting for later frames, a packet that still holds the start of an
// earlier object after the next object was added is padded and handed on.
// Key frames of a leading stream always begin a new packet, so a player
// joining at that packet starts cleanly.
class PacketWriter {
public:
    using Emit = std::function<void(DataPacketPtr)>;
    PacketWriter(uint32_t packetSize, uint32_t prerollMs, Emit emit);

    // `leading`: key frames of this stream mark packets where players may join.
    // `maxFragment` (0 = no limit) caps the bytes of the object per packet:
    // a constant-bitrate stream spreads objects over more packets (and their
    // padding) when the encoder leaves it short of its rate.
    void AddObject(uint8_t stream, bool keyFrame, bool leading, uint32_t timeMs, const uint8_t* data, size_t size,
        size_t maxFragment = 0);
    // Pads and hands on the open packet, if any.
    void Flush();

    uint32_t PacketSize() const { return m_packetSize; }
    uint64_t PacketCount() const { return m_packetCount; }
    // Payload bytes a packet can carry with one payload in it.
    static size_t FixedOverhead() { return kPacketHeaderMax + kPayloadHeader; }

private:
    static constexpr size_t kPacketHeaderMax = 14; // with a WORD padding length
    static constexpr size_t kPayloadHeader = 17;
    static constexpr int kMaxPayloads = 63;

    void OpenPacket(uint32_t timeMs);

    uint32_t m_packetSize;
    uint32_t m_prerollMs;
    Emit m_emit;
    std::vector<uint8_t> m_payloads; // payload headers and data of the open packet
    int m_payloadCount = 0;
    bool m_open = false;
    bool m_keyStart = false;
    uint32_t m_firstTime = 0, m_lastTime = 0;
    uint64_t m_firstStartObject = 0; // sequence of the earliest object starting here (0 = none)
    uint64_t m_objectSequence = 0;
    uint8_t m_objectNumbers[128] = {};
    uint64_t m_packetCount = 0;
};

} // namespace asf
