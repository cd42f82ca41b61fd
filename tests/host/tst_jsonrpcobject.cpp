#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <malloc.h>

#include <memory>

#include "jsonrpc/jsonrpcobject.h"

// The far end: a WebSocket server on loopback that records what it receives and sends
// whatever a test tells it to.
class FakeServer : public QObject
{
    Q_OBJECT
public:
    FakeServer()
    {
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            peer->setParent(this); // the server hands it over unowned
            connect(peer, &QWebSocket::textMessageReceived, this,
                    [this](const QString &frame) { received << frame; });
            if (!greeting.isEmpty())
                peer->sendTextMessage(greeting);
        });
    }
    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort())); }
    void send(const QString &frame) { peer->sendTextMessage(frame); }
    QJsonObject frame(int i) const { return QJsonDocument::fromJson(received.at(i).toUtf8()).object(); }

    QWebSocketServer server{QStringLiteral("test"), QWebSocketServer::NonSecureMode};
    QPointer<QWebSocket> peer;
    QStringList received;
    QString greeting;
};

namespace {

QJsonObject json(const char *text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad JSON in test: %s", text);
    return doc.object();
}

// Bytes of the heap in use; 0 where the allocator keeps its own books (the sanitizer
// build, whose leak checker looks after leaks instead).
size_t heapInUse()
{
    return mallinfo2().uordblks;
}

QString answer(int id, const char *rest)
{
    return QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":%1,%2}").arg(id).arg(QLatin1String(rest));
}

} // namespace

class tst_JsonRpcObject : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeServer> server;
    std::unique_ptr<JsonRpcObject> client;

    bool connectClient()
    {
        client->open(server->url());
        return QTest::qWaitFor([&] { return client->isConnected() && server->peer; }, 5000);
    }
    JsonRpcResponse *post(const QString &method, const QVariant &params = QVariant())
    {
        return qobject_cast<JsonRpcResponse *>(client->postCommand(method, params));
    }

