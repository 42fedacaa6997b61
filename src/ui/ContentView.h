#pragma once

#include "model/PanelRoot.h"

#include <QFutureWatcher>
#include <QList>
#include <QWidget>
#include <functional>
#include <memory>

namespace tavex {
class DesktopServices;
class PanelViewModel;
} // namespace tavex

namespace tavex::ui {

// The window's root view: it owns the one view model for the life of the window and shows its
// state in a scrolling column of cards. Every button calls one operation of the view model.
class ContentView : public QWidget
{
    Q_OBJECT

public:
    // The running program's panel root and the desktop's own services.
    explicit ContentView(QWidget *parent = nullptr);
    ContentView(PanelRootResolver resolver, std::shared_ptr<DesktopServices> desktop,
                QWidget *parent = nullptr);
    ~ContentView() override;

    PanelViewModel *viewModel() const { return m_viewModel; }
    // Whether the first resolution of the panel root (which may install the runtime) is done.
    bool isRootResolved() const { return m_rootResolution.isFinished(); }

signals:
    void rootResolved();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    // A zip package dropped anywhere on the window, the log included, updates the site from it.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildColumn(QWidget *column);
    // Takes a drag or drop of one local .zip file; false for anything else.
    bool takePackageDrop(QDropEvent *event);
    // Runs a step now, or once the first root resolution is done: until then the GUI thread
    // would wait on the installation.
    void whenRootResolved(std::function<void()> step);

    PanelViewModel *m_viewModel;
    QFutureWatcher<QString> m_rootResolution;
    QList<std::function<void()>> m_afterResolution;
    // Set when the view comes into view; its status refresh follows the next painted frame.
    bool m_refreshAfterFrame = false;
    bool m_placementShown = false;
};

} // namespace tavex::ui
