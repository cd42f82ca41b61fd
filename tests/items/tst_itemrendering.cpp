#include "items/itemcursor.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "items/routelayer.h"

#include "itemtestutil.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

using namespace ItemTest;

namespace {

const QPointF Here(10.0, 50.0);
const QPoint Centre(100, 100);

bool isDark(QRgb p)
{
    return qRed(p) < 110 && qGreen(p) < 110 && qBlue(p) < 110;
}

bool isGreenish(QRgb p)
{
    return qGreen(p) > qRed(p) + 40 && qGreen(p) > qBlue(p) + 40 && qGreen(p) < 200;
}

// Bounding box of everything that is not the white background.
QRect paintedExtent(const QImage &image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            box |= image.pixel(x, y) != qRgb(255, 255, 255) ? QRect(x, y, 1, 1) : QRect();
    return box;
}

// Pixels of the image that pass test within radius of the centre.
int countNearCentre(const QImage &image, int radius, bool (*test)(QRgb))
{
    int count = 0;
    for (int y = Centre.y() - radius; y <= Centre.y() + radius; ++y)
        for (int x = Centre.x() - radius; x <= Centre.x() + radius; ++x)
            count += QLineF(Centre, QPoint(x, y)).length() <= radius && test(image.pixel(x, y)) ? 1 : 0;
    return count;
}

// Whether any pixel within a pixel of p has the colour.
bool colourNear(const QImage &image, const QPoint &p, const QColor &colour)
{
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (QColor(image.pixel(p + QPoint(dx, dy))) == colour)
                return true;
    return false;
}

QString sizeOf(const QRect &r)
{
    return QString("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

} // namespace

// What the operator sees: items painted by a real view into an image, read back pixel by
// pixel. Views here are aliased (QGraphicsView's default), so fills keep their exact colours.
class tst_ItemRendering : public Fixture
{
    Q_OBJECT

private slots:
    void vehicleMarker_data()
    {
        // The vehicle at the centre of a north-up view: its 32-pixel circle (half size below 3000
        // px per degree) in the state colour, with the weight figure as the mode says.
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<double>("scale");
        QTest::addColumn<int>("diameter");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("figure");
        const QColor onRoute(199, 226, 248);
        const int ifValid = PriorityPlugin::show_weight_if_valid;
        auto row = [](const char *name, const QVariantMap &record, double scale, int diameter, const QColor &colour, bool figure) {
            QTest::newRow(name) << record << scale << diameter << colour << figure;
        };
        row("locked: red", {{"locked", true}, {"active", 1}}, 3000.0, 32, Qt::red, false);
        row("priority: green", {{"active", 1}}, 3000.0, 32, Qt::green, false);
        row("on its route: light blue", {}, 3000.0, 32, onRoute, false);
        row("6000 px per degree: still full size", {}, 6000.0, 32, onRoute, false);
        row("1500: half size", {}, 1500.0, 16, onRoute, false);
        row("weight 1, if valid: no figure", {{"mode", ifValid}, {"weight", 1}}, 3000.0, 32, onRoute, false);
        row("weight 2, if valid: the figure", {{"mode", ifValid}, {"weight", 2}}, 3000.0, 32, onRoute, true);
        row("weight 1, always: the figure", {{"mode", int(PriorityPlugin::show_weight_always)}, {"weight", 1}}, 3000.0, 32, onRoute, true);
        row("an unknown mode: no figure", {{"mode", 7}, {"weight", 8}}, 3000.0, 32, onRoute, false);
        row("raised: drawn by itself", {{"raised", 1}, {"active", 1}, {"mode", ifValid}, {"weight", 2}}, 3000.0, 32, Qt::green, true);
        row("raised, half size", {{"raised", 1}}, 1500.0, 16, onRoute, false);
        row("selected, a long figure", {{"selected", 1}, {"mode", ifValid}, {"weight", 88888}}, 3000.0, 32, onRoute, true);
    }

    void vehicleMarker()
    {
        QFETCH(QVariantMap, record);
        QFETCH(double, scale);
        QFETCH(int, diameter);
        QFETCH(QColor, colour);
        QFETCH(bool, figure);
        PrioVehicle *vehicle = vehicleAt(record);
        if (record.contains("active"))
            vehicle->setPriorityState("active", 1);
        vehicle->setWeightShowMode(record.value("mode").toInt());
        vehicle->setSelected(record.contains("selected"));
        // Raised above the layer's batch, it draws itself, as it looks in the batch.
        vehicle->setZValue(record.value("raised").toDouble());
        const QImage image = renderView(scene, Here, scale);
        const QRect extent = paintedExtent(image);
        QVERIFY2(std::abs(extent.width() - diameter) <= 2 && std::abs(extent.height() - diameter) <= 2 && extent.contains(Centre),
                 qPrintable(sizeOf(extent)));
        QCOMPARE(QColor(image.pixel(Centre + QPoint(0, diameter / 3))), colour);
        // Selected (a 2-pixel pen), with a long figure, it still paints inside its bounds.
        QVERIFY(vehicle->boundingRect().translated(Centre).adjusted(-1, -1, 1, 1).contains(extent));
        // Inside the circle only the figure is dark.
        QCOMPARE(countNearCentre(image, diameter / 4, isDark) > 3, figure);
    }

    void markerInOtherViews_data()
    {
        // Neither a zero first matrix entry (rotation) nor a negative one (mirror) may make the
        // pin vanish or flip: at 1500 px per degree it is drawn at half size, 10 px wide and 13
        // tall, pointing north. Rendering into an image hands paint() no widget and no view
        // scale: the circle keeps its full size. An antialiased view (the host's) gets
        // antialiased markers, after an aliased one has drawn the same.
        QTest::addColumn<QTransform>("transform");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QSize>("size");
        QTest::newRow("rotated a quarter turn") << QTransform().rotate(90).scale(1500.0, -1500.0) << "pin" << QSize(10, 13);
        QTest::newRow("mirrored") << QTransform::fromScale(-1500.0, -1500.0) << "pin" << QSize(10, 13);
        QTest::newRow("without a widget") << QTransform::fromScale(1500.0, -1500.0) << "rendered" << QSize(32, 32);
        QTest::newRow("antialiased") << QTransform::fromScale(3000.0, -3000.0) << "antialiased" << QSize(32, 32);
    }

    void markerInOtherViews()
    {
        QFETCH(QTransform, transform);
        QFETCH(QString, how);
        QFETCH(QSize, size);
        vehicleAt({}, how == "pin" ? QVariant(0) : QVariant());
        QGraphicsView view(scene);
        renderView(scene, Here, 3000.0);
        view.setRenderHint(QPainter::Antialiasing, how == "antialiased");
        QImage image = grabView(&view, Here, transform);
        if (how == "rendered") {
            image.fill(Qt::white);
            QPainter painter(&image);
            view.render(&painter);
        }
        const QRect extent = paintedExtent(image);
        QVERIFY2(std::abs(extent.width() - size.width()) <= 2 && std::abs(extent.height() - size.height()) <= 2, qPrintable(sizeOf(extent)));
        const QPoint origin = view.mapFromScene(Here);
        QVERIFY(how != "pin" || origin.y() - extent.top() > extent.bottom() - origin.y());
        QVERIFY(extent.contains(origin));
        int blended = 0;
        for (int y = extent.top(); y <= extent.bottom(); ++y)
            for (int x = extent.left(); x <= extent.right(); ++x)
                blended += QList<QRgb>({qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(199, 226, 248)}).contains(image.pixel(x, y)) ? 0 : 1;
        QCOMPARE(blended > 10, how == "antialiased");
    }

    void detectorPaintsInsideItsBounds()
    {
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"}, {"weight", 12345}, {"checkin_length", 20},
                                   {"geometry", geometryOf({offsetMetres(Here, -15, 0), offsetMetres(Here, 15, 0)})}});
        detector->setWeightShowMode(PriorityPlugin::show_weight_always);
        detector->setProperty("selected", true);
        QGraphicsView view(scene);
        const QRect extent = paintedExtent(grabView(&view, Here, QTransform::fromScale(5e5, -5e5), QSize(300, 300)));
        const QRect bounds = view.mapFromScene(detector->sceneBoundingRect()).boundingRect();
        QVERIFY2(!extent.isEmpty() && bounds.adjusted(-2, -2, 2, 2).contains(extent), qPrintable(sizeOf(extent) + " in " + sizeOf(bounds)));
    }

