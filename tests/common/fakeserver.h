#pragma once

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QStringList>
#include <QWebSocket>
#include <QWebSocketServer>

// A WebSocket server of the test's own on loopback, the far end of one client at a time: it
// greets a new connection with `greeting`, records the frames it receives and counts them
// by method, and sends whatever the test tells it to. With `answers`, it answers every
// request itself: the raw JSON result for "method#id" or "method#name" (by the params' id
// or name), else for the method, else null, so that an answer can carry what Qt's own
// writer never would (2^63, 1e308, nesting).
class FakeServer : public QObject
{
public:
    FakeServer()
    {
        server.setMaxPendingConnections(4);
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *socket = server.nextPendingConnection()) {
                peer = socket;
                socket->setParent(this); // the server hands it over unowned
                connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString &frame) { onFrame(frame); });
                if (!greeting.isEmpty())
                    socket->sendTextMessage(greeting);
            }
        });
    }
    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort())); }
    void send(const QString &frame)
    {
        if (peer)
            peer->sendTextMessage(frame);
    }
    void answer(int id, const QString &rest) { send(QStringLiteral(R"({"jsonrpc":"2.0","id":%1,%2})").arg(id).arg(rest)); }
    void notify(const QString &method, const QByteArray &params)
    {
        send(QString::fromUtf8(R"({"jsonrpc":"2.0","method":")" + method.toUtf8() + R"(","params":)" + params + "}"));
    }
    QJsonObject frame(int i) const { return QJsonDocument::fromJson(received.at(i).toUtf8()).object(); }
    int requestCount(const QString &method) const { return counts.value(method); }

    QWebSocketServer server{QStringLiteral("test"), QWebSocketServer::NonSecureMode};
    QPointer<QWebSocket> peer;
    QStringList received;
    QString greeting;
    QHash<QString, QByteArray> answers;

private:
    void onFrame(const QString &frame)
    {
        received << frame;
        const QJsonObject request = QJsonDocument::fromJson(frame.toUtf8()).object();
        const QString method = request.value(QStringLiteral("method")).toString();
        ++counts[method];
        if (answers.isEmpty() || !request.contains(QStringLiteral("id")))
            return;
        const QJsonObject params = request.value(QStringLiteral("params")).toObject();
        const QString one = params.contains(QStringLiteral("id")) ? QString::number(params.value(QStringLiteral("id")).toInt())
                                                                  : params.value(QStringLiteral("name")).toString();
        const QByteArray result = answers.value(method + QLatin1Char('#') + one, answers.value(method, QByteArrayLiteral("null")));
        answer(request.value(QStringLiteral("id")).toInt(), QStringLiteral(R"("result":)") + QString::fromUtf8(result));
    }

    QHash<QString, int> counts;
};
