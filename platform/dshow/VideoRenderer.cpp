// The video renderers: the classic renderer and the mixing renderer 9
// (windowed or windowless). Both keep the latest RGB32 frame and paint it,
// letter-boxed, in a widget of class "VideoRenderer" that lives on the
// user-interface thread; frames arrive on the source's streaming thread
// and only schedule a repaint.

#include "platform/dshow/VideoRenderer.h"

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <atomic>

namespace {

enum class RendererKind { Classic, Mixing };

class VideoRendererFilter;

QWidget* ToWidget(OAHWND handle)
{
    return reinterpret_cast<QWidget*>(handle);
}

bool HaveGui()
{
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

class RendererWidget final : public QWidget {
public:
    explicit RendererWidget(VideoRendererFilter& owner);
    // The owner's parent may delete the window first: the filter forgets it.
    ~RendererWidget() override;

    void SetDrain(QWidget* drain) { m_drain = drain; }
    void Detach() { m_owner = nullptr; }

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override { ForwardMouse(e); }
    void mouseReleaseEvent(QMouseEvent* e) override { ForwardMouse(e); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { ForwardMouse(e); }
    void mouseMoveEvent(QMouseEvent* e) override { ForwardMouse(e); }
    void keyPressEvent(QKeyEvent* e) override { ForwardKey(e); }
    void keyReleaseEvent(QKeyEvent* e) override { ForwardKey(e); }
    void contextMenuEvent(QContextMenuEvent* e) override
    {
        if (!m_drain)
            return QWidget::contextMenuEvent(e);
        QContextMenuEvent copy(e->reason(), m_drain->mapFromGlobal(e->globalPos()), e->globalPos(), e->modifiers());
        QCoreApplication::sendEvent(m_drain, &copy);
    }

private:
    void ForwardMouse(QMouseEvent* e)
    {
        if (!m_drain)
            return QWidget::event(e), void();
        const QPointF global = e->globalPosition();
        QMouseEvent copy(e->type(), m_drain->mapFromGlobal(global), global, e->button(), e->buttons(), e->modifiers());
        QCoreApplication::sendEvent(m_drain, &copy);
    }
    void ForwardKey(QKeyEvent* e)
    {
        if (!m_drain)
            return;
        QKeyEvent copy(e->type(), e->key(), e->modifiers(), e->text(), e->isAutoRepeat(), static_cast<ushort>(e->count()));
        QCoreApplication::sendEvent(m_drain, &copy);
    }

    // Whether anyone can see the video: shown, its window neither minimised
    // nor unexposed (unmapped, fully covered where the system says so).
    void UpdateSeen();
    void WatchWindow();

    VideoRendererFilter* m_owner;
    QPointer<QWidget> m_drain;
    QPointer<QWidget> m_watchedWidget;
    QPointer<QWindow> m_watchedWindow;
};

class RendererInputPin final : public InputPin {
public:
    RendererInputPin(FilterCore& filter, VideoRendererFilter& owner, std::string name, int stream)
        : InputPin(filter, std::move(name)), m_owner(owner), m_stream(stream)
    {
    }
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
    {
        const int w = type.video.biWidth, h = type.video.biHeight;
        return type.majortype == MEDIATYPE_Video && type.subtype == MEDIASUBTYPE_RGB32 && type.formattype == FORMAT_VideoInfo &&
                       w > 0 && h > 0 && w <= 8192 && h <= 8192
                   ? S_OK
                   : S_FALSE;
    }
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }
    HRESULT WantsFrame(REFERENCE_TIME) override;

private:
    VideoRendererFilter& m_owner;
    int m_stream;
};

class VideoRendererFilter final : public BaseFilter<IVideoWindow, IVMRFilterConfig9, IVMRWindowlessControl9,
                                                    IVMRAspectRatioControl9, IRendererStatistics> {
public:
    explicit VideoRendererFilter(RendererKind kind)
        : BaseFilter(kind == RendererKind::Classic ? CLSID_VideoRenderer : CLSID_VideoMixingRenderer9), m_kind(kind)
    {
        m_aspectMode = kind == RendererKind::Classic ? VMR9ARMode_LetterBox : VMR9ARMode_None;
        CreatePins(1);
    }
    ~VideoRendererFilter() override
    {
        StopStreamingNow();
        QWidget* widget = nullptr;
        {
            std::lock_guard lock(m_widgetLock);
            widget = std::exchange(m_widget, nullptr);
        }
        if (widget) {
            static_cast<RendererWidget*>(widget)->Detach();
            if (HaveGui())
                delete widget;
            else
                widget->deleteLater();
        }
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        const bool mixing = m_kind == RendererKind::Mixing;
        if (!mixing && (riid == IVMRFilterConfig9::iid || riid == IVMRWindowlessControl9::iid || riid == IVMRAspectRatioControl9::iid))
            return E_NOINTERFACE;
        if (riid == IVideoWindow::iid && mixing && m_mode != VMR9Mode_Windowed)
            return E_NOINTERFACE;
        if (riid == IVMRWindowlessControl9::iid && m_mode != VMR9Mode_Windowless)
            return E_NOINTERFACE;
        return BaseFilter::QueryInterface(riid, ppv);
    }

    // ---- frames (streaming thread) ----
    HRESULT Accept(IMediaSample* sample, int stream)
    {
        ++m_received;
        if (stream != 0)
            return S_OK; // secondary mixer streams are taken but not drawn
        {
            std::lock_guard lock(m_frameLock);
            m_latest = sample;
            m_latestType = Pin(0)->ConnectionType();
            ++m_sequence;
        }
        std::lock_guard lock(m_widgetLock);
        // A window no one can see is not painted; it shows the latest frame
        // once it can be seen again.
        if (m_widget && m_seen && !m_updatePending.exchange(true)) {
            QWidget* widget = m_widget;
            QMetaObject::invokeMethod(widget, [this, widget] {
                m_updatePending = false;
                widget->update();
            }, Qt::QueuedConnection);
        }
        return S_OK;
    }

    // Frames are wanted while there is no window yet (it is made on first
    // use) and while the window can be seen.
    bool Seen() const { return m_seen; }
    void SetSeen(bool seen) { m_seen = seen; }

    void WidgetDestroyed(QWidget* widget)
    {
        std::lock_guard lock(m_widgetLock);
        if (m_widget == widget)
            m_widget = nullptr;
    }

    // ---- painting (user-interface thread) ----
    void Paint(QPainter& painter, const QRect& area)
    {
        painter.fillRect(area, Qt::black);
        ComPtr<IMediaSample> frame;
        AM_MEDIA_TYPE type;
        uint64_t sequence = 0;
        {
            std::lock_guard lock(m_frameLock);
            frame = m_latest;
            type = m_latestType;
            sequence = m_sequence;
        }
        if (!frame)
            return;
        const int w = type.video.biWidth, h = type.video.biHeight;
        BYTE* data = nullptr;
        frame->GetPointer(&data);
        if (!data || frame->GetActualDataLength() < w * h * 4)
            return;
        const QImage image(data, w, h, w * 4, QImage::Format_RGB32);
        QRect target = area;
        if (m_aspectMode == VMR9ARMode_LetterBox) {
            const QSize fitted = QSize(w, h).scaled(area.size(), Qt::KeepAspectRatio);
            target = QRect(QPoint(area.x() + (area.width() - fitted.width()) / 2, area.y() + (area.height() - fitted.height()) / 2), fitted);
        }
        painter.drawImage(target, image);
        if (sequence != m_paintedSequence) {
            m_paintedSequence = sequence;
            ++m_painted;
            auto* ours = dynamic_cast<MediaSample*>(frame.Get());
            if (ours && ours->captureTime) {
                std::lock_guard lock(m_statsLock);
                if (m_measuring && m_delays.size() < kMaxPaintDelays)
                    m_delays.push_back(ReferenceTimeNow() - ours->captureTime);
            }
        }
    }

    // ---- IVideoWindow ----
    HRESULT put_Caption(const char* caption) override
    {
        m_caption = caption ? caption : "";
        if (auto* w = Widget()) w->setWindowTitle(QString::fromStdString(m_caption));
        return S_OK;
    }
    HRESULT get_Caption(std::string* caption) override
    {
        if (!caption) return E_POINTER;
        *caption = m_caption;
        return S_OK;
    }
    HRESULT put_WindowStyle(long style) override
    {
        m_style = style;
        return S_OK;
    }
    HRESULT get_WindowStyle(long* style) override
    {
        if (!style) return E_POINTER;
        *style = m_style;
        return S_OK;
    }
    HRESULT put_WindowStyleEx(long style) override
    {
        m_styleEx = style;
        if (auto* w = Widget(); w && !m_owner)
            w->setWindowFlag(Qt::WindowStaysOnTopHint, (style & WS_EX_TOPMOST) != 0);
        return S_OK;
    }
    HRESULT get_WindowStyleEx(long* style) override
    {
        if (!style) return E_POINTER;
        *style = m_styleEx;
        return S_OK;
    }
    HRESULT put_AutoShow(long autoShow) override
    {
        m_autoShow = autoShow != 0;
        return S_OK;
    }
    HRESULT put_Visible(long visible) override
    {
        m_visible = visible != 0;
        if (auto* w = Widget()) w->setVisible(m_visible);
        return S_OK;
    }
    HRESULT get_Visible(long* visible) override
    {
        if (!visible) return E_POINTER;
        *visible = m_visible ? -1 : 0;
        return S_OK;
    }
    HRESULT put_Owner(OAHWND owner) override
    {
        m_owner = owner;
        if (auto* w = Widget()) {
            const bool wasVisible = m_visible;
            w->setParent(ToWidget(owner), owner ? Qt::Widget : Qt::Window | Qt::FramelessWindowHint);
            if (!owner && (m_styleEx & WS_EX_TOPMOST))
                w->setWindowFlag(Qt::WindowStaysOnTopHint, true);
            w->setGeometry(m_left, m_top, m_width, m_height);
            w->setVisible(wasVisible);
        }
        return S_OK;
    }
    HRESULT get_Owner(OAHWND* owner) override
    {
        if (!owner) return E_POINTER;
        *owner = m_owner;
        return S_OK;
    }
    HRESULT put_MessageDrain(OAHWND drain) override
    {
        m_drain = drain;
        if (auto* w = Widget()) w->SetDrain(ToWidget(drain));
        return S_OK;
    }
    HRESULT get_MessageDrain(OAHWND* drain) override
    {
        if (!drain) return E_POINTER;
        *drain = m_drain;
        return S_OK;
    }
    HRESULT SetWindowPosition(long left, long top, long width, long height) override
    {
        if (width < 0 || height < 0)
            return E_INVALIDARG;
        m_left = static_cast<int>(left);
        m_top = static_cast<int>(top);
        m_width = static_cast<int>(width);
        m_height = static_cast<int>(height);
        if (auto* w = Widget()) w->setGeometry(m_left, m_top, m_width, m_height);
        return S_OK;
    }
    HRESULT GetWindowPosition(long* left, long* top, long* width, long* height) override
    {
        if (!left || !top || !width || !height) return E_POINTER;
        *left = m_left;
        *top = m_top;
        *width = m_width;
        *height = m_height;
        return S_OK;
    }

    // ---- IVMRFilterConfig9 ----
    HRESULT SetRenderingMode(DWORD mode) override
    {
        if (mode == VMR9Mode_Renderless)
            return E_NOTIMPL;
        if (mode != VMR9Mode_Windowed && mode != VMR9Mode_Windowless)
            return E_INVALIDARG;
        if (AnyPinConnected())
            return VFW_E_WRONG_STATE;
        m_mode = mode;
        return S_OK;
    }
    HRESULT GetRenderingMode(DWORD* mode) override
    {
        if (!mode) return E_POINTER;
        *mode = m_mode;
        return S_OK;
    }
    HRESULT SetNumberOfStreams(DWORD count) override
    {
        if (count < 1 || count > 16)
            return E_INVALIDARG;
        if (AnyPinConnected())
            return VFW_E_WRONG_STATE;
        CreatePins(static_cast<int>(count));
        return S_OK;
    }
    HRESULT GetNumberOfStreams(DWORD* count) override
    {
        if (!count) return E_POINTER;
        *count = static_cast<DWORD>(PinCount());
        return S_OK;
    }
    HRESULT SetRenderingPrefs(DWORD prefs) override
    {
        m_prefs = prefs;
        return S_OK;
    }
    HRESULT GetRenderingPrefs(DWORD* prefs) override
    {
        if (!prefs) return E_POINTER;
        *prefs = m_prefs;
        return S_OK;
    }

    // ---- IVMRWindowlessControl9 ----
    HRESULT SetVideoClippingWindow(OAHWND window) override
    {
        if (!window)
            return E_INVALIDARG;
        m_owner = window;
        if (auto* w = Widget()) {
            w->setParent(ToWidget(window));
            w->setGeometry(m_left, m_top, m_width, m_height);
            w->show();
            m_visible = true;
        }
        return S_OK;
    }
    HRESULT SetVideoPosition(const RECT*, const RECT* destination) override
    {
        if (!destination)
            return E_POINTER;
        return SetWindowPosition(destination->left, destination->top, destination->right - destination->left,
                                 destination->bottom - destination->top);
    }
    HRESULT GetNativeVideoSize(long* width, long* height, long* arWidth, long* arHeight) override
    {
        const AM_MEDIA_TYPE type = Pin(0)->ConnectionType();
        if (width) *width = type.video.biWidth;
        if (height) *height = type.video.biHeight;
        if (arWidth) *arWidth = type.video.biWidth;
        if (arHeight) *arHeight = type.video.biHeight;
        return S_OK;
    }

    // ---- IVMRAspectRatioControl9 ----
    HRESULT GetAspectRatioMode(DWORD* mode) override
    {
        if (!mode) return E_POINTER;
        *mode = m_aspectMode;
        return S_OK;
    }
    HRESULT SetAspectRatioMode(DWORD mode) override
    {
        if (mode != VMR9ARMode_None && mode != VMR9ARMode_LetterBox)
            return E_INVALIDARG;
        m_aspectMode = mode;
        if (auto* w = Widget()) w->update();
        return S_OK;
    }

    // ---- IRendererStatistics ----
    HRESULT GetCounts(uint64_t* received, uint64_t* painted) override
    {
        if (received) *received = m_received.load();
        if (painted) *painted = m_painted.load();
        return S_OK;
    }
    HRESULT TakePaintDelays(std::vector<REFERENCE_TIME>* delays) override
    {
        if (!delays) return E_POINTER;
        std::lock_guard lock(m_statsLock);
        *delays = std::move(m_delays);
        m_delays.clear();
        m_measuring = true;
        return S_OK;
    }
    QWidget* Window() override
    {
        std::lock_guard lock(m_widgetLock);
        return m_widget;
    }

protected:
    HRESULT OnRun(REFERENCE_TIME) override
    {
        if (m_autoShow && m_mode == VMR9Mode_Windowed && AnyPinConnected()) {
            if (auto* w = Widget()) {
                w->show();
                w->raise();
                m_visible = true;
            }
        }
        if (m_kind == RendererKind::Mixing && !m_deviceSet && AnyPinConnected()) {
            m_deviceSet = true;
            NotifyEvent(EC_VMR_RENDERDEVICE_SET, 0, 0);
        }
        return S_OK;
    }

private:
    void CreatePins(int count)
    {
        RemovePinsFrom(0);
        for (int i = 0; i < count; ++i) {
            std::string name = m_kind == RendererKind::Classic ? "Input" : "VMR Input" + std::to_string(i);
            AddPin(std::make_unique<RendererInputPin>(*this, *this, std::move(name), i));
        }
    }
    bool AnyPinConnected() const
    {
        for (int i = 0; i < PinCount(); ++i)
            if (Pin(i)->IsConnected())
                return true;
        return false;
    }

    // The window, created on first use on the user-interface thread.
    RendererWidget* Widget()
    {
        std::lock_guard lock(m_widgetLock);
        if (!m_widget && HaveGui()) {
            auto* w = new RendererWidget(*this);
            w->setWindowTitle(QString::fromStdString(m_caption));
            if (m_owner)
                w->setParent(ToWidget(m_owner));
            w->setGeometry(m_left, m_top, m_width, m_height);
            w->SetDrain(ToWidget(m_drain));
            m_seen = false; // not shown yet
            m_widget = w;
        }
        return static_cast<RendererWidget*>(m_widget);
    }

    RendererKind m_kind;
    DWORD m_mode = VMR9Mode_Windowed;
    DWORD m_prefs = 0;
    DWORD m_aspectMode = VMR9ARMode_None;
    bool m_deviceSet = false;

    std::string m_caption;
    long m_style = WS_CAPTION | WS_THICKFRAME | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    long m_styleEx = 0;
    bool m_autoShow = true;
    bool m_visible = false;
    OAHWND m_owner = 0;
    OAHWND m_drain = 0;
    int m_left = 0, m_top = 0, m_width = 320, m_height = 240;

    std::mutex m_widgetLock;
    QWidget* m_widget = nullptr;
    std::atomic<bool> m_updatePending{false};
    std::atomic<bool> m_seen{true};

    std::mutex m_frameLock;
    ComPtr<IMediaSample> m_latest;
    AM_MEDIA_TYPE m_latestType;
    uint64_t m_sequence = 0;
    uint64_t m_paintedSequence = 0;

    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_painted{0};
    std::mutex m_statsLock;
    // Paint delays are kept only once someone takes them: a preview that
    // runs for days unmeasured must not fill memory with them.
    static constexpr size_t kMaxPaintDelays = 100000;
    bool m_measuring = false;
    std::vector<REFERENCE_TIME> m_delays;
};

RendererWidget::RendererWidget(VideoRendererFilter& owner) : m_owner(&owner)
{
    setProperty("windowClass", kVideoRendererClass);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::NoFocus);
}

RendererWidget::~RendererWidget()
{
    if (m_owner) {
        m_owner->WidgetDestroyed(this);
        m_owner->SetSeen(true);
    }
}

bool RendererWidget::event(QEvent* e)
{
    const bool handled = QWidget::event(e);
    switch (e->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::ParentChange:
    case QEvent::WindowStateChange:
        WatchWindow();
        UpdateSeen();
        break;
    default:
        break;
    }
    return handled;
}

// The top-level window and its platform window tell of minimising and
// exposure; the video widget itself is not told.
bool RendererWidget::eventFilter(QObject* watched, QEvent* e)
{
    switch (e->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::WindowStateChange:
    case QEvent::Expose:
        UpdateSeen();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, e);
}

void RendererWidget::WatchWindow()
{
    QWidget* top = window();
    if (top != this && top != m_watchedWidget) {
        if (m_watchedWidget)
            m_watchedWidget->removeEventFilter(this);
        top->installEventFilter(this);
        m_watchedWidget = top;
    }
    QWindow* handle = top->windowHandle();
    if (handle && handle != m_watchedWindow) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        handle->installEventFilter(this);
        m_watchedWindow = handle;
    }
}

