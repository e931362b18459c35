#include "htmlview/HtmlView.h"

#include "htmlview/HtmlImages.h"
#include "platform/core/Text.h"

#include <QFocusEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QWheelEvent>
#include <QtGlobal>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace fs = std::filesystem;

namespace {

constexpr int kVSmallStep = 16;
constexpr int kHSmallStep = 15;
constexpr int kMaxHorzRange = 6000;

using asciitext::Lower;
using asciitext::StartsText;
using asciitext::Upper;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// An absolute, lexically normal path (no symbolic links resolved, no disk
// access), as the program's full file names are.
std::string ExpandFileName(const std::string& name)
{
    if (name.empty())
        return name;
    std::error_code ec;
    fs::path p(name);
    if (p.is_relative())
        p = fs::current_path(ec) / p;
    return p.lexically_normal().string();
}

std::string DirectoryOf(const std::string& file)
{
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

std::string UpperExtension(const std::string& file)
{
    const std::size_t slash = file.rfind('/');
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    return Upper(file.substr(dot));
}

bool IsImageExtension(const std::string& ext)
{
    return ext == ".BMP" || ext == ".GIF" || ext == ".JPG" || ext == ".JPEG" || ext == ".PNG";
}

std::string HtmlEscapeAttribute(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '"')
            out += "&quot;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

QColor ToQColor(TColor c)
{
    return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

} // namespace

// ---------------------------------------------------------------------------
// The drawing surface

class THtmlView::TPaintPanel : public QWidget {
public:
    explicit TPaintPanel(THtmlView* view) : QWidget(view), m_view(view)
    {
        setObjectName("PaintPanel");
        setMouseTracking(true);
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        if (m_view->m_processing)
            return;
        const QRect clip = event->rect();
        if (clip.isEmpty())
            return;
        try {
            // Draw the clip rectangle off screen, then copy it in one step.
            QImage buffer(clip.size(), QImage::Format_RGB32);
            if (buffer.isNull())
                throw EOutOfResources("Out of Resources");
            {
                QPainter bp(&buffer);
                bp.translate(-clip.x() - m_view->m_hPos, -clip.y() - m_view->m_vPos);
                m_view->PaintDocument(bp, clip.translated(m_view->m_hPos, m_view->m_vPos));
            }
            QPainter p(this);
            p.drawImage(clip.topLeft(), buffer);
        } catch (const Exception& e) {
            // Never out of a paint event: report once the event is over.
            QPointer<THtmlView> view(m_view);
            const std::string message = e.Message();
            QTimer::singleShot(0, m_view, [view, message] {
                if (view && view->OnError)
                    view->OnError(view, Exception(message));
            });
        }
    }
    void mouseMoveEvent(QMouseEvent* event) override { m_view->PanelMouseMove(event); }
    void mousePressEvent(QMouseEvent* event) override { m_view->PanelMousePress(event); }
    void mouseReleaseEvent(QMouseEvent* event) override { m_view->PanelMouseRelease(event); }
    void mouseDoubleClickEvent(QMouseEvent* event) override { m_view->PanelMouseDouble(event); }
    void leaveEvent(QEvent*) override { m_view->PanelLeave(); }

private:
    THtmlView* m_view;
};

// ---------------------------------------------------------------------------

THtmlView::THtmlView(QWidget* parent) : QWidget(parent), m_fonts(std::make_shared<TQtFontEngine>())
{
    setFocusPolicy(Qt::StrongFocus);
    m_paintPanel = new TPaintPanel(this);
    m_vBar = new QScrollBar(Qt::Vertical, this);
    m_vBar->setObjectName("VScrollBar");
    m_vBar->setSingleStep(kVSmallStep);
    m_vBar->setFocusPolicy(Qt::NoFocus);
    m_vBar->hide();
    m_hBar = new QScrollBar(Qt::Horizontal, this);
    m_hBar->setObjectName("HScrollBar");
    m_hBar->setSingleStep(kHSmallStep);
    m_hBar->setFocusPolicy(Qt::NoFocus);
    m_hBar->hide();
    connect(m_vBar, &QScrollBar::valueChanged, this, [this](int v) {
        if (!m_updatingBars)
            SetVPos(v, true);
    });
    connect(m_hBar, &QScrollBar::valueChanged, this, [this](int v) {
        if (!m_updatingBars)
            SetHPos(v);
    });
    // GIF, JPEG and BMP pictures through the program's own decoders.
    m_imageLoader = ViewerImageLoader();
    ApplySettings();
    UpdateScrollBars();
}

THtmlView::~THtmlView()
{
    for (auto& image : m_watchedImages)
        if (image)
            image->SetChangedHandler(nullptr);
}

// ---------------------------------------------------------------------------
// Properties

void THtmlView::SetDefBackground(TColor color)
{
    m_defBackground = color;
    m_document.Background = color;
    update();
    m_paintPanel->update();
}

void THtmlView::SetBorderStyle(THTMLBorderStyle style)
{
    m_borderStyle = style;
    Relayout();
    update();
}

void THtmlView::SetHistoryMaxCount(int count)
{
    if (count < 0)
        return;
    if (count < m_historyMaxCount)
        ClearHistory();
    m_historyMaxCount = count;
}

void THtmlView::ClearHistory()
{
    const bool had = !m_history.empty();
    m_history.clear();
    m_historyIndex = 0;
    if (had && OnHistoryChange)
        OnHistoryChange(this);
}

void THtmlView::SetDefFontName(const std::string& name)
{
    m_defFontName = name;
}

void THtmlView::SetDefPreFontName(const std::string& name)
{
    m_defPreFontName = name;
}

void THtmlView::SetDefFontSize(int size)
{
    if (size > 0)
        m_defFontSize = size;
}

void THtmlView::SetDefFontColor(TColor color)
{
    m_defFontColor = color;
}

void THtmlView::SetDefHotSpotColor(TColor color)
{
    m_defHotSpotColor = color;
}

void THtmlView::SetDefVisitedLinkColor(TColor color)
{
    m_defVisitedLinkColor = color;
    m_document.VisitedColor = color;
    m_paintPanel->update();
}

void THtmlView::SetDefOverLinkColor(TColor color)
{
    m_defOverLinkColor = color;
    m_document.OverColor = color;
    m_paintPanel->update();
}

void THtmlView::SetVisitedMaxCount(int count)
{
    m_visitedMaxCount = std::max(0, count);
    if (static_cast<int>(m_visited.size()) > m_visitedMaxCount) {
        m_visited.resize(std::size_t(m_visitedMaxCount));
        MarkVisited();
    }
}

void THtmlView::ClearVisited()
{
    m_visited.clear();
    MarkVisited();
}

void THtmlView::SetImageCacheCount(int count)
{
    m_imageCacheCount = std::max(0, count);
    if (static_cast<int>(m_imageCache.size()) > m_imageCacheCount)
        m_imageCache.resize(std::size_t(m_imageCacheCount));
}

void THtmlView::SetScrollBars(TScrollStyle style)
{
    m_scrollBars = style;
    Relayout();
}

void THtmlView::SetMarginHeight(int value)
{
    m_marginHeight = std::clamp(value, 0, 200);
    Relayout();
}

void THtmlView::SetMarginWidth(int value)
{
    m_marginWidth = std::clamp(value, 0, 200);
    Relayout();
}

void THtmlView::SetServerRoot(const std::string& root)
{
    m_serverRoot = root;
    while (!m_serverRoot.empty() && m_serverRoot.back() == '/')
        m_serverRoot.pop_back();
}

void THtmlView::SethtOptions(THtmlViewOptions options)
{
    m_options = options;
    m_document.OverLinksActive = (options & htOverLinksActive) != 0 || m_document.BodyOverColor != clNone;
    m_document.NoLinkUnderline = (options & htNoLinkUnderline) != 0;
    UpdateScrollBars();
    m_paintPanel->update();
}

void THtmlView::SetViewImages(bool value)
{
    if (m_viewImages == value)
        return;
    m_viewImages = value;
    ResolveImages();
    Relayout();
}

void THtmlView::SetFontEngine(std::shared_ptr<THtmlFontEngine> engine)
{
    if (!engine)
        return;
    m_fonts = std::move(engine);
    Relayout();
}

void THtmlView::SetImageLoader(THtmlImageLoader loader)
{
    m_imageLoader = std::move(loader);
    m_imageCache.clear();
    ResolveImages();
    Relayout();
}

void THtmlView::ApplySettings()
{
    m_document.DefFontName = m_defFontName;
    m_document.PreFontName = m_defPreFontName;
    m_document.DefFontSize = m_defFontSize;
    m_document.FontColor = m_defFontColor;
    m_document.HotSpotColor = m_defHotSpotColor;
    m_document.VisitedColor = m_defVisitedLinkColor;
    m_document.OverColor = m_defOverLinkColor;
    m_document.OverLinksActive = (m_options & htOverLinksActive) != 0;
    m_document.NoLinkUnderline = (m_options & htNoLinkUnderline) != 0;
    m_document.Background = m_defBackground;
    m_document.CharSet = m_charSet;
}

// ---------------------------------------------------------------------------
// Loading

void THtmlView::SetProcessing(bool on)
{
    m_processing = on;
    if (OnProcessing)
        OnProcessing(this, on);
}

void THtmlView::LoadDocument(const std::string& text, THtmlFileType type)
{
    SetProcessing(true);
    for (auto& image : m_watchedImages)
        if (image)
            image->SetChangedHandler(nullptr);
    m_watchedImages.clear();
    m_hoverLinkId = m_pressedLinkId = 0;
    m_document.Clear();
    ApplySettings();
    if (OnSoundRequest)
        OnSoundRequest(this, std::string(), 1, false);
    try {
        if (type == TextType) {
            m_parse = TParseResult();
            m_parser.ParsePlainText(text, m_document);
        } else {
            THtmlParser::TIncludeCallback include;
            THtmlParser::TSoundCallback sound;
            THtmlParser::TMetaCallback meta;
            THtmlParser::TScriptCallback script;
            if (OnInclude)
                include = [this](const std::string& c, const std::vector<std::string>& p, std::string& t) {
                    OnInclude(this, c, p, t);
                };
            if (OnSoundRequest)
                sound = [this](const std::string& src, int loop) { OnSoundRequest(this, src, loop, false); };
            if (OnMeta)
                meta = [this](const std::string& eq, const std::string& content, const std::string& name) {
                    OnMeta(this, eq, name, content);
                };
            if (OnScript)
                script = [this](const std::string& n, const std::string& l, const std::string& s) {
                    OnScript(this, n, l, s);
                };
            m_parse = m_parser.ParseDocument(text, m_document, include, sound, meta, script);
        }
    } catch (...) {
        SetProcessing(false);
        throw;
    }
    m_title = m_parse.DocumentTitle;
    ResolveImages();
    SetProcessing(false);
    Relayout();
}

void THtmlView::LoadFromString(const std::string& text, bool plainText)
{
    if (m_processing)
        return;
    LoadDocument(text, plainText ? TextType : HTMLType);
    m_fileType = plainText ? TextType : HTMLType;
    MarkVisited();
    SetVPos(0);
    SetHPos(0);
    m_paintPanel->update();
}

void THtmlView::LoadFromFile(const std::string& name)
{
    if (m_processing || name.empty())
        return;
    const std::string oldFile = m_currentFile, oldTitle = m_title;
    const THtmlFileType oldType = m_fileType;
    const int oldPos = m_vPos;

    const std::size_t hash = name.find('#');
    const std::string file = name.substr(0, hash);
    const std::string anchor = hash == std::string::npos ? std::string() : name.substr(hash + 1);
    std::error_code ec;
    if (file.empty() || !fs::exists(file, ec) || fs::is_directory(file, ec))
        throw EInOutError("Can't locate file: " + file);
    const std::string full = ExpandFileName(file);
    if (IsImageExtension(UpperExtension(full))) {
        LoadImageFile(full);
        return;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw EInOutError("Can't locate file: " + file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();

    m_currentFile = full;
    m_fileType = HTMLType;
    LoadDocument(text, HTMLType);
    MarkVisited();
    if (anchor.empty() || !PositionTo(anchor)) {
        if (full != oldFile) {
            SetVPos(0);
            SetHPos(0);
        }
    }
    m_paintPanel->update();
    if (m_parse.HasRefresh && OnMetaRefresh)
        OnMetaRefresh(this, m_parse.RefreshDelay, m_parse.RefreshUrl);
    if (!m_navigatingHistory && (full != oldFile || oldType != m_fileType))
        BumpHistory(oldFile, oldTitle, oldType, oldPos);
}

void THtmlView::LoadImageFile(const std::string& name)
{
    if (m_processing || name.empty())
        return;
    std::error_code ec;
    if (!fs::exists(name, ec) || fs::is_directory(name, ec))
        throw EInOutError("Can't locate file: " + name);
    const std::string oldFile = m_currentFile, oldTitle = m_title;
    const THtmlFileType oldType = m_fileType;
    const int oldPos = m_vPos;
    m_currentFile = ExpandFileName(name);
    m_fileType = ImgType;
    LoadDocument("<img src=\"" + HtmlEscapeAttribute(m_currentFile) + "\">", HTMLType);
    SetVPos(0);
    SetHPos(0);
    m_paintPanel->update();
    if (!m_navigatingHistory && (m_currentFile != oldFile || oldType != m_fileType))
        BumpHistory(oldFile, oldTitle, oldType, oldPos);
}

// ---------------------------------------------------------------------------
// Images

std::shared_ptr<THtmlImage> THtmlView::LoadImage(const std::string& src)
{
    if (src.empty())
        return nullptr;
    std::shared_ptr<std::istream> stream;
    if (OnImageRequest)
        OnImageRequest(this, src, stream);
    if (stream) {
        if (!m_imageLoader)
            return nullptr;
        std::string data((std::istreambuf_iterator<char>(*stream)), std::istreambuf_iterator<char>());
        return m_imageLoader(src, &data);
    }
    const std::string name = ExpandLinkName(src);
    for (std::size_t i = 0; i < m_imageCache.size(); ++i)
        if (m_imageCache[i].Name == name) {
            CachedImage hit = m_imageCache[i];
            m_imageCache.erase(m_imageCache.begin() + static_cast<std::ptrdiff_t>(i));
            m_imageCache.insert(m_imageCache.begin(), hit);
            return hit.Image;
        }
    if (!m_imageLoader)
        return nullptr;
    std::shared_ptr<THtmlImage> image = m_imageLoader(name, nullptr);
    if (image && m_imageCacheCount > 0) {
        m_imageCache.insert(m_imageCache.begin(), CachedImage{name, image});
        if (static_cast<int>(m_imageCache.size()) > m_imageCacheCount)
            m_imageCache.resize(std::size_t(m_imageCacheCount));
    }
    return image;
}

void THtmlView::ResolveImages()
{
    for (auto& image : m_watchedImages)
        if (image)
            image->SetChangedHandler(nullptr);
    m_watchedImages.clear();
    QPointer<THtmlView> self(this);
    auto watch = [&](const std::shared_ptr<THtmlImage>& image) {
        if (!image || std::find(m_watchedImages.begin(), m_watchedImages.end(), image) != m_watchedImages.end())
            return;
        const THtmlImage* raw = image.get();
        image->SetChangedHandler([self, raw] {
            if (self)
                self->ImageChanged(raw);
        });
        m_watchedImages.push_back(image);
    };
    m_document.BackgroundImage =
        m_viewImages && !m_document.BackgroundImageName.empty() ? LoadImage(m_document.BackgroundImageName) : nullptr;
    watch(m_document.BackgroundImage);
    m_document.ForEachSectionIn([&](TSection& section) {
        for (auto& obj : section.Objects) {
            if (obj->Kind != TInlineKind::Image)
                continue;
            obj->Image = m_viewImages ? LoadImage(obj->Source) : nullptr;
            const TAttribute* w = FindAttribute(obj->Attributes, WidthSy);
            const TAttribute* h = FindAttribute(obj->Attributes, HeightSy);
            const int attrW = w && w->Numeric > 0 ? std::min(w->Numeric, 32000) : 0;
            const int attrH = h && h->Numeric > 0 ? std::min(h->Numeric, 32000) : 0;
            const QSize natural = obj->Image ? obj->Image->NaturalSize() : QSize(0, 0);
            int width = attrW, height = attrH;
            if (natural.width() > 0 && natural.height() > 0) {
                if (!attrW && !attrH) {
                    width = natural.width();
                    height = natural.height();
                } else if (!attrW) {
                    width = static_cast<int>(static_cast<long long>(natural.width()) * attrH / natural.height());
                } else if (!attrH) {
                    height = static_cast<int>(static_cast<long long>(natural.height()) * attrW / natural.width());
                }
            }
            obj->Width = std::min(width, 32000);
            obj->Height = std::min(height, 32000);
            watch(obj->Image);
        }
    });
}

void THtmlView::ImageChanged(const THtmlImage*)
{
    if (!m_processing)
        m_paintPanel->update();
}

// ---------------------------------------------------------------------------
// Layout and scrolling

void THtmlView::Relayout()
{
    if (m_processing)
        return;
    const int mw = m_document.BodyMarginWidth >= 0 ? m_document.BodyMarginWidth : m_marginWidth;
    const int mh = m_document.BodyMarginHeight >= 0 ? m_document.BodyMarginHeight : m_marginHeight;
    const bool vertical = m_scrollBars == ssVertical || m_scrollBars == ssBoth;
    const int scrollWidth = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_vBar);
    const int width = this->width() - (m_borderStyle == htNone ? 1 : 3) - 2 * mw - (vertical ? scrollWidth : 0);
    if (!m_document.Blocks.empty())
        m_document.DoLayout(*m_fonts, width, mw, mh, vertical ? mh : 0);
    else
        m_document.DocumentHeight = m_document.DocumentWidth = 0;
    UpdateScrollBars();
    SetVPos(m_vPos);
    SetHPos(m_hPos);
    m_paintPanel->update();
}

void THtmlView::UpdateScrollBars()
{
    const int b = BorderWidth();
    const int cw = std::max(0, width() - 2 * b);
    const int ch = std::max(0, height() - 2 * b);
    const int sbw = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_vBar);
    const int sbh = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_hBar);
    const int docH = m_document.DocumentHeight;
    const int docW = std::min(m_document.DocumentWidth, kMaxHorzRange);
    const bool vAllowed = m_scrollBars == ssVertical || m_scrollBars == ssBoth;
    const bool hAllowed = m_scrollBars == ssHorizontal || m_scrollBars == ssBoth;
    const bool alwaysV = (m_options & htShowVScroll) != 0 && vAllowed;
    bool v = false, h = false, vNeeded = false;
    const bool fits = docH < ch && docW <= cw;
    if (m_scrollBars != ssNone && (alwaysV || !fits)) {
        if (vAllowed)
            vNeeded = docH >= ch || (m_scrollBars == ssBoth && docW > cw && docH >= ch - sbh);
        v = vNeeded || alwaysV;
        if (hAllowed)
            h = docW > cw - (v ? sbw : 0);
    }
    const int viewW = std::max(0, cw - (v ? sbw : 0));
    const int viewH = std::max(0, ch - (h ? sbh : 0));
    m_paintPanel->setGeometry(b, b, viewW, viewH);
    m_updatingBars = true;
    if (v) {
        m_vBar->setGeometry(b + cw - sbw, b, sbw, viewH);
        m_vBar->setRange(0, std::max(0, docH - viewH));
        m_vBar->setPageStep(std::max(1, viewH - 16));
        m_vBar->setEnabled(vNeeded);
        m_vBar->setValue(m_vPos);
        m_vBar->show();
    } else {
        m_vBar->hide();
    }
    if (h) {
        m_hBar->setGeometry(b, b + ch - sbh, viewW, sbh);
        m_hBar->setRange(0, std::max(0, docW - viewW));
        m_hBar->setPageStep(std::max(1, viewW - 20));
        m_hBar->setValue(m_hPos);
        m_hBar->show();
    } else {
        m_hBar->hide();
    }
    m_updatingBars = false;
}

int THtmlView::ViewHeight() const
{
    return m_paintPanel->height();
}

int THtmlView::ViewWidth() const
{
    return m_paintPanel->width();
}

int THtmlView::VPageStep() const
{
    return std::max(1, ViewHeight() - 16);
}

int THtmlView::HPageStep() const
{
    return std::max(1, ViewWidth() - 20);
}

int THtmlView::MaxVPos() const
{
    return std::max(0, m_document.DocumentHeight - ViewHeight());
}

int THtmlView::MaxHPos() const
{
    return std::max(0, std::min(m_document.DocumentWidth, kMaxHorzRange) - ViewWidth());
}

void THtmlView::SetVPos(int y, bool fromScrollBar)
{
    y = std::clamp(y, 0, MaxVPos());
    if (y == m_vPos)
        return;
    m_vPos = y;
    if (!fromScrollBar) {
        m_updatingBars = true;
        m_vBar->setValue(y);
        m_updatingBars = false;
    }
    m_paintPanel->update();
}

void THtmlView::SetHPos(int x)
{
    x = std::clamp(x, 0, MaxHPos());
    if (x == m_hPos)
        return;
    m_hPos = x;
    m_updatingBars = true;
    m_hBar->setValue(x);
    m_updatingBars = false;
    m_paintPanel->update();
}

void THtmlView::ScrollToY(int y)
{
    SetVPos(y);
    m_paintPanel->update();
}

bool THtmlView::PositionTo(const std::string& anchor)
{
    if (anchor.empty())
        return false;
    std::string name = anchor.front() == '#' ? anchor.substr(1) : anchor;
    auto it = m_document.AnchorNames.find(Upper(name));
    if (it == m_document.AnchorNames.end())
        return false;
    ScrollToY(it->second->Y);
    SetHPos(0);
    AddVisited(m_currentFile + "#" + name);
    return true;
}

void THtmlView::resizeEvent(QResizeEvent*)
{
    Relayout();
}

void THtmlView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), ToQColor(m_document.EffectiveBackground()));
    if (m_borderStyle == htSingle) {
        p.setPen(ToQColor(clGray));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    } else if (m_borderStyle == htFocused && hasFocus()) {
        QPen pen(Qt::black);
        pen.setStyle(Qt::DotLine);
        p.setPen(pen);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void THtmlView::PaintDocument(QPainter& painter, const QRect& clip)
{
    m_document.Draw(painter, *m_fonts, clip, m_hoverLinkId);
}

void THtmlView::focusInEvent(QFocusEvent* event)
{
    QWidget::focusInEvent(event);
    update();
}

void THtmlView::focusOutEvent(QFocusEvent* event)
{
    QWidget::focusOutEvent(event);
    update();
}

void THtmlView::keyPressEvent(QKeyEvent* event)
{
    int target = m_vPos;
    switch (event->key()) {
    case Qt::Key_PageUp:
        target -= VPageStep();
        break;
    case Qt::Key_PageDown:
        target += VPageStep();
        break;
    case Qt::Key_Home:
        target = 0;
        break;
    case Qt::Key_End:
        target = m_document.DocumentHeight;
        break;
    case Qt::Key_Up:
        target -= kVSmallStep;
        break;
    case Qt::Key_Down:
        target += kVSmallStep;
        break;
    case Qt::Key_Left:
        SetHPos(m_hPos - kHSmallStep);
        return;
    case Qt::Key_Right:
        SetHPos(m_hPos + kHSmallStep);
        return;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    target = std::clamp(target, 0, MaxVPos());
    const int delta = target - m_vPos;
    if (delta == 0)
        return;
    if (delta == kVSmallStep || delta == -kVSmallStep) {
        // One small step: move the picture and paint only the new strip.
        m_vPos = target;
        m_updatingBars = true;
        m_vBar->setValue(target);
        m_updatingBars = false;
        m_paintPanel->scroll(0, -delta);
    } else {
        SetVPos(target);
    }
}

void THtmlView::wheelEvent(QWheelEvent* event)
{
    const int steps = event->angleDelta().y() / 40;
    if (steps != 0)
        SetVPos(m_vPos - steps * kVSmallStep);
    event->accept();
}

// ---------------------------------------------------------------------------
// Mouse

void THtmlView::SetHover(const TLinkHit& hit)
{
    if (hit.LinkId != m_hoverLinkId) {
        m_hoverLinkId = hit.LinkId;
        if (m_document.OverLinksActive)
            m_paintPanel->update();
    }
    if (hit.Url != m_linkUrl || hit.Target != m_linkTarget) {
        m_linkUrl = hit.Url;
        m_linkTarget = hit.Target;
        if (OnHotSpotCovered)
            OnHotSpotCovered(this, m_linkUrl);
    }
}

void THtmlView::PanelMouseMove(QMouseEvent* event)
{
    if (m_processing)
        return;
    TLinkHit hit;
    const QPoint p = event->position().toPoint();
    const bool found = m_document.FindLink(p.x() + m_hPos, p.y() + m_vPos, hit);
    m_paintPanel->setCursor(found ? Qt::PointingHandCursor : Qt::ArrowCursor);
    SetHover(found ? hit : TLinkHit());
}

void THtmlView::PanelLeave()
{
    m_paintPanel->setCursor(Qt::ArrowCursor);
    SetHover(TLinkHit());
}

void THtmlView::PanelMousePress(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    const QPoint p = event->position().toPoint();
    if (event->button() == Qt::RightButton) {
        if (OnRightClick)
            OnRightClick(this, p.x() + m_hPos, p.y() + m_vPos);
        return;
    }
    if (event->button() != Qt::LeftButton || m_processing)
        return;
    TLinkHit hit;
    m_pressedLinkId = m_document.FindLink(p.x() + m_hPos, p.y() + m_vPos, hit) ? hit.LinkId : 0;
}

void THtmlView::PanelMouseRelease(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_processing)
        return;
    const int pressed = m_pressedLinkId;
    m_pressedLinkId = 0;
    TLinkHit hit;
    const QPoint p = event->position().toPoint();
    if (!pressed || !m_document.FindLink(p.x() + m_hPos, p.y() + m_vPos, hit) || hit.LinkId != pressed)
        return;
    m_linkUrl = hit.Url;
    m_linkTarget = hit.Target;
    try {
        HotSpotClick(hit.Url);
    } catch (const Exception& e) {
        if (OnError)
            OnError(this, e);
        else
            qWarning("%s", e.Message().c_str());
    } catch (const std::exception& e) {
        if (OnError)
            OnError(this, Exception(e.what()));
        else
            qWarning("%s", e.what());
    }
}

void THtmlView::PanelMouseDouble(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (OnMouseDouble)
        OnMouseDouble(this, p.x() + m_hPos, p.y() + m_vPos);
}

// ---------------------------------------------------------------------------
// Links

void THtmlView::HotSpotClick(const std::string& url)
{
    if (OnHotSpotClick) {
        bool handled = false;
        OnHotSpotClick(this, url, handled);
        if (handled)
            return;
    }
    const std::string oldFile = m_currentFile, oldTitle = m_title;
    const THtmlFileType oldType = m_fileType;
    const int oldPos = m_vPos;
    if (!url.empty() && url.front() == '#') {
        if (PositionTo(url)) {
            BumpHistory(oldFile, oldTitle, oldType, oldPos);
            AddVisited(m_currentFile + url);
        }
        return;
    }
    const std::size_t hash = url.find('#');
    const std::string anchor = hash == std::string::npos ? std::string() : url.substr(hash);
    const std::string file = ExpandLinkName(url.substr(0, hash));
    const std::string ext = UpperExtension(file);
    if (ext == ".HTM" || ext == ".HTML") {
        if (file != m_currentFile) {
            LoadFromFile(file + anchor);
            AddVisited(file + anchor);
        } else if (PositionTo(anchor)) {
            BumpHistory(oldFile, oldTitle, oldType, oldPos);
            AddVisited(file + anchor);
        }
    } else if (IsImageExtension(ext)) {
        LoadImageFile(file);
    }
}

std::string THtmlView::LinkToFileName(const std::string& name) const
{
    std::string s;
    s.reserve(name.size());
    std::size_t i = 0;
    for (; i < name.size(); ++i) {
        if (name[i] != '%') {
            s += name[i];
            continue;
        }
        if (i + 2 < name.size() && HexValue(name[i + 1]) >= 0 && HexValue(name[i + 2]) >= 0) {
            s += static_cast<char>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2]));
            i += 2;
            continue;
        }
        // The first "%" that is not an escape ends the decoding.
        s += name.substr(i);
        break;
    }
    if (s.find('/') != std::string::npos && StartsText(s, "file://"))
        s.erase(0, 7); // "file:///home/a" keeps its root "/"
    return s;
}

