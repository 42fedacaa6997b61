#pragma once

#include <QAbstractButton>
#include <QPixmap>

namespace tavex::ui {

// An action button: an image and a one-line title on a rounded tile, in the accent style
// (prominent) or the plain one. Never disabled, no shortcut, no tooltip. The title shrinks to
// 0.85 of its size when it does not fit, then is cut short.
class IconButton : public QAbstractButton
{
    Q_OBJECT

public:
    IconButton(const QString &assetImage, const QString &title, bool prominent,
               QWidget *parent = nullptr);

    QString title() const { return m_title; }
    bool isProminent() const { return m_prominent; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString m_assetImage;
    QString m_title;
    bool m_prominent;
};

} // namespace tavex::ui
