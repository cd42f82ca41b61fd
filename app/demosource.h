#pragma once

#include <QRectF>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

struct DemoOptions;

namespace Sim {
class Replayer;
class Server;
} // namespace Sim

// The server the demo talks to: one named on the command line, or the embedded simulator
// on a recording to replay, a GTFS feed or the generated city, listening on loopback. A
// recording or a feed that cannot be had leaves no server and says why; the window shows it.
class DemoSource
{
public:
    explicit DemoSource(const DemoOptions &options);
    ~DemoSource();

    // Where to connect; invalid when there is nothing to connect to.
    QUrl url() const { return m_url; }
    Sim::Server *simulator() const { return m_simulator.get(); }
    Sim::Replayer *replayer() const { return m_replayer.get(); }
    // Where the network should be, when it is known before it loads (degrees).
    QRectF expectedArea() const { return m_area; }
    // One line for the log: what the embedded simulator serves.
    QString summary() const { return m_summary; }
    // Why there is no server; what was odd about the one there is.
    QString error() const { return m_error; }
    QStringList warnings() const { return m_warnings; }

private:
    std::unique_ptr<Sim::Server> m_simulator;
    std::unique_ptr<Sim::Replayer> m_replayer;
    QUrl m_url;
    QRectF m_area;
    QString m_summary;
    QString m_error;
    QStringList m_warnings;
};
