#include "Theme.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmapCache>
#include <QtMath>
#include <QResource>
#include <QScrollBar>
#include <QStyleFactory>
#include <QWidget>

#include <optional>

namespace tavex::ui::Theme {

namespace {

QColor withOpacity(QColor colour, qreal opacity)
{
    colour.setAlphaF(colour.alphaF() * opacity);
    return colour;
}

const QStringList &familiesFor(Face face)
{
    // The embedded faces first, then the system's faces that they were cut from, for any
    // character outside them; the SC faces before the others: without them Qt picks the
    // Japanese glyph forms outside a Chinese locale.
    static const QStringList text = {QStringLiteral("TAVEX Sans SC"),
                                     QStringLiteral("Noto Sans CJK SC"),
                                     QStringLiteral("Noto Sans"), QStringLiteral("sans-serif")};
    static const QStringList mono = {
        QStringLiteral("TAVEX Mono SC"), QStringLiteral("Noto Sans Mono CJK SC"),
        QStringLiteral("Noto Sans Mono"), QStringLiteral("monospace")};
    return face == Face::Mono ? mono : text;
}

} // namespace

QColor white(qreal opacity)
{
    return withOpacity(QColor(255, 255, 255), opacity);
}
QColor black(qreal opacity)
{
    return withOpacity(QColor(0, 0, 0), opacity);
}
QColor green(qreal opacity)
{
    return withOpacity(QColor(48, 209, 88), opacity);
}
QColor gray(qreal opacity)
{
    return withOpacity(QColor(142, 142, 147), opacity);
}
QColor orange(qreal opacity)
{
    return withOpacity(QColor(255, 159, 10), opacity);
}
QColor red(qreal opacity)
{
    return withOpacity(QColor(255, 69, 58), opacity);
}
QColor cyan(qreal opacity)
{
    return withOpacity(QColor(100, 210, 255), opacity);
}
QColor blue(qreal opacity)
{
    return withOpacity(QColor(10, 132, 255), opacity);
}
QColor accent(qreal opacity)
{
    return blue(opacity);
}
QColor secondaryLabel(qreal opacity)
{
    return withOpacity(QColor(235, 235, 245, 153), opacity);
}

QBrush backgroundGradient(const QRectF &area)
{
    QLinearGradient gradient(area.topLeft(), area.bottomRight());
    gradient.setColorAt(0.0, QColor::fromRgbF(0.05f, 0.10f, 0.20f));
    gradient.setColorAt(0.5, QColor::fromRgbF(0.06f, 0.15f, 0.28f));
    gradient.setColorAt(1.0, QColor::fromRgbF(0.09f, 0.08f, 0.18f));
    return gradient;
}

QFont font(int pixelSize, QFont::Weight weight, Face face)
{
    QFont result;
    result.setFamilies(familiesFor(face));
    if (face == Face::Mono)
        result.setStyleHint(QFont::Monospace);
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}

void applyApplicationLook(QApplication &)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    // The panel's own characters, cut from the Noto CJK faces at build time. They are stored
    // uncompressed in the program and used where they lie, without a copy. A face that cannot
    // be added leaves the system's faces to draw everything.
    for (const char *face : {"TavexSans-Regular", "TavexSans-Bold", "TavexMono-Regular"}) {
        const QResource stored(QStringLiteral(":/fonts/%1.otf").arg(QLatin1String(face)));
        if (stored.isValid() && stored.compressionAlgorithm() == QResource::NoCompression)
            QFontDatabase::addApplicationFontFromData(QByteArray::fromRawData(
                reinterpret_cast<const char *>(stored.data()), qsizetype(stored.size())));
    }

    QPalette palette;
    const QColor window = QColor::fromRgbF(0.06f, 0.12f, 0.23f);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, white());
    palette.setColor(QPalette::Base, QColor(14, 22, 38));
    palette.setColor(QPalette::AlternateBase, QColor(22, 32, 52));
    palette.setColor(QPalette::Text, white());
    palette.setColor(QPalette::Button, QColor(30, 42, 64));
    palette.setColor(QPalette::ButtonText, white());
    palette.setColor(QPalette::BrightText, red());
    palette.setColor(QPalette::Highlight, accent());
    palette.setColor(QPalette::HighlightedText, white());
    palette.setColor(QPalette::Link, cyan());
    palette.setColor(QPalette::ToolTipBase, QColor(30, 42, 64));
    palette.setColor(QPalette::ToolTipText, white());
    palette.setColor(QPalette::PlaceholderText, white(0.45));
    palette.setColor(QPalette::Light, QColor(60, 74, 100));
    palette.setColor(QPalette::Midlight, QColor(44, 58, 84));
    palette.setColor(QPalette::Mid, QColor(30, 40, 60));
    palette.setColor(QPalette::Dark, QColor(10, 16, 28));
    palette.setColor(QPalette::Shadow, black(1.0));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, white(0.4));
    QApplication::setPalette(palette);
    QApplication::setFont(font(13, QFont::Normal));
}

