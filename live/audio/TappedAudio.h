#pragma once
// Captured sound as the audio tap hands it to its subscribers: interleaved
// signed 16-bit samples, stamped on the capture clock that also stamps the
// pictures. The tap itself (platform/wmf/AudioTap.h) declares this struct;
// until that header is present the same declaration stands here, so the
// encoders of this folder build either way.

#if __has_include("platform/wmf/AudioTap.h")
#include "platform/wmf/AudioTap.h"
#else
#include <cstddef>
#include <cstdint>

struct TappedAudio {
    const int16_t* samples; // frames x channels, interleaved; valid during the call only
    size_t frames;
    int channels;
    int sampleRate;
    int64_t time; // capture time of the first frame, 100-ns units
};
#endif
