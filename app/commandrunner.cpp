#include "commandrunner.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTime>
#include <QTimer>

#include "commandlog.h"
#include "demohost.h"
#include "jsonrpc/jsonrpcobject.h"

const QString CommandRunner::AskFirstKey = QStringLiteral("Demo/ask_before_commands");

CommandRunner::CommandRunner(DemoHost *host, CommandLog *log, QWidget *window)
    : QObject(window)
    , m_host(host)
    , m_log(log)
    , m_window(window)
    , m_askFirst(QSettings().value(AskFirstKey, true).toBool())
{
    connect(host->rpcClient(), &JsonRpcObject::notification, this, &CommandRunner::onNotification);
    connect(host->rpcService(), &JsonRpcPlugin::allowedCommandsChanged, this, &CommandRunner::permissionsChanged);
}

void CommandRunner::setAsksFirst(bool ask)
{
    m_askFirst = ask;
    QSettings().setValue(AskFirstKey, ask);
}

bool CommandRunner::isAllowed(const QString &method) const
{
    const QStringList allowed = m_host->rpcService()->allowedCommands();
    return (allowed.isEmpty() && role().isEmpty()) || allowed.contains(method);
}

QString CommandRunner::role() const
{
    return m_host->rpcService()->role();
}

void CommandRunner::run(const OperatorCommand &command)
{
    if (!m_askFirst || !command.isSafetyCritical()) {
        send(command);
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Question, tr("Confirm command"), command.question(),
                                QMessageBox::NoButton, m_window);
    box->setObjectName(QStringLiteral("confirmCommand"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *go = box->addButton(command.confirmButtonText(), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(go);
    box->setEscapeButton(QMessageBox::Cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, go, command](QAbstractButton *button) {
        if (button == go)
            send(command);
    });
    box->open();
}

int CommandRunner::send(const OperatorCommand &command)
{
    JsonRpcObject *client = m_host->rpcClient();
    QObject *newest = client->children().isEmpty() ? nullptr : client->children().constLast();
    const bool called = command.send(m_host->plugin());
    // The plug-in posts on the client within the call: the request's answer object is the
    // client's newest child.
    auto *response = client->children().isEmpty() ? nullptr : qobject_cast<JsonRpcResponse *>(client->children().constLast());
    if (response == newest || (response && response->requestMethod() != command.method()))
        response = nullptr;

    const int id = m_log->add(command);
    if (!response) {
        refuse(id, false, called ? tr("the plug-in is not attached to a server") : tr("the plug-in did not take it"));
        return id;
    }
    QPointer<JsonRpcResponse> guarded(response);
    // The client finishes a request it could not send from the event loop, like any answer.
    connect(response, &Response::finished, this, [this, id, guarded] { onAnswer(id, guarded); });
    QTimer::singleShot(m_timeoutMs, this, [this, id] { m_log->settle(id, CommandLog::Unconfirmed); });
    return id;
}

void CommandRunner::revert(int logId)
{
    const CommandLog::Entry *entry = m_log->entry(logId);
    if (!entry || !m_log->canRevert(logId))
        return;
    run(*entry->command.inverse());
}

void CommandRunner::onAnswer(int logId, QObject *object)
{
    auto *response = qobject_cast<JsonRpcResponse *>(object);
    const CommandLog::Entry *entry = m_log->entry(logId);
    if (!response || !entry)
        return;
    if (response->isError()) {
        const int code = response->errorCode();
        refuse(logId, code != JsonRpcObject::ClientErrorNotConnected,
               OperatorCommand::refusalReason(code, response->errorMessage(), role()));
        emit answered(logId, false);
        return;
    }
    if (entry->command.confirmedByAnswer()) {
        const QString done = entry->command.doneText();
        m_log->settle(logId, CommandLog::Confirmed);
        emit confirmed(logId, QStringLiteral("%1 %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), done));
    } else {
        m_log->setAccepted(logId);
    }
    emit answered(logId, true);
}

void CommandRunner::onNotification(const QString &method, const QVariant &params)
{
    if (params.type() != QVariant::Map)
        return;
    const QVariantMap record = params.toMap();
    // Identical commands are confirmed one notification each, oldest first.
    for (int id : m_log->openIds()) {
        const CommandLog::Entry *entry = m_log->entry(id);
        if (!entry->command.confirmedBy(method, record))
            continue;
        const QString done = entry->command.doneText();
        m_log->settle(id, CommandLog::Confirmed);
        emit confirmed(id, QStringLiteral("%1 %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), done));
        return;
    }
}

void CommandRunner::refuse(int logId, bool sent, const QString &reason)
{
    const CommandLog::Entry *entry = m_log->entry(logId);
    if (!entry)
        return;
    const QString text = entry->command.refusalText(reason, sent);
    m_log->settle(logId, sent ? CommandLog::Refused : CommandLog::NotSent, reason);
    emit refused(logId, text);
}
