// The simulator over the wire: a raw JSON-RPC client on a loopback WebSocket against an
// embedded Sim::Server whose clock only moves when a test calls step().

#include "rawclient.h"
#include "server.h"
#include "testnetwork.h"

#include <QRegularExpression>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace Sim;

namespace {

const QStringList WriteMethods{
        QStringLiteral("RoadNetwork.assignBoardToRoute"), QStringLiteral("RoadNetwork.unassignBoard"),
        QStringLiteral("BoardsServer.changeBoardProperties"), QStringLiteral("RoadNetwork.changeRouteProperties"),
        QStringLiteral("VDTService.changeVdtProperties"),     QStringLiteral("VDTService.setVdtActive"),
        QStringLiteral("TLService.changeTlcProperties"),      QStringLiteral("BoardsServer.removeBoardsData")};

const QStringList AllEvents{
        QStringLiteral("BoardsServer.boardLoggedIn"),          QStringLiteral("BoardsServer.boardDisconnected"),
        QStringLiteral("BoardsServer.boardPosition"),          QStringLiteral("BoardsServer.boardPropertiesChanged"),
        QStringLiteral("BoardsServer.boardsRemoved"),          QStringLiteral("VDTService.vdtStateChanged"),
        QStringLiteral("VDTService.vdtPropertiesChanged"),     QStringLiteral("RoadNetwork.routePropertiesChanged"),
        QStringLiteral("RoadNetwork.networkChanged")};

// Great-circle distance, worked independently of the simulator's flat approximation.
double haversineM(double lon1, double lat1, double lon2, double lat2)
{
    const double r = 6371008.8, d = M_PI / 180.0;
    const double a = std::pow(std::sin((lat2 - lat1) * d / 2), 2)
                     + std::cos(lat1 * d) * std::cos(lat2 * d) * std::pow(std::sin((lon2 - lon1) * d / 2), 2);
    return 2 * r * std::asin(std::sqrt(a));
}

QVector<QPointF> parseGeometry(const QString &text, bool *ok)
{
    QVector<QPointF> pts;
    *ok = true;
    for (const QString &token : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = token.split(QLatin1Char(','));
        bool a = false, b = false;
        const double lon = parts.value(0).toDouble(&a), lat = parts.value(1).toDouble(&b);
        if (parts.size() != 2 || !a || !b) {
            *ok = false;
            return {};
        }
        pts.append(QPointF(lon, lat));
    }
    return pts;
}

bool isInt(const QJsonValue &v)
{
    return v.isDouble() && v.toDouble() == std::floor(v.toDouble());
}

bool isLonLat(const QJsonValue &v)
{
    const QJsonArray a = v.toArray();
    return v.isArray() && a.size() == 2 && a.at(0).isDouble() && a.at(1).isDouble()
           && std::abs(a.at(0).toDouble()) <= 180 && std::abs(a.at(1).toDouble()) <= 90;
}

enum Kind { Int, Bool, Text, Time };

// The fields of a record that are missing or not of their kind; empty when all are right.
QStringList badFields(const QJsonObject &record, std::initializer_list<QPair<const char *, Kind>> fields)
{
    QStringList bad;
    for (const auto &f : fields) {
        const QJsonValue v = record.value(QLatin1String(f.first));
        const bool ok = f.second == Int ? isInt(v)
                      : f.second == Bool ? v.isBool()
                      : f.second == Text ? v.isString()
                                         : QDateTime::fromString(v.toString(), Qt::ISODate).isValid();
        if (!ok)
            bad << QLatin1String(f.first);
    }
    return bad;
}

QJsonObject obj(std::initializer_list<QPair<QString, QJsonValue>> entries)
{
    QJsonObject o;
    for (const auto &e : entries)
        o.insert(e.first, e.second);
    return o;
}

} // namespace

class tst_SimServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void greetsWithAllowedCommands();
    void routeRecords();
    void detectorRecords();
    void boardRecords();
    void queries_data();
    void queries();
    void timelineAndWebUrl();
    void positions();
    void commandsComeBackAsNotifications_data();
    void commandsComeBackAsNotifications();
    void removeBoardsData();
    void refusedCommandChangesNothing();
    void subscribeFilters();
    void errorCodes_data();
    void errorCodes();
    void clientNotificationGetsNoAnswer();
    void oversizedFrameClosesTheConnection();
    void observerIsRefused_data();
    void observerIsRefused();
    void roleChangeFromTheEmbedder();
    void failedMethod();
    void delayedMethod();
    void droppedConnections();
    void networkChangeGivesNewHashes();
    void counters();
    void detectorSequence_data();
    void detectorSequence();
    void emergencySector();
    void loginAndLogout();
    void realTimeTicks();

private:
    QJsonValue result(const QString &method, const QJsonValue &params = QJsonValue::Undefined)
    {
        const QJsonObject a = client->call(method, params);
        if (!a.contains(QStringLiteral("result")))
            qWarning() << method << "answered" << a;
        return a.value(QStringLiteral("result"));
    }

    std::unique_ptr<Server> server;
    std::unique_ptr<RawClient> client;
};

void tst_SimServer::initTestCase()
{
    // Every test connects and disconnects; the server's log of that is noise here.
    QLoggingCategory::setFilterRules(QStringLiteral("prio.sim.info=false"));
}

void tst_SimServer::init()
{
    server = std::make_unique<Server>(TestNet::straightNetwork());
    server->setTickInterval(0);
    server->world().setChurnEnabled(false);
    QVERIFY(server->listen());
    QCOMPARE(server->url().host(), QStringLiteral("127.0.0.1"));
    client = std::make_unique<RawClient>();
    QVERIFY(client->open(server->url()));
    QVERIFY(client->waitNotification(QStringLiteral("Session.allowedCommandsChanged")));
}

void tst_SimServer::cleanup()
{
    client.reset();
    server.reset();
}

