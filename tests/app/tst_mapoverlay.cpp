// The map's scale bar: the longest 1, 2 or 5 times a power of ten that fits, at the zoom and
// the latitude the map shows.

#include <QtTest>

#include "kernel/mapview.h"
#include "mapoverlay.h"

class tst_MapOverlay : public QObject
{
    Q_OBJECT

private slots:
    // Worked by hand: at zoom z a degree of longitude is 256 * 2^z / 360 pixels, and on the
    // equator 6378137 * pi / 180 = 111319.5 m; at latitude 60 half of that.
    void scaleBar_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("metres");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<QString>("label");
        QTest::newRow("zoom 11, equator: 76.4 m a pixel") << 11 << 0.0 << 5000.0 << 65 << "5 km";
        QTest::newRow("zoom 11, latitude 60: 38.2 m a pixel") << 11 << 60.0 << 2000.0 << 52 << "2 km";
        QTest::newRow("zoom 19, equator: 0.30 m a pixel") << 19 << 0.0 << 20.0 << 67 << "20 m";
    }
    void scaleBar()
    {
        QFETCH(int, zoom);
        QFETCH(double, latitude);
        QFETCH(double, metres);
        QFETCH(int, pixels);
        QFETCH(QString, label);
        QGraphicsScene scene;
        Road::MapView view;
        view.setScene(&scene);
        view.resize(400, 300);
        MapOverlay overlay(&view);
        view.setZoom(zoom);
        view.centreOn(QPointF(10.0, latitude));
        overlay.grab();
        QCOMPARE(overlay.scaleMetres(), metres);
        QVERIFY2(std::abs(overlay.scalePixels() - pixels) <= 1, qPrintable(QString::number(overlay.scalePixels())));
        QCOMPARE(scaleLabel(metres), label);
    }

    void nothingFitsNothingShown()
    {
        QCOMPARE(niceScaleMetres(0.0, 120), 0.0);
        QCOMPARE(niceScaleMetres(qInf(), 120), 0.0);
        QCOMPARE(niceScaleMetres(1.0, 0), 0.0);
    }
};

QTEST_MAIN(tst_MapOverlay)
#include "tst_mapoverlay.moc"
