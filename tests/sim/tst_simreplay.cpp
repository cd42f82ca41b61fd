// Recording what the simulator serves and answering from the recording: at any moment of a
// replay, every query gets the answer the live world gave at that moment. A recording is
// untrusted input: a broken one is refused with the line and the reason.

#include "generator.h"
#include "recorder.h"
#include "recording.h"
#include "server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace Sim;

namespace {

Network smallCity()
{
    GeneratorOptions options;
    options.seed = 5;
    options.routes = 4;
    options.pointsPerRoute = 20;
    options.detectors = 12;
    options.emergencyDetectors = 2;
    options.boards = 16;
    options.emergencyBoardShare = 0.2;
    return generateNetwork(options);
}

// The queries a replay answers, with the parameters they are asked with here.
QVector<QPair<QString, QJsonValue>> queries(const World &world)
{
    const Network &net = world.network();
    QVector<QPair<QString, QJsonValue>> q{{QStringLiteral("RoadNetwork.getRouteList"), QJsonValue()},
                                          {QStringLiteral("VDTService.getVdtList"), QJsonValue()},
                                          {QStringLiteral("BoardsServer.getBoards"), QJsonValue()}};
    for (const Route &r : net.routes) {
        q.append({QStringLiteral("RoadNetwork.getRouteGeometry"), QJsonObject{{"id", r.id}}});
        q.append({QStringLiteral("RoadNetwork.getTimelineData"), QJsonObject{{"route_id", r.id}}});
        q.append({QStringLiteral("RoadNetwork.getTimelineData2"), QJsonObject{{"route_id", r.id}}});
    }
    for (const Detector &d : net.detectors) {
        q.append({QStringLiteral("VDTService.getVdtGeometry"), QJsonObject{{"id", d.id}}});
        q.append({QStringLiteral("VDTService.getVdtProperties"), QJsonObject{{"id", d.id}}});
    }
    for (const TrafficLight &tl : net.trafficLights)
        q.append({QStringLiteral("TLService.getTlcProperties"), QJsonObject{{"id", tl.number}}});
    q.append({QStringLiteral("BoardsServer.getBoardData"), QJsonObject{{"name", net.boards.constFirst().name}}});
    return q;
}

QString text(const QJsonValue &v)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(v.toVariant()).toJson(QJsonDocument::Compact));
}

// A result written as JSON text already, read back.
QJsonValue resultOf(const Reply &reply)
{
    if (reply.text.isNull())
        return reply.result;
    const QJsonDocument doc = QJsonDocument::fromJson(reply.text.toUtf8());
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

QString text(const QString &method, const QJsonValue &params, const Reply &reply)
{
    return method + QLatin1Char(' ') + text(params) + QStringLiteral(" -> ")
        + (reply.isError() ? QStringLiteral("error %1 %2").arg(reply.code).arg(reply.message) : text(resultOf(reply)));
}

// Where two long texts part, with some context, for a failure message.
QString firstDifference(const QString &a, const QString &b)
{
    int i = 0;
    while (i < a.size() && i < b.size() && a.at(i) == b.at(i))
        ++i;
    const int from = qMax(0, i - 80);
    return QStringLiteral("replay: ...%1\nlive:   ...%2").arg(a.mid(from, 200), b.mid(from, 200));
}

} // namespace

