#pragma once

#include <QCursor>
#include <QObject>
#include <QPointer>

class QGraphicsView;

// The arrow cursor over the plug-in's map items on the view the plug-in is bound to, the
// view's own cursor elsewhere. Qt shows an item's cursor by hit-testing every item of the
// scene on every mouse move once any item has a cursor: with a city's 24 000 items (and a
// scene without an index) that was 6 to 10 ms a move. The items carry no cursor; this
// filter on the view's viewport asks the route layer and the item batch, which keep their
// items packed, and sets the viewport's cursor as the view does for item cursors: the
// view's cursor is kept and given back when the mouse leaves the items.
class ItemCursor : public QObject
{
    Q_OBJECT
public:
    // Binds owner's cursor to view (null: none), made on first use as a child of owner.
    static void bind(QObject *owner, QGraphicsView *view);

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit ItemCursor(QObject *owner);
    void setView(QGraphicsView *view);
    void show(bool overItem);

    // Held as a QObject: events reach the filter while the view is being destroyed, when it
    // is no longer a QGraphicsView.
    QPointer<QObject> m_view;
    QPointer<QWidget> m_viewport;
    bool m_stored = false;
    QCursor m_original;
};
