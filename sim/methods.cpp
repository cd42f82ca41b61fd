#include "methods.h"

#include "jsonutil.h"
#include "world.h"

#include <QJsonArray>
#include <QJsonObject>

namespace Sim {

namespace {

// Names in one removeBoardsData call; the frame size limit bounds it too.
constexpr int MaxNamesPerRemoval = 100000;

// Reads the parameters of one request, remembering the first thing wrong with them.
class Params
{
public:
    explicit Params(const QJsonValue &params)
    {
        if (params.isObject())
            m_obj = params.toObject();
        else if (!params.isUndefined() && !params.isNull())
            fail(QStringLiteral("params must be an object"));
    }

    int integer(const char *key)
    {
        const auto v = jsonInt(m_obj.value(QLatin1String(key)));
        if (!v)
            fail(QStringLiteral("'%1' must be an integer").arg(QLatin1String(key)));
        return v.value_or(0);
    }
    QString name(const char *key)
    {
        const QJsonValue v = m_obj.value(QLatin1String(key));
        if (!v.isString() || v.toString().isEmpty())
            fail(QStringLiteral("'%1' must be a non-empty string").arg(QLatin1String(key)));
        return v.toString();
    }
    bool boolean(const char *key)
    {
        const QJsonValue v = m_obj.value(QLatin1String(key));
        if (!v.isBool())
            fail(QStringLiteral("'%1' must be a boolean").arg(QLatin1String(key)));
        return v.toBool();
    }
    QJsonObject object(const char *key)
    {
        const QJsonValue v = m_obj.value(QLatin1String(key));
        if (!v.isObject())
            fail(QStringLiteral("'%1' must be an object").arg(QLatin1String(key)));
        return v.toObject();
    }

    bool ok() const { return m_error.isEmpty(); }
    Reply error() const { return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: ") + m_error); }

private:
    void fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
    }

