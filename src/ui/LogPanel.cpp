#include "LogPanel.h"

#include "Localization.h"
#include "Theme.h"
#include "model/PanelViewModel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace tavex::ui {

namespace {

// The editor's rounded, dark well.
class LogWell : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        Theme::paintCard(painter, rect(), 14, Theme::black(0.34), Theme::white(0.08));
    }
};

} // namespace

LogPanel::LogPanel(PanelViewModel *viewModel, QWidget *parent)
    : QWidget(parent), m_editor(new QPlainTextEdit)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(8);

    auto *header = new QHBoxLayout;
    auto *names = new QVBoxLayout;
    names->setSpacing(2);
    const QString title = localized("panel.logs");
    names->addWidget(
        Theme::plainLabel(title, Theme::font(12, QFont::DemiBold), Theme::white(), this));
    names->addWidget(Theme::plainLabel(localized("panel.logs.sub"), Theme::font(11, QFont::Normal),
                                       Theme::white(0.8), this));
    header->addLayout(names);
    header->addStretch();
    column->addLayout(header);

    auto *well = new LogWell(this);
    well->setMinimumHeight(220);
    auto *wellLayout = new QVBoxLayout(well);
    wellLayout->setContentsMargins(10, 10, 10, 10);
    wellLayout->addWidget(m_editor);
    column->addWidget(well, 1);

    m_editor->setParent(well);
    m_editor->setObjectName(QStringLiteral("logEditor"));
    m_editor->setAccessibleName(title);
    m_editor->setFrameShape(QFrame::NoFrame);
    m_editor->setBackgroundVisible(false);
    m_editor->viewport()->setAutoFillBackground(false);
    m_editor->setAutoFillBackground(false);
    // Lines wrap anywhere: the log never scrolls sideways.
    m_editor->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Theme::styleScrollBars(m_editor);
    m_editor->setTabChangesFocus(true);
    Theme::setTextStyle(m_editor, Theme::font(12, QFont::Normal, Theme::Face::Mono),
                        Theme::white());
    QPalette clear = m_editor->palette();
    clear.setColor(QPalette::Base, Qt::transparent);
    m_editor->setPalette(clear);

    const auto showModelText = [this, viewModel] {
        // The user's own edit comes back as the same text: leave the editor and its cursor alone.
        if (m_editor->toPlainText() == viewModel->logs())
            return;
        m_showingModelText = true;
        m_editor->setPlainText(viewModel->logs());
        m_showingModelText = false;
    };
    connect(viewModel, &PanelViewModel::logsChanged, m_editor, showModelText);
    connect(m_editor, &QPlainTextEdit::textChanged, viewModel, [this, viewModel] {
        if (!m_showingModelText)
            viewModel->setLogs(m_editor->toPlainText());
    });
    showModelText();
}

void LogPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    Theme::paintCard(painter, rect(), 20, Theme::black(0.2), Theme::white(0.08));
}

} // namespace tavex::ui
