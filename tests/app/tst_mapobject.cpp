// How the host tells the plug-in's objects apart and finds them behind scene items, knowing
// them only by class name, properties and modelData.

#include <QGraphicsEllipseItem>
#include <QGraphicsObject>
#include <QtTest>

#include "mapobject.h"

// Stand-ins with the plug-in's class names. Their properties are set dynamically per test;
// column 0 of their rows holds the key, as for the plug-in's items.
class StandIn : public QObject
{
    Q_OBJECT
public:
    QString key;
    Q_INVOKABLE QVariant modelData(int column, int role)
    {
        return column == 0 && role == Qt::DisplayRole ? QVariant(key) : QVariant();
    }
};
class PrioRoute : public StandIn
{
    Q_OBJECT
};
class PrioVehicle : public StandIn
{
    Q_OBJECT
};
class PrioVDetector : public StandIn
{
    Q_OBJECT
};

class Marker : public QGraphicsObject
{
    Q_OBJECT
public:
    QRectF boundingRect() const override { return QRectF(0, 0, 1, 1); }
    void paint(QPainter *, const QStyleOptionGraphicsItem *, QWidget *) override {}
};

class tst_MapObject : public QObject
{
    Q_OBJECT

private slots:
    void kinds()
    {
        PrioRoute route;
        route.setProperty("id", 12);
        route.setProperty("locked", true);
        const MapObjectRef r = MapObjectRef::of(&route);
        QCOMPARE(r.kind, MapObjectRef::Route);
        QCOMPARE(r.id, 12);
        QVERIFY(r.locked);
        QCOMPARE(r.title(), QStringLiteral("Route 12"));

        PrioVehicle board;
        board.setProperty("name", QStringLiteral("B1007"));
        const MapObjectRef b = MapObjectRef::of(&board);
        QCOMPARE(b.kind, MapObjectRef::Board);
        QCOMPARE(b.name, QStringLiteral("B1007"));
        QVERIFY(!b.locked);
        QCOMPARE(b.title(), QStringLiteral("Board B1007"));

        PrioVDetector detector;
        detector.setProperty("id", 7);
        detector.setProperty("tlNumber", 31);
        detector.setProperty("active", true);
        const MapObjectRef d = MapObjectRef::of(&detector);
        QCOMPARE(d.kind, MapObjectRef::Detector);
        QCOMPARE(d.id, 7);
        QCOMPARE(d.tlNumber, 31);
        QVERIFY(d.active);
        QCOMPARE(d.title(), QStringLiteral("Detector 7"));
    }

    void notPluginObjects()
    {
        QObject plain;
        plain.setProperty("id", 3);
        QVERIFY(!MapObjectRef::of(&plain).isValid());
        QVERIFY(!MapObjectRef::of(nullptr).isValid());
        QCOMPARE(MapObjectRef().title(), QString());
    }

    // Without a usable key property the key comes from column 0 of the object's rows; an
    // object that has neither cannot be addressed, so it gets no menu.
    void keyFromTheRows_data()
    {
        QTest::addColumn<QVariant>("idProperty");
        QTest::addColumn<QString>("rowKey");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("id");
        QTest::newRow("property wins") << QVariant(5) << "42" << true << 5;
        QTest::newRow("no property, numeric row") << QVariant() << "42" << true << 42;
        QTest::newRow("text property, numeric row") << QVariant("five") << "42" << true << 42;
        QTest::newRow("no property, text row") << QVariant() << "R42" << false << 0;
        QTest::newRow("nothing at all") << QVariant() << "" << false << 0;
    }
    void keyFromTheRows()
    {
        QFETCH(QVariant, idProperty);
        QFETCH(QString, rowKey);
        QFETCH(bool, valid);
        QFETCH(int, id);
        PrioVDetector detector;
        detector.key = rowKey;
        if (idProperty.isValid())
            detector.setProperty("id", idProperty);
        const MapObjectRef ref = MapObjectRef::of(&detector);
        QCOMPARE(ref.isValid(), valid);
        QCOMPARE(ref.id, id);
    }

    void boardNameFromTheRows()
    {
        PrioVehicle board;
        QVERIFY(!MapObjectRef::of(&board).isValid());
        board.key = QStringLiteral("B77");
        QCOMPARE(MapObjectRef::of(&board).name, QStringLiteral("B77"));
        board.setProperty("name", QStringLiteral("B78"));
        QCOMPARE(MapObjectRef::of(&board).name, QStringLiteral("B78"));
    }

    void objectBehindSceneItems()
    {
        Marker vehicle;
        PrioVehicle owner;
        vehicle.setData(0, QVariant::fromValue<QObject *>(&owner));
        auto *pin = new QGraphicsEllipseItem(&vehicle);
        auto *label = new QGraphicsSimpleTextItem(pin);

        QCOMPARE(mapObjectOfItem(&vehicle), static_cast<QObject *>(&owner));
        // The parts a vehicle is drawn with lead to the vehicle.
        QCOMPARE(mapObjectOfItem(pin), static_cast<QObject *>(&owner));
        QCOMPARE(mapObjectOfItem(label), static_cast<QObject *>(&owner));

        QGraphicsRectItem loose;
        QCOMPARE(mapObjectOfItem(&loose), nullptr);
        QCOMPARE(mapObjectOfItem(nullptr), nullptr);
        loose.setData(0, QStringLiteral("not an object"));
        QCOMPARE(mapObjectOfItem(&loose), nullptr);
    }
};

QTEST_MAIN(tst_MapObject)
#include "tst_mapobject.moc"
