#pragma once
// A status bar panel that always shows its text on one line: line breaks are
// shown as " – ", text wider than the panel is cut with "…", and the whole
// text is the panel's tool tip. text() stays what the program set.

#include <QLabel>

class TStatusPanel : public QLabel {
public:
    using QLabel::QLabel;

    // The one-line form of a text: each run of line breaks becomes " – ".
    static QString OneLine(const QString& text);
    // What the panel draws now: the one-line text, cut to the panel's width.
    QString ShownText() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
