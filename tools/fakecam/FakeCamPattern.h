#pragma once
// The emulated camera's picture: colour bars that scroll with every frame, a
// white block that crosses the picture, and the frame number in large digits
// in the top-left corner, so a viewer (or a test) sees that frames are live
// and which one it is. The input number changes the colours, brightness
// shifts the luma as a real sensor's would.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fakecam {

struct PatternParams {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t frame = 0;
    int input = 0;
    int brightness = 0; // offset from the control's default
};

// Draws one YUYV 4:2:2 picture (width * height * 2 bytes) into `out`.
void DrawYuyv(const PatternParams& p, uint8_t* out);

// Compresses a YUYV picture as a baseline JPEG (4:2:2) into `out`.
void EncodeJpeg(const uint8_t* yuyv, uint32_t width, uint32_t height, std::vector<uint8_t>& out);

} // namespace fakecam
