#include "commandlogview.h"

#include <QHeaderView>
#include <QToolButton>

#include <algorithm>

#include "commandlog.h"
#include "commandrunner.h"

CommandLogView::CommandLogView(CommandLog *log, CommandRunner *runner, QWidget *parent)
    : QTableView(parent)
    , m_log(log)
    , m_runner(runner)
{
    setObjectName(QStringLiteral("commandLog"));
    setModel(log);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setSectionResizeMode(CommandLog::TimeColumn, QHeaderView::ResizeToContents);
    horizontalHeader()->setSectionResizeMode(CommandLog::OutcomeColumn, QHeaderView::Stretch);
    horizontalHeader()->setSectionResizeMode(CommandLog::RevertColumn, QHeaderView::ResizeToContents);
    // As wide as their headings to begin with; the operator widens them at will.
    for (int column : {CommandLog::ObjectColumn, CommandLog::CommandColumn, CommandLog::ParametersColumn})
        setColumnWidth(column, std::max(90, horizontalHeader()->sectionSizeHint(column)));
    connect(log, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { updateButtons(first, last); });
    connect(log, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &from, const QModelIndex &to) { updateButtons(from.row(), to.row()); });
    connect(runner, &CommandRunner::permissionsChanged, this, [this] { updateButtons(0, m_log->rowCount() - 1); });
}

QToolButton *CommandLogView::revertButton(int row) const
{
    return qobject_cast<QToolButton *>(indexWidget(m_log->index(row, CommandLog::RevertColumn)));
}

void CommandLogView::updateButtons(int first, int last)
{
    for (int row = first; row <= last; ++row) {
        const CommandLog::Entry *entry = m_log->entryAt(row);
        if (!entry || !entry->command.inverse())
            continue;
        QToolButton *button = revertButton(row);
        if (!button) {
            button = new QToolButton;
            button->setObjectName(QStringLiteral("revert"));
            button->setText(tr("Revert"));
            button->setAutoRaise(true);
            const int id = entry->id;
            connect(button, &QToolButton::clicked, this, [this, id] { m_runner->revert(id); });
            setIndexWidget(m_log->index(row, CommandLog::RevertColumn), button);
        }
        const OperatorCommand inverse = *entry->command.inverse();
        button->setToolTip(inverse.question().chopped(1));
        button->setEnabled(m_log->canRevert(entry->id) && m_runner->isAllowed(inverse.method()));
    }
}
