#include "items/geo.h"
#include "items/prioroute.h"

#include "itemtestutil.h"

#include <QSignalSpy>

using namespace ItemTest;

namespace {

// Metres along a route of straight legs (east, north in metres from its start) to the point
// of the route nearest p, and how far p lies off the route.
QPointF alongAndOff(const QVector<QPointF> &legs, const QPointF &p)
{
    QPointF best(0.0, 1e300);
    double start = 0.0;
    for (int i = 0; i + 1 < legs.size(); start += QLineF(legs.at(i), legs.at(i + 1)).length(), ++i) {
        const QLineF leg(legs.at(i), legs.at(i + 1));
        const double t = qBound(0.0, QPointF::dotProduct(p - leg.p1(), (leg.p2() - leg.p1()) / leg.length()), leg.length());
        const double off = QLineF(leg.pointAt(t / leg.length()), p).length();
        if (off < best.y() - 1e-9)
            best = QPointF(start + t, off);
    }
    return best;
}

} // namespace

class tst_PrioRoute : public Fixture
{
    Q_OBJECT

private slots:
    void worldPlane_data()
    {
        // Spherical Mercator worked out separately (y = (1/2 - ln(tan(pi/4 + phi/2)) / 2pi) * 4096,
        // not the code's form); metres per world unit are the arc of latitude on the map's sphere
        // between a point and the one a world unit south of it. Beyond the Mercator limit a
        // latitude counts as the limit: never a scale that turns strokes inside out.
        QTest::addColumn<QPointF>("geo");
        QTest::addColumn<QPointF>("world");
        QTest::addColumn<double>("metresPerUnit");
        QTest::newRow("origin") << QPointF(0, 0) << QPointF(2048, 2048) << 9751.301888928436;
        QTest::newRow("Moscow") << QPointF(37.6173, 55.7558) << QPointF(2476.00128, 1280.4201258764165) << 5490.7468197476055;
        QTest::newRow("60 S") << QPointF(-10, -60) << QPointF(1934.2222222222222, 2906.5230710353567) << 4872.415242670134;
        QTest::newRow("north-east corner") << QPointF(180, Geo::MaxLatitude) << QPointF(4096, 0) << 841.8564607475437;
        QTest::newRow("latitude 400") << QPointF(180, 400) << QPointF(4096, 0) << 841.8564607475437;
        QTest::newRow("latitude minus infinity") << QPointF(-180, -qInf()) << QPointF(0, 4096) << 840.5708659396106;
    }

    void worldPlane()
    {
        QFETCH(QPointF, geo);
        QFETCH(QPointF, world);
        QFETCH(double, metresPerUnit);
        const QPointF got = geoToWorld(geo);
        QVERIFY2(QLineF(got, world).length() < 1e-6, qPrintable(QString("%1,%2").arg(got.x(), 0, 'g', 17).arg(got.y(), 0, 'g', 17)));
        QVERIFY(QLineF(worldToGeo(got), geo).length() < 1e-9 || !Geo::isValidGeo(geo));
        const double scale = metresPerWorldUnit(geo);
        QVERIFY2(std::fabs(scale - metresPerUnit) < metresPerUnit * 1e-7, qPrintable(QString::number(scale, 'g', 17)));
        // Only the latitude counts; metres and world units convert both ways by that scale.
        QCOMPARE(metresPerWorldUnit(QPointF(geo.x() / 2 + 7, geo.y())), scale);
        QVERIFY(std::fabs(worldToMetres(3.0, geo) - 3.0 * metresPerUnit) < metresPerUnit * 1e-6 && std::fabs(metresToWorld(2.0 * metresPerUnit, geo) - 2.0) < 1e-6);
    }

