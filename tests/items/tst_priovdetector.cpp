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
    void initTestCase();
    void init();
    void cleanup();

    void construction();
    void metaObjectInterface();
    void lineZoneWithoutCheckin();
    void lineZoneWithCheckin_data();
    void lineZoneWithCheckin();
    void nearPointsAreDropped_data();
    void nearPointsAreDropped();
    void failedBuilds_data();
    void failedBuilds();
    void emergencySector();
    void sectorThenLineZoneIsNotOffset();
    void hashRules();
    void boardNameAloneIsNoChange();
    void routesList_data();
    void routesList();
    void colourAndVisibility_data();
    void colourAndVisibility();
    void activeBoards();
    void deselectionHidesUntilNextState();
    void inView();
    void texts_data();
    void texts();
    void modelData_data();
    void modelData();
    void weightModeFromThePlugin_data();
    void weightModeFromThePlugin();

private:
    PrioVDetector *lineDetector(const QString &geometry, const QVariantMap &extra = {});

    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;
};

void tst_PrioVDetector::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("tst_priovdetector"));
}

void tst_PrioVDetector::init()
{
    plugin = new PriorityPlugin;
    scene = new Road::MapScene;
}

void tst_PrioVDetector::cleanup()
{
    delete plugin;
    delete scene;
}

