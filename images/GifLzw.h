#pragma once
// The variable-length-code LZW decoder of GIF image data, kept apart from
// the file reader so that its rules can be tested on raw code streams.
//
// Codes are packed least-significant bit first. With minimum code size m:
//   clear code C = 2^m, end code E = C + 1, first free code N = C + 2,
//   code width w = m + 1 bits, growing by one bit each time N reaches 2^w,
//   never beyond 12 bits. Once the 4096-entry table is full no entries are
//   added until the next clear code (the "deferred clear" some encoders use).

#include <cstddef>
#include <cstdint>

enum class TLzwResult {
    lrOk,         // end code seen, or the data ran out (a missing end code is no error)
    lrCodeSize,   // the code width would exceed 12 bits (minimum code size 12 or more)
    lrDataFormat, // an end code right after a clear code, or a code beyond the next free one
};

// What happens to pixels produced after the output buffer is full.
enum class TLzwOverflow {
    loDrop, // they are discarded
    loWrap, // writing starts again at the beginning of the buffer
};

class TGifLzwDecoder {
public:
    static constexpr int MaxCodeBits = 12;
    static constexpr int TableSize = 1 << MaxCodeBits;

    // Decodes `size` bytes of concatenated sub-block data into `out`
    // (`capacity` bytes), one colour index per pixel in stream order. After
    // the last byte, zero bits complete a partly read code; decoding stops
    // when no bit of the data is left. Never reads or writes outside the two
    // buffers, whatever the data.
    TLzwResult Decode(const uint8_t* data, size_t size, int minCodeSize,
                      uint8_t* out, size_t capacity, TLzwOverflow overflow);

    // Pixels produced by the last Decode, including dropped or wrapped ones.
    uint64_t PixelCount() const { return m_count; }

private:
    void EmitSlow(int code, int length, uint8_t* out, size_t capacity, TLzwOverflow overflow, size_t& pos);

    uint16_t m_prefix[TableSize];
    uint8_t m_suffix[TableSize];
    uint8_t m_first[TableSize];
    uint16_t m_length[TableSize];
    uint8_t m_stack[TableSize + 1];
    uint64_t m_count = 0;
};
