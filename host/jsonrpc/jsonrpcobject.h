#pragma once

#include <QDeadlineTimer>
#include <QByteArray>
#include <QHash>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QVector>

#include <memory>

#include "response.h"

#include "jsonrpcexport.h"

class FrameQueue;
class QSslConfiguration;
class QSslError;
class QTimer;
class QWebSocket;

// A JSON-RPC 2.0 client over one WebSocket (text frames, one message per frame).
//
// postCommand queues a request and returns its response object at once; requests are
// sent from the event loop while the socket is open. A request posted while the socket is
// not open, and every request still unanswered when the socket drops, finishes with the
// error ClientErrorNotConnected. Malformed frames and answers with unknown ids are reported
// through protocolError() and otherwise ignored. Server notifications (messages without
// an id) arrive as notification(method, params).
//
// Responses are children of this object; each is deleted ResponseLifetimeMs after it
// finished (a load of thousands of answers must not keep every result).
class JSONRPC_EXPORT JsonRpcObject : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected)
    Q_PROPERTY(QUrl url READ url)
public:
    // Client-side error codes (JSON-RPC reserves -32000..-32099 for implementations;
    // the server uses -32000 for "no permission").
    static constexpr int ClientErrorNotConnected = -32098;
    static constexpr int ClientErrorInvalidResponse = -32097;
    static constexpr int ResponseLifetimeMs = 1000;
    // Larger frames or messages make the socket drop the connection.
    static constexpr qint64 MaxFrameBytes = 64 * 1024 * 1024;

    explicit JsonRpcObject(QObject *parent = nullptr);
    ~JsonRpcObject() override;

    // Connects to a ws:// or wss:// URL; reconnecting is the owner's business
    // (ConnectionKeeper). A wss:// server must show a certificate that the configuration
    // trusts (by default the system's store): any certificate error ends the attempt, with
    // attemptFailed() saying what was wrong. There is no falling back to ws://.
    Q_INVOKABLE void open(const QUrl &url);
    // Closes the connection, or gives up the attempt under way.
    Q_INVOKABLE void close();
    // Drops the connection or the attempt at once, without a closing handshake:
    // connected(false) or attemptFailed() comes before it returns.
    void abort();
    // The TLS settings of later wss:// attempts, such as the authorities to trust.
    void setSslConfiguration(const QSslConfiguration &configuration);
    bool isConnected() const;
    QUrl url() const { return m_url; }

    // Queues one request; the returned object is a JsonRpcResponse owned by this object.
    Q_INVOKABLE virtual QObject *postCommand(const QString &method, const QVariant &params);
    // Asks the server to send the named notifications ("subscribe" request).
    Q_INVOKABLE virtual void subscribe(const QStringList &events);

    int pendingCount() const { return m_pending.size(); }

signals:
    void connected(bool connected);
    void notification(const QString &method, const QVariant &params);
    // Nothing waits to be sent any more.
    void requestQueueEmpty();
    // A frame that could not be understood, an answer to no request, a socket error.
    void protocolError(const QString &message);
    // An open() that ended without a connection: refused, no such host, a certificate
    // not trusted, a failed handshake.
    void attemptFailed(const QString &reason);
    // Any text frame from the server, answer or notification, readable or not: it is there.
    void frameReceived();

private:
    void onSocketConnected();
    void onSocketDisconnected();
    void onSslErrors(const QList<QSslError> &errors);
    void scheduleFlush();
    void flushQueue();
    void onTextMessage(const QString &message);
    void onFrame(const QVariant &value, const QString &error);
    void handleMessage(const QVariantMap &message);
    void handleAnswer(JsonRpcResponse *response, qint64 id, const QVariantMap &message);
    void failAll(int code, const QString &message);
    void scheduleDisposal(JsonRpcResponse *response);
    void disposeExpired();
    QString requestText(qint64 id, const QString &method, const QVariant &params);
    static QByteArray compactJson(const QJsonValue &value);

    // Counts the socket's signals being handled: a handler of ours may delete this object,
    // and the socket must then outlive its own emission.
    struct SocketCallbackScope;
    int m_socketCallbacks = 0;
    QWebSocket *m_socket;
    FrameQueue *m_frames;
    QUrl m_url;
    // Why the attempt under way failed, when the socket knows better than its errorString.
    QString m_failure;
    bool m_connected = false;
    bool m_flushQueued = false;
    qint64 m_nextId = 1;
    struct Queued
    {
        qint64 id;
        QPointer<JsonRpcResponse> response;
        QString frame;
    };
    QVector<Queued> m_queue;
    QHash<qint64, QPointer<JsonRpcResponse>> m_pending;
    // Methods as JSON strings; a host that makes up method names cannot grow it for ever.
    static constexpr int MaxQuotedMethods = 256;
    QHash<QString, QByteArray> m_quotedMethods;
    // Finished responses in the order they finished, each with its time to go; one timer
    // for all of them.
    QVector<QPair<QPointer<JsonRpcResponse>, QDeadlineTimer>> m_finished;
    QTimer *m_disposalTimer;
};

// The application's JSON-RPC service: owns the client and keeps the commands the
// server allows this user, announcing every change with allowedCommandsChanged().
// The server reports them with the notification "Session.allowedCommandsChanged"
// {"role": string, "allowed_commands": [string]}.
class JSONRPC_EXPORT JsonRpcPlugin : public QObject
{
    Q_OBJECT
public:
    explicit JsonRpcPlugin(QObject *parent = nullptr);

    JsonRpcObject *client() const { return m_client; }
    QStringList allowedCommands() const { return m_allowed; }
    QString role() const { return m_role; }

    // More commands than this in one notification are taken as a broken message.
    static constexpr int MaxAllowedCommands = 4096;

signals:
    void allowedCommandsChanged();

private:
    void onNotification(const QString &method, const QVariant &params);
    void onConnected(bool connected);
    JsonRpcObject *m_client;
    QStringList m_allowed;
    QString m_role;
};
