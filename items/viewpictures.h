#pragma once

#include <QImage>
#include <QPainter>
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

// A view's picture moved by shift (logical pixels), transparent where it uncovers.
inline QImage shiftedPicture(const QImage &picture, const QPointF &shift)
{
    QImage moved(picture.size(), picture.format());
    moved.setDevicePixelRatio(picture.devicePixelRatio());
    moved.fill(Qt::transparent);
    QPainter painter(&moved);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(shift, picture);
    return moved;
}