void tst_SimServer::greetsWithAllowedCommands()
{
    // Sent unasked, before anything else, to every client that connects.
    QCOMPARE(client->frames.size(), 1);
    const QJsonObject n = client->notifications.first();
    QCOMPARE(n.value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
    QVERIFY(!n.contains(QStringLiteral("id")));
    const QJsonObject p = n.value(QStringLiteral("params")).toObject();
    QCOMPARE(p.value(QStringLiteral("role")).toString(), QStringLiteral("operator"));
    const QJsonArray allowed = p.value(QStringLiteral("allowed_commands")).toArray();
    for (const QString &m : WriteMethods)
        QVERIFY2(allowed.contains(m), qPrintable(m));
    QVERIFY(allowed.contains(QStringLiteral("RoadNetwork.getRouteList")));
}

void tst_SimServer::routeRecords()
{
    const QJsonArray list = result(QStringLiteral("RoadNetwork.getRouteList")).toArray();
    QCOMPARE(list.size(), 2);
    for (const QJsonValue &v : list) {
        const QJsonObject r = v.toObject();
        QCOMPARE(badFields(r, {{"id", Int}, {"locked", Bool}, {"description", Text}, {"name", Text}}), QStringList());
        QVERIFY(!r.value(QStringLiteral("geometry_hash")).toString().isEmpty());
    }
    const QJsonObject r1 = list.at(0).toObject();
    QCOMPARE(r1.value(QStringLiteral("id")).toInt(), 1);
    QCOMPARE(r1.value(QStringLiteral("description")).toString(), QStringLiteral("Route 1: West - East"));

    const QJsonObject geo =
            result(QStringLiteral("RoadNetwork.getRouteGeometry"), obj({{QStringLiteral("id"), 1}}))
                    .toObject();
    QCOMPARE(geo.value(QStringLiteral("geometry_hash")), r1.value(QStringLiteral("geometry_hash")));
    bool ok = false;
    const QVector<QPointF> pts = parseGeometry(geo.value(QStringLiteral("geometry")).toString(), &ok);
    QVERIFY(ok);
    QCOMPARE(pts.size(), 3);
    // Laid 1000 m due east of (37.6, 55.75).
    QCOMPARE(pts.first(), QPointF(37.6, 55.75));
    QCOMPARE(pts.last().y(), 55.75);
    QVERIFY(std::abs(haversineM(37.6, 55.75, pts.last().x(), pts.last().y()) - 1000.0) < 1.0);
}

void tst_SimServer::detectorRecords()
{
    const QJsonArray list =
            result(QStringLiteral("VDTService.getVdtList")).toArray();
    QCOMPARE(list.size(), 3);
    for (const QJsonValue &v : list) {
        const QJsonObject d = v.toObject();
        QCOMPARE(badFields(d, {{"id", Int}, {"weight", Int}, {"tl_number", Int}, {"locked", Bool}, {"name", Text}}),
                 QStringList());
        QVERIFY(!d.value(QStringLiteral("geometry_hash")).toString().isEmpty());
        QCOMPARE(d.value(QStringLiteral("state")).toString(), QStringLiteral("idle"));
        // A client uses a record that has "routes" or is an emergency detector; never both.
        QVERIFY(d.contains(QStringLiteral("routes")) != d.value(QStringLiteral("emergency")).toBool());
    }
    QCOMPARE(list.at(0).toObject().value(QStringLiteral("routes")).toArray(), QJsonArray{1});

    const QJsonObject line = result(QStringLiteral("VDTService.getVdtGeometry"), obj({{QStringLiteral("id"), 1}}))
                                     .toObject();
    QCOMPARE(line.value(QStringLiteral("geometry_hash")), list.at(0).toObject().value(QStringLiteral("geometry_hash")));
    QCOMPARE(line.value(QStringLiteral("weight")).toInt(), 2);
    QCOMPARE(line.value(QStringLiteral("checkin_length")).toDouble(), 40.0);
    bool ok = false;
    const QVector<QPointF> pts = parseGeometry(line.value(QStringLiteral("geometry")).toString(), &ok);
    QVERIFY(ok);
    QCOMPARE(pts.size(), 3);
    QVERIFY(std::abs(haversineM(pts.first().x(), pts.first().y(), pts.last().x(), pts.last().y()) - 80.0) < 0.5);

    const QJsonObject noCheckin = result(QStringLiteral("VDTService.getVdtGeometry"),
                                           obj({{QStringLiteral("id"), 2}}))
                                          .toObject();
    QVERIFY(noCheckin.contains(QStringLiteral("geometry")));
    QVERIFY(!noCheckin.contains(QStringLiteral("checkin_length")));

    const QJsonObject sector = result(QStringLiteral("VDTService.getVdtGeometry"), obj({{QStringLiteral("id"), 3}}))
                                       .toObject();
    QVERIFY(sector.value(QStringLiteral("emergency")).toBool());
    QVERIFY(!sector.contains(QStringLiteral("routes")));
    QVERIFY(!sector.contains(QStringLiteral("geometry")));
    QVERIFY(isLonLat(sector.value(QStringLiteral("pos"))));
    QCOMPARE(sector.value(QStringLiteral("radius")).toInt(), 100);
    QCOMPARE(sector.value(QStringLiteral("directionAngle")).toInt(), 180);
    QCOMPARE(sector.value(QStringLiteral("sweepAngle")).toInt(), 60);
    const QJsonArray pos = sector.value(QStringLiteral("pos")).toArray();
    QVERIFY(std::abs(haversineM(37.6, 55.75, pos.at(0).toDouble(), pos.at(1).toDouble()) - 700.0) < 0.5);
}

void tst_SimServer::boardRecords()
{
    const QJsonObject boards =
            result(QStringLiteral("BoardsServer.getBoards")).toObject();
    QCOMPARE(boards.keys(), (QStringList{"B1", "B2", "B3", "D1", "E1"}));
    for (const QString &name : boards.keys()) {
        const QJsonObject b = boards.value(name).toObject();
        QCOMPARE(badFields(b, {{"locked", Bool}, {"route_id", Int}, {"description", Text}, {"logged_in", Bool},
                               {"allow_emergency", Bool}, {"radius", Int}, {"sweep", Int}, {"last_connected_time", Time}}),
                 QStringList());
    }
    QCOMPARE(boards.value(QStringLiteral("B1")).toObject().value(QStringLiteral("route_id")).toInt(), 1);
    QCOMPARE(boards.value(QStringLiteral("B3")).toObject().value(QStringLiteral("logged_in")).toBool(), false);
    const QJsonObject e1 = boards.value(QStringLiteral("E1")).toObject();
    QCOMPARE(e1.value(QStringLiteral("allow_emergency")).toBool(), true);
    QCOMPARE(e1.value(QStringLiteral("radius")).toInt(), 150);
    QCOMPARE(e1.value(QStringLiteral("sweep")).toInt(), 60);

    const QJsonObject one = result(QStringLiteral("BoardsServer.getBoardData"), obj({{QStringLiteral("name"), "E1"}}))
                                    .toObject();
    QCOMPARE(one, e1);
}

void tst_SimServer::queries_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("timeline data 2") << "RoadNetwork.getTimelineData2" << obj({{"route_id", 1}})
                                     << QStringList{"route_id", "stops", "boards", "detectors", "time"};
    QTest::newRow("timeline data") << "RoadNetwork.getTimelineData" << obj({{"route_id", 1}})
                                   << QStringList{"route_id", "stops", "boards"};
    QTest::newRow("controller") << "TLService.getTlcProperties" << obj({{"id", 1}})
                                << QStringList{"id", "name", "mode", "detectors"};
    QTest::newRow("detector") << "VDTService.getVdtProperties" << obj({{"id", 1}})
                              << QStringList{"id", "name", "state", "boards", "geometry"};
}

