#pragma once

#include <QWidget>

class QLabel;

namespace tavex {
class PanelViewModel;
}

namespace tavex::ui {

class AdaptiveGridLayout;

// One service's card: its name and whether it runs.
class StatCard : public QWidget
{
    Q_OBJECT

public:
    explicit StatCard(const QString &title, QWidget *parent = nullptr);
    void setValue(const QString &value, const QColor &colour);
    // Why the service does not run as the panel started it; empty hides the line.
    void setReason(const QString &reason);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_value;
    QLabel *m_reason;
};

// The three status cards in a grid whose columns are at least 180 wide.
class StatusStrip : public QWidget
{
    Q_OBJECT

public:
    explicit StatusStrip(PanelViewModel *viewModel, QWidget *parent = nullptr);
    AdaptiveGridLayout *grid() const { return m_grid; }

private:
    AdaptiveGridLayout *m_grid;
};

} // namespace tavex::ui
