#include "images/GifLzw.h"

#include <cstring>

void TGifLzwDecoder::EmitSlow(int code, int length, uint8_t* out, size_t capacity, TLzwOverflow overflow, size_t& pos)
{
    // The string does not fit before the end of the buffer: drop or wrap
    // what is past it.
    if (overflow == TLzwOverflow::loDrop && pos >= capacity)
        return;
    for (int i = length - 1; i >= 0; --i) {
        m_stack[i] = m_suffix[code];
        code = m_prefix[code];
    }
    for (int i = 0; i < length; ++i) {
        if (pos == capacity) {
            if (overflow == TLzwOverflow::loDrop || capacity == 0)
                return;
            pos = 0;
        }
        out[pos++] = m_stack[i];
    }
}

TLzwResult TGifLzwDecoder::Decode(const uint8_t* data, size_t size, int minCodeSize,
                                  uint8_t* out, size_t capacity, TLzwOverflow overflow)
{
    m_count = 0;
    if (minCodeSize < 0 || minCodeSize + 1 > MaxCodeBits)
        return TLzwResult::lrCodeSize;

    const int clearCode = 1 << minCodeSize;
    const int endCode = clearCode + 1;
    for (int c = 0; c < clearCode; ++c) {
        m_prefix[c] = 0;
        m_suffix[c] = uint8_t(c);
        m_first[c] = uint8_t(c);
        m_length[c] = 1;
    }

    int width = minCodeSize + 1;
    int limit = 1 << width;
    int next = clearCode + 2;
    bool firstCode = true;    // the next data code is the first of a table generation
    bool justCleared = false; // the previous code was a clear code
    int prev = 0;

    uint64_t bits = 0;
    int bitCount = 0;
    size_t byte = 0;
    size_t pos = 0; // next write position in out
    uint64_t count = 0;

    // Writes the string of `code` at pos: backwards in place when it fits.
    auto emit = [&](int code) {
        const int length = m_length[code];
        count += uint64_t(length);
        if (pos + size_t(length) <= capacity) {
            uint8_t* p = out + pos + length - 1;
            pos += size_t(length);
            if (length == 1) {
                *p = m_suffix[code];
                return;
            }
            for (int i = 0; i < length; ++i) {
                *p-- = m_suffix[code];
                code = m_prefix[code];
            }
            if (pos == capacity && overflow == TLzwOverflow::loWrap)
                pos = 0;
            return;
        }
        EmitSlow(code, length, out, capacity, overflow, pos);
    };

    for (;;) {
        if (bitCount < width) {
            if (size - byte >= 8) {
                // Take whole bytes while they fit in the 64-bit buffer.
                uint64_t word;
                std::memcpy(&word, data + byte, 8);
                const int take = (63 - bitCount) >> 3;
                const int newCount = bitCount + take * 8;
                bits |= (word << bitCount) & ((uint64_t(1) << newCount) - 1);
                byte += size_t(take);
                bitCount = newCount;
            } else {
                while (bitCount <= 56 && byte < size) {
                    bits |= uint64_t(data[byte++]) << bitCount;
                    bitCount += 8;
                }
                if (bitCount == 0)
                    break; // the data is used up
            }
        }
        // Past the end of the data the missing high bits read as zero.
        int code = int(bits & ((uint64_t(1) << width) - 1));
        bits >>= width;
        bitCount = bitCount > width ? bitCount - width : 0;

        if (code == clearCode) {
            width = minCodeSize + 1;
            limit = 1 << width;
            next = clearCode + 2;
            firstCode = true;
            justCleared = true;
            continue;
        }
        if (code == endCode) {
            m_count = count;
            return justCleared ? TLzwResult::lrDataFormat : TLzwResult::lrOk;
        }
        justCleared = false;

        if (firstCode) {
            if (code >= next)
                code = 0;
            emit(code);
            prev = code;
            firstCode = false;
            continue;
        }

        if (code > next) {
            m_count = count;
            return TLzwResult::lrDataFormat;
        }
        // For code == next (the string being defined right now) the new
        // entry is the previous string plus its own first byte.
        const uint8_t first = code == next ? m_first[prev] : m_first[code];
        if (next < TableSize) {
            m_prefix[next] = uint16_t(prev);
            m_suffix[next] = first;
            m_first[next] = m_first[prev];
            m_length[next] = uint16_t(m_length[prev] + 1);
            ++next;
            if (next >= limit && width < MaxCodeBits) {
                ++width;
                limit <<= 1;
            }
        }
        emit(code);
        prev = code;
    }
    m_count = count;
    return TLzwResult::lrOk;
}
