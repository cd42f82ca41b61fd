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

// Stands in for a plug-in: a child of the kernel that, when it goes, still uses the
// scene and the tree it was given (as the real plug-in's items do).
class FakePlugin : public QObject
{
    Q_OBJECT
public:
    FakePlugin(Road::Kernel *kernel, bool *sawHostAlive)
        : QObject(kernel)
        , m_kernel(kernel)
        , m_sawHostAlive(sawHostAlive)
    {
        m_section = kernel->itemModel()->addSection("Traffic priority system/Routes");
        m_item = new QGraphicsRectItem(0, 0, 1, 1);
        auto *layer = qobject_cast<Road::MapLayer *>(kernel->scene()->addLayer("Traffic priority"));
        layer->addItem(m_item);
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
    QGraphicsRectItem *m_item;
};

class tst_MapKernel : public QObject
{
    Q_OBJECT

private slots:
    void layersByName()
    {
        Road::Kernel kernel;
        QObject *scene = kernel.graphicsScene();
        auto layer = [scene](const QString &name) {
            QGraphicsObject *result = nullptr;
            const bool ok = QMetaObject::invokeMethod(scene, "addLayer", Q_RETURN_ARG(QGraphicsObject *, result),
                                                      Q_ARG(QString, name));
            return ok ? result : nullptr;
        };
        QGraphicsObject *priority = layer("Traffic priority");
        QGraphicsObject *base = layer("Base map");
        QVERIFY(priority && base);
        QVERIFY(priority != base);
        QCOMPARE(layer("Traffic priority"), priority);
        QCOMPARE(priority->scene(), kernel.scene());
        QCOMPARE(priority->objectName(), "Traffic priority");
        // Stacked in the order first asked for.
        QVERIFY(base->zValue() > priority->zValue());
        QVERIFY(layer("Labels")->zValue() > base->zValue());
    }

    void addItemParentsTheItem()
    {
        Road::Kernel kernel;
        QGraphicsObject *layer = kernel.scene()->addLayer("Traffic priority");
        auto *item = new QGraphicsRectItem(0, 0, 1, 1);
        QVERIFY(QMetaObject::invokeMethod(layer, "addItem", Q_ARG(QGraphicsItem *, item)));
        QCOMPARE(item->parentItem(), layer);
        QCOMPARE(item->scene(), kernel.scene());
        QVERIFY(QMetaObject::invokeMethod(layer, "addItem", Q_ARG(QGraphicsItem *, nullptr)));
        QCOMPARE(layer->childItems().size(), 1);
    }

    void plugInsGoBeforeTheSceneAndTree()
    {
        bool sawHostAlive = false;
        {
            Road::Kernel kernel;
            new FakePlugin(&kernel, &sawHostAlive);
        }
        QVERIFY(sawHostAlive);
    }

    void pixelsPerDegree_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<double>("expected");
        // 256 * 2^z pixels per 360 degrees, worked by hand.
        QTest::newRow("0") << 0.0 << 0.711111;
        QTest::newRow("17") << 17.0 << 93206.755556;
    }
    void pixelsPerDegree()
    {
        QFETCH(double, zoom);
        QFETCH(double, expected);
        QVERIFY(std::abs(Road::MapView::pixelsPerDegree(zoom) - expected) < 1e-5);
    }

