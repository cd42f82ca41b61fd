#include "operatorcommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

#include "jsonrpc/jsonrpcobject.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("OperatorCommand", text);
}

QString capitalised(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

QString valueText(const QVariant &value)
{
    const QJsonValue json = QJsonValue::fromVariant(value);
    if (json.isString())
        return json.toString();
    // A scalar as JSON text: wrap it so that QJsonDocument takes it, then unwrap.
    const QByteArray array = QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// Every changed property is in the notification's record with the value asked for.
bool recordHolds(const QVariantMap &record, const QVariantMap &props)
{
    if (props.isEmpty())
        return false;
    for (auto it = props.constBegin(); it != props.constEnd(); ++it) {
        if (!record.contains(it.key()) || QJsonValue::fromVariant(record.value(it.key())) != QJsonValue::fromVariant(it.value()))
            return false;
    }
    return true;
}

bool boolIs(const QVariantMap &record, const char *key, bool wanted)
{
    const QVariant v = record.value(QLatin1String(key));
    return v.type() == QVariant::Bool && v.toBool() == wanted;
}

bool intIs(const QVariantMap &record, const char *key, int wanted)
{
    bool ok = false;
    const double v = record.value(QLatin1String(key)).toDouble(&ok);
    return ok && v == wanted;
}

} // namespace

OperatorCommand OperatorCommand::make(Action action, const MapObjectRef &target)
{
    OperatorCommand command;
    command.action = action;
    command.target = target;
    if (action == Lock || action == Unlock)
        command.props.insert(QStringLiteral("locked"), action == Lock);
    return command;
}

OperatorCommand OperatorCommand::assign(const MapObjectRef &board, int routeId, int previousRouteId)
{
    OperatorCommand command = make(Assign, board);
    command.routeId = routeId;
    command.previousRouteId = previousRouteId;
    return command;
}

QString OperatorCommand::method() const
{
    switch (action) {
    case Assign:
        return QStringLiteral("RoadNetwork.assignBoardToRoute");
    case Unassign:
        return QStringLiteral("RoadNetwork.unassignBoard");
    case Activate:
    case Deactivate:
        return QStringLiteral("VDTService.setVdtActive");
    case ChangeControllerProperties:
        return QStringLiteral("TLService.changeTlcProperties");
    case Lock:
    case Unlock:
    case ChangeProperties:
        break;
    }
    switch (target.kind) {
    case MapObjectRef::Board:
        return QStringLiteral("BoardsServer.changeBoardProperties");
    case MapObjectRef::Route:
        return QStringLiteral("RoadNetwork.changeRouteProperties");
    case MapObjectRef::Detector:
        return QStringLiteral("VDTService.changeVdtProperties");
    case MapObjectRef::None:
        break;
    }
    return QString();
}

bool OperatorCommand::isSafetyCritical() const
{
    return action != ChangeProperties && action != ChangeControllerProperties;
}

QString OperatorCommand::objectNoun() const
{
    if (action == ChangeControllerProperties)
        return tr("controller %1").arg(target.tlNumber);
    switch (target.kind) {
    case MapObjectRef::Board:
        return tr("board %1").arg(target.name);
    case MapObjectRef::Route:
        return tr("route %1").arg(target.id);
    case MapObjectRef::Detector:
        return tr("detector %1").arg(target.id);
    case MapObjectRef::None:
        break;
    }
    return QString();
}

QString OperatorCommand::objectTitle() const
{
    return capitalised(objectNoun());
}

QString OperatorCommand::actionText() const
{
    switch (action) {
    case Lock:
        return tr("Lock");
    case Unlock:
        return tr("Unlock");
    case Assign:
        return tr("Assign");
    case Unassign:
        return tr("Unassign");
    case Activate:
        return tr("Activate");
    case Deactivate:
        return tr("Deactivate");
    case ChangeProperties:
        return tr("Change properties");
    case ChangeControllerProperties:
        return tr("Change controller properties");
    }
    return QString();
}

QString OperatorCommand::parametersText() const
{
    switch (action) {
    case Assign:
        return previousRouteId ? tr("route %1 (was %2)").arg(routeId).arg(previousRouteId) : tr("route %1").arg(routeId);
    case Unassign:
        return previousRouteId ? tr("(was route %1)").arg(previousRouteId) : QString();
    case Activate:
    case Deactivate:
        return QStringLiteral("activate=%1").arg(action == Activate ? QStringLiteral("true") : QStringLiteral("false"));
    case Lock:
    case Unlock:
    case ChangeProperties:
    case ChangeControllerProperties:
        break;
    }
    QStringList parts;
    for (auto it = props.constBegin(); it != props.constEnd(); ++it)
        parts.append(it.key() + QLatin1Char('=') + valueText(it.value()));
    return parts.join(QStringLiteral(", "));
}

QString OperatorCommand::question() const
{
    switch (action) {
    case Assign:
        return tr("Assign %1 to route %2?").arg(objectNoun()).arg(routeId);
    case Unassign:
        return previousRouteId ? tr("Unassign %1 from route %2?").arg(objectNoun()).arg(previousRouteId)
                               : tr("Unassign %1 from its route?").arg(objectNoun());
    default:
        return tr("%1 %2?").arg(actionText(), objectNoun());
    }
}

QString OperatorCommand::doneText() const
{
    switch (action) {
    case Lock:
        return tr("%1 locked").arg(objectTitle());
    case Unlock:
        return tr("%1 unlocked").arg(objectTitle());
    case Assign:
        return tr("%1 assigned to route %2").arg(objectTitle()).arg(routeId);
    case Unassign:
        return tr("%1 unassigned").arg(objectTitle());
    case Activate:
        return tr("%1 activated").arg(objectTitle());
    case Deactivate:
        return tr("%1 deactivated").arg(objectTitle());
    case ChangeProperties:
    case ChangeControllerProperties:
        break;
    }
    return tr("%1: %2").arg(objectTitle(), parametersText());
}

QString OperatorCommand::confirmButtonText() const
{
    return actionText();
}

QString OperatorCommand::refusalReason(int code, const QString &serverMessage, const QString &role)
{
    QString message = serverMessage.simplified();
    if (message.size() > MaxReasonLength)
        message = message.left(MaxReasonLength) + QStringLiteral("…");
    if (code == JsonRpcObject::ClientErrorNotConnected)
        return tr("there is no connection to the server");
    if (code == -32000)
        return role.isEmpty() ? tr("you have no permission for it") : tr("your role (%1) may not do this").arg(role);
    if (code == -32601)
        return tr("the server does not know this command");
    static const QString InvalidParams = QStringLiteral("Invalid params: ");
    if (code == -32602 && message.startsWith(InvalidParams))
        return message.mid(InvalidParams.size());
    return tr("%1 (code %2)").arg(message).arg(code);
}

QString OperatorCommand::refusalText(const QString &reason, bool sent) const
{
    QString what = question();
    what.chop(1);
    return sent ? tr("%1 refused: %2").arg(what, reason) : tr("%1 not sent: %2").arg(what, reason);
}

std::optional<OperatorCommand> OperatorCommand::inverse() const
{
    switch (action) {
    case Lock:
        return make(Unlock, target);
    case Unlock:
        return make(Lock, target);
    case Activate:
        return make(Deactivate, target);
    case Deactivate:
        return make(Activate, target);
    case Assign:
        if (previousRouteId != 0)
            return assign(target, previousRouteId, routeId);
        {
            OperatorCommand back = make(Unassign, target);
            back.previousRouteId = routeId;
            return back;
        }
    case Unassign:
        if (previousRouteId != 0)
            return assign(target, previousRouteId, 0);
        return std::nullopt;
    case ChangeProperties:
    case ChangeControllerProperties:
        break;
    }
    return std::nullopt;
}

bool OperatorCommand::confirmedBy(const QString &notification, const QVariantMap &params) const
{
    switch (target.kind) {
    case MapObjectRef::Board: {
        if (notification != QLatin1String("BoardsServer.boardPropertiesChanged")
            || params.value(QStringLiteral("board_name")).toString() != target.name)
            return false;
        if (action == Assign)
            return intIs(params, "route_id", routeId);
        if (action == Unassign)
            return intIs(params, "route_id", 0);
        return recordHolds(params, props);
    }
    case MapObjectRef::Route:
        return notification == QLatin1String("RoadNetwork.routePropertiesChanged") && intIs(params, "id", target.id)
            && recordHolds(params, props);
    case MapObjectRef::Detector:
        if (action == ChangeControllerProperties || notification != QLatin1String("VDTService.vdtPropertiesChanged")
            || !intIs(params, "id", target.id))
            return false;
        if (action == Activate || action == Deactivate) {
            // The record says "activated"; a server without it shows the hand-made state.
            if (params.contains(QStringLiteral("activated")))
                return boolIs(params, "activated", action == Activate);
            return (params.value(QStringLiteral("state")).toString() == QLatin1String("active")) == (action == Activate);
        }
        return recordHolds(params, props);
    case MapObjectRef::None:
        break;
    }
    return false;
}

bool OperatorCommand::send(const PluginHandle &plugin) const
{
    const bool on = action == Lock || action == Activate;
    switch (action) {
    case Lock:
    case Unlock:
        if (target.kind == MapObjectRef::Board)
            return plugin.setLockBoard(target.name, on);
        if (target.kind == MapObjectRef::Route)
            return plugin.setLockRoute(target.id, on);
        if (target.kind == MapObjectRef::Detector)
            return plugin.setLockDetector(target.id, on);
        return false;
    case Assign:
        return plugin.assignBoard(target.name, routeId);
    case Unassign:
        return plugin.unassignBoard(target.name);
    case Activate:
    case Deactivate:
        return plugin.setVdtActive(target.id, on);
    case ChangeProperties:
        if (target.kind == MapObjectRef::Board)
            return plugin.changeBoardProperties(target.name, props);
        if (target.kind == MapObjectRef::Route)
            return plugin.changeRouteProperties(target.id, props);
        if (target.kind == MapObjectRef::Detector)
            return plugin.changeVdtProperties(target.id, props);
        return false;
    case ChangeControllerProperties:
        return plugin.changeTlcProperties(target.tlNumber, props);
    }
    return false;
}
