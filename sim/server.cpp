#include "server.h"

#include "generator.h"
#include "jsontext.h"
#include "jsonutil.h"
#include "recorder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cmath>

namespace Sim {

Q_LOGGING_CATEGORY(lcSim, "prio.sim")

namespace {

// A real-time tick never advances the world by more than this, however late it fires
// (a stopped debugger, a suspended laptop).
constexpr double MaxTickS = 5.0;
// Distinct method names counted; names beyond are not counted, so a client that makes
// names up cannot grow the table.
constexpr int MaxCountedMethods = 1024;
// Names in one subscribe request.
constexpr int MaxSubscribeNames = 256;
constexpr int MaxDelayMs = 600000;

bool isValidId(const QJsonValue &id)
{
    if (id.isString() || id.isNull())
        return true;
    if (!id.isDouble())
        return false;
    const double d = id.toDouble();
    return std::isfinite(d) && d == std::floor(d);
}

QString frameOf(const QJsonObject &message)
{
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

} // namespace

Server::Server(QObject *parent) : Server(generateNetwork(GeneratorOptions()), parent) {}

Server::Server(Network network, QObject *parent)
    : QObject(parent),
      m_world(std::move(network)),
      m_server(nullptr)
{
    const QStringList names = notificationNames();
    for (int i = 0; i < names.size(); ++i)
        m_eventBits.insert(names.at(i), i);
    createSocketServer(false);
    connect(&m_tick, &QTimer::timeout, this, &Server::onTick);
}

void Server::createSocketServer(bool secure)
{
    delete m_server;
    m_server = new QWebSocketServer(QStringLiteral("prio-sim"),
                                    secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
    connect(m_server, &QWebSocketServer::newConnection, this, &Server::onNewConnection);
    connect(m_server, &QWebSocketServer::peerVerifyError, this, [](const QSslError &error) {
        qCInfo(lcSim) << "TLS:" << error.errorString();
    });
}

void Server::setTlsConfiguration(const QSslConfiguration &configuration)
{
    // A server listening already stops: its mode is fixed when it is made.
    createSocketServer(true);
    m_server->setSslConfiguration(configuration);
    updateTimer();
}

bool Server::isSecure() const
{
    return m_server->secureMode() == QWebSocketServer::SecureMode;
}

void Server::setRecorder(Recorder *recorder)
{
    m_recorder = recorder;
    if (recorder)
        recorder->begin(m_world, m_tickMs);
}

void Server::setMethodHandler(MethodHandler handler)
{
    m_handler = std::move(handler);
}

Server::~Server()
{
    // The sockets must not report their end to a half-destroyed server.
    for (const auto &c : m_clients) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c->socket;
    }
    m_clients.clear();
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    if (m_server->isListening())
        m_server->close();
    if (!m_server->listen(address, port)) {
        qCWarning(lcSim) << "cannot listen on" << address.toString() << port << ":"
                         << m_server->errorString();
        return false;
    }
    updateTimer();
    return true;
}

void Server::close()
{
    m_server->close();
    updateTimer();
}

bool Server::isListening() const
{
    return m_server->isListening();
}

quint16 Server::port() const
{
    return m_server->serverPort();
}

QString Server::errorString() const
{
    return m_server->errorString();
}

QUrl Server::url() const
{
    if (!m_server->isListening())
        return QUrl();
    QHostAddress host = m_server->serverAddress();
    if (host == QHostAddress::Any || host == QHostAddress::AnyIPv4)
        host = QHostAddress::LocalHost;
    else if (host == QHostAddress::AnyIPv6)
        host = QHostAddress::LocalHostIPv6;
    QUrl url;
    url.setScheme(isSecure() ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setHost(host.toString());
    url.setPort(m_server->serverPort());
    return url;
}

QString Server::webUrl() const
{
    if (!m_webUrl.isEmpty())
        return m_webUrl;
    QUrl web = url();
    web.setScheme(isSecure() ? QStringLiteral("https") : QStringLiteral("http"));
    web.setPath(QStringLiteral("/web/"));
    return web.toString();
}

void Server::setTickInterval(int ms)
{
    m_tickMs = std::max(0, ms);
    updateTimer();
}

void Server::updateTimer()
{
    if (m_tickMs > 0 && m_server->isListening()) {
        if (!m_tick.isActive() || m_tick.interval() != m_tickMs) {
            m_tick.start(m_tickMs);
            m_clock.start();
        }
    } else {
        m_tick.stop();
    }
}

void Server::onTick()
{
    const double dt = std::min(MaxTickS, m_clock.restart() / 1000.0);
    step(dt);
}

void Server::step(double seconds)
{
    const quint32 positionBit = 1u << m_eventBits.value(Event::BoardPosition);
    const bool positions = m_recorder || std::any_of(m_clients.cbegin(), m_clients.cend(), [&](const auto &c) {
        return (c->subscriptions & positionBit) != 0;
    });
    m_world.step(seconds, positions);
    flushNotifications();
}

void Server::flushNotifications()
{
    const QVector<Notification> pending = m_world.takeNotifications();
    for (const Notification &n : pending) {
        if (m_recorder)
            m_recorder->record(m_world, n);
        broadcast(n);
    }
}

void Server::sendNotification(const QString &method, const QJsonValue &params)
{
    if (m_recorder)
        m_recorder->record(m_world, {method, params});
    broadcast({method, params});
}

void Server::broadcast(const Notification &n)
{
    const auto bit = m_eventBits.constFind(n.method);
    if (bit == m_eventBits.cend())
        return;
    const quint32 mask = 1u << *bit;
    const bool isPosition = n.method == Event::BoardPosition;
    QString frame; // built once, for the first client that wants it
    for (const auto &c : m_clients) {
        if (!(c->subscriptions & mask))
            continue;
        if (isPosition && c->socket->bytesToWrite() > MaxPendingBytes) {
            ++m_droppedPositions;
            continue;
        }
        if (frame.isEmpty()) {
            frame = frameOf(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                        {QStringLiteral("method"), n.method},
                                        {QStringLiteral("params"), n.params}});
        }
        c->socket->sendTextMessage(frame);
    }
}

int Server::requestCount(const QString &method) const
{
    return m_counts.value(method, 0);
}

void Server::resetCounters()
{
    m_counts.clear();
    m_total = 0;
}

void Server::failMethod(const QString &method, int code, const QString &message)
{
    m_faults.insert(method, {code, message});
}

void Server::delayMethod(const QString &method, int ms)
{
    if (ms <= 0)
        m_delays.remove(method);
    else
        m_delays.insert(method, std::min(ms, MaxDelayMs));
}

void Server::clearFaults()
{
    m_faults.clear();
    m_delays.clear();
}

void Server::dropConnections()
{
    QVector<QPointer<QWebSocket>> sockets;
    for (const auto &c : m_clients)
        sockets.append(c->socket);
    for (const QPointer<QWebSocket> &s : sockets) {
        if (s)
            s->abort();
    }
}

NetworkChange Server::changeNetwork(int routes, int detectors)
{
    const NetworkChange change = m_world.changeNetwork(routes, detectors);
    flushNotifications();
    return change;
}

bool Server::setRole(const QString &role)
{
    if (!roles().contains(role))
        return false;
    m_defaultRole = role;
    for (const auto &c : m_clients) {
        if (c->role != role) {
            c->role = role;
            sendAllowedCommands(*c);
        }
    }
    return true;
}

QStringList Server::clientRoles() const
{
    QStringList out;
    for (const auto &c : m_clients)
        out.append(c->role);
    return out;
}

Server::Client *Server::clientFor(QWebSocket *socket)
{
    for (const auto &c : m_clients) {
        if (c->socket == socket)
            return c.get();
    }
    return nullptr;
}

void Server::onNewConnection()
{
    while (m_server->hasPendingConnections()) {
        QWebSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        if (int(m_clients.size()) >= MaxClients) {
            qCWarning(lcSim) << "turning a client away: already" << MaxClients << "clients";
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("too many clients"));
            socket->deleteLater();
            continue;
        }
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(MaxRequestBytes);
        socket->setMaxAllowedIncomingFrameSize(MaxRequestBytes);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &text) { onText(socket, text); });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket](const QByteArray &) {
            sendReply(socket, QJsonValue::Null,
                      Reply::error(Rpc::InvalidRequest,
                                   QStringLiteral("Invalid request: send JSON in text frames")));
        });
        // Queued: a socket can report its end from inside a send, while the client list is
        // being walked.
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { onDisconnected(socket); },
                Qt::QueuedConnection);
        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->role = m_defaultRole;
        Client &c = *client;
        m_clients.push_back(std::move(client));
        qCInfo(lcSim) << "client connected from" << socket->peerAddress().toString()
                      << socket->peerPort() << "as" << c.role;
        sendAllowedCommands(c);
        emit clientConnected();
    }
}