void tst_SimServer::queries()
{
    QFETCH(QString, method);
    QFETCH(QJsonObject, params);
    QFETCH(QStringList, keys);
    const QJsonValue answer = result(method, params);
    QVERIFY(answer.isObject());
    for (const QString &k : keys)
        QVERIFY2(answer.toObject().contains(k), qPrintable(k));
    QCOMPARE(answer.toObject().value(keys.first()), params.value(params.keys().first()));
}

void tst_SimServer::timelineAndWebUrl()
{
    const QJsonObject timeline = result(QStringLiteral("RoadNetwork.getTimelineData2"), obj({{"route_id", 1}}))
                                         .toObject();
    // Route 1 has its stop at 500 m, detector 1 ends at 480 m and detector 2 at 200 m;
    // B1 is the one board on it.
    const QJsonArray stops = timeline.value(QStringLiteral("stops")).toArray();
    QCOMPARE(stops.size(), 1);
    QCOMPARE(stops.first().toObject().value(QStringLiteral("distance_m")).toDouble(), 500.0);
    QCOMPARE(stops.first().toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Middle"));
    QStringList detectorEnds;
    for (const QJsonValue &d : timeline.value(QStringLiteral("detectors")).toArray())
        detectorEnds << QString::number(d.toObject().value(QStringLiteral("distance_m")).toDouble());
    QCOMPARE(detectorEnds, (QStringList{"200", "480"}));
    const QJsonArray boards = timeline.value(QStringLiteral("boards")).toArray();
    QCOMPARE(boards.size(), 1);
    QCOMPARE(boards.first().toObject().value(QStringLiteral("board_name")).toString(), QStringLiteral("B1"));
    QVERIFY(boards.first().toObject().value(QStringLiteral("offset_s")).isDouble());

    const QJsonValue url = result(QStringLiteral("PserverApp.getWebUrl"));
    QVERIFY(url.isString());
    QCOMPARE(QUrl(url.toString()).scheme(), QStringLiteral("http"));
    QCOMPARE(QUrl(url.toString()).port(), int(server->port()));
}

void tst_SimServer::positions()
{
    QVERIFY(client->subscribe({QStringLiteral("BoardsServer.boardPosition")}));
    server->step(1.0);
    // B1, B2, E1 and D1 are logged in; B3 is not.
    QVERIFY(client->waitNotification(QStringLiteral("BoardsServer.boardPosition"), 4));
    QVERIFY(client->sync());
    QHash<QString, QJsonObject> byName;
    for (const QJsonObject &n : client->notificationsNamed(QStringLiteral("BoardsServer.boardPosition"))) {
        const QJsonObject p = n.value(QStringLiteral("params")).toObject();
        byName.insert(p.value(QStringLiteral("board_name")).toString(), p);
    }
    QCOMPARE(byName.size(), 4);
    QVERIFY(!byName.contains(QStringLiteral("B3")));
    for (const QJsonObject &p : byName) {
        QVERIFY(isLonLat(p.value(QStringLiteral("pos"))));
        QCOMPARE(badFields(p, {{"speed", Int}, {"weight", Int}}), QStringList());
        QVERIFY(p.value(QStringLiteral("speed")).toInt() >= 0);
        QVERIFY(p.value(QStringLiteral("offset_s")).isDouble());
        QCOMPARE(QDateTime::fromString(p.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs),
                 server->world().now());
    }
    // B1 drives east along route 1: matched onto the line (latitude 55.75), heading about
    // 90 degrees, about 10 m from the start after one second, the raw fix a few metres off.
    const QJsonObject b1 = byName.value(QStringLiteral("B1"));
    const QJsonArray rpos = b1.value(QStringLiteral("rpos")).toArray();
    const QJsonArray pos = b1.value(QStringLiteral("pos")).toArray();
    QCOMPARE(rpos.at(1).toDouble(), 55.75);
    const double travelled = haversineM(37.6, 55.75, rpos.at(0).toDouble(), rpos.at(1).toDouble());
    QVERIFY2(travelled > 7.0 && travelled < 13.0, qPrintable(QString::number(travelled)));
    QVERIFY(haversineM(pos.at(0).toDouble(), pos.at(1).toDouble(), rpos.at(0).toDouble(), rpos.at(1).toDouble()) <= 4.5);
    QVERIFY(std::abs(b1.value(QStringLiteral("course")).toInt() - 90) <= 2);
    // E1 drives route 1 without being assigned to it: no route match. D1 stands still.
    QVERIFY(!byName.value(QStringLiteral("E1")).contains(QStringLiteral("rpos")));
    QVERIFY(!byName.value(QStringLiteral("D1")).contains(QStringLiteral("rpos")));
    QVERIFY(!byName.value(QStringLiteral("D1")).contains(QStringLiteral("course")));
    QCOMPARE(byName.value(QStringLiteral("D1")).value(QStringLiteral("speed")).toInt(), 0);
}

void tst_SimServer::commandsComeBackAsNotifications_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value");

    QTest::newRow("lock board") << "BoardsServer.changeBoardProperties"
                                << obj({{"board_name", "B2"}, {"props", obj({{"locked", true}})}})
                                << "BoardsServer.boardPropertiesChanged" << "locked" << QJsonValue(true);
    QTest::newRow("assign") << "RoadNetwork.assignBoardToRoute" << obj({{"board_name", "B2"}, {"route_id", 1}})
                            << "BoardsServer.boardPropertiesChanged" << "route_id" << QJsonValue(1);
    QTest::newRow("unassign") << "RoadNetwork.unassignBoard" << obj({{"board_name", "B2"}})
                              << "BoardsServer.boardPropertiesChanged" << "route_id" << QJsonValue(0);
    QTest::newRow("lock route") << "RoadNetwork.changeRouteProperties"
                                << obj({{"id", 2}, {"props", obj({{"locked", true}})}})
                                << "RoadNetwork.routePropertiesChanged" << "locked" << QJsonValue(true);
    QTest::newRow("rename detector: quotes, backslash, line break") << "VDTService.changeVdtProperties"
                                   << obj({{"id", 1}, {"props", obj({{"name", "Gate \"A\"\\1\n"}})}})
                                   << "VDTService.vdtPropertiesChanged" << "name" << QJsonValue("Gate \"A\"\\1\n");
    QTest::newRow("lock detector") << "VDTService.changeVdtProperties"
                                   << obj({{"id", 1}, {"props", obj({{"locked", true}})}})
                                   << "VDTService.vdtPropertiesChanged" << "locked" << QJsonValue(true);
    QTest::newRow("activate detector") << "VDTService.setVdtActive" << obj({{"id", 2}, {"activate", true}})
                                       << "VDTService.vdtPropertiesChanged" << "state" << QJsonValue("active");
    QTest::newRow("deactivate detector") << "VDTService.setVdtActive" << obj({{"id", 2}, {"activate", false}})
                                         << "VDTService.vdtPropertiesChanged" << "state" << QJsonValue("idle");
}

