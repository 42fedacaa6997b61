#pragma once

#include <QAbstractButton>
#include <QWidget>

namespace tavex::ui {

// The frameless window's own chrome: a slim title strip with white window buttons, moving the
// window by dragging its background, resizing from its edges and maximising on a double click.
// The title itself is set on the window (for task bars) but not drawn.
class WindowChrome : public QWidget
{
    Q_OBJECT

public:
    // Width of the band along the window's edges that resizes it.
    static constexpr int kEdge = 6;

    explicit WindowChrome(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Qt::Edges edgesAt(const QPoint &position) const;
    void toggleMaximized();

    QWidget *m_window;
};

// A window button drawn as a white glyph.
class WindowButton : public QAbstractButton
{
    Q_OBJECT

public:
    enum class Kind { Minimize, Maximize, Close };
    WindowButton(Kind kind, const QString &name, QWidget *parent = nullptr);
    QSize sizeHint() const override { return {34, 26}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Kind m_kind;
};

} // namespace tavex::ui