private slots:
    void init()
    {
        server = std::make_unique<FakeServer>();
        QVERIFY(server->listen());
        client = std::make_unique<JsonRpcObject>();
    }
    void cleanup()
    {
        client.reset();
        server.reset();
    }

    void requestFrames_data()
    {
        QTest::addColumn<QVariant>("params");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("object params")
            << QVariant(QVariantMap{{"name", "B1"}})
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Svc.get","params":{"name":"B1"}})");
        QTest::newRow("array params")
            << QVariant(QVariantList{1, "x"})
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Svc.get","params":[1,"x"]})");
        QTest::newRow("no params: key left out")
            << QVariant() << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Svc.get"})");
        QTest::newRow("empty object kept")
            << QVariant(QVariantMap()) << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Svc.get","params":{}})");
    }
    void requestFrames()
    {
        QFETCH(QVariant, params);
        QFETCH(QByteArray, expected);
        QVERIFY(connectClient());
        JsonRpcResponse *response = post("Svc.get", params);
        QVERIFY(response);
        QCOMPARE(response->parent(), client.get());
        QCOMPARE(response->requestMethod(), "Svc.get");
        QTRY_COMPARE(server->received.size(), 1);
        QCOMPARE(server->frame(0), json(expected.constData()));
    }

    void answersMatchTheirRequestsInAnyOrder()
    {
        QVERIFY(connectClient());
        QStringList finishedOrder;
        QList<JsonRpcResponse *> responses;
        for (const char *method : {"A.one", "A.two", "A.three"}) {
            JsonRpcResponse *r = post(method);
            connect(r, &Response::finished, this, [&finishedOrder, r] { finishedOrder << r->requestMethod(); });
            responses << r;
        }
        QTRY_COMPARE(server->received.size(), 3);
        QCOMPARE(server->frame(2).value("method").toString(), "A.three");
        const int idThree = server->frame(2).value("id").toInt();
        const int idOne = server->frame(0).value("id").toInt();
        const int idTwo = server->frame(1).value("id").toInt();
        server->send(answer(idThree, R"("result":{"k":[1,2]})"));
        server->send(answer(idOne, R"("result":42)"));
        server->send(answer(idTwo, R"("result":"text")"));

        QTRY_COMPARE(finishedOrder, QStringList({"A.three", "A.one", "A.two"}));
        QCOMPARE(responses[0]->result().toInt(), 42);
        QCOMPARE(responses[1]->result().toString(), "text");
        QCOMPARE(responses[2]->result().toMap().value("k").toList(), QVariantList({1, 2}));
        QVERIFY(!responses[0]->isError());
        QCOMPARE(client->pendingCount(), 0);

        // Answered, they go a while later: a load's thousands of results are not kept.
        const QPointer<JsonRpcResponse> answered(responses[0]);
        QTRY_VERIFY(!answered);
    }

    void finishedOnlyFromTheEventLoop_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connected") << true;
        QTest::newRow("not connected") << false;
    }
    void finishedOnlyFromTheEventLoop()
    {
        QFETCH(bool, connected);
        if (connected)
            QVERIFY(connectClient());
        JsonRpcResponse *response = post("A.b");
        QVERIFY(!response->isFinished());
        QSignalSpy finished(response, &Response::finished);
        if (connected) {
            QTRY_COMPARE(server->received.size(), 1);
            QVERIFY(!response->isFinished());
            server->send(answer(1, R"("result":true)"));
        }
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(response->isError(), !connected);
        if (!connected) {
            QCOMPARE(response->errorCode(), JsonRpcObject::ClientErrorNotConnected);
            QVERIFY(!response->errorMessage().isEmpty());
        }
    }

    void notifications_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariant>("params");
        QTest::newRow("map params")
            << R"({"jsonrpc":"2.0","method":"BoardsServer.boardPosition","params":{"board_name":"B1","speed":12.5}})"
            << "BoardsServer.boardPosition" << QVariant(QVariantMap{{"board_name", "B1"}, {"speed", 12.5}});
        QTest::newRow("list params")
            << R"({"jsonrpc":"2.0","method":"BoardsServer.boardsRemoved","params":["B1","B2"]})"
            << "BoardsServer.boardsRemoved" << QVariant(QVariantList{"B1", "B2"});
        QTest::newRow("no params")
            << R"({"jsonrpc":"2.0","method":"RoadNetwork.networkChanged"})"
            << "RoadNetwork.networkChanged" << QVariant();
    }
    void notifications()
    {
        QFETCH(QString, frame);
        QFETCH(QString, method);
        QFETCH(QVariant, params);
        QVERIFY(connectClient());
        QSignalSpy spy(client.get(), &JsonRpcObject::notification);
        QSignalSpy errors(client.get(), &JsonRpcObject::protocolError);
        server->send(frame);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), method);
        QCOMPARE(spy.at(0).at(1), params);
        QCOMPARE(errors.count(), 0);
    }

    // A key given twice counts once, with its last value; and Qt 5.15's own reader, which
    // loses the first value when it is an array or an object, must not be what reads.
    void duplicatedKeysLastOneWinsAndNothingLeaks_data()
    {
        QTest::addColumn<QString>("first");
        QStringList numbers;
        for (int i = 0; i < 2000; ++i)
            numbers << QString::number(i);
        QTest::newRow("array first") << QLatin1Char('[') + numbers.join(QLatin1Char(',')) + QLatin1Char(']');
        QTest::newRow("object first") << QStringLiteral(R"({"k":[%1]})").arg(numbers.join(QLatin1Char(',')));
    }
    void duplicatedKeysLastOneWinsAndNothingLeaks()
    {
        QFETCH(QString, first);
        QVERIFY(connectClient());
        QVariantList last;
        int received = 0;
        connect(client.get(), &JsonRpcObject::notification, this, [&](const QString &, const QVariant &params) {
            last = params.toMap().value("a").toList();
            ++received;
        });
        const QString frame = QStringLiteral(R"({"jsonrpc":"2.0","method":"A.b","params":{"a":%1,"a":["x"]}})").arg(first);
        auto sendFrames = [&](int count) {
            const int target = received + count;
            for (int i = 0; i < count; ++i)
                server->send(frame);
            return QTest::qWaitFor([&] { return received == target; }, 20000);
        };
        QVERIFY(sendFrames(20)); // buffers grown to size
        QCOMPARE(last, QVariantList{"x"});

        const size_t before = heapInUse();
        QVERIFY(sendFrames(200));
        const size_t after = heapInUse();
        if (before == 0)
            QSKIP("no heap figures in this build");
        // A leak of the first value costs some 30 KB a frame here.
        QVERIFY2(after < before + 1024 * 1024, qPrintable(QStringLiteral("heap grew by %1 bytes").arg(qint64(after) - qint64(before))));
    }

    void errorAnswer()
    {
        QVERIFY(connectClient());
        JsonRpcResponse *response = post("Svc.lock", QVariantMap{{"id", 5}});
        QTRY_COMPARE(server->received.size(), 1);
        server->send(answer(1, R"("error":{"code":-32000,"message":"No permission","data":{"x":1}})"));
        QTRY_VERIFY(response->isFinished());
        QVERIFY(response->isError());
        QCOMPARE(response->errorCode(), -32000);
        QCOMPARE(response->errorMessage(), "No permission");
        const QVariantMap error = response->error().toMap();
        QCOMPARE(error.value("code").type(), QVariant::Int);
        QCOMPARE(error.value("data").toMap().value("x").toInt(), 1);
        QCOMPARE(response->requestMethod(), "Svc.lock");
        QVERIFY(!response->result().isValid());
    }

    void malformedFramesLeaveRequestsAlone_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::newRow("not JSON") << "{";
        QTest::newRow("not an object") << "[1,2]";
        QTest::newRow("wrong version") << R"({"jsonrpc":"1.0","id":1,"result":1})";
        QTest::newRow("unknown id") << R"({"jsonrpc":"2.0","id":99,"result":1})";
        QTest::newRow("id as a string") << R"({"jsonrpc":"2.0","id":"1","result":1})";
        QTest::newRow("fractional id") << R"({"jsonrpc":"2.0","id":1.5,"result":1})";
        QTest::newRow("null id") << R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})";
        QTest::newRow("request from the server") << R"({"jsonrpc":"2.0","id":1,"method":"x","params":{}})";
        QTest::newRow("notification with scalar params") << R"({"jsonrpc":"2.0","method":"A.b","params":3})";
        QTest::newRow("notification without a name") << R"({"jsonrpc":"2.0","method":""})";
        QTest::newRow("neither id nor method") << R"({"jsonrpc":"2.0","result":1})";
    }
    void malformedFramesLeaveRequestsAlone()
    {
        QFETCH(QString, frame);
        QVERIFY(connectClient());
        JsonRpcResponse *response = post("A.b");
        QTRY_COMPARE(server->received.size(), 1);
        QSignalSpy errors(client.get(), &JsonRpcObject::protocolError);
        QSignalSpy notifications(client.get(), &JsonRpcObject::notification);

        server->send(frame);
        QTRY_COMPARE(errors.count(), 1);
        QVERIFY(!errors.at(0).at(0).toString().isEmpty());
        QCOMPARE(notifications.count(), 0);
        QVERIFY(!response->isFinished());
        QCOMPARE(client->pendingCount(), 1);

        // And the client goes on working.
        server->send(answer(1, R"("result":"ok")"));
        QTRY_VERIFY(response->isFinished());
        QCOMPARE(response->result().toString(), "ok");
    }

    void brokenAnswersFinishTheirRequest_data()
    {
        QTest::addColumn<QString>("rest");
        QTest::newRow("neither result nor error") << R"("x":1)";
        QTest::newRow("both result and error") << R"("result":1,"error":{"code":1,"message":"m"})";
        QTest::newRow("error is not an object") << R"("error":"bad")";
        QTest::newRow("error code is not an integer") << R"("error":{"code":"x","message":"m"})";
    }
    void brokenAnswersFinishTheirRequest()
    {
        QFETCH(QString, rest);
        QVERIFY(connectClient());
        JsonRpcResponse *response = post("A.b");
        QTRY_COMPARE(server->received.size(), 1);
        QSignalSpy errors(client.get(), &JsonRpcObject::protocolError);
        server->send(answer(1, qPrintable(rest)));
        QTRY_VERIFY(response->isFinished());
        QCOMPARE(errors.count(), 1);
        QVERIFY(response->isError());
        QCOMPARE(response->errorCode(), JsonRpcObject::ClientErrorInvalidResponse);
        QCOMPARE(client->pendingCount(), 0);
    }

    void droppedConnectionFailsOpenRequests_data()
    {
        QTest::addColumn<bool>("abort");
        QTest::newRow("closed by the server") << false;
        QTest::newRow("aborted") << true;
    }
    void droppedConnectionFailsOpenRequests()
    {
        QFETCH(bool, abort);
        QVERIFY(connectClient());
        QSignalSpy connectedSpy(client.get(), &JsonRpcObject::connected);
        JsonRpcResponse *first = post("A.one");
        JsonRpcResponse *second = post("A.two");
        QTRY_COMPARE(server->received.size(), 2);
        if (abort)
            server->peer->abort();
        else
            server->peer->close();

        QTRY_VERIFY(first->isFinished() && second->isFinished());
        for (JsonRpcResponse *r : {first, second}) {
            QCOMPARE(r->errorCode(), JsonRpcObject::ClientErrorNotConnected);
            QVERIFY2(r->errorMessage().contains("Connection lost"), qPrintable(r->errorMessage()));
        }
        QCOMPARE(connectedSpy.count(), 1);
        QCOMPARE(connectedSpy.at(0).at(0).toBool(), false);
        QVERIFY(!client->isConnected());
        QCOMPARE(client->pendingCount(), 0);

        JsonRpcResponse *late = post("A.three");
        QVERIFY(!late->isFinished());
        QTRY_VERIFY(late->isFinished());
        QCOMPARE(late->errorCode(), JsonRpcObject::ClientErrorNotConnected);
    }

    void clientDeletedByAFinishedHandler_data()
    {
        QTest::addColumn<bool>("drop");
        QTest::newRow("on an answer") << false;
        QTest::newRow("on a dropped connection") << true;
    }
    void clientDeletedByAFinishedHandler()
    {
        QFETCH(bool, drop);
        QVERIFY(connectClient());
        JsonRpcResponse *first = post("A.one");
        QPointer<JsonRpcResponse> second = post("A.two");
        QTRY_COMPARE(server->received.size(), 2);
        connect(first, &Response::finished, this, [this] { client.reset(); });
        if (drop)
            server->peer->abort();
        else
            server->send(answer(1, R"("result":1)"));
        QTRY_VERIFY(!client);
        QVERIFY(!second);
    }

    void requestQueueEmptyAfterEachFlush()
    {
        QSignalSpy spy(client.get(), &JsonRpcObject::requestQueueEmpty);
        QVERIFY(connectClient());
        QTRY_COMPARE(spy.count(), 1);

        post("A.one");
        post("A.two");
        QCOMPARE(spy.count(), 1);
        QTRY_COMPARE(server->received.size(), 2);
        QCOMPARE(spy.count(), 2);
    }

    void subscribeFrame()
    {
        QVERIFY(connectClient());
        client->subscribe({"BoardsServer.boardPosition", "VDTService.vdtStateChanged"});
        QTRY_COMPARE(server->received.size(), 1);
        QCOMPARE(server->frame(0), json(R"({"jsonrpc":"2.0","id":1,"method":"subscribe",
            "params":{"events":["BoardsServer.boardPosition","VDTService.vdtStateChanged"]}})"));
    }

    void pluginKeepsAllowedCommands()
    {
        server->greeting =
            R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"operator","allowed_commands":["A.b","C.d"]}})";
        JsonRpcPlugin plugin;
        QCOMPARE(plugin.client()->parent(), &plugin);
        QSignalSpy spy(&plugin, &JsonRpcPlugin::allowedCommandsChanged);
        plugin.client()->open(server->url());
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(plugin.allowedCommands(), QStringList({"A.b", "C.d"}));
        QCOMPARE(plugin.role(), "operator");

        // The same again changes nothing; a broken one is ignored; a new role is taken.
        server->send(server->greeting);
        QTest::ignoreMessage(QtWarningMsg, "Ignoring Session.allowedCommandsChanged without a role "
                                           "string and an allowed_commands list");
        server->send(R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"x","allowed_commands":"all"}})");
        server->send(R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"viewer","allowed_commands":["A.b"]}})");
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(plugin.allowedCommands(), QStringList({"A.b"}));
        QCOMPARE(plugin.role(), "viewer");

        // Permissions belong to the session: gone with the connection.
        server->peer->abort();
        QTRY_COMPARE(spy.count(), 3);
        QVERIFY(plugin.allowedCommands().isEmpty());
        QVERIFY(plugin.role().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_JsonRpcObject)
#include "tst_jsonrpcobject.moc"
