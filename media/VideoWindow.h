#pragma once
// TVideoWindow: the control that shows a graph's video. It creates the
// video renderer when its graph becomes active, joins the graph as a
// member and a listener, and once the graph plays puts the renderer's
// window over its own bounds in its parent and keeps it there.

#include "media/FilterGraph.h"

#include <QWidget>

#include <functional>
#include <memory>

class QMenu;
class TVideoWindow;

enum TVideoMode { vmNormal = 0, vmVMR = 1 };
enum TVMRVideoMode { vmrWindowed = 0, vmrWindowless = 1, vmrRenderless = 2 };
enum TVMRPreference {
    vpForceOffscreen = 0,
    vpForceOverlays = 1,
    vpForceMixer = 2,
    vpDoNotRenderColorKeyAndBorder = 3,
    vpRestrictToInitialMonitor = 4,
    vpPreferAGPMemWhenMixing = 5,
};
// A set of TVMRPreference: bit n is element n.
using TVMRPreferences = uint32_t;
constexpr TVMRPreferences VMRPreferenceBit(TVMRPreference p) { return 1u << p; }

// The mixing renderer's settings, owned by a video window.
class TVMROptions {
public:
    explicit TVMROptions(TVideoWindow* owner) : m_owner(owner) {}

    TVMRVideoMode Mode() const { return m_mode; }
    void SetMode(TVMRVideoMode value);
    uint32_t Streams() const { return m_streams; }
    // 1..16; anything else becomes 1.
    void SetStreams(uint32_t value);
    TVMRPreferences Preferences() const { return m_preferences; }
    void SetPreferences(TVMRPreferences value);
    bool KeepAspectRatio() const { return m_keepAspectRatio; }
    void SetKeepAspectRatio(bool value);

private:
    friend class TVideoWindow;
    void RefreshOwner();

    TVideoWindow* m_owner;
    TVMRVideoMode m_mode = vmrWindowed;
    uint32_t m_streams = 4;
    TVMRPreferences m_preferences = VMRPreferenceBit(vpForceMixer);
    bool m_keepAspectRatio = true;
};

class TVideoWindow : public QWidget, public IMemberFilter, public IGraphListener, public IGraphFreeNotify {
public:
    explicit TVideoWindow(QWidget* parent = nullptr);
    ~TVideoWindow() override;

    // ---- published properties ----
    TVideoMode Mode() const { return m_mode; }
    // vmVMR is kept only when the mixing renderer can be created.
    void SetMode(TVideoMode value);
    TVMROptions* VMROptions() const { return m_vmrOptions.get(); }
    TFilterGraph* FilterGraph() const { return m_graph; }
    void SetFilterGraph(TFilterGraph* graph);
    bool FullScreen() const { return m_fullScreen; }
    void SetFullScreen(bool value);
    bool FullScreenTopMost() const { return m_fullScreenTopMost; }
    void SetFullScreenTopMost(bool value);
    // The renderer's window (a QWidget* as an integer) when the renderer has
    // one, otherwise this control's own.
    OAHWND VideoHandle() const;
    // The control's visibility, then the renderer window's.
    void SetVisible(bool value);
    QMenu* PopupMenu = nullptr;

    std::function<void(TVideoWindow* sender)> OnPaint;
    std::function<void(TVideoWindow* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int X, int Y)> OnMouseDown, OnMouseUp;
    std::function<void(TVideoWindow* sender, Qt::KeyboardModifiers shift, int X, int Y)> OnMouseMove;
    std::function<void(TVideoWindow* sender)> OnClick, OnDblClick;

    ComPtr<IBaseFilter> RendererFilter() const { return m_renderer; }
    // True when a renderer pin is connected to another pin.
    bool IsConnected() const;
    // Whether the mixing renderer 9 can be created on this machine.
    static bool VMRAvailable();

    // Called once the owning form has loaded: keeps the window styles that
    // leaving full screen restores.
    void Loaded();

    // IVMRWindowlessControl9 from the windowless renderer, else the renderer's
    // interfaces (this is how the program gets the renderer's IBaseFilter).
    HRESULT QueryInterface(REFIID riid, void** ppv);

    // IMemberFilter
    ComPtr<IBaseFilter> GetBaseFilter() override { return m_renderer; }
    std::string GetFilterName() override { return objectName().toStdString(); }
    void NotifyFilter(TMemberNotice notice, int32_t param = 0) override;
    // IGraphListener
    void GraphEvent(long event, LONG_PTR param1, LONG_PTR param2) override;
    void ControlEvent(TControlEventKind event, int32_t param = 0) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    friend class TVMROptions;
    void FilterGraphFreed(TFilterGraph* graph) override;
    void RefreshMember();
    void ApplyPreferences(IVMRFilterConfig9* config);
    void ApplyKeepAspectRatio();
    void UpdateRendererPosition();
    QPoint EventPosition(const QPointF& local) const;

    TVideoMode m_mode = vmNormal;
    std::unique_ptr<TVMROptions> m_vmrOptions;
    TFilterGraph* m_graph = nullptr;
    bool m_fullScreen = false;
    bool m_fullScreenTopMost = false;
    bool m_inFullScreen = false;
    long m_savedStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    long m_savedStyleEx = 0;

    ComPtr<IBaseFilter> m_renderer;
    ComPtr<IVideoWindow> m_videoWindow;
    ComPtr<IVMRWindowlessControl9> m_windowless;
};