void tst_SimServer::commandsComeBackAsNotifications()
{
    QFETCH(QString, method);
    QFETCH(QJsonObject, params);
    QFETCH(QString, event);
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);

    QVERIFY(client->subscribe(AllEvents));
    const QJsonObject answer = client->call(method, params);
    QCOMPARE(answer.value(QStringLiteral("result")), QJsonValue(true));
    QVERIFY(client->waitNotification(event));
    const QJsonObject p = client->notificationsNamed(event).first().value(QStringLiteral("params")).toObject();
    QCOMPARE(p.value(key), value);
    // The notification carries the whole record, so that a client applying it loses nothing.
    if (event == QLatin1String("BoardsServer.boardPropertiesChanged")) {
        QCOMPARE(p.value(QStringLiteral("board_name")).toString(), params.value(QStringLiteral("board_name")).toString());
        for (const char *k : {"locked", "route_id", "description", "logged_in", "allow_emergency", "radius", "sweep"})
            QVERIFY2(p.contains(QLatin1String(k)), k);
        QCOMPARE(server->world().board(QStringLiteral("B2"))->routeId, p.value(QStringLiteral("route_id")).toInt());
    } else {
        QCOMPARE(p.value(QStringLiteral("id")), params.value(QStringLiteral("id")));
    }
    if (event == QLatin1String("VDTService.vdtPropertiesChanged")) {
        QVERIFY(p.contains(QStringLiteral("weight")));
        QVERIFY(p.contains(QStringLiteral("geometry_hash")));
        // What the list says afterwards agrees with the notification.
        const QJsonArray list = result(QStringLiteral("VDTService.getVdtList")).toArray();
        for (const QJsonValue &d : list) {
            if (d.toObject().value(QStringLiteral("id")) == p.value(QStringLiteral("id")))
                QCOMPARE(d.toObject().value(key), value);
        }
    }
}

void tst_SimServer::removeBoardsData()
{
    QVERIFY(client->subscribe({QStringLiteral("BoardsServer.boardsRemoved")}));
    const QJsonObject answer = client->call(QStringLiteral("BoardsServer.removeBoardsData"),
                                            QJsonArray{QJsonArray{"B2", "nobody", "D1"}});
    QCOMPARE(answer.value(QStringLiteral("result")).toArray(), (QJsonArray{"B2", "D1"}));
    QVERIFY(client->waitNotification(QStringLiteral("BoardsServer.boardsRemoved")));
    QCOMPARE(client->notificationsNamed(QStringLiteral("BoardsServer.boardsRemoved")).first().value(QStringLiteral("params")),
             QJsonValue(QJsonArray{"B2", "D1"}));
    QVERIFY(!server->world().board(QStringLiteral("B2")));
    QCOMPARE(client->call(QStringLiteral("BoardsServer.getBoardData"), obj({{"name", "B2"}}))
                     .value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt(),
             -32602);
    QCOMPARE(result(QStringLiteral("BoardsServer.getBoards")).toObject().keys(),
             (QStringList{"B1", "B3", "E1"}));

    // Removing nobody sends nothing.
    client->call(QStringLiteral("BoardsServer.removeBoardsData"), QJsonArray{QJsonArray{"nobody"}});
    QVERIFY(client->sync());
    QCOMPARE(client->notificationsNamed(QStringLiteral("BoardsServer.boardsRemoved")).size(), 1);
}

void tst_SimServer::refusedCommandChangesNothing()
{
    QVERIFY(client->subscribe(AllEvents));
    // One good property and one unknown: all or nothing.
    const QJsonObject answer = client->call(
            QStringLiteral("BoardsServer.changeBoardProperties"),
            obj({{"board_name", "B1"}, {"props", obj({{"locked", true}, {"colour", "red"}})}}));
    QCOMPARE(answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt(), -32602);
    QVERIFY(answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString().contains(QStringLiteral("colour")));
    QVERIFY(client->sync());
    QVERIFY(!server->world().board(QStringLiteral("B1"))->locked);
    QVERIFY(client->notificationsNamed(QStringLiteral("BoardsServer.boardPropertiesChanged")).isEmpty());
}

