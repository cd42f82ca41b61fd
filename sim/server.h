#pragma once

#include "methods.h"
#include "network.h"
#include "world.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSslConfiguration;
class QWebSocket;
class QWebSocketServer;

namespace Sim {

class Recorder;

Q_DECLARE_LOGGING_CATEGORY(lcSim)

// The traffic-priority server simulator: JSON-RPC 2.0 over WebSocket (one JSON object per
// text frame) in front of a Sim::World, with the knobs that tests need: a manual clock,
// request counters and fault injection. sim/PROTOCOL.md describes the wire.
//
// Embedded use:
//     Sim::Server server(Sim::generateNetwork(options));
//     server.setTickInterval(0);          // no real-time clock: tests call step()
//     server.listen();                    // 127.0.0.1, a free port
//     client.open(server.url());
class Server : public QObject
{
    Q_OBJECT
public:
    // Clients served at once; more are turned away at the door.
    static constexpr int MaxClients = 64;
    // Size of one request frame; larger ones close the connection.
    static constexpr quint64 MaxRequestBytes = 1 << 20;
    // A client that has this much unsent data misses positions until it catches up.
    static constexpr qint64 MaxPendingBytes = 16 << 20;

    // A generated network with the default options.
    explicit Server(QObject *parent = nullptr);
    explicit Server(Network network, QObject *parent = nullptr);
    ~Server() override;

    // Serves wss:// with this certificate and key from the next listen() on.
    void setTlsConfiguration(const QSslConfiguration &configuration);
    bool isSecure() const;
    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    void close();
    bool isListening() const;
    // ws://ADDRESS:PORT (wss:// when secure); invalid while not listening.
    QUrl url() const;
    quint16 port() const;
    QString errorString() const;

    World &world() { return m_world; }
    const World &world() const { return m_world; }

    // The real-time clock: every ms milliseconds the world advances by the time that
    // really passed. 0 stops it. Default 1000; it runs only while listening.
    void setTickInterval(int ms);
    int tickInterval() const { return m_tickMs; }
    // Advances the world by seconds at once and sends what happened.
    void step(double seconds);
    // Sends the notifications that direct changes to world() queued.
    void flushNotifications();

    // Writes the network now, and every notification from now on, to the recorder (null:
    // no more). The recorder must outlive the server or be taken off first.
    void setRecorder(Recorder *recorder);
    // Answers the methods that read or change the world before the world does (a replay
    // answers as of its moment); no reply leaves the request to the world. Empty: none.
    using MethodHandler = std::function<std::optional<Reply>(const QString &method, const QJsonValue &params)>;
    void setMethodHandler(MethodHandler handler);

    // Requests received per method name, since construction or the last reset.
    int requestCount(const QString &method) const;
    int totalRequestCount() const { return m_total; }
    void resetCounters();

    // Fault injection. A failed method is answered with that error whoever calls it; a
    // delayed one is carried out and answered ms later.
    void failMethod(const QString &method, int code, const QString &message);
    void delayMethod(const QString &method, int ms);
    void clearFaults();
    // Cuts every client connection at once, as a network failure would.
    void dropConnections();
    // Alters some geometry (new hashes) and sends "RoadNetwork.networkChanged".
    NetworkChange changeNetwork(int routes = 1, int detectors = 0);
    // Sends a notification the world did not make (a position of a board it does not
    // know, say) to every client subscribed to it.
    void sendNotification(const QString &method, const QJsonValue &params);

    // Gives every connected client this role and makes it the role of new clients;
    // false for an unknown role. Clients whose role changes are told so.
    bool setRole(const QString &role);
    QString defaultRole() const { return m_defaultRole; }
    int clientCount() const { return int(m_clients.size()); }
    QStringList clientRoles() const;

    // What "PserverApp.getWebUrl" answers; by default http://ADDRESS:PORT/web/.
    void setWebUrl(const QString &url) { m_webUrl = url; }
    QString webUrl() const;

    // Positions not sent to clients that were too far behind.
    quint64 droppedPositions() const { return m_droppedPositions; }

signals:
    void clientConnected();
    void clientDisconnected();
    // After each request was answered (or, for a client notification, carried out).
    void requestHandled(const QString &method);

private:
    struct Client
    {
        QWebSocket *socket = nullptr;
        QString role;
        quint32 subscriptions = 0; // bit i: notificationNames().at(i)
    };
    struct Fault
    {
        int code;
        QString message;
    };

    void onNewConnection();
    void onDisconnected(QWebSocket *socket);
    void onText(QWebSocket *socket, const QString &text);
    void execute(QWebSocket *socket, bool answer, const QJsonValue &id, const QString &method,
                 const QJsonValue &params);
    Reply subscribe(Client &client, const QJsonValue &params);
    Client *clientFor(QWebSocket *socket);
    void sendReply(QWebSocket *socket, const QJsonValue &id, const Reply &reply);
    void sendAllowedCommands(Client &client);
    void broadcast(const Notification &n);
    void onTick();
    void updateTimer();
    void createSocketServer(bool secure);

    World m_world;
    QWebSocketServer *m_server;
    std::vector<std::unique_ptr<Client>> m_clients;
    QString m_defaultRole = Rpc::RoleOperator;
    QString m_webUrl;
    QHash<QString, int> m_counts;
    int m_total = 0;
    QHash<QString, Fault> m_faults;
    QHash<QString, int> m_delays;
    QHash<QString, int> m_eventBits;
    Recorder *m_recorder = nullptr;
    MethodHandler m_handler;
    QTimer m_tick;
    QElapsedTimer m_clock;
    int m_tickMs = 1000;
    quint64 m_droppedPositions = 0;
};

} // namespace Sim