PrioVDetector *tst_PrioVDetector::lineDetector(const QString &geometry, const QVariantMap &extra)
{
    auto *detector = new PrioVDetector(plugin, 7, scene, true);
    QVariantMap record{{"geometry_hash", "g1"}, {"geometry", geometry}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        record.insert(it.key(), it.value());
    detector->applyProperties(record);
    return detector;
}

void tst_PrioVDetector::construction()
{
    auto *detector = new PrioVDetector(plugin, 7, scene, true);
    QCOMPARE(detector->parent(), plugin);
    QCOMPARE(detector->data(0).value<QObject *>(), detector);
    QCOMPARE(detector->flags(), QGraphicsItem::ItemIsSelectable | QGraphicsItem::ItemIgnoresParentOpacity);
    QCOMPARE(detector->parentItem(), scene->layer("Traffic priority"));
    QVERIFY(!detector->isVisible());
    QVERIFY(!detector->hasGeometry());
    QCOMPARE(detector->stateColour(), QColor(Qt::darkGray));
    QCOMPARE(detector->toolTip(), QStringLiteral("Detector 7"));
    QCOMPARE(detector->pos(), QPointF());
}

void tst_PrioVDetector::metaObjectInterface()
{
    const QMetaObject *mo = &PrioVDetector::staticMetaObject;
    QStringList methods;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        methods << QString::fromLatin1(mo->method(i).methodSignature());
    QCOMPARE(methods, QStringList({"stateChanged()", "modelData(int,int)"}));
    QStringList properties;
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        properties << QString::fromLatin1(mo->property(i).name()) + (mo->property(i).isWritable() ? "=rw" : "=r");
    QCOMPARE(properties, QStringList({"id=r", "tlNumber=r", "locked=r", "active=r", "selected=rw", "hasGeometry=r"}));
}

void tst_PrioVDetector::lineZoneWithoutCheckin()
{
    PrioVDetector *detector = lineDetector(eastOfStart({0, 30}));
    QVERIFY(detector->hasGeometry());
    QCOMPARE(detector->geometryHash(), QStringLiteral("g1"));
    QCOMPARE(detector->pos(), QPointF());

    // A 1.5 m band from the start to 5 m before the stop point (square caps add 0.75 m).
    const QRectF band = metresRect(detector->band().boundingRect());
    QVERIFY2(std::fabs(band.height() - 1.5) < 0.02, qPrintable(QString::number(band.height())));
    QVERIFY(std::fabs(band.left() + 0.75) < 0.05);
    QVERIFY2(std::fabs(band.right() - 25.75) < 0.05, qPrintable(QString::number(band.right())));
    QCOMPARE(detector->band().fillRule(), Qt::WindingFill);

    // 3 m circles at both ends.
    const QRectF start = metresRect(detector->startCircle().boundingRect());
    const QRectF end = metresRect(detector->endCircle().boundingRect());
    QVERIFY(near(start.center(), QPointF(0, 0)));
    QVERIFY(near(end.center(), QPointF(30, 0)));
    QVERIFY(std::fabs(start.width() - 3.0) < 0.02 && std::fabs(end.height() - 3.0) < 0.02);

    // The arrowhead: tip at the stop point, base 5 m back and 2.5 m wide.
    const QPolygonF head = detector->arrowHead();
    QCOMPARE(head.size(), 3);
    QVERIFY(near(metresFromStart(head.at(1)), QPointF(30, 0)));
    QVERIFY(near(metresFromStart(head.at(0)), QPointF(25, 1.25)) || near(metresFromStart(head.at(0)), QPointF(25, -1.25)));
    QVERIFY(near(metresFromStart(head.at(0)) + metresFromStart(head.at(2)), QPointF(50, 0)));

    QVERIFY(detector->checkinSquare().isEmpty());
    const QRectF weight = metresRect(detector->weightRect());
    QVERIFY(near(weight.center(), QPointF(30, 0)));
    QVERIFY(std::fabs(weight.width() - 12.0) < 0.05 && std::fabs(weight.height() - 12.0) < 0.05);

    // The shape is the zone; the bounds also hold the weight figure painted around it.
    QCOMPARE(detector->shape(), detector->zonePath());
    QVERIFY(detector->boundingRect().contains(detector->weightRect().normalized()));
    QVERIFY(detector->boundingRect().contains(detector->zonePath().boundingRect()));
}

void tst_PrioVDetector::lineZoneWithCheckin_data()
{
    QTest::addColumn<QString>("geometry");
    QTest::addColumn<double>("checkin");
    QTest::addColumn<QPointF>("checkinPoint");
    QTest::newRow("10 m along a straight line") << eastOfStart({0, 30}) << 10.0 << QPointF(10, 0);
    QTest::newRow("8 m beyond the second point") << eastOfStart({0, 12, 32}) << 20.0 << QPointF(20, 0);
    QTest::newRow("at the start") << eastOfStart({0, 30}) << 0.0 << QPointF(0, 0);
    QTest::newRow("zero-length first segment") << eastOfStart({0, 0, 30}) << 0.0 << QPointF(0, 0);
    // North 20 m, then east 20 m: 25 m in, the point is 5 m east of the corner.
    QTest::newRow("after a corner")
        << geometryOf({Start, offsetMetres(Start, 0, 20), offsetMetres(Start, 20, 20)}) << 25.0 << QPointF(5, 20);
}

void tst_PrioVDetector::lineZoneWithCheckin()
{
    QFETCH(QString, geometry);
    QFETCH(double, checkin);
    QFETCH(QPointF, checkinPoint);
    PrioVDetector *detector = lineDetector(geometry, {{"checkin_length", checkin}});
    QVERIFY(detector->hasGeometry());
    const QRectF square = metresRect(detector->checkinSquare().boundingRect());
    QVERIFY2(near(square.center(), checkinPoint), qPrintable(QString("%1,%2").arg(square.center().x()).arg(square.center().y())));
    QVERIFY(std::fabs(square.width() - 3.0) < 0.05);
    const QRectF weight = metresRect(detector->weightRect());
    QVERIFY(near(weight.center(), checkinPoint));
    QVERIFY(std::fabs(weight.width() - 12.0) < 0.05);
    QVERIFY(detector->boundingRect().contains(detector->weightRect().normalized()));
    QVERIFY(detector->boundingRect().contains(detector->checkinSquare().boundingRect()));
}

void tst_PrioVDetector::nearPointsAreDropped_data()
{
    QTest::addColumn<QString>("geometry");
    QTest::addColumn<double>("stopMetres");
    QTest::newRow("near last point dropped: ends at the previous") << eastOfStart({0, 30, 33}) << 30.0;
    QTest::newRow("near middle point dropped") << eastOfStart({0, 3, 30}) << 30.0;
    QTest::newRow("exactly 5 m is kept") << eastOfStart({0, 30, 35.001}) << 35.001;
}

void tst_PrioVDetector::nearPointsAreDropped()
{
    QFETCH(QString, geometry);
    QFETCH(double, stopMetres);
    PrioVDetector *detector = lineDetector(geometry);
    QVERIFY(detector->hasGeometry());
    QVERIFY(near(metresFromStart(detector->arrowHead().at(1)), QPointF(stopMetres, 0)));
}

void tst_PrioVDetector::failedBuilds_data()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::addColumn<QVariantMap>("record");
    QTest::newRow("a bad point fails the whole line") << QVariantMap{{"geometry", "10,50 11"}};
    QTest::newRow("empty geometry") << QVariantMap{{"geometry", ""}};
    QTest::newRow("one point left after dropping") << QVariantMap{{"geometry", eastOfStart({0, 3})}};
    QTest::newRow("all points equal") << QVariantMap{{"geometry", eastOfStart({0, 0, 0, 0})}};
    QTest::newRow("beyond the Mercator limit") << QVariantMap{{"geometry", "10,86 10.001,86"}};
    QTest::newRow("NaN") << QVariantMap{{"geometry", "10,50 nan,50"}};
    QTest::newRow("sector without sweepAngle")
        << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 55.7}}, {"radius", 100}, {"directionAngle", 0}};
    QTest::newRow("sector at the pole")
        << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 90}}, {"radius", 100}, {"directionAngle", 0},
                       {"sweepAngle", 60}};
    QTest::newRow("sector at NaN")
        << QVariantMap{{"emergency", true}, {"pos", QVariantList{nan, 55.7}}, {"radius", 100}, {"directionAngle", 0},
                       {"sweepAngle", 60}};
    QTest::newRow("sector with a negative radius")
        << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 55.7}}, {"radius", -100},
                       {"directionAngle", 0}, {"sweepAngle", 60}};
    QTest::newRow("sector radius beyond int")
        << QVariantMap{{"emergency", true}, {"pos", QVariantList{37.6, 55.7}}, {"radius", 1e30},
                       {"directionAngle", 0}, {"sweepAngle", 60}};
}

