// Reading the test source's frame code back from a decoded picture.

#include "platform/dshow/TestPatternCode.h"

#include <algorithm>

int ReadTestPatternCode(const uint8_t* luma, int width, int height, int stride)
{
    if (!luma || width < kTestPatternCodeCells * 4 || height < 32 || stride < width)
        return -1;
    const int top = TestPatternCodeTop(height), bottom = TestPatternCodeBottom(height);
    // The middle half of each cell over the middle rows of the strip.
    const int y0 = top + (bottom - top) / 4, y1 = bottom - (bottom - top) / 4;
    int level[kTestPatternCodeCells];
    for (int cell = 0; cell < kTestPatternCodeCells; ++cell) {
        const int x0 = cell * width / kTestPatternCodeCells, x1 = (cell + 1) * width / kTestPatternCodeCells;
        const int a = x0 + (x1 - x0) / 4, b = x1 - (x1 - x0) / 4;
        long sum = 0, count = 0;
        for (int y = y0; y < std::max(y1, y0 + 1); ++y)
            for (int x = a; x < b; ++x) {
                sum += luma[static_cast<long>(y) * stride + x];
                ++count;
            }
        level[cell] = count ? static_cast<int>(sum / count) : 0;
    }
    const int light = level[0], dark = level[kTestPatternCodeCells - 1];
    if (light - dark < 64)
        return -1;
    const int threshold = (light + dark) / 2;
    int value = 0;
    for (int cell = 1; cell <= kTestPatternCodeBits; ++cell)
        value = (value << 1) | (level[cell] > threshold ? 1 : 0);
    for (int shift = 1; shift < kTestPatternCodeBits; shift <<= 1) // Gray code to binary
        value ^= value >> shift;
    return value * kTestPatternCodeStep;
}

bool ReadTestPatternFlash(const uint8_t* luma, int width, int height, int stride)
{
    if (!luma || width < 32 || height < 32 || stride < width)
        return false;
    const int top = TestPatternFlashTop(height), bottom = TestPatternFlashBottom(height);
    const int left = TestPatternFlashLeft(width), right = TestPatternFlashRight(width);
    // The middle of the box: edges blur under scaling and coarse quantisers.
    const int y0 = top + (bottom - top) / 4, y1 = std::max(bottom - (bottom - top) / 4, y0 + 1);
    const int x0 = left + (right - left) / 4, x1 = std::max(right - (right - left) / 4, x0 + 1);
    long sum = 0, count = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            sum += luma[static_cast<size_t>(y) * static_cast<size_t>(stride) + static_cast<size_t>(x)];
            ++count;
        }
    return count > 0 && sum / count > 128;
}
