// The demo program's command line.

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

#include "demooptions.h"

class tst_DemoOptions : public QObject
{
    Q_OBJECT

private slots:
    // Without options: the embedded simulator, no picture, the current directory as project.
    void defaults()
    {
        DemoOptions o;
        QString error;
        QVERIFY2(DemoCommandLine::parse({"prio-demo"}, &o, &error), qPrintable(error));
        QVERIFY(o.serverUrl.isEmpty() && o.gtfsDir.isEmpty() && o.screenshotFile.isEmpty());
        QCOMPARE(o.projectDir, QDir::currentPath());
    }

    void accepts_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("screenshot");
        QTest::addColumn<double>("after");
        QTest::newRow("server") << QStringList{"--server", "ws://10.0.0.5:8765"} << "ws://10.0.0.5:8765" << ""
                                << 0.0;
        QTest::newRow("secure server, = form") << QStringList{"--server=wss://prio.example:443/rpc"}
                                               << "wss://prio.example:443/rpc" << "" << 0.0;
        QTest::newRow("screenshot, default delay") << QStringList{"--screenshot", "a.png"} << "" << "a.png"
                                                   << DemoCommandLine::DefaultScreenshotDelaySeconds;
        QTest::newRow("screenshot at once") << QStringList{"--screenshot", "a.png", "--after", "0"} << "" << "a.png"
                                            << 0.0;
        QTest::newRow("single dash") << QStringList{"-server", "ws://h:1"} << "ws://h:1" << "" << 0.0;
    }
    void accepts()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, server);
        QFETCH(QString, screenshot);
        QFETCH(double, after);
        DemoOptions o;
        QString error;
        QVERIFY2(DemoCommandLine::parse(QStringList{"prio-demo"} + arguments, &o, &error), qPrintable(error));
        QCOMPARE(o.serverUrl.toString(), server);
        QCOMPARE(o.screenshotFile, screenshot);
        QCOMPARE(o.screenshotDelaySeconds, after);
    }

    void refuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("http server") << QStringList{"--server", "http://h:80"} << "WebSocket URL";
        QTest::newRow("server without port") << QStringList{"--server", "ws://h"} << "WebSocket URL";
        QTest::newRow("server without host") << QStringList{"--server", "ws://:80"} << "WebSocket URL";
        QTest::newRow("gtfs with server") << QStringList{"--server", "ws://h:1", "--gtfs", "."} << "--gtfs";
        QTest::newRow("gtfs not a directory") << QStringList{"--gtfs", "/nonexistent/feed"} << "not a directory";
        QTest::newRow("after without screenshot") << QStringList{"--after", "3"} << "--after";
        QTest::newRow("after not a number") << QStringList{"--screenshot", "a.png", "--after", "soon"} << "soon";
        QTest::newRow("after negative") << QStringList{"--screenshot", "a.png", "--after", "-1"} << "-1";
        QTest::newRow("after too long") << QStringList{"--screenshot", "a.png", "--after", "3601"} << "3601";
        QTest::newRow("after NaN") << QStringList{"--screenshot", "a.png", "--after", "nan"} << "nan";
        QTest::newRow("empty screenshot name") << QStringList{"--screenshot", ""} << "file name";
        QTest::newRow("value missing") << QStringList{"--server"} << "server";
        QTest::newRow("replay with server") << QStringList{"--server", "ws://h:1", "--replay", "r.jsonl"} << "--replay";
        QTest::newRow("replay with gtfs") << QStringList{"--gtfs", ".", "--replay", "r.jsonl"} << "--replay";
        QTest::newRow("ca without a server") << QStringList{"--ca", "ca.pem"} << "wss://";
        QTest::newRow("ca for ws://") << QStringList{"--server", "ws://h:1", "--ca", "ca.pem"} << "wss://";
        QTest::newRow("silent after 0 s") << QStringList{"--silent-after", "0"} << "--silent-after";
        QTest::newRow("silent after a fraction") << QStringList{"--silent-after", "2.5"} << "2.5";
        QTest::newRow("unknown option") << QStringList{"--speed", "2"} << "speed";
        QTest::newRow("stray argument") << QStringList{"extra"} << "extra";
    }
    void refuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, errorPart);
        DemoOptions o;
        QString error;
        QVERIFY(!DemoCommandLine::parse(QStringList{"prio-demo"} + arguments, &o, &error));
        QVERIFY2(error.contains(errorPart), qPrintable(error));
    }

    void gtfsDirectoryIsMadeAbsolute()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString relative = QDir::current().relativeFilePath(dir.path());
        DemoOptions o;
        QString error;
        QVERIFY2(DemoCommandLine::parse({"prio-demo", "--gtfs", relative, "--project", relative}, &o, &error),
                 qPrintable(error));
        QCOMPARE(o.gtfsDir, QDir(dir.path()).canonicalPath());
        QCOMPARE(QDir(o.projectDir).canonicalPath(), QDir(dir.path()).canonicalPath());
    }

    // --plugin leaves argv before Qt's application object (which claims it) can see it.
    void pluginOptionIsTakenOutOfArgv_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("rest");
        QTest::newRow("absent") << QStringList{"--after", "2"} << "" << true << QStringList{"--after", "2"};
        QTest::newRow("separate value") << QStringList{"--server", "ws://h:1", "--plugin", "/p/lib.so", "-x"}
                                        << "/p/lib.so" << true << QStringList{"--server", "ws://h:1", "-x"};
        QTest::newRow("= form") << QStringList{"--plugin=/p/lib.so"} << "/p/lib.so" << true << QStringList{};
        QTest::newRow("single dash") << QStringList{"-plugin", "a.so", "b"} << "a.so" << true << QStringList{"b"};
        QTest::newRow("value missing") << QStringList{"-x", "--plugin"} << "" << false << QStringList{"-x"};
        QTest::newRow("empty = value") << QStringList{"--plugin="} << "" << false << QStringList{};
        QTest::newRow("similar name kept") << QStringList{"--plugins", "a"} << "" << true
                                           << QStringList{"--plugins", "a"};
    }
    void pluginOptionIsTakenOutOfArgv()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, path);
        QFETCH(bool, ok);
        QFETCH(QStringList, rest);

        QList<QByteArray> storage{QByteArray("prio-demo")};
        for (const QString &a : arguments)
            storage.append(a.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &a : storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = int(argv.size()) - 1;

        bool parsedOk = !ok;
        QCOMPARE(DemoCommandLine::takePluginOption(argc, argv.data(), &parsedOk), path);
        QCOMPARE(parsedOk, ok);
        QStringList left;
        for (int i = 1; i < argc; ++i)
            left.append(QString::fromLocal8Bit(argv[size_t(i)]));
        QCOMPARE(left, rest);
        QCOMPARE(argv[size_t(argc)], nullptr);
        QCOMPARE(QByteArray(argv[0]), QByteArray("prio-demo"));
    }
};

QTEST_GUILESS_MAIN(tst_DemoOptions)
#include "tst_demooptions.moc"
