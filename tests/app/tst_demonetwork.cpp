// The networks the demo runs its embedded simulator on.

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "simsetup.h"
#include "smallfeed.h"

class tst_DemoNetwork : public QObject
{
    Q_OBJECT

private slots:
    void generatedCity()
    {
        const DemoNetwork::Built built = DemoNetwork::generated();
        QVERIFY(built.ok && !built.network.routes.isEmpty());
        // The same seed, the same city: the demo looks the same every time.
        const DemoNetwork::Built again = DemoNetwork::generated();
        QCOMPARE(again.network.routes.constFirst().geometry, built.network.routes.constFirst().geometry);
    }

    void gtfsFeed()
    {
        QTemporaryDir dir;
        QVERIFY(SmallFeed::write(dir.path()));

        const DemoNetwork::Built built = DemoNetwork::fromGtfs(dir.path());
        QVERIFY2(built.ok, qPrintable(built.error));
        QCOMPARE(built.network.routes.size(), 2);
        QCOMPARE(built.network.boards.size(), 4);
        int emergency = 0;
        for (const Sim::Detector &d : built.network.detectors)
            emergency += d.emergency ? 1 : 0;
        QCOMPARE(built.network.detectors.size() - emergency, 4);
        QCOMPARE(emergency, 1);
        QVERIFY2(built.summary.contains(dir.path()), qPrintable(built.summary));

        const QRectF area = DemoNetwork::bounds(built.network);
        QVERIFY(qAbs(area.left() - 37.60) < 1e-6);
        QVERIFY(qAbs(area.right() - 37.65) < 1e-6);
        QVERIFY(qAbs(area.top() - 55.73) < 1e-6);
        QVERIFY(qAbs(area.bottom() - 55.78) < 1e-6);
    }

    void refusedFeed()
    {
        QTemporaryDir dir;
        QVERIFY(SmallFeed::writeFile(dir.filePath("routes.txt"), SmallFeed::Routes));
        const DemoNetwork::Built built = DemoNetwork::fromGtfs(dir.path());
        QVERIFY(!built.ok);
        QVERIFY2(built.error.contains(dir.path()), qPrintable(built.error));
        QVERIFY2(built.error.contains(QStringLiteral("trips.txt")) || built.error.contains(QStringLiteral("shapes.txt")),
                 qPrintable(built.error));
    }

    void boundsOfNothing()
    {
        QVERIFY(DemoNetwork::bounds(Sim::Network()).isNull());
    }
};

QTEST_GUILESS_MAIN(tst_DemoNetwork)
#include "tst_demonetwork.moc"
