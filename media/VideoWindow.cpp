#include "media/VideoWindow.h"

#include "platform/dshow/VideoRenderer.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <cfenv>

namespace {

// Creating the mixing renderer may change the floating-point control word
// (it did on the platform); keep ours whatever happens.
class FloatingPointGuard {
public:
    FloatingPointGuard() { std::fegetenv(&m_env); }
    ~FloatingPointGuard() { std::fesetenv(&m_env); }
    FloatingPointGuard(const FloatingPointGuard&) = delete;
    FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

private:
    std::fenv_t m_env;
};

constexpr long kStyleMaskFullScreen = static_cast<long>(0xFF3BFFFFu);   // WS_CAPTION and WS_THICKFRAME cleared
constexpr long kStyleExMaskFullScreen = static_cast<long>(0xFFFDFCFEu); // dialog, window, client and static edges cleared
constexpr long kChildStyles = 0x44000000;                                // WS_CHILD | WS_CLIPSIBLINGS

} // namespace

// ---- options ------------------------------------------------------------------------------

void TVMROptions::RefreshOwner()
{
    if (m_owner && m_owner->Mode() == vmVMR && m_owner->FilterGraph() && m_owner->FilterGraph()->Active())
        m_owner->RefreshMember();
}

void TVMROptions::SetMode(TVMRVideoMode value)
{
    m_mode = value;
    RefreshOwner();
}

void TVMROptions::SetStreams(uint32_t value)
{
    m_streams = value >= 1 && value <= 16 ? value : 1;
    RefreshOwner();
}

void TVMROptions::SetPreferences(TVMRPreferences value)
{
    m_preferences = value;
    RefreshOwner();
}

void TVMROptions::SetKeepAspectRatio(bool value)
{
    m_keepAspectRatio = value;
    if (m_owner)
        m_owner->ApplyKeepAspectRatio();
}

// ---- the control -------------------------------------------------------------------------

TVideoWindow::TVideoWindow(QWidget* parent) : QWidget(parent), m_vmrOptions(std::make_unique<TVMROptions>(this))
{
    resize(160, 120);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::TabFocus);
}

TVideoWindow::~TVideoWindow()
{
    SetFilterGraph(nullptr);
    m_vmrOptions.reset();
}

void TVideoWindow::Loaded()
{
    m_savedStyle = WS_CHILD | WS_CLIPSIBLINGS | (isVisible() ? WS_VISIBLE : 0);
    m_savedStyleEx = 0;
}

bool TVideoWindow::VMRAvailable()
{
    RegisterMediaFrameworkClasses();
    FloatingPointGuard guard;
    ComPtr<IBaseFilter> vmr;
    return SUCCEEDED(CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                      IBaseFilter::iid, vmr.ReleaseAndGetVoid())) &&
           vmr;
}

void TVideoWindow::SetMode(TVideoMode value)
{
    m_mode = value == vmVMR && !VMRAvailable() ? vmNormal : value;
    if (m_graph && m_graph->Active())
        RefreshMember();
}

void TVideoWindow::RefreshMember()
{
    if (!m_graph)
        return;
    m_graph->RemoveMember(this);
    m_graph->AddMember(this);
}

void TVideoWindow::SetFilterGraph(TFilterGraph* graph)
{
    if (graph == m_graph)
        return;
    if (m_graph) {
        m_graph->RemoveMember(this);
        m_graph->RemoveListener(this);
        m_graph->RemoveFreeNotification(this);
    }
    if (graph) {
        graph->AddMember(this);
        graph->AddListener(this);
        graph->FreeNotification(this);
    }
    m_graph = graph;
}

void TVideoWindow::FilterGraphFreed(TFilterGraph* graph)
{
    if (graph == m_graph)
        m_graph = nullptr;
}

bool TVideoWindow::IsConnected() const
{
    TPinList pins(m_renderer.Get());
    for (int i = 0; i < pins.Count(); ++i)
        if (pins.Connected(i))
            return true;
    return false;
}

OAHWND TVideoWindow::VideoHandle() const
{
    if (m_videoWindow)
        return reinterpret_cast<OAHWND>(FindRendererWindow(parentWidget(), objectName().toStdString()));
    return reinterpret_cast<OAHWND>(this);
}

void TVideoWindow::SetVisible(bool value)
{
    QWidget::setVisible(value);
    if (m_videoWindow)
        CheckGraphResult(m_videoWindow->put_Visible(value ? -1 : 0));
}

HRESULT TVideoWindow::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IVMRWindowlessControl9::iid && m_windowless) {
        *ppv = ComPtr(m_windowless).Detach();
        return S_OK;
    }
    if (m_renderer)
        return m_renderer->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
}

// ---- membership ----------------------------------------------------------------------------

