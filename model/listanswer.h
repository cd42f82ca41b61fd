#pragma once

#include <QList>
#include <QVariant>
#include <QVariantMap>

#include <algorithm>
#include <vector>

// Helpers of the route, detector and board list handlers.
namespace ListAnswer {

// Whether a list answer is a list at all; anything else must change nothing, since reading it
// as an empty list would remove every object and empty the cache.
inline bool isList(const QVariant &value)
{
    return value.userType() == QMetaType::QVariantList || value.userType() == QMetaType::QStringList;
}

// Ids gathered while a list is taken in and looked up once it is whole: one block of memory
// where a hash would hold a node per id (100 000 nodes take long to free in one pass).
class IdSet
{
public:
    void insert(int id)
    {
        m_ids.push_back(id);
        m_sorted = false;
    }
    bool isEmpty() const { return m_ids.empty(); }
    // Sorts on the first look-up after an insert.
    bool contains(int id) const
    {
        if (!m_sorted) {
            std::sort(m_ids.begin(), m_ids.end());
            m_sorted = true;
        }
        return std::binary_search(m_ids.begin(), m_ids.end(), id);
    }

private:
    mutable std::vector<int> m_ids;
    mutable bool m_sorted = true;
};

// The ids registered before the answer that it no longer names, in registry order.
inline QList<int> staleIds(const QList<int> &before, const IdSet &listed)
{
    QList<int> stale;
    for (int id : before) {
        if (!listed.contains(id))
            stale.append(id);
    }
    return stale;
}

// Records freed per record taken in, at most: the records taken in while the response still
// held the list are caught up a few at a time once it is ours alone, since freeing tens of
// thousands of them at once would hold the GUI thread as long as a slice.
constexpr int ReleasePerRecord = 4;

// A list answer taken in record by record: once the list is held by nobody else (its
// response is gone), the records taken in are freed with their slice, not all in one pass
// after the last.
class Records
{
public:
    explicit Records(const QVariant &answer)
        : m_list(answer.toList())
    {
    }
    int size() const { return m_count; }
    // Record i, taken in order; the records before it may be freed meanwhile.
    QVariantMap take(int i)
    {
        const QVariantMap record = m_list.at(i - m_released).toMap();
        if (m_list.isDetached()) {
            for (int n = 0; n < ReleasePerRecord && m_released <= i; ++n, ++m_released)
                m_list.removeFirst();
        }
        return record;
    }

private:
    QVariantList m_list;
    int m_count = m_list.size();
    int m_released = 0;
};

// The same for a map of records, taken in key order.
class RecordMap
{
public:
    explicit RecordMap(const QVariant &answer)
        : m_map(answer.toMap())
        , m_next(m_map.constBegin())
    {
    }
    int size() const { return m_count; }
    // The next record and its key.
    QVariantMap take(QString *key)
    {
        *key = m_next.key();
        const QVariantMap record = m_next.value().toMap();
        ++m_next;
        if (m_map.isDetached()) {
            for (int n = 0; n < ReleasePerRecord && m_map.constBegin() != m_next; ++n)
                m_map.erase(m_map.begin());
        }
        return record;
    }

private:
    QVariantMap m_map;
    QVariantMap::const_iterator m_next;
    int m_count = m_map.size();
};

} // namespace ListAnswer