void tst_PrioVDetector::failedBuilds()
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

void tst_PrioVDetector::emergencySector()
{
    auto *detector = new PrioVDetector(plugin, 31, scene, true);
    detector->applyProperties({{"geometry_hash", "s1"},
                               {"emergency", true},
                               {"pos", QVariantList{37.6, 55.7}},
                               {"radius", 100},
                               {"directionAngle", 90},
                               {"sweepAngle", 60}});
    QVERIFY(detector->hasGeometry());
    QCOMPARE(detector->pos(), QPointF(37.6, 55.7));
    QCOMPARE(detector->centre(), QPointF(37.6, 55.7));
    // 60 degrees of 100 m opening south, and a 2 m dot at the centre (item coordinates).
    const QRectF box = detector->zonePath().boundingRect();
    const double lonMetres = ItemTest::metresPerDegreeLon(55.7);
    QVERIFY2(std::fabs(box.top() * MetresPerDegreeLat + 100.0) < 0.5, qPrintable(QString::number(box.top() * MetresPerDegreeLat)));
    QVERIFY(std::fabs(box.bottom() * MetresPerDegreeLat - 2.0) < 0.05);
    QVERIFY(std::fabs(box.left() * lonMetres + 50.0) < 0.5);
    QVERIFY(std::fabs(box.right() * lonMetres - 50.0) < 0.5);
    QVERIFY(detector->zonePath().contains(QPointF(0, -50.0 / MetresPerDegreeLat)));
    QVERIFY(!detector->zonePath().contains(QPointF(0, 50.0 / MetresPerDegreeLat)));
    QCOMPARE(detector->typeText(), QStringLiteral("ESC detector"));
}

void tst_PrioVDetector::sectorThenLineZoneIsNotOffset()
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