    void routeBand_data()
    {
        // A straight route through the centre, eastwards: pixels along its centre line that
        // are dark (the pen's arrows or its line), and the colour 11 px north of it. At 2e6 px
        // per degree about 18 px are a metre north-south, so that is inside the 2 m band and
        // clear of the arrows; zoomed out, the band is about a pixel or less and not filled at
        // all, and the arrows merge into one continuous line of the pen.
        QTest::addColumn<double>("scale");
        QTest::addColumn<double>("lengthMetres");
        QTest::addColumn<bool>("locked");
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<QColor>("band");
        auto row = [](const char *name, double scale, double length, bool locked, bool continuous, const QColor &band) {
            QTest::newRow(name) << scale << length << locked << continuous << band;
        };
        // 0: the route spans the view; 130 km is above the arrow cap (about 120 km at 2 m bands).
        row("close up: light grey band, arrows apart", 2e6, 40.0, false, false, Qt::lightGray);
        row("close up, locked: red band", 2e6, 40.0, true, false, Qt::red);
        row("street: arrows several pixels apart", 93206.0, 0.0, false, false, Qt::white);
        row("district: arrows under four pixels apart, one line", 23301.0, 0.0, false, true, Qt::white);
        row("whole city: arrows closer than a pixel, one line", 1456.0, 0.0, false, true, Qt::white);
        row("too long for arrows, city zoom: its centre line", 1456.0, 130000.0, false, true, Qt::white);
        row("too long for arrows, zoom 16: its centre line", 46603.0, 130000.0, false, true, Qt::white);
    }

