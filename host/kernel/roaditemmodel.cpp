#include "roaditemmodel.h"

#include <QMetaMethod>
#include <QVarLengthArray>

#include <algorithm>

namespace Road {

namespace {

const char ModelItemObjectProperty[] = "modelItemObject";
const char ModelItemObjectsProperty[] = "modelItemObjects";

// Clears a property, not asking an object that never had it: setProperty makes a copy of
// the name for every look, and most objects are listed once, without "modelItemObjects".
void clearProperty(QObject *object, const char *name)
{
    if (object->metaObject()->indexOfProperty(name) >= 0
        || object->dynamicPropertyNames().contains(QByteArray::fromRawData(name, int(qstrlen(name)))))
        object->setProperty(name, QVariant());
}

// Rows are served by the listed object itself, looked up by signature so that the
// object needs no common base class with the host.
QMetaMethod modelDataMethod(const QObject *object)
{
    const QMetaObject *mo = object->metaObject();
    const int index = mo->indexOfMethod("modelData(int,int)");
    if (index < 0)
        return QMetaMethod();
    const QMetaMethod method = mo->method(index);
    return method.returnType() == QMetaType::QVariant ? method : QMetaMethod();
}

} // namespace

// ---------------------------------------------------------------------------------------
// ItemModelItem

ItemModelItem::ItemModelItem(ItemModel *model, ItemModelItem *parent, const QString &text, Kind kind)
    : QObject(parent ? static_cast<QObject *>(parent) : static_cast<QObject *>(model))
    , m_model(model)
    , m_parent(parent)
    , m_text(text)
    , m_kind(kind)
{
    for (Qt::ItemFlags &f : m_flags)
        f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

ItemModelItem::~ItemModelItem()
{
    // An entry has already left the model in ~ItemObj, and a node under a node that is
    // being destroyed (or under a model that is being destroyed) was detached with it.
    if (m_model)
        m_model->itemDestroyed(this);
}

int ItemModelItem::row() const
{
    if (!m_parent)
        return -1;
    // Nodes are only ever appended, so a row changes only when an earlier sibling goes,
    // and then towards the front: look where it was last, moved up by the removals from
    // the front since, then before where it was. A section of 100 000 entries would
    // otherwise cost a search through it for every index.
    const QList<ItemModelItem *> &siblings = m_parent->m_children;
    const int guess = m_row - (m_parent->m_frontRemovals - m_frontRemovalsAtRow);
    m_frontRemovalsAtRow = m_parent->m_frontRemovals;
    if (guess >= 0 && guess < siblings.size() && siblings.at(guess) == this)
        return m_row = guess;
    for (int i = std::min(m_row, siblings.size() - 1); i >= 0; --i) {
        if (siblings.at(i) == this)
            return m_row = i;
    }
    return -1;
}

Qt::ItemFlags ItemModelItem::flags(int column) const
{
    if (column < 0 || column >= ItemModel::ColumnCount)
        return Qt::NoItemFlags;
    return m_flags[column];
}

void ItemModelItem::setFlags(int column, Qt::ItemFlags flags)
{
    if (column < 0 || column >= ItemModel::ColumnCount || m_flags[column] == flags)
        return;
    m_flags[column] = flags;
    // A row nobody has read (an entry is given its columns' flags as it is listed) is in
    // no view's picture yet: telling them would cost QTreeView a search through all the
    // rows it shows, per column of every new row.
    if (m_model && m_parent && m_seen) {
        const QModelIndex index = m_model->indexFromItem(this, column);
        emit m_model->dataChanged(index, index);
    }
}

// ---------------------------------------------------------------------------------------
// ItemObj

ItemObj::ItemObj(ItemModel *model, ItemModelItem *parent, QObject *object)
    : ItemModelItem(model, parent, object->objectName(), Kind::Entry)
    , m_object(object)
    , m_key(object)
{
    // A detached entry is already on its way out with its ancestor; leave it to that.
    connect(object, &QObject::destroyed, this, [this] {
        if (m_model)
            delete this;
    });
}

ItemObj::~ItemObj()
{
    // Leave the model while this is still a whole ItemObj, so that views asking about
    // neighbouring rows during the removal never meet a half-destroyed entry.
    if (m_model)
        m_model->itemDestroyed(this);
}

void ItemObj::watch()
{
    if (!m_object)
        return;
    static const QMetaMethod onStateChanged =
        ItemObj::staticMetaObject.method(ItemObj::staticMetaObject.indexOfSlot("onObjectStateChanged()"));
    static const QMetaObject *lastClass = nullptr;
    static QMetaMethod lastSignal;
    const QMetaObject *mo = m_object->metaObject();
    if (mo != lastClass) {
        lastClass = mo;
        lastSignal = mo->method(mo->indexOfSignal("stateChanged()"));
    }
    if (lastSignal.isValid())
        connect(m_object, lastSignal, this, onStateChanged);
}

void ItemObj::onObjectStateChanged()
{
    if (m_model)
        m_model->entryChanged(this);
}

// ---------------------------------------------------------------------------------------
// ItemModel

ItemModel::ItemModel(QObject *parent)
    : QAbstractItemModel(parent)
    , m_root(new Item(this, nullptr, QString(), Item::Kind::Section))
{
}

ItemModel::~ItemModel()
{
    // Detach the whole tree first: the nodes' destructors then leave this model alone.
    QVector<QPointer<QObject>> touched;
    Item *root = m_root;
    m_root = nullptr;
    if (root) {
        forgetSubtree(root, touched);
        delete root;
    }
    m_entries.clear();
    for (const QPointer<QObject> &object : qAsConst(touched)) {
        if (object)
            recordEntries(object);
    }
}

QObject *ItemModel::addSection(const QString &path)
{
    const QStringList names = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (names.isEmpty() || !m_root)
        return nullptr;
    Item *node = m_root;
    for (const QString &name : names) {
        Item *child = childSection(node, name);
        if (!child) {
            child = new Item(this, node, name, Item::Kind::Section);
            insertItem(node, child);
        }
        node = child;
    }
    return node;
}

void ItemModel::removeSection(const QString &path)
{
    delete qobject_cast<Item *>(section(path));
}

QObject *ItemModel::section(const QString &path) const
{
    const QStringList names = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (names.isEmpty() || !m_root)
        return nullptr;
    Item *node = m_root;
    for (const QString &name : names) {
        node = childSection(node, name);
        if (!node)
            return nullptr;
    }
    return node;
}

ItemObj *ItemModel::addObject(QObject *object, QObject *section)
{
    Item *parent = sectionNode(section);
    if (!object || !parent)
        return nullptr;
    auto *entry = new ItemObj(this, parent, object);
    insertItem(parent, entry);
    m_entries.insert(object, entry);
    recordEntries(object);
    return entry;
}

void ItemModel::removeObject(QObject *section, QObject *object)
{
    Item *parent = sectionNode(section);
    if (!object || !parent)
        return;
    for (Item *child : qAsConst(parent->m_children)) {
        if (child->m_kind == Item::Kind::Entry && static_cast<ItemObj *>(child)->m_key == object) {
            delete child;
            return;
        }
    }
}

QObject *ItemModel::addSubSection(QObject *object, const QString &name)
{
    if (!object)
        return nullptr;
    // The newest entry comes first among the values of a key.
    ItemObj *entry = m_entries.value(object);
    if (!entry)
        return nullptr;
    auto *sub = new Item(this, entry, name, Item::Kind::Section);
    insertItem(entry, sub);
    return sub;
}

ItemModel::Item *ItemModel::itemFromIndex(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<Item *>(index.internalPointer());
}

QModelIndex ItemModel::indexFromItem(const Item *item, int column) const
{
    if (!owns(item) || item == m_root || column < 0 || column >= ColumnCount)
        return QModelIndex();
    const int row = item->row();
    if (row < 0)
        return QModelIndex();
    return createIndex(row, column, const_cast<Item *>(item));
}

QModelIndex ItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= ColumnCount || parent.column() > 0)
        return QModelIndex();
    const Item *node = parent.isValid() ? itemFromIndex(parent) : m_root;
    if (!node || row >= node->m_children.size())
        return QModelIndex();
    return createIndex(row, column, node->m_children.at(row));
}