void tst_SimServer::subscribeFilters()
{
    RawClient other;
    QVERIFY(other.open(server->url()));
    const QJsonObject answer = client->call(
            QStringLiteral("subscribe"),
            obj({{"events", QJsonArray{"RoadNetwork.routePropertiesChanged", "No.suchEvent"}}}));
    // Names the server never sends are left out of what it reports as subscribed.
    QCOMPARE(answer.value(QStringLiteral("result")).toArray(), QJsonArray{"RoadNetwork.routePropertiesChanged"});
    QVERIFY(other.subscribe({QStringLiteral("BoardsServer.boardPropertiesChanged")}));

    client->call(QStringLiteral("RoadNetwork.changeRouteProperties"), obj({{"id", 1}, {"props", obj({{"locked", true}})}}));
    other.call(QStringLiteral("BoardsServer.changeBoardProperties"),
               obj({{"board_name", "B1"}, {"props", obj({{"locked", true}})}}));
    QVERIFY(client->sync());
    QVERIFY(other.sync());
    QCOMPARE(client->notificationsNamed(QStringLiteral("RoadNetwork.routePropertiesChanged")).size(), 1);
    QCOMPARE(client->notificationsNamed(QStringLiteral("BoardsServer.boardPropertiesChanged")).size(), 0);
    QCOMPARE(other.notificationsNamed(QStringLiteral("RoadNetwork.routePropertiesChanged")).size(), 0);
    QCOMPARE(other.notificationsNamed(QStringLiteral("BoardsServer.boardPropertiesChanged")).size(), 1);

    // Subscriptions add up; positions go only to who asked for them.
    const QJsonObject more = client->call(QStringLiteral("subscribe"),
                                          obj({{"events", QJsonArray{"BoardsServer.boardPosition"}}}));
    QCOMPARE(more.value(QStringLiteral("result")).toArray(),
             (QJsonArray{"BoardsServer.boardPosition", "RoadNetwork.routePropertiesChanged"}));
    server->step(1.0);
    QVERIFY(client->sync());
    QVERIFY(other.sync());
    QCOMPARE(client->notificationsNamed(QStringLiteral("BoardsServer.boardPosition")).size(), 4);
    QCOMPARE(other.notificationsNamed(QStringLiteral("BoardsServer.boardPosition")).size(), 0);
}

void tst_SimServer::errorCodes_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<int>("code");
    QTest::addColumn<QJsonValue>("id");

    const QJsonValue null(QJsonValue::Null);
    QTest::newRow("not JSON") << "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":" << -32700 << null;
    QTest::newRow("batch") << "[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"PserverApp.getWebUrl\"}]" << -32600 << null;
    QTest::newRow("version 1.0") << "{\"jsonrpc\":\"1.0\",\"id\":3,\"method\":\"PserverApp.getWebUrl\"}" << -32600
                                 << QJsonValue(3);
    QTest::newRow("method a number") << "{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":5}" << -32600 << QJsonValue(4);
    QTest::newRow("params a string")
            << "{\"jsonrpc\":\"2.0\",\"id\":5,\"method\":\"PserverApp.getWebUrl\",\"params\":\"x\"}" << -32600
            << QJsonValue(5);
    QTest::newRow("id an object") << "{\"jsonrpc\":\"2.0\",\"id\":{},\"method\":\"PserverApp.getWebUrl\"}" << -32600
                                  << null;
    QTest::newRow("unknown method") << "{\"jsonrpc\":\"2.0\",\"id\":\"abc\",\"method\":\"RoadNetwork.fly\"}" << -32601
                                    << QJsonValue("abc");
    QTest::newRow("geometry without id")
            << "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"RoadNetwork.getRouteGeometry\",\"params\":{}}" << -32602
            << QJsonValue(7);
    QTest::newRow("geometry id a string")
            << "{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"RoadNetwork.getRouteGeometry\",\"params\":{\"id\":\"1\"}}"
            << -32602 << QJsonValue(8);
    QTest::newRow("geometry id 1.5")
            << "{\"jsonrpc\":\"2.0\",\"id\":9,\"method\":\"RoadNetwork.getRouteGeometry\",\"params\":{\"id\":1.5}}"
            << -32602 << QJsonValue(9);
    QTest::newRow("unknown route")
            << "{\"jsonrpc\":\"2.0\",\"id\":10,\"method\":\"RoadNetwork.getRouteGeometry\",\"params\":{\"id\":99}}"
            << -32602 << QJsonValue(10);
    QTest::newRow("params a list for a map")
            << "{\"jsonrpc\":\"2.0\",\"id\":11,\"method\":\"VDTService.getVdtGeometry\",\"params\":[1]}" << -32602
            << QJsonValue(11);
    QTest::newRow("remove with a flat list")
            << "{\"jsonrpc\":\"2.0\",\"id\":12,\"method\":\"BoardsServer.removeBoardsData\",\"params\":[\"B1\"]}"
            << -32602 << QJsonValue(12);
    QTest::newRow("activate not a bool")
            << "{\"jsonrpc\":\"2.0\",\"id\":13,\"method\":\"VDTService.setVdtActive\",\"params\":{\"id\":1,\"active\":true}}"
            << -32602 << QJsonValue(13);
    QTest::newRow("read-only property")
            << "{\"jsonrpc\":\"2.0\",\"id\":14,\"method\":\"BoardsServer.changeBoardProperties\",\"params\":"
               "{\"board_name\":\"B1\",\"props\":{\"logged_in\":false}}}"
            << -32602 << QJsonValue(14);
    QTest::newRow("ill-typed property")
            << "{\"jsonrpc\":\"2.0\",\"id\":15,\"method\":\"RoadNetwork.changeRouteProperties\",\"params\":"
               "{\"id\":1,\"props\":{\"locked\":\"yes\"}}}"
            << -32602 << QJsonValue(15);
    QTest::newRow("assign to an unknown route")
            << "{\"jsonrpc\":\"2.0\",\"id\":16,\"method\":\"RoadNetwork.assignBoardToRoute\",\"params\":"
               "{\"board_name\":\"B1\",\"route_id\":42}}"
            << -32602 << QJsonValue(16);
    QTest::newRow("unknown role")
            << "{\"jsonrpc\":\"2.0\",\"id\":17,\"method\":\"Session.setRole\",\"params\":{\"role\":\"admin\"}}"
            << -32602 << QJsonValue(17);
    QTest::newRow("subscribe without list")
            << "{\"jsonrpc\":\"2.0\",\"id\":18,\"method\":\"subscribe\",\"params\":{\"events\":\"all\"}}" << -32602
            << QJsonValue(18);
}

