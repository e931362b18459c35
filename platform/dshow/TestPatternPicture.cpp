// Draws the built-in test source's picture.

#include "platform/dshow/TestPatternPicture.h"

#include "platform/dshow/TestPatternCode.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// 5 x 7 glyphs for the overlay: digits, ':', '.', '-', ' '.
const uint8_t* Glyph(char c)
{
    static const uint8_t digits[10][7] = {
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    };
    static const uint8_t colon[7] = {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00};
    static const uint8_t dot[7] = {0, 0, 0, 0, 0, 0x0C, 0x0C};
    static const uint8_t dash[7] = {0, 0, 0, 0x1F, 0, 0, 0};
    static const uint8_t blank[7] = {};
    if (c >= '0' && c <= '9') return digits[c - '0'];
    if (c == ':') return colon;
    if (c == '.') return dot;
    if (c == '-') return dash;
    return blank;
}

void DrawText(uint32_t* pixels, int width, int height, const char* text, int x0, int y0, int scale, uint32_t colour)
{
    for (int i = 0; text[i]; ++i) {
        const uint8_t* glyph = Glyph(text[i]);
        for (int gy = 0; gy < 7; ++gy)
            for (int gx = 0; gx < 5; ++gx) {
                if (!(glyph[gy] & (0x10 >> gx)))
                    continue;
                for (int sy = 0; sy < scale; ++sy)
                    for (int sx = 0; sx < scale; ++sx) {
                        const int x = x0 + (i * 6 + gx) * scale + sx;
                        const int y = y0 + gy * scale + sy;
                        if (x >= 0 && x < width && y >= 0 && y < height)
                            pixels[static_cast<size_t>(y) * width + x] = colour;
                    }
            }
    }
}

} // namespace

uint32_t PackTestPatternRgb(double r, double g, double b)
{
    auto c = [](double v) { return static_cast<uint32_t>(std::clamp(std::lround(v), 0L, 255L)); };
    return 0xFF000000u | c(r) << 16 | c(g) << 8 | c(b);
}

void DrawTestPattern(uint32_t* pixels, int width, int height, int64_t frame, bool flash, bool ramp,
    const std::function<uint32_t(double, double, double)>& colour)
{
    const auto adjust = [&colour](double r, double g, double b) { return colour ? colour(r, g, b) : PackTestPatternRgb(r, g, b); };
    std::array<uint32_t, 8> bars{};
    static const double kBars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16}};
    std::vector<uint32_t> row(static_cast<size_t>(width));
    // The bars step every 8 frames by an 80th of the width (8 pixels at
    // 640): visibly moving, yet cheap for an encoder at low bitrates (a
    // whole-pixel shift, still pictures between steps). The step follows
    // the width so that a picture drawn at the stream's size moves as a
    // scaled-down 640-wide one would: twice the shift costs the encoder
    // about twice the bytes, which the lowest rows pay in frames. The
    // counter, the clock and the frame code change every frame.
    const int offset = static_cast<int>((frame / 8 * std::max(1, width / 80)) % width);
    if (!ramp) {
        for (int i = 0; i < 8; ++i)
            bars[static_cast<size_t>(i)] = adjust(kBars[i][0], kBars[i][1], kBars[i][2]);
        for (int x = 0; x < width; ++x)
            row[static_cast<size_t>(x)] = bars[static_cast<size_t>(((x + offset) % width) * 8 / width)];
    } else {
        for (int x = 0; x < width; ++x) {
            const double v = 255.0 * ((x + offset) % width) / (width - 1);
            row[static_cast<size_t>(x)] = adjust(v, v, v);
        }
    }
    const int band = height * 3 / 4;
    for (int y = 0; y < band; ++y)
        std::copy(row.begin(), row.end(), pixels + static_cast<size_t>(y) * width);
    const uint32_t dark = adjust(24, 24, 24);
    std::fill(pixels + static_cast<size_t>(band) * width, pixels + static_cast<size_t>(height) * width, dark);

    // The frame number as a bar code, for programs that read pictures back.
    const uint32_t codeLight = 0xFFEBEBEB, codeDark = 0xFF101010;
    const int count = static_cast<int>((frame / kTestPatternCodeStep) % (1 << kTestPatternCodeBits));
    const int code = count ^ (count >> 1); // Gray code: one cell changes per step
    for (int cell = 0; cell < kTestPatternCodeCells; ++cell) {
        const bool on = cell == 0 || (cell < kTestPatternCodeCells - 1 && (code >> (kTestPatternCodeBits - cell)) & 1);
        const int x0 = cell * width / kTestPatternCodeCells, x1 = (cell + 1) * width / kTestPatternCodeCells;
        for (int y = TestPatternCodeTop(height); y < TestPatternCodeBottom(height); ++y)
            std::fill(pixels + static_cast<size_t>(y) * width + x0, pixels + static_cast<size_t>(y) * width + x1,
                on ? codeLight : codeDark);
    }

    // The second marker (see TestPatternCode.h).
    if (flash) {
        const uint32_t marker = 0xFFFFFFFF;
        for (int y = TestPatternFlashTop(height); y < TestPatternFlashBottom(height); ++y)
            std::fill(pixels + static_cast<size_t>(y) * width + TestPatternFlashLeft(width),
                pixels + static_cast<size_t>(y) * width + TestPatternFlashRight(width), marker);
    }

    // Frame counter on the left, wall-clock time on the right.
    char counter[16];
    std::snprintf(counter, sizeof counter, "%06lld", static_cast<long long>(frame % 1000000));
    char clock[16];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    const int scale = std::max(1, height / 120);
    const int textY = band + (height - band - 7 * scale) / 2;
    const uint32_t white = 0xFFEBEBEB;
    DrawText(pixels, width, height, counter, 4 * scale, textY, scale, white);
    const int clockWidth = static_cast<int>(std::strlen(clock)) * 6 * scale;
    DrawText(pixels, width, height, clock, width - clockWidth - 4 * scale, textY, scale, white);
}
