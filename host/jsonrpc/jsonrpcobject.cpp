#include "jsonrpcobject.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <limits>
#include <utility>

#include "framequeue.h"

Q_LOGGING_CATEGORY(lcJsonRpc, "host.jsonrpc")

namespace {

const QString KeyJsonRpc = QStringLiteral("jsonrpc");
const QString KeyId = QStringLiteral("id");
const QString KeyMethod = QStringLiteral("method");
const QString KeyParams = QStringLiteral("params");
const QString KeyResult = QStringLiteral("result");
const QString KeyError = QStringLiteral("error");
const QString Version = QStringLiteral("2.0");

// Our ids are positive ints, exact as JSON numbers (doubles) up to 2^53.
constexpr qint64 MaxExactId = qint64(1) << 53;

bool isString(const QVariant &value)
{
    return value.userType() == QMetaType::QString;
}

// Whole numbers arrive as qlonglong (see JsonFrameReader), the others as double.
bool toId(const QVariant &value, qint64 *id)
{
    if (value.userType() != QMetaType::LongLong)
        return false;
    const qint64 n = value.toLongLong();
    if (n < 1 || n > MaxExactId)
        return false;
    *id = n;
    return true;
}

bool toInt(const QVariant &value, int *out)
{
    if (value.userType() != QMetaType::LongLong)
        return false;
    const qint64 n = value.toLongLong();
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        return false;
    *out = int(n);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------
// JsonRpcObject

struct JsonRpcObject::SocketCallbackScope
{
    explicit SocketCallbackScope(JsonRpcObject *object)
        : self(object)
    {
        ++object->m_socketCallbacks;
    }
    ~SocketCallbackScope()
    {
        if (self)
            --self->m_socketCallbacks;
    }
    QPointer<JsonRpcObject> self;
};

JsonRpcObject::JsonRpcObject(QObject *parent)
    : QObject(parent)
    , m_socket(new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this))
    , m_frames(new FrameQueue([this](const QVariant &value, const QString &error) { onFrame(value, error); }, this))
    , m_disposalTimer(new QTimer(this))
{
    m_disposalTimer->setSingleShot(true);
    connect(m_disposalTimer, &QTimer::timeout, this, &JsonRpcObject::disposeExpired);
    m_socket->setMaxAllowedIncomingFrameSize(MaxFrameBytes);
    m_socket->setMaxAllowedIncomingMessageSize(MaxFrameBytes);
    connect(m_socket, &QWebSocket::connected, this, &JsonRpcObject::onSocketConnected);
    connect(m_socket, &QWebSocket::disconnected, this, &JsonRpcObject::onSocketDisconnected);
    connect(m_socket, &QWebSocket::textMessageReceived, this, &JsonRpcObject::onTextMessage);
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray &data) {
        SocketCallbackScope scope(this);
        emit protocolError(tr("Binary frame of %1 bytes ignored: messages are text frames")
                               .arg(data.size()));
    });
    connect(m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError error) {
                // A server going away is reported by connected(false), not as a fault.
                if (error == QAbstractSocket::RemoteHostClosedError)
                    return;
                SocketCallbackScope scope(this);
                emit protocolError(tr("Socket error: %1").arg(m_socket->errorString()));
            });
    connect(m_socket, &QWebSocket::sslErrors, this, &JsonRpcObject::onSslErrors);
}

JsonRpcObject::~JsonRpcObject()
{
    // The socket's own teardown may still report a disconnection; nobody is left to hear it.
    m_socket->disconnect(this);
    if (m_socketCallbacks > 0) {
        // Deleted from a handler of one of the socket's signals, which is still on the stack.
        m_socket->setParent(nullptr);
        m_socket->deleteLater();
    }
}

void JsonRpcObject::open(const QUrl &url)
{
    m_url = url;
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_failure.clear();
    m_socket->open(url);
}

void JsonRpcObject::close()
{
    // A socket still connecting has no closing handshake to make.
    if (m_connected)
        m_socket->close();
    else
        m_socket->abort();
}

void JsonRpcObject::abort()
{
    m_socket->abort();
}

void JsonRpcObject::setSslConfiguration(const QSslConfiguration &configuration)
{
    m_socket->setSslConfiguration(configuration);
}

