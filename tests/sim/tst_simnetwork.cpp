// The simulator's networks: the generator, the GTFS reader and the geometry format.

#include "generator.h"
#include "gtfs.h"
#include "world.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace Sim;

namespace {

double haversineM(const QPointF &a, const QPointF &b)
{
    const double r = 6371008.8, d = M_PI / 180.0;
    const double h = std::pow(std::sin((b.y() - a.y()) * d / 2), 2)
                     + std::cos(a.y() * d) * std::cos(b.y() * d) * std::pow(std::sin((b.x() - a.x()) * d / 2), 2);
    return 2 * r * std::asin(std::sqrt(h));
}

double chordLength(const QVector<QPointF> &pts)
{
    double sum = 0;
    for (int i = 1; i < pts.size(); ++i)
        sum += haversineM(pts.at(i - 1), pts.at(i));
    return sum;
}

// Everything a client can learn about a network, as one text.
QByteArray fingerprint(const World &world)
{
    QJsonObject all{{QStringLiteral("routes"), world.routeList()},
                    {QStringLiteral("detectors"), world.detectorList()},
                    {QStringLiteral("boards"), world.boardList()}};
    QJsonArray geometry;
    for (const Route &r : world.network().routes)
        geometry.append(r.geometry);
    for (const Detector &d : world.network().detectors)
        geometry.append(world.detectorGeometry(d));
    all.insert(QStringLiteral("geometry"), geometry);
    return QJsonDocument(all).toJson(QJsonDocument::Compact);
}

QByteArray notificationsText(World &world)
{
    QJsonArray a;
    for (const Notification &n : world.takeNotifications())
        a.append(QJsonObject{{QStringLiteral("method"), n.method}, {QStringLiteral("params"), n.params}});
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

const QDateTime Start = QDateTime(QDate(2024, 5, 1), QTime(8, 0), Qt::UTC);

struct Feed
{
    QByteArray routes, trips, shapes, stops;
};

// A small feed written by hand. Its quirks: a byte-order mark, CRLF line ends, columns in
// unusual orders, quoted fields holding commas and doubled quotes, blanks around fields,
// shape points out of sequence order and a repeated point, a station and a node among the
// stops, an extra column, and two shapes for one route direction.
//   R1 "5" direction 0: trips T1, T2 on shape S1 (three points east), T3 on the variant S2
//   R1 direction 1: trip T4 on S3, the way back
//   R2 (no short name): trip T5, no direction, on S4
Feed goodFeed()
{
    Feed f;
    f.routes = "\xEF\xBB\xBFroute_long_name,route_type, route_id ,route_short_name,agency_id\r\n"
               "\"Main Street, North - Harbour\",3,R1,  \"5\"  ,A\r\n"
               "\"Ring \"\"Express\"\"\",0,R2,,A\r\n";
    f.trips = "shape_id,trip_headsign,direction_id,trip_id,route_id,service_id\r\n"
              "S1,Harbour,0,T1,R1,WD\r\n"
              "S1,Harbour,0,T2,R1,WD\r\n"
              "S2,\"Harbour, via Depot\",0,T3,R1,WD\r\n"
              "S3,North,1,T4,R1,WD\r\n"
              "S4,,,T5,R2,WD\r\n"
              "\r\n";
    f.shapes = "shape_pt_sequence,shape_id,shape_pt_lon,shape_pt_lat,shape_dist_traveled\r\n"
               "2, S1 ,37.61,55.75,\r\n"
               "1,S1,37.60,55.75,\r\n"
               "3,S1,37.62,55.75,\r\n"
               "3,S1,37.62,55.75,\r\n"
               "1,S2,37.60,55.75,\r\n"
               "2,S2,37.60,55.76,\r\n"
               "3,S2,37.62,55.76,\r\n"
               "1,S3,37.62,55.7501,\r\n"
               "2,S3,37.60,55.7501,\r\n"
               "10,S4,37.58,55.74,\r\n"
               "20,S4,37.58,55.73,\r\n";
    f.stops = "stop_lon,stop_id,stop_name,stop_lat,location_type,parent_station\r\n"
              "37.6102,P1,\"Harbour, Pier 1\",55.7501,0,ST\r\n"
              "37.6150,ST,Harbour station,55.7500,1,\r\n"
              "37.6180,P2,Lighthouse,55.7502,,ST\r\n"
              ",N1,Node,,3,ST\r\n";
    return f;
}

bool writeFeed(const QString &dir, const Feed &f)
{
    const QPair<const char *, QByteArray> files[] = {
            {"routes.txt", f.routes}, {"trips.txt", f.trips}, {"shapes.txt", f.shapes}, {"stops.txt", f.stops}};
    for (const auto &file : files) {
        if (file.second.isNull())
            continue; // left out on purpose
        QFile out(dir + QLatin1Char('/') + QLatin1String(file.first));
        if (!out.open(QIODevice::WriteOnly) || out.write(file.second) != file.second.size())
            return false;
    }
    return true;
}

PopulateOptions noExtras()
{
    PopulateOptions o;
    o.detectors = 0;
    o.emergencyDetectors = 0;
    o.boards = 0;
    return o;
}

} // namespace

class tst_SimNetwork : public QObject
{
    Q_OBJECT

private slots:
    void coordinateText_data();
    void coordinateText();
    void geometryHashFollowsGeometry();
    void generatorIsDeterministic();
    void trafficIsDeterministic();
    void generatorSizes_data();
    void generatorSizes();
    void detectorsLieBeforeStops();
    void gtfsFeed();
    void gtfsMalformed_data();
    void gtfsMalformed();
    void gtfsLargeFeed();
};

void tst_SimNetwork::coordinateText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("whole") << 10.0 << "10";
    QTest::newRow("seven decimals") << 37.61234567 << "37.6123457";
    QTest::newRow("tiny negative is zero") << -0.00000001 << "0";
    QTest::newRow("no exponent") << 0.00001 << "0.00001";
}

