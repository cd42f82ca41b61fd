// The demo's pieces that need no window: the command line and the operator's property edits.

#include <QDir>
#include <QtTest>

#include <vector>

#include "demooptions.h"
#include "propertytext.h"

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
        QTest::newRow("replay, plug-in") << QStringList{"--replay", "r.jsonl", "--plugin", "/p/lib.so", "-after", "1", "--screenshot", "a"}
                                         << "replay=./r.jsonl plugin=/p/lib.so project=. shot=a after 1";
        QTest::newRow("plug-in, = form") << QStringList{"--plugin=/p/lib.so"} << "plugin=/p/lib.so project=.";
        QTest::newRow("plug-in, single dash") << QStringList{"-plugin", "a.so", "-ca", "c.pem"} << "error: --ca goes with a wss:// --server";
        QTest::newRow("plug-in without a path") << QStringList{"--server", "ws://h:1", "--plugin"} << "error: --plugin needs the path of the plug-in module";
        QTest::newRow("plug-in, empty = form") << QStringList{"--plugin="} << "error: --plugin needs the path of the plug-in module";
        QTest::newRow("a similar name") << QStringList{"--plugins", "a"} << "error: Unknown option 'plugins'.";
        QTest::newRow("screenshot, default delay") << QStringList{"--screenshot", "a.png"} << "project=. shot=a.png after 6";
        QTest::newRow("screenshot at once") << QStringList{"--screenshot", "a.png", "--after", "0"} << "project=. shot=a.png after 0";
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
        // As the program takes it: --plugin out of argv before Qt's application object (which
        // claims it) can see it, then the rest.
        QList<QByteArray> storage{"prio-demo"};
        std::vector<char *> argv;
        for (const QString &a : arguments)
            storage.append(a.toLocal8Bit());
        for (QByteArray &a : storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = int(argv.size()) - 1;
        bool ok = false;
        const QString plugin = DemoCommandLine::takePluginOption(argc, argv.data(), &ok);
        QCOMPARE(argv[size_t(argc)], nullptr);
        QStringList rest;
        for (int i = 0; i < argc; ++i)
            rest << QString::fromLocal8Bit(argv[size_t(i)]);
        DemoOptions o;
        QString error = QStringLiteral("--plugin needs the path of the plug-in module");
        const bool parsed = ok && DemoCommandLine::parse(rest, &o, &error);
        const auto path = [](const QString &p) { return QDir::cleanPath(p).replace(QDir::currentPath(), "."); };
        QStringList parts{o.serverUrl.isEmpty() ? "" : "server=" + o.serverUrl.toString(), o.caFile.isEmpty() ? "" : "ca=" + o.caFile,
                          o.silentAfterSeconds == 10 ? "" : QStringLiteral("silent=%1").arg(o.silentAfterSeconds), o.gtfsDir.isEmpty() ? "" : "gtfs=" + path(o.gtfsDir),
                          o.replayFile.isEmpty() ? "" : "replay=" + path(o.replayFile), plugin.isEmpty() ? "" : "plugin=" + plugin, "project=" + path(o.projectDir),
                          o.screenshotFile.isEmpty() ? "" : QStringLiteral("shot=%1 after %2").arg(o.screenshotFile).arg(o.screenshotDelaySeconds)};
        parts.removeAll(QString());
        QCOMPARE(parsed ? parts.join(' ') : "error: " + error, result);
    }

    // The properties an operator types, or why they are refused.
    void propertyText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<QString>("error");
        QTest::newRow("JSON values") << "locked=true\nweight=3\nroute=null\nroutes=[1, 2]"
                                     << QVariantMap{{"locked", true}, {"weight", 3.0}, {"route", QVariant::fromValue(nullptr)}, {"routes", QVariantList{1.0, 2.0}}} << "";
        QTest::newRow("texts") << "description=  Night  service  \nname=\"true\"\nexpr=a=b\nnote=\npos={lon"
                               << QVariantMap{{"description", "Night  service"}, {"name", "true"}, {"expr", "a=b"}, {"note", ""}, {"pos", "{lon"}} << "";
        QTest::newRow("comments, blank lines, CRLF") << "# two\r\nlocked=false\r\n\r\n  mode = manual \r\n" << QVariantMap{{"locked", false}, {"mode", "manual"}} << "";
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
};

QTEST_GUILESS_MAIN(tst_DemoParts)
#include "tst_demoparts.moc"
