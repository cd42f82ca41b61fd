#pragma once

#include <QSortFilterProxyModel>

#include <functional>

namespace Road {
class ItemModel;
}

// The object tree as the operator reads it: the entries under a section in natural order
// (route 2 before route 10, board B9 before B10), sections where the plug-in put them.
class TreeSortModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit TreeSortModel(Road::ItemModel *source, QObject *parent = nullptr);

    // How old a board's last position is (ms, -1 for none), and the server's update period.
    // A board whose position is older than the period (with a quarter of it for jitter)
    // is shown stale: grey and italic, its tooltip saying how old the position is. A period
    // of 0 or less judges none stale.
    void setPositionAge(std::function<qint64(const QString &)> ageOf, int updatePeriodMs);
    bool isStale(const QModelIndex &index) const;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    bool isEntry(const QModelIndex &sourceIndex) const;

    qint64 staleAgeMs(const QModelIndex &index) const;

    Road::ItemModel *m_items;
    std::function<qint64(const QString &)> m_ageOf;
    int m_updatePeriodMs = 1000;
};

// Natural order of two keys: runs of digits compare as numbers, the rest without case.
// Negative, zero or positive as a is before, level with or after b.
int naturalCompare(const QString &a, const QString &b);
