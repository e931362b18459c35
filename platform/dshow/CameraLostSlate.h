#pragma once
// The still picture a capture source sends while its camera is gone, so that
// everything downstream (preview, encoder, viewers) keeps receiving frames of
// the same size and rate: the last good frame darkened, with
// "Camera lost - reconnecting" written across it. It is made in the source's
// own format (YUY2, I420 or MJPG) so it flows down the same connection.

#include "platform/dshow/DShow.h"

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr const char* kCameraLostText = "Camera lost - reconnecting";

// `last` may be null (no frame arrived before the loss, or it cannot be
// read): the slate is then a dark grey picture with the text. Empty result
// only for a type this cannot make.
std::vector<uint8_t> MakeCameraLostSlate(const AM_MEDIA_TYPE& type, const uint8_t* last, size_t size);
