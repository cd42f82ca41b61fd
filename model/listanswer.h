#pragma once

#include <QList>
#include <QSet>
#include <QVariant>

// Helpers of the route and detector list handlers.
namespace ListAnswer {

// Whether a list answer is a list at all; anything else must change nothing, since reading it
// as an empty list would remove every object and empty the cache.
inline bool isList(const QVariant &value)
{
    return value.userType() == QMetaType::QVariantList || value.userType() == QMetaType::QStringList;
}

// The ids registered before the answer that it no longer names, in registry order.
inline QList<int> staleIds(const QList<int> &before, const QSet<int> &listed)
{
    QList<int> stale;
    for (int id : before) {
        if (!listed.contains(id))
            stale.append(id);
    }
    return stale;
}

// Frees record i of a list being taken in, once the list is held by nobody else (its
// response is gone): a list of 100 000 records then goes slice by slice with the records
// taken in, not in one pass after the last.
inline void release(QVariantList &list, int i)
{
    if (list.isDetached())
        list[i] = QVariant();
}

} // namespace ListAnswer
