#include "tests/images/GifFixtures.h"

#include <algorithm>
#include <unordered_map>

namespace giftest {

CodeWriter& CodeWriter::Put(int code, int width)
{
    m_bits |= uint32_t(code) << m_count;
    m_count += width;
    while (m_count >= 8) {
        m_bytes.push_back(uint8_t(m_bits));
        m_bits >>= 8;
        m_count -= 8;
    }
    return *this;
}

std::vector<uint8_t> CodeWriter::Bytes() const
{
    std::vector<uint8_t> out = m_bytes;
    if (m_count > 0)
        out.push_back(uint8_t(m_bits));
    return out;
}

std::vector<uint8_t> LzwEncode(const std::vector<uint8_t>& pixels, int minCodeSize, TableFull full, EndCode endCode)
{
    const int clear = 1 << minCodeSize, end = clear + 1;
    CodeWriter writer;
    // The decoder's view, which decides the width of every code written.
    int decoderNext = 0, width = 0;
    bool decoderFirst = true;
    auto resetDecoder = [&] {
        decoderNext = clear + 2;
        width = minCodeSize + 1;
        decoderFirst = true;
    };
    auto emit = [&](int code) {
        writer.Put(code, width);
        if (code == clear) {
            resetDecoder();
            return;
        }
        if (decoderFirst) {
            decoderFirst = false;
            return;
        }
        if (decoderNext < 4096) {
            ++decoderNext;
            if (decoderNext >= (1 << width) && width < 12)
                ++width;
        }
    };

    std::unordered_map<uint32_t, int> table;
    int next = clear + 2;
    resetDecoder();
    emit(clear);
    if (pixels.empty()) {
        writer.Put(end, width);
        return writer.Bytes();
    }
    int current = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const uint32_t key = uint32_t(current) << 8 | pixels[i];
        auto it = table.find(key);
        if (it != table.end()) {
            current = it->second;
            continue;
        }
        emit(current);
        if (next < 4096)
            table.emplace(key, next++);
        if (next == 4096 && full == TableFull::EmitClear) {
            emit(clear);
            table.clear();
            next = clear + 2;
        }
        current = pixels[i];
    }
    emit(current);
    if (endCode == EndCode::Write)
        writer.Put(end, width);
    return writer.Bytes();
}

std::vector<uint8_t> LzwUncompressed(const std::vector<uint8_t>& pixels, int minCodeSize)
{
    const int clear = 1 << minCodeSize, width = minCodeSize + 1;
    // After a clear the decoder adds one entry per code from the second on,
    // and widens when the next free code reaches 2^width.
    const int run = std::max(1, (1 << width) - (clear + 1));
    CodeWriter writer;
    int sinceClear = run;
    for (uint8_t p : pixels) {
        if (sinceClear == run) {
            writer.Put(clear, width);
            sinceClear = 0;
        }
        writer.Put(p, width);
        ++sinceClear;
    }
    writer.Put(clear + 1, width);
    return writer.Bytes();
}

uint32_t TestColour(int index)
{
    const uint32_t r = uint32_t(index * 16 + 1) & 0xFF, g = uint32_t(index * 2) & 0xFF, b = uint32_t(255 - index);
    return r | g << 8 | b << 16;
}

static void PutTable(std::vector<uint8_t>& out, int bits, bool reversed)
{
    for (int i = 0; i < (1 << bits); ++i) {
        const uint32_t c = TestColour(reversed ? 255 - i : i);
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
        out.push_back(uint8_t(c >> 16));
    }
}

GifBuilder::GifBuilder(int width, int height, int globalBits, const std::string& signature)
{
    m_data.assign(signature.begin(), signature.end());
    Put16(width);
    Put16(height);
    m_data.push_back(uint8_t(globalBits > 0 ? 0x80 | 0x70 | (globalBits - 1) : 0));
    m_data.push_back(0);
    m_data.push_back(0);
    if (globalBits > 0)
        PutTable(m_data, globalBits, false);
}

void GifBuilder::Put16(int value)
{
    m_data.push_back(uint8_t(value));
    m_data.push_back(uint8_t(value >> 8));
}

void GifBuilder::SubBlocks(std::vector<uint8_t>& out, const std::vector<uint8_t>& data)
{
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, data.size() - at);
        out.push_back(uint8_t(n));
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + n));
    }
    out.push_back(0);
}

GifBuilder& GifBuilder::GraphicControl(int disposal, bool transparent, int delay, int transparentIndex)
{
    m_data.insert(m_data.end(), {0x21, 0xF9, 4, uint8_t(disposal << 2 | (transparent ? 1 : 0))});
    Put16(delay);
    m_data.push_back(uint8_t(transparentIndex));
    m_data.push_back(0);
    return *this;
}

GifBuilder& GifBuilder::Netscape(int loops)
{
    const char id[] = "NETSCAPE2.0";
    m_data.insert(m_data.end(), {0x21, 0xFF, 11});
    m_data.insert(m_data.end(), id, id + 11);
    m_data.insert(m_data.end(), {3, 1, uint8_t(loops), uint8_t(loops >> 8), 0});
    return *this;
}

GifBuilder& GifBuilder::Comment(const std::string& text)
{
    m_data.insert(m_data.end(), {0x21, 0xFE});
    SubBlocks(m_data, std::vector<uint8_t>(text.begin(), text.end()));
    return *this;
}

GifBuilder& GifBuilder::Bytes(const std::vector<uint8_t>& raw)
{
    m_data.insert(m_data.end(), raw.begin(), raw.end());
    return *this;
}

GifBuilder& GifBuilder::Image(int left, int top, int width, int height, const std::vector<uint8_t>& pixels,
                              int minCodeSize, bool interlaced, int localBits)
{
    return ImageData(left, top, width, height, minCodeSize, LzwEncode(pixels, minCodeSize), interlaced, localBits);
}

GifBuilder& GifBuilder::ImageData(int left, int top, int width, int height, int minCodeSize,
                                  const std::vector<uint8_t>& lzw, bool interlaced, int localBits)
{
    m_data.push_back(0x2C);
    Put16(left);
    Put16(top);
    Put16(width);
    Put16(height);
    m_data.push_back(uint8_t((localBits > 0 ? 0x80 | (localBits - 1) : 0) | (interlaced ? 0x40 : 0)));
    if (localBits > 0)
        PutTable(m_data, localBits, true);
    m_data.push_back(uint8_t(minCodeSize));
    SubBlocks(m_data, lzw);
    return *this;
}

GifBuilder& GifBuilder::Trailer()
{
    m_data.push_back(0x3B);
    return *this;
}

} // namespace giftest
