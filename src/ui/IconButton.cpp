#include "IconButton.h"

#include "Theme.h"

#include <QPainter>

namespace tavex::ui {

namespace {
constexpr int kIconSize = 28;
constexpr int kGap = 10;
constexpr int kPadX = 14;
constexpr int kPadY = 10;
constexpr int kMinRowHeight = 46;
constexpr int kRadius = 12;
constexpr qreal kSmallestTitleScale = 0.85;
} // namespace

IconButton::IconButton(const QString &assetImage, const QString &title, bool prominent,
                       QWidget *parent)
    : QAbstractButton(parent), m_assetImage(assetImage), m_title(title), m_prominent(prominent)
{
    // A doubled "&" keeps the title from becoming a shortcut; the title is painted as given.
    QString escaped = title;
    setText(escaped.replace(QLatin1Char('&'), QStringLiteral("&&")));
    setAccessibleName(title);
    // Keyboard users reach it with Tab; a click does not leave a focus ring behind.
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setFont(Theme::font(13, QFont::DemiBold, Theme::Face::Rounded));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize IconButton::sizeHint() const
{
    return {170, kMinRowHeight + 2 * kPadY};
}

QSize IconButton::minimumSizeHint() const
{
    return {kPadX * 2 + kIconSize + kGap + fontMetrics().averageCharWidth() * 3,
            kMinRowHeight + 2 * kPadY};
}

void IconButton::enterEvent(QEnterEvent *event)
{
    update();
    QAbstractButton::enterEvent(event);
}

void IconButton::leaveEvent(QEvent *event)
{
    update();
    QAbstractButton::leaveEvent(event);
}

void IconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // A button that waits is dimmed.
    if (!isEnabled())
        painter.setOpacity(0.4);
    const QRectF tile = rect();

    QColor fill = m_prominent ? Theme::accent(0.96) : Theme::white(0.08);
    if (isDown())
        fill = fill.darker(125);
    else if (underMouse())
        fill = m_prominent ? fill.lighter(112) : Theme::white(0.13);
    const QColor outline = m_prominent ? Theme::accent(0.18) : Theme::secondaryLabel(0.14);
    Theme::paintCard(painter, tile, kRadius, fill, outline);

    if (hasFocus()) {
        painter.setPen(QPen(Theme::white(0.9), 2.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(tile.adjusted(1.5, 1.5, -1.5, -1.5), kRadius - 1, kRadius - 1);
    }

    // The image and the title form one row, centred in the padded area.
    const QRectF area = tile.adjusted(kPadX, kPadY, -kPadX, -kPadY);
    const qreal textRoom = qMax<qreal>(0, area.width() - kIconSize - kGap);
    const QFontMetricsF metrics(font());
    const qreal natural = metrics.horizontalAdvance(m_title);
    const qreal scale = natural <= textRoom ? 1.0 : qMax(kSmallestTitleScale, textRoom / natural);
    const QString shown = metrics.elidedText(m_title, Qt::ElideRight, textRoom / scale);
    const qreal textWidth = qMin(metrics.horizontalAdvance(shown) * scale, textRoom);
    const qreal rowWidth = kIconSize + kGap + textWidth;
    const qreal left = area.left() + (area.width() - rowWidth) / 2;
    const qreal middle = area.center().y();

    const QPixmap image = Theme::iconPixmap(m_assetImage, kIconSize, devicePixelRatioF());
    painter.drawPixmap(QPointF(left, middle - kIconSize / 2.0), image);

    painter.setPen(m_prominent ? Theme::white() : Theme::white(0.95));
    painter.translate(left + kIconSize + kGap, middle);
    painter.scale(scale, scale);
    painter.drawText(QPointF(0, (metrics.ascent() - metrics.descent()) / 2), shown);
}

} // namespace tavex::ui
