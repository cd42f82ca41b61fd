// The demo's pieces that need no window: the command line, the operator's property edits,
// the tree's order, the scale bar and the area a network covers.

#include <QDir>
#include <QtTest>

#include <cmath>
#include <vector>

#include "demooptions.h"
#include "kernel/mapview.h"
#include "mapoverlay.h"
#include "propertytext.h"
#include "simsetup.h"
#include "treesortmodel.h"

class tst_DemoParts : public QObject
{
    Q_OBJECT

private slots:
    // What the program was asked for, or what it says about a command line it refuses.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result");
        QTest::newRow("nothing") << QStringList{} << "project=.";
        QTest::newRow("server") << QStringList{"--server", "ws://10.0.0.5:8765"} << "server=ws://10.0.0.5:8765 project=.";
        QTest::newRow("secure, = form, ca, silent") << QStringList{"--server=wss://prio.example:443/rpc", "-ca", "c.pem", "--silent-after", "3600"}
                                                    << "server=wss://prio.example:443/rpc ca=c.pem silent=3600 project=.";
        QTest::newRow("feed and project, relative") << QStringList{"--gtfs", ".", "--project", "x"} << "gtfs=. project=./x";
        QTest::newRow("replay, plug-in") << QStringList{"--replay", "r.jsonl", "--plugin", "p.so"} << "replay=./r.jsonl plugin=p.so project=.";
        QTest::newRow("screenshot, default delay") << QStringList{"--screenshot", "a.png"} << "project=. shot=a.png after 6";
        QTest::newRow("screenshot at once") << QStringList{"--screenshot", "a.png", "--after", "0"} << "project=. shot=a.png after 0";
        QTest::newRow("screenshot in an hour") << QStringList{"--screenshot", "a.png", "--after", "3600"} << "project=. shot=a.png after 3600";
        const QString url = "error: --server needs a WebSocket URL with a host and a port, such as ws://127.0.0.1:8090, not '%1'";
        for (const char *server : {"http://h:80", "ws://h", "ws://:80"})
            QTest::addRow("server %s", server) << QStringList{"--server", server} << url.arg(server);
        const QString gtfsWith = "error: --gtfs feeds the embedded simulator, which --server replaces: give one of them";
        QTest::newRow("gtfs with server") << QStringList{"--server", "ws://h:1", "--gtfs", "."} << gtfsWith;
        QTest::newRow("gtfs not a directory") << QStringList{"--gtfs", "/no/feed"} << "error: --gtfs: '/no/feed' is not a directory";
        const QString replayWith = "error: --replay plays a recording in the embedded simulator, which --server and --gtfs do not go with";
        QTest::newRow("replay with server") << QStringList{"--server", "ws://h:1", "--replay", "r"} << replayWith;
        QTest::newRow("replay with gtfs") << QStringList{"--gtfs", ".", "--replay", "r"} << replayWith;
        QTest::newRow("ca without a server") << QStringList{"--ca", "c.pem"} << "error: --ca goes with a wss:// --server";
        QTest::newRow("ca for ws://") << QStringList{"--server", "ws://h:1", "--ca", "c.pem"} << "error: --ca goes with a wss:// --server";
        const QString silent = "error: --silent-after needs whole seconds from 1 to 3600, not '%1'";
        for (const char *seconds : {"0", "2.5", "3601"})
            QTest::addRow("silent after %s", seconds) << QStringList{"--silent-after", seconds} << silent.arg(seconds);
        QTest::newRow("empty project") << QStringList{"--project", ""} << "error: --project needs a directory";
        QTest::newRow("empty plug-in") << QStringList{"--plugin", ""} << "error: --plugin needs the path of the plug-in module";
        QTest::newRow("after without screenshot") << QStringList{"--after", "3"} << "error: --after only goes with --screenshot";
        QTest::newRow("empty screenshot") << QStringList{"--screenshot", ""} << "error: --screenshot needs a file name";
        const QString after = "error: --after needs a number of seconds from 0 to 3600, not '%1'";
        for (const char *seconds : {"soon", "-1", "3601", "nan"})
            QTest::addRow("after %s", seconds) << QStringList{"--screenshot", "a.png", "--after", seconds} << after.arg(seconds);
        QTest::newRow("value missing") << QStringList{"--server"} << "error: Missing value after '--server'.";
        QTest::newRow("unknown option") << QStringList{"--speed", "2"} << "error: Unknown option 'speed'.";
        QTest::newRow("stray argument") << QStringList{"extra"} << "error: Unexpected argument: extra";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        DemoOptions o;
        QString error;
        QString seen;
        if (DemoCommandLine::parse(QStringList{"prio-demo"} + arguments, &o, &error)) {
            const auto path = [](const QString &p) { return QDir::cleanPath(p).replace(QDir::currentPath(), "."); };
            QStringList parts;
            parts << (o.serverUrl.isEmpty() ? "" : "server=" + o.serverUrl.toString()) << (o.caFile.isEmpty() ? "" : "ca=" + o.caFile)
                  << (o.silentAfterSeconds == 10 ? "" : QStringLiteral("silent=%1").arg(o.silentAfterSeconds))
                  << (o.gtfsDir.isEmpty() ? "" : "gtfs=" + path(o.gtfsDir))
                  << (o.replayFile.isEmpty() ? "" : "replay=" + path(o.replayFile)) << (o.pluginPath.isEmpty() ? "" : "plugin=" + o.pluginPath)
                  << "project=" + path(o.projectDir)
                  << (o.screenshotFile.isEmpty() ? "" : QStringLiteral("shot=%1 after %2").arg(o.screenshotFile).arg(o.screenshotDelaySeconds));
            parts.removeAll(QString());
            seen = parts.join(' ');
        } else {
            seen = "error: " + error;
        }
        QCOMPARE(seen, result);
    }

    // --plugin leaves argv before Qt's application object (which claims it) can see it.
    void pluginOption_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result"); // the path, whether it was whole, and what is left
        QTest::newRow("absent") << QStringList{"--after", "2"} << " ok | --after 2";
        QTest::newRow("separate value") << QStringList{"--server", "ws://h:1", "--plugin", "/p/lib.so", "-x"} << "/p/lib.so ok | --server ws://h:1 -x";
        QTest::newRow("= form") << QStringList{"--plugin=/p/lib.so"} << "/p/lib.so ok | ";
        QTest::newRow("single dash") << QStringList{"-plugin", "a.so", "b"} << "a.so ok | b";
        QTest::newRow("value missing") << QStringList{"-x", "--plugin"} << " missing | -x";
        QTest::newRow("empty = value") << QStringList{"--plugin="} << " missing | ";
        QTest::newRow("similar name kept") << QStringList{"--plugins", "a"} << " ok | --plugins a";
    }
    void pluginOption()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        QList<QByteArray> storage{"prio-demo"};
        for (const QString &a : arguments)
            storage.append(a.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &a : storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = int(argv.size()) - 1;
        bool ok = false;
        QString seen = DemoCommandLine::takePluginOption(argc, argv.data(), &ok);
        seen += ok ? " ok |" : " missing |";
        for (int i = 1; i < argc; ++i)
            seen += ' ' + QString::fromLocal8Bit(argv[size_t(i)]);
        QCOMPARE(seen + (argc == 1 ? " " : ""), result);
        QCOMPARE(argv[size_t(argc)], nullptr);
        QCOMPARE(QByteArray(argv[0]), QByteArray("prio-demo"));
    }

    // The properties an operator types, or why they are refused.
    void propertyText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<QString>("error");
        QTest::newRow("JSON values") << "locked=true\nweight=3\nroute=null\nroutes=[1, 2]"
                                     << QVariantMap{{"locked", true}, {"weight", 3.0}, {"route", QVariant::fromValue(nullptr)},
                                                    {"routes", QVariantList{1.0, 2.0}}}
                                     << "";
        QTest::newRow("texts") << "description=  Night  service  \nname=\"true\"\nexpr=a=b\nnote=\npos={lon"
                               << QVariantMap{{"description", "Night  service"}, {"name", "true"}, {"expr", "a=b"}, {"note", ""}, {"pos", "{lon"}}
                               << "";
        QTest::newRow("comments, blank lines, CRLF") << "# two things\r\nlocked=false\r\n\r\n  mode = manual \r\n"
                                                     << QVariantMap{{"locked", false}, {"mode", "manual"}} << "";
        QString many;
        QVariantMap most;
        for (int i = 0; i < PropertyText::MaxProperties; ++i) {
            many += QStringLiteral("k%1=%1\n").arg(i);
            most.insert(QStringLiteral("k%1").arg(i), double(i));
        }
        QTest::newRow("the most there may be") << many << most << "";
        QTest::newRow("one too many") << many + "k=1" << QVariantMap() << "More than 64 properties";
        QTest::newRow("nothing") << "\n  \n# only a comment" << QVariantMap() << "No property given";
        QTest::newRow("no equals sign") << "locked=true\nweight 3" << QVariantMap() << "Line 2: expected key=value";
        QTest::newRow("empty key") << "=3" << QVariantMap() << "Line 1: '' is not a property name";
        QTest::newRow("key starting with a digit") << "1st=2" << QVariantMap() << "Line 1: '1st' is not a property name";
        QTest::newRow("key twice") << "locked=true\nlocked=false" << QVariantMap() << "Line 2: 'locked' is given twice";
        QTest::newRow("too long") << QString(PropertyText::MaxTextLength + 1, 'a') << QVariantMap() << "The text is longer than 65536 characters";
    }
    void propertyText()
    {
        QFETCH(QString, text);
        QFETCH(QVariantMap, properties);
        QFETCH(QString, error);
        QString why = QStringLiteral("stale");
        QCOMPARE(PropertyText::parse(text, &why), properties);
        QCOMPARE(why, error);
    }

    // The tree lists entries in natural order: numbers by value, case aside.
    void naturalOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("sign");
        QTest::newRow("numbers by value") << "9" << "10" << -1;
        QTest::newRow("equal") << "B12" << "B12" << 0;
        QTest::newRow("case does not count") << "b12" << "B12" << 0;
        QTest::newRow("leading zeros") << "007" << "8" << -1;
        QTest::newRow("same value, zeros") << "B007x" << "B7y" << -1;
        QTest::newRow("prefix first") << "B1" << "B1a" << -1;
        QTest::newRow("letters") << "A100" << "B9" << -1;
        QTest::newRow("long numbers") << "123456789012345678901" << "123456789012345678902" << -1;
        QTest::newRow("empty") << "" << "1" << -1;
    }
    void naturalOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, sign);
        const auto signOf = [](int v) { return (v > 0) - (v < 0); };
        QCOMPARE(signOf(naturalCompare(a, b)), sign);
        QCOMPARE(signOf(naturalCompare(b, a)), -sign);
    }

    // Worked by hand: at zoom z a degree of longitude is 256 * 2^z / 360 pixels, and on the
    // equator 6378137 * pi / 180 = 111319.5 m; at latitude 60 half of that. The bar is the
    // longest 1, 2 or 5 times a power of ten that fits.
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
        QCOMPARE(scaleLabel(0.5), QStringLiteral("50 cm"));
        // Nothing fits, nothing is shown.
        QCOMPARE(niceScaleMetres(0.0, 120) + niceScaleMetres(qInf(), 120) + niceScaleMetres(1.0, 0), 0.0);
    }

    // The area the map is fitted to: where the routes are, leaving out points that are not.
    void networkBounds()
    {
        Sim::Network network;
        QVERIFY(DemoNetwork::bounds(network).isNull());
        Sim::Route route;
        route.line = Sim::Geo::Polyline({{37.6, 55.7}, {qInf(), 55.9}, {37.7, std::nan("")}, {37.65, 55.8}});
        network.routes.append(route);
        QCOMPARE(DemoNetwork::bounds(network), QRectF(QPointF(37.6, 55.7), QPointF(37.65, 55.8)));
    }
};

QTEST_MAIN(tst_DemoParts)
#include "tst_demoparts.moc"
