#include "WarningCard.h"

#include "PlainTextLabel.h"
#include "Theme.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace tavex::ui {

WarningCard::WarningCard(const QString &title, const QColor &accent, QWidget *parent)
    : QWidget(parent), m_accent(accent), m_body(new PlainTextLabel(this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    auto *heading = Theme::plainLabel(title, Theme::font(12, QFont::DemiBold), accent, this);
    m_body->setObjectName(QStringLiteral("body"));
    Theme::setTextStyle(m_body, Theme::font(11, QFont::Normal, Theme::Face::Mono),
                        Theme::white(0.94));
    column->addWidget(heading);
    column->addWidget(m_body);
    setAccessibleName(title);
    setVisible(false);
}

void WarningCard::setBody(const QString &body)
{
    m_body->setText(body);
    setAccessibleDescription(body);
    setVisible(!body.isEmpty());
}

void WarningCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QColor fill = m_accent;
    fill.setAlphaF(0.1f);
    QColor outline = m_accent;
    outline.setAlphaF(0.18f);
    Theme::paintCard(painter, rect(), 14, fill, outline);
}

} // namespace tavex::ui
