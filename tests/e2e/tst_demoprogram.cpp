// The prio-demo program as the demo script runs it: headless, with the embedded simulator,
// writing a picture of its window and quitting.

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "app/smallfeed.h"

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run runDemo(const QStringList &arguments, const QTemporaryDir &home)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Settings and the geometry cache go to the scratch directory, not the user's.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(home.path());
    process.start(QStringLiteral(DEMO_PATH), arguments);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("did not finish within a minute");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace

class tst_DemoProgram : public QObject
{
    Q_OBJECT

private slots:
    void screenshotOfTheLiveWindow()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString file = home.filePath(QStringLiteral("shot.png"));
        const Run run = runDemo({QStringLiteral("--screenshot"), file, QStringLiteral("--after"), QStringLiteral("3"),
                                 QStringLiteral("--project"), home.path()},
                                home);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("Screenshot written to ") + file), qPrintable(run.out));
        QVERIFY2(run.err.contains(QStringLiteral("[PriorityPlugin] INFO: RPC object 'prio-server' connected")),
                 qPrintable(run.err));

        QImage image(file);
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), QSize(1280, 800));
        // A rendered window, not a blank sheet: many different colours.
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 7) {
            for (int x = 0; x < image.width(); x += 7)
                colours.insert(image.pixel(x, y));
        }
        QVERIFY2(colours.size() > 20, qPrintable(QString::number(colours.size())));
    }

    // The feed that comes with the demo: four routes, each both ways.
    void embeddedSimulatorOnTheSampleFeed()
    {
        QTemporaryDir home;
        const QString file = home.filePath(QStringLiteral("feed.png"));
        const Run run = runDemo({QStringLiteral("--gtfs"), QStringLiteral(SAMPLE_FEED), QStringLiteral("--screenshot"), file,
                                 QStringLiteral("--after"), QStringLiteral("1")},
                                home);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("GTFS feed %1 read").arg(QStringLiteral(SAMPLE_FEED))), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral(": 8 routes")), qPrintable(run.out));
        QVERIFY(QFile::exists(file));
    }

    // A bad command line is a usage error (2); a plug-in the program cannot load is a
    // failure (1).
    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("feedWithoutTrips");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--colour"} << false << 2 << "colour";
        QTest::newRow("missing plug-in") << QStringList{"--plugin", "none.so"} << false << 1 << "none.so";
        // The window opens all the same and says it there too.
        QTest::newRow("refused GTFS feed") << QStringList{"--gtfs", ".", "--screenshot", "shot.png", "--after", "0"} << true << 0
                                           << "GTFS feed";
    }
    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, feedWithoutTrips);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir home;
        if (feedWithoutTrips)
            QVERIFY(SmallFeed::writeFile(home.filePath(QStringLiteral("routes.txt")), SmallFeed::Routes));
        const Run run = runDemo(arguments, home);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }
};

QTEST_MAIN(tst_DemoProgram)
#include "tst_demoprogram.moc"
