// Route loading: the route list keeps the routes registry in step with the server; geometry
// is fetched only for routes whose hash changed and is kept in the geometry cache.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include <QSet>

#include <memory>

#include "items/prioroute.h"
#include "items/priovehicle.h"
#include "items/recordvalue.h"
#include "kernel/roaditemmodel.h"
#include "model/listanswer.h"

using namespace PrioLog;

void PriorityPlugin::requestNetworkLists()
{
    if (!postRpcCommand(QStringLiteral("RoadNetwork.getRouteList"), QVariant(),
                        [this](const QVariant &result) { onRouteList(result); }, false))
        return;
    postRpcCommand(QStringLiteral("VDTService.getVdtList"), QVariant(),
                   [this](const QVariant &result) { onDetectorList(result); }, false);
}

void PriorityPlugin::onRouteList(const QVariant &result)
{
    if (!ListAnswer::isList(result)) {
        warning(tr("Malformed answer to '%1': the route list is not a list").arg(QStringLiteral("RoadNetwork.getRouteList")));
        return;
    }

    struct Intake
    {
        explicit Intake(const QVariant &answer)
            : list(answer)
        {
        }
        ListAnswer::Records list;
        QList<int> before;
        ListAnswer::IdSet listed;
        ListAnswer::IdSet added;
    };
    const auto state = std::make_shared<Intake>(result);
    ListIntake intake;
    intake.count = state->list.size();
    intake.begin = [this, state] {
        state->before = routes.keys();
        // Grown once, not rehashed as the routes join.
        routes.reserve(routes.size() + state->list.size());
    };
    intake.take = [this, state](int i) {
        const QVariantMap record = state->list.take(i);
        // QVariant turns 1e308 or 2^63 into some int without complaint: such an id would
        // name an object the server never meant.
        const std::optional<int> parsedId = RecordValue::toInt(record.value(QStringLiteral("id")));
        if (!parsedId) {
            warning(tr("Invalid route id on getting route list"));
            return true;
        }
        const int id = *parsedId;
        state->listed.insert(id);

        PrioRoute *r = route(id);
        if (!r) {
            r = new PrioRoute(this, id, scene);
            registerRoute(id, r);
            state->added.insert(id);
        }
        const QString hash = record.value(QStringLiteral("geometry_hash")).toString();
        if (hash != r->geometryHash()) {
            QPointer<PrioRoute> asked(r);
            const bool posted = postRpcCommand(
                QStringLiteral("RoadNetwork.getRouteGeometry"), QVariantMap{{QStringLiteral("id"), id}},
                [this, asked, id, record](const QVariant &answer) { onRouteGeometry(asked, id, record, answer); },
                false);
            // A failed post stopped the plug-in: every route is gone.
            if (!posted)
                return false;
        }
        r->applyProperties(record);
        return true;
    };
    intake.end = [this, state] { removeUnlistedRoutes(ListAnswer::staleIds(state->before, state->listed), state->added); };
    takeInList(std::move(intake));
}

void PriorityPlugin::removeUnlistedRoutes(const QList<int> &stale, const ListAnswer::IdSet &added)
{
    removeCacheEntries(QStringLiteral("routes"), stale);

    for (int id : qAsConst(stale)) {
        PrioRoute *r = routes.take(id);
        if (!r)
            continue;
        // Its boards are no longer on a known route; their own route ids stay as they are.
        if (QObject *entry = r->property("modelItemObject").value<QObject *>()) {
            QObject *boardsSub = entry->findChild<Road::ItemModel::Item *>(QStringLiteral("boards"));
            if (boardsSub && itemModel) {
                QList<PrioVehicle *> riders;
                for (Road::ItemObj *obj : boardsSub->findChildren<Road::ItemObj *>()) {
                    if (auto *vehicle = qobject_cast<PrioVehicle *>(obj->object()))
                        riders.append(vehicle);
                }
                for (PrioVehicle *vehicle : qAsConst(riders)) {
                    if (assignedBoardsSection)
                        itemModel->removeObject(assignedBoardsSection, vehicle);
                    addTreeEntry(vehicle, unassignedBoardsSection);
                }
            }
        }
        treeEntries.remove(r);
        r->deleteLater();
    }

    fileUnderNewRoutes(added);
}

void PriorityPlugin::onRouteGeometry(const QPointer<PrioRoute> &asked, int id, const QVariantMap &record,
                                     const QVariant &result)
{
    // The route may have been removed, or replaced by a new one with the same id, since the
    // request went out: then the answer belongs to nobody.
    PrioRoute *r = asked.data();
    if (!r || route(id) != r)
        return;

    const QVariantMap response = result.toMap();
    const QString geometry = response.value(QStringLiteral("geometry")).toString();
    if (geometry.isEmpty()) {
        warning(tr("Route %1 has no geometry").arg(id));
        return;
    }
    r->setGeometry(geometry, response.value(QStringLiteral("geometry_hash")).toString());

    QVariantMap entry = record;
    entry.insert(QStringLiteral("geometry"), geometry);
    writeCacheEntry(QStringLiteral("routes"), QString::number(id), entry);
}
