#pragma once
// The picture of the built-in test source: colour bars (or a grey ramp)
// over the top three quarters, stepping sideways every 8 frames; below them
// the frame code (TestPatternCode.h), the second marker, the frame counter
// and the wall-clock time. Drawn at any size; the source draws it at the
// size its output was connected with, so what an encoder gets is this
// picture, not a scaled one.

#include <cstdint>
#include <functional>

// A packed RGB32 pixel (0xFFRRGGBB) of nominal 0-255 values, clamped.
uint32_t PackTestPatternRgb(double r, double g, double b);

// Draws frame `frame` into `pixels` (width x height RGB32, rows top-down).
// `ramp` draws the grey ramp instead of the bars; `flash` lights the second
// marker. `colour` makes the pixel of the bars' nominal colours (the
// source's picture controls); plain PackTestPatternRgb when empty.
void DrawTestPattern(uint32_t* pixels, int width, int height, int64_t frame, bool flash, bool ramp,
    const std::function<uint32_t(double, double, double)>& colour = {});
