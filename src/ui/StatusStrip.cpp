#include "StatusStrip.h"

#include "AdaptiveGridLayout.h"
#include "Localization.h"
#include "Theme.h"
#include "model/PanelViewModel.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace tavex::ui {

StatCard::StatCard(const QString &title, QWidget *parent)
    : QWidget(parent), m_value(new QLabel(this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(6);
    auto *titleLabel = new QLabel(title, this);
    titleLabel->setTextFormat(Qt::PlainText);
    Theme::setTextStyle(titleLabel, Theme::font(11, QFont::DemiBold), Theme::white(0.78));
    m_value->setTextFormat(Qt::PlainText);
    m_value->setObjectName(QStringLiteral("value"));
    column->addWidget(titleLabel);
    column->addWidget(m_value);
    setAccessibleName(title);
}

void StatCard::setValue(const QString &value, const QColor &colour)
{
    m_value->setText(value);
    Theme::setTextStyle(m_value, Theme::font(15, QFont::Bold), colour);
    setAccessibleDescription(value);
}

void StatCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    Theme::paintCard(painter, rect(), 18, Theme::white(0.06), Theme::white(0.08));
}

StatusStrip::StatusStrip(PanelViewModel *viewModel, QWidget *parent)
    : QWidget(parent), m_grid(new AdaptiveGridLayout(180, 12, this))
{
    struct Card
    {
        const char *title;
        bool ServiceStatus::*running;
    };
    static const Card cards[] = {{"status.mysql", &ServiceStatus::mysqlRunning},
                                 {"status.php_web", &ServiceStatus::phpWebRunning},
                                 {"status.phpmyadmin", &ServiceStatus::phpMyAdminRunning}};
    for (const Card &card : cards) {
        auto *statCard = new StatCard(localized(card.title), this);
        statCard->setObjectName(QString::fromLatin1(card.title));
        m_grid->addWidget(statCard);
        const auto show = [statCard, viewModel, running = card.running] {
            const bool on = viewModel->status().*running;
            statCard->setValue(localized(on ? "common.running" : "common.stopped"),
                               on ? Theme::green() : Theme::gray());
        };
        connect(viewModel, &PanelViewModel::statusChanged, statCard, show);
        show();
    }
}

} // namespace tavex::ui