void tst_PrioVDetector::hashRules()
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

void tst_PrioVDetector::boardNameAloneIsNoChange()
{
    auto *detector = new PrioVDetector(plugin, 7, scene, true);
    QSignalSpy changed(detector, &PrioVDetector::stateChanged);
    detector->applyProperties({{"board_name", "B1"}});
    QCOMPARE(detector->activeBoards(), QSet<QString>{"B1"});
    QCOMPARE(changed.count(), 0);
}

void tst_PrioVDetector::routesList_data()
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

void tst_PrioVDetector::routesList()
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

void tst_PrioVDetector::colourAndVisibility_data()
{
    QTest::addColumn<bool>("locked");
    QTest::addColumn<QStringList>("states");
    QTest::addColumn<bool>("showOnActivation");
    QTest::addColumn<bool>("inView");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<bool>("visible");

    const QColor blue(Qt::blue), green(Qt::green), grey(Qt::darkGray), red(Qt::red);
    QTest::newRow("inside shows") << false << QStringList{"inside"} << true << false << false << blue << true;
    QTest::newRow("active shows") << false << QStringList{"active"} << true << false << false << green << true;
    QTest::newRow("active without showOnActivation stays hidden")
        << false << QStringList{"active"} << false << false << false << green << false;
    QTest::newRow("idle after inside hides") << false << QStringList{"inside", "idle"} << true << false << false
                                             << grey << false;
    QTest::newRow("idle stays while selected") << false << QStringList{"inside", "idle"} << true << false << true
                                               << grey << true;
    QTest::newRow("idle stays while in view") << false << QStringList{"inside", "idle"} << true << true << false
                                              << grey << true;
    QTest::newRow("an unknown word is idle") << false << QStringList{"active", "sleeping"} << true << false << false
                                             << grey << false;
    QTest::newRow("locked is red and never shown by a state")
        << true << QStringList{"active"} << true << false << false << red << false;
    QTest::newRow("locked in view") << true << QStringList{"inside"} << true << true << false << red << true;
    QTest::newRow("locked and selected") << true << QStringList{"inside"} << true << false << true << red << true;
    QTest::newRow("without showOnActivation a shown idle detector stays")
        << false << QStringList{"active", "idle"} << false << false << true << grey << true;
}

void tst_PrioVDetector::colourAndVisibility()
{
    QFETCH(bool, locked);
    QFETCH(QStringList, states);
    QFETCH(bool, showOnActivation);
    QFETCH(bool, inView);
    QFETCH(bool, selected);
    QFETCH(QColor, colour);
    QFETCH(bool, visible);

    PrioVDetector *detector = lineDetector(eastOfStart({0, 30}), {{"locked", locked}});
    detector->setShowOnActivation(showOnActivation);
    if (selected)
        detector->setProperty("selected", true);
    detector->setInView(inView);
    for (const QString &state : states)
        detector->setState(state, "B1");
    QCOMPARE(detector->stateColour(), colour);
    QCOMPARE(detector->isVisible(), visible);
    QCOMPARE(detector->isSelected(), selected);
    QCOMPARE(detector->property("active").toBool(), states.last() == "active");
}

void tst_PrioVDetector::activeBoards()
{
    auto *detector = new PrioVDetector(plugin, 7, scene, true);
    detector->setState("active", "A");
    detector->setState("active", "B");
    detector->setState("idle", "A");
    QCOMPARE(detector->activeBoards(), QSet<QString>{"B"});
    QCOMPARE(detector->state(), QStringLiteral("idle"));
    // An empty state is ignored entirely.
    detector->setState("", "B");
    QCOMPARE(detector->activeBoards(), QSet<QString>{"B"});
    QCOMPARE(detector->state(), QStringLiteral("idle"));
}

void tst_PrioVDetector::deselectionHidesUntilNextState()
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

void tst_PrioVDetector::inView()
{
    PrioVDetector *detector = lineDetector(eastOfStart({0, 30}));
    detector->setInView(true);
    QVERIFY(detector->isVisible());
    detector->setInView(false);
    QVERIFY(!detector->isVisible());
    detector->setShowOnActivation(false);
    detector->setInView(true);
    detector->setInView(false);
    QVERIFY(detector->isVisible()); // the idle row hides only with showOnActivation
}

