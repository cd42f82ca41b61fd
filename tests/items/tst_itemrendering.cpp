#include "items/itemcursor.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "items/routelayer.h"
#include "items/splitdraw.h"

#include "itemtestutil.h"

#include <QGraphicsRectItem>
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

// Pixels of the area for which test(x, y) holds.
template<typename Test>
int countIn(const QRect &area, Test test)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += test(x, y) ? 1 : 0;
    return count;
}

// Pixels of the image that pass test within radius of the centre.
int countNearCentre(const QImage &image, int radius, bool (*test)(QRgb))
{
    return countIn(QRect(Centre, Centre).adjusted(-radius, -radius, radius, radius),
                   [&](int x, int y) { return QLineF(Centre, QPoint(x, y)).length() <= radius && test(image.pixel(x, y)); });
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
        // The vehicle at the centre of a view: its 32-pixel circle (half size below 3000 px per
        // degree) in the state colour, with the weight figure as the mode says. With a course it
        // is a pin, which neither a rotated view (a zero first matrix entry) nor a mirrored one
        // (a negative one) may make vanish or flip: at half size 10 px wide and 13 tall, pointing
        // north. Rendering into an image hands paint() no widget and no view scale: the circle
        // keeps its full size. An antialiased view (the host's) gets antialiased markers, after
        // an aliased one has drawn the same.
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QTransform>("transform");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("figure");
        const QColor onRoute(199, 226, 248);
        const int ifValid = PriorityPlugin::show_weight_if_valid;
        const QTransform full = QTransform::fromScale(3000.0, -3000.0), half = QTransform::fromScale(1500.0, -1500.0);
        auto row = [](const char *name, const QVariantMap &record, const QTransform &transform, QSize size, const QColor &colour, bool figure) {
            QTest::newRow(name) << record << transform << size << colour << figure;
        };
        row("locked: red", {{"locked", true}, {"active", 1}}, full, {32, 32}, Qt::red, false);
        row("priority: green", {{"active", 1}}, full, {32, 32}, Qt::green, false);
        row("on its route: light blue", {}, full, {32, 32}, onRoute, false);
        row("6000 px per degree: still full size", {}, QTransform::fromScale(6000.0, -6000.0), {32, 32}, onRoute, false);
        row("1500: half size", {}, half, {16, 16}, onRoute, false);
        row("weight 1, if valid: no figure", {{"mode", ifValid}, {"weight", 1}}, full, {32, 32}, onRoute, false);
        row("weight 2, if valid: the figure", {{"mode", ifValid}, {"weight", 2}}, full, {32, 32}, onRoute, true);
        row("weight 1, always: the figure", {{"mode", int(PriorityPlugin::show_weight_always)}, {"weight", 1}}, full, {32, 32}, onRoute, true);
        row("an unknown mode: no figure", {{"mode", 7}, {"weight", 8}}, full, {32, 32}, onRoute, false);
        row("selected, a long figure", {{"selected", 1}, {"mode", ifValid}, {"weight", 88888}}, full, {32, 32}, onRoute, true);
        row("pin, rotated a quarter turn", {{"course", 0}}, QTransform().rotate(90).scale(1500.0, -1500.0), {10, 13}, QColor(), false);
        row("pin, mirrored", {{"course", 0}}, QTransform::fromScale(-1500.0, -1500.0), {10, 13}, QColor(), false);
        row("without a widget", {{"how", "rendered"}}, half, {32, 32}, onRoute, false);
        row("antialiased", {{"how", "antialiased"}}, full, {32, 32}, onRoute, false);
    }

    void vehicleMarker()
    {
        QFETCH(QVariantMap, record);
        QFETCH(QTransform, transform);
        QFETCH(QSize, size);
        QFETCH(QColor, colour);
        QFETCH(bool, figure);
        PrioVehicle *vehicle = vehicleAt(record);
        const QString how = record.value("how").toString();
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
        QVERIFY2(std::abs(extent.width() - size.width()) <= 2 && std::abs(extent.height() - size.height()) <= 2 && extent.contains(Centre),
                 qPrintable(sizeOf(extent)));
        QVERIFY(colour == QColor() || QColor(image.pixel(Centre + QPoint(0, size.height() / 3))) == colour);
        QVERIFY(!record.contains("course") || Centre.y() - extent.top() > extent.bottom() - Centre.y());
        // Selected (a 2-pixel pen), with a long figure, it still paints inside its bounds.
        QVERIFY(vehicle->boundingRect().translated(Centre).adjusted(-1, -1, 1, 1).contains(extent));
        // Inside the circle only the figure is dark.
        QCOMPARE(countNearCentre(image, size.width() / 4, isDark) > 3, figure);
        const QList<QRgb> plain{qRgb(255, 255, 255), qRgb(0, 0, 0), colour.rgb()};
        const int blended = countIn(extent, [&](int x, int y) { return !plain.contains(image.pixel(x, y)); });
        QVERIFY(!record.contains("how") || (blended > 10) == (how == "antialiased"));
    }

    void routeBand_data()
    {
        // A straight route through the centre, eastwards: pixels along its centre line that
        // are dark (the pen's arrows or its line), and the colour 11 px north of it. At 2e6 px
        // per degree about 18 px are a metre north-south, so that is inside the 2 m band and
        // clear of the arrows; zoomed out, the band is about a pixel or less and not filled at
        // all, and the arrows merge into one continuous line of the pen. A bent route further
        // south, locked where the first is not, shares the layer's picture.
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
        // Pixels east and south of the centre.
        auto px = [&](double east, double south) { return Here + QPointF(east, -south) / scale; };
        const double half = lengthMetres > 0.0 ? lengthMetres / 2.0 : 90.0 / scale * metresPerDegreeLon(Here.y());
        PrioRoute *route = routeAlong({offsetMetres(Here, -half, 0), offsetMetres(Here, half, 0)});
        route->applyProperties({{"locked", locked}});
        route->setSelected(true);
        auto *early = new PrioRoute(plugin, 3, scene);
        early->applyProperties({{"locked", locked}});
        early->setDontHide(true);
        PrioRoute *bent = routeAlong({px(-90, 50), px(20, 50), px(70, 100)}, 2);
        bent->applyProperties({{"locked", !locked}});
        bent->setDontHide(true);
        PrioRoute *gone = routeAlong({px(60, -80), px(90, -60)}, 5);
        gone->setDontHide(true);
        auto *spare = new PrioRoute(plugin, 6, scene);
        auto *late = new PrioRoute(plugin, 4, scene);
        late->setDontHide(true);
        QGraphicsView view(scene);
        const QImage image = grabView(&view, Here, QTransform::fromScale(scale, -scale));
        const int covered = countIn(QRect(15, 100, 170, 1), [&](int x, int y) {
            return isDark(image.pixel(x, y - 1)) || isDark(image.pixel(x, y)) || isDark(image.pixel(x, y + 1));
        });
        QVERIFY2(continuous ? covered >= 165 : covered > 30 && covered < 150, qPrintable(QString::number(covered)));
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 11))), band);
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 30))), QColor(Qt::white));
        QVERIFY(paintedExtent(image.copy(0, 130, 200, 70)).width() > 150);
        // The layer draws its routes as one picture; without it (the host deleted it) each
        // route draws itself. The view must look the same either way: after a route made
        // before the bent one gets its geometry (under it), one goes, the route made last gets
        // its geometry (over all), another goes, and a drag. A new picture may take a few frames, a slice of
        // routes a frame (changed routes stand on top meanwhile, and a drag uncovers nothing until
        // it is done): a slow machine draws a single route in a frame.
        auto settle = [&] {
            for (int i = 0; i < 8; ++i)
                view.viewport()->grab();
        };
        early->setGeometry(geometryOf({px(10, 20), px(10, 90)}), "h");
        settle();
        delete gone;
        late->setGeometry(geometryOf({px(-40, -20), px(-40, 120)}), "h");
        settle();
        delete spare;
        settle();
        view.centerOn(view.mapToScene(Centre + QPoint(37, -23)));
        settle();
        const QImage picture = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QList<QGraphicsItem *> layers;
        for (QGraphicsItem *item : scene->items())
            if (item->type() == RouteLayer::Type)
                layers << item;
        QCOMPARE(layers.size(), 1);
        delete layers.first();
        const QImage alone = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const int differing = countIn(picture.rect(), [&](int x, int y) {
            const QRgb a = picture.pixel(x, y), b = alone.pixel(x, y);
            return qAbs(qRed(a) - qRed(b)) > 2 || qAbs(qGreen(a) - qGreen(b)) > 2 || qAbs(qBlue(a) - qBlue(b)) > 2;
        });
        // A line is simplified to a quarter pixel for the part in view: drawn for another
        // window, an aliased edge may move by a pixel in a place or two. The selected route
        // stays under the bent one, which was made after it.
        QVERIFY2(differing <= 3, qPrintable(QString::number(differing)));
    }

    void crowdedBoards()
    {
        // Boards piled up across the view's corner, pins under the circles (some with figures) of
        // boards without a course on the same spots, antialiased as the host draws them: what
        // the batch shows of them is what they show drawing themselves one by one (raised above
        // the batch, below the selected ones' rings).
        QList<PrioVehicle *> crowd;
        for (int i = 0; i < 64; ++i)
            crowd << vehicleAt(i % 2 ? QVariantMap{{"active", 1}, {"mode", PriorityPlugin::show_weight_if_valid}, {"weight", i % 5}} : QVariantMap{{"course", i * 37}, {"locked", i % 3 == 0}, {"selected", i % 7 == 0}},
                               Here + QPointF(i / 2 % 8 * 3.0 - 105.0, i / 16 * 4.0 + 88.0) / 3000.0);
        QGraphicsView view(scene);
        view.setRenderHint(QPainter::Antialiasing);
        const QImage batched = grabView(&view, Here, QTransform::fromScale(3000.0, -3000.0));
        for (PrioVehicle *vehicle : crowd)
            vehicle->setZValue(0.2);
        QCOMPARE(view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32), batched);
    }

    void changesReachTheView()
    {
        // The route layer's picture and the batch that draws detectors and boards repaint
        // what changed in a view that is showing: a lock, a hidden and a selected route, a
        // board that moved away and a detector's new state.
        PrioVehicle *vehicle = street();
        QGraphicsView view(scene);
        // About 18 px per metre north-south and 29 east-west.
        const QImage before = grabView(&view, Here, QTransform::fromScale(2e6, -2e6), QSize(200, 640));
        const QPoint offLine = view.mapFromScene(Here) - QPoint(0, 11);
        const QPoint board = view.mapFromScene(offsetMetres(Here, 0, -15));
        QCOMPARE(QColor(before.pixel(offLine)), QColor(Qt::lightGray));
        QCOMPARE(QColor(before.pixel(board)), QColor(199, 226, 248));
        // The view shows its own cursor (the open hand of a view dragged by hand) off the
        // items and the arrow over them: the board, the route clear of it, the detector.
        view.setDragMode(QGraphicsView::ScrollHandDrag);
        ItemCursor::bind(plugin, &view);
        auto cursorAt = [&](const QPointF &geo) {
            const QPoint at = view.mapFromScene(geo);
            QMouseEvent move(QEvent::MouseMove, at, view.viewport()->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(view.viewport(), &move);
            return view.viewport()->cursor().shape();
        };
        const QList<QPointF> probes{offsetMetres(Here, 0.3, -15.3), offsetMetres(Here, 3, 0.2), offsetMetres(Here, 5, 15.3),
                                    offsetMetres(Here, 3, 7), offsetMetres(Here, 3, -7), offsetMetres(Here, 3, 20)};
        QList<Qt::CursorShape> shapes;
        for (const QPointF &probe : probes)
            shapes << cursorAt(probe);
        QCOMPARE(shapes, QList<Qt::CursorShape>({Qt::ArrowCursor, Qt::ArrowCursor, Qt::ArrowCursor, Qt::OpenHandCursor, Qt::OpenHandCursor,
                                                 Qt::OpenHandCursor}));
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
        vehicle->applyPosition({{"pos", at(away)}, {"rpos", at(away)}});
        detector->setState("active", "B1");
        QCOMPARE(colourAt(board), QColor(Qt::white));
        QCOMPARE(colourAt(view.mapFromScene(away)), QColor(199, 226, 248));
        QCOMPARE(colourAt(view.mapFromScene(offsetMetres(Here, 0, 15))), QColor(Qt::green));
        // Panned away and back: the detectors' picture moves and draws the strip it uncovers.
        view.centerOn(offsetMetres(Here, 0, -6));
        colourAt(board);
        view.centerOn(Here);
        QCOMPARE(colourAt(view.mapFromScene(offsetMetres(Here, 0, 15))), QColor(Qt::green));
        // The route and detectors' pictures, drawn as one since nothing came between them, show
        // after these changes and a pan what they show drawn apart (an item between them).
        view.centerOn(view.mapToScene(Centre + QPoint(37, -23)));
        view.viewport()->grab();
        const QImage one = view.viewport()->grab().toImage();
        auto *between = new QGraphicsRectItem(QRectF(Here, QSizeF(1e-6, 1e-6)), detector->parentItem());
        between->setPen(Qt::NoPen);
        between->setZValue(-0.04);
        QCOMPARE(view.viewport()->grab().toImage(), one);
    }

    void emergencySector()
    {
        // A board's 90-degree sector of 5 m opening north (at 2e6 px per degree about 18 px a
        // metre north-south), half-transparent in its state colour, under a route's light grey
        // band crossing it 3 m north: the layer's batch draws it as the sector draws itself
        // (lowered, which the batch leaves to it). Its arc is flattened apart from the view: the
        // aliased outline may move by a pixel in places.
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        routeAlong({offsetMetres(Here, -10, 3), offsetMetres(Here, 10, 3)})->setDontHide(true);
        PrioVehicle *vehicle = vehicleAt({{"course", 0}});
        vehicle->applyProperties({{"allow_emergency", true}, {"radius", 5}, {"sweep", 90}});
        QGraphicsView view(scene);
        const QImage batched = grabView(&view, Here, QTransform::fromScale(2e6, -2e6));
        QCOMPARE(QColor(batched.pixel(view.mapFromScene(offsetMetres(Here, 0, 3.6)))), QColor(Qt::lightGray));
        vehicle->sectorItem()->setZValue(-0.2);
        const QImage alone = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(countIn(batched.rect(), [&](int x, int y) { return batched.pixel(x, y) != alone.pixel(x, y); }) <= 30);
    }

    void splitDrawing()
    {
        // A crowd of pins and half of them with sectors is painted on two threads, the rows
        // below a line on the second: into the window's own image and into a grab, the pixels
        // are those painted on one thread.
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        for (int i = 0; i < 300; ++i) {
            PrioVehicle *vehicle = vehicleAt({{"course", i * 37}, {"locked", i % 3 == 0}, {"selected", i % 11 == 0}},
                                             Here + QPointF(i % 20 * 11.0 - 105.0, 95.0 - i / 20 * 13.0) / 2e5);
            if (i % 2)
                vehicle->applyProperties({{"allow_emergency", true}, {"radius", 4 + i % 5}, {"sweep", 60 + i % 200}});
        }
        QGraphicsView view(scene);
        view.setRenderHint(QPainter::Antialiasing);
        grabView(&view, Here, QTransform::fromScale(2e5, -2e5), QSize(230, 210));
        auto window = [&] {
            view.viewport()->repaint();
            return view.screen()->grabWindow(view.winId()).toImage();
        };
        const QImage split[] = {window(), view.viewport()->grab().toImage()};
        SplitDraw::setEnabled(false);
        const QImage one[] = {window(), view.viewport()->grab().toImage()};
        SplitDraw::setEnabled(true);
        QVERIFY(countIn(one[0].rect(), [&](int x, int y) { return isDark(one[0].pixel(x, y)); }) > 5000);
        QCOMPARE(split[0], one[0]);
        QCOMPARE(split[1], one[1]);
    }

    void dirtyTiles_data()
    {
        QTest::addColumn<bool>("sectors");
        QTest::newRow("alone") << false;
        // Enough sectors to be drawn on two threads: the second draws the tiles first.
        QTest::newRow("under sectors") << true;
    }

    void dirtyTiles()
    {
        // Zones 7 px apart, overlapping, some selected: a state change redraws the detectors'
        // picture where it changed, with every neighbour reaching into it, and the view shows
        // what a new view of the scene shows.
        QFETCH(bool, sectors);
        if (sectors) {
            plugin->setEmsShowMode(PriorityPlugin::show_always);
            for (int i = 0; i < 150; ++i) {
                // In two strips beside the zones, the sectors reaching under them.
                const double x = (i % 2 ? 72.0 : -96.0) + i / 2 % 3 * 12.0;
                PrioVehicle *vehicle = vehicleAt({{"course", i * 37}}, Here + QPointF(x, 95.0 - i / 6 * 7.5) / 1e6);
                vehicle->applyProperties({{"allow_emergency", true}, {"radius", 2 + i % 3}, {"sweep", 60 + i % 200}});
            }
        }
        QVector<PrioVDetector *> zones;
        for (int i = 0; i < 50; ++i) {
            const QPointF west = offsetMetres(Here, i % 2 ? 0.5 : -6.5, 10.0 - i / 2 * 0.8);
            auto *zone = new PrioVDetector(plugin, i, scene, true);
            zone->applyProperties({{"geometry_hash", QString::number(i)}, {"geometry", eastOf(west, {0, 3, 6})}});
            zone->setInView(true);
            zone->setSelected(i % 5 == 0);
            zones << zone;
        }
        auto window = [](QGraphicsView *view) {
            view->viewport()->repaint();
            return view->screen()->grabWindow(view->winId()).toImage();
        };
        QGraphicsView view(scene);
        view.setRenderHint(QPainter::Antialiasing);
        grabView(&view, Here, QTransform::fromScale(1e6, -1e6));
        for (int i : {7, 20, 33}) {
            zones.at(i)->setState(i % 2 ? "active" : "inside", "B1");
            window(&view);
        }
        QGraphicsView fresh(scene);
        fresh.setRenderHint(QPainter::Antialiasing);
        grabView(&fresh, Here, QTransform::fromScale(1e6, -1e6));
        const QImage shown = window(&view);
        QVERIFY(countIn(shown.rect(), [&](int x, int y) { return isGreenish(shown.pixel(x, y)); }) > 100);
        QCOMPARE(shown, window(&fresh));
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
        row("selected, a long figure always", "selected inside", 5e5, int(PriorityPlugin::show_weight_always), 12345, QColor());
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
        auto *detector = detectorFrom({{"weight", weight}, {"checkin_length", 15}, {"geometry", eastOf(Here, along)}});
        detector->setWeightShowMode(mode);
        detector->setInView(true);
        detector->setZValue(state.startsWith("raised") ? 1 : 0);
        detector->setProperty("selected", state.startsWith("selected"));
        detector->setState(state.section(' ', -1), "B1");
        QGraphicsView view(scene);
        const QImage image = grabView(&view, Here, QTransform::fromScale(scale, -scale));
        // Selected (a wider pen), with a long figure, it paints inside its bounds.
        const QRect bounds = view.mapFromScene(detector->sceneBoundingRect()).boundingRect();
        QVERIFY2(bounds.adjusted(-2, -2, 2, 2).contains(paintedExtent(image)), qPrintable(sizeOf(paintedExtent(image)) + " in " + sizeOf(bounds)));
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
        QCOMPARE(countIn(QRect(Centre.x(), Centre.y() - int(6 * m) - 3, 1, 7), [&](int x, int y) { return isDark(image.pixel(x, y)); }) > 0, disc);
    }

private:
    PrioRoute *route = nullptr;
    PrioVDetector *detector = nullptr;

    // A route shown 120 m eastwards through the centre, a 30 m detector in view 15 m north of
    // it and a board on its route 15 m south of it.
    PrioVehicle *street()
    {
        route = routeAlong({offsetMetres(Here, -60, 0), offsetMetres(Here, 60, 0)});
        route->setDontHide(true);
        detector = detectorFrom({{"geometry", geometryOf({offsetMetres(Here, -15, 15), offsetMetres(Here, 15, 15)})}});
        detector->setInView(true);
        return vehicleAt({}, offsetMetres(Here, 0, -15));
    }

    // A board at the centre (or at p) as the record says: locked, active, its weight, mode,
    // selection, course.
    PrioVehicle *vehicleAt(const QVariantMap &record, const QPointF &p = Here)
    {
        QVariantMap position{{"weight", record.value("weight", 1)}};
        if (record.contains("course"))
            position.insert("course", record.value("course"));
        PrioVehicle *vehicle = boardAt(p, position);
        vehicle->applyProperties({{"locked", record.value("locked")}});
        if (record.contains("active"))
            vehicle->setPriorityState("active", 1);
        vehicle->setWeightShowMode(record.value("mode").toInt());
        vehicle->setSelected(record.contains("selected"));
        return vehicle;
    }
};

QTEST_MAIN(tst_ItemRendering)
#include "tst_itemrendering.moc"
