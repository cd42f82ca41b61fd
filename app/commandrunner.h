#pragma once

#include <QObject>
#include <QPointer>
#include <QVariant>

#include "operatorcommand.h"

class CommandLog;
class DemoHost;
class QWidget;

// The one way the console's operator commands go out. A safety-critical command is asked
// about first (Enter sends, Esc cancels), unless the operator turned the question off. The
// command goes to the plug-in, which posts it through the host's JSON-RPC client: the
// runner follows that request's answer, and the server's notifications, to settle the
// command's entry in the log: confirmed when a notification shows the change, refused with
// the server's reason, or unconfirmed after confirmTimeout().
class CommandRunner : public QObject
{
    Q_OBJECT
public:
    CommandRunner(DemoHost *host, CommandLog *log, QWidget *window);

    // Whether safety-critical commands are asked about first; kept in the settings.
    bool asksFirst() const { return m_askFirst; }
    void setAsksFirst(bool ask);

    int confirmTimeout() const { return m_timeoutMs; }
    void setConfirmTimeout(int ms) { m_timeoutMs = ms; }
    static constexpr int ConfirmTimeoutMs = 10000;
    static const QString AskFirstKey;

    // Whether the server lets the current role call the method (true while it has not said).
    bool isAllowed(const QString &method) const;
    QString role() const;

    // Asks where needed, then sends. The question names the object and the action.
    void run(const OperatorCommand &command);
    // Sends at once (a dialog has asked already); the command's id in the log.
    int send(const OperatorCommand &command);
    // Runs the inverse of a logged command.
    void revert(int logId);

signals:
    // "12:03:44 Board B1002 locked": the server's notification shows the change.
    void confirmed(int logId, const QString &line);
    // Why the command did not go through, in plain words.
    void refused(int logId, const QString &text);
    // The server's answer (not its notification) to a sent command.
    void answered(int logId, bool accepted);
    void permissionsChanged();

private:
    void onAnswer(int logId, QObject *response);
    void onNotification(const QString &method, const QVariant &params);
    void refuse(int logId, bool sent, const QString &reason);

    DemoHost *m_host;
    CommandLog *m_log;
    QPointer<QWidget> m_window;
    bool m_askFirst = true;
    int m_timeoutMs = ConfirmTimeoutMs;
};