void Server::onDisconnected(QWebSocket *socket)
{
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [socket](const auto &c) { return c->socket == socket; });
    if (it == m_clients.end())
        return;
    m_clients.erase(it);
    socket->deleteLater();
    qCInfo(lcSim) << "client disconnected";
    emit clientDisconnected();
}

void Server::onText(QWebSocket *socket, const QString &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        sendReply(socket, QJsonValue::Null,
                  Reply::error(Rpc::ParseError, QStringLiteral("Parse error: ") + error.errorString()));
        return;
    }
    if (!doc.isObject()) {
        sendReply(socket, QJsonValue::Null,
                  Reply::error(Rpc::InvalidRequest,
                               QStringLiteral("Invalid request: one JSON object per frame, no batches")));
        return;
    }
    const QJsonObject request = doc.object();
    const bool hasId = request.contains(QStringLiteral("id"));
    const QJsonValue id = request.value(QStringLiteral("id"));
    if (hasId && !isValidId(id)) {
        sendReply(socket, QJsonValue::Null,
                  Reply::error(Rpc::InvalidRequest,
                               QStringLiteral("Invalid request: id must be an integer or a string")));
        return;
    }
    const QJsonValue replyId = hasId ? id : QJsonValue(QJsonValue::Null);
    if (request.value(QStringLiteral("jsonrpc")).toString() != QLatin1String("2.0")) {
        sendReply(socket, replyId,
                  Reply::error(Rpc::InvalidRequest, QStringLiteral("Invalid request: jsonrpc must be \"2.0\"")));
        return;
    }
    const QJsonValue methodValue = request.value(QStringLiteral("method"));
    if (!methodValue.isString() || methodValue.toString().isEmpty()) {
        sendReply(socket, replyId,
                  Reply::error(Rpc::InvalidRequest,
                               QStringLiteral("Invalid request: method must be a non-empty string")));
        return;
    }
    const QJsonValue params = request.value(QStringLiteral("params"));
    if (!params.isUndefined() && !params.isNull() && !params.isObject() && !params.isArray()) {
        sendReply(socket, replyId,
                  Reply::error(Rpc::InvalidRequest,
                               QStringLiteral("Invalid request: params must be an object or an array")));
        return;
    }

    const QString method = methodValue.toString();
    if (m_counts.contains(method) || m_counts.size() < MaxCountedMethods)
        ++m_counts[method];
    ++m_total;

    const int delay = m_delays.value(method, 0);
    if (delay > 0) {
        // Carried out late as well as answered late: the state changes when the answer goes.
        QTimer::singleShot(delay, socket, [this, socket, hasId, id, method, params] {
            execute(socket, hasId, id, method, params);
        });
        return;
    }
    execute(socket, hasId, id, method, params);
}