    void geometry_data()
    {
        // Set twice with a hash on a route built from "10,50 10.001,50" under the hash "old".
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<QString>("hash");
        QTest::addColumn<QString>("outcome");
        auto row = [](const char *name, const char *geometry, const char *hash, const char *outcome) {
            QTest::newRow(name) << QString(geometry) << QString(hash) << QString(outcome);
        };
        row("third part ignored", "20,50 21,50,7", "h1", "built");
        row("runs of spaces", "   20,50    20.001,50.001  ", "h1", "built");
        row("no hash: built every time", "20,50 20.001,50", "", "built");
        row("same hash: not rebuilt", "20,50 20.001,50", "old", "kept");
        row("single point: nothing to stroke", "20,50", "h1", "point");
        row("missing latitude after a good point", "20,50 21", "h1", "invalid");
        row("empty longitude", "20,50 ,51", "h1", "invalid");
        row("tab does not separate", "20,50\t20.001,50", "h1", "invalid");
        row("only spaces", "   ", "h1", "invalid");
        row("north pole", "20,90 20.001,89.999", "h1", "invalid");
        row("beyond the date line", "20,50 180.5,50", "h1", "invalid");
    }

    void geometry()
    {
        QFETCH(QString, geometry);
        QFETCH(QString, hash);
        QFETCH(QString, outcome);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry("10,50 10.001,50", "old");
        QSignalSpy changed(route, &PrioRoute::stateChanged);
        route->setGeometry(geometry, hash);
        route->setGeometry(geometry, hash);
        // Built once per hash; without one, or after a failure (which clears it), every time.
        QCOMPARE(changed.count(), outcome == "kept" ? 0 : outcome == "built" && !hash.isEmpty() ? 1 : 2);
        QCOMPARE(route->geometryHash(), outcome == "invalid" ? QString() : outcome == "kept" ? "old" : hash);
        QCOMPARE(route->property("hasGeometry").toBool(), outcome == "built" || outcome == "kept");
        QCOMPARE(route->arrows().isEmpty(), !route->hasGeometry());
        // Nothing of the geometry before is left.
        QCOMPARE(route->boundingRect().left() > 15.0, outcome == "built" || outcome == "point");
    }

    void bandAndArrows_data()
    {
        // Straight legs in metres (east, north) from the start; arrows are one band width (2 m)
        // long and end at 2, 8, 14, ... m along the route.
        QTest::addColumn<double>("latitude");
        QTest::addColumn<QVector<QPointF>>("legs");
        QTest::addColumn<int>("arrows");
        auto row = [](const char *name, double latitude, const QVector<QPointF> &legs, int arrows) {
            QTest::newRow(name) << latitude << legs << arrows;
        };
        row("shorter than the band width", 0.0, {{0, 0}, {1.5, 0}}, 0);
        row("second arrow does not fit", 70.0, {{0, 0}, {7.9, 0}}, 1);
        row("second arrow fits, northwards", 60.0, {{0, 0}, {0, 8.1}}, 2);
        row("westwards", 60.0, {{0, 0}, {-21, 0}}, 4);
        row("round a corner", 0.0, {{0, 0}, {20, 0}, {20, 20}}, 7);
        row("just under the cap", 0.0, {{0, 0}, {119993, 0}}, 19999);
        row("over the cap: none", 0.0, {{0, 0}, {120010, 0}}, 0);
    }

