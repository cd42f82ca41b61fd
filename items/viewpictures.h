#pragma once

#include <QImage>
#include <QPainter>
#include <QVector>
#include <QWidget>

#include <cmath>
#include <cstring>

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

// Moves a view's picture by shift (logical pixels) in place, transparent where it uncovers;
// no new image, which for a screen-sized picture costs more than the move.
inline void shiftPicture(QImage *picture, const QPointF &shift)
{
    const QPointF device = shift * picture->devicePixelRatio();
    const int dx = int(std::lround(device.x()));
    const int dy = int(std::lround(device.y()));
    const int w = picture->width();
    const int h = picture->height();
    if (picture->format() != QImage::Format_ARGB32_Premultiplied || device != QPointF(dx, dy)) {
        *picture = shiftedPicture(*picture, shift);
        return;
    }
    if (std::abs(dx) >= w || std::abs(dy) >= h) {
        picture->fill(Qt::transparent);
        return;
    }
    // Transparent is all bits clear in this format.
    const qsizetype stride = picture->bytesPerLine();
    const size_t kept = size_t(w - std::abs(dx)) * 4;
    const size_t uncovered = size_t(std::abs(dx)) * 4;
    uchar *bits = picture->bits();
    auto row = [&](int y) { return bits + y * stride; };
    auto moveRow = [&](int y) {
        uchar *to = row(y);
        const uchar *from = row(y - dy);
        std::memmove(to + (dx > 0 ? uncovered : 0), from + (dx < 0 ? uncovered : 0), kept);
        std::memset(to + (dx > 0 ? 0 : kept), 0, uncovered);
    };
    if (dy > 0) {
        for (int y = h - 1; y >= dy; --y)
            moveRow(y);
        for (int y = 0; y < dy; ++y)
            std::memset(row(y), 0, size_t(w) * 4);
    } else {
        for (int y = 0; y < h + dy; ++y)
            moveRow(y);
        for (int y = h + dy; y < h; ++y)
            std::memset(row(y), 0, size_t(w) * 4);
    }
}
