#include "items/itemlimits.h"

#include "itemtestutil.h"

#include <QGraphicsSceneHelpEvent>
#include <QSignalSpy>

using namespace ItemTest;

namespace {

const QPointF Start(10.0, 50.0);

QString decimetres(double v, int per = 10)
{
    return QString::number(qRound(v * per) / double(per));
}

QString metres(const QPointF &p, const QPointF &origin = Start, int per = 10)
{
    const QPointF m = metresFrom(origin, p);
    return decimetres(m.x(), per) + ',' + decimetres(m.y(), per);
}

// A scene rectangle as its centre and size in metres from origin, to a decimetre (or 1/per m).
QString metres(const QRectF &r, const QPointF &origin = Start, int per = 10)
{
    const QRectF m = QRectF(metresFrom(origin, r.topLeft()), metresFrom(origin, r.bottomRight())).normalized();
    return metres(offsetMetres(origin, m.center().x(), m.center().y()), origin, per) + ' ' + decimetres(m.width(), per) + 'x'
        + decimetres(m.height(), per);
}

// Everything a line zone is made of, in metres from Start: band, circles, check-in square,
// weight rectangle, and the arrowhead as its tip, the middle of its base and its width.
QString zoneOf(const PrioVDetector *d)
{
    QStringList parts{"band " + metres(d->band().boundingRect()), "start " + metres(d->startCircle().boundingRect()),
                      "end " + metres(d->endCircle().boundingRect())};
    if (!d->checkinSquare().isEmpty())
        parts << "checkin " + metres(d->checkinSquare().boundingRect());
    parts << "weight " + metres(d->weightRect());
    const QPolygonF head = d->arrowHead();
    if (head.size() == 3)
        parts << "head " + metres(head.at(1)) + " from " + metres((head.at(0) + head.at(2)) / 2) + ' '
                + decimetres(QLineF(metresFrom(Start, head.at(0)), metresFrom(Start, head.at(2))).length());
    return parts.join(" | ");
}

QVariantMap sector(int direction, const QVariant &sweep, const QVariant &radius = 100, double latitude = 55.7)
{
    QVariantMap record{{"emergency", true}, {"pos", QVariantList{37.6, latitude}}, {"radius", radius}, {"directionAngle", direction}};
    if (sweep.isValid())
        record.insert("sweepAngle", sweep);
    return record;
}

} // namespace