std::string THtmlView::ExpandLinkName(const std::string& name) const
{
    std::size_t a = 0, b = name.size();
    while (a < b && static_cast<unsigned char>(name[a]) <= ' ')
        ++a;
    while (b > a && static_cast<unsigned char>(name[b - 1]) <= ' ')
        --b;
    std::string s = LinkToFileName(name.substr(a, b - a));
    if (!s.empty() && s.front() == '/' && !m_serverRoot.empty())
        s = m_serverRoot + s;
    if (!s.empty() && s.front() == '/')
        return ExpandFileName(s);
    if (m_parse.BaseUrl == "DosPath")
        return s;
    if (!m_parse.BaseUrl.empty())
        return ExpandFileName(LinkToFileName(m_parse.BaseUrl) + s);
    const std::string dir = m_currentFile.empty() ? std::string() : DirectoryOf(m_currentFile);
    return ExpandFileName(dir + s);
}

void THtmlView::AddVisited(const std::string& url)
{
    if (m_visitedMaxCount <= 0)
        return;
    const std::string lower = Lower(url);
    m_visited.erase(std::remove_if(m_visited.begin(), m_visited.end(),
                                   [&](const std::string& v) { return Lower(v) == lower; }),
                    m_visited.end());
    m_visited.insert(m_visited.begin(), url);
    if (static_cast<int>(m_visited.size()) > m_visitedMaxCount)
        m_visited.resize(std::size_t(m_visitedMaxCount));
    MarkVisited();
}

