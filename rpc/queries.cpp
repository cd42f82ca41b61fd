// Synchronous queries and the timeline link. A query waits in a local event loop: when it
// returns, the registries may have changed and the plug-in may have stopped.

#include "plugin/priorityplugin.h"

#include "items/prioroute.h"

QObject *PriorityPlugin::findRoute(int id)
{
    return route(id);
}

QObjectList PriorityPlugin::getRoutes()
{
    QObjectList list;
    list.reserve(routes.size());
    for (PrioRoute *r : qAsConst(routes)) {
        if (r)
            list.append(r);
    }
    return list;
}

QVariantMap PriorityPlugin::getVdtProperties(int id)
{
    if (!currentRpc())
        return QVariantMap();
    return execRpcCommand(QStringLiteral("VDTService.getVdtProperties"),
                          QVariantMap{{QStringLiteral("id"), id}}, QueryTimeoutMs, true)
        .toMap();
}

QVariantMap PriorityPlugin::getTlcProperties(int id)
{
    if (!currentRpc())
        return QVariantMap();
    return execRpcCommand(QStringLiteral("TLService.getTlcProperties"),
                          QVariantMap{{QStringLiteral("id"), id}}, QueryTimeoutMs, true)
        .toMap();
}

QVariantMap PriorityPlugin::getTimelineData(int route_id)
{
    if (!currentRpc())
        return QVariantMap();
    const QVariantMap params{{QStringLiteral("route_id"), route_id}};
    // Servers that know the newer method answer it; a failure or a time-out of it is
    // silent and the older method is asked instead.
    QPointer<PriorityPlugin> self(this);
    const QVariant newer = execRpcCommand(QStringLiteral("RoadNetwork.getTimelineData2"), params,
                                          QueryTimeoutMs, ResponseCallback());
    if (newer.isValid())
        return newer.toMap();
    // The host may have deleted the plug-in while the first call waited.
    if (!self)
        return QVariantMap();
    return execRpcCommand(QStringLiteral("RoadNetwork.getTimelineData"), params, QueryTimeoutMs, true)
        .toMap();
}

QString PriorityPlugin::getWebUrl()
{
    return execRpcCommand(QStringLiteral("PserverApp.getWebUrl"), QVariant(), QueryTimeoutMs, true)
        .toString();
}

void PriorityPlugin::removeBoardsData(const QStringList &board_names)
{
    if (!currentRpc())
        return;
    // Positional parameters: one element, the list of names.
    execRpcCommand(QStringLiteral("BoardsServer.removeBoardsData"), QVariantList{QVariant(board_names)},
                   QueryTimeoutMs, true);
}

void PriorityPlugin::registerTimeline(QObject *w)
{
    if (!w || !w->inherits("TimelineWidget"))
        return;
    for (const QPointer<QObject> &known : qAsConst(timelines)) {
        if (known == w)
            return;
    }
    timelines.append(w);
    connect(w, &QObject::destroyed, this, [this](QObject *gone) {
        for (int i = 0; i < timelines.size(); ++i) {
            // The guarded pointer already reads null here; compare the raw address too.
            if (timelines.at(i).isNull() || timelines.at(i).data() == gone) {
                timelines.removeAt(i);
                return;
            }
        }
    });
}
