#pragma once

#include <QLabel>
#include <QWidget>

namespace tavex {
class PanelViewModel;
}

namespace tavex::ui {

// A pill naming a service and whether it runs.
class Badge : public QLabel
{
    Q_OBJECT

public:
    explicit Badge(QWidget *parent = nullptr);
    void setState(const QString &label, bool ok);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_ok = false;
};

// The header: icon, name, subtitle, readiness line, locale caption and the three service badges.
class HeroHeader : public QWidget
{
    Q_OBJECT

public:
    explicit HeroHeader(PanelViewModel *viewModel, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace tavex::ui