    void bandAndArrows()
    {
        QFETCH(double, latitude);
        QFETCH(QVector<QPointF>, legs);
        QFETCH(int, arrows);
        const QPointF start(20.0, latitude);
        QVector<QPointF> points;
        for (const QPointF &leg : legs)
            points << offsetMetres(start, leg.x(), leg.y());
        PrioRoute *route = routeAlong(points);
        const QPainterPath outline = route->outline();
        // The bounds hold the band and reach beyond it by at most a square cap's corner
        // (1 m * sqrt(2) from the line) less the band's own 1 m.
        const QPointF slack = metresFrom(start, route->boundingRect().bottomRight()) - metresFrom(start, route->boundingRect().topLeft())
            - (metresFrom(start, outline.boundingRect().bottomRight()) - metresFrom(start, outline.boundingRect().topLeft()));
        QVERIFY(route->boundingRect().contains(outline.boundingRect()) && slack.x() < 2 * 0.42 && slack.y() < 2 * 0.42);
        QVERIFY(route->shape() == outline && outline.fillRule() == Qt::WindingFill);
        // Metres along the route are world units at the first point, a little off the local
        // scale at high latitudes (by about 7e-4 at 60 degrees).
        auto near = [&](double got, double metres) { return std::fabs(got - metres) < 0.01 + metres * (latitude > 30.0 ? 7e-4 : 1e-6); };
        // Around a straight route the band is 2 m wide; its square caps add 1 m at each end.
        const QPointF box = metresFrom(start, outline.boundingRect().bottomRight()) - metresFrom(start, outline.boundingRect().topLeft());
        QVERIFY(legs.size() > 2 || (near(box.x(), std::fabs(legs.last().x()) + 2) && near(box.y(), std::fabs(legs.last().y()) + 2)));
        // Each arrow: a shaft (move, line) on the centre line, a barb (line), the other barb
        // (move to the tip, line), both 1/1.7 m behind the tip and a third of that aside.
        const QPainterPath path = route->arrows();
        QCOMPARE(path.elementCount(), arrows * 5);
        const double back = 1.0 / 1.7;
        for (int k = 0; k < arrows; ++k) {
            auto at = [&](int i) { return metresFrom(start, path.elementAt(5 * k + i)); };
            const QPointF tip = alongAndOff(legs, at(1));
            QVERIFY2(near(tip.x(), 2.0 + 6.0 * k) && tip.y() < 0.01, qPrintable(QString::number(k)));
            QVERIFY(near(alongAndOff(legs, at(0)).x(), 6.0 * k));
            QVERIFY(path.elementAt(5 * k).isMoveTo() && path.elementAt(5 * k + 3).isMoveTo() && at(3) == at(1)
                    && std::fabs(QLineF(at(1), at(2)).length() - std::hypot(back, back / 3)) < 0.005
                    && std::fabs(QLineF(at(2), at(4)).length() - 2 * back / 3) < 0.005
                    && std::fabs(alongAndOff(legs, at(2)).x() + alongAndOff(legs, at(4)).x() - 2 * (tip.x() - back)) < 0.01);
        }
    }

    void hitTestsFollowTheOutline_data()
    {
        // The route's own hit tests look only at the part of the band near the probe: they
        // must answer what Qt answers for the whole outline.
        QTest::addColumn<QVector<QPointF>>("points");
        const QPointF a(10.0, 50.0);
        QVector<QPointF> zigzag{a, a};
        for (int i = 1; i < 90; ++i)
            zigzag << offsetMetres(zigzag.last(), 3.0, i % 2 ? 4.0 : -4.0);
        QTest::newRow("zigzag of 90 points, sharp turns, a repeated point") << zigzag;
        QTest::newRow("doubling back") << QVector<QPointF>{a, offsetMetres(a, 30, 0), offsetMetres(a, 5, 0.5)};
        QTest::newRow("crossing itself: no hole") << QVector<QPointF>{a, offsetMetres(a, 30, 0), offsetMetres(a, 30, 15),
                                                                       offsetMetres(a, 15, 15), offsetMetres(a, 15, -15)};
    }

    void hitTestsFollowTheOutline()
    {
        QFETCH(QVector<QPointF>, points);
        PrioRoute *route = routeAlong(points);
        const QPainterPath outline = route->outline();
        // Probes every 0.4 m across the bounds, as points and as half-metre squares.
        const QRectF box = outline.boundingRect().adjusted(-1e-5, -1e-5, 1e-5, 1e-5);
        const double step = 0.4 / MetresPerDegreeLat;
        int inside = 0;
        for (double y = box.top(); y <= box.bottom(); y += step) {
            for (double x = box.left(); x <= box.right(); x += step * 1.6) {
                QCOMPARE(route->contains({x, y}), outline.contains(QPointF(x, y)));
                QPainterPath square;
                square.addRect(QRectF(QPointF(x, y), QSizeF(step * 1.25, step * 0.8)));
                QCOMPARE(route->collidesWithPath(square), square.intersects(outline));
                inside += outline.contains(QPointF(x, y)) ? 1 : 0;
            }
        }
        QVERIFY(inside > 20);
    }

