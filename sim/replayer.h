#pragma once

#include "recording.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

namespace Sim {

class Server;

// Plays a recording through a server: the server answers every query as the recorded one
// would have at the moment reached, and sends the recorded notifications at the recorded
// pace, times the speed. Seeking sends the notifications that bring a client from the moment
// it saw to the new one. Clients are observers: a replay takes no commands.
class Replayer : public QObject
{
    Q_OBJECT
public:
    static constexpr double MinSpeed = 1.0 / 64.0;
    static constexpr double MaxSpeed = 1024.0;

    // The server is the caller's and must have its own clock stopped (tick interval 0).
    Replayer(Recording recording, Server *server, QObject *parent = nullptr);
    ~Replayer() override;

    const Recording &recording() const { return m_recording; }
    double duration() const { return m_recording.duration(); }
    // Seconds into the recording.
    double position() const;
    QDateTime timeAt(double t) const;
    const ReplayMoment &moment() const { return m_moment; }

    bool isPlaying() const { return m_playing; }
    double speed() const { return m_speed; }

public slots:
    void play();
    void pause();
    void setSpeed(double speed);
    // The moment at t, sent as what changed since the moment the clients saw.
    void seek(double t);
    // Sends the recorded notifications up to t (not beyond the end) in their order.
    void advanceTo(double t);

signals:
    void positionChanged(double t);
    void playingChanged(bool playing);
    void speedChanged(double speed);
    // The end was reached while playing.
    void finished();

private:
    void onTimer();
    void schedule();
    void send(const Notification &n);

    Recording m_recording;
    QPointer<Server> m_server;
    ReplayMoment m_moment;
    QTimer m_timer;
    QElapsedTimer m_wall;
    double m_wallBase = 0.0; // position when m_wall started
    double m_speed = 1.0;
    bool m_playing = false;
};

} // namespace Sim
