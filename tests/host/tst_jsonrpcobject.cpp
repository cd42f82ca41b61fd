// The host's JSON-RPC client against a WebSocket server of the test's own on loopback: the
// frames it writes, answers matched to requests in any order, what it does with frames and
// answers it cannot use, a dropped connection, a handler that deletes the client, and the
// allowed commands the host keeps.

#include <QSignalSpy>
#include <QtTest>

#include <malloc.h>

#include <memory>

#include "common/fakeserver.h"
#include "jsonrpc/framequeue.h"
#include "jsonrpc/jsonrpcobject.h"

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
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariant>("params");
        QTest::addColumn<QString>("frame");
        QTest::newRow("array params") << "Svc.get" << QVariant(QVariantList{1, "x"}) << R"({"jsonrpc":"2.0","id":1,"method":"Svc.get","params":[1,"x"]})";
        QTest::newRow("escaped method, a string as params") << "Svc.\"é\\" << QVariant("a\n\x01") << "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Svc.\\\"é\\\\\",\"params\":\"a\\n\\u0001\"}";
        QTest::newRow("no params: key left out") << "Svc.get" << QVariant() << R"({"jsonrpc":"2.0","id":1,"method":"Svc.get"})";
        QTest::newRow("empty object kept") << "Svc.get" << QVariant(QVariantMap()) << R"({"jsonrpc":"2.0","id":1,"method":"Svc.get","params":{}})";
        QTest::newRow("subscription") << "" << QVariant(QStringList{"BoardsServer.boardPosition", "VDTService.vdtStateChanged"})
                                      << R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"events":["BoardsServer.boardPosition","VDTService.vdtStateChanged"]}})";
    }
    void requestFrames()
    {
        QFETCH(QString, method);
        QFETCH(QVariant, params);
        QFETCH(QString, frame);
        QVERIFY(connectClient());
        if (method.isEmpty()) {
            client->subscribe(params.toStringList());
        } else {
            JsonRpcResponse *response = post(method, params);
            QVERIFY(response && response->parent() == client.get() && response->requestMethod() == method);
        }
        QTRY_COMPARE(server->received.size(), 1);
        // Byte for byte as Qt's writer puts the request out, compactly.
        QCOMPARE(server->received.at(0), QString::fromUtf8(QJsonDocument::fromJson(frame.toUtf8()).toJson(QJsonDocument::Compact)));
    }

    // Requests go out in the order posted, with ids counting up, once the queue is flushed;
    // answers finish them in the order they come, never inside postCommand; answered, they go
    // a while later (a load's thousands of results are not kept).
    // An answer of a megabyte or more is read on another thread: what comes behind it, and
    // the drop of the connection, wait for it.
    void pipelining_data()
    {
        QTest::addColumn<int>("padding");
        QTest::addColumn<bool>("drop");
        QTest::newRow("small answers") << 0 << false;
        QTest::newRow("a big answer first") << int(FrameQueue::OffThreadChars) << false;
        QTest::newRow("a big answer first, then the drop") << int(FrameQueue::OffThreadChars) << true;
    }
    void pipelining()
    {
        QFETCH(int, padding);
        QFETCH(bool, drop);
        QSignalSpy queueEmpty(client.get(), &JsonRpcObject::requestQueueEmpty);
        QVERIFY(connectClient());
        QTRY_COMPARE(queueEmpty.count(), 1);
        QStringList finished;
        QList<QPointer<JsonRpcResponse>> responses;
        for (const char *method : {"A.one", "A.two", "A.three"}) {
            responses << post(method);
            // Slow handlers: what waited behind a big frame goes on in later passes.
            connect(responses.last(), &Response::finished, this, [&finished, padding, r = responses.last()] { finished << r->requestMethod() + ' ' + r->result().toString(); QThread::msleep(padding > 0 ? FrameQueue::HandOnPassMs : 0); });
        }
        QVERIFY(queueEmpty.count() == 1 && !responses[0]->isFinished());
        QTRY_COMPARE(server->received.size(), 3);
        QCOMPARE(queueEmpty.count(), 2);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(server->frame(i).value("method").toString() + QString::number(server->frame(i).value("id").toInt()), responses[i]->requestMethod() + QString::number(i + 1));
        for (int id : {3, 1, 2})
            server->answer(id, QStringLiteral(R"("result":"r%1","pad":"%2")").arg(id).arg(QString(id == 3 ? padding : 0, 'x')));
        if (drop)
            server->peer->close();
        QTRY_COMPARE(finished, QStringList({"A.three r3", "A.one r1", "A.two r2"}));
        QCOMPARE(client->pendingCount(), 0);
        QTRY_VERIFY(!responses[0]);
    }

    // A frame from the server while request 1 (A.b) is open: an answer finishes it with its
    // result or the server's error; a broken answer with -32097, since the server will not
    // answer again. A notification is passed on. Anything else is reported and dropped, the
    // request left open, and the client goes on working.
    void serverFrames_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("outcome"); // of request 1 once the frame is read, and the notification passed on
        QTest::addColumn<QString>("error");   // the start of the protocol error reported, or empty
        const auto row = [](const char *name, const char *frame, const char *outcome, const char *error = "") { QTest::newRow(name) << frame << outcome << error; };
        const QString broken = "Answer to request 1 (A.b) has ";
        row("result", R"({"jsonrpc":"2.0","id":1,"result":[true]})", "[true]");
        row("error with data", R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"No permission","data":{"x":1}}})",
            R"(error {"code":-32000,"data":{"x":1},"message":"No permission"})");
        row("neither result nor error", R"({"jsonrpc":"2.0","id":1,"x":1})", "error -32097", qPrintable(broken + "neither result nor error"));
        row("both result and error", R"({"jsonrpc":"2.0","id":1,"result":1,"error":{"code":1,"message":"m"}})", "error -32097", qPrintable(broken + "both result and error"));
        row("error is not an object", R"({"jsonrpc":"2.0","id":1,"error":"bad"})", "error -32097", qPrintable(broken + "a malformed error object"));
        row("notification, map params", R"({"jsonrpc":"2.0","method":"BoardsServer.boardPosition","params":{"board_name":"B1","speed":12.5}})",
            R"(open BoardsServer.boardPosition {"board_name":"B1","speed":12.5})");
        row("notification, no params", R"({"jsonrpc":"2.0","method":"RoadNetwork.networkChanged"})", "open RoadNetwork.networkChanged null");
        row("not JSON", "{", "open", "Frame is not valid JSON: ");
        row("not an object", "[1,2]", "open", "Frame is not a JSON object");
        row("wrong version", R"({"jsonrpc":"1.0","id":1,"result":1})", "open", R"(Message without "jsonrpc": "2.0")");
        row("unknown id", R"({"jsonrpc":"2.0","id":99,"result":1})", "open", "Answer to unknown request id 99");
        row("id as a string", R"({"jsonrpc":"2.0","id":"1","result":1})", "open", "Answer with an id that no request can have");
        row("null id", R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})", "open", "Server error without a request id: Parse error (code -32700)");
        row("request from the server", R"({"jsonrpc":"2.0","id":1,"method":"x","params":{}})", "open", "Requests from the server are not supported (method x)");
        row("notification with scalar params", R"({"jsonrpc":"2.0","method":"A.b","params":3})", "open", "Notification A.b has params that are neither");
        row("notification without a name", R"({"jsonrpc":"2.0","method":""})", "open", "Notification without a method name");
        row("neither id nor method", R"({"jsonrpc":"2.0","result":1})", "open", R"(Message with neither "id" nor "method")");
    }
    void serverFrames()
    {
        QFETCH(QString, frame);
        QFETCH(QString, outcome);
        QFETCH(QString, error);
        QVERIFY(connectClient());
        JsonRpcResponse *response = post("A.b"), *after = post("A.c");
        QTRY_COMPARE(server->received.size(), 2);
        QSignalSpy errors(client.get(), &JsonRpcObject::protocolError);
        QSignalSpy notifications(client.get(), &JsonRpcObject::notification);
        server->send(frame);
        server->answer(2, R"("result":"ok")");
        QTRY_COMPARE(after->result(), QVariant("ok"));
        const auto text = [](const QVariant &v) { return QJsonDocument::fromVariant(QVariantList{v}).toJson(QJsonDocument::Compact).mid(1).chopped(1); };
        QString got = !response->isFinished() ? "open" : !response->isError() ? text(response->result()) : response->errorCode() == -32097 ? "error -32097" : "error " + text(response->error());
        for (const QList<QVariant> &n : notifications)
            got += ' ' + n.at(0).toString() + ' ' + text(n.at(1));
        QCOMPARE(got, outcome);
        QCOMPARE(client->pendingCount(), int(!response->isFinished()));
        QCOMPARE(errors.count(), error.isEmpty() ? 0 : 1);
        QVERIFY2(error.isEmpty() || errors.at(0).at(0).toString().startsWith(error), qPrintable(errors.value(0).value(0).toString()));
    }

    // Every open request fails with "Connection lost", and one posted after fails too, from
    // the event loop.
    void droppedConnectionFailsOpenRequests()
    {
        QVERIFY(connectClient());
        QSignalSpy connectedSpy(client.get(), &JsonRpcObject::connected);
        QList<JsonRpcResponse *> open{post("A.one"), post("A.two")};
        QTRY_COMPARE(server->received.size(), 2);
        server->peer->close();
        QTRY_VERIFY(open[0]->isFinished() && open[1]->isFinished());
        QVERIFY(!client->isConnected() && client->pendingCount() == 0 && connectedSpy.count() == 1 && !connectedSpy.at(0).at(0).toBool());
        open << post("A.three");
        QVERIFY(!open[2]->isFinished());
        QTRY_VERIFY(open[2]->isFinished());
        QStringList errors;
        for (JsonRpcResponse *r : open)
            errors << QString::number(r->errorCode()) + ' ' + r->errorMessage();
        QCOMPARE(errors, (QStringList{"-32098 Connection lost", "-32098 Connection lost", "-32098 Not connected"}));
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
        drop ? server->peer->abort() : server->answer(1, R"("result":1)");
        QTRY_VERIFY(!client);
        QVERIFY(!second);
    }

    // A key given twice counts once, with its last value; and Qt 5.15's own reader, which
    // loses the first value when it is an array or an object, must not be what reads.
    void duplicatedKeysLastOneWinsAndNothingLeaks_data()
    {
        QTest::addColumn<QString>("first");
        QStringList numbers;
        for (int i = 0; i < 2000; ++i)
            numbers << QString::number(i);
        QTest::newRow("array first") << '[' + numbers.join(',') + ']';
        QTest::newRow("object first") << QStringLiteral(R"({"k":[%1]})").arg(numbers.join(','));
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
        const auto sendFrames = [&](int count) {
            const int target = received + count;
            for (int i = 0; i < count; ++i)
                server->send(frame);
            return QTest::qWaitFor([&] { return received == target; }, 20000);
        };
        QVERIFY(sendFrames(20)); // buffers grown to size
        QCOMPARE(last, QVariantList{"x"});
        // Bytes of the heap in use; 0 where the allocator keeps its own books (the sanitizer
        // build, whose leak checker looks after leaks instead).
        const size_t before = mallinfo2().uordblks;
        QVERIFY(sendFrames(200));
        const size_t after = mallinfo2().uordblks;
        if (before == 0)
            QSKIP("no heap figures in this build");
        // A leak of the first value costs some 30 KB a frame here.
        QVERIFY2(after < before + 1024 * 1024, qPrintable(QStringLiteral("heap grew by %1 bytes").arg(qint64(after) - qint64(before))));
    }

    // The host keeps the commands and role the server allows, from the greeting and every
    // change; a broken notice is ignored; they go with the connection.
    void pluginKeepsAllowedCommands()
    {
        server->greeting = R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"operator","allowed_commands":["A.b","C.d"]}})";
        JsonRpcPlugin plugin;
        QCOMPARE(plugin.client()->parent(), &plugin);
        QSignalSpy spy(&plugin, &JsonRpcPlugin::allowedCommandsChanged);
        plugin.client()->open(server->url());
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(plugin.role() + ' ' + plugin.allowedCommands().join(','), "operator A.b,C.d");
        server->send(server->greeting);
        QTest::ignoreMessage(QtWarningMsg, "Ignoring Session.allowedCommandsChanged without a role string and an allowed_commands list");
        server->send(R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"x","allowed_commands":"all"}})");
        server->send(R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"viewer","allowed_commands":["A.b"]}})");
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(plugin.role() + ' ' + plugin.allowedCommands().join(','), "viewer A.b");
        server->peer->abort();
        QTRY_COMPARE(spy.count(), 3);
        QVERIFY(plugin.allowedCommands().isEmpty() && plugin.role().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_JsonRpcObject)
#include "tst_jsonrpcobject.moc"
