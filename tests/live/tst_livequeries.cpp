// The host's queries (each a synchronous call in a nested event loop), the route look-ups
// and the timeline registration.

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QWidget>
#include <QtTest>

#include <algorithm>

#include "items/prioroute.h"
#include "livehost.h"

Q_DECLARE_METATYPE(Script::Kind)

namespace {

const QString kPosition = QStringLiteral("BoardsServer.boardPosition");

QString compactJson(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("<none>");
    return QString::fromUtf8(QJsonDocument::fromVariant(value).toJson(QJsonDocument::Compact));
}

// Runs one query by its short name; the answer as a QVariant (invalid for removeBoardsData).
QVariant runQuery(PriorityPlugin *plugin, const QString &query)
{
    if (query == "vdt")
        return plugin->getVdtProperties(7);
    if (query == "tlc")
        return plugin->getTlcProperties(3);
    if (query == "timeline")
        return plugin->getTimelineData(5);
    if (query == "web url")
        return plugin->getWebUrl();
    if (query == "remove") {
        plugin->removeBoardsData({"B1", "B2"});
        return QVariant();
    }
    qFatal("unknown query %s", qPrintable(query));
}

QString methodOf(const QString &query)
{
    if (query == "vdt")
        return "VDTService.getVdtProperties";
    if (query == "tlc")
        return "TLService.getTlcProperties";
    if (query == "timeline")
        return "RoadNetwork.getTimelineData2";
    if (query == "web url")
        return "PserverApp.getWebUrl";
    return "BoardsServer.removeBoardsData";
}

// What a query hands back when it has no answer.
QVariant emptyResultOf(const QString &query)
{
    if (query == "web url")
        return QString();
    if (query == "remove")
        return QVariant();
    return QVariantMap();
}

const char *const kQueries[] = {"vdt", "tlc", "timeline", "web url", "remove"};

} // namespace

