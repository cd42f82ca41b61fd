#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <QStringList>

// One line for a branch of a tree model: "name[child child[grandchild]]", by the column-0
// display texts, so that a test compares the whole branch at once.
inline QString printBranch(const QAbstractItemModel *model, const QModelIndex &parent = QModelIndex())
{
    QStringList parts;
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        QString text = model->data(index, Qt::DisplayRole).toString();
        if (model->rowCount(index) > 0)
            text += QLatin1Char('[') + printBranch(model, index) + QLatin1Char(']');
        parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

// The branch under the top-level row named top, or "" when there is none.
inline QString printSection(const QAbstractItemModel *model, const QString &top)
{
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (model->data(index, Qt::DisplayRole).toString() == top)
            return printBranch(model, index);
    }
    return QString();
}
