#pragma once
// The viewer's image loader: GIF (still and animated), JPEG and BMP files
// decoded by images/ and shown through the THtmlImage interface. Install it
// with view.SetImageLoader(ViewerImageLoader()).
//
// A GIF keeps its film strip and plays it while the viewer watches it: a
// QTimer ticks the animation's millisecond clock, and each frame change asks
// the viewer to repaint. All calls happen on the user interface thread.

#include "htmlview/HtmlImage.h"
#include "images/GifImage.h"
#include "images/ImageBitmap.h"

#include <QImage>

#include <memory>
#include <string>

class QTimer;

// A deep copy of a pfRGB24 bitmap; with a mask (pfMask8, same size) the
// copy has an alpha channel, transparent where the mask says so.
QImage ToQImage(const TPlainBitmap& bitmap, const TPlainBitmap* mask = nullptr);

// A JPEG or BMP picture.
class THtmlBitmapImage : public THtmlImage {
public:
    explicit THtmlBitmapImage(QImage image) : m_image(std::move(image)) {}
    QSize NaturalSize() const override { return m_image.size(); }
    void Draw(QPainter& painter, const QRect& target) const override;
    const QImage& Image() const { return m_image; }

private:
    QImage m_image;
};

// A GIF: draws the current column of its film strip and animates while the
// viewer shows it.
class THtmlGifImage : public THtmlImage {
public:
    // How often the animation's clock is looked at while it plays.
    static constexpr int TickMs = 10;

    explicit THtmlGifImage(std::unique_ptr<TGIFImage> gif);
    ~THtmlGifImage() override;

    QSize NaturalSize() const override;
    void Draw(QPainter& painter, const QRect& target) const override;

    TGIFImage& Gif() { return *m_gif; }
    bool Ticking() const;
    // One timer tick (tests call it to step the animation).
    void Tick();

protected:
    void WatchersChanged() override;

private:
    std::unique_ptr<TGIFImage> m_gif;
    QImage m_strip; // the whole strip, with alpha when the GIF is transparent
    std::unique_ptr<QTimer> m_timer;
};

// Decodes an image from its bytes (data) or its file; null when it is
// neither GIF, JPEG nor BMP or cannot be read.
std::shared_ptr<THtmlImage> LoadHtmlImage(const std::string& fileName, const std::string* data);
THtmlImageLoader ViewerImageLoader();