void tst_PrioVDetector::texts_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QVariantMap>("record");
    QTest::addColumn<QString>("typeText");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("emergency with name and controller")
        << 31 << QVariantMap{{"emergency", true}, {"name", "North gate"}, {"tl_number", 12}} << "ESC detector"
        << "North gate (TL 12)" << "ESC detector North gate (TL 12)";
    QTest::newRow("locked, no name, no controller")
        << 7 << QVariantMap{{"locked", true}} << "Detector (Locked)" << "7" << "Detector (Locked) 7";
    QTest::newRow("plain") << 5 << QVariantMap{{"name", ""}} << "Detector" << "5" << "Detector 5";
    QTest::newRow("negative controller number") << 5 << QVariantMap{{"tl_number", -3}} << "Detector" << "5"
                                                << "Detector 5";
}

void tst_PrioVDetector::texts()
{
    QFETCH(int, id);
    QFETCH(QVariantMap, record);
    QFETCH(QString, typeText);
    QFETCH(QString, displayName);
    QFETCH(QString, toolTip);
    auto *detector = new PrioVDetector(plugin, id, scene, true);
    detector->applyProperties(record);
    QCOMPARE(detector->typeText(), typeText);
    QCOMPARE(detector->displayName(), displayName);
    QCOMPARE(detector->toolTip(), toolTip);
    QCOMPARE(detector->modelData(1, Qt::DisplayRole).toString(), displayName);
}

void tst_PrioVDetector::modelData_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("id") << 0 << int(Qt::DisplayRole) << QVariant(7);
    QTest::newRow("display name") << 1 << int(Qt::EditRole) << QVariant("Gate (TL 3)");
    QTest::newRow("type text") << 2 << int(Qt::DisplayRole) << QVariant("Detector");
    QTest::newRow("column 3") << 3 << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("decoration of column 1") << 1 << int(Qt::DecorationRole) << QVariant();
    QTest::newRow("tooltip, column 9") << 9 << int(Qt::ToolTipRole) << QVariant("Detector Gate (TL 3)");
    QTest::newRow("status tip, column 4") << 4 << int(Qt::StatusTipRole) << QVariant(QString(""));
    QTest::newRow("size hint") << 0 << int(Qt::SizeHintRole) << QVariant();
}

void tst_PrioVDetector::modelData()
{
    QFETCH(int, column);
    QFETCH(int, role);
    QFETCH(QVariant, expected);
    auto *detector = new PrioVDetector(plugin, 7, scene, true);
    detector->applyProperties({{"name", "Gate"}, {"tl_number", 3}});
    QVariant got;
    QVERIFY(QMetaObject::invokeMethod(detector, "modelData", Q_RETURN_ARG(QVariant, got), Q_ARG(int, column),
                                      Q_ARG(int, role)));
    QCOMPARE(got, expected);
    if (column == 0 && role == Qt::DisplayRole)
        QCOMPARE(got.type(), QVariant::Int);
}

void tst_PrioVDetector::weightModeFromThePlugin_data()
{
    QTest::addColumn<bool>("pluginParent");
    QTest::newRow("plug-in parent") << true;
    QTest::newRow("another parent: default") << false;
}

void tst_PrioVDetector::weightModeFromThePlugin()
{
    QFETCH(bool, pluginParent);
    plugin->setDtWeightShowMode(PriorityPlugin::show_weight_always);
    QObject other;
    auto *detector = new PrioVDetector(pluginParent ? static_cast<QObject *>(plugin) : &other, 7, scene, false);
    QCOMPARE(detector->weightShowMode(), pluginParent ? 1 : 0);
    QVERIFY(!detector->showOnActivation());
    if (!pluginParent)
        delete detector;
}

QTEST_MAIN(tst_PrioVDetector)
#include "tst_priovdetector.moc"
