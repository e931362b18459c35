#pragma once
// Helpers of the Windows Media runtime tests: moving test pictures, the
// edited base profile, and reading ASF streams back.

#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/WMProfile.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace wmftest {

// An RGB32 picture for frame n: colour bars with a bright square moving over
// them (like a camera on a quiet scene); `busy` also scrolls the bars fast,
// which no low bitrate can carry at full frame rate.
std::vector<uint8_t> MovingPicture(int width, int height, int n, bool busy = false);

// The base system profile (56 Kbps, video only) as the XML text the profile
// manager saves; "" when it does not load.
std::string BaseProfileXml();

// The base system profile with the frame and bitrate a bitrate row gives it.
std::vector<WMStreamFormat> BaseProfileStreams(DWORD bitrate, int width, int height);

// Splits header + packets into the media objects they carry, per stream
// number; false when a packet does not parse or fragments do not line up.
struct MediaObject {
    uint8_t stream = 0;
    bool key = false;
    uint32_t presentationMs = 0;
    std::vector<uint8_t> bytes;
};
bool Reassemble(const std::vector<std::vector<uint8_t>>& packets, uint32_t packetSize, std::vector<MediaObject>* objects,
    std::string* error);

// Output of ffprobe -show_streams for a file or URL, as "key=value" lines.
std::string Probe(const std::string& target, int* status = nullptr);

// A loopback connection to a sink's port (an optional receive buffer size
// keeps a reader slow; `from` is a source address in 127.0.0.0/8); the
// test fails when nothing accepts.
int Connect(DWORD port, int receiveBuffer = 0, const char* from = nullptr);
// Reads until `bytes` arrived, the peer closed, or the time ran out.
std::string Read(int fd, std::chrono::milliseconds timeout, size_t bytes = SIZE_MAX, bool* closed = nullptr);
// Sends all of `text`; the test fails otherwise.
void Send(int fd, const std::string& text);

} // namespace wmftest
