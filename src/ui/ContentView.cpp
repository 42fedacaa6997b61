#include "ContentView.h"

#include "ActionPanel.h"
#include "HeroHeader.h"
#include "IconButton.h"
#include "Localization.h"
#include "LogPanel.h"
#include "ProgressCard.h"
#include "QtDesktopServices.h"
#include "StatusStrip.h"
#include "Theme.h"
#include "WarningCard.h"
#include "WindowChrome.h"
#include "model/PanelViewModel.h"

#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <optional>

namespace tavex::ui {

namespace {

const QString kWindowTitle = QStringLiteral("TAVEX 本地调试助手");

// The scrolling column of cards; it paints the header's shadow beneath them.
class Column : public QWidget
{
public:
    using QWidget::QWidget;
    QWidget *header = nullptr;

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (!header)
            return;
        QPainter painter(this);
        Theme::paintShadow(painter, header->geometry(), 22, Theme::black(0.22), 16, 10);
    }
};

struct ButtonSpec
{
    const char *titleKey;
    const char *image;
    bool prominent;
};

// The dragged local file when it is one zip package; absent for anything else.
std::optional<QString> draggedPackage(const QMimeData *mime)
{
    if (!mime || mime->urls().size() != 1 || !mime->urls().constFirst().isLocalFile())
        return std::nullopt;
    const QString path = mime->urls().constFirst().toLocalFile();
    if (!path.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        return std::nullopt;
    return path;
}

} // namespace

ContentView::ContentView(QWidget *parent) : ContentView(PanelRootResolver(), nullptr, parent) {}

ContentView::ContentView(PanelRootResolver resolver, std::shared_ptr<DesktopServices> desktop,
                         QWidget *parent)
    : QWidget(parent)
{
    m_viewModel = new PanelViewModel(
        resolver, desktop ? std::move(desktop) : std::make_shared<QtDesktopServices>(this), this);

    setWindowTitle(kWindowTitle);
    setWindowFlag(Qt::FramelessWindowHint);
    // The gradient covers the whole window: Qt need not fill it with the palette first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(820, 740);
    resize(960, 860);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(WindowChrome::kEdge, 0, WindowChrome::kEdge, WindowChrome::kEdge);
    outer->setSpacing(0);
    outer->addWidget(new WindowChrome(this));

    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Theme::styleScrollBars(scroll);
    scroll->viewport()->setAutoFillBackground(false);
    auto *column = new Column;
    column->setObjectName(QStringLiteral("column"));
    buildColumn(column);
    column->header = column->findChild<HeroHeader *>();
    scroll->setWidget(column);
    // The gradient shows through the column (the scroll area would paint it opaque).
    column->setAutoFillBackground(false);
    outer->addWidget(scroll, 1);

    setAcceptDrops(true);
    // The log editor takes drops of its own; a package is not text for the log.
    if (auto *editor = column->findChild<QPlainTextEdit *>(QStringLiteral("logEditor")))
        editor->viewport()->installEventFilter(this);

    // The first resolution may copy the whole shipped runtime: off the GUI thread, while the
    // window paints.
    // While it copies, the header and the log say so and the buttons that need the root wait,
    // visibly disabled, instead of queueing presses in silence.
    const auto setButtonsWaiting = [this](bool waiting) {
        for (IconButton *button : findChildren<IconButton *>()) {
            if (button->objectName() == QLatin1String("action.copy_logs"))
                continue;
            button->setEnabled(!waiting);
            button->setToolTip(waiting ? localized("app.installing") : QString());
        }
    };
    connect(m_viewModel, &PanelViewModel::installingRuntimeChanged, this,
            [this, setButtonsWaiting] { setButtonsWaiting(m_viewModel->installingRuntime()); });
    m_viewModel->announceRuntimeInstallation();
    connect(&m_rootResolution, &QFutureWatcher<QString>::finished, this, [this] {
        m_viewModel->endRuntimeInstallation();
        const auto steps = std::exchange(m_afterResolution, {});
        for (const auto &step : steps)
            step();
        emit rootResolved();
    });
    m_rootResolution.setFuture(
        QtConcurrent::run([resolver = std::move(resolver)] { return resolver.tavexPanelRoot(); }));
}

ContentView::~ContentView() = default;

void ContentView::buildColumn(QWidget *column)
{
    PanelViewModel *vm = m_viewModel;
    auto *stack = new QVBoxLayout(column);
    stack->setContentsMargins(18, 18, 18, 18);
    stack->setSpacing(18);
    stack->addWidget(new HeroHeader(vm, column));
    stack->addWidget(new StatusStrip(vm, column));

    const auto panel =
        [&](const char *title, const char *subtitle,
            std::initializer_list<std::pair<ButtonSpec, std::function<void()>>> buttons) {
            auto *actionPanel = new ActionPanel(localized(title), localized(subtitle), column);
            actionPanel->setObjectName(QString::fromLatin1(title));
            for (const auto &[spec, operation] : buttons) {
                auto *button =
                    new IconButton(QString::fromLatin1(spec.image), localized(spec.titleKey),
                                   spec.prominent, actionPanel);
                button->setObjectName(QString::fromLatin1(spec.titleKey));
                connect(button, &QAbstractButton::clicked, this,
                        [this, operation] { whenRootResolved(operation); });
                actionPanel->addButton(button);
            }
            stack->addWidget(actionPanel);
            return actionPanel;
        };

    panel("panel.service_control", "panel.service_control.sub",
          {{{"action.start_all", "start_all", true}, [vm] { vm->startAll(); }},
           {{"action.stop_all", "stop_all", false}, [vm] { vm->stopAll(); }},
           {{"action.refresh_status", "refresh_status", false}, [vm] { vm->refreshStatus(); }}});
    panel(
        "panel.directory_permission", "panel.directory_permission.sub",
        {{{"action.choose_directory", "choose_directory", false}, [vm] { vm->choosePanelRoot(); }},
         {{"action.open_directory", "open_directory", false}, [vm] { vm->openRuntimeDirectory(); }},
         {{"action.privacy_settings", "privacy_settings", false},
          [vm] { vm->openPrivacySettings(); }}});
    ActionPanel *siteLogs = panel(
        "panel.site_logs", "panel.site_logs.sub",
        {{{"action.open_website", "open_website", false}, [vm] { vm->openSite(); }},
         {{"action.database_admin", "database_admin", false}, [vm] { vm->openPhpMyAdmin(); }},
         {{"action.start_phpmyadmin", "phpmyadmin_start", false}, [vm] { vm->openPhpMyAdmin(); }},
         {{"action.update_repair", "update_repair", false}, [vm] { vm->updateOrRepairFiles(); }},
         {{"action.copy_logs", "copy_logs", false}, [vm] { vm->copyLogs(); }}});

    auto *progress = new ProgressCard(vm, siteLogs);
    progress->setObjectName(QStringLiteral("progressCard"));
    siteLogs->addContent(progress);
    auto *permission = new WarningCard(localized("warning.permission"), Theme::orange(), siteLogs);
    permission->setObjectName(QStringLiteral("permissionWarning"));
    siteLogs->addContent(permission);
    connect(vm, &PanelViewModel::permissionHintChanged, permission,
            [permission, vm] { permission->setBody(vm->permissionHint()); });

    auto *errors = new WarningCard(localized("warning.errors"), Theme::red(), column);
    errors->setObjectName(QStringLiteral("errorWarning"));
    stack->addWidget(errors);
    connect(vm, &PanelViewModel::errorSummaryChanged, errors,
            [errors, vm] { errors->setBody(vm->errorSummary()); });

    stack->addWidget(new LogPanel(vm, column), 1);
}

void ContentView::whenRootResolved(std::function<void()> step)
{
    if (m_rootResolution.isFinished())
        step();
    else
        m_afterResolution.append(std::move(step));
}

bool ContentView::takePackageDrop(QDropEvent *event)
{
    // While the runtime is being installed, a package is refused like the buttons are.
    const auto package = draggedPackage(event->mimeData());
    if (!package || m_viewModel->installingRuntime())
        return false;
    event->acceptProposedAction();
    if (event->type() == QEvent::Drop) {
        // The question comes once the drop has returned: the program dragged from waits for it.
        QTimer::singleShot(0, this, [this, path = *package] {
            whenRootResolved([vm = m_viewModel, path] { vm->updateOrRepairFromDroppedFile(path); });
        });
    }
    return true;
}

void ContentView::dragEnterEvent(QDragEnterEvent *event)
{
    if (!takePackageDrop(event))
        event->ignore();
}

void ContentView::dragMoveEvent(QDragMoveEvent *event)
{
    if (!takePackageDrop(event))
        event->ignore();
}

void ContentView::dropEvent(QDropEvent *event)
{
    if (!takePackageDrop(event))
        event->ignore();
}

bool ContentView::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) &&
        takePackageDrop(static_cast<QDropEvent *>(event)))
        return true;
    return QWidget::eventFilter(watched, event);
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Each time the view comes into view, but not when the desktop restores it from minimised.
    if (!event->spontaneous())
        m_refreshAfterFrame = true;
}

void ContentView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::backgroundGradient(rect()));
    // The refresh probes the system: the window is on the screen before it does.
    if (std::exchange(m_refreshAfterFrame, false)) {
        QTimer::singleShot(0, this, [this] {
            whenRootResolved([this] {
                m_viewModel->refreshStatus();
                // The first status also says where the root lies and why.
                if (!std::exchange(m_placementShown, true))
                    m_viewModel->showRootPlacement();
            });
        });
    }
}

} // namespace tavex::ui
