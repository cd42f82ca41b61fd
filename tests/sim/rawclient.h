#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <QVector>
#include <QWebSocket>

// A bare JSON-RPC 2.0 client over one WebSocket, written for the tests so that they check
// the wire itself and not another client's reading of it.
class RawClient : public QObject
{
    Q_OBJECT
public:
    explicit RawClient(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&socket, &QWebSocket::textMessageReceived, this, &RawClient::onText);
    }

    bool open(const QUrl &url)
    {
        QSignalSpy spy(&socket, &QWebSocket::connected);
        socket.open(url);
        return spy.wait(5000);
    }

    // Sends a request and waits for its answer; an empty object when none came.
    QJsonObject call(const QString &method, const QJsonValue &params = QJsonValue::Undefined,
                     int timeoutMs = 5000)
    {
        const qint64 id = send(method, params);
        return waitAnswer(id, timeoutMs);
    }

    qint64 send(const QString &method, const QJsonValue &params = QJsonValue::Undefined)
    {
        const qint64 id = m_nextId++;
        QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                            {QStringLiteral("id"), id},
                            {QStringLiteral("method"), method}};
        if (!params.isUndefined())
            request.insert(QStringLiteral("params"), params);
        sendRaw(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
        return id;
    }

    void sendRaw(const QString &text) { socket.sendTextMessage(text); }

    QJsonObject waitAnswer(const QJsonValue &id, int timeoutMs = 5000)
    {
        QJsonObject found;
        if (!QTest::qWaitFor([&] { return takeAnswer(id, &found); }, timeoutMs))
            qWarning() << "no answer to request" << id;
        return found;
    }

    // Everything the server sent since the last round trip has arrived once this returns:
    // the server answers requests in order on one connection.
    bool sync() { return !call(QStringLiteral("PserverApp.getWebUrl")).isEmpty(); }

    bool subscribe(const QStringList &events)
    {
        const QJsonObject a = call(QStringLiteral("subscribe"),
                                   QJsonObject{{QStringLiteral("events"), QJsonArray::fromStringList(events)}});
        return a.contains(QStringLiteral("result"));
    }

    QVector<QJsonObject> notificationsNamed(const QString &method) const
    {
        QVector<QJsonObject> out;
        for (const QJsonObject &n : notifications) {
            if (n.value(QStringLiteral("method")).toString() == method)
                out.append(n);
        }
        return out;
    }

    bool waitNotification(const QString &method, int count = 1, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return notificationsNamed(method).size() >= count; }, timeoutMs);
    }

    QWebSocket socket;
    QVector<QJsonObject> answers;       // in order of arrival
    QVector<QJsonObject> notifications; // in order of arrival
    QStringList frames;                 // every frame, as text

private:
    bool takeAnswer(const QJsonValue &id, QJsonObject *out)
    {
        for (int i = 0; i < answers.size(); ++i) {
            if (answers.at(i).value(QStringLiteral("id")) == id) {
                *out = answers.takeAt(i);
                return true;
            }
        }
        return false;
    }

    void onText(const QString &text)
    {
        frames.append(text);
        const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
        if (o.contains(QStringLiteral("id")))
            answers.append(o);
        else
            notifications.append(o);
    }

    qint64 m_nextId = 1;
};
