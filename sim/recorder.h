#pragma once

#include "world.h"

#include <QFile>
#include <QString>

namespace Sim {

// Writes what a server serves to a recording file (JSON lines; sim/PROTOCOL.md has the
// format): first the network as it is when recording begins, then every notification with
// its time, and the geometry that a "RoadNetwork.networkChanged" announces. Times are
// seconds of simulated time since recording began. A write that fails ends the recording
// with a warning; the server goes on serving.
class Recorder
{
public:
    Recorder() = default;
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Creates (or truncates) the file; false and errorString() when it cannot.
    bool open(const QString &path);
    QString errorString() const { return m_error; }
    bool isRecording() const { return m_file.isOpen(); }

    // The header and the network; periodMs is the server's tick.
    void begin(const World &world, int periodMs);
    void record(const World &world, const Notification &notification);
    // The end line, with the time reached; the file is closed.
    void finish(const World &world);

    qint64 bytesWritten() const { return m_bytes; }
    double recordedSeconds(const World &world) const { return world.elapsedSeconds() - m_t0; }

private:
    void writeRoute(const World &world, const Route &route, const QJsonValue &t);
    void writeLine(const QJsonObject &line);
    QJsonValue time(const World &world) const;

    QFile m_file;
    QString m_error;
    double m_t0 = 0.0;
    double m_flushedAt = 0.0;
    qint64 m_bytes = 0;
    bool m_begun = false;
};

} // namespace Sim
