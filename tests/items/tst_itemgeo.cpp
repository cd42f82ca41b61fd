#include "items/geo.h"

#include "itemtestutil.h"

#include <QtTest>

#include <cmath>
#include <limits>

// The world-plane functions against spherical Mercator worked out separately (with
// y = (1/2 - ln(tan(pi/4 + phi/2)) / 2pi) * 4096 and its inverse 2 atan(e^s) - pi/2, not the
// forms the code uses), and against distances on the map's sphere.
class tst_ItemGeo : public QObject
{
    Q_OBJECT

private slots:
    void geoToWorld_data()
    {
        QTest::addColumn<QPointF>("geo");
        QTest::addColumn<QPointF>("world");
        QTest::newRow("origin") << QPointF(0, 0) << QPointF(2048, 2048);
        QTest::newRow("Moscow") << QPointF(37.6173, 55.7558) << QPointF(2476.00128, 1280.4201258764165);
        QTest::newRow("Sydney") << QPointF(151.2093, -33.8688) << QPointF(3768.4258133333333, 2457.9778619751473);
        QTest::newRow("north-east corner") << QPointF(180, Geo::MaxLatitude) << QPointF(4096, 0);
    }

    void geoToWorld()
    {
        QFETCH(QPointF, geo);
        QFETCH(QPointF, world);
        const QPointF got = ::geoToWorld(geo);
        QVERIFY2(std::fabs(got.x() - world.x()) < 1e-6, qPrintable(QString::number(got.x(), 'g', 17)));
        QVERIFY2(std::fabs(got.y() - world.y()) < 1e-6, qPrintable(QString::number(got.y(), 'g', 17)));
    }

    void worldToGeoRoundTrip_data()
    {
        QTest::addColumn<QPointF>("geo");
        QTest::newRow("origin") << QPointF(0, 0);
        QTest::newRow("Moscow") << QPointF(37.6173, 55.7558);
        QTest::newRow("near the limit") << QPointF(179.999, 85.05);
        QTest::newRow("date line") << QPointF(-180, 10);
    }

    void worldToGeoRoundTrip()
    {
        QFETCH(QPointF, geo);
        const QPointF back = worldToGeo(::geoToWorld(geo));
        QVERIFY(std::fabs(back.x() - geo.x()) < 1e-9);
        QVERIFY(std::fabs(back.y() - geo.y()) < 1e-9);
    }

    void metresPerWorldUnit_data()
    {
        // One world unit southwards, as an arc of latitude in metres (worked separately);
        // about 2 pi R / 4096 * cos(latitude).
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("metres");
        QTest::newRow("equator") << 0.0 << 9751.301888928438;
        QTest::newRow("60 N") << 60.0 << 4878.892382698363;
        QTest::newRow("60 S") << -60.0 << 4872.415242670134;
        QTest::newRow("Mercator limit N") << Geo::MaxLatitude << 841.8564607475437;
    }

    void metresPerWorldUnit()
    {
        QFETCH(double, latitude);
        QFETCH(double, metres);
        const double got = ::metresPerWorldUnit(QPointF(12.5, latitude));
        QVERIFY2(std::fabs(got - metres) < metres * 1e-7, qPrintable(QString::number(got, 'g', 17)));
        // Longitude plays no part.
        QCOMPARE(::metresPerWorldUnit(QPointF(-170.0, latitude)), got);
    }

    void shortDistances_data()
    {
        // Two points a short way apart; their world distance converted with the scale at the
        // first point must give the distance along the sphere (R * angle).
        QTest::addColumn<QPointF>("a");
        QTest::addColumn<QPointF>("b");
        QTest::addColumn<double>("metres");
        QTest::newRow("0.001 deg north at 55") << QPointF(37.6, 55.0) << QPointF(37.6, 55.001)
                                                << ItemTest::MetresPerDegreeLat * 0.001;
        QTest::newRow("0.001 deg east at 60") << QPointF(10.0, 60.0) << QPointF(10.001, 60.0)
                                               << ItemTest::MetresPerDegreeLat * 0.001 * 0.5;
    }

    void shortDistances()
    {
        QFETCH(QPointF, a);
        QFETCH(QPointF, b);
        QFETCH(double, metres);
        const double world = QLineF(::geoToWorld(a), ::geoToWorld(b)).length();
        const double got = worldToMetres(world, a);
        QVERIFY2(std::fabs(got - metres) < metres * 1e-3, qPrintable(QString::number(got, 'g', 10)));
        QVERIFY(std::fabs(metresToWorld(metres, a) - world) < world * 1e-3);
    }

    void validity_data()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        QTest::addColumn<QPointF>("geo");
        QTest::addColumn<bool>("valid");
        QTest::newRow("ordinary") << QPointF(37.6, 55.7) << true;
        QTest::newRow("lon 180") << QPointF(180.0, 0.0) << true;
        QTest::newRow("at the Mercator limit") << QPointF(0.0, Geo::MaxLatitude) << true;
        QTest::newRow("beyond the Mercator limit") << QPointF(0.0, 85.06) << false;
        QTest::newRow("lon 180.5") << QPointF(180.5, 0.0) << false;
        QTest::newRow("NaN lat") << QPointF(0.0, nan) << false;
        QTest::newRow("infinite lon") << QPointF(-inf, 0.0) << false;
    }

    void validity()
    {
        QFETCH(QPointF, geo);
        QFETCH(bool, valid);
        QCOMPARE(Geo::isValidGeo(geo), valid);
    }

    void beyondTheLimitStaysPositive_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::newRow("400") << 400.0;
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
    }

    void beyondTheLimitStaysPositive()
    {
        // A latitude the server should never send must not give a negative or infinite scale
        // (which would turn strokes inside out or loop forever): it counts as the limit.
        QFETCH(double, latitude);
        const double limit = latitude > 0 ? Geo::MaxLatitude : -Geo::MaxLatitude;
        const double got = ::metresPerWorldUnit(QPointF(0.0, latitude));
        QVERIFY(qIsFinite(got));
        QVERIFY(got > 0.0);
        QCOMPARE(got, ::metresPerWorldUnit(QPointF(0.0, limit)));
        const QPointF world = ::geoToWorld(QPointF(0.0, latitude));
        QVERIFY(qIsFinite(world.y()));
        QVERIFY(world.y() >= -1e-6 && world.y() <= Geo::WorldSize + 1e-6);
    }
};

QTEST_APPLESS_MAIN(tst_ItemGeo)
#include "tst_itemgeo.moc"