void setTextStyle(QWidget *widget, const QFont &font, const QColor &colour)
{
    widget->setFont(font);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

QLabel *plainLabel(const QString &text, const QFont &font, const QColor &colour, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    setTextStyle(label, font, colour);
    return label;
}

void styleScrollBars(QAbstractScrollArea *scrollArea)
{
    // On the bars alone: a style sheet on the area would restyle every widget inside it.
    const QString sheet = QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
        "QScrollBar:horizontal { background: transparent; height: 10px; margin: 2px; }"
        "QScrollBar::handle { background: rgba(255,255,255,0.22); border-radius: 3px; }"
        "QScrollBar::handle:hover { background: rgba(255,255,255,0.36); }"
        "QScrollBar::handle:vertical { min-height: 28px; }"
        "QScrollBar::handle:horizontal { min-width: 28px; }"
        "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }"
        "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }");
    scrollArea->verticalScrollBar()->setStyleSheet(sheet);
    // Each styled bar costs the window's start a style of its own: a bar never shown keeps Qt's.
    if (scrollArea->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff)
        scrollArea->horizontalScrollBar()->setStyleSheet(sheet);
}

namespace {

// Layers growing outwards add up to the full colour under the shape and fade beyond it: close
// enough to a blur, and far cheaper than rendering through an effect.
void drawShadowLayers(QPainter &painter, const QRectF &shape, qreal radius, const QColor &colour,
                      qreal blur)
{
    const int layers = qMax(1, qRound(blur / 2));
    QColor layer = colour;
    layer.setAlphaF(float(colour.alphaF() / layers));
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(layer);
    for (int i = 1; i <= layers; ++i) {
        const qreal grow = blur * i / layers / 2;
        painter.drawRoundedRect(shape.adjusted(-grow, -grow, grow, grow), radius + grow,
                                radius + grow);
    }
    painter.restore();
}

// The painter's device pixel ratio when the rectangle lands on whole device pixels under a mere
// translation, so that a picture drawn for it is copied pixel for pixel; absent otherwise.
std::optional<qreal> wholePixelRatio(const QPainter &painter, const QRectF &rect)
{
    const QTransform &transform = painter.worldTransform();
    if (!painter.device() || transform.type() > QTransform::TxTranslate)
        return std::nullopt;
    const qreal ratio = painter.device()->devicePixelRatioF();
    const QRectF placed = transform.mapRect(rect);
    const QRectF pixels(placed.topLeft() * ratio, placed.size() * ratio);
    if (pixels.toRect() != pixels)
        return std::nullopt;
    return ratio;
}

} // namespace

void paintShadow(QPainter &painter, const QRectF &shape, qreal radius, const QColor &colour,
                 qreal blur, qreal down)
{
    const QRectF cast = shape.translated(0, down);
    // Along its straight edges a shadow is the same everywhere. It is drawn once, around a small
    // shape, as a picture whose corners are then copied, whose edges are stretched and whose
    // middle is filled, for a shape of any size: the same pixels for a fraction of the work.
    const int spread = qCeil(blur / 2) + 1; // how far it reaches beyond the shape
    const int inner = qCeil(radius) + 1;    // how far its corners reach into the shape
    const int margin = spread + inner;
    // The picture's pixels are whole logical pixels too: for a whole device pixel ratio only.
    const auto deviceRatio = wholePixelRatio(painter, cast);
    const int ratio = deviceRatio ? qRound(*deviceRatio) : 0;
    if (ratio < 1 || !qFuzzyCompare(*deviceRatio, qreal(ratio)) || cast.width() < 2 * inner ||
        cast.height() < 2 * inner) {
        drawShadowLayers(painter, cast, radius, colour, blur);
        return;
    }
    const int side = 2 * margin + 1;
    const QString key = QStringLiteral("tavex-shadow:%1:%2:%3:%4")
                            .arg(radius)
                            .arg(colour.rgba64())
                            .arg(blur)
                            .arg(ratio);
    QPixmap tile;
    if (!QPixmapCache::find(key, &tile)) {
        tile = QPixmap(side * ratio, side * ratio);
        tile.setDevicePixelRatio(ratio);
        tile.fill(Qt::transparent);
        QPainter onTile(&tile);
        drawShadowLayers(onTile, QRectF(spread, spread, 2 * inner + 1, 2 * inner + 1), radius,
                         colour, blur);
        onTile.end();
        QPixmapCache::insert(key, tile);
    }
    const QRect outer = cast.toRect().adjusted(-spread, -spread, spread, spread);
    const int across = outer.width() - 2 * margin, tall = outer.height() - 2 * margin;
    const int m = margin * ratio, far = (margin + 1) * ratio; // in the tile's pixels
    const auto piece = [&](int x, int y, int w, int h, int sx, int sy, int sw, int sh) {
        painter.drawPixmap(QRect(outer.left() + x, outer.top() + y, w, h), tile,
                           QRect(sx, sy, sw, sh));
    };
    painter.save();
    // Stretched pieces repeat their pixels exactly.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    const int right = margin + across, bottom = margin + tall;
    piece(0, 0, margin, margin, 0, 0, m, m);
    piece(right, 0, margin, margin, far, 0, m, m);
    piece(0, bottom, margin, margin, 0, far, m, m);
    piece(right, bottom, margin, margin, far, far, m, m);
    piece(margin, 0, across, margin, m, 0, ratio, m);
    piece(margin, bottom, across, margin, m, far, ratio, m);
    piece(0, margin, margin, tall, 0, m, m, ratio);
    piece(right, margin, margin, tall, far, m, m, ratio);
    piece(margin, margin, across, tall, m, m, ratio, ratio);
    painter.restore();
}