void tst_SimServer::errorCodes()
{
    QFETCH(QString, frame);
    QFETCH(int, code);
    QFETCH(QJsonValue, id);

    client->sendRaw(frame);
    QTRY_COMPARE(client->answers.size(), 1);
    const QJsonObject answer = client->answers.first();
    QCOMPARE(answer.value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
    QCOMPARE(answer.value(QStringLiteral("id")), id);
    QVERIFY(!answer.contains(QStringLiteral("result")));
    const QJsonObject error = answer.value(QStringLiteral("error")).toObject();
    QCOMPARE(error.value(QStringLiteral("code")).toInt(), code);
    QVERIFY(!error.value(QStringLiteral("message")).toString().isEmpty());
    // The connection survives every one of them.
    QVERIFY(client->sync());
}

void tst_SimServer::clientNotificationGetsNoAnswer()
{
    QVERIFY(client->subscribe({QStringLiteral("RoadNetwork.routePropertiesChanged")}));
    client->sendRaw(QStringLiteral("{\"jsonrpc\":\"2.0\",\"method\":\"RoadNetwork.changeRouteProperties\","
                                   "\"params\":{\"id\":2,\"props\":{\"locked\":true}}}"));
    client->sendRaw(QStringLiteral("{\"jsonrpc\":\"2.0\",\"method\":\"RoadNetwork.fly\"}"));
    QVERIFY(client->sync());
    QVERIFY(client->answers.isEmpty());
    QVERIFY(server->world().route(2)->locked);
    QCOMPARE(client->notificationsNamed(QStringLiteral("RoadNetwork.routePropertiesChanged")).size(), 1);
}

void tst_SimServer::oversizedFrameClosesTheConnection()
{
    QSignalSpy gone(&client->socket, &QWebSocket::disconnected);
    const QString padding(int(Server::MaxRequestBytes), QLatin1Char('x'));
    client->sendRaw(QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"%1\"}").arg(padding));
    QTRY_COMPARE(gone.size(), 1);
    QTRY_COMPARE(server->clientCount(), 0);
    QVERIFY(client->answers.isEmpty());
}

void tst_SimServer::observerIsRefused_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonValue>("params");
    QTest::newRow("assign") << WriteMethods.at(0) << QJsonValue(obj({{"board_name", "B1"}, {"route_id", 2}}));
    QTest::newRow("unassign") << WriteMethods.at(1) << QJsonValue(obj({{"board_name", "B1"}}));
    QTest::newRow("board properties")
            << WriteMethods.at(2) << QJsonValue(obj({{"board_name", "B1"}, {"props", obj({{"locked", true}})}}));
    QTest::newRow("route properties") << WriteMethods.at(3) << QJsonValue(obj({{"id", 1}, {"props", obj({{"locked", true}})}}));
    QTest::newRow("detector properties")
            << WriteMethods.at(4) << QJsonValue(obj({{"id", 1}, {"props", obj({{"locked", true}})}}));
    QTest::newRow("activate detector") << WriteMethods.at(5) << QJsonValue(obj({{"id", 1}, {"activate", true}}));
    QTest::newRow("controller properties")
            << WriteMethods.at(6) << QJsonValue(obj({{"id", 1}, {"props", obj({{"mode", "flash"}})}}));
    QTest::newRow("remove boards") << WriteMethods.at(7) << QJsonValue(QJsonArray{QJsonArray{"B1"}});
}

void tst_SimServer::observerIsRefused()
{
    QFETCH(QString, method);
    QFETCH(QJsonValue, params);

    const QJsonObject role = client->call(QStringLiteral("Session.setRole"), obj({{"role", "observer"}}));
    QCOMPARE(role.value(QStringLiteral("result")).toObject().value(QStringLiteral("role")).toString(), QStringLiteral("observer"));
    QVERIFY(client->waitNotification(QStringLiteral("Session.allowedCommandsChanged"), 2));
    const QJsonObject changed = client->notificationsNamed(QStringLiteral("Session.allowedCommandsChanged")).last();
    const QJsonObject p = changed.value(QStringLiteral("params")).toObject();
    QCOMPARE(p.value(QStringLiteral("role")).toString(), QStringLiteral("observer"));
    QVERIFY(!p.value(QStringLiteral("allowed_commands")).toArray().contains(method));
    QVERIFY(p.value(QStringLiteral("allowed_commands")).toArray().contains(QStringLiteral("BoardsServer.getBoards")));

    const QJsonObject before = server->world().boardList();
    const QJsonObject refused = client->call(method, params);
    const QJsonObject error = refused.value(QStringLiteral("error")).toObject();
    QCOMPARE(error.value(QStringLiteral("code")).toInt(), -32000);
    QCOMPARE(error.value(QStringLiteral("message")).toString(), QStringLiteral("Permission denied"));
    QCOMPARE(server->world().boardList(), before);
    QVERIFY(!server->world().route(1)->locked);
    QVERIFY(!server->world().detector(1)->locked);
    // Reading is still allowed.
    QVERIFY(client->call(QStringLiteral("RoadNetwork.getRouteList")).contains(QStringLiteral("result")));
}

void tst_SimServer::roleChangeFromTheEmbedder()
{
    RawClient other;
    QVERIFY(other.open(server->url()));
    QVERIFY(other.waitNotification(QStringLiteral("Session.allowedCommandsChanged")));
    QVERIFY(server->setRole(QStringLiteral("observer")));
    QVERIFY(client->waitNotification(QStringLiteral("Session.allowedCommandsChanged"), 2));
    QVERIFY(other.waitNotification(QStringLiteral("Session.allowedCommandsChanged"), 2));
    QCOMPARE(client->notifications.last().value(QStringLiteral("params")).toObject().value(QStringLiteral("role")).toString(),
             QStringLiteral("observer"));
    QCOMPARE(server->clientRoles(), (QStringList{"observer", "observer"}));

    // The same role again changes nothing and says nothing; an unknown one is refused.
    QVERIFY(server->setRole(QStringLiteral("observer")));
    QVERIFY(!server->setRole(QStringLiteral("admin")));
    QVERIFY(client->sync());
    QCOMPARE(client->notificationsNamed(QStringLiteral("Session.allowedCommandsChanged")).size(), 2);

    // New clients get the new role.
    RawClient late;
    QVERIFY(late.open(server->url()));
    QVERIFY(late.waitNotification(QStringLiteral("Session.allowedCommandsChanged")));
    QCOMPARE(late.notifications.first().value(QStringLiteral("params")).toObject().value(QStringLiteral("role")).toString(),
             QStringLiteral("observer"));
}

