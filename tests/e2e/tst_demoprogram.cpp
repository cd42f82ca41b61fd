// The prio-demo program as the demo script runs it: headless, with the embedded simulator,
// writing a picture of its window and quitting.

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_DemoProgram : public QObject
{
    Q_OBJECT

private slots:
    // A bad command line is a usage error (2), a plug-in the program cannot load a failure
    // (1); a refused feed opens the window all the same and says so there too.
    void run_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("shown"); // on the terminal; %1 is the scratch directory
        QTest::newRow("the generated city") << QStringList{"--screenshot", "shot.png", "--after", "3", "--project", "."} << 0
                                            << QStringList{"Screenshot written to %1/shot.png", "[PriorityPlugin] INFO: RPC object 'prio-server' connected"};
        // Four routes, each both ways, and two boards on each.
        QTest::newRow("the sample feed") << QStringList{"--gtfs", SAMPLE_FEED, "--screenshot", "shot.png", "--after", "1"} << 0
                                         << QStringList{QStringLiteral("GTFS feed %1 read").arg(SAMPLE_FEED), ": 8 routes, ", ", 16 boards"};
        QTest::newRow("refused feed") << QStringList{"--gtfs", "feed", "--screenshot", "shot.png", "--after", "0"} << 0
                                      << QStringList{"Screenshot written to %1/shot.png", "GTFS feed in %1/feed refused: "};
        QTest::newRow("unknown option") << QStringList{"--colour"} << 2 << QStringList{"Unknown option 'colour'."};
        QTest::newRow("missing plug-in") << QStringList{"--plugin", "none.so"} << 1 << QStringList{"none.so"};
    }
    void run()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, shown);
        QTemporaryDir home;
        QFile routes(home.filePath(QStringLiteral("feed/routes.txt")));
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("feed")) && routes.open(QIODevice::WriteOnly) && routes.write("route_id,route_type\nR1,3\n") > 0);
        routes.close();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // Settings and the geometry cache go to the scratch directory, not the user's.
        for (const char *place : {"CONFIG", "CACHE", "DATA"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(place), home.filePath(QString::fromLatin1(place)));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(home.path());
        process.start(QStringLiteral(DEMO_PATH), arguments);
        if (!process.waitForFinished(60000))
            process.kill();
        const QString terminal = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
        QCOMPARE(std::make_pair(process.exitStatus(), process.exitCode()), std::make_pair(QProcess::NormalExit, exitCode));
        for (const QString &text : shown)
            QVERIFY2(terminal.contains(QString(text).replace("%1", home.path())), qPrintable(terminal));
        if (exitCode != 0)
            return;
        // A rendered window, not a blank sheet: many different colours.
        const QImage image = QImage(home.filePath(QStringLiteral("shot.png"))).scaled(64, 40);
        QSet<QRgb> colours;
        for (int i = 0; i < 64 * 40; ++i)
            colours.insert(image.pixel(i % 64, i / 64));
        QVERIFY2(QImage(home.filePath(QStringLiteral("shot.png"))).size() == QSize(1280, 800) && colours.size() > 20, qPrintable(QString::number(colours.size())));
    }
};

QTEST_MAIN(tst_DemoProgram)
#include "tst_demoprogram.moc"