void tst_SimNetwork::coordinateText()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(Geo::formatCoordinate(value), text);
}

void tst_SimNetwork::geometryHashFollowsGeometry()
{
    QCOMPARE(Geo::geometryString({QPointF(10.5, 50.25), QPointF(10.51, 50.26), QPointF(10.53, 50.26)}),
             QStringLiteral("10.5,50.25 10.51,50.26 10.53,50.26"));
    Route a, b, c;
    a.setPoints({QPointF(10.5, 50.25), QPointF(10.51, 50.26)});
    b.setPoints({QPointF(10.5, 50.25), QPointF(10.51, 50.26)});
    c.setPoints({QPointF(10.5, 50.25), QPointF(10.51, 50.2601)});
    QVERIFY(!a.geometryHash.isEmpty());
    QCOMPARE(a.geometryHash, b.geometryHash);
    QVERIFY(a.geometryHash != c.geometryHash);
}

void tst_SimNetwork::generatorIsDeterministic()
{
    GeneratorOptions o;
    o.seed = 42;
    o.routes = 6;
    o.detectors = 20;
    o.emergencyDetectors = 4;
    o.boards = 40;
    const QByteArray first = fingerprint(World(generateNetwork(o), Start));
    const QByteArray again = fingerprint(World(generateNetwork(o), Start));
    QCOMPARE(again, first);
    o.seed = 43;
    QVERIFY(fingerprint(World(generateNetwork(o), Start)) != first);
}

void tst_SimNetwork::trafficIsDeterministic()
{
    GeneratorOptions o;
    o.seed = 5;
    o.routes = 4;
    o.detectors = 30;
    o.boards = 30;
    World one(generateNetwork(o), Start);
    World two(generateNetwork(o), Start);
    QByteArray a, b;
    for (int i = 0; i < 120; ++i) {
        one.step(1.0);
        two.step(1.0);
        a += notificationsText(one);
        b += notificationsText(two);
    }
    QCOMPARE(a, b);
    // Two minutes of 30 boards: positions, and detectors that saw some of them.
    QVERIFY(a.contains("BoardsServer.boardPosition"));
    QVERIFY(a.contains("VDTService.vdtStateChanged"));
    // Asking for no positions does not change what else happens.
    World three(generateNetwork(o), Start);
    World four(generateNetwork(o), Start);
    QByteArray c, d;
    for (int i = 0; i < 60; ++i) {
        three.step(1.0, true);
        four.step(1.0, false);
        for (const Notification &n : three.takeNotifications()) {
            if (n.method != Event::BoardPosition)
                c += QJsonDocument(n.params.toObject()).toJson(QJsonDocument::Compact);
        }
        for (const Notification &n : four.takeNotifications()) {
            QVERIFY(n.method != Event::BoardPosition);
            d += QJsonDocument(n.params.toObject()).toJson(QJsonDocument::Compact);
        }
    }
    QCOMPARE(c, d);
}

