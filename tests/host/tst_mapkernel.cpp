// The host's map as the plug-in and the demo use it: layers by name, plug-ins that go before
// the scene and the tree, the view's zoom levels and scale, wheel and drag, and the timeline
// widget the plug-in feeds (bounded, and refusing samples it cannot draw).

#include <QGraphicsRectItem>
#include <QPointer>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QtTest>

#include <cmath>

#include "kernel/mapview.h"
#include "kernel/roaditemmodel.h"
#include "kernel/roadkernel.h"
#include "kernel/timelinewidget.h"

// Stands in for a plug-in: a child of the kernel that, when it goes, still uses the scene
// and the tree it was given (as the real plug-in's items do).
class FakePlugin : public QObject
{
    Q_OBJECT
public:
    FakePlugin(Road::Kernel *kernel, bool *sawHostAlive)
        : QObject(kernel), m_kernel(kernel), m_sawHostAlive(sawHostAlive), m_section(kernel->itemModel()->addSection("Traffic priority system/Routes"))
    {
        qobject_cast<Road::MapLayer *>(kernel->scene()->addLayer("Traffic priority"))->addItem(m_item);
    }
    ~FakePlugin() override
    {
        *m_sawHostAlive = m_kernel->itemModel() && m_kernel->scene() && m_section && m_item->scene();
        delete m_item;
        delete m_section.data();
    }

private:
    Road::Kernel *m_kernel;
    bool *m_sawHostAlive;
    QPointer<QObject> m_section;
    QGraphicsRectItem *m_item = new QGraphicsRectItem(0, 0, 1, 1);
};

class tst_MapKernel : public QObject
{
    Q_OBJECT

private slots:
    // Asked for by name through the meta-object, as the plug-in does: the same layer for the
    // same name, stacked in the order first asked for; an item added goes into the layer.
    void layers()
    {
        Road::Kernel kernel;
        const auto layer = [&kernel](const QString &name) {
            QGraphicsObject *result = nullptr;
            return QMetaObject::invokeMethod(kernel.graphicsScene(), "addLayer", Q_RETURN_ARG(QGraphicsObject *, result), Q_ARG(QString, name)) ? result : nullptr;
        };
        QGraphicsObject *priority = layer("Traffic priority"), *base = layer("Base map");
        QVERIFY(priority && base && priority != base && layer("Traffic priority") == priority);
        QVERIFY(priority->scene() == kernel.scene() && priority->objectName() == "Traffic priority");
        QVERIFY(base->zValue() > priority->zValue() && layer("Labels")->zValue() > base->zValue());
        auto *item = new QGraphicsRectItem(0, 0, 1, 1);
        QVERIFY(QMetaObject::invokeMethod(priority, "addItem", Q_ARG(QGraphicsItem *, item)));
        QVERIFY(QMetaObject::invokeMethod(priority, "addItem", Q_ARG(QGraphicsItem *, nullptr)));
        QCOMPARE(priority->childItems(), {item});
        bool sawHostAlive = false;
        {
            Road::Kernel host;
            new FakePlugin(&host, &sawHostAlive);
        }
        QVERIFY(sawHostAlive);
    }

