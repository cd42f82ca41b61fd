// A live run recorded, then replayed to the real plug-in: at the same moments the plug-in
// holds and lists the same, whether it joins the replay late, follows its pace, or is taken
// there by seeking back and forth.

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "e2e/agreement.h"
#include "sim/recorder.h"
#include "sim/replayer.h"

using namespace E2e;

namespace {

// Until the plug-in has handled everything sent and asks for nothing more.
bool settled(DemoHost &host)
{
    return QTest::qWaitFor([&] { return roundTrip(host) && host.rpcClient()->pendingCount() == 0; }, 10000);
}

// Where the first difference between two snapshots lies, for a failure message.
QString firstDifference(const QString &got, const QString &want)
{
    const QStringList a = got.split(QLatin1Char('\n')), b = want.split(QLatin1Char('\n'));
    for (int i = 0; i < qMax(a.size(), b.size()); ++i) {
        if (a.value(i) != b.value(i))
            return QStringLiteral("replay: %1\nlive:   %2").arg(a.value(i), b.value(i));
    }
    return QString();
}

} // namespace

class tst_ReplayAgreement : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QMap<int, QString> live; // second: what the plug-in held then

    bool startHost(DemoHost &host, const QUrl &url, const QString &project)
    {
        host.setProjectDir(project);
        if (!host.loadPlugin(QStringLiteral(PLUGIN_PATH)) || !host.startPlugin())
            return false;
        host.connectToServer(url);
        return true;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_replayagreement"));
        QDir cacheDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
        QVERIFY(!cacheDir.exists() || cacheDir.removeRecursively());
        QVERIFY(dir.isValid());
    }

    void liveRun()
    {
        Sim::Server server(smallNetwork());
        server.setTickInterval(0);
        QVERIFY(server.listen());
        Sim::World &world = server.world();
        Sim::Recorder recorder;
        QVERIFY(recorder.open(dir.filePath(QStringLiteral("run.jsonl"))));
        server.setRecorder(&recorder);

        DemoHost host;
        QVERIFY(startHost(host, server.url(), dir.filePath(QStringLiteral("live"))));
        QTRY_VERIFY(loaded(server, host));
        const QString board = world.network().boards.at(2).name;
        const int route = world.network().routes.at(1).id;
        for (int second = 1; second <= 30; ++second) {
            server.step(1.0);
            switch (second) {
            case 4: QVERIFY(world.changeBoardProperties(board, QJsonObject{{"locked", true}}).isEmpty()); break;
            case 8: QVERIFY(world.assignBoard(board, route).isEmpty()); break;
            case 12: QVERIFY(world.setDetectorActivated(world.network().detectors.at(1).id, true).isEmpty()); break;
            case 16: world.changeNetwork(1, 1); break;
            case 20: QVERIFY(world.setBoardLoggedIn(board, false)); break;
            case 24: QVERIFY(world.withdrawRoute(route)); break;
            case 27: QVERIFY(world.restoreRoute(route)); break;
            }
            server.flushNotifications();
            QVERIFY(settled(host));
            if (second == 7 || second == 14 || second == 22 || second == 30) {
                QVERIFY2(disagreements(world, host, true).isEmpty(), qPrintable(disagreements(world, host, true)));
                live.insert(second, registrySnapshot(host));
            }
        }
        recorder.finish(world);
    }

    void replay()
    {
        QVERIFY2(live.size() == 4, "the live run comes first");
        Sim::Recording recording = Sim::Recording::load(dir.filePath(QStringLiteral("run.jsonl")));
        QVERIFY2(recording.ok(), qPrintable(recording.error()));
        Sim::Server server(Sim::Network{});
        server.setTickInterval(0);
        QVERIFY(server.listen());
        Sim::Replayer replayer(std::move(recording), &server);

        // Joining at 6 s, the plug-in loads what the server had then; positions follow.
        replayer.advanceTo(6.0);
        DemoHost host;
        QVERIFY(startHost(host, server.url(), dir.filePath(QStringLiteral("replay"))));
        QTRY_VERIFY(loaded(server, host));
        const auto at = [&](int second) {
            QVERIFY(settled(host));
            const QString got = registrySnapshot(host);
            QVERIFY2(got == live.value(second), qPrintable(QStringLiteral("at %1 s:\n").arg(second) + firstDifference(got, live.value(second))));
        };
        replayer.advanceTo(7.0);
        at(7);
        replayer.advanceTo(14.0);
        at(14);
        replayer.advanceTo(22.0);
        at(22);
        // Back across a network change, forward across a board leaving a detector (7 to 14),
        // and so on: each lands where the live run was.
        for (int second : {7, 14, 30, 22, 7}) {
            replayer.seek(second);
            at(second);
        }
    }
};

QTEST_MAIN(tst_ReplayAgreement)
#include "tst_replayagreement.moc"
