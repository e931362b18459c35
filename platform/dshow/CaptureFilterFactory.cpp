// Binding a device identity to its capture filter: the V4L2 source for a
// V4L2 device node, the test pattern source for the built-in test device.

#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/Filters.h"

HRESULT CreateCaptureFilter(const DeviceIdentity& device, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (device.kind == "test")
        return CreateTestPatternSource(riid, ppv);
    if (device.kind == "v4l2" && !device.path.empty())
        return CreateV4L2Source(device, riid, ppv);
    if (device.kind == "tone" || ((device.kind == "pulse" || device.kind == "alsa") && !device.path.empty()))
        return CreateAudioCaptureSource(device, riid, ppv);
    return MK_E_NOOBJECT;
}
