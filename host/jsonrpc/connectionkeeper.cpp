#include "connectionkeeper.h"

#include <QElapsedTimer>

#include <algorithm>

#include "jsonrpcobject.h"

namespace {

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

} // namespace

ConnectionKeeper::ConnectionKeeper(JsonRpcObject *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_clock(monotonicMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionKeeper::poll);
    if (!client)
        return;
    connect(client, &JsonRpcObject::connected, this, &ConnectionKeeper::onConnected);
    connect(client, &JsonRpcObject::attemptFailed, this, &ConnectionKeeper::onAttemptFailed);
    connect(client, &JsonRpcObject::frameReceived, this, &ConnectionKeeper::onFrame);
}

void ConnectionKeeper::setBackoff(const Backoff::Options &options, std::function<double()> uniform)
{
    m_backoff = Backoff(options, std::move(uniform));
}

void ConnectionKeeper::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock(monotonicMs);
}

void ConnectionKeeper::setSilentAfterMs(int ms)
{
    m_silentAfterMs = std::max(1, ms);
    rearm();
    updateState();
}

void ConnectionKeeper::setAttemptTimeoutMs(int ms)
{
    m_attemptTimeoutMs = std::max(1, ms);
    rearm();
}

void ConnectionKeeper::start(const QUrl &url)
{
    m_url = url;
    m_started = true;
    m_attempts = 0;
    m_backoff.reset();
    m_problem.clear();
    attempt();
}

void ConnectionKeeper::stop()
{
    m_started = false;
    m_nextAttempt = -1;
    m_connecting = false;
    m_timer.stop();
    if (m_client)
        m_client->close();
    updateState();
}

void ConnectionKeeper::reconnectNow()
{
    if (!m_started || m_connecting)
        return;
    attempt();
}

void ConnectionKeeper::attempt()
{
    if (!m_client)
        return;
    m_nextAttempt = -1;
    if (m_up || m_connecting) {
        m_replacing = true;
        m_client->abort();
        m_replacing = false;
    }
    m_connecting = true;
    m_up = false;
    m_spoke = false;
    m_attemptStarted = now();
    ++m_attempts;
    updateState();
    rearm();
    // May fail at once (a bad URL): the failure comes back through onAttemptFailed.
    m_client->open(m_url);
}

void ConnectionKeeper::onConnected(bool up)
{
    m_connecting = false;
    m_up = up;
    if (up) {
        m_problem.clear();
        m_nextAttempt = -1;
        m_lastMessage = now();
    } else {
        if (m_started && !m_replacing)
            planNextAttempt(tr("The connection was lost"));
    }
    rearm();
    updateState();
}

void ConnectionKeeper::onAttemptFailed(const QString &reason)
{
    if (!m_connecting)
        return;
    m_connecting = false;
    if (m_started && !m_replacing)
        planNextAttempt(reason);
    updateState();
}

void ConnectionKeeper::onFrame()
{
    m_lastMessage = now();
    if (m_up && !m_spoke) {
        m_spoke = true;
        m_backoff.reset();
    }
    // Silence is noticed on the timer, not here: frames come by the thousand.
    if (m_reported == Silent) {
        updateState();
        rearm();
    }
}

void ConnectionKeeper::planNextAttempt(const QString &reason)
{
    m_problem = reason;
    const int delay = m_backoff.nextDelayMs();
    m_nextAttempt = delay < 0 ? -1 : now() + delay;
    rearm();
    emit problem(reason);
}

void ConnectionKeeper::poll()
{
    const qint64 t = now();
    if (m_started && m_nextAttempt >= 0 && t >= m_nextAttempt) {
        attempt();
        return;
    }
    if (m_connecting && t - m_attemptStarted >= m_attemptTimeoutMs) {
        m_connecting = false;
        const QString reason = tr("No answer from %1 within %2 s").arg(m_url.toString()).arg(m_attemptTimeoutMs / 1000.0);
        // What the socket reports now belongs to the attempt given up.
        m_replacing = true;
        if (m_client)
            m_client->abort();
        m_replacing = false;
        if (m_started)
            planNextAttempt(reason);
    }
    rearm();
    updateState();
}

void ConnectionKeeper::rearm()
{
    const qint64 t = now();
    qint64 due = -1;
    const auto earliest = [&due](qint64 at) {
        if (at >= 0 && (due < 0 || at < due))
            due = at;
    };
    if (m_started)
        earliest(m_nextAttempt);
    if (m_connecting)
        earliest(m_attemptStarted + m_attemptTimeoutMs);
    if (m_up && m_lastMessage >= 0 && m_reported != Silent)
        earliest(m_lastMessage + m_silentAfterMs + 1);
    if (due < 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(std::clamp<qint64>(due - t, 0, 24 * 3600 * 1000)));
}

ConnectionKeeper::State ConnectionKeeper::state() const
{
    if (m_up)
        return msSinceLastMessage() > m_silentAfterMs ? Silent : Connected;
    if (m_connecting)
        return Connecting;
    if (!m_started)
        return Idle;
    return m_nextAttempt >= 0 ? Waiting : GivenUp;
}

qint64 ConnectionKeeper::msUntilNextAttempt() const
{
    if (!m_started || m_nextAttempt < 0)
        return -1;
    return std::max<qint64>(0, m_nextAttempt - now());
}

qint64 ConnectionKeeper::msSinceLastMessage() const
{
    if (m_lastMessage < 0)
        return -1;
    return std::max<qint64>(0, now() - m_lastMessage);
}

void ConnectionKeeper::updateState()
{
    const State s = state();
    if (s == m_reported)
        return;
    m_reported = s;
    emit stateChanged(s);
}