void TVideoWindow::NotifyFilter(TMemberNotice notice, int32_t)
{
    switch (notice) {
    case mnAdding:
        if (m_mode == vmNormal) {
            CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IBaseFilter::iid, m_renderer.ReleaseAndGetVoid());
        } else {
            FloatingPointGuard guard;
            CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IBaseFilter::iid,
                             m_renderer.ReleaseAndGetVoid());
            if (auto config = m_renderer.As<IVMRFilterConfig9>()) {
                switch (m_vmrOptions->Mode()) {
                case vmrWindowed:
                    CheckGraphResult(config->SetRenderingMode(VMR9Mode_Windowed));
                    break;
                case vmrWindowless:
                    CheckGraphResult(config->SetRenderingMode(VMR9Mode_Windowless));
                    break;
                case vmrRenderless:
                    throw EMediaKitException("Allocator class not set.");
                }
            }
        }
        break;

    case mnAdded:
        if (m_mode == vmNormal) {
            if (m_renderer)
                CheckGraphResult(m_renderer->QueryInterface(IVideoWindow::iid, m_videoWindow.ReleaseAndGetVoid()));
        } else if (m_renderer) {
            ComPtr<IVMRFilterConfig9> config;
            CheckGraphResult(m_renderer->QueryInterface(IVMRFilterConfig9::iid, config.ReleaseAndGetVoid()));
            if (m_vmrOptions->m_streams != 4 || (m_vmrOptions->m_preferences & VMRPreferenceBit(vpForceMixer))) {
                CheckGraphResult(config->SetNumberOfStreams(m_vmrOptions->m_streams));
                DWORD streams = 0;
                CheckGraphResult(config->GetNumberOfStreams(&streams));
                m_vmrOptions->m_streams = streams;
            }
            switch (m_vmrOptions->Mode()) {
            case vmrWindowed:
                CheckGraphResult(m_renderer->QueryInterface(IVideoWindow::iid, m_videoWindow.ReleaseAndGetVoid()));
                ApplyPreferences(config.Get());
                break;
            case vmrWindowless:
                CheckGraphResult(m_renderer->QueryInterface(IVMRWindowlessControl9::iid, m_windowless.ReleaseAndGetVoid()));
                CheckGraphResult(m_windowless->SetVideoClippingWindow(reinterpret_cast<OAHWND>(this)));
                ApplyPreferences(config.Get());
                UpdateRendererPosition();
                break;
            case vmrRenderless:
                break;
            }
            ApplyKeepAspectRatio();
        }
        break;

    case mnRemoving:
        if (m_renderer) {
            CheckGraphResult(m_renderer->Stop());
            TPinList pins(m_renderer.Get());
            for (int i = 0; i < pins.Count(); ++i)
                CheckGraphResult(pins.Item(i)->Disconnect());
        }
        break;

    case mnRemoved:
        m_videoWindow = nullptr;
        m_windowless = nullptr;
        m_renderer = nullptr;
        break;
    }
}

void TVideoWindow::ApplyPreferences(IVMRFilterConfig9* config)
{
    const TVMRPreferences mixer = VMRPreferenceBit(vpForceMixer);
    const bool forceMixer = (m_vmrOptions->m_preferences & mixer) != 0;
    CheckGraphResult(config->SetRenderingPrefs(m_vmrOptions->m_preferences & ~mixer));
    DWORD prefs = 0;
    CheckGraphResult(config->GetRenderingPrefs(&prefs));
    m_vmrOptions->m_preferences = prefs | (forceMixer ? mixer : 0);
}

void TVideoWindow::ApplyKeepAspectRatio()
{
    const TVMRVideoMode mode = m_vmrOptions->Mode();
    if (mode != vmrWindowed && mode != vmrWindowless)
        return;
    ComPtr<IVMRAspectRatioControl9> aspect;
    if (SUCCEEDED(QueryInterface(IVMRAspectRatioControl9::iid, aspect.ReleaseAndGetVoid())) && aspect)
        CheckGraphResult(aspect->SetAspectRatioMode(m_vmrOptions->KeepAspectRatio() ? VMR9ARMode_LetterBox : VMR9ARMode_None));
}

// ---- graph events ------------------------------------------------------------------------

void TVideoWindow::ControlEvent(TControlEventKind event, int32_t)
{
    if (event != cePlay || !IsConnected())
        return;
    if (m_mode == vmNormal) {
        if (!m_videoWindow)
            return;
        SetFullScreen(m_fullScreen);
        if (!objectName().isEmpty())
            CheckGraphResult(m_videoWindow->put_Caption(objectName().toStdString().c_str()));
        CheckGraphResult(m_videoWindow->put_MessageDrain(reinterpret_cast<OAHWND>(this)));
    } else {
        SetFullScreen(m_fullScreen);
    }
}