void tst_SimServer::failedMethod()
{
    server->failMethod(QStringLiteral("RoadNetwork.getRouteList"), -32000, QStringLiteral("Permission denied"));
    server->failMethod(QStringLiteral("PserverApp.getWebUrl"), 1234, QStringLiteral("web server down"));
    QJsonObject error = client->call(QStringLiteral("RoadNetwork.getRouteList")).value(QStringLiteral("error")).toObject();
    QCOMPARE(error.value(QStringLiteral("code")).toInt(), -32000);
    error = client->call(QStringLiteral("PserverApp.getWebUrl")).value(QStringLiteral("error")).toObject();
    QCOMPARE(error.value(QStringLiteral("code")).toInt(), 1234);
    QCOMPARE(error.value(QStringLiteral("message")).toString(), QStringLiteral("web server down"));
    // Other methods are untouched.
    QVERIFY(client->call(QStringLiteral("VDTService.getVdtList")).contains(QStringLiteral("result")));

    server->clearFaults();
    QVERIFY(client->call(QStringLiteral("RoadNetwork.getRouteList")).contains(QStringLiteral("result")));
}

void tst_SimServer::delayedMethod()
{
    server->delayMethod(QStringLiteral("BoardsServer.getBoards"), 300);
    QSignalSpy handled(server.get(), &Server::requestHandled);
    const qint64 slow = client->send(QStringLiteral("BoardsServer.getBoards"));
    const qint64 fast = client->send(QStringLiteral("VDTService.getVdtList"));
    // The later request overtakes the delayed one.
    QTRY_COMPARE(client->answers.size(), 2);
    QCOMPARE(client->answers.at(0).value(QStringLiteral("id")).toInt(), int(fast));
    QCOMPARE(client->answers.at(1).value(QStringLiteral("id")).toInt(), int(slow));
    QCOMPARE(handled.size(), 2);
    QCOMPARE(handled.at(0).at(0).toString(), QStringLiteral("VDTService.getVdtList"));
}

void tst_SimServer::droppedConnections()
{
    QSignalSpy gone(&client->socket, &QWebSocket::disconnected);
    QSignalSpy serverSaw(server.get(), &Server::clientDisconnected);
    QCOMPARE(server->clientCount(), 1);
    server->dropConnections();
    QTRY_COMPARE(gone.size(), 1);
    QTRY_COMPARE(server->clientCount(), 0);
    QCOMPARE(serverSaw.size(), 1);
    // The server goes on listening: a client may come back.
    RawClient again;
    QVERIFY(again.open(server->url()));
    QVERIFY(again.call(QStringLiteral("RoadNetwork.getRouteList")).contains(QStringLiteral("result")));
}

void tst_SimServer::networkChangeGivesNewHashes()
{
    // The geometry hashes of the routes (or detectors), in list order.
    const auto hashes = [this](const char *list) {
        QStringList out;
        for (const QJsonValue &v : result(QLatin1String(list)).toArray())
            out << v.toObject().value(QStringLiteral("geometry_hash")).toString();
        return out;
    };
    const auto routeGeometry = [this] { return result(QStringLiteral("RoadNetwork.getRouteGeometry"), obj({{"id", 1}})).toObject(); };
    QVERIFY(client->subscribe({QStringLiteral("RoadNetwork.networkChanged")}));
    const QStringList before = hashes("RoadNetwork.getRouteList");
    const QStringList detectorsBefore = hashes("VDTService.getVdtList");
    const QString oldGeometry = routeGeometry().value(QStringLiteral("geometry")).toString();

    const NetworkChange change = server->changeNetwork(1, 1);
    QCOMPARE(change.routes, QVector<int>{1});
    QCOMPARE(change.detectors, QVector<int>{1});
    QVERIFY(client->waitNotification(QStringLiteral("RoadNetwork.networkChanged")));

    const QStringList after = hashes("RoadNetwork.getRouteList");
    QVERIFY(after.at(0) != before.at(0));
    QCOMPARE(after.at(1), before.at(1));
    const QJsonObject geo = routeGeometry();
    QVERIFY(geo.value(QStringLiteral("geometry")).toString() != oldGeometry);
    QCOMPARE(geo.value(QStringLiteral("geometry_hash")).toString(), after.at(0));
    const QStringList detectorsAfter = hashes("VDTService.getVdtList");
    QVERIFY(detectorsAfter.at(0) != detectorsBefore.at(0));
    QCOMPARE(detectorsAfter.mid(1), detectorsBefore.mid(1));

    // Changes go round the routes; route 1 changes again on the third, to a geometry
    // (and a hash) it never had.
    server->changeNetwork(1, 0);
    server->changeNetwork(1, 0);
    const QStringList third = hashes("RoadNetwork.getRouteList");
    QVERIFY(third.at(0) != before.at(0) && third.at(0) != after.at(0));
    QVERIFY(third.at(1) != before.at(1));
    QTRY_COMPARE(client->notificationsNamed(QStringLiteral("RoadNetwork.networkChanged")).size(), 3);
}

void tst_SimServer::counters()
{
    client->call(QStringLiteral("RoadNetwork.getRouteList"));
    client->call(QStringLiteral("RoadNetwork.getRouteList"));
    client->call(QStringLiteral("RoadNetwork.fly"));
    QCOMPARE(server->requestCount(QStringLiteral("RoadNetwork.getRouteList")), 2);
    QCOMPARE(server->requestCount(QStringLiteral("RoadNetwork.getRouteGeometry")), 0);
    QCOMPARE(server->requestCount(QStringLiteral("RoadNetwork.fly")), 1);
    QCOMPARE(server->totalRequestCount(), 3);
    server->resetCounters();
    QCOMPARE(server->requestCount(QStringLiteral("RoadNetwork.getRouteList")), 0);
    QCOMPARE(server->totalRequestCount(), 0);
    client->call(QStringLiteral("RoadNetwork.getRouteGeometry"), obj({{"id", 2}}));
    QCOMPARE(server->requestCount(QStringLiteral("RoadNetwork.getRouteGeometry")), 1);
}

