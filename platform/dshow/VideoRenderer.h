#pragma once
// The video renderers' window and statistics, for the media layer and tests.

#include "platform/dshow/DShow.h"

#include <string>
#include <vector>

class QWidget;

// The window class every renderer window reports (FindWindowEx's class).
inline constexpr const char* kVideoRendererClass = "VideoRenderer";

// The child of `parent` whose class is "VideoRenderer" and whose caption is
// `caption`, or nullptr (FindWindowExA over our widgets).
QWidget* FindRendererWindow(QWidget* parent, const std::string& caption);

// Counters a renderer keeps, read by the benchmark and tests.
struct IRendererStatistics : IUnknown {
    static constexpr IID iid = MakeGuid("{6C1F0E52-3A7B-4C55-9E0B-2F1D7C9A4E11}");
    // Frames received and frames painted since the renderer was created.
    virtual HRESULT GetCounts(uint64_t* received, uint64_t* painted) = 0;
    // Moves out the delays (capture to paint, 100-ns units) collected since
    // the last call; the first call starts the collecting (and returns none).
    virtual HRESULT TakePaintDelays(std::vector<REFERENCE_TIME>* delays) = 0;
    // The renderer's window (nullptr before it was created).
    virtual QWidget* Window() = 0;
};
