// Detector loading: the detector list keeps the detectors registry in step with the server,
// binds detectors to their routes (or lists emergency-call detectors), tells the boards they
// name their state, and fetches geometry only where its hash changed.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include <QSet>

#include <memory>

#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "model/listanswer.h"
#include "items/recordvalue.h"

using namespace PrioLog;

void PriorityPlugin::onDetectorList(const QVariant &result)
{
    if (!ListAnswer::isList(result)) {
        warning(tr("Malformed answer to '%1': the detector list is not a list").arg(QStringLiteral("VDTService.getVdtList")));
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
    };
    const auto state = std::make_shared<Intake>(result);
    ListIntake intake;
    intake.count = state->list.size();
    intake.begin = [this, state] {
        state->before = detectors.keys();
        detectors.reserve(detectors.size() + state->list.size());
    };
    intake.take = [this, state](int i) {
        const QVariantMap record = state->list.take(i);
        return takeDetectorRecord(record, &state->listed);
    };
    intake.end = [this, state] { removeUnlistedDetectors(ListAnswer::staleIds(state->before, state->listed)); };
    takeInList(std::move(intake));
}

bool PriorityPlugin::takeDetectorRecord(const QVariantMap &record, ListAnswer::IdSet *listed)
{
    // QVariant turns 1e308 or 2^63 into some int without complaint: such an id would
    // name an object the server never meant.
    const std::optional<int> parsedId = RecordValue::toInt(record.value(QStringLiteral("id")));
    if (!parsedId) {
        warning(tr("Invalid detector id on getting detector list"));
        return true;
    }
    const int id = *parsedId;
    if (!record.contains(QStringLiteral("routes")) && !record.value(QStringLiteral("emergency")).toBool())
        return true;
    listed->insert(id);

    PrioVDetector *d = detector(id);
    if (d) {
        d->applyProperties(record);
    } else {
        d = new PrioVDetector(this, id, scene, m_showDtOnActivation);
        d->applyProperties(record);
        registerDetector(id, d);
        if (!detector(id)) {
            delete d;
            return true;
        }
    }

    const QString boardName = record.value(QStringLiteral("board_name")).toString();
    if (!boardName.isEmpty()) {
        PrioVehicle *vehicle = board(boardName);
        if (!vehicle) {
            vehicle = new PrioVehicle(this, boardName, scene);
            registerVehicle(vehicle);
            if (itemModel)
                addTreeEntry(vehicle, unassignedBoardsSection);
            vehicle->setFilterAccepted(vehicleAccepted(vehicle));
        }
        vehicle->setPriorityState(record.value(QStringLiteral("state")).toString(), id);
    }

    if (record.value(QStringLiteral("geometry_hash")).toString() != d->geometryHash()) {
        QPointer<PrioVDetector> asked(d);
        return postRpcCommand(
            QStringLiteral("VDTService.getVdtGeometry"), QVariantMap{{QStringLiteral("id"), id}},
            [this, asked, id](const QVariant &answer) { onDetectorGeometry(asked, id, answer); }, false);
    }
    return true;
}

void PriorityPlugin::removeUnlistedDetectors(const QList<int> &stale)
{
    removeCacheEntries(QStringLiteral("detectors"), stale);
    for (int id : qAsConst(stale)) {
        PrioVDetector *d = detectors.take(id);
        if (!d)
            continue;
        // A detector that is gone can no longer keep a board active.
        forgetDetectorInBoards(id);
        treeEntries.remove(d);
        d->deleteLater();
    }
}

void PriorityPlugin::forgetDetectorInBoards(int detectorId)
{
    for (PrioVehicle *vehicle : qAsConst(boards)) {
        if (vehicle->activeDetectors().contains(detectorId))
            vehicle->forgetDetector(detectorId);
    }
}

void PriorityPlugin::onDetectorGeometry(const QPointer<PrioVDetector> &asked, int id, const QVariant &result)
{
    PrioVDetector *d = asked.data();
    if (!d || detector(id) != d)
        return;

    const QVariantMap response = result.toMap();
    d->applyProperties(response);
    if (!d->hasGeometry()) {
        warning(tr("Detector %1 has no geometry").arg(id));
        return;
    }
    QVariantMap entry = response;
    entry.insert(QStringLiteral("emergency"), d->isEmergency());
    const QList<int> routeIds = d->routes();
    if (!routeIds.isEmpty()) {
        QVariantList ids;
        for (int routeId : routeIds)
            ids.append(QString::number(routeId));
        entry.insert(QStringLiteral("routes"), ids);
    }
    writeCacheEntry(QStringLiteral("detectors"), QString::number(id), entry);
}
