#include "items/priovdetector.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include "itemtestutil.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <cmath>
#include <limits>

using ItemTest::MetresPerDegreeLat;
using ItemTest::geometryOf;
using ItemTest::offsetMetres;

namespace {

const QPointF Start(10.0, 50.0);

// East and north offsets of p from Start in metres (locally flat).
QPointF metresFromStart(const QPointF &p)
{
    return QPointF((p.x() - Start.x()) * ItemTest::metresPerDegreeLon(Start.y()),
                   (p.y() - Start.y()) * MetresPerDegreeLat);
}

QRectF metresRect(const QRectF &r)
{
    return QRectF(metresFromStart(r.topLeft()), metresFromStart(r.bottomRight())).normalized();
}

bool near(const QPointF &a, const QPointF &b, double tolerance = 0.05)
{
    return QLineF(a, b).length() < tolerance;
}

// Rectangles in metres agreeing within 5 cm on every edge, or the one that was got.
QByteArray rectMismatch(const QRectF &got, const QRectF &want, double tolerance = 0.05)
{
    if (std::fabs(got.left() - want.left()) < tolerance && std::fabs(got.right() - want.right()) < tolerance
        && std::fabs(got.top() - want.top()) < tolerance && std::fabs(got.bottom() - want.bottom()) < tolerance)
        return QByteArray();
    return QString("%1,%2 %3x%4").arg(got.x()).arg(got.y()).arg(got.width()).arg(got.height()).toLatin1();
}

QString eastOfStart(std::initializer_list<double> metres)
{
    QVector<QPointF> points;
    for (double m : metres)
        points << offsetMetres(Start, m, 0.0);
    return geometryOf(points);
}

} // namespace

