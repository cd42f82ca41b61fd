#include "treesortmodel.h"

#include "staleboardmarks.h"

#include "kernel/roaditemmodel.h"

#include <QApplication>
#include <QFont>
#include <QPalette>

TreeSortModel::TreeSortModel(Road::ItemModel *source, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_items(source)
{
    setSourceModel(source);
    // Rows move as the plug-in renames or adds them.
    setDynamicSortFilter(true);
    sort(0, Qt::AscendingOrder);
}

bool TreeSortModel::isEntry(const QModelIndex &sourceIndex) const
{
    return qobject_cast<Road::ItemObj *>(m_items->itemFromIndex(sourceIndex)) != nullptr;
}

bool TreeSortModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    if (!isEntry(left) || !isEntry(right))
        return left.row() < right.row();
    const int order = naturalCompare(left.data().toString(), right.data().toString());
    return order != 0 ? order < 0 : left.row() < right.row();
}

void TreeSortModel::setPositionAge(std::function<qint64(const QString &)> ageOf, int updatePeriodMs)
{
    m_ageOf = std::move(ageOf);
    m_updatePeriodMs = updatePeriodMs;
}

// The age of a stale board's position, or -1 for a row that is no board or is up to date.
qint64 TreeSortModel::staleAgeMs(const QModelIndex &index) const
{
    if (!m_ageOf || !index.isValid())
        return -1;
    const QModelIndex source = mapToSource(index.siblingAtColumn(0));
    auto *entry = qobject_cast<Road::ItemObj *>(m_items->itemFromIndex(source));
    QObject *object = entry ? entry->object() : nullptr;
    if (!object || !object->inherits("PrioVehicle"))
        return -1;
    const qint64 age = m_ageOf(object->property("name").toString());
    return isStalePosition(age, m_updatePeriodMs) ? age : -1;
}

bool TreeSortModel::isStale(const QModelIndex &index) const
{
    return staleAgeMs(index) >= 0;
}

QVariant TreeSortModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::ForegroundRole && role != Qt::FontRole && role != Qt::ToolTipRole)
        return QSortFilterProxyModel::data(index, role);
    const qint64 age = staleAgeMs(index);
    if (age < 0)
        return QSortFilterProxyModel::data(index, role);
    switch (role) {
    case Qt::ForegroundRole:
        return QApplication::palette().brush(QPalette::Disabled, QPalette::Text);
    case Qt::FontRole: {
        QFont font;
        font.setItalic(true);
        return font;
    }
    default:
        return tr("%1\nLast position %2 s ago (the server updates every %3 s)")
            .arg(QSortFilterProxyModel::data(index, role).toString(), QString::number(age / 1000),
                 QString::number(m_updatePeriodMs / 1000.0));
    }
}

int naturalCompare(const QString &a, const QString &b)
{
    // QCollator's numeric mode needs ICU collation, which the C locale and the POSIX
    // back end do not give; route ids and board names are plain ASCII, so this is enough.
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int iEnd = i, jEnd = j;
            while (iEnd < a.size() && a.at(iEnd).isDigit())
                ++iEnd;
            while (jEnd < b.size() && b.at(jEnd).isDigit())
                ++jEnd;
            // Without leading zeros, the longer run is the larger number.
            int iStart = i, jStart = j;
            while (iStart < iEnd - 1 && a.at(iStart) == QLatin1Char('0'))
                ++iStart;
            while (jStart < jEnd - 1 && b.at(jStart) == QLatin1Char('0'))
                ++jStart;
            if (iEnd - iStart != jEnd - jStart)
                return (iEnd - iStart) - (jEnd - jStart);
            const int digits = QStringRef(&a, iStart, iEnd - iStart).compare(QStringRef(&b, jStart, jEnd - jStart));
            if (digits != 0)
                return digits;
            i = iEnd;
            j = jEnd;
            continue;
        }
        const int c = QString::compare(QString(a.at(i)), QString(b.at(j)), Qt::CaseInsensitive);
        if (c != 0)
            return c;
        ++i;
        ++j;
    }
    return (a.size() - i) - (b.size() - j);
}