void tst_SimNetwork::generatorSizes_data()
{
    QTest::addColumn<int>("routes");
    QTest::addColumn<int>("detectors");
    QTest::addColumn<int>("emergency");
    QTest::addColumn<int>("boards");
    QTest::newRow("small") << 3 << 10 << 2 << 20;
    QTest::newRow("no detectors") << 5 << 0 << 0 << 8;
    QTest::newRow("no routes") << 0 << 10 << 3 << 5;
}

void tst_SimNetwork::generatorSizes()
{
    QFETCH(int, routes);
    QFETCH(int, detectors);
    QFETCH(int, emergency);
    QFETCH(int, boards);
    GeneratorOptions o;
    o.routes = routes;
    o.detectors = detectors;
    o.emergencyDetectors = emergency;
    o.boards = boards;
    const Network net = generateNetwork(o);
    QCOMPARE(net.routes.size(), routes);
    QCOMPARE(net.boards.size(), boards);
    int ordinary = 0, sectors = 0, emergencyBoards = 0, unassigned = 0;
    for (const Detector &d : net.detectors) {
        if (d.emergency) {
            ++sectors;
            QVERIFY(d.radius >= 80 && d.radius <= 250);
            QVERIFY(d.sweepAngle > 0 && d.sweepAngle < 180);
            QVERIFY(d.directionAngle >= 0 && d.directionAngle < 360);
            QVERIFY(d.routes.isEmpty());
        } else {
            ++ordinary;
            QVERIFY(d.line.size() >= 2 && d.line.size() <= 5);
            const double len = chordLength(d.line);
            // 30..80 m along the route; the chord is shorter where the route bends.
            QVERIFY2(len >= 25.0 && len <= 80.5, qPrintable(QString::number(len)));
            QVERIFY(d.checkinLength < len);
            QCOMPARE(d.routes.size(), 1);
        }
    }
    // Without routes there is nowhere to put detectors; otherwise every one asked for fits.
    QCOMPARE(ordinary, routes ? detectors : 0);
    QCOMPARE(sectors, routes ? emergency : 0);
    for (const Board &b : net.boards) {
        emergencyBoards += b.allowEmergency;
        unassigned += b.routeId == 0;
        if (b.allowEmergency) {
            QVERIFY(b.radius > 0);
            QVERIFY(b.sweep > 0);
        }
    }
    if (routes > 0 && boards >= 20)
        QVERIFY(emergencyBoards > 0);
    if (routes == 0)
        QCOMPARE(unassigned, boards);
    // Board names are unique: they are the keys of the board list.
    QSet<QString> names;
    for (const Board &b : net.boards)
        names.insert(b.name);
    QCOMPARE(names.size(), boards);
}

void tst_SimNetwork::detectorsLieBeforeStops()
{
    GeneratorOptions o;
    o.seed = 9;
    o.routes = 10;
    o.detectors = 60;
    const Network net = generateNetwork(o);
    for (const Detector &d : net.detectors) {
        if (d.emergency)
            continue;
        const Route *route = nullptr;
        for (const Route &r : net.routes) {
            if (r.id == d.routes.first())
                route = &r;
        }
        QVERIFY(route);
        // The zone's end lies 5 to 15 m before one of the route's stops, and on the line.
        bool beforeStop = false;
        for (const Stop &s : route->stops)
            beforeStop = beforeStop || (s.along - d.endAlong >= 5.0 - 1e-9 && s.along - d.endAlong <= 15.0 + 1e-9);
        QVERIFY(beforeStop);
        double off = 0;
        route->line.project(d.line.last(), &off);
        QVERIFY(off < 0.5);
    }
}

