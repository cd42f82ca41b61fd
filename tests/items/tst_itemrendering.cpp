#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/itemcursor.h"
#include "items/itemsprites.h"
#include "items/priovehicle.h"
#include "items/routelayer.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include "itemtestutil.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStandardPaths>
#include <QtTest>

using ItemTest::geometryOf;
using ItemTest::offsetMetres;
using ItemTest::paintedExtent;
using ItemTest::renderView;

namespace {

const QPointF Here(10.0, 50.0);
const QPoint Centre(100, 100);

bool isGreenish(QRgb p)
{
    return qGreen(p) > qRed(p) + 40 && qGreen(p) > qBlue(p) + 40 && qGreen(p) < 200;
}

bool isDark(QRgb p)
{
    return qRed(p) < 110 && qGreen(p) < 110 && qBlue(p) < 110;
}

// Pixels of the image that satisfy test within radius of the centre.
template<typename Test>
int countNearCentre(const QImage &image, int radius, Test test)
{
    int count = 0;
    for (int y = Centre.y() - radius; y <= Centre.y() + radius; ++y)
        for (int x = Centre.x() - radius; x <= Centre.x() + radius; ++x)
            if (QLineF(Centre, QPoint(x, y)).length() <= radius && test(image.pixel(x, y)))
                ++count;
    return count;
}

} // namespace