void JsonRpcObject::onSslErrors(const QList<QSslError> &errors)
{
    // Never ignored: the socket ends the handshake once this returns.
    QStringList why;
    for (const QSslError &e : errors)
        why << e.errorString();
    m_failure = tr("The certificate of %1 is refused: %2").arg(m_url.host(), why.join(QStringLiteral("; ")));
}

bool JsonRpcObject::isConnected() const
{
    return m_connected;
}

QObject *JsonRpcObject::postCommand(const QString &method, const QVariant &params)
{
    auto *response = new JsonRpcResponse(method, params, this);
    scheduleDisposal(response);

    if (!m_connected) {
        // Callers connect to finished() after this returns, so the failure waits for the
        // event loop like any answer would.
        QTimer::singleShot(0, response, [response] {
            response->finishWithError(ClientErrorNotConnected, tr("Not connected"));
        });
        return response;
    }

    const qint64 id = m_nextId++;
    m_queue.append({id, response, requestText(id, method, params)});
    m_pending.insert(id, response);
    scheduleFlush();
    return response;
}

// The request as QJsonDocument writes {"jsonrpc", "id", "method", "params"} compactly, its
// members in key order, put together around the method and the params as Qt's writer spells
// them: a city's 12 000 requests spent more on the envelope object than on the rest.
QString JsonRpcObject::requestText(qint64 id, const QString &method, const QVariant &params)
{
    auto quoted = m_quotedMethods.constFind(method);
    if (quoted == m_quotedMethods.cend()) {
        if (m_quotedMethods.size() >= MaxQuotedMethods)
            m_quotedMethods.clear();
        quoted = m_quotedMethods.insert(method, compactJson(QJsonValue(method)));
    }
    QByteArray text;
    text.reserve(64 + quoted->size());
    text += "{\"id\":";
    text += QByteArray::number(id);
    text += ",\"jsonrpc\":\"2.0\",\"method\":";
    text += *quoted;
    // An undefined value is no member at all, as QJsonObject::insert() takes it.
    const QJsonValue value = params.isValid() ? QJsonValue::fromVariant(params) : QJsonValue(QJsonValue::Undefined);
    if (!value.isUndefined()) {
        text += ",\"params\":";
        text += compactJson(value);
    }
    text += '}';
    return QString::fromUtf8(text);
}

QByteArray JsonRpcObject::compactJson(const QJsonValue &value)
{
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    // Inside "[" and "]".
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

void JsonRpcObject::subscribe(const QStringList &events)
{
    postCommand(QStringLiteral("subscribe"), QVariantMap{{QStringLiteral("events"), events}});
}

void JsonRpcObject::onSocketConnected()
{
    SocketCallbackScope scope(this);
    m_connected = true;
    QPointer<JsonRpcObject> self(this);
    emit connected(true);
    // Owners wait for requestQueueEmpty() after connecting even when they post nothing.
    if (self)
        scheduleFlush();
}

void JsonRpcObject::onSocketDisconnected()
{
    SocketCallbackScope scope(this);
    QPointer<JsonRpcObject> self(this);
    // What came before the drop is handled before it, as it would have been had it been
    // read at once.
    m_frames->handOnAll();
    if (!self)
        return;
    const bool wasConnected = m_connected;
    m_connected = false;
    if (wasConnected) {
        emit connected(false);
    } else {
        const QString reason = !m_failure.isEmpty() ? m_failure : m_socket->errorString();
        m_failure.clear();
        emit attemptFailed(reason);
    }
    if (self)
        failAll(ClientErrorNotConnected, tr("Connection lost"));
}

void JsonRpcObject::scheduleFlush()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, &JsonRpcObject::flushQueue, Qt::QueuedConnection);
}

void JsonRpcObject::flushQueue()
{
    m_flushQueued = false;
    // After a disconnection the queue was failed already; a later connection starts empty.
    if (!m_connected)
        return;
    const QVector<Queued> queue = std::exchange(m_queue, {});
    for (const Queued &q : queue) {
        if (!m_connected)
            break;
        // An answer can only be matched to a request that has gone out; a response that
        // was finished or deleted meanwhile needs no sending.
        if (!q.response || q.response->isFinished()) {
            m_pending.remove(q.id);
            continue;
        }
        m_socket->sendTextMessage(q.frame);
    }
    if (m_queue.isEmpty())
        emit requestQueueEmpty();
}

