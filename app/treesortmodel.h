#pragma once

#include <QSortFilterProxyModel>

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

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    bool isEntry(const QModelIndex &sourceIndex) const;

    Road::ItemModel *m_items;
};

// Natural order of two keys: runs of digits compare as numbers, the rest without case.
// Negative, zero or positive as a is before, level with or after b.
int naturalCompare(const QString &a, const QString &b);
