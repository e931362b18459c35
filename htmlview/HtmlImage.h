#pragma once
// How the viewer gets at pictures. The viewer never decodes an image itself:
// it hands the image's resolved file name (and, when OnImageRequest supplied
// them, the bytes) to a THtmlImageLoader and keeps the THtmlImage it answers.
// An IMG block takes the image's natural size (unless WIDTH/HEIGHT say
// otherwise) and asks the image to draw itself. Without a loader, or when the
// loader answers nothing, the block has the size of its WIDTH/HEIGHT
// attributes (0 × 0 when none) and draws nothing.
//
// All calls happen on the user interface thread.

#include <QImage>
#include <QSize>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QPainter;
class QRect;
class QTimer;

class THtmlImage {
public:
    virtual ~THtmlImage();

    // The picture's natural size in pixels.
    virtual QSize NaturalSize() const = 0;
    // Draws the frame currently shown, scaled into target.
    virtual void Draw(QPainter& painter, const QRect& target) const = 0;

    // The viewer sets this while it shows the image; an image whose picture
    // changes (the next frame of an animation) calls NotifyChanged() and the
    // viewer repaints where the image is visible. Setting an empty handler
    // tells an animation that nobody watches it any more.
    void SetChangedHandler(std::function<void()> handler);
    bool HasChangedHandler() const { return static_cast<bool>(m_changed); }

protected:
    void NotifyChanged();
    virtual void WatchersChanged() {}

private:
    std::function<void()> m_changed;
};

// Resolves an image: fileName is the full name the viewer made of SRC; data
// is non-null when OnImageRequest supplied the image's bytes (then fileName
// is only a label). Answers nullptr when the image cannot be read.
using THtmlImageLoader =
    std::function<std::shared_ptr<THtmlImage>(const std::string& fileName, const std::string* data)>;

// One decoded frame as 32-bit 0xAARRGGBB pixels (not premultiplied), the whole
// canvas already composed, shown for DelayMs milliseconds.
struct THtmlImageFrame {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint32_t> Pixels;
    int DelayMs = 0;
};

// A still picture or an animation made of decoded frames: the adapter through
// which a decoder that knows nothing of Qt feeds the viewer. An animation
// advances on a timer while the viewer watches it, LoopCount times (0 = for
// ever), and stops on its last frame.
class THtmlFrameImage : public THtmlImage {
public:
    THtmlFrameImage(std::vector<THtmlImageFrame> frames, int loopCount = 0);
    ~THtmlFrameImage() override;

    QSize NaturalSize() const override;
    void Draw(QPainter& painter, const QRect& target) const override;

    int FrameCount() const { return static_cast<int>(m_frames.size()); }
    int CurrentFrame() const { return m_current; }
    // Moves to the next frame as the timer would (tests drive it this way).
    void Advance();

protected:
    void WatchersChanged() override;

private:
    void Schedule();

    std::vector<QImage> m_frames;
    std::vector<int> m_delays;
    int m_loopCount;
    int m_loopsDone = 0;
    int m_current = 0;
    std::unique_ptr<QTimer> m_timer;
};