void RendererWidget::UpdateSeen()
{
    if (!m_owner)
        return;
    const QWidget* top = window();
    const QWindow* handle = top->windowHandle();
    const bool seen = isVisible() && !top->isMinimized() && (!handle || handle->isExposed());
    const bool was = m_owner->Seen();
    m_owner->SetSeen(seen);
    if (seen && !was)
        update(); // the latest frame, kept while hidden
}

void RendererWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (m_owner)
        m_owner->Paint(painter, rect());
    else
        painter.fillRect(rect(), Qt::black);
}

HRESULT RendererInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CheckStreaming();
    if (FAILED(hr))
        return hr;
    return m_owner.Accept(sample, m_stream);
}

HRESULT RendererInputPin::WantsFrame(REFERENCE_TIME)
{
    return m_stream != 0 || m_owner.Seen() ? S_OK : S_FALSE;
}

} // namespace

QWidget* FindRendererWindow(QWidget* parent, const std::string& caption)
{
    if (!parent)
        return nullptr;
    const QString title = QString::fromStdString(caption);
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child->property("windowClass").toString() == QLatin1String(kVideoRendererClass) && child->windowTitle() == title)
            return child;
    return nullptr;
}

HRESULT CreateVideoRenderer(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto renderer = ComPtr<VideoRendererFilter>::Adopt(NewComObject<VideoRendererFilter>(RendererKind::Classic));
    return renderer->QueryInterface(riid, ppv);
}

HRESULT CreateVideoMixingRenderer9(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto renderer = ComPtr<VideoRendererFilter>::Adopt(NewComObject<VideoRendererFilter>(RendererKind::Mixing));
    return renderer->QueryInterface(riid, ppv);
}
