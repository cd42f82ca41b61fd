// The registries of routes, boards and detectors, and the plug-in's sections of the host's
// object tree: built when the server connection comes up, cleared when it goes down.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include <algorithm>
#include <climits>

#include <QChildEvent>
#include <QDir>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTimer>

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "kernel/roaditemmodel.h"

using namespace PrioLog;

namespace {

// Every entry the plug-in makes: column 0 selectable and enabled, the others enabled.
void setStandardFlags(Road::ItemObj *entry)
{
    entry->setFlags(0, Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    entry->setFlags(1, Qt::ItemIsEnabled);
    entry->setFlags(2, Qt::ItemIsEnabled);
}

// The id of a cache key, 0 (skipped) when it is no base-10 number.
int cachedId(const QString &key)
{
    bool ok = false;
    const int id = key.toInt(&ok, 10);
    return ok ? id : 0;
}

} // namespace

PrioRoute *PriorityPlugin::route(int id) const
{
    return routes.value(id, nullptr);
}

PrioVehicle *PriorityPlugin::board(const QString &name) const
{
    return boards.value(name, nullptr);
}

PrioVDetector *PriorityPlugin::detector(int id) const
{
    return detectors.value(id, nullptr);
}

void PriorityPlugin::on_rpcObjectConnected(bool conn)
{
    subscribed = false;
    ++m_session;
    QObject *rpc = currentRpc();
    if (!rpc)
        return;

    if (!conn) {
        info(tr("RPC object '%1' disconnected").arg(rpc->objectName()));
        awaitingPermissions = false;
        clearRegistry();
        return;
    }

    info(tr("RPC object '%1' connected").arg(rpc->objectName()));

    const QString top = tr("Traffic priority system");
    const struct
    {
        QPointer<QObject> *member;
        QString name;
    } sections[] = {
        {&routesSection, tr("Routes")},
        {&unassignedBoardsSection, tr("Not assigned boards")},
        {&assignedBoardsSection, tr("Assigned boards")},
        {&emergencyDetectorsSection, tr("Emergency call detectors")},
    };
    for (const auto &section : sections) {
        QObject *made = itemModel ? itemModel->addSection(top + QLatin1Char('/') + section.name) : nullptr;
        *section.member = made;
        if (!made) {
            error(tr("Error creating section '%1'").arg(section.name));
            stop(false);
            return;
        }
    }
    for (const auto &section : sections) {
        connect(section.member->data(), &QObject::destroyed, this, &PriorityPlugin::on_sectionDestroyed,
                Qt::UniqueConnection);
    }

    restoreFromCache();
    if (!currentRpc())
        return;
    requestNetworkLists();
    if (!currentRpc())
        return;
    postRpcCommand(QStringLiteral("BoardsServer.getBoards"), QVariant(),
                   [this](const QVariant &result) { onBoardList(result); }, false);
}

void PriorityPlugin::restoreFromCache(bool missingOnly)
{
    const QJsonObject root = m_cache.readFile();

    const QJsonObject cachedRoutes = root.value(QStringLiteral("routes")).toObject();
    for (auto it = cachedRoutes.begin(); it != cachedRoutes.end(); ++it) {
        const int id = cachedId(it.key());
        if (id == 0)
            continue;
        if (route(id)) {
            if (!missingOnly)
                warning(tr("Duplicate route with id %1").arg(id));
            continue;
        }
        auto *restored = new PrioRoute(this, id, scene);
        restored->applyCachedRecord(it.value().toObject().toVariantMap());
        registerRoute(id, restored);
    }

    const QJsonObject cachedDetectors = root.value(QStringLiteral("detectors")).toObject();
    QList<int> unqualified;
    for (auto it = cachedDetectors.begin(); it != cachedDetectors.end(); ++it) {
        const int id = cachedId(it.key());
        if (id == 0)
            continue;
        if (detector(id)) {
            if (!missingOnly)
                warning(tr("Duplicate detector with id %1").arg(id));
            continue;
        }
        auto *restored = new PrioVDetector(this, id, scene, m_showDtOnActivation);
        restored->applyProperties(it.value().toObject().toVariantMap());
        registerDetector(id, restored);
        if (!detector(id)) {
            delete restored;
            unqualified.append(id);
        }
    }
    removeCacheEntries(QStringLiteral("detectors"), unqualified);
}

void PriorityPlugin::childEvent(QChildEvent *event)
{
    QObject::childEvent(event);
    // The plug-in takes an item out of its registry before it deletes it; an item still
    // registered when it goes was destroyed by someone else (the host clearing its scene).
    // Every item is our child, so its destruction reaches us here, without a connection
    // per item. An item that is being destroyed no longer reads as its own class.
    if (event->type() != QEvent::ChildRemoved || m_registeredItems.isEmpty())
        return;
    QObject *gone = event->child();
    const auto found = m_registeredItems.constFind(gone);
    if (found == m_registeredItems.cend() || gone->metaObject() != &QObject::staticMetaObject)
        return;
    const RegisteredKey key = found.value();
    m_registeredItems.erase(found);
    bool lost = false;
    switch (key.kind) {
    case RegisteredKey::Route:
        lost = routes.value(key.id) == gone && routes.remove(key.id);
        break;
    case RegisteredKey::Detector:
        lost = detectors.value(key.id) == gone && detectors.remove(key.id);
        break;
    case RegisteredKey::Board:
        lost = boards.value(key.name) == gone && boards.remove(key.name);
        break;
    }
    if (!lost)
        return;
    treeEntries.remove(gone);
    scheduleReload();
}

void PriorityPlugin::scheduleReload()
{
    if (m_reloadQueued)
        return;
    m_reloadQueued = true;
    // Once, after the whole burst of destructions (a cleared scene takes every item at once).
    QTimer::singleShot(0, this, [this] {
        m_reloadQueued = false;
        reloadLostItems();
    });
}

void PriorityPlugin::reloadLostItems()
{
    // Without a loaded connection there is nothing to restore: the next one loads everything.
    if (!currentRpc() || !routesSection)
        return;
    info(tr("Map items were destroyed by the host; loading them again"));
    restoreFromCache(true);
    if (!currentRpc())
        return;
    requestNetworkLists();
    if (!currentRpc())
        return;
    postRpcCommand(QStringLiteral("BoardsServer.getBoards"), QVariant(),
                   [this](const QVariant &result) { onBoardList(result); }, false);
}

void PriorityPlugin::registerRoute(int id, PrioRoute *route)
{
    routes.insert(id, route);
    m_registeredItems.insert(route, {RegisteredKey::Route, id, QString()});
    addTreeEntry(route, routesSection);
    if (!itemModel)
        return;
    if (QObject *boardsSub = itemModel->addSubSection(route, tr("Boards")))
        boardsSub->setObjectName(QStringLiteral("boards"));
    if (QObject *detectorsSub = itemModel->addSubSection(route, tr("Detectors")))
        detectorsSub->setObjectName(QStringLiteral("detectors"));
}

void PriorityPlugin::registerVehicle(PrioVehicle *vehicle)
{
    boards.insert(vehicle->name(), vehicle);
    m_registeredItems.insert(vehicle, {RegisteredKey::Board, 0, vehicle->name()});
    connect(vehicle, SIGNAL(routeChanged()), this, SLOT(on_vehRouteChanged()));
}

// The "boards" or "detectors" sub-section under an object's tree entry, or null.
static QObject *subSectionOf(QObject *object, const QString &name)
{
    QObject *entry = object ? object->property("modelItemObject").value<QObject *>() : nullptr;
    if (!entry)
        return nullptr;
    // The sub-sections are the entry's own children, looked at before anything deeper: not
    // every board or detector listed under the route (a detector list binds 100 000).
    return entry->findChild<Road::ItemModel::Item *>(name);
}

void PriorityPlugin::registerDetector(int id, PrioVDetector *detector)
{
    if (detector->isEmergency()) {
        addTreeEntry(detector, emergencyDetectorsSection);
        detectors.insert(id, detector);
        m_registeredItems.insert(detector, {RegisteredKey::Detector, id, QString()});
        return;
    }

    const QList<int> routeIds = detector->routes();
    for (int routeId : routeIds) {
        PrioRoute *r = route(routeId);
        if (!r) {
            warning(tr("Invalid route %1 in detector %2").arg(routeId).arg(id));
            continue;
        }
        if (!r->property("modelItemObject").value<QObject *>()) {
            warning(tr("Route %1 for assigning Detector %2 has no 'modelItemObject' property").arg(routeId).arg(id));
            continue;
        }
        if (QObject *sub = subSectionOf(r, QStringLiteral("detectors")))
            addTreeEntry(detector, sub);
    }
    if (routeIds.isEmpty())
        return;
    detectors.insert(id, detector);
    m_registeredItems.insert(detector, {RegisteredKey::Detector, id, QString()});
}

void PriorityPlugin::fileUnderNewRoutes(const ListAnswer::IdSet &newRoutes)
{
    if (newRoutes.isEmpty())
        return;
    // Boards whose route was not registered yet wait under "Not assigned boards"; they are
    // filed in the order of a board list, by name.
    QStringList waiting;
    for (auto it = boards.cbegin(); it != boards.cend(); ++it) {
        if (newRoutes.contains(it.value()->routeId()))
            waiting.append(it.key());
    }
    waiting.sort();
    for (const QString &name : qAsConst(waiting)) {
        if (PrioVehicle *vehicle = board(name))
            placeVehicleInTree(vehicle);
    }
    // A detector is bound to the routes registered when it was; the others join it now.
    QList<int> ids = detectors.keys();
    std::sort(ids.begin(), ids.end());
    for (int id : qAsConst(ids)) {
        PrioVDetector *d = detector(id);
        if (!d || d->isEmergency())
            continue;
        for (int routeId : d->routes()) {
            if (!newRoutes.contains(routeId))
                continue;
            if (QObject *sub = subSectionOf(route(routeId), QStringLiteral("detectors")))
                addTreeEntry(d, sub);
        }
    }
}

void PriorityPlugin::addTreeEntry(QObject *object, QObject *section)
{
    // A section the host destroyed reads as null: there is nothing to list under.
    if (!itemModel || !object || !section)
        return;
    Road::ItemObj *entry = itemModel->addObject(object, section);
    if (!entry)
        return;
    setStandardFlags(entry);
    treeEntries.insert(object, entry);
}

// Deletes the tree entries of object that this plug-in made and that still exist, and
// clears the model's record of them on the object.
void PriorityPlugin::deleteTreeEntries(QObject *object)
{
    // Oldest first (the hash gives the newest first).
    QList<QPointer<QObject>> made = treeEntries.values(object);
    std::reverse(made.begin(), made.end());
    treeEntries.remove(object);
    const QVariantList listed = object->property("modelItemObjects").toList();
    if (listed.isEmpty()) {
        object->setProperty("modelItemObject", QVariant());
    }
    for (const QPointer<QObject> &entry : made)
        delete entry.data();
    if (!listed.isEmpty()) {
        object->setProperty("modelItemObjects", QVariant());
        object->setProperty("modelItemObject", QVariant());
    }
}

bool PriorityPlugin::hasLiveTreeEntry(QObject *object) const
{
    for (auto it = treeEntries.constFind(object); it != treeEntries.cend() && it.key() == object; ++it) {
        if (it.value())
            return true;
    }
    return false;
}

void PriorityPlugin::clearRegistry()
{
    // Take the registries out before deleting anything: item destructors may call back into
    // the plug-in, which must then find nothing half-deleted.
    const QHash<QString, PrioVehicle *> oldBoards = std::exchange(boards, {});
    const QHash<int, PrioRoute *> oldRoutes = std::exchange(routes, {});
    const QHash<int, PrioVDetector *> oldDetectors = std::exchange(detectors, {});
    treeEntries.clear();
    m_registeredItems.clear();
    // Each kind is deleted in the order its items were made. Qt looks for a child leaving
    // its parent (the plug-in, a tree section, the layer) from the front of the parent's
    // list, so that order costs a step per item where the registries' order cost a search
    // through thousands: 100 000 boards took seconds to clear.
    QHash<const QObject *, int> madeAt;
    const QObjectList &made = children();
    madeAt.reserve(made.size());
    for (int i = 0; i < made.size(); ++i)
        madeAt.insert(made.at(i), i);
    auto deleteInMadeOrder = [&madeAt](const auto &registry) {
        auto items = registry.values();
        std::sort(items.begin(), items.end(), [&madeAt](const QObject *a, const QObject *b) {
            return madeAt.value(a, INT_MAX) < madeAt.value(b, INT_MAX);
        });
        qDeleteAll(items);
    };
    deleteInMadeOrder(oldBoards);
    deleteInMadeOrder(oldRoutes);
    deleteInMadeOrder(oldDetectors);

    // Sections the host already destroyed read as null here.
    for (QPointer<QObject> *section :
         {&routesSection, &unassignedBoardsSection, &assignedBoardsSection, &emergencyDetectorsSection}) {
        QObject *object = section->data();
        *section = nullptr;
        delete object;
    }
    if (itemModel)
        itemModel->removeSection(tr("Traffic priority system"));
}

void PriorityPlugin::on_sectionDestroyed(QObject *sect)
{
    // The members are guarded pointers and already read null by now; this keeps the
    // comparison for a section object that is destroyed while still referenced.
    for (QPointer<QObject> *section :
         {&assignedBoardsSection, &emergencyDetectorsSection, &unassignedBoardsSection, &routesSection}) {
        if (section->data() == sect) {
            *section = nullptr;
            return;
        }
    }
}

QString PriorityPlugin::cacheFilePath()
{
    return m_cache.filePath();
}

void PriorityPlugin::writeCacheEntry(const QString &section, const QString &key, const QVariantMap &entry)
{
    m_cache.writeEntry(section, key, entry);
}

void PriorityPlugin::removeCacheEntries(const QString &section, const QList<int> &ids)
{
    m_cache.removeEntries(section, ids);
}

void PriorityPlugin::openCache()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/lumen2-cache");
    m_cache.open(dir, cacheName);
}