void tst_SimNetwork::gtfsFeed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFeed(dir.path(), goodFeed()));
    PopulateOptions o = noExtras();
    o.boards = 4;
    const GtfsResult feed = loadGtfsFeed(dir.path(), o);
    QVERIFY2(feed.ok, qPrintable(feed.error));
    QCOMPARE(feed.stats.routes, 2);
    QCOMPARE(feed.stats.trips, 5);
    QCOMPARE(feed.stats.shapePoints, 11);
    QCOMPARE(feed.stats.stops, 2); // P1 and P2: the station and the node are not stops

    const Network &net = feed.network;
    QCOMPARE(net.routes.size(), 3);
    const Route &out = net.routes.at(0);
    QCOMPARE(out.id, 1);
    QCOMPARE(out.name, QStringLiteral("5"));
    QCOMPARE(out.description, QStringLiteral("Main Street, North - Harbour - Harbour"));
    QCOMPARE(out.extra.value(QStringLiteral("gtfs_route_id")).toString(), QStringLiteral("R1"));
    // Two trips on S1 against one on S2; points in sequence order, the repeat dropped.
    QCOMPARE(out.extra.value(QStringLiteral("gtfs_shape_id")).toString(), QStringLiteral("S1"));
    QCOMPARE(out.geometry, QStringLiteral("37.6,55.75 37.61,55.75 37.62,55.75"));
    // P1 lies 11 m north of the line, about 640 m along; P2 22 m off, about 1130 m along.
    QCOMPARE(out.stops.size(), 2);
    QCOMPARE(out.stops.at(0).name, QStringLiteral("Harbour, Pier 1"));
    QVERIFY(std::abs(out.stops.at(0).along - haversineM(QPointF(37.6, 55.75), QPointF(37.6102, 55.75))) < 1.0);
    QCOMPARE(out.stops.at(1).name, QStringLiteral("Lighthouse"));

    const Route &back = net.routes.at(1);
    QCOMPARE(back.extra.value(QStringLiteral("direction_id")).toInt(), 1);
    QCOMPARE(back.description, QStringLiteral("Main Street, North - Harbour - North"));
    QCOMPARE(back.geometry, QStringLiteral("37.62,55.7501 37.6,55.7501"));
    QCOMPARE(back.stops.size(), 2);
    QCOMPARE(back.stops.at(0).name, QStringLiteral("Lighthouse")); // the other way round

    const Route &ring = net.routes.at(2);
    QCOMPARE(ring.name, QStringLiteral("Ring \"Express\""));
    QCOMPARE(ring.extra.value(QStringLiteral("route_type")).toInt(), 0);
    QCOMPARE(ring.geometry, QStringLiteral("37.58,55.74 37.58,55.73"));
    QVERIFY(ring.stops.isEmpty());

    // The world serves it like any other network.
    World world(feed.network, Start);
    QCOMPARE(world.routeList().size(), 3);
    QCOMPARE(world.boardList().size(), 4);
    QCOMPARE(world.routeRecord(out).value(QStringLiteral("gtfs_shape_id")).toString(), QStringLiteral("S1"));
}

void tst_SimNetwork::gtfsMalformed_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no shapes.txt") << QByteArray("shapes.txt") << QByteArray() << "shapes.txt is missing";
    QTest::newRow("no route_id column") << QByteArray("routes.txt") << QByteArray("id,route_short_name\nR1,5\n")
                                        << "routes.txt has no route_id column";
    QTest::newRow("latitude not a number")
            << QByteArray("shapes.txt")
            << QByteArray("shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\nS1,55.75,37.6,1\nS1,north,37.61,2\n")
            << "shapes.txt line 3: shape_pt_lat and shape_pt_lon must be numbers";
    QTest::newRow("latitude out of range")
            << QByteArray("shapes.txt") << QByteArray("shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\nS1,95,37.6,1\n")
            << "shapes.txt line 2: coordinates out of range";
    QTest::newRow("infinite longitude")
            << QByteArray("shapes.txt") << QByteArray("shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\nS1,55,inf,1\n")
            << "shapes.txt line 2: shape_pt_lat and shape_pt_lon must be numbers";
    QTest::newRow("sequence not a number")
            << QByteArray("shapes.txt") << QByteArray("shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\nS1,55,37,first\n")
            << "shapes.txt line 2: shape_pt_sequence must be a non-negative integer";
    QTest::newRow("stop latitude not a number")
            << QByteArray("stops.txt") << QByteArray("stop_id,stop_name,stop_lat,stop_lon\nP1,Pier,55.7x,37.6\n")
            << "stops.txt line 2: stop_lat and stop_lon must be numbers";
    QTest::newRow("direction 2") << QByteArray("trips.txt")
                                 << QByteArray("route_id,trip_id,shape_id,direction_id\nR1,T1,S1,2\n")
                                 << "trips.txt line 2: direction_id must be 0 or 1";
    QTest::newRow("unclosed quote") << QByteArray("routes.txt") << QByteArray("route_id,route_long_name\nR1,\"Main\n")
                                    << "routes.txt";
    QTest::newRow("too many fields") << QByteArray("stops.txt")
                                     << QByteArray("stop_id,stop_lat,stop_lon\nP1,55.75,37.6,extra\n") << "stops.txt";
    QTest::newRow("no routes") << QByteArray("routes.txt") << QByteArray("route_id,route_short_name\r\n")
                               << "routes.txt lists no route";
    QTest::newRow("trips on missing shapes")
            << QByteArray("trips.txt") << QByteArray("route_id,trip_id,shape_id\nR1,T1,S9\nR2,T2,S8\n")
            << "no route of the feed has a usable shape";
}

