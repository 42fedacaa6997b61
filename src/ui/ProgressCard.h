#pragma once

#include <QWidget>

namespace tavex {
class PanelViewModel;
}

namespace tavex::ui {

// The update or repair run's progress, shown only while it is strictly between 0 and 1.
class ProgressCard : public QWidget
{
    Q_OBJECT

public:
    explicit ProgressCard(PanelViewModel *viewModel, QWidget *parent = nullptr);

    // The card's last line: the run's text, a space, the whole percent (truncated) and "%".
    static QString progressLine(double fraction, const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace tavex::ui
