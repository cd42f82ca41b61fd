#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

#include "backoff.h"

class JsonRpcObject;

// Keeps a JsonRpcObject connected to one server: opens the connection, and after a loss or a
// failed attempt opens it again after the waits of a Backoff, which starts over once a new
// connection has carried a message from the server (a server that takes the connection and
// drops it at once is not a success). An attempt that neither connects nor fails within
// attemptTimeoutMs is given up and counts as failed.
//
// It also tells how the connection is doing: the state, the time to the next attempt, the
// time since the server's last message, and whether a connection that is up has been silent
// (no notification and no answer) for longer than silentAfterMs.
//
// Time is read from a clock that tests may replace; the keeper's timer only wakes it, and
// poll() does what is due by that clock.
class JSONRPC_EXPORT ConnectionKeeper : public QObject
{
    Q_OBJECT
public:
    enum State {
        Idle,       // not started, or stopped
        Connecting, // an attempt is under way
        Connected,  // up, and the server spoke lately
        Silent,     // up, but nothing from the server for longer than silentAfterMs
        Waiting,    // down; the next attempt is planned
        GivenUp,    // down, and the backoff says never to try again
    };
    Q_ENUM(State)

    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    static constexpr int DefaultSilentAfterMs = 10000;
    static constexpr int DefaultAttemptTimeoutMs = 15000;

    explicit ConnectionKeeper(JsonRpcObject *client, QObject *parent = nullptr);

    void setBackoff(const Backoff::Options &options, std::function<double()> uniform = {});
    void setClock(Clock clock);
    void setSilentAfterMs(int ms);
    int silentAfterMs() const { return m_silentAfterMs; }
    void setAttemptTimeoutMs(int ms);

    // Connects to url now, and keeps it connected from then on.
    void start(const QUrl &url);
    // Closes the connection and tries no more.
    void stop();
    // Opens the connection again at once, whatever the wait (the backoff goes on from where
    // it was); a connection that is up is replaced, an attempt under way left to finish.
    void reconnectNow();

    QUrl url() const { return m_url; }
    State state() const;
    bool isUp() const { return m_up; }
    // Until the planned attempt; -1 when none is planned.
    qint64 msUntilNextAttempt() const;
    // Since the last message from the server, on this connection or, while down, on the
    // last one (a connection coming up counts as one); -1 before the first connection.
    qint64 msSinceLastMessage() const;
    // Why the last attempt failed or the last connection ended; empty while connected.
    QString lastProblem() const { return m_problem; }
    // Attempts made since start().
    int attempts() const { return m_attempts; }

public slots:
    // Makes the attempt that is due, gives up one that took too long, notices silence.
    void poll();

signals:
    void stateChanged(ConnectionKeeper::State state);
    // An attempt failed or a connection ended, and why.
    void problem(const QString &reason);

private:
    void attempt();
    void onConnected(bool up);
    void onAttemptFailed(const QString &reason);
    void onFrame();
    void planNextAttempt(const QString &reason);
    void rearm();
    void updateState();
    qint64 now() const { return m_clock(); }

    QPointer<JsonRpcObject> m_client;
    Backoff m_backoff;
    Clock m_clock;
    QTimer m_timer;
    QUrl m_url;
    QString m_problem;
    State m_reported = Idle;
    bool m_started = false;
    bool m_connecting = false;
    bool m_up = false;
    bool m_spoke = false;
    // What the connection or attempt being replaced reports is no loss.
    bool m_replacing = false;
    int m_silentAfterMs = DefaultSilentAfterMs;
    int m_attemptTimeoutMs = DefaultAttemptTimeoutMs;
    int m_attempts = 0;
    qint64 m_attemptStarted = 0;
    qint64 m_nextAttempt = -1;
    qint64 m_lastMessage = -1;
};
