#include "app/StatusPanel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QStyle>
#include <QToolTip>

QString TStatusPanel::OneLine(const QString& text)
{
    static const QRegularExpression breaks(QStringLiteral("\\s*[\\r\\n]+\\s*"));
    return text.trimmed().replace(breaks, QStringLiteral(" \u2013 "));
}

bool TStatusPanel::event(QEvent* event)
{
    // The whole text, however long, whatever the panel shows of it.
    if (event->type() == QEvent::ToolTip) {
        if (text().isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text().trimmed(), this);
        return true;
    }
    return QLabel::event(event);
}

namespace {
QRect TextArea(const QLabel& label)
{
    const int m = label.margin();
    return label.contentsRect().adjusted(m, m, -m, -m);
}
} // namespace

QString TStatusPanel::ShownText() const
{
    return fontMetrics().elidedText(OneLine(text()), Qt::ElideRight, TextArea(*this).width());
}

void TStatusPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = TextArea(*this);
    const QString shown = ShownText();
    style()->drawItemText(&painter, area, static_cast<int>(alignment()) | Qt::TextSingleLine, palette(), isEnabled(),
                          shown, foregroundRole());
}