    void routeBand()
    {
        QFETCH(double, scale);
        QFETCH(double, lengthMetres);
        QFETCH(bool, locked);
        QFETCH(bool, continuous);
        QFETCH(QColor, band);
        auto *route = new PrioRoute(plugin, 1, scene);
        const double half = lengthMetres > 0.0 ? lengthMetres / 2.0 : 90.0 / scale * metresPerDegreeLon(Here.y());
        route->setGeometry(geometryOf({offsetMetres(Here, -half, 0), offsetMetres(Here, half, 0)}), "h");
        route->applyProperties({{"locked", locked}});
        route->setSelected(true);
        const QImage image = renderView(scene, Here, scale);
        int covered = 0;
        for (int x = 15; x < 185; ++x)
            covered += isDark(image.pixel(x, 99)) || isDark(image.pixel(x, 100)) || isDark(image.pixel(x, 101)) ? 1 : 0;
        QVERIFY2(continuous ? covered >= 165 : covered > 30 && covered < 150, qPrintable(QString::number(covered)));
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 11))), band);
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 30))), QColor(Qt::white));
    }

    void routePictureMatchesRoutesDrawnAlone_data()
    {
        QTest::addColumn<double>("scale");
        QTest::newRow("street: bands and arrows, one locked") << 2e5;
        QTest::newRow("district: centre lines") << 23301.0;
    }

    void routePictureMatchesRoutesDrawnAlone()
    {
        // The layer draws its routes as one picture; without it (the host deleted it) each
        // route draws itself. The view must look the same either way, after a drag too.
        QFETCH(double, scale);
        const double reach = 120.0 / scale * metresPerDegreeLon(Here.y());
        for (int i = 0; i < 3; ++i) {
            auto *route = new PrioRoute(plugin, i + 1, scene);
            route->setGeometry(geometryOf({offsetMetres(Here, -reach, reach * (i - 1) * 0.5), offsetMetres(Here, reach * 0.3, -reach * 0.2),
                                           offsetMetres(Here, reach, reach * (1 - i) * 0.7)}),
                               "h");
            route->applyProperties({{"locked", i == 1}});
            route->setDontHide(true);
        }
        QGraphicsView view(scene);
        grabView(&view, Here, QTransform::fromScale(scale, -scale));
        view.centerOn(view.mapToScene(Centre + QPoint(37, -23)));
        const QImage picture = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QList<QGraphicsItem *> layers;
        for (QGraphicsItem *item : scene->items())
            if (item->type() == RouteLayer::Type)
                layers << item;
        QCOMPARE(layers.size(), 1);
        delete layers.first();
        const QImage alone = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        auto near = [](QRgb a, QRgb b) { return qAbs(qRed(a) - qRed(b)) <= 2 && qAbs(qGreen(a) - qGreen(b)) <= 2 && qAbs(qBlue(a) - qBlue(b)) <= 2; };
        int differing = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                differing += near(picture.pixel(x, y), alone.pixel(x, y)) ? 0 : 1;
        QVERIFY2(paintedExtent(alone).width() > 150, qPrintable(sizeOf(paintedExtent(alone))));
        // A line is simplified to a quarter pixel for the part in view: drawn for another
        // window, an aliased edge may move by a pixel in a place or two.
        QVERIFY2(differing <= 3, qPrintable(QString::number(differing)));
    }

    void changesReachTheView()
    {
        // The route layer's picture and the batch that draws detectors and boards repaint
        // what changed in a view that is showing: a lock, a hidden and a selected route, a
        // board that moved away and a detector's new state.
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({offsetMetres(Here, -20, 0), offsetMetres(Here, 20, 0)}), "h");
        route->setDontHide(true);
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"}, {"geometry", geometryOf({offsetMetres(Here, -15, 15), offsetMetres(Here, 15, 15)})}});
        detector->setInView(true);
        PrioVehicle *vehicle = vehicleAt({});
        auto place = [&](const QPointF &p) { vehicle->applyPosition({{"pos", QVariantList{p.x(), p.y()}}, {"rpos", QVariantList{p.x(), p.y()}}}); };
        place(offsetMetres(Here, 0, -15));
        QGraphicsView view(scene);
        // About 18 px per metre north-south and 29 east-west.
        const QImage before = grabView(&view, Here, QTransform::fromScale(2e6, -2e6), QSize(200, 640));
        const QPoint offLine = view.mapFromScene(Here) - QPoint(0, 11);
        const QPoint board = view.mapFromScene(offsetMetres(Here, 0, -15));
        QCOMPARE(QColor(before.pixel(offLine)), QColor(Qt::lightGray));
        QCOMPARE(QColor(before.pixel(board)), QColor(199, 226, 248));
        // What the view repainted by itself (a widget's grab paints it all again).
        auto colourAt = [&](const QPoint &p) {
            QCoreApplication::processEvents();
            return QColor(view.screen()->grabWindow(view.winId()).toImage().pixel(p));
        };
        route->applyProperties({{"locked", true}});
        QCOMPARE(colourAt(offLine), QColor(Qt::red));
        route->setDontHide(false);
        QCOMPARE(colourAt(offLine), QColor(Qt::white));
        route->setSelected(true);
        QCOMPARE(colourAt(offLine), QColor(Qt::red));
        const QPointF away = offsetMetres(Here, 3, -15);
        place(away);
        detector->setState("active", "B1");
        QCOMPARE(colourAt(board), QColor(Qt::white));
        QCOMPARE(colourAt(view.mapFromScene(away)), QColor(199, 226, 248));
        QCOMPARE(colourAt(view.mapFromScene(offsetMetres(Here, 0, 15))), QColor(Qt::green));
        // Panned away and back: the detectors' picture moves and draws the strip it uncovers.
        view.centerOn(offsetMetres(Here, 0, -6));
        colourAt(board);
        view.centerOn(Here);
        QCOMPARE(colourAt(view.mapFromScene(offsetMetres(Here, 0, 15))), QColor(Qt::green));
    }

    void arrowCursorOverItems_data()
    {
        // At 2e5 px per degree: the 2 m band is 3.6 px tall, the detector's 1.5 m band lies
        // 54 px north of the centre, the vehicle's circle is 32 px across at the centre.
        QTest::addColumn<QPoint>("offset");
        QTest::addColumn<bool>("arrow");
        QTest::newRow("on the vehicle") << QPoint(0, 10) << true;
        QTest::newRow("on the route, clear of the vehicle") << QPoint(60, 0) << true;
        QTest::newRow("on the detector") << QPoint(20, -54) << true;
        QTest::newRow("between them") << QPoint(60, -30) << false;
    }

    void arrowCursorOverItems()
    {
        // The view shows its own cursor (the open hand of a view dragged by hand) off the
        // items and the arrow over them.
        QFETCH(QPoint, offset);
        QFETCH(bool, arrow);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({offsetMetres(Here, -60, 0), offsetMetres(Here, 60, 0)}), "h");
        route->setDontHide(true);
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"}, {"geometry", geometryOf({offsetMetres(Here, -15, 30), offsetMetres(Here, 15, 30)})}});
        detector->setInView(true);
        vehicleAt({});
        QGraphicsView view(scene);
        view.setDragMode(QGraphicsView::ScrollHandDrag);
        grabView(&view, Here, QTransform::fromScale(2e5, -2e5));
        ItemCursor::bind(plugin, &view);
        auto moveTo = [&](const QPoint &at) {
            QMouseEvent move(QEvent::MouseMove, at, view.viewport()->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(view.viewport(), &move);
            return view.viewport()->cursor().shape();
        };
        QCOMPARE(moveTo(Centre + offset), arrow ? Qt::ArrowCursor : Qt::OpenHandCursor);
        QCOMPARE(moveTo(QPoint(5, 195)), Qt::OpenHandCursor);
    }

    void detectorZone_data()
    {
        // A 30 m line zone through the centre, eastwards, its check-in point (and so its weight
        // disc) at the centre. At 5e5 px per degree about 4.5 px are a metre north-south: the
        // 1.5 m band is filled. At 2e4 the zone is 9 px long and its band a quarter pixel: the
        // pen's line shows. At 6000 the zone is under 4 px: a dot of the state colour.
        QTest::addColumn<QString>("state");
        QTest::addColumn<double>("scale");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("weight");
        QTest::addColumn<QColor>("colour");
        const int ifValid = PriorityPlugin::show_weight_if_valid;
        auto row = [](const char *name, const char *state, double scale, int mode, int weight, const QColor &colour) {
            QTest::newRow(name) << QString(state) << scale << mode << weight << colour;
        };
        row("inside: blue", "inside", 5e5, 0, 5, Qt::blue);
        row("active: green", "active", 5e5, 0, 5, Qt::green);
        row("idle: dark grey", "idle", 5e5, ifValid, 0, Qt::darkGray);
        row("band under a pixel: the pen's line", "active", 2e4, 0, 5, Qt::black);
        row("zone under four pixels: a blue dot", "inside", 6000.0, 0, 5, Qt::blue);
        row("zone under four pixels: a dark grey dot", "idle", 6000.0, 0, 5, Qt::darkGray);
        row("raised, inside: drawn by itself", "raised inside", 5e5, 0, 5, Qt::blue);
        row("raised, a dot", "raised idle", 6000.0, 0, 5, Qt::darkGray);
        row("a zone of 70 points, drawn along its line", "long active", 5e5, 0, 5, Qt::green);
        row("a zone of 70 points under a pixel: the pen's line", "long active", 2e4, 0, 5, Qt::black);
        row("weight 1, if valid: the disc", "idle", 5e5, ifValid, 1, QColor());
        row("weight 5, always: the disc", "inside", 5e5, int(PriorityPlugin::show_weight_always), 5, QColor());
    }

    void detectorZone()
    {
        QFETCH(QString, state);
        QFETCH(double, scale);
        QFETCH(int, mode);
        QFETCH(int, weight);
        QFETCH(QColor, colour);
        QVector<double> along{-15, 15};
        for (int i = 2; state.startsWith("long") && i < 70; ++i)
            along << 15 + 10.0 * i;
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"}, {"weight", weight}, {"checkin_length", 15}, {"geometry", eastOf(Here, along)}});
        detector->setWeightShowMode(mode);
        detector->setInView(true);
        detector->setZValue(state.startsWith("raised") ? 1 : 0);
        detector->setState(state.section(' ', -1), "B1");
        const QImage image = renderView(scene, Here, scale);
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 35))), QColor(Qt::white));
        const bool disc = !colour.isValid();
        if (!disc)
            QVERIFY2(colourNear(image, Centre, colour), qPrintable(QColor(image.pixel(Centre)).name()));
        // The disc is white with a dark outline 6 m north of its centre, and the figure in it
        // dark green; the band and the check-in square are in the state colour.
        const double m = scale / MetresPerDegreeLat;
        if (scale < 5e5)
            return;
        // The band 8 m west, off the check-in square, and the square 1.2 m north, off the band.
        if (!disc) {
            QVERIFY(colourNear(image, Centre - QPoint(int(8 * scale / metresPerDegreeLon(Here.y())), 0), colour));
            QCOMPARE(QColor(image.pixel(Centre - QPoint(0, int(1.2 * m)))), colour);
        }
        QCOMPARE(QColor(image.pixel(Centre - QPoint(int(3 * scale / metresPerDegreeLon(Here.y())), int(4 * m)))), QColor(Qt::white));
        QCOMPARE(countNearCentre(image, 20, isGreenish) > 5, disc);
        int outline = 0;
        for (int y = Centre.y() - int(6 * m) - 3; y <= Centre.y() - int(6 * m) + 3; ++y)
            outline += isDark(image.pixel(Centre.x(), y)) ? 1 : 0;
        QCOMPARE(outline > 0, disc);
    }

private:
    PrioVehicle *vehicleAt(const QVariantMap &record, const QVariant &course = QVariant())
    {
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyProperties({{"logged_in", true}, {"route_id", 5}, {"locked", record.value("locked")}});
        QVariantMap position{{"pos", QVariantList{Here.x(), Here.y()}}, {"rpos", QVariantList{Here.x(), Here.y()}},
                             {"weight", record.value("weight", 1)}};
        if (course.isValid())
            position.insert("course", course);
        vehicle->applyPosition(position);
        return vehicle;
    }
};

QTEST_MAIN(tst_ItemRendering)
#include "tst_itemrendering.moc"
