#pragma once

#include <QVector>
#include <QWidget>

// The picture kept for a widget among the pictures of at most max views (each entry has a
// QPointer<QWidget> widget): the widget's own, or a new one in place of the oldest.
template<typename Entry>
Entry &viewPicture(QVector<Entry> &entries, QWidget *widget, int max)
{
    Entry *found = nullptr;
    for (Entry &entry : entries) {
        if (entry.widget == widget)
            found = &entry;
    }
    if (found)
        return *found;
    if (entries.size() >= max)
        entries.removeFirst();
    entries.append(Entry());
    entries.last().widget = widget;
    return entries.last();
}
