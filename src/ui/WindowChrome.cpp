#include "WindowChrome.h"

#include "Localization.h"
#include "Theme.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace tavex::ui {

WindowButton::WindowButton(Kind kind, const QString &name, QWidget *parent)
    : QAbstractButton(parent), m_kind(kind)
{
    setAccessibleName(name);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
}

void WindowButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (underMouse()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_kind == Kind::Close ? Theme::red(0.85) : Theme::white(0.14));
        painter.drawRoundedRect(QRectF(rect()).adjusted(2, 1, -2, -1), 7, 7);
    }
    painter.setPen(QPen(Theme::white(), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    const QPointF c = QRectF(rect()).center();
    constexpr qreal r = 4.5;
    switch (m_kind) {
    case Kind::Minimize:
        painter.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
        break;
    case Kind::Maximize:
        painter.drawRoundedRect(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 1.5, 1.5);
        break;
    case Kind::Close:
        painter.drawLine(QPointF(c.x() - r, c.y() - r), QPointF(c.x() + r, c.y() + r));
        painter.drawLine(QPointF(c.x() - r, c.y() + r), QPointF(c.x() + r, c.y() - r));
        break;
    }
}

WindowChrome::WindowChrome(QWidget *window) : QWidget(window), m_window(window)
{
    setFixedHeight(30);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 0);
    row->setSpacing(2);
    row->addStretch();
    auto *minimize =
        new WindowButton(WindowButton::Kind::Minimize, localized("window.minimize"), this);
    auto *maximize =
        new WindowButton(WindowButton::Kind::Maximize, localized("window.maximize"), this);
    auto *close = new WindowButton(WindowButton::Kind::Close, localized("window.close"), this);
    for (auto *button : {minimize, maximize, close})
        row->addWidget(button);
    connect(minimize, &QAbstractButton::clicked, window, &QWidget::showMinimized);
    connect(maximize, &QAbstractButton::clicked, this, &WindowChrome::toggleMaximized);
    connect(close, &QAbstractButton::clicked, window, &QWidget::close);

    // Presses that no card or button takes reach the window itself: its background.
    window->setMouseTracking(true);
    window->installEventFilter(this);
}

Qt::Edges WindowChrome::edgesAt(const QPoint &position) const
{
    Qt::Edges edges;
    if (m_window->isMaximized() || m_window->isFullScreen())
        return edges;
    if (position.x() < kEdge)
        edges |= Qt::LeftEdge;
    if (position.x() >= m_window->width() - kEdge)
        edges |= Qt::RightEdge;
    if (position.y() < kEdge)
        edges |= Qt::TopEdge;
    if (position.y() >= m_window->height() - kEdge)
        edges |= Qt::BottomEdge;
    return edges;
}

void WindowChrome::toggleMaximized()
{
    if (m_window->isMaximized())
        m_window->showNormal();
    else
        m_window->showMaximized();
}

bool WindowChrome::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window)
        return false;
    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const Qt::Edges edges = edgesAt(mouse->position().toPoint());
        if (edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge))
            m_window->setCursor(Qt::SizeFDiagCursor);
        else if (edges == (Qt::RightEdge | Qt::TopEdge) || edges == (Qt::LeftEdge | Qt::BottomEdge))
            m_window->setCursor(Qt::SizeBDiagCursor);
        else if (edges & (Qt::LeftEdge | Qt::RightEdge))
            m_window->setCursor(Qt::SizeHorCursor);
        else if (edges & (Qt::TopEdge | Qt::BottomEdge))
            m_window->setCursor(Qt::SizeVerCursor);
        else
            m_window->unsetCursor();
        return false;
    }
    case QEvent::MouseButtonPress: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        QWindow *handle = m_window->windowHandle();
        if (mouse->button() != Qt::LeftButton || !handle)
            return false;
        const Qt::Edges edges = edgesAt(mouse->position().toPoint());
        if (edges)
            handle->startSystemResize(edges);
        else
            handle->startSystemMove();
        return true;
    }
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            toggleMaximized();
            return true;
        }
        return false;
    default:
        return false;
    }
}

} // namespace tavex::ui