class tst_LiveQueries : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareLiveSuite(QStringLiteral("tst_livequeries")); }
    void init() { resetLiveStorage(); }

    void requestAndAnswer_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QVariant>("answer");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("params");
        QTest::addColumn<QVariant>("expected");

        const QVariantMap props{{"name", "d7"}, {"weight", 3}};
        QTest::newRow("detector properties") << "vdt" << QVariant(props) << "VDTService.getVdtProperties"
                                             << R"({"id":7})" << QVariant(props);
        QTest::newRow("detector properties, answer a list")
            << "vdt" << QVariant(QVariantList{1, 2}) << "VDTService.getVdtProperties" << R"({"id":7})" << QVariant(QVariantMap());
        QTest::newRow("controller properties") << "tlc" << QVariant(QVariantMap{{"phase", 2}}) << "TLService.getTlcProperties"
                                               << R"({"id":3})" << QVariant(QVariantMap{{"phase", 2}});
        const QVariantMap timeline{{"boards", QVariantList{"B1"}}, {"stops", QVariantList{1, 2}}};
        QTest::newRow("timeline data") << "timeline" << QVariant(timeline) << "RoadNetwork.getTimelineData2"
                                       << R"({"route_id":5})" << QVariant(timeline);
        QTest::newRow("web address") << "web url" << QVariant("http://127.0.0.1:8080/prio") << "PserverApp.getWebUrl"
                                     << "<none>" << QVariant(QString("http://127.0.0.1:8080/prio"));
        QTest::newRow("web address, answer an object")
            << "web url" << QVariant(QVariantMap{{"url", "x"}}) << "PserverApp.getWebUrl" << "<none>" << QVariant(QString());
        QTest::newRow("remove board data") << "remove" << QVariant(true) << "BoardsServer.removeBoardsData"
                                           << R"([["B1","B2"]])" << QVariant();
    }
    void requestAndAnswer()
    {
        QFETCH(QString, query);
        QFETCH(QVariant, answer);
        QFETCH(QString, method);
        QFETCH(QString, params);
        QFETCH(QVariant, expected);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {}, {{"B1", QVariantMap()}, {"B2", QVariantMap()}}));
        host.rpc->answerResult(method, answer);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        const int before = host.rpc->posted.size();

        const QVariant result = runQuery(host.plugin, query);
        QCOMPARE(result, expected);
        QCOMPARE(host.methods().mid(before), QStringList{method});
        QCOMPARE(compactJson(host.rpc->posted.at(before).params), params);
        QCOMPARE(errors.count(), 0);
        // Removing stored data leaves the boards to the server's notification.
        QCOMPARE(host.plugin->boardRegistry().size(), 2);
    }

    void failedQueries_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<Script::Kind>("kind");
        QTest::addColumn<QVariant>("error");
        QTest::addColumn<QString>("rpcError");

        const QVariant denied = QVariantMap{{"code", -32000}, {"message", "denied"}};
        const QVariant broken = QVariantMap{{"code", 5}, {"message", "no such detector"}};
        auto add = [](const char *row, const QString &query, Script::Kind kind, const QVariant &error, const QString &text) {
            QTest::newRow(row) << query << kind << error << text;
        };
        add("vdt, no permission", "vdt", Script::Error, denied, "You have no permissions for command 'VDTService.getVdtProperties'");
        add("tlc, other error", "tlc", Script::Error, broken, "code: 5, message: no such detector");
        add("remove, cannot be posted", "remove", Script::InvokeFails, QVariant(), "Invoke 'BoardsServer.removeBoardsData' failed");
    }
    void failedQueries()
    {
        QFETCH(QString, query);
        QFETCH(Script::Kind, kind);
        QFETCH(QVariant, error);
        QFETCH(QString, rpcError);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        host.rpc->script(methodOf(query), kind, error);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        LogCapture log;

        QCOMPARE(runQuery(host.plugin, query), emptyResultOf(query));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().toString(), rpcError);
        // A host's query never stops the plug-in, and is not logged.
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
        QVERIFY(!host.plugin->isRestartPending());
        QVERIFY(host.plugin->route(5));
        QCOMPARE(pluginLines(log), QStringList());
    }

    void timelineFallsBackToTheOlderMethod_data()
    {
        QTest::addColumn<Script::Kind>("newerKind");
        QTest::addColumn<QVariant>("newerValue");
        QTest::addColumn<Script::Kind>("olderKind");
        QTest::addColumn<QVariant>("olderValue");
        QTest::addColumn<QStringList>("methods");
        QTest::addColumn<QVariantMap>("expected");
        QTest::addColumn<QStringList>("rpcErrors");

        const QString newer = "RoadNetwork.getTimelineData2";
        const QString older = "RoadNetwork.getTimelineData";
        const QVariantMap a{{"a", 1}};
        const QVariantMap b{{"b", 2}};
        const QVariant unknown = QVariantMap{{"code", -32601}, {"message", "Method not found"}};
        const QVariant denied = QVariantMap{{"code", -32000}, {"message", "denied"}};

        QTest::newRow("newer answers an object") << Script::Result << QVariant(a) << Script::Result << QVariant(b)
                                                 << QStringList{newer} << a << QStringList();
        QTest::newRow("newer answers a list") << Script::Result << QVariant(QVariantList{a}) << Script::Result << QVariant(b)
                                              << QStringList{newer} << QVariantMap() << QStringList();
        QTest::newRow("newer unknown to the server") << Script::Error << unknown << Script::Result << QVariant(b)
                                                     << QStringList{newer, older} << b << QStringList();
        QTest::newRow("newer cannot be posted") << Script::InvokeFails << QVariant() << Script::Result << QVariant(b)
                                                << QStringList{newer, older} << b << QStringList();
        QTest::newRow("newer answers no response object") << Script::WrongType << QVariant() << Script::Result << QVariant(b)
                                                          << QStringList{newer, older} << b << QStringList();
        QTest::newRow("older refused") << Script::Error << unknown << Script::Error << denied << QStringList{newer, older}
                                       << QVariantMap()
                                       << QStringList{"You have no permissions for command 'RoadNetwork.getTimelineData'"};
        QTest::newRow("neither can be posted") << Script::InvokeFails << QVariant() << Script::InvokeFails << QVariant()
                                               << QStringList{newer, older} << QVariantMap()
                                               << QStringList{"Invoke 'RoadNetwork.getTimelineData' failed"};
    }
    void timelineFallsBackToTheOlderMethod()
    {
        QFETCH(Script::Kind, newerKind);
        QFETCH(QVariant, newerValue);
        QFETCH(Script::Kind, olderKind);
        QFETCH(QVariant, olderValue);
        QFETCH(QStringList, methods);
        QFETCH(QVariantMap, expected);
        QFETCH(QStringList, rpcErrors);

        LiveHost host;
        QVERIFY(host.connectWith());
        host.rpc->script("RoadNetwork.getTimelineData2", newerKind, newerValue);
        host.rpc->script("RoadNetwork.getTimelineData", olderKind, olderValue);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        const int before = host.rpc->posted.size();

        QCOMPARE(host.plugin->getTimelineData(5), expected);
        QCOMPARE(host.methods().mid(before), methods);
        for (int i = before; i < host.rpc->posted.size(); ++i)
            QCOMPARE(compactJson(host.rpc->posted.at(i).params), QStringLiteral(R"({"route_id":5})"));
        QStringList got;
        for (const QList<QVariant> &signal : qAsConst(errors))
            got << signal.first().toString();
        QCOMPARE(got, rpcErrors);
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
    }

    // The one test that waits out the queries' time-out: a server that never answers the
    // newer method is asked the older one after it.
    void timelineFallsBackAfterTheTimeOut()
    {
        LiveHost host;
        QVERIFY(host.connectWith());
        host.rpc->script("RoadNetwork.getTimelineData2", Script::Never);
        host.rpc->answerResult("RoadNetwork.getTimelineData", QVariantMap{{"b", 2}});
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        const int before = host.rpc->posted.size();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(host.plugin->getTimelineData(5), (QVariantMap{{"b", 2}}));
        QVERIFY2(clock.elapsed() >= PriorityPlugin::QueryTimeoutMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(clock.elapsed() < 2 * PriorityPlugin::QueryTimeoutMs);
        QCOMPARE(host.methods().mid(before), (QStringList{"RoadNetwork.getTimelineData2", "RoadNetwork.getTimelineData"}));
        QCOMPARE(errors.count(), 0);
    }

    // Anything may happen while a query waits; nothing freed may be touched afterwards (run
    // under AddressSanitizer), and a query whose answer cannot come any more returns at once.
    void somethingHappensDuringAQuery_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("event");
        QTest::addColumn<bool>("answered");

        for (const char *query : kQueries) {
            QTest::addRow("%s, JSON-RPC object destroyed", query) << QString(query) << "destroy rpc" << false;
            QTest::addRow("%s, plug-in deleted", query) << QString(query) << "delete plugin" << false;
            QTest::addRow("%s, plug-in stopped, answer comes", query) << QString(query) << "stop" << true;
            QTest::addRow("%s, disconnected, answer comes", query) << QString(query) << "disconnect" << true;
        }
    }
    void somethingHappensDuringAQuery()
    {
        QFETCH(QString, query);
        QFETCH(QString, event);
        QFETCH(bool, answered);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {}, {{"B1", QVariantMap()}}));
        const QString method = methodOf(query);
        host.rpc->script(method, Script::Never);
        const QVariant answer = query == "web url" ? QVariant("http://127.0.0.1/") : QVariant(QVariantMap{{"x", 1}});
        const int before = host.rpc->posted.size();

        QObject context;
        QTimer::singleShot(0, &context, [&] {
            if (event == "destroy rpc") {
                delete host.rpc.data();
                return;
            }
            if (event == "delete plugin") {
                delete host.plugin.data();
                return;
            }
            if (event == "stop")
                host.plugin->stop(true);
            else
                emit host.rpc->connected(false);
            host.pending(method)->finishWithResult(answer);
        });

        PriorityPlugin *plugin = host.plugin;
        QElapsedTimer clock;
        clock.start();
        const QVariant result = runQuery(plugin, query);
        QVERIFY(clock.elapsed() < PriorityPlugin::QueryTimeoutMs / 2);

        if (query == "remove")
            QVERIFY(!result.isValid());
        else
            QCOMPARE(result, answered ? (query == "web url" ? answer : QVariant(answer.toMap())) : emptyResultOf(query));
        // Nothing more was asked of anybody once the answer was out of reach.
        if (host.rpc)
            QCOMPARE(host.rpc->posted.size(), before + 1);
        if (event == "delete plugin") {
            QVERIFY(!host.plugin);
            return;
        }
        QVERIFY(host.plugin);
        QVERIFY(host.plugin->boardRegistry().isEmpty());
        QVERIFY(!host.plugin->findRoute(5));
        QCOMPARE(host.plugin->rpcObject() != nullptr, event == "disconnect");
    }

    void registerTimeline_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("registered");
        QTest::newRow("the same timeline twice, once by name") << "timeline" << 1;
        QTest::newRow("null") << "null" << 0;
        QTest::newRow("object with the method, other class") << "look-alike" << 0;
        QTest::newRow("widget of another class") << "widget" << 0;
    }
    void registerTimeline()
    {
        QFETCH(QString, kind);
        QFETCH(int, registered);
        LiveHost host;
        QVERIFY(host.connectWith({}, {}, {{"B1", QVariantMap()}}));
        RecordingTimeline timeline;
        LookAlikeWidget lookAlike;
        QWidget widget;
        QObject *object = kind == "null" ? nullptr
            : kind == "timeline"         ? &timeline
            : kind == "look-alike"       ? static_cast<QObject *>(&lookAlike)
                                         : &widget;
        LogCapture log;
        host.plugin->registerTimeline(object);
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "registerTimeline", Q_ARG(QObject *, object)));
        QCOMPARE(host.plugin->timelineWidgets().size(), registered);
        host.notify(kPosition, QVariantMap{{"board_name", "B1"}});
        QCOMPARE(timeline.calls.size(), registered);
        QCOMPARE(lookAlike.calls, 0);
        QCOMPARE(pluginLines(log), QStringList());
    }

    void destroyedTimelineIsForgotten()
    {
        LiveHost host;
        QVERIFY(host.connectWith({}, {}, {{"B1", QVariantMap()}}));
        auto *gone = new RecordingTimeline(&host.owner);
        auto *stays = new RecordingTimeline(&host.owner);
        auto *alsoGone = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(gone);
        host.plugin->registerTimeline(stays);
        host.plugin->registerTimeline(alsoGone);
        delete alsoGone;
        delete gone;
        QCOMPARE(host.plugin->timelineWidgets().size(), 1);
        QCOMPARE(host.plugin->timelineWidgets().first().data(), stays);

        LogCapture log;
        host.notify(kPosition, QVariantMap{{"board_name", "B1"}});
        QCOMPARE(stays->calls.size(), 1);
        QCOMPARE(pluginLines(log), QStringList());
    }

    void timelinesOutliveDisconnectionAndStop()
    {
        LiveHost host;
        QVERIFY(host.connectWith());
        auto *timeline = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(timeline);
        emit host.rpc->connected(false);
        host.plugin->stop(false);
        QVERIFY(host.plugin->start(host.rpc));
        QVERIFY(host.connectWith());
        host.notify(kPosition, QVariantMap{{"board_name", "B1"}});
        QCOMPARE(timeline->calls.size(), 1);
    }

    void routeLookUps()
    {
        LiveHost host;
        QVERIFY(host.plugin->getRoutes().isEmpty());
        QVERIFY(!host.plugin->findRoute(0));

        QVERIFY(host.connectWith({routeRecord(5), routeRecord(6)}));
        const int before = host.rpc->posted.size();
        QObject *found = host.plugin->findRoute(5);
        QVERIFY(qobject_cast<PrioRoute *>(found));
        QCOMPARE(found->property("id").toInt(), 5);
        QVERIFY(!host.plugin->findRoute(0));
        QVERIFY(!host.plugin->findRoute(7));
        QList<int> ids;
        for (QObject *route : host.plugin->getRoutes())
            ids << route->property("id").toInt();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<int>{5, 6}));
        // Look-ups are answered from the registry, never by asking the server.
        QCOMPARE(host.rpc->posted.size(), before);
    }

    void queriesWhileStopped_data()
    {
        QTest::addColumn<QString>("query");
        for (const char *query : kQueries)
            QTest::newRow(query) << QString(query);
    }
    void queriesWhileStopped()
    {
        QFETCH(QString, query);
        LiveHost host;
        QVERIFY(host.connectWith());
        host.plugin->stop(false);
        host.rpc->answerResult(methodOf(query), QVariantMap{{"x", 1}});
        const int before = host.rpc->posted.size();
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QCOMPARE(runQuery(host.plugin, query), emptyResultOf(query));
        QCOMPARE(host.rpc->posted.size(), before);
        QCOMPARE(errors.count(), 0);
    }
};

QTEST_MAIN(tst_LiveQueries)
#include "tst_livequeries.moc"
