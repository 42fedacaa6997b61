#include "PlainTextLabel.h"

#include <QPainter>
#include <QTextLayout>

namespace tavex::ui {

namespace {
constexpr int kPreferredWidth = 480;
}

PlainTextLabel::PlainTextLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

qreal PlainTextLabel::layOut(QTextLayout &layout, qreal width) const
{
    QTextOption option(alignment());
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setFont(font());
    qreal height = 0;
    const qreal leading = fontMetrics().leading();
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(qMax<qreal>(width, 1));
        line.setPosition(QPointF(0, height));
        height += line.height() + leading;
    }
    layout.endLayout();
    return height;
}

int PlainTextLabel::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    // Each line of the text on its own: a line feed always breaks.
    qreal height = 0;
    const QStringList lines = text().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        QTextLayout layout(line);
        height += layOut(layout, width - m.left() - m.right());
    }
    return qCeil(height) + m.top() + m.bottom();
}

QSize PlainTextLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    int natural = 0;
    for (const QString &line : text().split(QLatin1Char('\n')))
        natural = qMax(natural, fontMetrics().horizontalAdvance(line));
    const int width = qMin(natural, kPreferredWidth) + m.left() + m.right();
    return {width, heightForWidth(width)};
}

QSize PlainTextLabel::minimumSizeHint() const
{
    const QMargins m = contentsMargins();
    const int width = fontMetrics().averageCharWidth() * 4 + m.left() + m.right();
    return {width, fontMetrics().height() + m.top() + m.bottom()};
}

void PlainTextLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QRect area = contentsRect();
    qreal top = area.top();
    for (const QString &line : text().split(QLatin1Char('\n'))) {
        QTextLayout layout(line);
        const qreal height = layOut(layout, area.width());
        layout.draw(&painter, QPointF(area.left(), top));
        top += height;
    }
}

} // namespace tavex::ui
