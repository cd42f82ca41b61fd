// The simulator's networks and recordings: the made-up city, GTFS feeds and the geometry
// text; a recording answers as the live world did at each of its moments, and a broken one
// is refused with the line and the reason.

#include "generator.h"
#include "gtfs.h"
#include "recorder.h"
#include "recording.h"
#include "server.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace Sim;

namespace {

QString text(const QJsonValue &v)
{
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(a.mid(1, a.size() - 2));
}

// Everything a client can learn about a network, as one text.
QString fingerprint(const Network &net)
{
    const World world(net, QDateTime(QDate(2024, 5, 1), QTime(8, 0), Qt::UTC));
    QString out = text(world.routeList()) + text(world.detectorList()) + text(world.boardList());
    for (const Route &r : net.routes)
        out += r.geometry;
    for (const Detector &d : net.detectors)
        out += text(world.detectorProperties(d));
    return out;
}

// A small feed written by hand, with the quirks feeds have: a byte-order mark, CRLF line
// ends, columns in any order, quoted fields holding commas and doubled quotes, blanks
// around fields, shape points out of sequence and one repeated, a station and a node among
// the stops, and two shapes for one route direction. R1 "5" direction 0: trips T1, T2 on
// shape S1 (three points east), T3 on S2; direction 1: T4 on S3, the way back; R2 (no short
// name): T5 on S4, no direction.
const QMap<QString, QByteArray> GoodFeed{
        {"routes.txt", "\xEF\xBB\xBFroute_long_name,route_type, route_id ,route_short_name,agency_id\r\n"
                       "\"Main Street, North - Harbour\",3,R1,  \"5\"  ,A\r\n\"Ring \"\"Express\"\"\",0,R2,,A\r\n"},
        {"trips.txt", "shape_id,trip_headsign,direction_id,trip_id,route_id,service_id\r\nS1,Harbour,0,T1,R1,WD\r\n"
                      "S1,Harbour,0,T2,R1,WD\r\nS2,\"Harbour, via Depot\",0,T3,R1,WD\r\nS3,North,1,T4,R1,WD\r\nS4,,,T5,R2,WD\r\n\r\n"},
        {"shapes.txt", "shape_pt_sequence,shape_id,shape_pt_lon,shape_pt_lat,shape_dist_traveled\r\n2, S1 ,37.61,55.75,\r\n"
                       "1,S1,37.60,55.75,\r\n3,S1,37.62,55.75,\r\n3,S1,37.62,55.75,\r\n1,S2,37.60,55.75,\r\n2,S2,37.60,55.76,\r\n"
                       "3,S2,37.62,55.76,\r\n1,S3,37.62,55.7501,\r\n2,S3,37.60,55.7501,\r\n10,S4,37.58,55.74,\r\n20,S4,37.58,55.73,\r\n"},
        {"stops.txt", "stop_lon,stop_id,stop_name,stop_lat,location_type,parent_station\r\n37.6102,P1,\"Harbour, Pier 1\",55.7501,0,ST\r\n"
                      "37.6150,ST,Harbour station,55.7500,1,\r\n37.6180,P2,Lighthouse,55.7502,,ST\r\n,N1,Node,,3,ST\r\n"}};

// The good feed with one file replaced (an empty text leaves it out), read.
GtfsResult readFeed(const QString &file, const QByteArray &content, int sized)
{
    QTemporaryDir dir;
    QMap<QString, QByteArray> feed = GoodFeed;
    feed[file] = content.isNull() ? feed.value(file) : content;
    for (auto it = feed.cbegin(); it != feed.cend(); ++it) {
        QFile out(dir.filePath(it.key()));
        if (!it->isEmpty() && (!out.open(QIODevice::WriteOnly) || out.write(*it) != it->size()))
            return GtfsResult();
    }
    PopulateOptions o;
    o.detectors = o.emergencyDetectors = o.boards = sized;
    return loadGtfsFeed(dir.path(), o);
}

} // namespace