class tst_PrioVDetector : public Fixture
{
    Q_OBJECT

private slots:
    void zones_data()
    {
        // Built with the hash g2 over a line zone (check-in 10 m along, hash g1). A line zone:
        // the band is 1.5 m wide (square caps add 0.75 m) and ends 5 m before the stop point; 3 m
        // circles at both ends; a 3 m check-in square and the 12 m weight rectangle at the
        // check-in point, the latter at the stop point without one; the arrowhead from the
        // band's end to the stop point, 2.5 m wide. A sector: the zone around its centre in
        // whole metres; directions run clockwise from east. Empty where the build fails.
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QString>("zone");
        auto row = [](const char *name, const QString &geometry, const QVariant &checkin, const QString &zone) {
            QVariantMap record{{"geometry", geometry}};
            if (checkin.isValid())
                record.insert("checkin_length", checkin);
            QTest::newRow(name) << record << zone;
        };
        const QString circles30 = "band 12.5,0 26.5x1.5 | start 0,0 3x3 | end 30,0 3x3 | ";
        const QString stop30 = "weight 30,0 12x12 | head 30,0 from 25,0 2.5";
        row("no check-in", eastOf(Start, {0, 30}), {}, circles30 + stop30);
        row("check-in 10 m along", eastOf(Start, {0, 30}), 10, circles30 + "checkin 10,0 3x3 | weight 10,0 12x12 | head 30,0 from 25,0 2.5");
        row("check-in 8 m beyond the second point", eastOf(Start, {0, 12, 32}), 20.0,
            "band 13.5,0 28.5x1.5 | start 0,0 3x3 | end 32,0 3x3 | checkin 20,0 3x3 | weight 20,0 12x12 | head 32,0 from 27,0 2.5");
        row("check-in on a zero-length first segment", eastOf(Start, {0, 0, 30}), 0,
            circles30 + "checkin 0,0 3x3 | weight 0,0 12x12 | head 30,0 from 25,0 2.5");
        row("check-in beyond the end: none", eastOf(Start, {0, 30}), 50, circles30 + stop30);
        row("check-in 5 m after a corner", geometryOf({Start, offsetMetres(Start, 0, 20), offsetMetres(Start, 20, 20)}), 25,
            "band 7.5,10 16.5x21.5 | start 0,0 3x3 | end 20,20 3x3 | checkin 5,20 3x3 | weight 5,20 12x12 | head 20,20 from 15,20 2.5");
        row("near last point dropped: ends at the previous", eastOf(Start, {0, 30, 33}), {}, circles30 + stop30);
        row("near middle point dropped", eastOf(Start, {0, 3, 30}), {}, circles30 + stop30);
        row("5 m away is kept", eastOf(Start, {0, 30, 35.01}), {},
            "band 15,0 31.5x1.5 | start 0,0 3x3 | end 35,0 3x3 | weight 35,0 12x12 | head 35,0 from 30,0 2.5");
        row("a bad point fails the whole line", "10,50 11", {}, "");
        row("one point left after dropping", eastOf(Start, {0, 3}), {}, "");
        row("all points equal", eastOf(Start, {0, 0, 0, 0}), {}, "");
        row("beyond the Mercator limit", "10,86 10.001,86", {}, "");
        QTest::newRow("60 degrees of 100 m opening south, a 2 m dot") << sector(90, 60) << "0,-49 100x102";
        QTest::newRow("90 degrees opening east") << sector(0, 90) << "49,0 102x141";
        QTest::newRow("sector without sweepAngle") << sector(0, QVariant()) << "";
        QTest::newRow("sector at the pole") << sector(0, 60, 100, 90) << "";
        QTest::newRow("sector with a negative radius") << sector(0, 60, -100) << "";
        QTest::newRow("sector radius beyond int") << sector(0, 60, 1e30) << "";
        QVariantMap noPosition = sector(0, 60), noDirection = sector(0, 60);
        noPosition.remove("pos");
        noDirection.remove("directionAngle");
        QTest::newRow("sector without a position") << noPosition << "";
        QTest::newRow("sector without directionAngle") << noDirection << "";
    }

    void zones()
    {
        QFETCH(QVariantMap, record);
        QFETCH(QString, zone);
        auto *detector = detectorFrom({{"geometry_hash", "g1"}, {"geometry", eastOf(Start, {0, 30})}, {"checkin_length", 10}});
        QSignalSpy changed(detector, &PrioVDetector::stateChanged);
        record.insert("geometry_hash", "g2");
        detector->applyProperties(record);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(detector->property("hasGeometry").toBool(), !zone.isEmpty());
        const bool isSector = record.value("emergency").toBool();
        // Nothing of the line zone built before is left to draw.
        QVERIFY(!(zone.isEmpty() || isSector) || (detector->band().isEmpty() && detector->checkinSquare().isEmpty()));
        if (zone.isEmpty()) {
            QVERIFY(detector->zonePath().isEmpty() && detector->boundingRect().isNull());
            QCOMPARE(detector->geometryHash(), QString());
            // The hash was cleared: the same record builds (and fails) again.
            detector->applyProperties(record);
            QCOMPARE(changed.count(), 2);
            return;
        }
        QCOMPARE(detector->geometryHash(), QStringLiteral("g2"));
        // The shape is the zone; the bounds also hold the weight figure painted around it.
        QCOMPARE(detector->shape(), detector->zonePath());
        QVERIFY(detector->boundingRect().contains(detector->zonePath().boundingRect()));
        if (!isSector) {
            QCOMPARE(detector->pos(), QPointF());
            QCOMPARE(zoneOf(detector), zone);
            QCOMPARE(detector->band().fillRule(), Qt::WindingFill);
            QVERIFY(detector->zonePath().boundingRect().contains(detector->band().boundingRect()));
            QVERIFY(detector->boundingRect().contains(detector->weightRect().normalized()));
            return;
        }
        const QPointF centre(37.6, 55.7);
        QVERIFY(detector->pos() == centre && detector->centre() == centre);
        QCOMPARE(metres(detector->zonePath().boundingRect().translated(centre), centre, 1), zone);
        // Back to a line zone: in scene coordinates again, the item at the origin.
        detector->applyProperties({{"geometry_hash", "l1"}, {"emergency", false}, {"geometry", eastOf(Start, {0, 30})}});
        QCOMPARE(detector->pos(), QPointF(0, 0));
        QVERIFY(detector->sceneBoundingRect().contains(offsetMetres(Start, 15, 0)));
    }