// What the operator sees: items painted by a real view into an image, read back pixel by
// pixel. Views here are aliased (QGraphicsView's default), so fills keep their exact colours.
class tst_ItemRendering : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("tst_itemrendering"));
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

    void vehicleStateColour_data()
    {
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<bool>("priority");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("locked") << QVariantMap{{"locked", true}, {"route_id", 5}} << true << QColor(Qt::red);
        QTest::newRow("priority") << QVariantMap{{"route_id", 5}} << true << QColor(Qt::green);
        QTest::newRow("on its route") << QVariantMap{{"route_id", 5}} << false << QColor(199, 226, 248);
    }

    void vehicleStateColour()
    {
        QFETCH(QVariantMap, properties);
        QFETCH(bool, priority);
        QFETCH(QColor, colour);
        PrioVehicle *vehicle = vehicleAt(Here, properties);
        if (priority)
            vehicle->setPriorityState("active", 1);
        const QImage image = renderView(scene, Here, 3000.0);
        QCOMPARE(QColor(image.pixel(Centre)), colour);
        QCOMPARE(QColor(image.pixel(Centre + QPoint(10, 5))), colour);
        QCOMPARE(QColor(image.pixel(Centre + QPoint(30, 0))), QColor(Qt::white));
    }

    void markerSizeFollowsTheViewScale_data()
    {
        QTest::addColumn<QTransform>("transform");
        QTest::addColumn<bool>("rendered");
        QTest::addColumn<QVariant>("course");
        QTest::addColumn<QSize>("size");
        const QTransform north = QTransform::fromScale(1500.0, -1500.0);
        // The circle is 32 px across at full size; the pin 20 px wide and 26 px tall.
        QTest::newRow("3000 px per degree: full size") << QTransform::fromScale(3000.0, -3000.0) << false << QVariant()
                                                       << QSize(32, 32);
        QTest::newRow("6000: still full size") << QTransform::fromScale(6000.0, -6000.0) << false << QVariant()
                                               << QSize(32, 32);
        QTest::newRow("1500: half size") << north << false << QVariant() << QSize(16, 16);
        // Rendering into an image or printing hands paint() no widget: no view to take a
        // scale from, so the marker keeps its full size.
        QTest::newRow("1500, rendered into an image: full size") << north << true << QVariant() << QSize(32, 32);
        // Neither a zero first matrix entry (rotation) nor a negative one (mirror) may make
        // the marker vanish or flip: the pin is drawn at the view's scale, pointing north.
        QTest::newRow("rotated a quarter turn") << QTransform().rotate(90).scale(1500.0, -1500.0) << false
                                                << QVariant(0) << QSize(10, 13);
        QTest::newRow("mirrored") << QTransform::fromScale(-1500.0, -1500.0) << false << QVariant(0) << QSize(10, 13);
    }

    void markerSizeFollowsTheViewScale()
    {
        QFETCH(QTransform, transform);
        QFETCH(bool, rendered);
        QFETCH(QVariant, course);
        QFETCH(QSize, size);
        vehicleAt(Here, {}, course);
        QGraphicsView view(scene);
        ItemTest::setUpView(&view, transform);
        QImage image = ItemTest::grabView(&view, Here);
        if (rendered) {
            image.fill(Qt::white);
            QPainter painter(&image);
            view.render(&painter);
        }
        const QRect extent = paintedExtent(image);
        QVERIFY2(std::abs(extent.width() - size.width()) <= 2 && std::abs(extent.height() - size.height()) <= 2,
                 qPrintable(QString("%1x%2").arg(extent.width()).arg(extent.height())));
        const QPoint origin = view.mapFromScene(Here);
        QVERIFY(extent.contains(origin));
        // The pin's point, 15.4 px from the centre at full size, is above it.
        if (course.isValid())
            QVERIFY(origin.y() - extent.top() > extent.bottom() - origin.y());
    }

    void markerSpriteMatchesTheMarkerDrawn_data()
    {
        QTest::addColumn<int>("course");
        QTest::addColumn<double>("scale");
        QTest::addColumn<bool>("figure");
        QTest::addColumn<int>("penWidth");
        QTest::newRow("pin north, full size") << 0 << 1.0 << false << 1;
        QTest::newRow("pin at 45 degrees, half size, figure") << 45 << 0.5 << true << 1;
        QTest::newRow("circle, figure, 2-pixel pen") << int(PrioVehicle::NoCourse) << 1.0 << true << 2;
    }

    void markerSpriteMatchesTheMarkerDrawn()
    {
        // Vehicles draw a shared picture of their marker: it must look like the marker drawn
        // in its place, the position taken to the nearest pixel.
        QFETCH(int, course);
        QFETCH(double, scale);
        QFETCH(bool, figure);
        QFETCH(int, penWidth);
        const QRectF figureRect(-16.0, -16.0, 32.0, 32.0);
        QPen pen(Qt::black, penWidth);
        pen.setCosmetic(true);
        ItemSprites::Look look;
        look.step = ItemSprites::courseStep(course, PrioVehicle::NoCourse);
        look.colour = qRgb(199, 226, 248);
        look.figure = figure;
        look.weight = 7;
        auto paint = [&](bool sprite) {
            QImage image(80, 80, QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            if (sprite) {
                painter.translate(40.6, 39.6);
                ItemSprites::drawMarker(&painter, look, pen, scale, figureRect);
                return image;
            }
            painter.translate(41.0, 40.0);
            painter.scale(scale, scale);
            painter.setPen(pen);
            painter.setBrush(QColor(look.colour));
            painter.drawPath(ItemSprites::marker(look.step));
            if (figure)
                painter.drawText(figureRect, Qt::AlignHCenter | Qt::AlignVCenter, "7");
            return image;
        };
        const QImage sprite = paint(true);
        const int sprites = ItemSprites::count();
        QCOMPARE(paint(true), sprite);
        QCOMPARE(ItemSprites::count(), sprites);
        const QImage direct = paint(false);
        int differing = 0;
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 80; ++x)
                differing += qAbs(qGray(sprite.pixel(x, y)) - qGray(direct.pixel(x, y))) > 2 ? 1 : 0;
        QCOMPARE(differing, 0);
        QVERIFY(paintedExtent(direct).width() > 8 * scale);
    }

    void vehicleWeightFigure_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("figure");
        QTest::newRow("if valid, weight 1: none") << int(PriorityPlugin::show_weight_if_valid) << 1 << false;
        QTest::newRow("if valid, weight 2") << int(PriorityPlugin::show_weight_if_valid) << 2 << true;
        QTest::newRow("always, weight 1") << int(PriorityPlugin::show_weight_always) << 1 << true;
        QTest::newRow("unknown mode") << 7 << 8 << false;
    }

    void vehicleWeightFigure()
    {
        QFETCH(int, mode);
        QFETCH(int, weight);
        QFETCH(bool, figure);
        PrioVehicle *vehicle = vehicleAt(Here, {{"route_id", 5}});
        vehicle->applyPosition({{"pos", QVariantList{Here.x(), Here.y()}}, {"rpos", QVariantList{Here.x(), Here.y()}},
                                {"weight", weight}});
        vehicle->setWeightShowMode(mode);
        const QImage image = renderView(scene, Here, 3000.0);
        // Inside the light-blue circle only the figure is dark.
        const int dark = countNearCentre(image, 9, isDark);
        QCOMPARE(dark > 3, figure);
    }

    void vehiclePaintsInsideItsBounds()
    {
        // Selected (2-pixel pen), with its weight figure, pointing north-east.
        PrioVehicle *vehicle = vehicleAt(Here, {{"route_id", 5}}, 45);
        vehicle->applyPosition({{"pos", QVariantList{Here.x(), Here.y()}}, {"rpos", QVariantList{Here.x(), Here.y()}},
                                {"course", 45}, {"weight", 88888}});
        vehicle->setWeightShowMode(PriorityPlugin::show_weight_always);
        vehicle->setSelected(true);
        const QRect extent = paintedExtent(renderView(scene, Here, 3000.0));
        const QRectF bounds = vehicle->boundingRect().translated(Centre);
        QVERIFY2(bounds.adjusted(-1, -1, 1, 1).contains(extent),
                 qPrintable(QString("%1,%2 %3x%4").arg(extent.x()).arg(extent.y()).arg(extent.width()).arg(extent.height())));
    }

    void routeFill_data()
    {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("unlocked: light grey") << false << QColor(Qt::lightGray);
        QTest::newRow("locked: red") << true << QColor(Qt::red);
    }

    void routeFill()
    {
        QFETCH(bool, locked);
        QFETCH(QColor, colour);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setGeometry(geometryOf({offsetMetres(Here, -20, 0), offsetMetres(Here, 20, 0)}), "h");
        route->applyProperties({{"locked", locked}});
        route->setDontHide(true);
        // About 18 px per metre north-south: 0.6 m off the centre line is inside the 2 m band
        // and clear of the arrows drawn along it (routeLineAtCityZoom looks at those).
        const QImage image = renderView(scene, Here, 2e6);
        const QPoint offLine = Centre - QPoint(0, 11);
        QCOMPARE(QColor(image.pixel(offLine)), colour);
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 30))), QColor(Qt::white));
    }

    void routeLineAtCityZoom_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<double>("lengthMetres");
        QTest::addColumn<bool>("continuous");
        // 0: the route spans the view; 130 km is above the arrow cap (about 120 km at 2 m bands).
        QTest::newRow("whole city: arrows closer than a pixel, one line") << 1456.0 << 0.0 << true;
        QTest::newRow("district: arrows under four pixels apart, one line") << 23301.0 << 0.0 << true;
        QTest::newRow("street: arrows several pixels apart") << 93206.0 << 0.0 << false;
        QTest::newRow("too long for arrows, city zoom: its centre line") << 1456.0 << 130000.0 << true;
        QTest::newRow("too long for arrows, zoom 16: its centre line") << 46603.0 << 130000.0 << true;
    }

    void routeLineAtCityZoom()
    {
        // Zoomed out, the 2 m band is about a pixel or less and the arrows merge: the route shows
        // as a continuous line of the pen (the band is then not filled at all, for speed). Closer
        // in, the arrows stand apart.
        QFETCH(double, scale);
        QFETCH(double, lengthMetres);
        QFETCH(bool, continuous);
        auto *route = new PrioRoute(plugin, 1, scene);
        const double halfMetres =
            lengthMetres > 0.0 ? lengthMetres / 2.0 : 90.0 / scale * ItemTest::metresPerDegreeLon(Here.y());
        route->setGeometry(geometryOf({offsetMetres(Here, -halfMetres, 0), offsetMetres(Here, halfMetres, 0)}), "h");
        route->setSelected(true);
        const QImage image = renderView(scene, Here, scale);
        int covered = 0;
        for (int x = 15; x < 185; ++x) {
            bool dark = false;
            for (int y = Centre.y() - 1; y <= Centre.y() + 1; ++y)
                dark = dark || isDark(image.pixel(x, y));
            covered += dark ? 1 : 0;
        }
        if (continuous)
            QVERIFY2(covered >= 165, qPrintable(QString::number(covered)));
        else
            QVERIFY2(covered > 30 && covered < 150, qPrintable(QString::number(covered)));
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 10))), QColor(Qt::white));
    }

    void routePictureMatchesRoutesDrawnAlone_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<bool>("locked");
        QTest::newRow("street: bands and arrows") << 2e5 << false;
        QTest::newRow("street, locked") << 2e5 << true;
        QTest::newRow("district: centre lines") << 23301.0 << false;
    }

    void routePictureMatchesRoutesDrawnAlone()
    {
        // The layer draws its routes as one picture; without it (the host deleted it) each
        // route draws itself. The view must look the same either way.
        QFETCH(double, scale);
        QFETCH(bool, locked);
        const double reach = 120.0 / scale * ItemTest::metresPerDegreeLon(Here.y());
        for (int i = 0; i < 3; ++i) {
            auto *route = new PrioRoute(plugin, i + 1, scene);
            route->setGeometry(geometryOf({offsetMetres(Here, -reach, reach * (i - 1) * 0.5),
                                           offsetMetres(Here, reach * 0.3, -reach * 0.2),
                                           offsetMetres(Here, reach, reach * (1 - i) * 0.7)}),
                               "h");
            route->applyProperties({{"locked", locked && i == 1}});
            route->setDontHide(true);
        }
        QGraphicsView view(scene);
        ItemTest::setUpView(&view, QTransform::fromScale(scale, -scale));
        const QImage picture = ItemTest::grabView(&view, Here);
        QList<QGraphicsItem *> layers;
        for (QGraphicsItem *item : scene->items())
            if (item->type() == RouteLayer::Type)
                layers << item;
        QCOMPARE(layers.size(), 1);
        delete layers.first();
        const QImage alone = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int differing = 0;
        int drawn = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb a = picture.pixel(x, y);
                const QRgb b = alone.pixel(x, y);
                drawn += b != qRgb(255, 255, 255) ? 1 : 0;
                differing += qAbs(qRed(a) - qRed(b)) > 2 || qAbs(qGreen(a) - qGreen(b)) > 2 || qAbs(qBlue(a) - qBlue(b)) > 2;
            }
        }
        QVERIFY2(drawn > 300, qPrintable(QString::number(drawn)));
        QCOMPARE(differing, 0);
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
        detector->applyProperties({{"geometry_hash", "g"},
                                   {"geometry", geometryOf({offsetMetres(Here, -15, 15), offsetMetres(Here, 15, 15)})}});
        detector->setInView(true);
        PrioVehicle *vehicle = vehicleAt(offsetMetres(Here, 0, -15), {});
        QGraphicsView view(scene);
        // About 18 px per metre north-south and 29 east-west.
        ItemTest::setUpView(&view, QTransform::fromScale(2e6, -2e6), QSize(200, 640));
        const QImage before = ItemTest::grabView(&view, Here);
        const QPoint offLine = view.mapFromScene(Here) - QPoint(0, 11);
        const QPoint board = view.mapFromScene(offsetMetres(Here, 0, -15));
        const QPoint zone = view.mapFromScene(offsetMetres(Here, 0, 15));
        QCOMPARE(QColor(before.pixel(offLine)), QColor(Qt::lightGray));
        QCOMPARE(QColor(before.pixel(board)), QColor(Qt::lightGray));
        // What the view repainted by itself (a widget's grab paints it all again).
        auto grab = [&] {
            QCoreApplication::processEvents();
            return view.screen()->grabWindow(view.winId()).toImage();
        };
        route->applyProperties({{"locked", true}});
        QCOMPARE(QColor(grab().pixel(offLine)), QColor(Qt::red));
        route->setDontHide(false);
        QCOMPARE(QColor(grab().pixel(offLine)), QColor(Qt::white));
        route->setSelected(true);
        QCOMPARE(QColor(grab().pixel(offLine)), QColor(Qt::red));
        const QPointF away = offsetMetres(Here, 3, -15);
        vehicle->applyPosition({{"pos", QVariantList{away.x(), away.y()}}, {"rpos", QVariantList{away.x(), away.y()}}});
        detector->setState("active", "B1");
        const QImage after = grab();
        QCOMPARE(QColor(after.pixel(board)), QColor(Qt::white));
        QCOMPARE(QColor(after.pixel(view.mapFromScene(away))), QColor(Qt::lightGray));
        QCOMPARE(QColor(after.pixel(zone)), QColor(Qt::green));
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
        detector->applyProperties({{"geometry_hash", "g"},
                                   {"geometry", geometryOf({offsetMetres(Here, -15, 30), offsetMetres(Here, 15, 30)})}});
        detector->setInView(true);
        vehicleAt(Here, {});
        QGraphicsView view(scene);
        ItemTest::setUpView(&view, QTransform::fromScale(2e5, -2e5));
        view.setDragMode(QGraphicsView::ScrollHandDrag);
        ItemTest::grabView(&view, Here);
        ItemCursor::bind(plugin, &view);
        auto moveTo = [&](const QPoint &at) {
            QMouseEvent move(QEvent::MouseMove, at, view.viewport()->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(view.viewport(), &move);
            return view.viewport()->cursor().shape();
        };
        QCOMPARE(moveTo(Centre + offset), arrow ? Qt::ArrowCursor : Qt::OpenHandCursor);
        QCOMPARE(moveTo(QPoint(5, 195)), Qt::OpenHandCursor);
    }

    void detectorStateColour_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<double>("scale");
        QTest::addColumn<QColor>("colour");
        // At 5e5 px per degree about 4.5 px per metre north-south: the 1.5 m band is filled. At
        // 2e4 the 33 m zone is 9 px long and its band a quarter pixel: the pen's line shows.
        // At 6000 the zone is under 4 px: a dot of the state colour.
        QTest::newRow("inside: blue") << "inside" << 5e5 << QColor(Qt::blue);
        QTest::newRow("active: green") << "active" << 5e5 << QColor(Qt::green);
        QTest::newRow("idle: dark grey") << "idle" << 5e5 << QColor(Qt::darkGray);
        QTest::newRow("band under a pixel: the pen's line") << "active" << 2e4 << QColor(Qt::black);
        QTest::newRow("zone under four pixels: a blue dot") << "inside" << 6000.0 << QColor(Qt::blue);
        QTest::newRow("zone under four pixels: a dark grey dot") << "idle" << 6000.0 << QColor(Qt::darkGray);
    }

    void detectorStateColour()
    {
        QFETCH(QString, state);
        QFETCH(double, scale);
        QFETCH(QColor, colour);
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"},
                                   {"geometry", geometryOf({offsetMetres(Here, -15, 0), offsetMetres(Here, 15, 0)})}});
        detector->setInView(true);
        detector->setState(state, "B1");
        const QImage image = renderView(scene, Here, scale);
        // The pixel on the zone's line, which a one-pixel line may put a row off the centre.
        bool found = false;
        for (int dy = -1; dy <= 1; ++dy)
            found = found || QColor(image.pixel(Centre + QPoint(0, dy))) == colour;
        QVERIFY2(found, qPrintable(QColor(image.pixel(Centre)).name()));
        QCOMPARE(QColor(image.pixel(Centre - QPoint(0, 20))), QColor(Qt::white));
    }

    void detectorWeightDisc_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("disc");
        QTest::newRow("if valid, weight 0: none") << int(PriorityPlugin::show_weight_if_valid) << 0 << false;
        QTest::newRow("if valid, weight 1") << int(PriorityPlugin::show_weight_if_valid) << 1 << true;
        QTest::newRow("never") << int(PriorityPlugin::show_weight_none) << 5 << false;
    }

    void detectorWeightDisc()
    {
        QFETCH(int, mode);
        QFETCH(int, weight);
        QFETCH(bool, disc);
        // Without a check-in point the 12 m disc sits on the stop point.
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"},
                                   {"weight", weight},
                                   {"geometry", geometryOf({offsetMetres(Here, -30, 0), Here})}});
        detector->setWeightShowMode(mode);
        detector->setInView(true);
        const QImage image = renderView(scene, Here, 5e5);
        // 4 m north and 3 m west of the stop point: inside the disc, clear of the zone and figure.
        const QPoint probe = Centre + QPoint(-int(3 * 5e5 / ItemTest::metresPerDegreeLon(50.0)),
                                             -int(4 * 5e5 / ItemTest::MetresPerDegreeLat));
        QCOMPARE(QColor(image.pixel(probe)), QColor(Qt::white));
        // The figure is dark green on the white disc; the band and the arrowhead are dark grey.
        const int green = countNearCentre(image, 20, isGreenish);
        QCOMPARE(green > 5, disc);
        // Outline of the disc: dark pixels about 6 m from the stop point, north of it.
        const int discTop = Centre.y() - int(6 * 5e5 / ItemTest::MetresPerDegreeLat);
        int outline = 0;
        for (int y = discTop - 3; y <= discTop + 3; ++y)
            outline += isDark(image.pixel(Centre.x(), y)) ? 1 : 0;
        QCOMPARE(outline > 0, disc);
    }

    void detectorPaintsInsideItsBounds()
    {
        auto *detector = new PrioVDetector(plugin, 7, scene, true);
        detector->applyProperties({{"geometry_hash", "g"},
                                   {"weight", 12345},
                                   {"checkin_length", 20},
                                   {"geometry", geometryOf({offsetMetres(Here, -15, 0), offsetMetres(Here, 15, 0)})}});
        detector->setWeightShowMode(PriorityPlugin::show_weight_always);
        detector->setProperty("selected", true);
        QGraphicsView view(scene);
        ItemTest::setUpView(&view, QTransform::fromScale(5e5, -5e5), QSize(300, 300));
        const QImage image = ItemTest::grabView(&view, Here);
        const QRect extent = paintedExtent(image);
        const QRectF bounds = view.mapFromScene(detector->sceneBoundingRect()).boundingRect();
        QVERIFY(!extent.isEmpty());
        QVERIFY2(bounds.adjusted(-2, -2, 2, 2).contains(extent),
                 qPrintable(QString("%1,%2 %3x%4 in %5,%6 %7x%8").arg(extent.x()).arg(extent.y()).arg(extent.width())
                                .arg(extent.height()).arg(bounds.x()).arg(bounds.y()).arg(bounds.width()).arg(bounds.height())));
    }

private:
    PrioVehicle *vehicleAt(const QPointF &pos, const QVariantMap &properties, const QVariant &course = QVariant())
    {
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        QVariantMap all{{"logged_in", true}};
        for (auto it = properties.begin(); it != properties.end(); ++it)
            all.insert(it.key(), it.value());
        vehicle->applyProperties(all);
        QVariantMap position{{"pos", QVariantList{pos.x(), pos.y()}}, {"rpos", QVariantList{pos.x(), pos.y()}}};
        if (course.isValid())
            position.insert("course", course);
        vehicle->applyPosition(position);
        return vehicle;
    }

    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;
};

QTEST_MAIN(tst_ItemRendering)
#include "tst_itemrendering.moc"