void JsonRpcObject::onTextMessage(const QString &message)
{
    SocketCallbackScope scope(this);
    emit frameReceived();
    if (!scope.self)
        return;
    if (message.size() > MaxFrameBytes) {
        emit protocolError(tr("Frame of %1 characters exceeds the limit").arg(message.size()));
        return;
    }
    m_frames->push(message);
}

void JsonRpcObject::onFrame(const QVariant &value, const QString &error)
{
    if (!value.isValid()) {
        emit protocolError(tr("Frame is not valid JSON: %1").arg(error));
        return;
    }
    if (value.userType() != QMetaType::QVariantMap) {
        emit protocolError(tr("Frame is not a JSON object"));
        return;
    }
    handleMessage(value.toMap());
}

void JsonRpcObject::handleMessage(const QVariantMap &message)
{
    const QVariant version = message.value(KeyJsonRpc);
    if (!isString(version) || version.toString() != Version) {
        emit protocolError(tr("Message without \"jsonrpc\": \"2.0\""));
        return;
    }

    if (message.contains(KeyMethod)) {
        const QVariant method = message.value(KeyMethod);
        const QString name = isString(method) ? method.toString() : QString();
        if (message.contains(KeyId)) {
            emit protocolError(tr("Requests from the server are not supported (method %1)").arg(name));
            return;
        }
        if (name.isEmpty()) {
            emit protocolError(tr("Notification without a method name"));
            return;
        }
        QVariant params;
        if (message.contains(KeyParams)) {
            params = message.value(KeyParams);
            if (params.userType() != QMetaType::QVariantMap && params.userType() != QMetaType::QVariantList) {
                emit protocolError(tr("Notification %1 has params that are neither an object nor an "
                                      "array")
                                       .arg(name));
                return;
            }
        }
        emit notification(name, params);
        return;
    }

    if (!message.contains(KeyId)) {
        emit protocolError(tr("Message with neither \"id\" nor \"method\""));
        return;
    }
    const QVariant idValue = message.value(KeyId);
    if (idValue.userType() == QMetaType::Nullptr) {
        // The server could not tell which request it answers (e.g. it could not parse one).
        const QVariantMap e = message.value(KeyError).toMap();
        int code = 0;
        toInt(e.value(QStringLiteral("code")), &code);
        const QVariant text = e.value(QStringLiteral("message"));
        emit protocolError(tr("Server error without a request id: %1 (code %2)")
                               .arg(isString(text) ? text.toString() : QString())
                               .arg(code));
        return;
    }
    qint64 id = 0;
    if (!toId(idValue, &id)) {
        emit protocolError(tr("Answer with an id that no request can have"));
        return;
    }
    const auto it = m_pending.find(id);
    if (it == m_pending.end()) {
        emit protocolError(tr("Answer to unknown request id %1").arg(id));
        return;
    }
    const QPointer<JsonRpcResponse> response = it.value();
    m_pending.erase(it);
    if (response)
        handleAnswer(response, id, message);
}

void JsonRpcObject::handleAnswer(JsonRpcResponse *response, qint64 id, const QVariantMap &message)
{
    const bool hasResult = message.contains(KeyResult);
    const bool hasError = message.contains(KeyError);
    // The server will not answer this id again, so a broken answer still finishes the
    // request rather than leaving its caller waiting for ever.
    const QPointer<JsonRpcResponse> guard(response);
    auto invalid = [&](const QString &why) {
        QPointer<JsonRpcObject> self(this);
        emit protocolError(why);
        if (self && guard)
            guard->finishWithError(ClientErrorInvalidResponse, why);
    };

    if (hasResult && hasError) {
        invalid(tr("Answer to request %1 (%2) has both result and error")
                    .arg(id)
                    .arg(response->requestMethod()));
        return;
    }
    if (hasError) {
        const QVariant e = message.value(KeyError);
        const QVariantMap error = e.toMap();
        int code = 0;
        if (e.userType() != QMetaType::QVariantMap || !toInt(error.value(QStringLiteral("code")), &code)
            || !isString(error.value(QStringLiteral("message")))) {
            invalid(tr("Answer to request %1 (%2) has a malformed error object")
                        .arg(id)
                        .arg(response->requestMethod()));
            return;
        }
        response->finishWithError(code, error.value(QStringLiteral("message")).toString(),
                                  error.value(QStringLiteral("data")));
        return;
    }
    if (hasResult) {
        response->finishWithResult(message.value(KeyResult));
        return;
    }
    invalid(tr("Answer to request %1 (%2) has neither result nor error")
                .arg(id)
                .arg(response->requestMethod()));
}

