// Media type helpers, the reference clock and names of device controls.

#include "platform/dshow/DShow.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace {
uint32_t FourCC(const GUID& subtype)
{
    // FOURCC subtypes carry the code in Data1; RGB types have none.
    if (subtype == MEDIASUBTYPE_RGB32)
        return 0;
    return subtype.Data1;
}
} // namespace

uint32_t VideoFrameBytes(const GUID& subtype, int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    uint64_t bytes = 0;
    if (subtype == MEDIASUBTYPE_RGB32)
        bytes = pixels * 4;
    else if (subtype == MEDIASUBTYPE_YUY2)
        bytes = pixels * 2;
    else if (subtype == MEDIASUBTYPE_I420)
        bytes = pixels + 2 * (static_cast<uint64_t>(width / 2) * static_cast<uint64_t>(height / 2));
    return bytes > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(bytes);
}

AM_MEDIA_TYPE MakeVideoType(const GUID& subtype, int width, int height, double framesPerSecond)
{
    AM_MEDIA_TYPE type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    type.lSampleSize = VideoFrameBytes(subtype, width, height);
    type.bFixedSizeSamples = type.lSampleSize != 0;
    type.bTemporalCompression = 0;
    VIDEOINFOHEADER& v = type.video;
    v.rcSource = RECT{0, 0, width, height};
    v.rcTarget = v.rcSource;
    v.biWidth = width;
    v.biHeight = height;
    v.biCompression = FourCC(subtype);
    v.biBitCount = subtype == MEDIASUBTYPE_RGB32 ? 32 : subtype == MEDIASUBTYPE_YUY2 ? 16 : subtype == MEDIASUBTYPE_I420 ? 12 : 24;
    v.biSizeImage = type.lSampleSize;
    v.AvgTimePerFrame = framesPerSecond > 0 ? static_cast<REFERENCE_TIME>(std::llround(10000000.0 / framesPerSecond)) : 0;
    v.dwBitRate = static_cast<uint32_t>(std::min<double>(4294967295.0, type.lSampleSize * 8.0 * (framesPerSecond > 0 ? framesPerSecond : 0)));
    return type;
}

std::string SubtypeName(const GUID& subtype)
{
    if (subtype == MEDIASUBTYPE_RGB32) return "RGB32";
    if (subtype == MEDIASUBTYPE_YUY2) return "YUY2";
    if (subtype == MEDIASUBTYPE_I420) return "I420";
    if (subtype == MEDIASUBTYPE_MJPG) return "MJPG";
    if (subtype == MEDIASUBTYPE_PCM) return "PCM";
    return GuidToString(subtype);
}

std::string DescribeMediaType(const AM_MEDIA_TYPE& type)
{
    if (type.formattype == FORMAT_VideoInfo) {
        const double fps = type.video.AvgTimePerFrame > 0 ? 10000000.0 / static_cast<double>(type.video.AvgTimePerFrame) : 0.0;
        char text[96];
        std::snprintf(text, sizeof text, "%s %dx%d %gfps", SubtypeName(type.subtype).c_str(), type.video.biWidth,
                      type.video.biHeight, std::round(fps * 100) / 100);
        return text;
    }
    return SubtypeName(type.subtype);
}

REFERENCE_TIME ReferenceTimeNow()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

const char* VideoProcAmpPropertyName(long property)
{
    switch (property) {
    case VideoProcAmp_Brightness: return "Brightness";
    case VideoProcAmp_Contrast: return "Contrast";
    case VideoProcAmp_Hue: return "Hue";
    case VideoProcAmp_Saturation: return "Saturation";
    case VideoProcAmp_Sharpness: return "Sharpness";
    case VideoProcAmp_Gamma: return "Gamma";
    case VideoProcAmp_ColorEnable: return "ColorEnable";
    case VideoProcAmp_WhiteBalance: return "WhiteBalance";
    case VideoProcAmp_BacklightCompensation: return "BacklightComp";
    case VideoProcAmp_Gain: return "Gain";
    default: return "";
    }
}

const char* VideoProcAmpDisplayName(long property)
{
    switch (property) {
    case VideoProcAmp_ColorEnable: return "Colour";
    case VideoProcAmp_WhiteBalance: return "White Balance";
    case VideoProcAmp_BacklightCompensation: return "Backlight Compensation";
    default: return VideoProcAmpPropertyName(property);
    }
}