QModelIndex ItemModel::parent(const QModelIndex &child) const
{
    const Item *item = itemFromIndex(child);
    if (!item || !item->m_parent || item->m_parent == m_root)
        return QModelIndex();
    return indexFromItem(item->m_parent, 0);
}

int ItemModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const Item *node = parent.isValid() ? itemFromIndex(parent) : m_root;
    return node ? node->m_children.size() : 0;
}

int ItemModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

QVariant ItemModel::data(const QModelIndex &index, int role) const
{
    const Item *item = itemFromIndex(index);
    if (!item)
        return QVariant();
    seen(item, true);
    if (item->m_kind == Item::Kind::Entry) {
        QObject *object = static_cast<const ItemObj *>(item)->m_object;
        if (!object)
            return QVariant();
        const QMetaMethod method = modelDataMethod(object);
        QVariant value;
        if (!method.isValid()
            || !method.invoke(object, Qt::DirectConnection, Q_RETURN_ARG(QVariant, value),
                              Q_ARG(int, index.column()), Q_ARG(int, role)))
            return QVariant();
        return value;
    }
    if (index.column() == 0 && (role == Qt::DisplayRole || role == Qt::EditRole))
        return item->m_text;
    return QVariant();
}

QVariant ItemModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0: return tr("Name");
    case 1: return tr("Description");
    case 2: return tr("Type");
    default: return QVariant();
    }
}

