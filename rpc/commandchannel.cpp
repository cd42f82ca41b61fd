// Every request to the server goes through here: posted through the host's JSON-RPC object,
// answered asynchronously through a callback or synchronously within a time limit.
// A failed internal (loading) request stops the plug-in and schedules its restart; a failed
// host request is only reported through rpcError.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include <QEventLoop>
#include <QTimer>

#include <memory>

#include "jsonrpc/response.h"

using namespace PrioLog;

namespace {

// Asks the JSON-RPC object to queue one request; null when the call fails or answers with
// anything but a JsonRpcResponse.
JsonRpcResponse *invokePostCommand(QObject *rpc, const QString &method, const QVariant &params)
{
    QObject *answer = nullptr;
    const bool invoked = QMetaObject::invokeMethod(rpc, "postCommand", Qt::AutoConnection,
                                                   Q_RETURN_ARG(QObject *, answer),
                                                   Q_ARG(QString, method), Q_ARG(QVariant, params));
    if (!invoked || !answer)
        return nullptr;
    return qobject_cast<JsonRpcResponse *>(answer);
}

enum class SyncOutcome {
    NotSent,     // no JSON-RPC object attached
    PostFailed,  // the object did not take the request
    Answered,    // the response finished; read it
    NoAnswer,    // time-out, or the response went away before it finished
    PluginGone,  // the plug-in itself was destroyed while waiting: touch nothing
};

// Posts and waits in a local event loop for the answer, at most timeoutMs. Everything runs
// meanwhile, so the JSON-RPC object, the response and the plug-in may all be destroyed.
SyncOutcome postAndWait(PriorityPlugin *plugin, QObject *rpc, const QString &method,
                        const QVariant &params, int timeoutMs, QPointer<JsonRpcResponse> &response)
{
    if (!rpc)
        return SyncOutcome::NotSent;
    JsonRpcResponse *posted = invokePostCommand(rpc, method, params);
    if (!posted)
        return SyncOutcome::PostFailed;
    response = posted;

    if (!posted->isFinished()) {
        QPointer<PriorityPlugin> self(plugin);
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(posted, &Response::finished, &loop, &QEventLoop::quit);
        QObject::connect(posted, &QObject::destroyed, &loop, &QEventLoop::quit);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(plugin, &QObject::destroyed, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
        loop.exec();
        if (!self)
            return SyncOutcome::PluginGone;
    }
    if (!response || !response->isFinished())
        return SyncOutcome::NoAnswer;
    return SyncOutcome::Answered;
}

} // namespace

bool PriorityPlugin::postRpcCommand(const QString &method, const QVariant &params,
                                    ResponseCallback callback, bool userCommand)
{
    QObject *rpc = currentRpc();
    if (!rpc)
        return false;

    JsonRpcResponse *response = invokePostCommand(rpc, method, params);
    if (!response) {
        emit rpcError(tr("Invoke '%1' failed").arg(method));
        if (!userCommand)
            stop(true);
        return false;
    }

    // The completion record: it lives in the connection and goes with it. An answer
    // belongs to the session it was asked in: after a stop or a change of the connection
    // (a "Connection lost" failure comes after connected(false)) it fills nothing and
    // stops nothing.
    QPointer<QObject> postedTo(rpc);
    QPointer<JsonRpcResponse> guardedResponse(response);
    const quint64 askedIn = m_session;
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(response, &Response::finished, this,
                          [this, postedTo, guardedResponse, callback = std::move(callback),
                           userCommand, askedIn, connection]() {
                              QObject::disconnect(*connection);
                              JsonRpcResponse *answer = guardedResponse.data();
                              QObject *current = currentRpc();
                              if (!answer || !current || current != postedTo.data() || askedIn != m_session)
                                  return;
                              if (answer->isError()) {
                                  handleResponseError(answer, userCommand);
                                  return;
                              }
                              if (callback)
                                  callback(answer->result());
                          });
    return true;
}

QVariant PriorityPlugin::execRpcCommand(const QString &method, const QVariant &params, int timeout,
                                        bool userCommand)
{
    QPointer<JsonRpcResponse> response;
    const quint64 askedIn = m_session;
    switch (postAndWait(this, currentRpc(), method, params, timeout, response)) {
    case SyncOutcome::NotSent:
    case SyncOutcome::NoAnswer:
    case SyncOutcome::PluginGone:
        return QVariant();
    case SyncOutcome::PostFailed:
        emit rpcError(tr("Invoke '%1' failed").arg(method));
        if (!userCommand)
            stop(true);
        return QVariant();
    case SyncOutcome::Answered:
        break;
    }
    if (response->isError()) {
        // An internal request of an earlier session stops nothing.
        if (userCommand || askedIn == m_session)
            handleResponseError(response, userCommand);
        return QVariant();
    }
    return response->result();
}

QVariant PriorityPlugin::execRpcCommand(const QString &method, const QVariant &params, int timeout,
                                        ResponseCallback onError)
{
    QPointer<JsonRpcResponse> response;
    switch (postAndWait(this, currentRpc(), method, params, timeout, response)) {
    case SyncOutcome::NotSent:
    case SyncOutcome::NoAnswer:
    case SyncOutcome::PluginGone:
        return QVariant();
    case SyncOutcome::PostFailed:
        if (onError)
            onError(QVariant());
        return QVariant();
    case SyncOutcome::Answered:
        break;
    }
    if (response->isError()) {
        if (onError)
            onError(response->error());
        return QVariant();
    }
    return response->result();
}

void PriorityPlugin::handleResponseError(JsonRpcResponse *response, bool userCommand)
{
    if (!response || !response->isError())
        return;

    const QVariantMap errorObject = response->error().toMap();
    const int code = errorObject.value(QStringLiteral("code")).toInt();
    const QString message = errorObject.value(QStringLiteral("message")).toString();
    const QString method = response->requestMethod();

    // -32000: the user has no permission for the method.
    if (!userCommand) {
        if (code == -32000)
            awaitingPermissions = true;
        // One pass over the template, so that a '%' in the server's message stays as it is.
        const QString text = tr("Response on method '%1' error: code %2, message: %3")
                                 .arg(method, QString::number(code), message);
        error(text);
        stop(true);
        emit rpcError(text);
    } else if (code == -32000) {
        emit rpcError(tr("You have no permissions for command '%1'").arg(method));
    } else {
        emit rpcError(tr("code: %1, message: %2").arg(QString::number(code), message));
    }
}
