// Boards: the board list on connection, boards made on demand for names the notifications
// bring, and their place in the tree ("Assigned boards" and their route's "Boards", or
// "Not assigned boards"), which follows every change of a board's route.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include "items/prioroute.h"
#include "items/priovehicle.h"
#include "kernel/roaditemmodel.h"
#include "model/listanswer.h"

#include <memory>

using namespace PrioLog;

void PriorityPlugin::onBoardList(const QVariant &result)
{
    const auto list = std::make_shared<ListAnswer::RecordMap>(result);
    ListIntake intake;
    intake.count = list->size();
    intake.begin = [this, list] { boards.reserve(boards.size() + list->size()); };
    intake.take = [this, list](int) {
        QString name;
        const QVariantMap record = list->take(&name);
        return takeBoardRecord(name, record);
    };
    intake.end = [this] {
        if (currentZoom >= m_minVisibleZoom)
            lastViewChange.start();
    };
    takeInList(std::move(intake));
}

bool PriorityPlugin::takeBoardRecord(const QString &name, const QVariantMap &record)
{
    if (PrioVehicle *known = board(name)) {
        known->applyProperties(record);
        return true;
    }
    QPointer<PrioVehicle> vehicle = new PrioVehicle(this, name, scene);
    registerVehicle(vehicle);
    vehicle->applyProperties(record);
    if (!vehicle)
        return true;
    if (itemModel && unassignedBoardsSection && vehicle->routeId() == 0 && !hasLiveTreeEntry(vehicle))
        addTreeEntry(vehicle, unassignedBoardsSection);
    vehicle->setFilterAccepted(vehicleAccepted(vehicle));
    return true;
}

PrioVehicle *PriorityPlugin::boardForEvent(const QString &eventName, const QVariantMap &params)
{
    const QString name = params.value(QStringLiteral("board_name")).toString();
    if (name.isEmpty()) {
        warning(tr("Invalid %1 event: no 'board_name'").arg(eventName));
        return nullptr;
    }
    if (PrioVehicle *known = board(name))
        return known;

    QPointer<PrioVehicle> vehicle = new PrioVehicle(this, name, scene);
    registerVehicle(vehicle);
    vehicle->setFilterAccepted(vehicleAccepted(vehicle));
    const bool posted = postRpcCommand(
        QStringLiteral("BoardsServer.getBoardData"), QVariantMap{{QStringLiteral("name"), name}},
        [this, vehicle, name](const QVariant &answer) { onBoardData(vehicle, name, answer); }, false);
    // A failed post has stopped the plug-in, and the new vehicle went with the registry.
    if (!posted || !vehicle)
        return nullptr;
    return vehicle;
}

void PriorityPlugin::onBoardData(const QPointer<PrioVehicle> &asked, const QString &name, const QVariant &result)
{
    PrioVehicle *vehicle = asked.data();
    if (!vehicle || board(name) != vehicle)
        return;
    vehicle->applyProperties(result.toMap());
    if (!asked)
        return;
    // A notification or the board list may have filed it already.
    if (itemModel && unassignedBoardsSection && vehicle->routeId() == 0 && !hasLiveTreeEntry(vehicle))
        addTreeEntry(vehicle, unassignedBoardsSection);
    vehicle->setFilterAccepted(vehicleAccepted(vehicle));
}

void PriorityPlugin::on_vehRouteChanged()
{
    if (auto *vehicle = qobject_cast<PrioVehicle *>(sender()))
        placeVehicleInTree(vehicle);
}

void PriorityPlugin::placeVehicleInTree(PrioVehicle *vehicle)
{
    const bool wasSelected = vehicle->isSelected();
    if (wasSelected)
        vehicle->setSelected(false);

    deleteTreeEntries(vehicle);

    const int routeId = vehicle->routeId();
    if (routeId == 0) {
        addTreeEntry(vehicle, unassignedBoardsSection);
    } else if (PrioRoute *r = route(routeId)) {
        QObject *entry = r->property("modelItemObject").value<QObject *>();
        if (!entry) {
            warning(tr("Route %1 for assigning Vehicle %2 has no 'modelItemObject' property").arg(routeId).arg(vehicle->name()));
        } else {
            QObject *boardsSub = entry->findChild<Road::ItemModel::Item *>(QStringLiteral("boards"));
            addTreeEntry(vehicle, assignedBoardsSection);
            addTreeEntry(vehicle, boardsSub);
        }
    } else {
        warning(tr("Vehicle %1 assigned to invalid route with id %2").arg(vehicle->name(), QString::number(routeId)));
        addTreeEntry(vehicle, unassignedBoardsSection);
    }

    if (wasSelected)
        vehicle->setSelected(true);
}