Qt::ItemFlags ItemModel::flags(const QModelIndex &index) const
{
    const Item *item = itemFromIndex(index);
    if (!item)
        return Qt::NoItemFlags;
    seen(item, false);
    return item->flags(index.column());
}

ItemModel::Item *ItemModel::childSection(Item *parent, const QString &name) const
{
    for (Item *child : qAsConst(parent->m_children)) {
        if (child->m_kind == Item::Kind::Section && child->m_text == name)
            return child;
    }
    return nullptr;
}

ItemModel::Item *ItemModel::sectionNode(QObject *section) const
{
    auto *item = qobject_cast<Item *>(section);
    return owns(item) && item->m_kind == Item::Kind::Section ? item : nullptr;
}

bool ItemModel::owns(const Item *item) const
{
    return item && item->m_model == this;
}

void ItemModel::insertItem(Item *parent, Item *child)
{
    const int row = parent->m_children.size();
    beginInsertRows(indexFromItem(parent), row, row);
    child->m_row = row;
    child->m_frontRemovalsAtRow = parent->m_frontRemovals;
    parent->m_children.append(child);
    endInsertRows();
}

void ItemModel::itemDestroyed(Item *item)
{
    QVector<QPointer<QObject>> touched;
    if (item == m_root) {
        // Someone deleted the invisible root: start over with an empty tree.
        beginResetModel();
        forgetSubtree(item, touched);
        m_root = new Item(this, nullptr, QString(), Item::Kind::Section);
        endResetModel();
    } else {
        Item *parent = item->m_parent;
        const int row = item->row();
        if (row >= 0) {
            beginRemoveRows(indexFromItem(parent), row, row);
            parent->m_children.removeAt(row);
            parent->m_frontRemovals += row == 0 ? 1 : 0;
            forgetSubtree(item, touched);
            endRemoveRows();
        } else {
            forgetSubtree(item, touched);
        }
    }
    // Property updates send events to the listed objects, so they wait until the model
    // is consistent again. An object that is itself being destroyed reads null here.
    for (const QPointer<QObject> &object : qAsConst(touched)) {
        if (object)
            recordEntries(object);
    }
}

void ItemModel::forgetSubtree(Item *item, QVector<QPointer<QObject>> &touched)
{
    if (item->m_kind == Item::Kind::Entry) {
        auto *entry = static_cast<ItemObj *>(item);
        for (auto it = m_entries.find(entry->m_key); it != m_entries.end() && it.key() == entry->m_key; ++it) {
            if (it.value() == entry) {
                m_entries.erase(it);
                break;
            }
        }
        touched.append(entry->m_object);
    }
    for (Item *child : qAsConst(item->m_children))
        forgetSubtree(child, touched);
    item->m_children.clear();
    item->m_model = nullptr;
    item->m_parent = nullptr;
}

void ItemModel::seen(const Item *item, bool data) const
{
    item->m_seen = true;
    if (!data || item->m_dataRead)
        return;
    item->m_dataRead = true;
    if (item->m_kind == Item::Kind::Entry)
        const_cast<ItemObj *>(static_cast<const ItemObj *>(item))->watch();
}

void ItemModel::entryChanged(ItemObj *entry)
{
    const QModelIndex first = indexFromItem(entry, 0);
    if (first.isValid())
        emit dataChanged(first, indexFromItem(entry, ColumnCount - 1));
}

void ItemModel::recordEntries(QObject *object) const
{
    // Newest first, as the hash keeps them; recorded oldest first.
    QVarLengthArray<ItemObj *, 4> newestFirst;
    for (auto it = m_entries.constFind(object); it != m_entries.cend() && it.key() == object; ++it)
        newestFirst.append(it.value());
    if (newestFirst.isEmpty()) {
        clearProperty(object, ModelItemObjectProperty);
        clearProperty(object, ModelItemObjectsProperty);
        return;
    }
    object->setProperty(ModelItemObjectProperty, QVariant::fromValue<QObject *>(newestFirst.first()));
    if (newestFirst.size() == 1) {
        clearProperty(object, ModelItemObjectsProperty);
        return;
    }
    QVariantList list;
    list.reserve(newestFirst.size());
    for (int i = newestFirst.size() - 1; i >= 0; --i)
        list.append(QVariant::fromValue<QObject *>(newestFirst.at(i)));
    object->setProperty(ModelItemObjectsProperty, list);
}

} // namespace Road