namespace {

// In logical pixels: a button is some 210 by 66.
constexpr qreal kSmallCard = 40000;

void drawCard(QPainter &painter, const QRectF &rect, qreal radius, const QBrush &fill,
              const QColor &outline)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(outline.alpha() == 0 ? QPen(Qt::NoPen) : QPen(outline, 1.0));
    painter.setBrush(fill);
    painter.drawRoundedRect(shape, radius, radius);
    painter.restore();
}

} // namespace

void paintCard(QPainter &painter, const QRectF &rect, qreal radius, const QBrush &fill,
               const QColor &outline)
{
    // A small card in one colour on whole pixels, as the buttons and status cards are, is drawn
    // once per size and colours and copied from then on: the window shows many alike. A large
    // one is drawn directly: it is one of a kind, and a picture of it costs more than it saves.
    const auto ratio = wholePixelRatio(painter, rect);
    if (fill.style() != Qt::SolidPattern || !ratio || rect.width() * rect.height() > kSmallCard) {
        drawCard(painter, rect, radius, fill, outline);
        return;
    }
    const QString key = QStringLiteral("tavex-card:%1x%2:%3:%4:%5:%6")
                            .arg(rect.width())
                            .arg(rect.height())
                            .arg(radius)
                            .arg(fill.color().rgba64())
                            .arg(outline.rgba64())
                            .arg(*ratio);
    QPixmap card;
    if (!QPixmapCache::find(key, &card)) {
        card = QPixmap((rect.size() * *ratio).toSize());
        card.setDevicePixelRatio(*ratio);
        card.fill(Qt::transparent);
        QPainter onCard(&card);
        drawCard(onCard, QRectF(QPointF(0, 0), rect.size()), radius, fill, outline);
        onCard.end();
        QPixmapCache::insert(key, card);
    }
    painter.drawPixmap(rect.topLeft(), card);
}

namespace {

// A picture under :/icons, read as PNG without asking the image format plugins first: that would
// load every one of them, and the SVG library with its own.
QImage iconPicture(const QString &name, int pixels)
{
    QImageReader reader(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(pixels), "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

} // namespace

QPixmap iconPixmap(const QString &name, int logicalSize, qreal devicePixelRatio)
{
    const QString key =
        QStringLiteral("tavex-icon:%1:%2:%3").arg(name).arg(logicalSize).arg(devicePixelRatio);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached))
        return cached;
    // The picture rendered at build time for exactly these pixels; for a ratio without one, the
    // smallest larger picture scaled down (or the largest, scaled up).
    const int physical = qMax(1, qRound(logicalSize * devicePixelRatio));
    QImage image = iconPicture(name, physical);
    if (image.isNull()) {
        const QString prefix = name + QLatin1Char('-');
        int chosen = 0;
        const QStringList pictures =
            QDir(QStringLiteral(":/icons")).entryList({prefix + QStringLiteral("*.png")});
        for (const QString &picture : pictures) {
            const int size = picture.mid(prefix.size()).chopped(4).toInt();
            if (chosen == 0 || (size >= physical ? chosen < physical || size < chosen
                                                 : chosen < physical && size > chosen))
                chosen = size;
        }
        if (chosen > 0)
            image = iconPicture(name, chosen).scaled(physical, physical, Qt::IgnoreAspectRatio,
                                                     Qt::SmoothTransformation);
    }
    QPixmap pixmap;
    if (image.isNull()) {
        pixmap = QPixmap(physical, physical);
        pixmap.fill(Qt::transparent);
    } else {
        pixmap = QPixmap::fromImage(std::move(image));
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

} // namespace tavex::ui::Theme
