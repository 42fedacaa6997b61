#include "AdaptiveGridLayout.h"

#include <QWidget>

namespace tavex::ui {

AdaptiveGridLayout::AdaptiveGridLayout(int minimumColumnWidth, int spacing, QWidget *parent)
    : QLayout(parent), m_minimumColumnWidth(minimumColumnWidth), m_spacing(spacing)
{
    setContentsMargins(0, 0, 0, 0);
}

AdaptiveGridLayout::~AdaptiveGridLayout()
{
    qDeleteAll(m_items);
}

int AdaptiveGridLayout::columnsFor(int width) const
{
    return qMax(1, (width + m_spacing) / (m_minimumColumnWidth + m_spacing));
}

void AdaptiveGridLayout::addItem(QLayoutItem *item)
{
    m_items.append(item);
}

QLayoutItem *AdaptiveGridLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    return m_items.takeAt(index);
}

int AdaptiveGridLayout::heightForWidth(int width) const
{
    return arrange(QRect(0, 0, width, 0), false);
}

QSize AdaptiveGridLayout::sizeHint() const
{
    const QMargins m = contentsMargins();
    const int width = m_minimumColumnWidth * qMax(1, int(qMin<qsizetype>(m_items.size(), 4))) +
                      m_spacing * qMax(0, int(qMin<qsizetype>(m_items.size(), 4)) - 1) + m.left() +
                      m.right();
    return {width, heightForWidth(width)};
}

QSize AdaptiveGridLayout::minimumSize() const
{
    // One row: the real height follows the width through heightForWidth. (The height of a single
    // column here would make a scroll area keep the whole page that tall at any width.)
    const QMargins m = contentsMargins();
    int rowHeight = 0;
    for (const QLayoutItem *item : m_items)
        rowHeight = qMax(rowHeight, item->minimumSize().height());
    return {m_minimumColumnWidth + m.left() + m.right(), rowHeight + m.top() + m.bottom()};
}

void AdaptiveGridLayout::setGeometry(const QRect &rect)
{
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int AdaptiveGridLayout::arrange(const QRect &rect, bool apply) const
{
    const QRect area = rect.marginsRemoved(contentsMargins());
    const int columns = columnsFor(area.width());
    const int columnWidth = (area.width() - (columns - 1) * m_spacing) / columns;
    int y = area.top();
    for (qsizetype rowStart = 0; rowStart < m_items.size(); rowStart += columns) {
        const qsizetype rowEnd = qMin(rowStart + columns, m_items.size());
        int rowHeight = 0;
        for (qsizetype i = rowStart; i < rowEnd; ++i) {
            QLayoutItem *item = m_items.at(i);
            const int height = item->hasHeightForWidth() ? item->heightForWidth(columnWidth)
                                                         : item->sizeHint().height();
            rowHeight = qMax(rowHeight, qMax(height, item->minimumSize().height()));
        }
        if (apply) {
            for (qsizetype i = rowStart; i < rowEnd; ++i) {
                const int x = area.left() + int(i - rowStart) * (columnWidth + m_spacing);
                m_items.at(i)->setGeometry(QRect(x, y, columnWidth, rowHeight));
            }
        }
        y += rowHeight + (rowEnd < m_items.size() ? m_spacing : 0);
    }
    const QMargins m = contentsMargins();
    return y - area.top() + m.top() + m.bottom();
}

} // namespace tavex::ui