class tst_SimReplay : public QObject
{
    Q_OBJECT

private slots:
    // A live run with commands, log-ins and network changes, recorded; the recording's
    // answers at several moments against what the world answered then.
    void answersAsTheLiveWorldDid()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("run.jsonl"));
        Server server(smallCity());
        server.setTickInterval(0);
        World &world = server.world();
        Recorder recorder;
        QVERIFY2(recorder.open(file), qPrintable(recorder.errorString()));
        server.setRecorder(&recorder);

        const QString board = world.network().boards.at(3).name;
        const int route = world.network().routes.at(1).id;
        const int detector = world.network().detectors.at(0).id;
        const auto asked = queries(world);
        QMap<int, QStringList> live; // second: answers
        for (int second = 1; second <= 40; ++second) {
            server.step(1.0);
            switch (second) {
            case 4: QVERIFY(world.changeBoardProperties(board, QJsonObject{{"locked", true}}).isEmpty()); break;
            case 9: QVERIFY(world.assignBoard(board, route).isEmpty()); break;
            case 14: QVERIFY(world.setDetectorActivated(detector, true).isEmpty()); break;
            case 18: world.changeNetwork(1, 2); break;
            case 22: QVERIFY(world.setBoardLoggedIn(board, false)); break;
            case 25: QVERIFY(world.withdrawRoute(route)); break;
            case 31: QVERIFY(world.restoreRoute(route)); QVERIFY(world.setBoardLoggedIn(board, true)); break;
            case 33: QCOMPARE(world.removeBoards({world.network().boards.at(5).name}).size(), 1); break;
            }
            server.flushNotifications();
            if (second % 6 == 0 || second == 26 || second == 40) {
                QStringList answers;
                for (const auto &q : asked) {
                    Reply reply = callWorld(world, q.first, q.second);
                    // How far along its route a board is, a replay cannot tell.
                    if (q.first.endsWith(QLatin1Char('2')) && !reply.isError()) {
                        QJsonObject o = resultOf(reply).toObject();
                        QJsonArray boards;
                        for (const QJsonValue &b : o.value(QStringLiteral("boards")).toArray()) {
                            QJsonObject e = b.toObject();
                            e.remove(QStringLiteral("distance_m"));
                            boards.append(e);
                        }
                        o.insert(QStringLiteral("boards"), boards);
                        reply = Reply::ok(o);
                    }
                    answers << text(q.first, q.second, reply);
                }
                live.insert(second, answers);
            }
        }
        recorder.finish(world);

        const Recording recording = Recording::load(file);
        QVERIFY2(recording.ok(), qPrintable(recording.error()));
        QCOMPARE(recording.duration(), 40.0);
        // The run had boards in detectors, or the states below prove little.
        const auto stateEvents = std::count_if(recording.entries().cbegin(), recording.entries().cend(), [](const Recording::Entry &e) {
            return e.method >= 0 && notificationNames().at(e.method) == Event::VdtStateChanged;
        });
        QVERIFY(stateEvents > 0);
        ReplayMoment moment = recording.initial();
        // Forward, then back: a moment is the same however it is reached.
        QList<int> order = live.keys();
        order.append(6);
        order.append(30);
        for (int second : order) {
            moment = recording.momentAt(moment, second);
            QStringList answers;
            for (const auto &q : asked) {
                const std::optional<Reply> reply = recording.answer(moment, q.first, q.second);
                QVERIFY2(reply, qPrintable(q.first));
                answers << text(q.first, q.second, *reply);
            }
            for (int i = 0; i < answers.size(); ++i) {
                const QString want = live.value(second).at(i);
                QVERIFY2(answers.at(i) == want,
                         qPrintable(QStringLiteral("at %1 s:\n").arg(second) + firstDifference(answers.at(i), want)));
            }
        }
        QCOMPARE(recording.answer(moment, QStringLiteral("BoardsServer.changeBoardProperties"), QJsonObject())->code,
                 Rpc::PermissionDenied);
    }

    void refusesBrokenRecordings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        const QByteArray header = R"({"recording":"prio-sim","version":1,"start":"2024-05-01T10:00:00.000Z"})" "\n";
        const QByteArray route = R"({"route":{"id":1,"geometry":"37.6,55.7 37.7,55.7","geometry_hash":"h"}})" "\n";
        QTest::newRow("empty") << QByteArray() << "line 1: no header";
        QTest::newRow("not JSON") << QByteArray("{\n") << "line 1: not a JSON object";
        QTest::newRow("another kind of file") << QByteArray(R"({"recording":"x","version":1})") << "line 1: not a prio-sim recording";
        QTest::newRow("a later version") << QByteArray(R"({"recording":"prio-sim","version":2,"start":"2024-05-01T10:00:00Z"})")
                                         << "line 1: not a prio-sim recording";
        QTest::newRow("route without geometry") << header + R"({"route":{"id":1,"geometry_hash":"h"}})" << "line 2: a route needs";
        QTest::newRow("route id 0") << header + R"({"route":{"id":0,"geometry":"","geometry_hash":"h"}})" << "line 2: a route needs";
        QTest::newRow("board without a name") << header + R"({"board":{"locked":false}})" << "line 2: a board needs";
        QTest::newRow("time goes back") << header + route + R"({"t":5,"method":"BoardsServer.boardLoggedIn","params":{"board_name":"B"}})" "\n"
                                                   R"({"t":4,"method":"BoardsServer.boardLoggedIn","params":{"board_name":"B"}})"
                                        << "line 4: the time goes back";
        QTest::newRow("time too far") << header + R"({"t":1e300,"method":"BoardsServer.boardLoggedIn","params":{}})" << "line 2: the time";
        QTest::newRow("unknown notification") << header + R"({"t":1,"method":"Evil.do","params":{}})" << "line 2: not a notification";
        QTest::newRow("a session's notification") << header + R"({"t":1,"method":"Session.allowedCommandsChanged","params":{}})"
                                                  << "line 2: not a notification";
        QTest::newRow("scalar params") << header + R"({"t":1,"method":"BoardsServer.boardLoggedIn","params":3})" << "line 2: params";
        QTest::newRow("network after entries") << header + R"({"t":1,"method":"BoardsServer.boardLoggedIn","params":{}})" "\n" + route
                                               << "line 3: a line without a time";
        QTest::newRow("after the end") << header + R"({"t":1,"end":true})" "\n" R"({"t":2,"method":"BoardsServer.boardLoggedIn","params":{}})"
                                       << "line 3: after the end";
        QTest::newRow("line too long") << header + "{\"pad\":\"" + QByteArray(MaxRecordingLineBytes, 'x') + "\"}" << "line 2: longer than";
    }
    void refusesBrokenRecordings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        const Recording recording = Recording::fromData(content);
        QVERIFY(!recording.ok());
        QVERIFY2(recording.error().startsWith(error), qPrintable(recording.error()));
        QVERIFY(recording.entries().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_SimReplay)
#include "tst_simreplay.moc"
