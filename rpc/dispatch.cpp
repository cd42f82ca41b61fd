// Server notifications: the subscription, once per connection, and their dispatch to the
// registries and items. Board positions are also forwarded to the timeline widgets.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include <QDateTime>

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"

using namespace PrioLog;

void PriorityPlugin::on_rpcObjectRequestQueueEmpty()
{
    if (subscribed)
        return;
    // Lists still being taken in post more requests: the subscription follows them.
    if (isTakingInList()) {
        m_subscribeAfterIntake = m_session;
        return;
    }
    subscribed = true;

    QObject *rpc = currentRpc();
    const QStringList events{
        QStringLiteral("BoardsServer.boardLoggedIn"),
        QStringLiteral("BoardsServer.boardDisconnected"),
        QStringLiteral("BoardsServer.boardPosition"),
        QStringLiteral("BoardsServer.boardPropertiesChanged"),
        QStringLiteral("BoardsServer.boardsRemoved"),
        QStringLiteral("VDTService.vdtStateChanged"),
        QStringLiteral("VDTService.vdtPropertiesChanged"),
        QStringLiteral("RoadNetwork.routePropertiesChanged"),
        QStringLiteral("RoadNetwork.networkChanged"),
    };
    if (!rpc || !QMetaObject::invokeMethod(rpc, "subscribe", Qt::AutoConnection, Q_ARG(QStringList, events))) {
        error(tr("Invoke 'subscribe' failed"));
        stop(false);
    }
}

void PriorityPlugin::on_rpcObjectEvent(const QString &event_name, const QVariant &params)
{
    if (event_name == QLatin1String("BoardsServer.boardPosition")) {
        dispatchBoardPosition(params.toMap());
    } else if (event_name == QLatin1String("BoardsServer.boardPropertiesChanged")) {
        const QVariantMap map = params.toMap();
        if (PrioVehicle *vehicle = boardForEvent(event_name, map))
            vehicle->applyProperties(map);
    } else if (event_name == QLatin1String("BoardsServer.boardLoggedIn")) {
        if (PrioVehicle *vehicle = boardForEvent(event_name, params.toMap()))
            vehicle->setLoggedIn(true);
    } else if (event_name == QLatin1String("BoardsServer.boardDisconnected")) {
        if (PrioVehicle *vehicle = boardForEvent(event_name, params.toMap()))
            vehicle->setLoggedIn(false);
    } else if (event_name == QLatin1String("BoardsServer.boardsRemoved")) {
        const QVariantList names = params.toList();
        for (const QVariant &name : names) {
            PrioVehicle *vehicle = boards.take(name.toString());
            if (!vehicle)
                continue;
            treeEntries.remove(vehicle);
            delete vehicle;
        }
    } else if (event_name == QLatin1String("VDTService.vdtStateChanged")) {
        dispatchDetectorState(params.toMap());
    } else if (event_name == QLatin1String("VDTService.vdtPropertiesChanged")) {
        const QVariantMap map = params.toMap();
        if (PrioVDetector *d = detector(map.value(QStringLiteral("id")).toInt()))
            d->applyProperties(map);
    } else if (event_name == QLatin1String("RoadNetwork.routePropertiesChanged")) {
        const QVariantMap map = params.toMap();
        if (PrioRoute *r = route(map.value(QStringLiteral("id")).toInt()))
            r->applyProperties(map);
    } else if (event_name == QLatin1String("RoadNetwork.networkChanged")) {
        requestNetworkLists();
    }
}

void PriorityPlugin::dispatchBoardPosition(const QVariantMap &params)
{
    const QString eventName = QStringLiteral("BoardsServer.boardPosition");
    QPointer<PrioVehicle> vehicle = boardForEvent(eventName, params);
    if (!vehicle)
        return;
    vehicle->applyPosition(params);
    if (!vehicle || timelines.isEmpty())
        return;

    // Worked out once, before the first widget: a widget may run an event loop, in which
    // the vehicle, or the plug-in, may go.
    const QString boardName = params.value(QStringLiteral("board_name")).toString();
    const QString routeId = QString::number(vehicle->routeId());
    const QVariant timeValue = params.value(QStringLiteral("time"));
    const QDateTime time = timeValue.isValid() ? timeValue.toDateTime().toLocalTime() : QDateTime();
    const QVariant offsetValue = params.value(QStringLiteral("offset_s"));
    const qreal offset = offsetValue.isValid() ? offsetValue.toReal() : -1.0;
    const bool hasPriority = vehicle->priorityState() == QLatin1String("active");

    const QList<QPointer<QObject>> widgets = timelines;
    QPointer<PriorityPlugin> self(this);
    for (const QPointer<QObject> &widget : widgets) {
        if (!widget)
            continue;
        const bool invoked = QMetaObject::invokeMethod(widget, "putBoardData", Qt::AutoConnection,
                                                       Q_ARG(QString, boardName), Q_ARG(QString, routeId),
                                                       Q_ARG(QDateTime, time), Q_ARG(qreal, offset),
                                                       Q_ARG(bool, hasPriority));
        if (!self)
            return;
        if (!invoked)
            error(tr("Invoke TimelineWidget::putBoardData failed"));
    }
}

void PriorityPlugin::dispatchDetectorState(const QVariantMap &params)
{
    const QString eventName = QStringLiteral("VDTService.vdtStateChanged");
    const QString state = params.value(QStringLiteral("state")).toString();
    const int dt = params.value(QStringLiteral("dt")).toInt();

    QPointer<PrioVDetector> d = detector(dt);
    if (d) {
        const QSet<QString> active = d->activeBoards();
        for (const QString &name : active) {
            if (PrioVehicle *vehicle = board(name))
                vehicle->setPriorityState(state, dt);
        }
    }
    if (PrioVehicle *vehicle = boardForEvent(eventName, params))
        vehicle->setPriorityState(state, dt);
    if (d && detector(dt) == d)
        d->setState(state, params.value(QStringLiteral("board_name")).toString());
}