void THtmlView::MarkVisited()
{
    std::unordered_set<std::string> visited;
    for (const std::string& v : m_visited)
        visited.insert(Lower(v));
    std::unordered_map<int, bool> byLink;
    bool changed = false;
    m_document.ForEachSectionIn([&](TSection& section) {
        for (TFontObj& f : section.Fonts) {
            if (!f.LinkId)
                continue;
            bool isVisited = false;
            if (!visited.empty()) {
                auto it = byLink.find(f.LinkId);
                if (it == byLink.end()) {
                    const std::string target =
                        !f.Url.empty() && f.Url.front() == '#' ? m_currentFile + f.Url : ExpandLinkName(f.Url);
                    it = byLink.emplace(f.LinkId, visited.count(Lower(target)) > 0).first;
                }
                isVisited = it->second;
            }
            if (f.Visited != isVisited) {
                f.Visited = isVisited;
                changed = true;
            }
        }
    });
    if (changed)
        m_paintPanel->update();
}

// ---------------------------------------------------------------------------
// History

void THtmlView::BumpHistory(const std::string& oldFile, const std::string& oldTitle, THtmlFileType oldType,
                            int oldPos)
{
    if (m_historyMaxCount < 1)
        return;
    if (oldFile == m_currentFile && oldType == m_fileType && oldPos == m_vPos)
        return;
    if (!m_history.empty()) {
        m_history[std::size_t(m_historyIndex)].Position = oldPos;
        // Going somewhere new after going back drops the entries ahead.
        m_history.erase(m_history.begin(), m_history.begin() + m_historyIndex);
    } else if (!oldFile.empty()) {
        m_history.push_back({oldFile, oldTitle, oldType, oldPos});
    }
    if (m_currentFile.empty() && m_history.empty())
        return;
    m_history.insert(m_history.begin(), {m_currentFile, m_title, m_fileType, m_vPos});
    m_historyIndex = 0;
    if (static_cast<int>(m_history.size()) > m_historyMaxCount)
        m_history.resize(std::size_t(m_historyMaxCount));
    if (OnHistoryChange)
        OnHistoryChange(this);
}

void THtmlView::SetHistoryIndex(int index)
{
    if (index < 0 || index >= HistoryCount() || index == m_historyIndex || m_processing)
        return;
    m_history[std::size_t(m_historyIndex)].Position = m_vPos;
    const HistoryEntry entry = m_history[std::size_t(index)];
    m_navigatingHistory = true;
    try {
        if (entry.File != m_currentFile || entry.Type != m_fileType) {
            if (entry.Type == ImgType)
                LoadImageFile(entry.File);
            else
                LoadFromFile(entry.File);
        }
    } catch (...) {
        m_navigatingHistory = false;
        throw;
    }
    m_navigatingHistory = false;
    m_historyIndex = index;
    ScrollToY(entry.Position);
    if (OnHistoryChange)
        OnHistoryChange(this);
}
