#include "images/GifLzw.h"
#include "tests/images/GifFixtures.h"

#include <gtest/gtest.h>

#include <random>

using giftest::CodeWriter;
using giftest::LzwEncode;
using giftest::TableFull;

namespace {

struct Decoded {
    TLzwResult result;
    std::vector<uint8_t> pixels;
    uint64_t count;
};

Decoded Decode(const std::vector<uint8_t>& data, int minCodeSize, size_t capacity,
               TLzwOverflow overflow = TLzwOverflow::loDrop)
{
    static TGifLzwDecoder decoder;
    Decoded d;
    d.pixels.assign(capacity, 0xEE);
    d.result = decoder.Decode(data.data(), data.size(), minCodeSize, d.pixels.data(), capacity, overflow);
    d.count = decoder.PixelCount();
    return d;
}

std::vector<uint8_t> Pattern(const std::string& kind, size_t size, int bits)
{
    std::mt19937 rng(size * 31 + unsigned(bits));
    std::vector<uint8_t> p(size);
    const int mask = (1 << bits) - 1;
    for (size_t i = 0; i < size; ++i) {
        if (kind == "random")
            p[i] = uint8_t(rng() & unsigned(mask));
        else if (kind == "runs")
            p[i] = uint8_t((i / (1 + i % 7)) & size_t(mask));
        else
            p[i] = uint8_t(mask); // constant: the longest strings and chains
    }
    return p;
}

} // namespace

// Whatever a correct encoder writes decodes back to the same pixels: every
// code width from 2 to 9 bits, table resets, codes equal to the next free
// one, and streams that keep coding at 12 bits with a full table.
TEST(GifLzw, RoundTripsEncodedData)
{
    for (int bits : {1, 2, 4, 8}) {
        for (TableFull full : {TableFull::EmitClear, TableFull::Deferred}) {
            for (const char* kind : {"random", "runs", "constant"}) {
                const auto pixels = Pattern(kind, 60000, bits);
                const int m = std::max(2, bits);
                const Decoded d = Decode(LzwEncode(pixels, m, full), m, pixels.size());
                SCOPED_TRACE(std::string(kind) + " bits " + std::to_string(bits) +
                             (full == TableFull::Deferred ? " deferred" : " clear"));
                ASSERT_EQ(d.result, TLzwResult::lrOk);
                EXPECT_EQ(d.count, pixels.size());
                EXPECT_TRUE(d.pixels == pixels);
            }
        }
    }
}

