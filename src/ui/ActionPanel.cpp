#include "ActionPanel.h"

#include "AdaptiveGridLayout.h"
#include "IconButton.h"
#include "Theme.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace tavex::ui {

ActionPanel::ActionPanel(const QString &title, const QString &subtitle, QWidget *parent)
    : QWidget(parent), m_column(new QVBoxLayout(this)), m_grid(new AdaptiveGridLayout(170, 10))
{
    m_column->setContentsMargins(14, 14, 14, 14);
    m_column->setSpacing(10);

    auto *heading = new QVBoxLayout;
    heading->setSpacing(3);
    auto *titleLabel = Theme::plainLabel(
        title, Theme::font(13, QFont::DemiBold, Theme::Face::Rounded), Theme::white(), this);
    auto *subtitleLabel =
        Theme::plainLabel(subtitle, Theme::font(11, QFont::Normal), Theme::white(0.78), this);
    subtitleLabel->setWordWrap(true);
    heading->addWidget(titleLabel);
    heading->addWidget(subtitleLabel);
    m_column->addLayout(heading);
    m_column->addLayout(m_grid);
    setAccessibleName(title);
    setAccessibleDescription(subtitle);
}

void ActionPanel::addButton(IconButton *button)
{
    m_grid->addWidget(button);
}

void ActionPanel::addContent(QWidget *content)
{
    m_column->addWidget(content);
}

void ActionPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    Theme::paintCard(painter, rect(), 20, Theme::black(0.18), Theme::white(0.08));
    // The prominent button's glow, beneath it.
    for (const IconButton *button : findChildren<IconButton *>(Qt::FindDirectChildrenOnly))
        if (button->isProminent())
            Theme::paintShadow(painter, button->geometry(), 12, Theme::accent(0.18), 6, 3);
}

} // namespace tavex::ui
