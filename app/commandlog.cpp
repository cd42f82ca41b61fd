#include "commandlog.h"

#include <QBrush>
#include <QColor>

CommandLog::CommandLog(QObject *parent)
    : QAbstractTableModel(parent)
{
}

int CommandLog::add(const OperatorCommand &command)
{
    Entry entry;
    entry.id = m_nextId++;
    entry.sent = QDateTime::currentDateTime();
    entry.command = command;
    beginInsertRows(QModelIndex(), 0, 0);
    m_entries.prepend(entry);
    endInsertRows();
    if (m_entries.size() > MaxEntries) {
        beginRemoveRows(QModelIndex(), MaxEntries, m_entries.size() - 1);
        m_entries.resize(MaxEntries);
        endRemoveRows();
    }
    return entry.id;
}

void CommandLog::settle(int id, Outcome outcome, const QString &detail)
{
    const int row = rowOf(id);
    if (row < 0)
        return;
    Entry &entry = m_entries[row];
    if (entry.outcome != Sending && entry.outcome != Accepted)
        return;
    entry.outcome = outcome;
    entry.detail = detail;
    entry.settled = QDateTime::currentDateTime();
    emit dataChanged(index(row, OutcomeColumn), index(row, RevertColumn));
}

void CommandLog::setAccepted(int id)
{
    const int row = rowOf(id);
    if (row < 0 || m_entries.at(row).outcome != Sending)
        return;
    m_entries[row].outcome = Accepted;
    emit dataChanged(index(row, OutcomeColumn), index(row, RevertColumn));
}

const CommandLog::Entry *CommandLog::entry(int id) const
{
    return entryAt(rowOf(id));
}

const CommandLog::Entry *CommandLog::entryAt(int row) const
{
    return row >= 0 && row < m_entries.size() ? &m_entries.at(row) : nullptr;
}

int CommandLog::rowOf(int id) const
{
    for (int row = 0; row < m_entries.size(); ++row) {
        if (m_entries.at(row).id == id)
            return row;
    }
    return -1;
}

QVector<int> CommandLog::openIds() const
{
    QVector<int> ids;
    for (auto it = m_entries.crbegin(); it != m_entries.crend(); ++it) {
        if (it->outcome == Sending || it->outcome == Accepted)
            ids.append(it->id);
    }
    return ids;
}

bool CommandLog::canRevert(int id) const
{
    const Entry *e = entry(id);
    return e && e->command.inverse() && (e->outcome == Confirmed || e->outcome == Unconfirmed);
}

int CommandLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_entries.size();
}

int CommandLog::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString CommandLog::outcomeText(const Entry &entry) const
{
    const QString at = entry.settled.toString(QStringLiteral("HH:mm:ss"));
    switch (entry.outcome) {
    case Sending:
        return tr("Waiting for the server");
    case Accepted:
        return tr("Accepted, waiting for confirmation");
    case Confirmed:
        return tr("Confirmed %1").arg(at);
    case Refused:
        return tr("Refused: %1").arg(entry.detail);
    case NotSent:
        return tr("Not sent: %1").arg(entry.detail);
    case Unconfirmed:
        return tr("Unconfirmed after %1 s").arg(entry.sent.secsTo(entry.settled));
    }
    return QString();
}

QVariant CommandLog::data(const QModelIndex &index, int role) const
{
    const Entry *e = entryAt(index.row());
    if (!e || index.parent().isValid())
        return QVariant();
    if (role == Qt::ForegroundRole && index.column() == OutcomeColumn) {
        if (e->outcome == Refused || e->outcome == NotSent || e->outcome == Unconfirmed)
            return QBrush(QColor(0xb0, 0x00, 0x00));
        if (e->outcome == Confirmed)
            return QBrush(QColor(0x1b, 0x6e, 0x20));
        return QVariant();
    }
    if (role == Qt::ToolTipRole && index.column() == OutcomeColumn)
        return outcomeText(*e);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case TimeColumn:
        return e->sent.toString(QStringLiteral("HH:mm:ss"));
    case ObjectColumn:
        return e->command.objectTitle();
    case CommandColumn:
        return e->command.actionText();
    case ParametersColumn:
        return e->command.parametersText();
    case OutcomeColumn:
        return outcomeText(*e);
    default:
        return QVariant();
    }
}

QVariant CommandLog::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case TimeColumn:
        return tr("Time");
    case ObjectColumn:
        return tr("Object");
    case CommandColumn:
        return tr("Command");
    case ParametersColumn:
        return tr("Parameters");
    case OutcomeColumn:
        return tr("Outcome");
    case RevertColumn:
        return QString();
    default:
        return QVariant();
    }
}