void tst_SimNetwork::gtfsMalformed()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Feed f = goodFeed();
    if (file == "routes.txt")
        f.routes = content;
    else if (file == "trips.txt")
        f.trips = content;
    else if (file == "shapes.txt")
        f.shapes = content;
    else
        f.stops = content;
    QVERIFY(writeFeed(dir.path(), f));
    const GtfsResult feed = loadGtfsFeed(dir.path(), noExtras());
    QVERIFY(!feed.ok);
    QVERIFY2(feed.error.contains(expected), qPrintable(feed.error));
    QVERIFY(feed.network.routes.isEmpty());
}

void tst_SimNetwork::gtfsLargeFeed()
{
    // 30 routes of 1000 shape points each, about 100 m apart and zigzagging by up to 11 m,
    // 111 m from the next route, plus 300 stops on the lines.
    constexpr int Routes = 30, Points = 1000, Stops = 300;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Feed f;
    f.routes = "route_id,route_short_name,route_long_name,route_type\n";
    f.trips = "route_id,service_id,trip_id,shape_id,direction_id\n";
    QByteArray shapes = "shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence,shape_dist_traveled\n";
    shapes.reserve(Routes * Points * 40);
    for (int r = 0; r < Routes; ++r) {
        f.routes += QByteArray("R") + QByteArray::number(r) + ',' + QByteArray::number(r) + ",\"Line " + QByteArray::number(r) + "\",3\n";
        f.trips += QByteArray("R") + QByteArray::number(r) + ",WD,T" + QByteArray::number(r) + ",S" + QByteArray::number(r) + ",0\n";
        const double lat0 = 55.6 + r * 0.001;
        for (int p = 0; p < Points; ++p) {
            shapes += 'S' + QByteArray::number(r) + ',' + QByteArray::number(lat0 + (p % 3) * 0.00005, 'f', 6) + ','
                      + QByteArray::number(37.4 + p * 0.00165, 'f', 6) + ',' + QByteArray::number(p + 1) + ",\n";
        }
    }
    f.shapes = shapes;
    f.stops = "stop_id,stop_name,stop_lat,stop_lon\n";
    for (int s = 0; s < Stops; ++s) {
        f.stops += 'P' + QByteArray::number(s) + ",Stop " + QByteArray::number(s) + ','
                   + QByteArray::number(55.6 + (s % Routes) * 0.001, 'f', 6) + ','
                   + QByteArray::number(37.4 + (s / Routes) * 0.15 + 0.01, 'f', 6) + '\n';
    }
    QVERIFY(writeFeed(dir.path(), f));

    QElapsedTimer timer;
    timer.start();
    PopulateOptions o;
    o.detectors = -1;
    o.emergencyDetectors = -1;
    o.boards = -1;
    const GtfsResult feed = loadGtfsFeed(dir.path(), o);
    const qint64 ms = timer.elapsed();
    QVERIFY2(feed.ok, qPrintable(feed.error));
    qInfo("GTFS feed of %d shape points, %d stops: read and built in %lld ms", feed.stats.shapePoints,
          feed.stats.stops, ms);
    QCOMPARE(feed.stats.shapePoints, Routes * Points);
    QCOMPARE(feed.network.routes.size(), Routes);
    QCOMPARE(feed.network.routes.first().line.size(), Points);
    // Ten stops lie on each line; sizes that were left open follow the feed.
    int stops = 0;
    for (const Route &r : feed.network.routes)
        stops += r.stops.size();
    QCOMPARE(stops, Stops);
    QCOMPARE(feed.network.boards.size(), Routes * GtfsBoardsPerRoute);
    QCOMPARE(int(feed.network.detectors.size()), Stops / GtfsStopsPerDetector + std::max(1, Stops / GtfsStopsPerDetector / 10));
}

QTEST_GUILESS_MAIN(tst_SimNetwork)
#include "tst_simnetwork.moc"