    void records_data()
    {
        // Applied twice to route 12 described "Old" or not at all. Expected: description | type
        // text | tooltip | fill colour, and how often each application emitted stateChanged.
        QTest::addColumn<QString>("initial");
        QTest::addColumn<bool>("cached");
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QString>("texts");
        QTest::addColumn<QList<int>>("emitted");
        auto row = [](const char *name, const char *initial, bool cached, const QVariantMap &record, const char *texts,
                      const QList<int> &emitted) { QTest::newRow(name) << QString(initial) << cached << record << QString(texts) << emitted; };
        row("empty description falls back to name", "Old", false, {{"description", ""}, {"name", "Line 5"}},
            "Line 5 | Route | Route Line 5 | #c0c0c0", {1, 0});
        row("name alone does not replace a description", "Old", false, {{"name", "Line 5"}}, "Old | Route | Route Old | #c0c0c0", {0, 0});
        row("name alone fills an empty description", "", false, {{"name", "Line 5"}}, "Line 5 | Route | Route Line 5 | #c0c0c0", {1, 0});
        row("locked: type text and colour only", "", false, {{"locked", true}}, " | Route (Locked) | Route 12 | #ff0000", {1, 0});
        row("cached: geometry and description, never lock or name", "", true,
            {{"geometry_hash", "g1"}, {"geometry", "10,50 10.001,50"}, {"description", "Ring"}, {"locked", true}, {"name", "x"}},
            "Ring | Route | Route Ring | #c0c0c0", {2, 0});
        row("cached, keys missing: empty, no geometry", "Old", true, {}, " | Route | Route 12 | #c0c0c0", {2, 1});
    }

    void records()
    {
        QFETCH(QString, initial);
        QFETCH(bool, cached);
        QFETCH(QVariantMap, record);
        QFETCH(QString, texts);
        QFETCH(QList<int>, emitted);
        auto *route = new PrioRoute(plugin, 12, scene);
        route->applyProperties({{"description", initial}});
        QSignalSpy changed(route, &PrioRoute::stateChanged);
        for (int pass = 0; pass < 2; ++pass) {
            cached ? route->applyCachedRecord(record) : route->applyProperties(record);
            QCOMPARE(QStringList({route->description(), route->typeText(), route->toolTip(), route->fillColour().name()}).join(" | "),
                     texts);
            QCOMPARE(changed.count(), emitted.at(pass));
            changed.clear();
        }
        QCOMPARE(route->property("locked").toBool(), !cached && record.value("locked").toBool());
        QCOMPARE(route->hasGeometry(), record.contains("geometry"));
        QCOMPARE(treeRow(route), QVariantList({12, route->description(), route->typeText(), QVariant(), route->toolTip(), QVariant(), "int", "QIcon"}));
    }

    void selection_data()
    {
        // S/s select/deselect through the property, D/d set/clear dontHide, c a click elsewhere.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("selected");
        QTest::newRow("hidden at first") << "" << false << false;
        QTest::newRow("selecting shows") << "S" << true << true;
        QTest::newRow("deselecting hides") << "Ss" << false << false;
        QTest::newRow("dontHide shows, keeps it after deselection") << "DSs" << true << false;
        QTest::newRow("deselection elsewhere hides") << "Sc" << false << false;
        QTest::newRow("deselection elsewhere with dontHide") << "DSc" << true << false;
        QTest::newRow("clearing dontHide hides") << "Dd" << false << false;
        QTest::newRow("clearing dontHide keeps a selected route") << "DSd" << true << true;
    }

    void selection()
    {
        QFETCH(QString, steps);
        QFETCH(bool, visible);
        QFETCH(bool, selected);
        PrioRoute *route = routeAlong({{10, 50}, {10.001, 50}}, 12);
        for (const QChar step : steps) {
            const char c = step.toLatin1();
            if (c == 'c')
                scene->clearSelection();
            else
                route->setProperty(c == 'S' || c == 's' ? "selected" : "dontHide", c == 'S' || c == 'D');
        }
        QCOMPARE(route->isVisible(), visible);
        QCOMPARE(route->property("selected").toBool(), selected);
        QCOMPARE(route->property("dontHide").toBool(), steps.count('D') > steps.count('d'));
    }
};

QTEST_MAIN(tst_PrioRoute)
#include "tst_prioroute.moc"