class tst_SimNetwork : public QObject
{
    Q_OBJECT

private slots:
    void coordinateText_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 10.0 << "10";
        QTest::newRow("seven decimals, rounded") << 37.61234567 << "37.6123457";
        QTest::newRow("tiny negative is zero") << -0.00000001 << "0";
        QTest::newRow("no exponent") << 0.00001 << "0.00001";
        QTest::newRow("negative") << -122.5 << "-122.5";
    }
    void coordinateText()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(Geo::formatCoordinate(value), text);
        QCOMPARE(Geo::geometryString({QPointF(value, 1.5), QPointF(2, value)}), text + ",1.5 2," + text);
    }

    // The sizes asked for; the same options give the same city, another seed
    // another city. Ordinary detectors are 30..80 m zones on their route ending 5..15 m
    // before one of its stops; emergency sectors 80..250 m deep. Without routes there is
    // nowhere to put detectors.
    void generator()
    {
        GeneratorOptions o;
        o.routes = 3;
        o.detectors = 10;
        o.emergencyDetectors = 2;
        o.boards = 20;
        const Network net = generateNetwork(o);
        QCOMPARE(fingerprint(generateNetwork(o)), fingerprint(net));
        QSet<QString> names;
        for (const Board &b : net.boards)
            names.insert(b.name + (b.allowEmergency && b.radius > 0 && b.sweep > 0 ? "!" : ""));
        QCOMPARE(QString("%1 %2 %3").arg(net.routes.size()).arg(net.detectors.size()).arg(names.size()), "3 12 20");
        QVERIFY(std::any_of(names.cbegin(), names.cend(), [](const QString &n) { return n.endsWith('!'); }));
        for (const Detector &d : net.detectors) {
            const double length = d.endAlong - d.startAlong, tolerance = 1e-9;
            if (d.emergency) {
                QVERIFY(d.radius >= 80 && d.radius <= 250 && d.sweepAngle > 0 && d.sweepAngle < 180 && d.routes.isEmpty());
                continue;
            }
            const Route &r = net.routes.at(d.laidOnRoute - 1);
            double off = 1;
            r.line.project(d.line.last(), &off);
            QVERIFY(d.routes == QVector<int>{r.id} && off < 0.5 && length >= 30 - tolerance && length <= 80 + tolerance && d.checkinLength < length);
            QVERIFY(std::any_of(r.stops.cbegin(), r.stops.cend(), [&](const Stop &s) { return s.along - d.endAlong >= 5 - tolerance && s.along - d.endAlong <= 15 + tolerance; }));
        }
        o.seed = 2;
        QVERIFY(fingerprint(generateNetwork(o)) != fingerprint(net));
        o.routes = 0;
        const Network none = generateNetwork(o);
        QVERIFY(none.detectors.isEmpty() && none.boards.size() == 20 && none.boards.first().routeId == 0);
    }

    // A route per direction, from the shape most of its trips use; stops within a few metres
    // of the line, in order along it; the sizes left open follow the feed.
    void gtfsFeed()
    {
        const GtfsResult feed = readFeed("stops.txt", QByteArray(), 0);
        QVERIFY2(feed.ok, qPrintable(feed.error));
        QCOMPARE(QString("%1 %2 %3 %4").arg(feed.stats.routes).arg(feed.stats.trips).arg(feed.stats.shapePoints).arg(feed.stats.stops),
                 "2 5 11 2"); // the station and the node are not stops
        QStringList routes;
        for (const Route &r : feed.network.routes) {
            QStringList stops;
            for (const Stop &s : r.stops)
                stops << QStringLiteral("%1@%2").arg(s.name).arg(qRound(s.along / 10) * 10);
            routes << QStringLiteral("%1 %2 [%3] %4 %5 | %6").arg(r.id).arg(r.name, r.description, r.geometry, text(r.extra), stops.join(", "));
        }
        // P1 lies 11 m off the line 640 m along it, P2 22 m off at 1130 m.
        QCOMPARE(routes, (QStringList{
                R"(1 5 [Main Street, North - Harbour - Harbour] 37.6,55.75 37.61,55.75 37.62,55.75 )"
                R"({"direction_id":0,"gtfs_route_id":"R1","gtfs_shape_id":"S1","route_type":3} | Harbour, Pier 1@640, Lighthouse@1130)",
                R"(2 5 [Main Street, North - Harbour - North] 37.62,55.7501 37.6,55.7501 )"
                R"({"direction_id":1,"gtfs_route_id":"R1","gtfs_shape_id":"S3","route_type":3} | Lighthouse@130, Harbour, Pier 1@610)",
                R"(3 Ring "Express" [Ring "Express"] 37.58,55.74 37.58,55.73 )"
                R"({"direction_id":0,"gtfs_route_id":"R2","gtfs_shape_id":"S4","route_type":0} | )"}));
        QVERIFY(feed.network.detectors.isEmpty() && feed.network.boards.isEmpty());
        QCOMPARE(World(feed.network).routeList().at(0)["gtfs_shape_id"], "S1");
        const GtfsResult sized = readFeed("stops.txt", QByteArray(), -1);
        QCOMPARE(sized.network.boards.size(), 3 * GtfsBoardsPerRoute);
        QCOMPARE(sized.network.detectors.size(), 4 / GtfsStopsPerDetector + 1);
    }

    void gtfsMalformed_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        const QByteArray shapes = "shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\n";
        QTest::newRow("no shapes.txt") << "shapes.txt" << QByteArray("") << "shapes.txt is missing in ";
        QTest::newRow("no route_id column") << "routes.txt" << QByteArray("id,route_short_name\nR1,5\n") << "routes.txt has no route_id column";
        QTest::newRow("no routes") << "routes.txt" << QByteArray("route_id,route_short_name\r\n") << "routes.txt lists no route";
        QTest::newRow("direction 2") << "trips.txt" << QByteArray("route_id,trip_id,shape_id,direction_id\nR1,T1,S1,2\n")
                                     << "trips.txt line 2: direction_id must be 0 or 1";
        QTest::newRow("trips on missing shapes") << "trips.txt" << QByteArray("route_id,trip_id,shape_id\nR1,T1,S9\nR2,T2,S8\n")
                                                 << "no route of the feed has a usable shape";
        QTest::newRow("latitude beyond a pole") << "shapes.txt" << shapes + "S1,95,37.6,1\n" << "shapes.txt line 2: coordinates out of range";
        QTest::newRow("stop latitude not a number") << "stops.txt" << QByteArray("stop_id,stop_name,stop_lat,stop_lon\nP1,Pier,55.7x,37.6\n")
                                                    << "stops.txt line 2: stop_lat and stop_lon must be numbers";
        QTest::newRow("too many fields") << "stops.txt" << QByteArray("stop_id,stop_lat,stop_lon\nP1,55.75,37.6,extra\n")
                                         << "Too many columns in line 2 in file \"stops.txt\".";
    }
    void gtfsMalformed()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        const GtfsResult feed = readFeed(file, content, 0);
        QVERIFY2(!feed.ok && feed.error.startsWith(error), qPrintable(feed.error));
        QVERIFY(feed.network.routes.isEmpty());
    }

    // A live run with commands, log-ins, network changes and a withdrawn route, recorded from
    // a moment when a board is in a detector; the recording's answers at several moments,
    // reached forward and back, against the world's.
    void replayAnswersAsTheLiveWorldDid()
    {
        GeneratorOptions options;
        options.seed = 5;
        options.routes = 4;
        options.pointsPerRoute = 20;
        options.boards = 16;
        options.emergencyBoardShare = 0.2;
        Server server(generateNetwork(options));
        server.setTickInterval(0);
        World &world = server.world();
        const Network &net = world.network();
        // The geometry answer of a detector is a part of its properties answer, the old
        // timeline a part of the new one.
        QVector<QPair<QString, QJsonObject>> asked{{"RoadNetwork.getRouteList", {}}, {"VDTService.getVdtList", {}}, {"BoardsServer.getBoards", {}}};
        for (const Route &r : net.routes)
            asked << qMakePair(QString("RoadNetwork.getRouteGeometry"), QJsonObject{{"id", r.id}}) << qMakePair(QString("RoadNetwork.getTimelineData2"), QJsonObject{{"route_id", r.id}});
        for (const Detector &d : net.detectors)
            asked.append({"VDTService.getVdtProperties", {{"id", d.id}}});
        for (const TrafficLight &tl : net.trafficLights)
            asked.append({"TLService.getTlcProperties", {{"id", tl.number}}});
        const auto answers = [&](const auto &answer) {
            QStringList out;
            for (const auto &q : asked) {
                const Reply r = answer(q.first, q.second);
                const QJsonDocument doc = QJsonDocument::fromJson(r.text.toUtf8());
                const QJsonValue v = r.text.isNull() ? r.result : doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
                out << q.first + text(q.second) + " -> " + (r.isError() ? QString::number(r.code) + r.message : text(v));
            }
            // How far along its route a board is, a replay cannot tell.
            return out.join('\n').remove(QRegularExpression(",\"distance_m\":[0-9.]+(?=,\"logged_in\")"));
        };
        const Detector &zone = *std::find_if(net.detectors.cbegin(), net.detectors.cend(), [](const Detector &d) { return !d.emergency; });
        const QString board = net.boards.at(3).name, entering = net.boards.at(0).name;
        QVERIFY(world.assignBoard(entering, zone.laidOnRoute).isEmpty() && world.placeBoard(entering, zone.laidOnRoute, zone.startAlong - 2));
        server.step(1.0);
        QVERIFY(!world.detectorBoards(zone).isEmpty());

        QTemporaryDir dir;
        Recorder recorder;
        QVERIFY(recorder.open(dir.filePath("run.jsonl")));
        server.setRecorder(&recorder);
        const int route = net.routes.at(1).id;
        QMap<int, QString> live{{0, answers([&](const QString &m, const QJsonObject &p) { return callWorld(world, m, p); })}};
        for (int second = 1; second <= 40; ++second) {
            server.step(1.0);
            switch (second) {
            case 4: QVERIFY(world.changeBoardProperties(board, QJsonObject{{"locked", true}}).isEmpty()); break;
            case 9: QVERIFY(world.assignBoard(board, route).isEmpty()); break;
            case 14: QVERIFY(world.setDetectorActivated(net.detectors.at(0).id, true).isEmpty()); break;
            case 18: world.changeNetwork(1, 2); break;
            case 22: QVERIFY(world.setBoardLoggedIn(board, false)); break;
            case 25: QVERIFY(world.withdrawRoute(route)); break;
            case 31: QVERIFY(world.restoreRoute(route) && world.setBoardLoggedIn(board, true)); break;
            case 33: QCOMPARE(world.removeBoards({net.boards.at(5).name}).size(), 1); break;
            }
            server.flushNotifications();
            if (second % 6 == 0 || second == 26 || second == 40)
                live.insert(second, answers([&](const QString &m, const QJsonObject &p) { return callWorld(world, m, p); }));
        }
        recorder.finish(world);

        const Recording recording = Recording::load(dir.filePath("run.jsonl"));
        QVERIFY2(recording.ok(), qPrintable(recording.error()));
        QCOMPARE(recording.duration(), 40.0);
        QVERIFY(std::any_of(recording.entries().cbegin(), recording.entries().cend(), [](const Recording::Entry &e) {
            return e.method >= 0 && notificationNames().at(e.method) == Event::VdtStateChanged;
        }));
        ReplayMoment moment = recording.initial();
        for (int second : live.keys() + QList<int>{6, 30, 0}) {
            moment = recording.momentAt(moment, second);
            const QString replayed = answers([&](const QString &m, const QJsonObject &p) { return recording.answer(moment, m, p).value_or(Reply::error(1, "none")); });
            const int at = std::mismatch(replayed.cbegin(), replayed.cend(), live[second].cbegin(), live[second].cend()).first - replayed.cbegin();
            QVERIFY2(replayed == live[second], qPrintable(QStringLiteral("at %1 s:\n%2\n%3").arg(second).arg(replayed.mid(at - 100, 200), live[second].mid(at - 100, 200))));
        }
        QCOMPARE(recording.answer(moment, "BoardsServer.changeBoardProperties", QJsonObject())->message, "Permission denied: a replay cannot be changed");
    }

    void brokenRecordingsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        const QByteArray header = R"({"recording":"prio-sim","version":1,"start":"2024-05-01T10:00:00.000Z"})" "\n";
        const QByteArray route = R"({"route":{"id":1,"geometry":"37.6,55.7 37.7,55.7","geometry_hash":"h"}})" "\n";
        const QByteArray login = R"(,"method":"BoardsServer.boardLoggedIn","params":{"board_name":"B"}})" "\n";
        QTest::newRow("empty") << QByteArray() << "line 1: no header: not a prio-sim recording";
        QTest::newRow("not JSON") << QByteArray("{\n") << "line 1: not a JSON object";
        QTest::newRow("a later version") << QByteArray(R"({"recording":"prio-sim","version":2,"start":"2024-05-01T10:00:00Z"})")
                                         << "line 1: not a prio-sim recording of version 1";
        QTest::newRow("route without geometry") << header + R"({"route":{"id":1,"geometry_hash":"h"}})" << "line 2: a route needs";
        QTest::newRow("board without a name") << header + R"({"board":{"locked":false}})" << "line 2: a board needs";
        QTest::newRow("time goes back") << header + route + "{\"t\":5" + login + "{\"t\":4" + login << "line 4: the time goes back";
        QTest::newRow("time too far") << header + "{\"t\":1e300" + login << "line 2: the time must be a number of seconds from 0 to 1e+07";
        QTest::newRow("unknown notification") << header + R"({"t":1,"method":"Evil.do","params":{}})" << "line 2: not a notification the server sends";
        QTest::newRow("network after entries") << header + "{\"t\":1" + login + route << "line 3: a line without a time after timed ones";
        QTest::newRow("after the end") << header + "{\"t\":1,\"end\":true}\n{\"t\":2" + login << "line 3: after the end";
        QTest::newRow("line too long") << header + "{\"pad\":\"" + QByteArray(MaxRecordingLineBytes, 'x') + "\"}" << "line 2: longer than 64 MiB";
    }
    void brokenRecordingsAreRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        const Recording recording = Recording::fromData(content);
        QVERIFY2(!recording.ok() && recording.error().startsWith(error), qPrintable(recording.error()));
        QVERIFY(recording.entries().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_SimNetwork)
#include "tst_simnetwork.moc"
