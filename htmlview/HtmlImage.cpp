#include "htmlview/HtmlImage.h"

#include <QPainter>
#include <QRect>
#include <QTimer>

#include <cstring>

THtmlImage::~THtmlImage() = default;

void THtmlImage::SetChangedHandler(std::function<void()> handler)
{
    m_changed = std::move(handler);
    WatchersChanged();
}

void THtmlImage::NotifyChanged()
{
    if (m_changed)
        m_changed();
}

THtmlFrameImage::THtmlFrameImage(std::vector<THtmlImageFrame> frames, int loopCount) : m_loopCount(loopCount)
{
    for (THtmlImageFrame& f : frames) {
        if (f.Width <= 0 || f.Height <= 0 || f.Pixels.size() < std::size_t(f.Width) * std::size_t(f.Height))
            continue;
        QImage img(f.Width, f.Height, QImage::Format_ARGB32);
        for (int y = 0; y < f.Height; ++y)
            std::memcpy(img.scanLine(y), f.Pixels.data() + std::size_t(y) * f.Width, std::size_t(f.Width) * 4);
        m_frames.push_back(std::move(img));
        // Browsers treat very short delays as 100 ms; so do we.
        m_delays.push_back(f.DelayMs < 20 ? 100 : f.DelayMs);
    }
}

THtmlFrameImage::~THtmlFrameImage() = default;

QSize THtmlFrameImage::NaturalSize() const
{
    return m_frames.empty() ? QSize(0, 0) : m_frames.front().size();
}

void THtmlFrameImage::Draw(QPainter& painter, const QRect& target) const
{
    if (m_frames.empty() || target.isEmpty())
        return;
    painter.drawImage(target, m_frames[std::size_t(m_current)]);
}

void THtmlFrameImage::Advance()
{
    if (m_frames.size() < 2)
        return;
    if (m_current + 1 < FrameCount()) {
        ++m_current;
    } else {
        ++m_loopsDone;
        if (m_loopCount > 0 && m_loopsDone >= m_loopCount)
            return;
        m_current = 0;
    }
    NotifyChanged();
}

void THtmlFrameImage::WatchersChanged()
{
    if (m_frames.size() < 2)
        return;
    if (!HasChangedHandler()) {
        m_timer.reset();
        return;
    }
    if (!m_timer) {
        m_timer = std::make_unique<QTimer>();
        m_timer->setSingleShot(true);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] {
            Advance();
            Schedule();
        });
    }
    Schedule();
}

void THtmlFrameImage::Schedule()
{
    if (!m_timer)
        return;
    const bool finished = m_loopCount > 0 && m_loopsDone >= m_loopCount;
    if (!finished)
        m_timer->start(m_delays[std::size_t(m_current)]);
}
