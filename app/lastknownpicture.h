#pragma once

#include <QDateTime>
#include <QObject>
#include <QPointer>

class QGraphicsPixmapItem;
class QLabel;

namespace Road {
class MapView;
}

// What the map showed when the connection was lost, kept until the plug-in has loaded again:
// the plug-in clears its items on a disconnection, and an empty map tells the operator
// nothing. The picture is taken of the view as it was, dimmed, and laid in the scene where
// it was taken, so that it pans and zooms with the map; a line over the map says when the
// connection went and how old the positions in the picture are.
class LastKnownPicture : public QObject
{
    Q_OBJECT
public:
    explicit LastKnownPicture(Road::MapView *view);
    ~LastKnownPicture() override;

    // Takes the picture now; positionsAsOf is when the newest position in it was taken
    // (invalid: none had come). While a picture is shown a later loss keeps it, and its times.
    void freeze(const QDateTime &lostAt, const QDateTime &positionsAsOf);
    void release();

    bool isShown() const { return m_item != nullptr; }
    QString text() const;
    QGraphicsPixmapItem *item() const { return m_item; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();

    Road::MapView *m_view;
    QLabel *m_label;
    QGraphicsPixmapItem *m_item = nullptr;
};