class tst_PrioVDetector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("tst_priovdetector"));
    }

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

    void metaObjectInterface()
    {
        QCOMPARE(ItemTest::interfaceOf(&PrioVDetector::staticMetaObject),
                 QStringLiteral("stateChanged() modelData(int,int) id=r tlNumber=r locked=r active=r selected=rw "
                                "hasGeometry=r"));
    }

    void lineZoneWithoutCheckin()
    {
        PrioVDetector *detector = lineDetector(eastOfStart({0, 30}));
        QVERIFY(detector->hasGeometry());
        QCOMPARE(detector->geometryHash(), QStringLiteral("g1"));
        QCOMPARE(detector->pos(), QPointF());

        // A 1.5 m band from the start to 5 m before the stop point (square caps add 0.75 m), 3 m
        // circles at both ends, the 12 m weight rectangle on the stop point.
        QCOMPARE(rectMismatch(metresRect(detector->band().boundingRect()), QRectF(-0.75, -0.75, 26.5, 1.5)), QByteArray());
        QCOMPARE(rectMismatch(metresRect(detector->startCircle().boundingRect()), QRectF(-1.5, -1.5, 3, 3)), QByteArray());
        QCOMPARE(rectMismatch(metresRect(detector->endCircle().boundingRect()), QRectF(28.5, -1.5, 3, 3)), QByteArray());
        QCOMPARE(rectMismatch(metresRect(detector->weightRect()), QRectF(24, -6, 12, 12)), QByteArray());
        QCOMPARE(detector->band().fillRule(), Qt::WindingFill);
        QVERIFY(detector->checkinSquare().isEmpty());

        // The arrowhead: tip at the stop point, base 5 m back and 2.5 m wide.
        const QPolygonF head = detector->arrowHead();
        QCOMPARE(head.size(), 3);
        QVERIFY(near(metresFromStart(head.at(1)), QPointF(30, 0)));
        QVERIFY(near(metresFromStart(head.at(0)), QPointF(25, 1.25)) || near(metresFromStart(head.at(0)), QPointF(25, -1.25)));
        QVERIFY(near(metresFromStart(head.at(0)) + metresFromStart(head.at(2)), QPointF(50, 0)));

        // The shape is the zone; the bounds also hold the weight figure painted around it.
        QCOMPARE(detector->shape(), detector->zonePath());
        QVERIFY(detector->boundingRect().contains(detector->weightRect().normalized()));
        QVERIFY(detector->boundingRect().contains(detector->zonePath().boundingRect()));
    }

    void lineZoneWithCheckin_data()
    {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<double>("checkin");
        QTest::addColumn<QPointF>("checkinPoint");
        QTest::newRow("10 m along a straight line") << eastOfStart({0, 30}) << 10.0 << QPointF(10, 0);
        QTest::newRow("8 m beyond the second point") << eastOfStart({0, 12, 32}) << 20.0 << QPointF(20, 0);
        QTest::newRow("zero-length first segment") << eastOfStart({0, 0, 30}) << 0.0 << QPointF(0, 0);
        // North 20 m, then east 20 m: 25 m in, the point is 5 m east of the corner.
        QTest::newRow("after a corner")
            << geometryOf({Start, offsetMetres(Start, 0, 20), offsetMetres(Start, 20, 20)}) << 25.0 << QPointF(5, 20);
    }

    void lineZoneWithCheckin()
    {
        QFETCH(QString, geometry);
        QFETCH(double, checkin);
        QFETCH(QPointF, checkinPoint);
        PrioVDetector *detector = lineDetector(geometry, {{"checkin_length", checkin}});
        QVERIFY(detector->hasGeometry());
        // A 3 m square and the 12 m weight rectangle centred on the check-in point.
        const QRectF square(checkinPoint - QPointF(1.5, 1.5), QSizeF(3, 3));
        QCOMPARE(rectMismatch(metresRect(detector->checkinSquare().boundingRect()), square), QByteArray());
        QCOMPARE(rectMismatch(metresRect(detector->weightRect()), square.adjusted(-4.5, -4.5, 4.5, 4.5)), QByteArray());
        QVERIFY(detector->boundingRect().contains(detector->weightRect().normalized()));
        QVERIFY(detector->boundingRect().contains(detector->checkinSquare().boundingRect()));
    }

    void nearPointsAreDropped_data()
    {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<double>("stopMetres");
        QTest::newRow("near last point dropped: ends at the previous") << eastOfStart({0, 30, 33}) << 30.0;
        QTest::newRow("near middle point dropped") << eastOfStart({0, 3, 30}) << 30.0;
        QTest::newRow("exactly 5 m is kept") << eastOfStart({0, 30, 35.001}) << 35.001;
    }

    void nearPointsAreDropped()
    {
        QFETCH(QString, geometry);
        QFETCH(double, stopMetres);
        PrioVDetector *detector = lineDetector(geometry);
        QVERIFY(detector->hasGeometry());
        QVERIFY(near(metresFromStart(detector->arrowHead().at(1)), QPointF(stopMetres, 0)));
    }

    void failedBuilds_data()
    {
        QTest::addColumn<QVariantMap>("record");
        QTest::newRow("a bad point fails the whole line") << QVariantMap{{"geometry", "10,50 11"}};
        QTest::newRow("one point left after dropping") << QVariantMap{{"geometry", eastOfStart({0, 3})}};
        QTest::newRow("all points equal") << QVariantMap{{"geometry", eastOfStart({0, 0, 0, 0})}};
        QTest::newRow("beyond the Mercator limit") << QVariantMap{{"geometry", "10,86 10.001,86"}};
        QTest::newRow("sector without sweepAngle")
            << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 55.7}}, {"radius", 100}, {"directionAngle", 0}};
        QTest::newRow("sector at the pole")
            << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 90}}, {"radius", 100}, {"directionAngle", 0},
                           {"sweepAngle", 60}};
        QTest::newRow("sector with a negative radius")
            << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 55.7}}, {"radius", -100},
                           {"directionAngle", 0}, {"sweepAngle", 60}};
        QTest::newRow("sector radius beyond int")
            << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 55.7}}, {"radius", 1e30},
                           {"directionAngle", 0}, {"sweepAngle", 60}};
    }

    void failedBuilds()
    {
        QFETCH(QVariantMap, record);
        // A zone built before is gone after a failed build: nothing of it is drawn.
        PrioVDetector *detector = lineDetector(eastOfStart({0, 30}), {{"checkin_length", 10}});
        QVERIFY(detector->hasGeometry());
        QSignalSpy changed(detector, &PrioVDetector::stateChanged);
        record.insert("geometry_hash", "g2");
        detector->applyProperties(record);
        QVERIFY(!detector->hasGeometry());
        QVERIFY(detector->zonePath().isEmpty());
        QVERIFY(detector->band().isEmpty());
        QVERIFY(detector->checkinSquare().isEmpty());
        QVERIFY(detector->boundingRect().isNull());
        QCOMPARE(detector->geometryHash(), QString());
        QCOMPARE(changed.count(), 1);
        // The hash was cleared: the same record builds (and fails) again.
        detector->applyProperties(record);
        QCOMPARE(changed.count(), 2);
    }

    void emergencySector()
    {
        auto *detector = new PrioVDetector(plugin, 31, scene, true);
        detector->applyProperties({{"geometry_hash", "s1"}, {"emergency", true}, {"pos", QVariantList{37.6, 55.7}},
                                   {"radius", 100}, {"directionAngle", 90}, {"sweepAngle", 60}});
        QVERIFY(detector->hasGeometry());
        QCOMPARE(detector->pos(), QPointF(37.6, 55.7));
        QCOMPARE(detector->centre(), QPointF(37.6, 55.7));
        // 60 degrees of 100 m opening south (100 sin 30 m to either side), and a 2 m dot at the
        // centre, in item coordinates.
        const QRectF box = detector->zonePath().boundingRect();
        const double lonMetres = ItemTest::metresPerDegreeLon(55.7);
        const QRectF metres(QPointF(box.left() * lonMetres, box.top() * MetresPerDegreeLat),
                            QPointF(box.right() * lonMetres, box.bottom() * MetresPerDegreeLat));
        QCOMPARE(rectMismatch(metres, QRectF(-50, -100, 100, 102), 0.5), QByteArray());
        QVERIFY(detector->zonePath().contains(QPointF(0, -50.0 / MetresPerDegreeLat)));
        QVERIFY(!detector->zonePath().contains(QPointF(0, 50.0 / MetresPerDegreeLat)));
        QCOMPARE(detector->typeText(), QStringLiteral("ESC detector"));
    }

    void sectorThenLineZoneIsNotOffset()
    {
        auto *detector = new PrioVDetector(plugin, 31, scene, true);
        detector->applyProperties({{"geometry_hash", "s1"}, {"emergency", true}, {"pos", QVariantList{37.6, 55.7}},
                                   {"radius", 100}, {"directionAngle", 90}, {"sweepAngle", 60}});
        QCOMPARE(detector->pos(), QPointF(37.6, 55.7));
        detector->applyProperties({{"geometry_hash", "l1"}, {"emergency", false}, {"geometry", eastOfStart({0, 30})}});
        QVERIFY(detector->hasGeometry());
        QCOMPARE(detector->pos(), QPointF(0, 0));
        // The zone lies where its geometry says, in scene coordinates.
        QVERIFY(detector->sceneBoundingRect().contains(offsetMetres(Start, 15, 0)));
    }

    void hashRules()
    {
        PrioVDetector *detector = lineDetector(eastOfStart({0, 30}));
        const QPainterPath zone = detector->zonePath();
        QSignalSpy changed(detector, &PrioVDetector::stateChanged);
        detector->applyProperties({{"geometry_hash", "g1"}, {"geometry", eastOfStart({0, 60})}});
        QCOMPARE(detector->zonePath(), zone);
        detector->applyProperties({{"geometry_hash", ""}, {"geometry", eastOfStart({0, 60})}});
        QCOMPARE(detector->zonePath(), zone);
        QCOMPARE(changed.count(), 0);
        // A record without "weight" sets it to 0: a change.
        detector->applyProperties({{"weight", 3}});
        detector->applyProperties({});
        QCOMPARE(detector->weight(), 0);
        QCOMPARE(changed.count(), 2);
    }

    void routesList_data()
    {
        QTest::addColumn<QVariant>("routes");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("numbers and text") << QVariant(QVariantList{1, "2", 3.0}) << QList<int>{1, 2, 3};
        QTest::newRow("not a list") << QVariant("4") << QList<int>{};
        QTest::newRow("huge id") << QVariant(QVariantList{1e300}) << QList<int>{0};
        QVariantList many;
        QList<int> kept;
        for (int i = 0; i < 5000; ++i)
            many << i;
        for (int i = 0; i < 1024; ++i)
            kept << i;
        QTest::newRow("too many are cut") << QVariant(many) << kept;
    }

    void routesList()
    {
        QFETCH(QVariant, routes);
        QFETCH(QList<int>, expected);
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        QSignalSpy changed(detector, &PrioVDetector::stateChanged);
        detector->applyProperties({{"routes", routes}});
        QCOMPARE(detector->routes(), expected);
        detector->applyProperties({{"routes", routes}});
        QCOMPARE(changed.count(), 2); // a routes key is a change even when the ids are the same
    }

    void colourAndVisibility_data()
    {
        // Given: which of locked, show (on activation), view (in view), selected hold, then the
        // states in turn. Expected: the state colour, and whether the detector is shown.
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::newRow("inside shows") << "show: inside" << "#0000ff shown";
        QTest::newRow("active shows") << "show: active" << "#00ff00 shown";
        QTest::newRow("active without showOnActivation stays hidden") << ": active" << "#00ff00 hidden";
        QTest::newRow("idle after inside hides") << "show: inside idle" << "#808080 hidden";
        QTest::newRow("idle stays while selected") << "show selected: inside idle" << "#808080 shown";
        QTest::newRow("idle stays while in view") << "show view: inside idle" << "#808080 shown";
        QTest::newRow("an unknown word is idle") << "show: active sleeping" << "#808080 hidden";
        QTest::newRow("locked is red and never shown by a state") << "locked show: active" << "#ff0000 hidden";
        QTest::newRow("locked in view") << "locked show view: inside" << "#ff0000 shown";
        QTest::newRow("locked and selected") << "locked show selected: inside" << "#ff0000 shown";
        QTest::newRow("without showOnActivation a shown idle detector stays") << "selected: active idle"
                                                                              << "#808080 shown";
    }

    void colourAndVisibility()
    {
        QFETCH(QString, given);
        QFETCH(QString, expected);
        const QStringList flags = given.section(':', 0, 0).split(' ');
        const QStringList states = given.section(':', 1).split(' ', Qt::SkipEmptyParts);

        PrioVDetector *detector = lineDetector(eastOfStart({0, 30}), {{"locked", flags.contains("locked")}});
        detector->setShowOnActivation(flags.contains("show"));
        if (flags.contains("selected"))
            detector->setProperty("selected", true);
        detector->setInView(flags.contains("view"));
        for (const QString &state : states)
            detector->setState(state, "B1");
        QCOMPARE(detector->stateColour().name() + (detector->isVisible() ? " shown" : " hidden"), expected);
        QCOMPARE(detector->isSelected(), flags.contains("selected"));
        QCOMPARE(detector->property("active").toBool(), states.last() == "active");
    }

    void activeBoards()
    {
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->setState("active", "A");
        detector->setState("active", "B");
        detector->setState("idle", "A");
        QCOMPARE(detector->activeBoards(), QSet<QString>{"B"});
        QCOMPARE(detector->state(), QStringLiteral("idle"));
        // An empty state is ignored entirely; a board name in a record adds without a change.
        detector->setState("", "B");
        QSignalSpy changed(detector, &PrioVDetector::stateChanged);
        detector->applyProperties({{"board_name", "C"}});
        QCOMPARE(detector->activeBoards(), QSet<QString>({"B", "C"}));
        QCOMPARE(detector->state(), QStringLiteral("idle"));
        QCOMPARE(changed.count(), 0);
    }

    void deselectionHidesUntilNextState()
    {
        PrioVDetector *detector = lineDetector(eastOfStart({0, 30}));
        detector->setState("active", "B1");
        detector->setProperty("selected", true);
        QVERIFY(detector->isVisible() && detector->isSelected());
        detector->setProperty("selected", false);
        QVERIFY(!detector->isVisible());
        detector->setState("inside", "B1");
        QVERIFY(detector->isVisible());
        // A click elsewhere deselects as well.
        detector->setProperty("selected", true);
        scene->clearSelection();
        QVERIFY(!detector->isVisible());
    }

    void texts_data()
    {
        // Expected: type text | display name | tool tip.
        QTest::addColumn<int>("id");
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QString>("texts");
        QTest::newRow("emergency with name and controller")
            << 31 << QVariantMap{{"emergency", true}, {"name", "North gate"}, {"tl_number", 12}}
            << "ESC detector | North gate (TL 12) | ESC detector North gate (TL 12)";
        QTest::newRow("locked, no name, no controller")
            << 7 << QVariantMap{{"locked", true}} << "Detector (Locked) | 7 | Detector (Locked) 7";
        QTest::newRow("negative controller number") << 5 << QVariantMap{{"name", ""}, {"tl_number", -3}}
                                                    << "Detector | 5 | Detector 5";
    }

    void texts()
    {
        QFETCH(int, id);
        QFETCH(QVariantMap, record);
        QFETCH(QString, texts);
        auto *detector = new PrioVDetector(plugin, id, scene, true);
        detector->applyProperties(record);
        QCOMPARE(QStringList({detector->typeText(), detector->displayName(), detector->toolTip()}).join(" | "), texts);
        // The tree row: the id as a number, display name, type text; the tooltip in any column.
        auto cell = [detector](int column, int role) {
            QVariant got;
            QMetaObject::invokeMethod(detector, "modelData", Q_RETURN_ARG(QVariant, got), Q_ARG(int, column),
                                      Q_ARG(int, role));
            return got;
        };
        QCOMPARE(QVariantList({cell(0, Qt::DisplayRole), cell(1, Qt::EditRole), cell(2, Qt::DisplayRole),
                               cell(3, Qt::DisplayRole), cell(9, Qt::ToolTipRole), cell(4, Qt::StatusTipRole)}),
                 QVariantList({id, detector->displayName(), detector->typeText(), QVariant(), detector->toolTip(),
                               QString("")}));
        QCOMPARE(cell(0, Qt::DisplayRole).userType(), int(QMetaType::Int));
    }

    void anotherParentTakesTheDefaults()
    {
        plugin->setDtWeightShowMode(PriorityPlugin::show_weight_always);
        QObject other;
        QScopedPointer<PrioVDetector> detector(new PrioVDetector(&other, 7, scene, false));
        QCOMPARE(detector->weightShowMode(), 0);
        QVERIFY(!detector->showOnActivation());
        QCOMPARE((new PrioVDetector(plugin, 8, scene, false))->weightShowMode(), 1);
    }

private:
    PrioVDetector *lineDetector(const QString &geometry, const QVariantMap &extra = {})
    {
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        QVariantMap record{{"geometry_hash", "g1"}, {"geometry", geometry}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            record.insert(it.key(), it.value());
        detector->applyProperties(record);
        return detector;
    }

    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;
};

QTEST_MAIN(tst_PrioVDetector)
#include "tst_priovdetector.moc"