TEST(GifLzw, HandMadeStreams)
{
    // Minimum code size 2: clear 4, end 5, first free code 6, 3-bit codes.
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> codes; // code, width
        TLzwResult result;
        std::vector<uint8_t> pixels; // the first pixels written
    };
    const Case cases[] = {
        {"code equal to the next free code", {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, TLzwResult::lrOk, {1, 1, 1}},
        {"string of a table entry", {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {5, 4}}, TLzwResult::lrOk, {1, 2, 1, 2}},
        {"repeated clears are skipped", {{4, 3}, {4, 3}, {4, 3}, {3, 3}, {5, 3}}, TLzwResult::lrOk, {3}},
        {"first code past the table counts as 0", {{4, 3}, {7, 3}, {1, 3}, {5, 3}}, TLzwResult::lrOk, {0, 1}},
        {"stream without a leading clear", {{2, 3}, {2, 3}, {5, 3}}, TLzwResult::lrOk, {2, 2}},
        {"code beyond the next free code", {{4, 3}, {1, 3}, {7, 3}}, TLzwResult::lrDataFormat, {1}},
        {"end code right after clear", {{4, 3}, {1, 3}, {4, 3}, {5, 3}}, TLzwResult::lrDataFormat, {1}},
        {"codes widen when the table reaches 2^w",
         {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {0, 4}, {7, 4}, {5, 4}}, TLzwResult::lrOk, {1, 2, 3, 0, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CodeWriter writer;
        for (auto [code, width] : c.codes)
            writer.Put(code, width);
        const Decoded d = Decode(writer.Bytes(), 2, c.pixels.size() + 2);
        EXPECT_EQ(d.result, c.result);
        EXPECT_TRUE(std::equal(c.pixels.begin(), c.pixels.end(), d.pixels.begin()));
    }
}

TEST(GifLzw, CodeSizeLimit)
{
    // 11 bits of minimum code size give 12-bit codes: the largest allowed.
    CodeWriter eleven;
    eleven.Put(2048, 12).Put(1, 12).Put(2, 12).Put(3, 12).Put(2049, 12);
    const Decoded ok = Decode(eleven.Bytes(), 11, 3);
    EXPECT_EQ(ok.result, TLzwResult::lrOk);
    EXPECT_EQ(ok.pixels, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Decode(eleven.Bytes(), 12, 3).result, TLzwResult::lrCodeSize);
    EXPECT_EQ(Decode(eleven.Bytes(), 255, 3).result, TLzwResult::lrCodeSize);
}

TEST(GifLzw, MissingEndCodeAndTruncation)
{
    const auto pixels = Pattern("random", 5000, 8);
    // Without the end code the image is still complete; the zero padding of
    // the last byte only yields pixels past it.
    auto data = LzwEncode(pixels, 8, TableFull::EmitClear, giftest::EndCode::Omit);
    Decoded d = Decode(data, 8, pixels.size());
    EXPECT_EQ(d.result, TLzwResult::lrOk);
    EXPECT_GE(d.count, pixels.size());
    EXPECT_TRUE(d.pixels == pixels);

    // Cut in half: the first part decodes, the rest of the buffer is untouched.
    data.resize(data.size() / 2);
    d = Decode(data, 8, pixels.size());
    EXPECT_EQ(d.result, TLzwResult::lrOk);
    ASSERT_GT(d.count, 100u);
    ASSERT_LT(d.count, pixels.size());
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + long(d.count) - 16, d.pixels.begin()));
    EXPECT_EQ(d.pixels.back(), 0xEE);

    EXPECT_EQ(Decode({}, 8, 4).count, 0u);
}

TEST(GifLzw, OverflowDropsOrWraps)
{
    const std::vector<uint8_t> pixels{1, 2, 3, 0, 2};
    const auto data = LzwEncode(pixels, 2);
    const Decoded dropped = Decode(data, 2, 3, TLzwOverflow::loDrop);
    EXPECT_EQ(dropped.pixels, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(dropped.count, 5u);
    const Decoded wrapped = Decode(data, 2, 3, TLzwOverflow::loWrap);
    EXPECT_EQ(wrapped.pixels, (std::vector<uint8_t>{0, 2, 3}));
    // Long strings across the end of the buffer, and a zero-size buffer.
    const auto constant = Pattern("constant", 10000, 8);
    const Decoded longWrap = Decode(LzwEncode(constant, 8), 8, 7, TLzwOverflow::loWrap);
    EXPECT_EQ(longWrap.pixels, std::vector<uint8_t>(7, 255));
    EXPECT_EQ(Decode(LzwEncode(constant, 8), 8, 0, TLzwOverflow::loWrap).count, 10000u);
}

// Random bytes as LZW data: any result is fine, but never a read or write
// outside the buffers (the sanitizer build checks this).
TEST(GifLzw, GarbageStaysInBounds)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> data(rng() % 600);
        for (auto& b : data)
            b = uint8_t(rng());
        const int m = int(rng() % 13);
        const Decoded d = Decode(data, m, rng() % 300, round % 2 ? TLzwOverflow::loWrap : TLzwOverflow::loDrop);
        EXPECT_TRUE(d.result == TLzwResult::lrOk || d.result == TLzwResult::lrDataFormat ||
                    (d.result == TLzwResult::lrCodeSize && m >= 12));
    }
}