void tst_SimServer::detectorSequence_data()
{
    QTest::addColumn<int>("detector");
    QTest::addColumn<double>("from");
    QTest::addColumn<QStringList>("states");
    // Detector 1: zone 400..480 m with its check-in point at 440 m.
    QTest::newRow("with check-in") << 1 << 370.0 << QStringList{"inside", "active", "idle"};
    // Detector 2: zone 150..200 m without a check-in point: it triggers on entry.
    QTest::newRow("without check-in") << 2 << 120.0 << QStringList{"active", "idle"};
}

void tst_SimServer::detectorSequence()
{
    QFETCH(int, detector);
    QFETCH(double, from);
    QFETCH(QStringList, states);

    QVERIFY(client->subscribe({QStringLiteral("VDTService.vdtStateChanged")}));
    QVERIFY(server->world().placeBoard(QStringLiteral("B1"), 1, from));
    QStringList seen;
    QStringList detectorStates;
    // 10 m/s give or take 15 %: the board is through the zone well within a minute.
    for (int second = 0; second < 60 && seen.size() < states.size(); ++second) {
        server->step(1.0);
        QVERIFY(client->sync());
        seen.clear();
        for (const QJsonObject &n : client->notificationsNamed(QStringLiteral("VDTService.vdtStateChanged"))) {
            const QJsonObject p = n.value(QStringLiteral("params")).toObject();
            if (p.value(QStringLiteral("dt")).toInt() == detector && p.value(QStringLiteral("board_name")).toString() == "B1")
                seen.append(p.value(QStringLiteral("state")).toString());
        }
        const QString now = server->world().detectorState(*server->world().detector(detector));
        if (detectorStates.isEmpty() || detectorStates.last() != now)
            detectorStates.append(now);
    }
    QCOMPARE(seen, states);
    // The detector's own state followed the board, and no other board triggered an
    // ordinary detector: E1 drives the same road, but is not assigned to the route.
    QCOMPARE(detectorStates.last(), QStringLiteral("idle"));
    QVERIFY(detectorStates.contains(QStringLiteral("active")));
    for (const QJsonObject &n : client->notificationsNamed(QStringLiteral("VDTService.vdtStateChanged"))) {
        const QJsonObject p = n.value(QStringLiteral("params")).toObject();
        if (p.value(QStringLiteral("dt")).toInt() != 3)
            QCOMPARE(p.value(QStringLiteral("board_name")).toString(), QStringLiteral("B1"));
    }
}

void tst_SimServer::emergencySector()
{
    // E1 drives east from 550 m towards the sector at 700 m, which opens west, 100 m deep:
    // inside from 600 m, active within 50 m, idle once past the detector.
    QVERIFY(client->subscribe({QStringLiteral("VDTService.vdtStateChanged")}));
    QStringList seen;
    for (int second = 0; second < 40 && !seen.contains(QStringLiteral("idle")); ++second) {
        server->step(1.0);
        QVERIFY(client->sync());
        seen.clear();
        for (const QJsonObject &n : client->notificationsNamed(QStringLiteral("VDTService.vdtStateChanged"))) {
            const QJsonObject p = n.value(QStringLiteral("params")).toObject();
            if (p.value(QStringLiteral("dt")).toInt() != 3)
                continue; // B1 passes the ordinary detectors meanwhile
            // Only a board that may ask for emergency priority triggers the sector.
            QCOMPARE(p.value(QStringLiteral("board_name")).toString(), QStringLiteral("E1"));
            seen.append(p.value(QStringLiteral("state")).toString());
        }
    }
    QCOMPARE(seen, (QStringList{"inside", "active", "idle"}));
}

void tst_SimServer::loginAndLogout()
{
    QVERIFY(client->subscribe({QStringLiteral("BoardsServer.boardLoggedIn"), QStringLiteral("BoardsServer.boardDisconnected"),
                               QStringLiteral("BoardsServer.boardPosition")}));
    QVERIFY(server->world().setBoardLoggedIn(QStringLiteral("B3"), true));
    QVERIFY(server->world().setBoardLoggedIn(QStringLiteral("B1"), false));
    server->flushNotifications();
    server->step(1.0);
    QVERIFY(client->sync());
    const auto in = client->notificationsNamed(QStringLiteral("BoardsServer.boardLoggedIn"));
    const auto out = client->notificationsNamed(QStringLiteral("BoardsServer.boardDisconnected"));
    QCOMPARE(in.size(), 1);
    QCOMPARE(out.size(), 1);
    QCOMPARE(in.first().value(QStringLiteral("params")).toObject(), obj({{"board_name", "B3"}}));
    QCOMPARE(out.first().value(QStringLiteral("params")).toObject(), obj({{"board_name", "B1"}}));
    QStringList positioned;
    for (const QJsonObject &n : client->notificationsNamed(QStringLiteral("BoardsServer.boardPosition")))
        positioned.append(n.value(QStringLiteral("params")).toObject().value(QStringLiteral("board_name")).toString());
    positioned.sort();
    QCOMPARE(positioned, (QStringList{"B2", "B3", "D1", "E1"}));
    const QJsonObject b1 = result(QStringLiteral("BoardsServer.getBoardData"), obj({{"name", "B1"}})).toObject();
    QCOMPARE(b1.value(QStringLiteral("logged_in")).toBool(), false);
}

void tst_SimServer::realTimeTicks()
{
    QVERIFY(client->subscribe({QStringLiteral("BoardsServer.boardPosition")}));
    QCOMPARE(server->world().elapsedSeconds(), 0.0);
    server->setTickInterval(20);
    // Each tick advances the world by the time that passed and sends every board's position.
    QTRY_VERIFY(client->notificationsNamed(QStringLiteral("BoardsServer.boardPosition")).size() >= 8);
    QVERIFY(server->world().elapsedSeconds() > 0.0);
    server->setTickInterval(0);
    const double frozen = server->world().elapsedSeconds();
    QVERIFY(client->sync());
    QVERIFY(client->sync());
    QCOMPARE(server->world().elapsedSeconds(), frozen);
}

QTEST_GUILESS_MAIN(tst_SimServer)
#include "tst_simserver.moc"
