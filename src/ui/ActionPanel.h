#pragma once

#include <QWidget>

class QVBoxLayout;

namespace tavex::ui {

class AdaptiveGridLayout;
class IconButton;

// A grouped panel: a title, a subtitle, then its content, each its own item, on a dark card.
class ActionPanel : public QWidget
{
    Q_OBJECT

public:
    ActionPanel(const QString &title, const QString &subtitle, QWidget *parent = nullptr);

    // Adds a button to the panel's grid (columns at least 170 wide), in reading order.
    void addButton(IconButton *button);
    // Adds an item below the grid.
    void addContent(QWidget *content);
    AdaptiveGridLayout *grid() const { return m_grid; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_column;
    AdaptiveGridLayout *m_grid;
};

} // namespace tavex::ui