void TVideoWindow::GraphEvent(long event, LONG_PTR, LONG_PTR)
{
    if (event == 9 && m_videoWindow) {
        SetFullScreen(m_fullScreen);
        if (!objectName().isEmpty())
            CheckGraphResult(m_videoWindow->put_Caption(objectName().toStdString().c_str()));
        CheckGraphResult(m_videoWindow->put_MessageDrain(reinterpret_cast<OAHWND>(this)));
    } else if (event == EC_VMR_RENDERDEVICE_SET && m_vmrOptions->Mode() == vmrWindowed && m_videoWindow) {
        if (!objectName().isEmpty())
            CheckGraphResult(m_videoWindow->put_Caption(objectName().toStdString().c_str()));
        CheckGraphResult(m_videoWindow->put_MessageDrain(reinterpret_cast<OAHWND>(this)));
    }
}

// ---- full screen -------------------------------------------------------------------------

void TVideoWindow::SetFullScreen(bool value)
{
    if (m_videoWindow && IsConnected()) {
        if (value) {
            CheckGraphResult(m_videoWindow->put_Owner(0));
            CheckGraphResult(m_videoWindow->put_WindowStyle(m_savedStyle & kStyleMaskFullScreen));
            CheckGraphResult(m_videoWindow->put_WindowStyleEx((m_savedStyleEx & kStyleExMaskFullScreen) |
                                                              (m_fullScreenTopMost ? WS_EX_TOPMOST : 0)));
            QRect screen(0, 0, 1024, 768);
            if (QScreen* s = QGuiApplication::primaryScreen())
                screen = s->geometry();
            CheckGraphResult(m_videoWindow->SetWindowPosition(0, 0, screen.width(), screen.height()));
            m_inFullScreen = true;
        } else {
            CheckGraphResult(m_videoWindow->put_Owner(reinterpret_cast<OAHWND>(parentWidget())));
            CheckGraphResult(m_videoWindow->put_WindowStyle(m_savedStyle | kChildStyles));
            CheckGraphResult(m_videoWindow->put_WindowStyleEx(m_savedStyleEx));
            CheckGraphResult(m_videoWindow->SetWindowPosition(x(), y(), width(), height()));
            m_inFullScreen = false;
        }
    }
    if (m_windowless)
        m_inFullScreen = false;
    m_fullScreen = value;
}

void TVideoWindow::SetFullScreenTopMost(bool value)
{
    m_fullScreenTopMost = value;
    if (m_fullScreen)
        SetFullScreen(true);
}

// ---- geometry and painting ---------------------------------------------------------------

void TVideoWindow::UpdateRendererPosition()
{
    if (m_mode == vmVMR && m_vmrOptions->Mode() == vmrWindowless) {
        if (m_windowless) {
            const RECT destination{0, 0, width(), height()};
            m_windowless->SetVideoPosition(nullptr, &destination);
        }
        return;
    }
    if (m_mode == vmVMR && m_vmrOptions->Mode() == vmrRenderless)
        return;
    if (m_videoWindow && !m_fullScreen)
        m_videoWindow->SetWindowPosition(x(), y(), width(), height());
}

void TVideoWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    UpdateRendererPosition();
}

// A move without a resize (a layout shifting the control) must carry the
// renderer window along too, or the video would sit beside the control.
void TVideoWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    UpdateRendererPosition();
}

void TVideoWindow::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    if (OnPaint)
        OnPaint(this);
}

QPoint TVideoWindow::EventPosition(const QPointF& local) const
{
    return m_inFullScreen ? QCursor::pos() : local.toPoint();
}

void TVideoWindow::mousePressEvent(QMouseEvent* event)
{
    QWidget::mousePressEvent(event);
    const QPoint p = EventPosition(event->position());
    if (OnMouseDown)
        OnMouseDown(this, event->button(), event->modifiers(), p.x(), p.y());
}

void TVideoWindow::mouseReleaseEvent(QMouseEvent* event)
{
    QWidget::mouseReleaseEvent(event);
    const QPoint p = EventPosition(event->position());
    if (OnMouseUp)
        OnMouseUp(this, event->button(), event->modifiers(), p.x(), p.y());
    if (OnClick && event->button() == Qt::LeftButton)
        OnClick(this);
}

void TVideoWindow::mouseMoveEvent(QMouseEvent* event)
{
    QWidget::mouseMoveEvent(event);
    const QPoint p = EventPosition(event->position());
    if (OnMouseMove)
        OnMouseMove(this, event->modifiers(), p.x(), p.y());
}

void TVideoWindow::mouseDoubleClickEvent(QMouseEvent* event)
{
    QWidget::mouseDoubleClickEvent(event);
    if (OnDblClick)
        OnDblClick(this);
}

void TVideoWindow::contextMenuEvent(QContextMenuEvent* event)
{
    if (m_fullScreen && PopupMenu) {
        PopupMenu->popup(QCursor::pos());
        event->accept();
        return;
    }
    QWidget::contextMenuEvent(event);
}
