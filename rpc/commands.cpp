// Operator commands: each sends one command as a host request and returns at once. The
// items change only when the server's notifications come back.

#include "plugin/priorityplugin.h"

namespace {

QVariantMap lockProps(bool lock)
{
    return QVariantMap{{QStringLiteral("locked"), lock}};
}

} // namespace

void PriorityPlugin::setLockBoard(const QString &name, bool lock)
{
    postRpcCommand(QStringLiteral("BoardsServer.changeBoardProperties"),
                   QVariantMap{{QStringLiteral("board_name"), name},
                               {QStringLiteral("props"), lockProps(lock)}},
                   ResponseCallback(), true);
}

void PriorityPlugin::assignBoard(const QString &board_name, int route_id)
{
    postRpcCommand(QStringLiteral("RoadNetwork.assignBoardToRoute"),
                   QVariantMap{{QStringLiteral("board_name"), board_name},
                               {QStringLiteral("route_id"), route_id}},
                   ResponseCallback(), true);
}

void PriorityPlugin::unassignBoard(const QString &board_name)
{
    postRpcCommand(QStringLiteral("RoadNetwork.unassignBoard"),
                   QVariantMap{{QStringLiteral("board_name"), board_name}}, ResponseCallback(), true);
}

void PriorityPlugin::changeBoardProperties(const QString &board_name, const QVariantMap &props)
{
    postRpcCommand(QStringLiteral("BoardsServer.changeBoardProperties"),
                   QVariantMap{{QStringLiteral("board_name"), board_name},
                               {QStringLiteral("props"), props}},
                   ResponseCallback(), true);
}

void PriorityPlugin::changeRouteProperties(int id, const QVariantMap &props)
{
    postRpcCommand(QStringLiteral("RoadNetwork.changeRouteProperties"),
                   QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("props"), props}},
                   ResponseCallback(), true);
}

void PriorityPlugin::changeVdtProperties(int id, const QVariantMap &props)
{
    postRpcCommand(QStringLiteral("VDTService.changeVdtProperties"),
                   QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("props"), props}},
                   ResponseCallback(), true);
}

void PriorityPlugin::setVdtActive(int id, bool active)
{
    // The server's parameter is "activate".
    postRpcCommand(QStringLiteral("VDTService.setVdtActive"),
                   QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("activate"), active}},
                   ResponseCallback(), true);
}

void PriorityPlugin::changeTlcProperties(int id, const QVariantMap &props)
{
    postRpcCommand(QStringLiteral("TLService.changeTlcProperties"),
                   QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("props"), props}},
                   ResponseCallback(), true);
}

void PriorityPlugin::setLockRoute(int id, bool lock)
{
    changeRouteProperties(id, lockProps(lock));
}

void PriorityPlugin::setLockDetector(int id, bool lock)
{
    changeVdtProperties(id, lockProps(lock));
}
