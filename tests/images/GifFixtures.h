#pragma once
// Small GIF files made by the tests themselves: an LZW encoder, a bit
// packer for hand-made code streams, and a builder for the blocks of a file.

#include <cstdint>
#include <string>
#include <vector>

namespace giftest {

// Packs codes least-significant bit first, each with its own width.
class CodeWriter {
public:
    CodeWriter& Put(int code, int width);
    std::vector<uint8_t> Bytes() const;

private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_bits = 0;
    int m_count = 0;
};

enum class TableFull {
    EmitClear, // reset the table when it is full (what most encoders do)
    Deferred,  // keep going with 12-bit codes and no new entries
};

enum class EndCode { Write, Omit };

// A straightforward GIF LZW encoder: clear code first, end code last.
std::vector<uint8_t> LzwEncode(const std::vector<uint8_t>& pixels, int minCodeSize,
                               TableFull full = TableFull::EmitClear, EndCode end = EndCode::Write);

// Clear, every pixel as a root code, end; with a clear before the width
// would grow, so every code has minCodeSize + 1 bits.
std::vector<uint8_t> LzwUncompressed(const std::vector<uint8_t>& pixels, int minCodeSize);

// Colour i of the test palettes.
uint32_t TestColour(int index);

class GifBuilder {
public:
    // Signature, logical screen, and a global table of 2^globalBits test
    // colours (none when globalBits is 0).
    GifBuilder(int width, int height, int globalBits = 8, const std::string& signature = "GIF89a");

    GifBuilder& GraphicControl(int disposal, bool transparent, int delay, int transparentIndex = 0);
    GifBuilder& Netscape(int loops);
    GifBuilder& Comment(const std::string& text);
    GifBuilder& Bytes(const std::vector<uint8_t>& raw);
    // An image with pixels LZW-encoded at the given minimum code size.
    // localBits > 0 adds a local table of 2^localBits colours (TestColour(255 - i)).
    GifBuilder& Image(int left, int top, int width, int height, const std::vector<uint8_t>& pixels,
                      int minCodeSize = 8, bool interlaced = false, int localBits = 0);
    // An image with ready-made LZW data.
    GifBuilder& ImageData(int left, int top, int width, int height, int minCodeSize,
                          const std::vector<uint8_t>& lzw, bool interlaced = false, int localBits = 0);
    GifBuilder& Trailer();
    const std::vector<uint8_t>& Data() const { return m_data; }

    static void SubBlocks(std::vector<uint8_t>& out, const std::vector<uint8_t>& data);

private:
    void Put16(int value);
    std::vector<uint8_t> m_data;
};

} // namespace giftest