    // 256 * 2^z pixels per 360 degrees of longitude, north up, and 1/cos(latitude) as many
    // per degree of latitude; levels outside 0..MaxZoom are clamped, a level set again is
    // no change.
    void scale_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("pixelsPerDegree");
        QTest::addColumn<double>("stretch");
        QTest::newRow("level 5 at the equator") << 5 << 0.0 << 22.755556 << 1.0;
        QTest::newRow("level 17, 60 north") << 17 << 60.0 << 93206.755556 << 2.0;
        QTest::newRow("above the top, 60 south") << 99 << -60.0 << Road::MapView::pixelsPerDegree(Road::MapView::MaxZoom) << 2.0;
        QTest::newRow("below the bottom") << -3 << 0.0 << Road::MapView::pixelsPerDegree(Road::MapView::MinZoom) << 1.0;
    }
    void scale()
    {
        QFETCH(int, zoom);
        QFETCH(double, latitude);
        QFETCH(double, pixelsPerDegree);
        QFETCH(double, stretch);
        Road::MapView view;
        QCOMPARE(view.zoom(), 12);
        view.resize(400, 300);
        view.centreOn(QPointF(10.0, latitude));
        QSignalSpy spy(&view, &Road::MapView::zoomChanged);
        view.setZoom(zoom);
        view.setZoom(zoom);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), qBound(Road::MapView::MinZoom, zoom, Road::MapView::MaxZoom));
        const QTransform t = view.transform();
        QVERIFY2(std::abs(t.m11() - pixelsPerDegree) < 1e-5 * pixelsPerDegree && t.m22() < 0 && std::abs(-t.m22() / t.m11() - stretch) < 1e-5,
                 qPrintable(QStringLiteral("%1 %2").arg(t.m11()).arg(t.m22())));
    }

    // A wheel notch is a level, about the place under the cursor; a drag moves the map with
    // the mouse.
    void wheelAndDrag()
    {
        Road::MapView view;
        view.setScene(new QGraphicsScene(&view));
        view.resize(400, 300);
        view.centreOn(QPointF(30.3, 59.9));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy spy(&view, &Road::MapView::zoomChanged);
        const QPoint cursor(100, 80);
        const QPointF before = view.mapToScene(cursor);
        QWheelEvent wheel(cursor, view.viewport()->mapToGlobal(cursor), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.viewport(), &wheel);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(view.zoom(), 14);
        const double pixel = 1.0 / Road::MapView::pixelsPerDegree(14);
        QVERIFY(QLineF(view.mapToScene(cursor), before).length() <= 1.5 * pixel);

        // 100 pixels to the right: the view looks further west.
        const QPointF centre = view.mapToScene(QPoint(200, 150));
        QTest::mousePress(view.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(150, 150));
        for (int x = 175; x <= 250; x += 25) {
            QMouseEvent move(QEvent::MouseMove, QPointF(x, 150), view.viewport()->mapToGlobal(QPoint(x, 150)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view.viewport(), &move);
        }
        QTest::mouseRelease(view.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(250, 150));
        const QPointF moved = centre - view.mapToScene(QPoint(200, 150));
        QVERIFY2(std::abs(moved.x() - 100 * pixel) < 2 * pixel && std::abs(moved.y()) < 2 * pixel, qPrintable(QString::number(moved.x() / pixel)));
    }

    // Samples by board name, through the meta-object as the plug-in gives them, kept in time
    // order; ones it cannot draw are refused.
    void timelineSamples_data()
    {
        QTest::addColumn<QString>("board");
        QTest::addColumn<int>("second");
        QTest::addColumn<double>("offset");
        QTest::addColumn<int>("kept");
        QTest::newRow("taken") << "B1" << 0 << 12.5 << 1;
        QTest::newRow("no board name") << "" << 0 << 1.0 << 0;
        QTest::newRow("invalid time") << "B1" << -1 << 1.0 << 0;
        QTest::newRow("NaN offset") << "B1" << 0 << qQNaN() << 0;
        QTest::newRow("older than the window") << "B1" << -601 << 1.0 << 0;
    }
    void timelineSamples()
    {
        QFETCH(QString, board);
        QFETCH(int, second);
        QFETCH(double, offset);
        QFETCH(int, kept);
        TimelineWidget timeline;
        const QDateTime now(QDate(2024, 5, 6), QTime(8, 30, 0));
        timeline.putBoardData("B0", "1", now, 0, false);
        QVERIFY(QMetaObject::invokeMethod(&timeline, "putBoardData", Q_ARG(QString, board), Q_ARG(QString, "5"),
                                          Q_ARG(QDateTime, second == -1 ? QDateTime() : now.addSecs(second)), Q_ARG(qreal, offset), Q_ARG(bool, true)));
        QCOMPARE(timeline.boardCount(), 1 + kept);
        const QVector<TimelineWidget::Sample> samples = timeline.samples("B1");
        QCOMPARE(samples.size(), kept);
        QVERIFY(!kept || (samples[0].time == now && samples[0].offset == 12.5 && samples[0].priority && timeline.routeOf("B1") == "5"));
    }

    // 2100 samples 0.1 s apart, out of order in each second: the oldest go beyond
    // MaxSamplesPerBoard, the rest stay in time order, and are drawn; ten minutes on, the
    // board has left the window.
    void timelineIsBounded()
    {
        TimelineWidget timeline;
        timeline.resize(500, 240);
        const QImage empty = timeline.grab().toImage();
        const QDateTime t0(QDate(2024, 5, 6), QTime(8, 0, 0));
        for (int i = 0; i < 2100; ++i)
            timeline.putBoardData("B1", "5", t0.addMSecs((i / 10 * 10 + 9 - i % 10) * 100), 100 * std::sin(i / 100.0), i % 10 == 0);
        const QVector<TimelineWidget::Sample> samples = timeline.samples("B1");
        QCOMPARE(samples.size(), TimelineWidget::MaxSamplesPerBoard);
        QCOMPARE(samples.first().time, t0.addSecs(10));
        QCOMPARE(samples.last().time, t0.addMSecs(209900));
        QVERIFY(std::is_sorted(samples.cbegin(), samples.cend(), [](const TimelineWidget::Sample &a, const TimelineWidget::Sample &b) { return a.time < b.time; }));
        QVERIFY(timeline.grab().toImage() != empty);
        timeline.putBoardData("B2", "6", t0.addSecs(209 + 601), 0, false);
        QVERIFY(timeline.boardCount() == 1 && timeline.samples("B1").isEmpty() && timeline.routeOf("B1").isEmpty());
    }
};

QTEST_MAIN(tst_MapKernel)
#include "tst_mapkernel.moc"