void JsonRpcObject::failAll(int code, const QString &message)
{
    m_queue.clear();
    const QHash<qint64, QPointer<JsonRpcResponse>> pending = std::exchange(m_pending, {});
    QList<qint64> ids = pending.keys();
    std::sort(ids.begin(), ids.end());
    // Handlers may post, reconnect or delete this object while we go through the list.
    QPointer<JsonRpcObject> self(this);
    for (qint64 id : qAsConst(ids)) {
        if (!self)
            return;
        if (const QPointer<JsonRpcResponse> response = pending.value(id))
            response->finishWithError(code, message);
    }
}

void JsonRpcObject::scheduleDisposal(JsonRpcResponse *response)
{
    connect(response, &Response::finished, this, [this, response] {
        m_finished.append({response, QDeadlineTimer(ResponseLifetimeMs)});
        if (!m_disposalTimer->isActive())
            m_disposalTimer->start(ResponseLifetimeMs);
    });
}

void JsonRpcObject::disposeExpired()
{
    int expired = 0;
    while (expired < m_finished.size() && m_finished.at(expired).second.hasExpired())
        ++expired;
    for (int i = 0; i < expired; ++i) {
        if (JsonRpcResponse *response = m_finished.at(i).first)
            response->deleteLater();
    }
    m_finished.remove(0, expired);
    if (!m_finished.isEmpty())
        m_disposalTimer->start(int(std::max<qint64>(1, m_finished.constFirst().second.remainingTime())));
}

// ---------------------------------------------------------------------------------------
// JsonRpcPlugin

JsonRpcPlugin::JsonRpcPlugin(QObject *parent)
    : QObject(parent)
    , m_client(new JsonRpcObject(this))
{
    connect(m_client, &JsonRpcObject::notification, this, &JsonRpcPlugin::onNotification);
    connect(m_client, &JsonRpcObject::connected, this, &JsonRpcPlugin::onConnected);
    connect(m_client, &JsonRpcObject::protocolError, this, [](const QString &message) {
        qCWarning(lcJsonRpc, "%s", qUtf8Printable(message));
    });
}

void JsonRpcPlugin::onConnected(bool connected)
{
    // Permissions belong to a session; the server states them afresh on every connection.
    if (connected || (m_role.isEmpty() && m_allowed.isEmpty()))
        return;
    m_role.clear();
    m_allowed.clear();
    emit allowedCommandsChanged();
}

void JsonRpcPlugin::onNotification(const QString &method, const QVariant &params)
{
    if (method != QLatin1String("Session.allowedCommandsChanged"))
        return;
    const QVariantMap map = params.toMap();
    const QVariant role = map.value(QStringLiteral("role"));
    const QVariant commands = map.value(QStringLiteral("allowed_commands"));
    if (params.type() != QVariant::Map || role.type() != QVariant::String
        || commands.type() != QVariant::List) {
        qCWarning(lcJsonRpc, "Ignoring %s without a role string and an allowed_commands list",
                  qUtf8Printable(method));
        return;
    }
    const QVariantList list = commands.toList();
    if (list.size() > MaxAllowedCommands) {
        qCWarning(lcJsonRpc, "Ignoring %s with %d commands (at most %d)", qUtf8Printable(method),
                  list.size(), MaxAllowedCommands);
        return;
    }
    QStringList allowed;
    allowed.reserve(list.size());
    for (const QVariant &command : list) {
        if (command.type() != QVariant::String) {
            qCWarning(lcJsonRpc, "Ignoring %s with a command that is not a string",
                      qUtf8Printable(method));
            return;
        }
        allowed.append(command.toString());
    }
    if (role.toString() == m_role && allowed == m_allowed)
        return;
    m_role = role.toString();
    m_allowed = allowed;
    emit allowedCommandsChanged();
}