void Server::execute(QWebSocket *socket, bool answer, const QJsonValue &id, const QString &method,
                     const QJsonValue &params)
{
    Client *client = clientFor(socket);
    if (!client)
        return; // gone while the answer was held back
    bool roleChanged = false;
    Reply reply;
    const auto fault = m_faults.constFind(method);
    if (fault != m_faults.cend()) {
        reply = Reply::error(fault->code, fault->message);
    } else if (!isKnownMethod(method)) {
        reply = Reply::error(Rpc::MethodNotFound, QStringLiteral("Method not found: %1").arg(method));
    } else if (changesState(method) && client->role != Rpc::RoleOperator) {
        reply = Reply::error(Rpc::PermissionDenied, QStringLiteral("Permission denied"));
    } else if (method == Rpc::Subscribe) {
        reply = subscribe(*client, params);
    } else if (method == Rpc::SetRole) {
        const QString role = params.toObject().value(QStringLiteral("role")).toString();
        if (!roles().contains(role)) {
            reply = Reply::error(Rpc::InvalidParams,
                                 QStringLiteral("Invalid params: 'role' must be one of %1")
                                         .arg(roles().join(QStringLiteral(", "))));
        } else {
            roleChanged = client->role != role;
            client->role = role;
            reply = Reply::ok(QJsonObject{
                    {QStringLiteral("role"), role},
                    {QStringLiteral("allowed_commands"), QJsonArray::fromStringList(allowedCommands(role))}});
        }
    } else if (method == QLatin1String("PserverApp.getWebUrl")) {
        reply = Reply::ok(webUrl());
    } else if (std::optional<Reply> handled = m_handler ? m_handler(method, params) : std::nullopt) {
        reply = *handled;
    } else {
        reply = callWorld(m_world, method, params);
    }
    if (answer)
        sendReply(socket, id, reply);
    if (roleChanged)
        sendAllowedCommands(*client);
    emit requestHandled(method);
    flushNotifications();
}