    void records()
    {
        auto *detector = detectorFrom({{"geometry_hash", "g1"}, {"geometry", eastOf(Start, {0, 30})}});
        const QPainterPath zone = detector->zonePath();
        QSignalSpy changed(detector, &PrioVDetector::stateChanged);
        // The same hash or none never rebuilds; nothing new is no change.
        detector->applyProperties({{"geometry_hash", "g1"}, {"geometry", eastOf(Start, {0, 60})}});
        detector->applyProperties({{"geometry_hash", ""}, {"geometry", eastOf(Start, {0, 60})}});
        QCOMPARE(detector->zonePath(), zone);
        QCOMPARE(changed.count(), 0);
        // A record without "weight" sets it to 0; a board name adds a board without a change; a
        // state in a record is a change.
        detector->applyProperties({{"weight", 3}});
        const int weight = detector->weight();
        detector->applyProperties({});
        detector->applyProperties({{"board_name", "C"}});
        QCOMPARE(QList<int>({weight, detector->weight(), changed.count()}), QList<int>({3, 0, 2}));
        QCOMPARE(detector->activeBoards(), QSet<QString>{"C"});
        detector->applyProperties({{"state", "active"}});
        QCOMPARE(QList<int>({detector->isActive(), changed.count()}), QList<int>({true, 3}));
        // A routes key is a change even when the ids are the same; at most 1024 are kept.
        QVariantList many{1, "2", 3.0, "x", 1e300};
        for (int i = 0; i < 5000; ++i)
            many << i;
        detector->applyProperties({{"routes", many}});
        detector->applyProperties({{"routes", many}});
        QCOMPARE(detector->routes().mid(0, 7) << detector->routes().size(), QList<int>({1, 2, 3, 0, 0, 0, 1, 1024}));
        detector->applyProperties({{"routes", "4"}});
        QCOMPARE(detector->routes(), QList<int>());
        QCOMPARE(changed.count(), 6);
        // Boards active in the detector: an idle word removes the one named, an empty state
        // is ignored entirely.
        detector->setState("active", "A");
        detector->setState("idle", "C");
        detector->setState("", "A");
        QCOMPARE(detector->activeBoards().values() << detector->state(), QStringList({"A", "idle"}));
        // However many boards the server names, the set stays bounded.
        for (int i = 0; i < 10000; ++i)
            detector->setState("active", QString::number(i)), detector->applyProperties({{"board_name", QStringLiteral("x%1").arg(i)}});
        QCOMPARE(detector->activeBoards().size(), ItemLimits::MaxActiveBoards);
        // Type text | display name | tool tip: the id stands in for a missing name, a controller
        // number below 0 is none.
        auto texts = [&](const QVariantMap &record) {
            detector->applyProperties(record);
            return QStringList({detector->typeText(), detector->displayName(), detector->toolTip()}).join(" | ");
        };
        QCOMPARE(texts({{"name", ""}, {"tl_number", -3}}), "Detector | 7 | Detector 7");
        QCOMPARE(texts({{"locked", true}}), "Detector (Locked) | 7 | Detector (Locked) 7");
        QCOMPARE(texts({{"locked", false}, {"emergency", true}, {"name", "North gate"}, {"tl_number", 12}}),
                 "ESC detector | North gate (TL 12) | ESC detector North gate (TL 12)");
        QCOMPARE(detector->property("tlNumber").toInt(), 12);
        // The tree row, and an empty status tip in any column.
        QCOMPARE(treeRow(detector), QVariantList({7, detector->displayName(), detector->typeText(), QVariant(), detector->toolTip(), QVariant(), "int", "QIcon"}));
        QCOMPARE(cell(detector, 4, Qt::StatusTipRole), QVariant(QString("")));
        // The view shows the item's own tooltip (QGraphicsItem's), current once the scene is
        // asked for it while the detector shows.
        detector->applyProperties({{"name", "South gate"}});
        detector->setSelectedShown(true);
        QGraphicsSceneHelpEvent help(QEvent::GraphicsSceneHelp);
        QCoreApplication::sendEvent(scene, &help);
        QCOMPARE(static_cast<QGraphicsItem *>(detector)->toolTip(), "ESC detector South gate (TL 12)");
    }

