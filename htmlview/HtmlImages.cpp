#include "htmlview/HtmlImages.h"

#include "images/ViewerImages.h"

#include <QPainter>
#include <QRect>
#include <QTimer>

#include <cstring>

QImage ToQImage(const TPlainBitmap& bitmap, const TPlainBitmap* mask)
{
    if (bitmap.IsEmpty() || bitmap.Format() != TPixelFormat::pfRGB24)
        return QImage();
    const bool masked = mask && mask->Width() == bitmap.Width() && mask->Height() == bitmap.Height();
    QImage image(bitmap.Width(), bitmap.Height(), masked ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return image; // out of memory
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* src = bitmap.Row(y);
        const uint8_t* alpha = masked ? mask->Row(y) : nullptr;
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < bitmap.Width(); ++x, src += 3) {
            const bool clear = alpha && alpha[x] == MaskTransparent;
            dst[x] = clear ? qRgba(0, 0, 0, 0) : qRgb(src[0], src[1], src[2]);
        }
    }
    return image;
}

void THtmlBitmapImage::Draw(QPainter& painter, const QRect& target) const
{
    if (!target.isEmpty())
        painter.drawImage(target, m_image);
}

namespace {

// TGIFImage draws through a TImageCanvas; this one paints the strip's
// QImage (made once) with the painter.
class TStripCanvas : public TImageCanvas {
public:
    TStripCanvas(QPainter& painter, const QImage& strip) : m_painter(painter), m_strip(strip) {}
    void StretchDraw(const TImageRect& dest, const TPlainBitmap&, const TPlainBitmap*,
                     const TImageRect& source) override
    {
        // The mask is already the strip image's alpha channel.
        m_painter.drawImage(QRect(dest.Left, dest.Top, dest.Width(), dest.Height()), m_strip,
                            QRect(source.Left, source.Top, source.Width(), source.Height()));
    }

private:
    QPainter& m_painter;
    const QImage& m_strip;
};

} // namespace

THtmlGifImage::THtmlGifImage(std::unique_ptr<TGIFImage> gif) : m_gif(std::move(gif))
{
    const TPlainBitmap& strip = m_gif->StripBitmap();
    const TPlainBitmap& mask = m_gif->StripMask();
    if (mask.IsEmpty() && !strip.IsEmpty()) {
        // Opaque: paint straight from the strip's memory, which m_gif keeps.
        m_strip = QImage(strip.Bits(), strip.Width(), strip.Height(), qsizetype(strip.Stride()), QImage::Format_RGB888);
    } else {
        m_strip = ToQImage(strip, &mask);
    }
    m_gif->OnInvalidate = [this](const TImageRect&) { NotifyChanged(); };
}

THtmlGifImage::~THtmlGifImage()
{
    m_gif->OnInvalidate = nullptr;
}

QSize THtmlGifImage::NaturalSize() const
{
    return QSize(m_gif->Width(), m_gif->Height());
}

void THtmlGifImage::Draw(QPainter& painter, const QRect& target) const
{
    if (target.isEmpty() || m_strip.isNull())
        return;
    TStripCanvas canvas(painter, m_strip);
    m_gif->Draw(canvas, {target.left(), target.top(), target.left() + target.width(), target.top() + target.height()});
}

bool THtmlGifImage::Ticking() const
{
    return m_timer && m_timer->isActive();
}

void THtmlGifImage::Tick()
{
    m_gif->Tick();
    if (!m_gif->Animate() && m_timer)
        m_timer->stop(); // played its last iteration
}

void THtmlGifImage::WatchersChanged()
{
    if (!m_gif->IsAnimated())
        return;
    if (!HasChangedHandler()) {
        m_timer.reset();
        m_gif->SetAnimate(false);
        return;
    }
    if (!m_timer) {
        m_timer = std::make_unique<QTimer>();
        m_timer->setInterval(TickMs);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { Tick(); });
    }
    m_gif->SetAnimate(true);
    if (m_gif->Animate())
        m_timer->start();
}

std::shared_ptr<THtmlImage> LoadHtmlImage(const std::string& fileName, const std::string* data)
{
    std::unique_ptr<TViewerImage> image =
        data ? LoadViewerImage(reinterpret_cast<const uint8_t*>(data->data()), data->size())
             : LoadViewerImageFile(fileName);
    if (!image)
        return nullptr;
    if (image->Gif)
        return std::make_shared<THtmlGifImage>(std::move(image->Gif));
    const QImage picture = ToQImage(image->Bitmap, image->Mask.IsEmpty() ? nullptr : &image->Mask);
    if (picture.isNull())
        return nullptr;
    return std::make_shared<THtmlBitmapImage>(picture);
}

THtmlImageLoader ViewerImageLoader()
{
    return [](const std::string& fileName, const std::string* data) { return LoadHtmlImage(fileName, data); };
}
