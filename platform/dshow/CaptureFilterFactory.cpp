// Binding a device identity to its capture filter. The capture sources
// replace this file's body as they arrive.
#include "platform/dshow/DeviceEnum.h"

HRESULT CreateCaptureFilter(const DeviceIdentity& /*device*/, REFIID /*riid*/, void** ppv)
{
    if (ppv)
        *ppv = nullptr;
    return E_NOTIMPL;
}
