// Keeping a JSON-RPC client connected: the waits between attempts, their reset, and what
// the keeper tells of the connection, on a clock the test moves by hand.

#include <QSignalSpy>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include "jsonrpc/backoff.h"
#include "jsonrpc/connectionkeeper.h"
#include "jsonrpc/jsonrpcobject.h"

#include <memory>

class tst_ConnectionKeeper : public QObject
{
    Q_OBJECT

    qint64 clock = 0;
    std::unique_ptr<JsonRpcObject> client;
    std::unique_ptr<ConnectionKeeper> keeper;

    bool waitsFor(qint64 ms)
    {
        return QTest::qWaitFor([&] { return keeper->state() == ConnectionKeeper::Waiting; }, 5000) && keeper->msUntilNextAttempt() == ms;
    }
    void advance(qint64 ms)
    {
        clock += ms;
        keeper->poll();
    }

private slots:
    void init()
    {
        client = std::make_unique<JsonRpcObject>();
        keeper = std::make_unique<ConnectionKeeper>(client.get());
        keeper->setClock([this] { return clock; });
        keeper->setBackoff(Backoff::Options(), [] { return 0.5; });
    }

    // Worked by hand: 1 s, then 1.6 times as long each time, never above 30 s; the spread
    // takes a fifth off or on, and no more than 30 s either way. No first wait: never again.
    void waits_data()
    {
        QTest::addColumn<double>("uniform");
        QTest::addColumn<int>("firstMs");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("no spread") << 0.5 << 1000 << QList<int>{1000, 1600, 2560, 4096, 6554, 10486, 16777, 26844, 30000, 30000};
        QTest::newRow("a fifth shorter") << 0.0 << 1000 << QList<int>{800, 1280, 2048, 3277, 5243, 8389, 13422, 21475, 24000, 24000};
        QTest::newRow("a fifth longer") << 1.0 << 1000 << QList<int>{1200, 1920, 3072, 4915, 7864, 12583, 20133, 30000, 30000, 30000};
        QTest::newRow("never") << 0.5 << 0 << QList<int>{-1, -1};
    }
    void waits()
    {
        QFETCH(double, uniform);
        QFETCH(int, firstMs);
        QFETCH(QList<int>, expected);
        Backoff backoff(Backoff::Options{firstMs, 1.6, 30000, 0.2}, [uniform] { return uniform; });
        QList<int> got;
        for (int i = 0; i < expected.size(); ++i)
            got << backoff.nextDelayMs();
        QCOMPARE(got, expected);
        backoff.reset();
        QCOMPARE(backoff.nextDelayMs(), expected.first());
        // By default the spread is Qt's random numbers: all over the fifth, never beyond it.
        int shortest = INT_MAX, longest = 0;
        for (int i = 0; i < 500; ++i) {
            Backoff random;
            const int d = random.nextDelayMs();
            shortest = qMin(shortest, d);
            longest = qMax(longest, d);
        }
        QVERIFY2(shortest >= 800 && shortest < 900 && longest > 1100 && longest <= 1200, qPrintable(QStringLiteral("%1..%2").arg(shortest).arg(longest)));
    }

    // Refused attempts wait longer each time; a connection that carries a message starts
    // the waits over, one that carries nothing does not; silence shows; "now" means now.
    void keepsTheConnection()
    {
        QTcpServer probe; // a loopback port that nobody listens on (yet)
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        keeper->setSilentAfterMs(4000);
        QSignalSpy problems(keeper.get(), &ConnectionKeeper::problem);
        keeper->start(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        QVERIFY(waitsFor(1000) && !problems.isEmpty());
        advance(999);
        QCOMPARE(keeper->attempts(), 1);
        QCOMPARE(keeper->msUntilNextAttempt(), 1);
        advance(1);
        QCOMPARE(keeper->attempts(), 2);
        QVERIFY(waitsFor(1600));

        QWebSocketServer server(QStringLiteral("test"), QWebSocketServer::NonSecureMode);
        if (!server.listen(QHostAddress::LocalHost, port))
            QSKIP("the loopback port was taken by someone else meanwhile");
        QPointer<QWebSocket> peer;
        connect(&server, &QWebSocketServer::newConnection, this, [&] {
            peer = server.nextPendingConnection();
            peer->setParent(&server); // handed over unowned
        });
        advance(1600);
        QTRY_COMPARE(keeper->state(), ConnectionKeeper::Connected);
        QTRY_VERIFY(peer);
        QVERIFY(keeper->msUntilNextAttempt() == -1 && keeper->msSinceLastMessage() == 0);
        // Up, then down before a word: the waits go on growing.
        peer->abort();
        QVERIFY(waitsFor(2560));
        advance(2560);
        QTRY_COMPARE(keeper->state(), ConnectionKeeper::Connected);
        QTRY_VERIFY(peer && peer->state() == QAbstractSocket::ConnectedState);
        peer->sendTextMessage(QStringLiteral("{}"));
        QTRY_COMPARE(keeper->msSinceLastMessage(), 0);
        advance(4000);
        QCOMPARE(keeper->state(), ConnectionKeeper::Connected);
        QCOMPARE(keeper->msSinceLastMessage(), 4000);
        advance(1);
        QCOMPARE(keeper->state(), ConnectionKeeper::Silent);
        peer->sendTextMessage(QStringLiteral("{}"));
        QTRY_COMPARE(keeper->state(), ConnectionKeeper::Connected);

        // It spoke: after this loss the waits start over.
        peer->abort();
        QVERIFY(waitsFor(1000));
        keeper->reconnectNow();
        QCOMPARE(keeper->state(), ConnectionKeeper::Connecting);
        QTRY_COMPARE(keeper->state(), ConnectionKeeper::Connected);
        QCOMPARE(keeper->attempts(), 5);
        // Asked again while up: one loss, one new connection, and nothing planned after.
        QSignalSpy connected(client.get(), &JsonRpcObject::connected);
        keeper->reconnectNow();
        QTRY_COMPARE(connected.count(), 2);
        QVERIFY(!connected.at(0).at(0).toBool() && keeper->msUntilNextAttempt() == -1);
    }

    // A server that takes the connection but never finishes the handshake.
    void attemptThatHangsIsGivenUp()
    {
        QTcpServer mute;
        QVERIFY(mute.listen(QHostAddress::LocalHost, 0));
        keeper->setAttemptTimeoutMs(15000);
        keeper->start(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(mute.serverPort())));
        QTRY_VERIFY(mute.hasPendingConnections());
        advance(14999);
        QCOMPARE(keeper->state(), ConnectionKeeper::Connecting);
        advance(1);
        QCOMPARE(keeper->state(), ConnectionKeeper::Waiting);
        QCOMPARE(keeper->msUntilNextAttempt(), 1000);
        QVERIFY2(keeper->lastProblem().contains(QStringLiteral("No answer")), qPrintable(keeper->lastProblem()));
    }
};

QTEST_GUILESS_MAIN(tst_ConnectionKeeper)
#include "tst_connectionkeeper.moc"
