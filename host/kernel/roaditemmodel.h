#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QVector>

#if defined(ROAD_ITEMMODEL_LIBRARY)
#define ROAD_ITEMMODEL_EXPORT Q_DECL_EXPORT
#else
#define ROAD_ITEMMODEL_EXPORT Q_DECL_IMPORT
#endif

namespace Road {

class ItemObj;
class ItemModel;

// A tree node of ItemModel, known there as Road::ItemModel::Item. Sections and
// sub-sections are plain nodes; entries are ItemObj.
class ROAD_ITEMMODEL_EXPORT ItemModelItem : public QObject
{
    Q_OBJECT
public:
    ~ItemModelItem() override;

    QString text() const { return m_text; }
    ItemModelItem *parentItem() const { return m_parent; }
    const QList<ItemModelItem *> &childItems() const { return m_children; }
    int row() const;
    ItemModel *model() const { return m_model; }

    Qt::ItemFlags flags(int column) const;
    void setFlags(int column, Qt::ItemFlags flags);

protected:
    enum class Kind { Section, Entry };
    ItemModelItem(ItemModel *model, ItemModelItem *parent, const QString &text, Kind kind);

private:
    friend class ItemModel;
    friend class ItemObj;
    ItemModel *m_model;
    ItemModelItem *m_parent;
    QString m_text;
    Kind m_kind;
    // Whether anyone has read the row (its data or flags): a row nobody has read holds
    // nothing that could be stale, so its changes need no dataChanged(). Most rows of a big
    // tree are never read, and a view answers each dataChanged() with a search of its rows.
    mutable bool m_seen = false;
    // Whether anyone has read an entry's data: its object's changes reach the row from then
    // on. A tree view reads the flags of every row it lays out, the data only of rows shown.
    mutable bool m_dataRead = false;
    // A list, not a vector: entries go first to last when a whole section is emptied, and
    // a list drops its first element without moving the others.
    QList<ItemModelItem *> m_children;
    mutable int m_row = 0; // where row() last found this node among its siblings
    // Children removed from the front so far, and that count when m_row was found: every
    // such removal moves each sibling a row up.
    int m_frontRemovals = 0;
    mutable int m_frontRemovalsAtRow = 0;
    Qt::ItemFlags m_flags[3];
};

// The object tree of the map application: sections (named nodes, created by path),
// entries that list a QObject (ItemObj), and sub-sections under entries.
//
// Every node is a QObject and the QObject parent chain is the tree chain, so
// findChildren() on an entry finds its sub-sections and the entries below them.
// Deleting a node object, by whoever, removes its row with everything under it.
//
// A listed object provides the rows' columns through an invokable
// "QVariant modelData(int column, int role)" and announces changes with a
// "stateChanged()" signal, which the model passes on as dataChanged() for each of its rows
// that has been read. Its entries are recorded on it as the dynamic properties
// "modelItemObject" (the newest entry, a QObject*) and, while it is listed more than
// once, "modelItemObjects" (all entries, a QVariantList of QObject*).
class ROAD_ITEMMODEL_EXPORT ItemModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    static constexpr int ColumnCount = 3;

    // A tree node (moc cannot handle a nested QObject class, so it lives beside the model).
    using Item = ItemModelItem;

    explicit ItemModel(QObject *parent = nullptr);
    ~ItemModel() override;

    // Creates the section at a "/"-separated path with the sections above it; an existing
    // section is returned as it is. Null for an empty path.
    Q_INVOKABLE QObject *addSection(const QString &path);
    // Removes the section at the path with everything under it.
    Q_INVOKABLE void removeSection(const QString &path);
    // The section at a path, or null.
    Q_INVOKABLE QObject *section(const QString &path) const;
    // Lists object under section (a section or sub-section node of this model). Null when
    // either is null or the section is not a node of this model.
    Q_INVOKABLE Road::ItemObj *addObject(QObject *object, QObject *section);
    // Removes object's entry (the first one) from section.
    Q_INVOKABLE void removeObject(QObject *section, QObject *object);
    // A sub-section named name under object's entry ("modelItemObject"). Null when the
    // object has no entry in this model.
    Q_INVOKABLE QObject *addSubSection(QObject *object, const QString &name);

    // Node of an index, and index of a node (invalid for the root or a foreign node).
    Item *itemFromIndex(const QModelIndex &index) const;
    QModelIndex indexFromItem(const Item *item, int column = 0) const;
    Item *rootItem() const { return m_root; }

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    friend class ItemModelItem;
    friend class ItemObj;
    Item *childSection(Item *parent, const QString &name) const;
    Item *sectionNode(QObject *section) const;
    bool owns(const Item *item) const;
    void insertItem(Item *parent, Item *child);
    void itemDestroyed(Item *item);
    void forgetSubtree(Item *item, QVector<QPointer<QObject>> &touched);
    void entryChanged(ItemObj *entry);
    void recordEntries(QObject *object) const;
    // The row is being read: its flags, or also its data.
    void seen(const Item *item, bool data) const;

    Item *m_root;
    // Live entries of every listed object, newest first: the source of the
    // "modelItemObject(s)" properties, so that what callers write there never matters. One
    // node per entry: most objects are listed once, and a vector each would cost more.
    QMultiHash<QObject *, ItemObj *> m_entries;
};

// An entry: one row that lists a QObject.
class ROAD_ITEMMODEL_EXPORT ItemObj : public ItemModelItem
{
    Q_OBJECT
public:
    ~ItemObj() override;
    QObject *object() const { return m_object; }
    using ItemModelItem::setFlags;

private slots:
    void onObjectStateChanged();

private:
    friend class ItemModel;
    ItemObj(ItemModel *model, ItemModelItem *parent, QObject *object);
    // Connects the object's stateChanged() to the row's dataChanged(), when the row's data is
    // first read (a connection to a signal declared late in the object's long class line costs
    // its table of connections some 300 bytes).
    void watch();
    QPointer<QObject> m_object;
    // The listed object as the key of ItemModel::m_entries; it stays valid while the
    // object's destroyed() runs, when m_object already reads null.
    QObject *m_key;
};

} // namespace Road
