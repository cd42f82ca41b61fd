#include "objecttree.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMouseEvent>

#include "kernel/roaditemmodel.h"
#include "treesortmodel.h"

ObjectTree::ObjectTree(Road::ItemModel *items, QWidget *parent)
    : QTreeView(parent)
    , m_items(items)
    , m_sortModel(new TreeSortModel(items, this))
{
    setObjectName(QStringLiteral("objectTree"));
    setModel(m_sortModel);
    setUniformRowHeights(true);
    header()->setSectionResizeMode(QHeaderView::Interactive);
    setColumnWidth(0, 190);
    setColumnWidth(1, 150);
    connect(m_sortModel, &QAbstractItemModel::rowsInserted, this, &ObjectTree::openSections);
    // The model moves rows about while the operator works: put the current row back on the
    // object once it has settled.
    const auto keep = [this] {
        if (m_keeping)
            return;
        m_keeping = true;
        QMetaObject::invokeMethod(this, &ObjectTree::keepCurrentObject, Qt::QueuedConnection);
    };
    connect(m_sortModel, &QAbstractItemModel::rowsInserted, this, keep);
    connect(m_sortModel, &QAbstractItemModel::rowsRemoved, this, keep);
    connect(m_sortModel, &QAbstractItemModel::layoutChanged, this, keep);
    connect(m_sortModel, &QAbstractItemModel::modelReset, this, keep);
}

QObject *ObjectTree::objectAt(const QModelIndex &index) const
{
    if (!index.isValid())
        return nullptr;
    auto *entry = qobject_cast<Road::ItemObj *>(m_items->itemFromIndex(m_sortModel->mapToSource(index.siblingAtColumn(0))));
    return entry ? entry->object() : nullptr;
}

QModelIndex ObjectTree::indexOf(QObject *object) const
{
    if (!object)
        return QModelIndex();
    if (objectAt(currentIndex()) == object)
        return currentIndex().siblingAtColumn(0);
    // Of the object's entries, one that shows without opening a branch, else the first.
    QVariantList entries = object->property("modelItemObjects").toList();
    if (entries.isEmpty())
        entries.append(object->property("modelItemObject"));
    QModelIndex first;
    for (const QVariant &value : qAsConst(entries)) {
        auto *entry = qobject_cast<Road::ItemModelItem *>(value.value<QObject *>());
        const QModelIndex index = entry ? m_sortModel->mapFromSource(m_items->indexFromItem(entry)) : QModelIndex();
        if (!index.isValid())
            continue;
        bool shown = true;
        for (QModelIndex up = index.parent(); up.isValid() && shown; up = up.parent())
            shown = isExpanded(up);
        if (shown)
            return index;
        if (!first.isValid())
            first = index;
    }
    return first;
}

void ObjectTree::showObject(QObject *object)
{
    m_current = object;
    const QModelIndex index = indexOf(object);
    if (!index.isValid()) {
        clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    if (index != currentIndex().siblingAtColumn(0))
        setCurrentIndex(index);
    scrollTo(index);
}

void ObjectTree::reportIfChanged(const QModelIndex &before)
{
    if (currentIndex() == before)
        return;
    m_current = objectAt(currentIndex());
    emit objectChosen(m_current);
}

void ObjectTree::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        m_pressed = objectAt(indexAt(event->pos()));
        m_pressedAt = event->pos();
    }
    const QModelIndex before = currentIndex();
    // A row picked with the pointer stays where it is: scrolling it into full view would
    // move another row under the pointer.
    setAutoScroll(false);
    QTreeView::mousePressEvent(event);
    setAutoScroll(true);
    reportIfChanged(before);
}

void ObjectTree::keyPressEvent(QKeyEvent *event)
{
    const QModelIndex before = currentIndex();
    QTreeView::keyPressEvent(event);
    reportIfChanged(before);
}

void ObjectTree::contextMenuEvent(QContextMenuEvent *event)
{
    QObject *object = nullptr;
    QPoint at = event->globalPos();
    if (event->reason() != QContextMenuEvent::Mouse) {
        object = objectAt(currentIndex());
        at = viewport()->mapToGlobal(visualRect(currentIndex()).center());
    } else if (m_pressed && event->pos() == m_pressedAt) {
        object = m_pressed;
    } else {
        object = objectAt(indexAt(event->pos()));
    }
    m_pressed = nullptr;
    event->accept();
    if (object)
        emit objectMenuRequested(object, at);
}

void ObjectTree::openSections(const QModelIndex &parent, int first, int last)
{
    // Sections open as they appear; entries (routes with their boards) stay closed.
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = m_sortModel->index(row, 0, parent);
        if (!objectAt(index))
            expand(index);
    }
}

void ObjectTree::keepCurrentObject()
{
    m_keeping = false;
    if (objectAt(currentIndex()) == m_current)
        return;
    const QModelIndex index = indexOf(m_current);
    const bool scrolls = hasAutoScroll();
    setAutoScroll(false);
    if (index.isValid()) {
        setCurrentIndex(index);
    } else {
        clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
    setAutoScroll(scrolls);
}
