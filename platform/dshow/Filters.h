#pragma once
// The framework's own filters and objects, for code that builds them
// directly (tests, benchmarks); the program reaches them via CoCreateInstance
// after RegisterMediaFrameworkClasses().

#include "platform/dshow/DShow.h"
#include "platform/dshow/DeviceEnum.h"

// Filter graph manager (IFilterGraph2, IMediaControl, IMediaEventEx, ...).
HRESULT CreateFilterGraphManager(REFIID riid, void** ppv);
// Capture graph builder (ICaptureGraphBuilder2).
HRESULT CreateCaptureGraphBuilder(REFIID riid, void** ppv);
// One input, a "Capture" and a "Preview" output; every sample goes to both.
HRESULT CreateSmartTee(REFIID riid, void** ppv);
// Colour space and size converter: RGB32, YUY2, I420 and MJPG in;
// RGB32, I420 and YUY2 out, scaled to the size the downstream pin asks for.
HRESULT CreateColourConverter(REFIID riid, void** ppv);
// The classic video renderer and the video mixing renderer 9.
HRESULT CreateVideoRenderer(REFIID riid, void** ppv);
HRESULT CreateVideoMixingRenderer9(REFIID riid, void** ppv);
// The built-in test source: moving colour bars (or a grey ramp on its second
// crossbar input) with a frame counter and the wall-clock time.
HRESULT CreateTestPatternSource(REFIID riid, void** ppv);
// A V4L2 capture device (/dev/videoN), read through libavdevice.
HRESULT CreateV4L2Source(const DeviceIdentity& device, REFIID riid, void** ppv);

// Friendly names of the intermediate filters (what their monikers report).
inline constexpr const char* kSmartTeeName = "Smart Tee";
inline constexpr const char* kColourConverterName = "Color Space Converter";
