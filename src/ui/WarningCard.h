#pragma once

#include <QColor>
#include <QWidget>

namespace tavex::ui {

class PlainTextLabel;

// A warning box: a title in the accent colour over a monospaced body, on a tinted card. Shown
// only while its body is not empty.
class WarningCard : public QWidget
{
    Q_OBJECT

public:
    WarningCard(const QString &title, const QColor &accent, QWidget *parent = nullptr);
    void setBody(const QString &body);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_accent;
    PlainTextLabel *m_body;
};

} // namespace tavex::ui