    void setZoomSignalsLevelChanges()
    {
        Road::MapView view;
        QCOMPARE(view.zoom(), 12);
        QSignalSpy spy(&view, &Road::MapView::zoomChanged);
        view.setZoom(15);
        view.setZoom(15);
        view.setZoom(99);
        view.setZoom(-3);
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.at(0).at(0).toInt(), 15);
        QCOMPARE(spy.at(1).at(0).toInt(), Road::MapView::MaxZoom);
        QCOMPARE(spy.at(2).at(0).toInt(), Road::MapView::MinZoom);
        QCOMPARE(view.transform().m11(), Road::MapView::pixelsPerDegree(Road::MapView::MinZoom));
    }

    void northUpAndLocallyConformal_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("stretch");
        // 1/cos(latitude), by hand.
        QTest::newRow("equator") << 0.0 << 1.0;
        QTest::newRow("60 north") << 60.0 << 2.0;
        QTest::newRow("60 south") << -60.0 << 2.0;
    }
    void northUpAndLocallyConformal()
    {
        QFETCH(double, latitude);
        QFETCH(double, stretch);
        Road::MapView view;
        view.resize(400, 300);
        view.centreOn(QPointF(10.0, latitude));
        const QTransform t = view.transform();
        QVERIFY(t.m22() < 0); // north, larger y, is up
        QVERIFY(std::abs(-t.m22() / t.m11() - stretch) < 1e-5);
    }

    void wheelZoomsAboutTheCursor_data()
    {
        QTest::addColumn<int>("delta");
        QTest::addColumn<int>("zoom");
        QTest::newRow("out") << -120 << 11;
        QTest::newRow("in two notches") << 240 << 14;
    }
    void wheelZoomsAboutTheCursor()
    {
        QFETCH(int, delta);
        QFETCH(int, zoom);
        Road::MapView view;
        view.setScene(new QGraphicsScene(&view));
        view.resize(400, 300);
        view.centreOn(QPointF(30.3, 59.9));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy spy(&view, &Road::MapView::zoomChanged);

        const QPointF cursor(100, 80);
        const QPointF before = view.mapToScene(cursor.toPoint());
        QWheelEvent wheel(cursor, view.viewport()->mapToGlobal(cursor.toPoint()), QPoint(),
                          QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.viewport(), &wheel);

        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), zoom);
        // The place under the cursor stays there, to within a pixel at the new scale.
        const QPointF after = view.mapToScene(cursor.toPoint());
        const double pixel = 1.0 / Road::MapView::pixelsPerDegree(zoom);
        QVERIFY2(std::abs(after.x() - before.x()) <= 1.5 * pixel, qPrintable(QString::number(after.x() - before.x())));
        QVERIFY2(std::abs(after.y() - before.y()) <= 1.5 * pixel, qPrintable(QString::number(after.y() - before.y())));
    }

    void dragPans()
    {
        Road::MapView view;
        view.setScene(new QGraphicsScene(&view));
        view.resize(400, 300);
        view.setZoom(10);
        view.centreOn(QPointF(30.0, 0.0));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QPointF before = view.mapToScene(QPoint(200, 150));

        // Drag the map 100 pixels to the right: the view now looks further west.
        QWidget *viewport = view.viewport();
        QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, QPoint(150, 150));
        for (int x = 175; x <= 250; x += 25) {
            QMouseEvent move(QEvent::MouseMove, QPointF(x, 150), viewport->mapToGlobal(QPoint(x, 150)),
                             Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(viewport, &move);
        }
        QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, QPoint(250, 150));

        const QPointF after = view.mapToScene(QPoint(200, 150));
        const double expected = 100 / Road::MapView::pixelsPerDegree(10);
        QVERIFY2(std::abs((before.x() - after.x()) - expected) < 2 / Road::MapView::pixelsPerDegree(10),
                 qPrintable(QString::number(before.x() - after.x())));
        QVERIFY(std::abs(after.y() - before.y()) < 2 / Road::MapView::pixelsPerDegree(10));
    }

    void timelineTakesBoardDataByName()
    {
        TimelineWidget timeline;
        QCOMPARE(timeline.metaObject()->className(), "TimelineWidget");
        const QDateTime time(QDate(2024, 5, 6), QTime(8, 30, 0));
        QVERIFY(QMetaObject::invokeMethod(&timeline, "putBoardData", Q_ARG(QString, "B1"), Q_ARG(QString, "5"),
                                          Q_ARG(QDateTime, time), Q_ARG(qreal, 12.5), Q_ARG(bool, true)));
        QCOMPARE(timeline.boardCount(), 1);
        const QVector<TimelineWidget::Sample> samples = timeline.samples("B1");
        QCOMPARE(samples.size(), 1);
        QCOMPARE(samples[0].time, time);
        QCOMPARE(samples[0].offset, 12.5);
        QCOMPARE(samples[0].priority, true);
        QCOMPARE(timeline.routeOf("B1"), "5");
    }

    void timelineRefusesUnusableSamples_data()
    {
        QTest::addColumn<QString>("board");
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<double>("offset");
        const QDateTime now(QDate(2024, 5, 6), QTime(8, 30, 0));
        QTest::newRow("no board name") << "" << now << 1.0;
        QTest::newRow("invalid time") << "B1" << QDateTime() << 1.0;
        QTest::newRow("NaN offset") << "B1" << now << qQNaN();
        QTest::newRow("infinite offset") << "B1" << now << qInf();
        QTest::newRow("older than the window") << "B1" << now.addSecs(-601) << 1.0;
    }
    void timelineRefusesUnusableSamples()
    {
        QFETCH(QString, board);
        QFETCH(QDateTime, time);
        QFETCH(double, offset);
        TimelineWidget timeline;
        timeline.putBoardData("B0", "1", QDateTime(QDate(2024, 5, 6), QTime(8, 30, 0)), 0, false);
        timeline.putBoardData(board, "1", time, offset, false);
        QCOMPARE(timeline.boardCount(), 1);
        QCOMPARE(timeline.samples("B1").size(), 0);
    }

    void timelineMemoryIsBounded()
    {
        TimelineWidget timeline;
        const QDateTime t0(QDate(2024, 5, 6), QTime(8, 0, 0));
        // 2100 samples 0.1 s apart: the oldest 100, the first 10 s, are dropped.
        for (int i = 0; i < 2100; ++i)
            timeline.putBoardData("B1", "5", t0.addMSecs(i * 100), i, false);
        QVector<TimelineWidget::Sample> samples = timeline.samples("B1");
        QCOMPARE(samples.size(), TimelineWidget::MaxSamplesPerBoard);
        QCOMPARE(samples.first().time, t0.addSecs(10));
        QCOMPARE(samples.last().time, t0.addMSecs(209900));

        // Ten minutes on, B1's samples have left the window, and so has B1.
        timeline.putBoardData("B2", "6", t0.addSecs(209 + 601), 0, false);
        QCOMPARE(timeline.boardCount(), 1);
        QVERIFY(timeline.samples("B1").isEmpty());
        QVERIFY(timeline.routeOf("B1").isEmpty());
    }

    void timelineKeepsTimeOrder()
    {
        TimelineWidget timeline;
        const QDateTime t0(QDate(2024, 5, 6), QTime(8, 0, 0));
        for (int s : {0, 20, 10, 30, 5})
            timeline.putBoardData("B1", "5", t0.addSecs(s), s, false);
        QVector<double> offsets;
        for (const TimelineWidget::Sample &sample : timeline.samples("B1"))
            offsets << sample.offset;
        QCOMPARE(offsets, QVector<double>({0, 5, 10, 20, 30}));
    }

    void timelinePaintsItsBoards()
    {
        TimelineWidget timeline;
        timeline.resize(500, 240);
        const QImage empty = timeline.grab().toImage();
        const QDateTime t0(QDate(2024, 5, 6), QTime(8, 0, 0));
        for (int i = 0; i < 120; ++i)
            timeline.putBoardData("B1", "5", t0.addSecs(i * 5), 100 * std::sin(i / 10.0), i % 10 == 0);
        const QImage drawn = timeline.grab().toImage();
        QCOMPARE(drawn.size(), empty.size());
        QVERIFY(drawn != empty);
    }
};

QTEST_MAIN(tst_MapKernel)
#include "tst_mapkernel.moc"
