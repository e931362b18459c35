#pragma once
// I420 pictures to baseline JPEG through libjpeg-turbo, for the browser side
// of the network sink. The planes go in as raw 4:2:0 data, so the library
// does no colour conversion or resampling of its own.

#include <cstdint>
#include <memory>
#include <vector>

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // `i420`: the Y plane (width x height) then U and V (width/2 x height/2),
    // rows without padding; width and height even and at least 2. `quality`
    // 1..100. Replaces *out with the JPEG file; false (and *out empty) when
    // the picture is unusable or the library fails.
    bool Encode(const uint8_t* i420, int width, int height, int quality, std::vector<uint8_t>* out);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