Reply Server::subscribe(Client &client, const QJsonValue &params)
{
    const QJsonValue events = params.toObject().value(QStringLiteral("events"));
    if (!events.isArray())
        return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: 'events' must be a list of names"));
    const QJsonArray names = events.toArray();
    if (names.size() > MaxSubscribeNames)
        return Reply::error(Rpc::InvalidParams,
                            QStringLiteral("Invalid params: more than %1 names").arg(MaxSubscribeNames));
    quint32 add = 0;
    for (const QJsonValue &v : names) {
        if (!v.isString())
            return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: event names must be strings"));
        // Names the server does not send are left out of the answer.
        const auto bit = m_eventBits.constFind(v.toString());
        if (bit != m_eventBits.cend())
            add |= 1u << *bit;
    }
    client.subscriptions |= add;
    QJsonArray now;
    const QStringList all = notificationNames();
    for (int i = 0; i < all.size(); ++i) {
        if (client.subscriptions & (1u << i))
            now.append(all.at(i));
    }
    return Reply::ok(now);
}

void Server::sendReply(QWebSocket *socket, const QJsonValue &id, const Reply &reply)
{
    if (!reply.isError() && !reply.text.isNull()) {
        JsonText out(reply.text.size() + 64);
        out.beginObject().key(QLatin1String("id"));
        if (id.isString())
            out.value(id.toString());
        else if (id.isDouble())
            out.value(id.toDouble());
        else
            out.null();
        out.key(QLatin1String("jsonrpc")).value(QLatin1String("2.0")).key(QLatin1String("result")).raw(reply.text).endObject();
        socket->sendTextMessage(out.text());
        return;
    }
    QJsonObject message{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("id"), id}};
    if (reply.isError()) {
        message.insert(QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), reply.code},
                                                            {QStringLiteral("message"), reply.message}});
    } else {
        message.insert(QStringLiteral("result"), reply.result);
    }
    socket->sendTextMessage(frameOf(message));
}

void Server::sendAllowedCommands(Client &client)
{
    const QJsonObject message{
            {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
            {QStringLiteral("method"), Event::AllowedCommandsChanged},
            {QStringLiteral("params"),
             QJsonObject{{QStringLiteral("role"), client.role},
                         {QStringLiteral("allowed_commands"),
                          QJsonArray::fromStringList(allowedCommands(client.role))}}}};
    client.socket->sendTextMessage(frameOf(message));
}

} // namespace Sim
