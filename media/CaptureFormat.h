#pragma once
// The capture format a stream needs. A device's own choice is often its
// largest size at its highest rate; capturing that for a smaller, slower
// stream makes pictures only for the writer to scale them down and drop
// most of them. Of the formats the device offers, the cheapest that still
// gives the stream its size and frame rate is captured instead.

#include "platform/dshow/DShow.h"

#include <vector>

struct CaptureNeed {
    int width = 0;
    int height = 0;
    REFERENCE_TIME frameInterval = 0; // 100-ns units
};

// Index into `offers` (video types as a device lists them, its preference
// first) of the cheapest one at least as large and as fast as `need`:
// fewest pixels a second, compressed ones counted at three times their
// pixels (each must be decoded), the device's order among equals. -1 when
// none fits or `need` is incomplete.
int ChooseCaptureFormat(const std::vector<AM_MEDIA_TYPE>& offers, const CaptureNeed& need);

// Sets that format on the device's capture pin. False, and the device left
// to its own choice, when it offers no stream configuration (not every
// source does) or nothing fits.
bool ApplyCaptureFormat(ICaptureGraphBuilder2* builder, IBaseFilter* device, const CaptureNeed& need);
