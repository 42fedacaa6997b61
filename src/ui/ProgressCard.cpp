#include "ProgressCard.h"

#include "Localization.h"
#include "PlainTextLabel.h"
#include "Theme.h"
#include "model/PanelViewModel.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

#include <cmath>

namespace tavex::ui {

namespace {
constexpr int kSteps = 1000;
}

ProgressCard::ProgressCard(PanelViewModel *viewModel, QWidget *parent) : QWidget(parent)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);
    auto *heading = Theme::plainLabel(localized("update.progress"),
                                      Theme::font(12, QFont::DemiBold), Theme::white(0.78), this);
    auto *bar = new QProgressBar(this);
    bar->setRange(0, kSteps);
    bar->setTextVisible(false);
    bar->setFixedHeight(6);
    auto *line = new PlainTextLabel(this);
    line->setObjectName(QStringLiteral("progressText"));
    Theme::setTextStyle(line, Theme::font(11, QFont::Normal, Theme::Face::Mono),
                        Theme::white(0.72));
    column->addWidget(heading);
    column->addWidget(bar);
    column->addWidget(line);
    setAccessibleName(heading->text());

    const auto show = [this, bar, line, viewModel] {
        const double fraction = viewModel->updateProgress();
        // NaN fails both comparisons and hides the card too.
        const bool running = fraction > 0.0 && fraction < 1.0;
        setVisible(running);
        if (!running) {
            // A screen reader would still read the last step of a run that has ended.
            setAccessibleDescription(QString());
            return;
        }
        bar->setValue(int(fraction * kSteps));
        line->setText(progressLine(fraction, viewModel->updateProgressText()));
        setAccessibleDescription(line->text());
    };
    connect(viewModel, &PanelViewModel::updateProgressChanged, this, show);
    connect(viewModel, &PanelViewModel::updateProgressTextChanged, this, show);
    show();
}

QString ProgressCard::progressLine(double fraction, const QString &text)
{
    return text + QLatin1Char(' ') + QString::number(qint64(std::trunc(fraction * 100))) +
           QLatin1Char('%');
}

void ProgressCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRectF card = rect();
    QLinearGradient fill(card.topLeft(), card.bottomRight());
    fill.setColorAt(0.0, Theme::white(0.08));
    fill.setColorAt(1.0, Theme::black(0.18));
    Theme::paintCard(painter, card, 14, fill, Theme::white(0.08));
}

} // namespace tavex::ui