    void colourAndVisibility_data()
    {
        // Steps in turn, from a hidden detector without showOnActivation: locked (a record), show
        // (showOnActivation on), view/unview, select/deselect (the property), click (a click
        // elsewhere deselects), anything else a state. Expected: colour, and whether it is shown.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const char *steps, const char *expected) { QTest::newRow(name) << QString(steps) << QString(expected); };
        row("inside shows", "show inside", "#0000ff shown");
        row("active shows", "show active", "#00ff00 shown");
        row("active without showOnActivation stays hidden", "active", "#00ff00 hidden");
        row("idle after inside hides", "show inside idle", "#808080 hidden");
        row("idle stays while selected", "show select inside idle", "#808080 shown");
        row("idle stays while in view", "show view inside idle", "#808080 shown");
        row("an unknown word is idle", "show active sleeping", "#808080 hidden");
        row("without showOnActivation a shown idle detector stays", "select active idle", "#808080 shown");
        row("locked is red and never shown by a state", "locked show active", "#ff0000 hidden");
        row("locked in view", "locked show view inside", "#ff0000 shown");
        row("locked and selected", "locked show select inside", "#ff0000 shown");
        row("locked hides when it leaves the view", "locked view unview", "#ff0000 hidden");
        row("in view shows an idle detector", "view", "#808080 shown");
        row("leaving the view hides it with showOnActivation", "show view unview", "#808080 hidden");
        row("... and not without", "view unview", "#808080 shown");
        row("deselecting hides an active detector", "show active select deselect", "#00ff00 hidden");
        row("... until its next state", "show active select deselect inside", "#0000ff shown");
        row("a click elsewhere deselects too", "show active select click", "#00ff00 hidden");
        row("deselection in view keeps it", "show view active select deselect", "#00ff00 shown");
    }

    void colourAndVisibility()
    {
        QFETCH(QString, steps);
        QFETCH(QString, expected);
        auto *detector = detectorFrom({{"geometry", eastOf(Start, {0, 30})}}, false);
        QString state;
        bool selected = false;
        for (const QString &step : steps.split(' ')) {
            if (step == "locked")
                detector->applyProperties({{"locked", true}});
            else if (step == "show")
                detector->setShowOnActivation(true);
            else if (step == "view" || step == "unview")
                detector->setInView(step == "view");
            else if (step == "select" || step == "deselect")
                detector->setProperty("selected", selected = step == "select");
            else if (step == "click")
                scene->clearSelection(), selected = false;
            else
                detector->setState(state = step, "B1");
        }
        QCOMPARE(detector->stateColour().name() + (detector->isVisible() ? " shown" : " hidden"), expected);
        QCOMPARE(detector->property("selected").toBool(), selected);
        QCOMPARE(detector->property("active").toBool(), state == "active");
    }
};

QTEST_MAIN(tst_PrioVDetector)
#include "tst_priovdetector.moc"
