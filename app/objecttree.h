#pragma once

#include <QPersistentModelIndex>
#include <QPointer>
#include <QTreeView>

#include <functional>

class TreeSortModel;

namespace Road {
class ItemModel;
}

// The object tree as the operator uses it: a click picks the row under the pointer and
// nothing moves (no scrolling, no opening of branches); a right click opens the menu of the
// object of the row pressed, whatever the rows did in between; and the row of the chosen
// object stays current when the plug-in moves its entry (after an assignment, say).
class ObjectTree : public QTreeView
{
    Q_OBJECT
public:
    ObjectTree(Road::ItemModel *items, QWidget *parent = nullptr);

    TreeSortModel *sortModel() const { return m_sortModel; }
    QObject *objectAt(const QModelIndex &index) const;
    // A row of the object: the current one if it lists the object, else its newest entry.
    QModelIndex indexOf(QObject *object) const;
    // Makes a row of the object current and shows it; null clears the selection. Emits
    // nothing.
    void showObject(QObject *object);

signals:
    // The operator picked the object's row, with the mouse or the keyboard.
    void objectChosen(QObject *object);
    void objectMenuRequested(QObject *object, const QPoint &globalPos);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void openSections(const QModelIndex &parent, int first, int last);
    void keepCurrentObject();
    void reportIfChanged(const QModelIndex &before);

    Road::ItemModel *m_items;
    TreeSortModel *m_sortModel;
    // The object shown as current, kept across the model's row changes.
    QPointer<QObject> m_current;
    // The object of the last right-pressed row and where it was pressed.
    QPointer<QObject> m_pressed;
    QPoint m_pressedAt;
    bool m_keeping = false;
};
