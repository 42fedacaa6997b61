#pragma once

#include <QLabel>

class QTextLayout;

namespace tavex::ui {

// A label for texts that come from the log or a path: always plain text, never a shortcut, and
// wrapped anywhere when a word is wider than the line, so a long path never widens the window.
// (QLabel itself only wraps between words and keeps its longest word as its minimum width.)
class PlainTextLabel : public QLabel
{
    Q_OBJECT

public:
    explicit PlainTextLabel(QWidget *parent = nullptr);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Lays the text out in the given width; returns its height.
    qreal layOut(QTextLayout &layout, qreal width) const;
};

} // namespace tavex::ui
