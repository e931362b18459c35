#pragma once
// The frame code of the built-in test source: its frame counter as a bar
// code, so that a program reading decoded pictures back (tests, the
// benchmarks) can tell which frame a viewer sees.
//
// A strip across the full width at rows [H * 25/32, H * 27/32) (just below
// the colour bars, above the counter text), cut into 16 equal cells: cell 0
// is always light, cell 15 always dark, cells 1..14 carry bits 13..0 of the
// frame number divided by 4 in Gray code (light = 1): one cell changes every
// 4 frames, which keeps the code cheap to encode at the lowest bitrates. Cells are wide enough to survive scaling to a
// quarter of the size and the coarsest WMV2 quantiser.

#include <cstdint>

inline constexpr int kTestPatternCodeCells = 16;
inline constexpr int kTestPatternCodeBits = 14;
inline constexpr int kTestPatternCodeStep = 4; // frames per code value

// Rows of the strip for a picture of that height.
inline int TestPatternCodeTop(int height) { return height * 25 / 32; }
inline int TestPatternCodeBottom(int height) { return height * 27 / 32; }

// Frame number (a multiple of 4, modulo 4 * 2^14) from an 8-bit luma picture (rows top-down,
// `stride` bytes apart); -1 when the marker cells are not there.
int ReadTestPatternCode(const uint8_t* luma, int width, int height, int stride);

// The second marker: on the first frame the source sends from half a frame
// before each whole second of stream time on (stream time 0 included), the
// frame nearest the second, a light box fills
// rows [H * 28/32, H * 31/32) and columns [W * 7/16, W * 9/16) of the dark
// band, between the counter and the clock; on every other frame that box is
// dark. The test tone beeps exactly at each whole second of stream time, so a
// recording of both shows how far sound and picture are apart.
inline int TestPatternFlashTop(int height) { return height * 28 / 32; }
inline int TestPatternFlashBottom(int height) { return height * 31 / 32; }
inline int TestPatternFlashLeft(int width) { return width * 7 / 16; }
inline int TestPatternFlashRight(int width) { return width * 9 / 16; }

// Whether a decoded picture shows the second marker (mean luma of the box's
// middle above mid-grey); false for pictures too small to carry it.
bool ReadTestPatternFlash(const uint8_t* luma, int width, int height, int stride);
