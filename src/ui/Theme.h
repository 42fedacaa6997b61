#pragma once

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QRectF>

class QAbstractScrollArea;
class QApplication;
class QLabel;
class QPainter;
class QWidget;

namespace tavex::ui {

// The dashboard's look in one place: its named colours (dark-appearance values), fonts, and the
// rounded cards everything sits on. Sizes are logical pixels.
namespace Theme {

QColor white(qreal opacity = 1.0);
QColor black(qreal opacity);
QColor green(qreal opacity = 1.0);
QColor gray(qreal opacity = 1.0);
QColor orange(qreal opacity = 1.0);
QColor red(qreal opacity = 1.0);
QColor cyan(qreal opacity = 1.0);
QColor blue(qreal opacity = 1.0);
QColor accent(qreal opacity = 1.0);
QColor secondaryLabel(qreal opacity = 1.0);

// The window's deep blue diagonal gradient.
QBrush backgroundGradient(const QRectF &area);

enum class Face { Text, Rounded, Mono };
QFont font(int pixelSize, QFont::Weight weight, Face face = Face::Text);

// Fusion, a dark palette and the Simplified Chinese faces (the embedded ones cut from Noto CJK,
// then the system's), before any widget exists.
void applyApplicationLook(QApplication &app);

// A widget's font and text colour.
void setTextStyle(QWidget *widget, const QFont &font, const QColor &colour);

// A label that shows its text as given (no markup), in a font and colour.
QLabel *plainLabel(const QString &text, const QFont &font, const QColor &colour, QWidget *parent);

// A rounded card: fill, then a one-pixel outline of the same shape.
void paintCard(QPainter &painter, const QRectF &rect, qreal radius, const QBrush &fill,
               const QColor &outline);

// A soft shadow of a rounded shape, cast downwards: painted by the shape's parent beneath it.
void paintShadow(QPainter &painter, const QRectF &shape, qreal radius, const QColor &colour,
                 qreal blur, qreal down);

// Slim dark scroll bars for a scrolling widget.
void styleScrollBars(QAbstractScrollArea *scrollArea);

// One of the drawings, from the pictures under :/icons rendered at build time for the device
// pixel ratio (the nearest one scaled for a ratio without its own).
QPixmap iconPixmap(const QString &name, int logicalSize, qreal devicePixelRatio);

} // namespace Theme

} // namespace tavex::ui
