#include "replayer.h"

#include "server.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace Sim {

namespace {

// The slider of a player moves at least this often while playing.
constexpr int MaxTimerMs = 200;

} // namespace

Replayer::Replayer(Recording recording, Server *server, QObject *parent)
    : QObject(parent)
    , m_recording(std::move(recording))
    , m_server(server)
    , m_moment(m_recording.initial())
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Replayer::onTimer);
    if (m_server) {
        m_server->setRole(Rpc::RoleObserver);
        m_server->setMethodHandler([this](const QString &method, const QJsonValue &params) {
            return m_recording.answer(m_moment, method, params);
        });
    }
}

Replayer::~Replayer()
{
    if (m_server)
        m_server->setMethodHandler({});
}

double Replayer::position() const
{
    if (!m_playing)
        return m_moment.t;
    return std::min(duration(), m_wallBase + m_wall.elapsed() / 1000.0 * m_speed);
}

QDateTime Replayer::timeAt(double t) const
{
    return m_recording.start().addMSecs(qint64(std::llround(t * 1000.0)));
}

void Replayer::play()
{
    if (m_playing)
        return;
    if (m_moment.t >= duration())
        seek(0.0);
    m_playing = true;
    m_wallBase = m_moment.t;
    m_wall.start();
    emit playingChanged(true);
    schedule();
}

void Replayer::pause()
{
    if (!m_playing)
        return;
    advanceTo(position());
    m_playing = false;
    m_timer.stop();
    emit playingChanged(false);
}

void Replayer::setSpeed(double speed)
{
    if (!std::isfinite(speed))
        return;
    speed = std::clamp(speed, MinSpeed, MaxSpeed);
    if (speed == m_speed)
        return;
    if (m_playing) {
        // The clock goes on from where it is, at the new pace.
        m_wallBase = position();
        m_wall.start();
    }
    m_speed = speed;
    emit speedChanged(speed);
    schedule();
}

void Replayer::send(const Notification &n)
{
    if (m_server)
        m_server->sendNotification(n.method, n.params);
}

void Replayer::advanceTo(double t)
{
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, duration());
    const QVector<Recording::Entry> &entries = m_recording.entries();
    const QStringList methods = notificationNames();
    QPointer<Replayer> self(this);
    while (m_moment.next < entries.size() && entries.at(m_moment.next).t <= t) {
        const Recording::Entry &e = entries.at(m_moment.next);
        // Applied before it is sent: a client that asks at once hears the new state.
        m_recording.applyNext(m_moment);
        if (e.kind == Recording::Kind::Notification) {
            const QJsonObject line = m_recording.line(e);
            send({methods.at(e.method), line.value(QLatin1String("params"))});
            if (!self)
                return;
        }
    }
    m_moment.t = std::max(m_moment.t, t);
    emit positionChanged(m_moment.t);
}

void Replayer::seek(double t)
{
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, duration());
    const ReplayMoment next = m_recording.momentAt(m_moment, t);
    const QVector<Notification> changes = m_recording.difference(m_moment, next);
    m_moment = next;
    if (m_playing) {
        m_wallBase = t;
        m_wall.start();
    }
    QPointer<Replayer> self(this);
    for (const Notification &n : changes) {
        send(n);
        if (!self)
            return;
    }
    emit positionChanged(t);
    schedule();
}

void Replayer::onTimer()
{
    if (!m_playing)
        return;
    const double t = position();
    advanceTo(t);
    if (t >= duration()) {
        m_playing = false;
        emit playingChanged(false);
        emit finished();
        return;
    }
    schedule();
}

void Replayer::schedule()
{
    if (!m_playing) {
        m_timer.stop();
        return;
    }
    const QVector<Recording::Entry> &entries = m_recording.entries();
    const double next = m_moment.next < entries.size() ? entries.at(m_moment.next).t : duration();
    const double waitS = std::max(0.0, (next - position()) / m_speed);
    m_timer.start(int(std::min<double>(MaxTimerMs, std::ceil(waitS * 1000.0))));
}

} // namespace Sim
