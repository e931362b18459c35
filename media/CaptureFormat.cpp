// Choosing the capture format a stream needs.

#include "media/CaptureFormat.h"

#include "platform/com/ComPtr.h"

#include <limits>

namespace {

bool Uncompressed(const GUID& subtype)
{
    return subtype == MEDIASUBTYPE_RGB32 || subtype == MEDIASUBTYPE_YUY2 || subtype == MEDIASUBTYPE_I420;
}

} // namespace

int ChooseCaptureFormat(const std::vector<AM_MEDIA_TYPE>& offers, const CaptureNeed& need)
{
    if (need.width <= 0 || need.height <= 0 || need.frameInterval <= 0)
        return -1;
    int best = -1;
    double bestCost = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < offers.size(); ++i) {
        const AM_MEDIA_TYPE& t = offers[i];
        if (t.majortype != MEDIATYPE_Video || t.formattype != FORMAT_VideoInfo)
            continue;
        const VIDEOINFOHEADER& v = t.video;
        if (v.biWidth < need.width || v.biHeight < need.height || v.AvgTimePerFrame <= 0
            || v.AvgTimePerFrame > need.frameInterval)
            continue;
        const double cost = static_cast<double>(v.biWidth) * v.biHeight * (1e7 / static_cast<double>(v.AvgTimePerFrame))
            * (Uncompressed(t.subtype) ? 1.0 : 3.0);
        if (cost < bestCost) {
            bestCost = cost;
            best = static_cast<int>(i);
        }
    }
    return best;
}

bool ApplyCaptureFormat(ICaptureGraphBuilder2* builder, IBaseFilter* device, const CaptureNeed& need)
{
    if (!builder || !device)
        return false;
    ComPtr<IAMStreamConfig> config;
    if (FAILED(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device, IAMStreamConfig::iid,
            config.ReleaseAndGetVoid()))
        || !config)
        return false;
    int count = 0, size = 0;
    if (FAILED(config->GetNumberOfCapabilities(&count, &size)) || count <= 0)
        return false;
    std::vector<AM_MEDIA_TYPE> offers;
    for (int i = 0; i < count; ++i) {
        AM_MEDIA_TYPE t;
        if (SUCCEEDED(config->GetStreamCaps(i, &t, nullptr)))
            offers.push_back(t);
    }
    const int chosen = ChooseCaptureFormat(offers, need);
    return chosen >= 0 && SUCCEEDED(config->SetFormat(&offers[static_cast<size_t>(chosen)]));
}
