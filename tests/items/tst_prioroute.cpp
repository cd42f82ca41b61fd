#include "items/prioroute.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include "itemtestutil.h"

#include <QGraphicsScene>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using ItemTest::MetresPerDegreeLat;
using ItemTest::geometryOf;
using ItemTest::offsetMetres;

namespace {
QStringList capturedWarnings;
void captureWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg)
        capturedWarnings << text;
}
} // namespace

// The route's texts in one line: description | type text | tool tip | fill colour.
static QString textsOf(const PrioRoute *route)
{
    return QStringList{route->description(), route->typeText(), route->toolTip(), route->fillColour().name()}
        .join(" | ");
}

class tst_PrioRoute : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        plugin = new PriorityPlugin;
        scene = new Road::MapScene;
    }

    void cleanup()
    {
        delete plugin;
        delete scene;
    }

    void layerJoining_data()
    {
        QTest::addColumn<bool>("pluginParent");
        QTest::addColumn<QString>("sceneKind");
        QTest::addColumn<bool>("onLayer");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("map scene") << true << "map" << true << QStringList();
        QTest::newRow("another parent: no layer, no warning") << false << "map" << false << QStringList();
        QTest::newRow("no scene") << true << "none" << false << QStringList();
        QTest::newRow("scene without layers")
            << true << "plain" << false << QStringList({"Route::Route scene->addLayer failed"});
    }

    void layerJoining()
    {
        QFETCH(bool, pluginParent);
        QFETCH(QString, sceneKind);
        QFETCH(bool, onLayer);
        QFETCH(QStringList, warnings);

        QObject other;
        QGraphicsScene plain;
        QGraphicsScene *target = sceneKind == "map" ? scene : sceneKind == "plain" ? &plain : nullptr;
        capturedWarnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
        auto *route = new PrioRoute(pluginParent ? static_cast<QObject *>(plugin) : &other, 3, target);
        qInstallMessageHandler(previous);

        // Qt's own complaint about the missing invokable comes first; ours is the last line.
        const QStringList ours = capturedWarnings.filter(QRegularExpression("^Route::"));
        QCOMPARE(ours, warnings);
        QCOMPARE(route->parentItem() == scene->layer(QStringLiteral("Traffic priority")) && route->parentItem(), onLayer);
        // The host finds the object behind a scene item through data(0); an empty route stays hidden.
        QCOMPARE(route->data(0).value<QObject *>(), route);
        QVERIFY(!route->isVisible());
        if (!pluginParent)
            delete route;
    }

    void geometryParsing_data()
    {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<bool>("hashKept");
        QTest::addColumn<bool>("hasGeometry");

        QTest::newRow("two points") << "10,50 10.001,50" << true << true;
        QTest::newRow("third part ignored") << "10,50 11,50,7" << true << true;
        QTest::newRow("runs of spaces") << "   10,50    10.001,50.001  " << true << true;
        QTest::newRow("single point: valid, nothing to stroke") << "10,50" << true << false;
        QTest::newRow("missing latitude after a good point") << "10,50 11" << false << false;
        QTest::newRow("empty longitude") << "10,50 ,51" << false << false;
        QTest::newRow("tab does not separate") << "10,50\t10.001,50" << false << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("not a number") << "10,50 abc,50" << false << false;
        QTest::newRow("NaN") << "nan,50 10,50" << false << false;
        QTest::newRow("north pole") << "10,90 10.001,89.999" << false << false;
        QTest::newRow("thousands of digits") << "1" + QString(3000, '0') + ",50 10,50" << false << false;
    }

    void geometryParsing()
    {
        QFETCH(QString, geometry);
        QFETCH(bool, hashKept);
        QFETCH(bool, hasGeometry);

        auto *route = new PrioRoute(plugin, 1, scene);
        QSignalSpy changed(route, &PrioRoute::stateChanged);
        route->setGeometry(geometry, QStringLiteral("h1"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(route->geometryHash(), hashKept ? QStringLiteral("h1") : QString());
        QCOMPARE(route->hasGeometry(), hasGeometry);
        if (!hashKept) {
            QVERIFY(route->outline().isEmpty());
            QVERIFY(route->arrows().isEmpty());
            QVERIFY(route->boundingRect().isNull());
        }
    }

    void hashRules()
    {
        auto *route = new PrioRoute(plugin, 1, scene);
        QSignalSpy changed(route, &PrioRoute::stateChanged);
        route->setGeometry("10,50 10.001,50", "h");
        route->setGeometry("20,50 20.001,50", "h");
        QCOMPARE(changed.count(), 1);
        QVERIFY(route->outline().boundingRect().left() < 11.0);

        // A failed build clears the hash, so the same hash builds again; no hash always builds.
        route->setGeometry("10,50 11", "bad");
        route->setGeometry("10,50 11", "bad");
        route->setGeometry("20,50 20.001,50", QString());
        route->setGeometry("20,50 20.001,50", QString());
        QCOMPARE(changed.count(), 5);
        QVERIFY(route->outline().boundingRect().left() > 19.0);
    }

    void metaObjectInterface()
    {
        QCOMPARE(ItemTest::interfaceOf(&PrioRoute::staticMetaObject),
                 QStringLiteral("stateChanged() modelData(int,int) selected=rw dontHide=rw useSgEvents=rw locked=r "
                                "hasGeometry=r id=r"));
    }

    void bandWidthInMetres_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<bool>("eastwards");
        QTest::newRow("equator, east") << 0.0 << true;
        QTest::newRow("70 N, east") << 70.0 << true;
        QTest::newRow("60 N, north") << 60.0 << false;
    }

    void bandWidthInMetres()
    {
        QFETCH(double, latitude);
        QFETCH(bool, eastwards);
        const QPointF start(20.0, latitude);
        const QPointF end = eastwards ? offsetMetres(start, 100.0, 0.0) : offsetMetres(start, 0.0, 100.0);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({start, end}), "h");
        const QRectF box = route->outline().boundingRect();
        // Across the route the band is 2 m wide; along it, the square caps add 1 m at each end.
        const double across = eastwards ? box.height() * MetresPerDegreeLat
                                        : box.width() * ItemTest::metresPerDegreeLon(latitude);
        const double along = eastwards ? box.width() * ItemTest::metresPerDegreeLon(latitude)
                                       : box.height() * MetresPerDegreeLat;
        QVERIFY2(std::fabs(across - 2.0) < 0.02, qPrintable(QString::number(across)));
        QVERIFY2(std::fabs(along - 102.0) < 0.5, qPrintable(QString::number(along)));
        QCOMPARE(route->boundingRect(), box);
    }

    void arrowCount_data()
    {
        // Arrows are one band width (2 m) long and end at 2, 8, 14, ... m from the start.
        QTest::addColumn<double>("lengthMetres");
        QTest::addColumn<int>("arrows");
        QTest::newRow("shorter than the band width") << 1.5 << 0;
        QTest::newRow("one arrow") << 2.5 << 1;
        QTest::newRow("second arrow does not fit") << 7.9 << 1;
        QTest::newRow("second arrow fits") << 8.1 << 2;
        QTest::newRow("just under the cap") << 119993.0 << 19999;
        QTest::newRow("over the cap: none") << 120010.0 << 0;
    }

    void arrowCount()
    {
        QFETCH(double, lengthMetres);
        QFETCH(int, arrows);
        const QPointF start(10.0, 0.0);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({start, offsetMetres(start, lengthMetres, 0.0)}), "h");
        QVERIFY(route->hasGeometry());
        // Each arrow: shaft (move, line), first barb (line), second barb (move, line).
        QCOMPARE(route->arrows().elementCount(), arrows * 5);
    }

    void arrowPositionsAlongTheRoute()
    {
        // East 20 m, then north 20 m: arrow k ends 2 + 6k m along the route and starts 2 m
        // before, also where it straddles the corner.
        const QPointF start(10.0, 0.0);
        const QPointF corner = offsetMetres(start, 20.0, 0.0);
        const QPointF end = offsetMetres(corner, 0.0, 20.0);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({start, corner, end}), "h");

        auto along = [&](const QPointF &p) {
            if (p.y() - start.y() < 0.5 / MetresPerDegreeLat)
                return (p.x() - start.x()) * MetresPerDegreeLat;
            return 20.0 + (p.y() - corner.y()) * MetresPerDegreeLat;
        };
        const QPainterPath &arrows = route->arrows();
        QCOMPARE(arrows.elementCount(), 7 * 5);
        for (int k = 0; k < 7; ++k) {
            const QPointF tail = arrows.elementAt(5 * k);
            const QPointF tip = arrows.elementAt(5 * k + 1);
            QVERIFY2(std::fabs(along(tip) - (2.0 + 6.0 * k)) < 0.01, qPrintable(QString::number(k)));
            if (k != 3) // arrow 3 ends exactly at the corner; its tail is on the first leg anyway
                QVERIFY(std::fabs(along(tail) - (6.0 * k)) < 0.01);
            QVERIFY(arrows.elementAt(5 * k).isMoveTo());
            QVERIFY(arrows.elementAt(5 * k + 3).isMoveTo());
            QCOMPARE(QPointF(arrows.elementAt(5 * k + 3)), tip);
        }
    }

    void selfCrossingRouteHasNoHole()
    {
        const QPointF a(10.0, 0.0);
        const QPointF b = offsetMetres(a, 100.0, 0.0);
        const QPointF c = offsetMetres(b, 0.0, 50.0);
        const QPointF d = offsetMetres(c, -50.0, 0.0);
        const QPointF e = offsetMetres(d, 0.0, -100.0);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({a, b, c, d, e}), "h");
        QCOMPARE(route->outline().fillRule(), Qt::WindingFill);
        // Where the last leg crosses the first, the band is covered twice.
        const QPointF crossing = offsetMetres(a, 50.0, 0.0);
        QVERIFY(route->shape().contains(crossing));
        QVERIFY(route->shape().contains(offsetMetres(crossing, 0.5, 0.5)));
        QVERIFY(!route->shape().contains(offsetMetres(crossing, 5.0, 5.0)));
    }

    void hitTestsFollowTheOutline_data()
    {
        // The route's own hit tests look only at the part of the band near the probe: they
        // must answer what Qt answers for the whole outline.
        QTest::addColumn<QVector<QPointF>>("points");
        const QPointF a(10.0, 50.0);
        QTest::newRow("straight") << QVector<QPointF>{a, offsetMetres(a, 40, 0)};
        QVector<QPointF> zigzag{a};
        for (int i = 1; i < 90; ++i)
            zigzag << offsetMetres(zigzag.last(), 3.0, i % 2 ? 4.0 : -4.0);
        QTest::newRow("zigzag of 90 points, sharp turns") << zigzag;
        QTest::newRow("doubling back") << QVector<QPointF>{a, offsetMetres(a, 30, 0), offsetMetres(a, 5, 0.5)};
        QTest::newRow("repeated points") << QVector<QPointF>{a, a, offsetMetres(a, 10, 10), offsetMetres(a, 10, 10)};
    }

    void hitTestsFollowTheOutline()
    {
        QFETCH(QVector<QPointF>, points);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf(points), "h");
        const QPainterPath outline = route->outline();
        QCOMPARE(route->shape(), outline);
        QCOMPARE(route->boundingRect(), outline.boundingRect());
        // Probes every 0.4 m across the bounds, as points and as half-metre squares.
        const QRectF box = outline.boundingRect().adjusted(-1e-5, -1e-5, 1e-5, 1e-5);
        const double step = 0.4 / MetresPerDegreeLat;
        int inside = 0;
        for (double y = box.top(); y <= box.bottom(); y += step) {
            for (double x = box.left(); x <= box.right(); x += step * 1.6) {
                const QPointF p(x, y);
                QCOMPARE(route->contains(p), outline.contains(p));
                QPainterPath square;
                square.addRect(QRectF(p, QSizeF(step * 1.25, step * 0.8)));
                square.setFillRule(outline.fillRule());
                QCOMPARE(route->collidesWithPath(square), square.intersects(outline));
                inside += outline.contains(p) ? 1 : 0;
            }
        }
        QVERIFY(inside > 20);
    }

    void applyProperties_data()
    {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QString>("texts");
        QTest::addColumn<int>("emitted");
        const QString grey = QColor(Qt::lightGray).name();
        QTest::newRow("empty description falls back to name")
            << "Old" << QVariantMap{{"description", ""}, {"name", "Line 5"}}
            << "Line 5 | Route | Route Line 5 | " + grey << 1;
        QTest::newRow("name alone does not replace a description")
            << "Old" << QVariantMap{{"name", "Line 5"}} << "Old | Route | Route Old | " + grey << 0;
        QTest::newRow("name alone fills an empty description")
            << "" << QVariantMap{{"name", "Line 5"}} << "Line 5 | Route | Route Line 5 | " + grey << 1;
        QTest::newRow("locked: type text and colour only")
            << "" << QVariantMap{{"locked", true}} << " | Route (Locked) | Route 12 | #ff0000" << 1;
        QTest::newRow("nothing known") << "Old" << QVariantMap{{"other", 1}} << "Old | Route | Route Old | " + grey << 0;
    }

    void applyProperties()
    {
        QFETCH(QString, initial);
        QFETCH(QVariantMap, record);
        QFETCH(QString, texts);
        QFETCH(int, emitted);

        auto *route = new PrioRoute(plugin, 12, scene);
        if (!initial.isEmpty())
            route->applyProperties({{"description", initial}});
        QSignalSpy changed(route, &PrioRoute::stateChanged);
        route->applyProperties(record);
        QCOMPARE(textsOf(route), texts);
        QCOMPARE(route->property("locked").toBool(), record.value("locked").toBool());
        QCOMPARE(changed.count(), emitted);
        route->applyProperties(record);
        QCOMPARE(changed.count(), emitted);
    }

    void applyCachedRecord()
    {
        auto *route = new PrioRoute(plugin, 12, scene);
        QSignalSpy changed(route, &PrioRoute::stateChanged);
        // A cached record restores geometry and description, never the lock and never the name.
        route->applyCachedRecord({{"geometry_hash", "g1"},
                                  {"geometry", "10,50 10.001,50"},
                                  {"description", "Ring"},
                                  {"locked", true},
                                  {"name", "ignored"}});
        QVERIFY(route->hasGeometry());
        QCOMPARE(route->geometryHash(), QStringLiteral("g1"));
        QCOMPARE(textsOf(route), "Ring | Route | Route Ring | " + QColor(Qt::lightGray).name());
        QCOMPARE(changed.count(), 2);

        // Missing keys read as empty: the description goes, the geometry is invalid.
        route->applyCachedRecord({});
        QVERIFY(!route->hasGeometry());
        QCOMPARE(route->toolTip(), QStringLiteral("Route 12"));
    }

    void modelData_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("role");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("id, as a number") << 0 << int(Qt::DisplayRole) << QVariant(12);
        QTest::newRow("edit role as display") << 2 << int(Qt::EditRole) << QVariant("Route (Locked)");
        QTest::newRow("column 5") << 5 << int(Qt::DisplayRole) << QVariant();
        QTest::newRow("tooltip, any column") << 7 << int(Qt::ToolTipRole) << QVariant("Route Line 5");
        QTest::newRow("status tip") << 0 << int(Qt::StatusTipRole) << QVariant();
    }

    void modelData()
    {
        QFETCH(int, column);
        QFETCH(int, role);
        QFETCH(QVariant, expected);
        auto *route = new PrioRoute(plugin, 12, scene);
        route->applyProperties({{"description", "Line 5"}, {"locked", true}});
        QVariant got;
        QVERIFY(QMetaObject::invokeMethod(route, "modelData", Q_RETURN_ARG(QVariant, got), Q_ARG(int, column),
                                          Q_ARG(int, role)));
        QCOMPARE(got, expected);
        QCOMPARE(got.userType(), expected.userType());
        // Routes have no picture, but the decoration is an icon all the same.
        QCOMPARE(route->modelData(0, Qt::DecorationRole).userType(), int(QMetaType::QIcon));
    }

    void selection_data()
    {
        // S/s select/deselect through the property, D/d set/clear dontHide, c a click elsewhere.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("selected");
        QTest::newRow("selecting shows") << "S" << true << true;
        QTest::newRow("deselecting hides") << "Ss" << false << false;
        QTest::newRow("dontHide keeps it after deselection") << "DSs" << true << false;
        QTest::newRow("deselection elsewhere hides") << "Sc" << false << false;
        QTest::newRow("clearing dontHide hides") << "Dd" << false << false;
        QTest::newRow("clearing dontHide keeps a selected route") << "DSd" << true << true;
    }

    void selection()
    {
        QFETCH(QString, steps);
        QFETCH(bool, visible);
        QFETCH(bool, selected);
        auto *route = new PrioRoute(plugin, 12, scene);
        route->setGeometry("10,50 10.001,50", "h");
        for (const QChar step : steps) {
            switch (step.toLatin1()) {
            case 'S': route->setProperty("selected", true); break;
            case 's': route->setProperty("selected", false); break;
            case 'D': route->setProperty("dontHide", true); break;
            case 'd': route->setProperty("dontHide", false); break;
            case 'c': scene->clearSelection(); break;
            }
        }
        QCOMPARE(route->isVisible(), visible);
        QCOMPARE(route->isSelected(), selected);
        QCOMPARE(route->property("selected").toBool(), selected);
    }

private:
    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;
};

QTEST_MAIN(tst_PrioRoute)
#include "tst_prioroute.moc"
