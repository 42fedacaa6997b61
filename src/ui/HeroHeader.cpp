#include "HeroHeader.h"

#include "Localization.h"
#include "Theme.h"
#include "model/PanelViewModel.h"

#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

namespace tavex::ui {

Badge::Badge(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setContentsMargins(12, 7, 12, 7);
    Theme::setTextStyle(this, Theme::font(12, QFont::DemiBold), Theme::white());
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Badge::setState(const QString &label, bool ok)
{
    setText(label + QStringLiteral("  ") + localized(ok ? "common.running" : "common.stopped"));
    m_ok = ok;
    update();
}

void Badge::paintEvent(QPaintEvent *event)
{
    {
        QPainter painter(this);
        const qreal radius = height() / 2.0;
        Theme::paintCard(painter, rect(), radius, m_ok ? Theme::green(0.26) : Theme::white(0.1),
                         Theme::white(0.1));
    }
    QLabel::paintEvent(event);
}

HeroHeader::HeroHeader(PanelViewModel *viewModel, QWidget *parent) : QWidget(parent)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(18, 18, 18, 18);
    row->setSpacing(16);

    auto *icon = new QLabel(this);
    icon->setFixedSize(68, 68);
    icon->setPixmap(Theme::iconPixmap(QStringLiteral("start_all"), 68, devicePixelRatioF()));
    icon->setObjectName(QStringLiteral("icon"));
    row->addWidget(icon, 0, Qt::AlignVCenter);

    auto *names = new QVBoxLayout;
    names->setSpacing(6);
    names->addWidget(Theme::plainLabel(localized("app.title"),
                                       Theme::font(28, QFont::Bold, Theme::Face::Rounded),
                                       Theme::white(), this));
    names->addWidget(Theme::plainLabel(localized("app.subtitle"), Theme::font(14, QFont::Medium),
                                       Theme::white(0.82), this));
    auto *readiness =
        Theme::plainLabel(QString(), Theme::font(12, QFont::DemiBold), Theme::white(), this);
    readiness->setObjectName(QStringLiteral("readiness"));
    names->addWidget(readiness);
    row->addLayout(names, 1);
    row->addStretch();

    auto *side = new QVBoxLayout;
    side->setSpacing(10);
    auto *caption = Theme::plainLabel(localeCaption(QLocale()), Theme::font(11, QFont::DemiBold),
                                      Theme::white(0.55), this);
    caption->setObjectName(QStringLiteral("localeCaption"));
    side->addWidget(caption, 0, Qt::AlignRight);
    auto *mysql = new Badge(this);
    auto *web = new Badge(this);
    auto *phpMyAdmin = new Badge(this);
    for (Badge *badge : {mysql, web, phpMyAdmin})
        side->addWidget(badge, 0, Qt::AlignRight);
    row->addLayout(side);

    const auto showStatus = [mysql, web, phpMyAdmin, viewModel] {
        const ServiceStatus status = viewModel->status();
        mysql->setState(localized("status.mysql"), status.mysqlRunning);
        web->setState(localized("status.php_web"), status.phpWebRunning);
        phpMyAdmin->setState(localized("status.phpmyadmin"), status.phpMyAdminRunning);
    };
    const auto showReadiness = [readiness, viewModel] {
        if (viewModel->installingRuntime()) {
            readiness->setText(localized("app.installing"));
            Theme::setTextStyle(readiness, readiness->font(), Theme::cyan(0.95));
            return;
        }
        const bool ready = viewModel->permissionHint().isEmpty();
        readiness->setText(localized(ready ? "app.ready" : "app.attention"));
        Theme::setTextStyle(readiness, readiness->font(),
                            ready ? Theme::green(0.95) : Theme::orange(0.95));
    };
    connect(viewModel, &PanelViewModel::statusChanged, this, showStatus);
    connect(viewModel, &PanelViewModel::permissionHintChanged, this, showReadiness);
    connect(viewModel, &PanelViewModel::installingRuntimeChanged, this, showReadiness);
    showStatus();
    showReadiness();
}

void HeroHeader::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRectF card = rect();
    Theme::paintCard(painter, card, 22, Theme::white(0.05), Qt::transparent);
    QLinearGradient sheen(card.topLeft(), card.bottomRight());
    sheen.setColorAt(0.0, Theme::cyan(0.2));
    sheen.setColorAt(0.5, Theme::blue(0.08));
    sheen.setColorAt(1.0, Qt::transparent);
    Theme::paintCard(painter, card, 22, sheen, Theme::white(0.12));
    if (const auto *icon = findChild<QWidget *>(QStringLiteral("icon")))
        Theme::paintShadow(painter, QRectF(icon->geometry()).adjusted(4, 4, -4, -4), 14,
                           Theme::black(0.28), 10, 6);
}

} // namespace tavex::ui
