#include "StatusStrip.h"

#include "AdaptiveGridLayout.h"
#include "Localization.h"
#include "PlainTextLabel.h"
#include "Theme.h"
#include "model/PanelViewModel.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace tavex::ui {

StatCard::StatCard(const QString &title, QWidget *parent)
    : QWidget(parent), m_value(new QLabel(this)), m_reason(new PlainTextLabel(this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(6);
    auto *titleLabel =
        Theme::plainLabel(title, Theme::font(11, QFont::DemiBold), Theme::white(0.78), this);
    m_value->setTextFormat(Qt::PlainText);
    m_value->setObjectName(QStringLiteral("value"));
    column->addWidget(titleLabel);
    column->addWidget(m_value);
    m_reason->setObjectName(QStringLiteral("reason"));
    Theme::setTextStyle(m_reason, Theme::font(11, QFont::Normal), Theme::orange(0.9));
    m_reason->setVisible(false);
    column->addWidget(m_reason);
    // Cards of a row share its height; a caption on one must not push the others' titles down.
    column->addStretch(1);
    setAccessibleName(title);
}

void StatCard::setValue(const QString &value, const QColor &colour)
{
    m_value->setText(value);
    Theme::setTextStyle(m_value, Theme::font(15, QFont::Bold), colour);
    setAccessibleDescription(value);
}

void StatCard::setReason(const QString &reason)
{
    m_reason->setText(reason);
    m_reason->setVisible(!reason.isEmpty());
    setAccessibleDescription(reason.isEmpty() ? m_value->text()
                                              : m_value->text() + QLatin1Char('\n') + reason);
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
    for (int index = 0; index < 3; ++index) {
        const Card &card = cards[index];
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
        const auto showReason = [statCard, viewModel, index] {
            statCard->setReason(viewModel->serviceReasons().value(index));
        };
        connect(viewModel, &PanelViewModel::serviceReasonsChanged, statCard, showReason);
        showReason();
    }
}

} // namespace tavex::ui
