#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QVector>

#include "operatorcommand.h"

// Every command the operator sent, newest first: when, to which object, with what, and how
// it ended: confirmed by the server's notification, refused with the reason, or not
// confirmed in time.
class CommandLog : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { TimeColumn, ObjectColumn, CommandColumn, ParametersColumn, OutcomeColumn, RevertColumn, ColumnCount };
    enum Outcome {
        Sending,     // posted, no answer yet
        Accepted,    // the server answered yes; its notification has not come yet
        Confirmed,   // the notification shows the change (or, for controllers, the answer)
        Refused,     // the server said no; detail says why
        NotSent,     // it never reached the server; detail says why
        Unconfirmed, // no confirmation within the time allowed
    };
    Q_ENUM(Outcome)

    struct Entry
    {
        int id = 0;
        QDateTime sent;
        OperatorCommand command;
        Outcome outcome = Sending;
        QString detail;
        QDateTime settled;
    };

    explicit CommandLog(QObject *parent = nullptr);

    // Records a command just sent; its id.
    int add(const OperatorCommand &command);
    // Only an open entry (sending or accepted) changes; a settled one stays as it is.
    void settle(int id, Outcome outcome, const QString &detail = QString());
    void setAccepted(int id);
    const Entry *entry(int id) const;
    const Entry *entryAt(int row) const;
    int rowOf(int id) const;
    // Entries whose outcome is still open, oldest first.
    QVector<int> openIds() const;
    // Whether a revert makes sense: an inverse exists and the command went through (or may
    // have).
    bool canRevert(int id) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The oldest entries go beyond this many.
    static constexpr int MaxEntries = 500;

private:
    QString outcomeText(const Entry &entry) const;

    QVector<Entry> m_entries; // newest first
    int m_nextId = 1;
};
