#pragma once

#include <QWidget>

class QPlainTextEdit;

namespace tavex {
class PanelViewModel;
}

namespace tavex::ui {

// The log: a header and an editor bound both ways to the view model's log. The user's edits go
// into the log until the next operation replaces it.
class LogPanel : public QWidget
{
    Q_OBJECT

public:
    explicit LogPanel(PanelViewModel *viewModel, QWidget *parent = nullptr);
    QPlainTextEdit *editor() const { return m_editor; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPlainTextEdit *m_editor;
    // Set while the editor shows a text that the view model wrote, so that it is not echoed back.
    bool m_showingModelText = false;
};

} // namespace tavex::ui