    QJsonObject m_obj;
    QString m_error;
};

Reply done(const QString &refusal, const QJsonValue &result = true)
{
    return refusal.isEmpty() ? Reply::ok(result)
                             : Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: ") + refusal);
}

Reply unknown(const QString &what)
{
    return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: unknown ") + what);
}

Reply removeBoardsData(World &world, const QJsonValue &params)
{
    // [[name, ...]]: a list whose single element is the list of names.
    const QJsonArray outer = params.toArray();
    if (!params.isArray() || outer.size() != 1 || !outer.at(0).isArray())
        return Reply::error(Rpc::InvalidParams,
                            QStringLiteral("Invalid params: expected [[board names]]"));
    const QJsonArray inner = outer.at(0).toArray();
    if (inner.size() > MaxNamesPerRemoval)
        return Reply::error(Rpc::InvalidParams,
                            QStringLiteral("Invalid params: more than %1 names").arg(MaxNamesPerRemoval));
    QStringList names;
    for (const QJsonValue &v : inner) {
        if (!v.isString())
            return Reply::error(Rpc::InvalidParams,
                                QStringLiteral("Invalid params: board names must be strings"));
        names.append(v.toString());
    }
    return Reply::ok(QJsonArray::fromStringList(world.removeBoards(names)));
}

} // namespace

const QVector<MethodInfo> &methodTable()
{
    static const QVector<MethodInfo> table{
            {QStringLiteral("RoadNetwork.getRouteList"), false},
            {QStringLiteral("RoadNetwork.getRouteGeometry"), false},
            {QStringLiteral("RoadNetwork.assignBoardToRoute"), true},
            {QStringLiteral("RoadNetwork.unassignBoard"), true},
            {QStringLiteral("RoadNetwork.changeRouteProperties"), true},
            {QStringLiteral("RoadNetwork.getTimelineData2"), false},
            {QStringLiteral("RoadNetwork.getTimelineData"), false},
            {QStringLiteral("VDTService.getVdtList"), false},
            {QStringLiteral("VDTService.getVdtGeometry"), false},
            {QStringLiteral("VDTService.getVdtProperties"), false},
            {QStringLiteral("VDTService.changeVdtProperties"), true},
            {QStringLiteral("VDTService.setVdtActive"), true},
            {QStringLiteral("TLService.getTlcProperties"), false},
            {QStringLiteral("TLService.changeTlcProperties"), true},
            {QStringLiteral("BoardsServer.getBoards"), false},
            {QStringLiteral("BoardsServer.getBoardData"), false},
            {QStringLiteral("BoardsServer.changeBoardProperties"), true},
            {QStringLiteral("BoardsServer.removeBoardsData"), true},
            {QStringLiteral("PserverApp.getWebUrl"), false},
            {Rpc::Subscribe, false},
            {Rpc::SetRole, false},
    };
    return table;
}

bool isKnownMethod(const QString &method)
{
    for (const MethodInfo &m : methodTable()) {
        if (m.name == method)
            return true;
    }
    return false;
}

bool changesState(const QString &method)
{
    for (const MethodInfo &m : methodTable()) {
        if (m.name == method)
            return m.changesState;
    }
    return false;
}

QStringList roles()
{
    return {Rpc::RoleOperator, Rpc::RoleObserver};
}

QStringList allowedCommands(const QString &role)
{
    QStringList out;
    if (!roles().contains(role))
        return out;
    for (const MethodInfo &m : methodTable()) {
        if (role == Rpc::RoleOperator || !m.changesState)
            out.append(m.name);
    }
    return out;
}

QStringList notificationNames()
{
    return {Event::BoardLoggedIn,        Event::BoardDisconnected,
            Event::BoardPosition,        Event::BoardPropertiesChanged,
            Event::BoardsRemoved,        Event::VdtStateChanged,
            Event::VdtPropertiesChanged, Event::RoutePropertiesChanged,
            Event::NetworkChanged,       Event::AllowedCommandsChanged};
}

Reply callWorld(World &world, const QString &method, const QJsonValue &params)
{
    if (method == QLatin1String("BoardsServer.removeBoardsData"))
        return removeBoardsData(world, params);
    // Methods without parameters ignore whatever params they are given.
    if (method == QLatin1String("RoadNetwork.getRouteList"))
        return Reply::ok(world.routeList());
    if (method == QLatin1String("VDTService.getVdtList"))
        return Reply::okText(world.detectorListText());
    if (method == QLatin1String("BoardsServer.getBoards"))
        return Reply::okText(world.boardListText());

    Params p(params);
    if (!p.ok())
        return p.error();

    if (method == QLatin1String("RoadNetwork.getRouteGeometry")) {
        const int id = p.integer("id");
        if (!p.ok())
            return p.error();
        const Route *r = world.route(id);
        return r ? Reply::okText(world.routeGeometryText(*r)) : unknown(QStringLiteral("route %1").arg(id));
    }
    if (method == QLatin1String("RoadNetwork.getTimelineData2")
        || method == QLatin1String("RoadNetwork.getTimelineData")) {
        const int id = p.integer("route_id");
        if (!p.ok())
            return p.error();
        const Route *r = world.route(id);
        return r ? Reply::ok(world.timelineData(*r, method.endsWith(QLatin1Char('2'))))
                 : unknown(QStringLiteral("route %1").arg(id));
    }
    if (method == QLatin1String("RoadNetwork.assignBoardToRoute")) {
        const QString name = p.name("board_name");
        const int routeId = p.integer("route_id");
        if (!p.ok())
            return p.error();
        return done(world.assignBoard(name, routeId));
    }
    if (method == QLatin1String("RoadNetwork.unassignBoard")) {
        const QString name = p.name("board_name");
        if (!p.ok())
            return p.error();
        return done(world.unassignBoard(name));
    }
    if (method == QLatin1String("RoadNetwork.changeRouteProperties")) {
        const int id = p.integer("id");
        const QJsonObject props = p.object("props");
        if (!p.ok())
            return p.error();
        return done(world.changeRouteProperties(id, props));
    }
    if (method == QLatin1String("VDTService.getVdtGeometry")
        || method == QLatin1String("VDTService.getVdtProperties")) {
        const int id = p.integer("id");
        if (!p.ok())
            return p.error();
        const Detector *d = world.detector(id);
        if (!d)
            return unknown(QStringLiteral("detector %1").arg(id));
        if (method.endsWith(QLatin1String("Geometry")))
            return Reply::okText(world.detectorGeometryText(*d));
        return Reply::ok(world.detectorProperties(*d));
    }
    if (method == QLatin1String("VDTService.changeVdtProperties")) {
        const int id = p.integer("id");
        const QJsonObject props = p.object("props");
        if (!p.ok())
            return p.error();
        return done(world.changeDetectorProperties(id, props));
    }
    if (method == QLatin1String("VDTService.setVdtActive")) {
        const int id = p.integer("id");
        const bool activate = p.boolean("activate");
        if (!p.ok())
            return p.error();
        return done(world.setDetectorActivated(id, activate));
    }
    if (method == QLatin1String("TLService.getTlcProperties")) {
        const int id = p.integer("id");
        if (!p.ok())
            return p.error();
        const TrafficLight *tl = world.trafficLight(id);
        return tl ? Reply::ok(world.trafficLightProperties(*tl))
                  : unknown(QStringLiteral("traffic-light controller %1").arg(id));
    }
    if (method == QLatin1String("TLService.changeTlcProperties")) {
        const int id = p.integer("id");
        const QJsonObject props = p.object("props");
        if (!p.ok())
            return p.error();
        return done(world.changeTrafficLightProperties(id, props));
    }
    if (method == QLatin1String("BoardsServer.getBoardData")) {
        const QString name = p.name("name");
        if (!p.ok())
            return p.error();
        const Board *b = world.board(name);
        return b ? Reply::ok(world.boardRecord(*b)) : unknown(QStringLiteral("board '%1'").arg(name));
    }
    if (method == QLatin1String("BoardsServer.changeBoardProperties")) {
        const QString name = p.name("board_name");
        const QJsonObject props = p.object("props");
        if (!p.ok())
            return p.error();
        return done(world.changeBoardProperties(name, props));
    }
    return Reply::error(Rpc::MethodNotFound, QStringLiteral("Method not found: %1").arg(method));
}

} // namespace Sim
