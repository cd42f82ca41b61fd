#include "recorder.h"

#include "jsonutil.h"
#include "server.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Sim {

Recorder::~Recorder()
{
    m_file.close();
}

bool Recorder::open(const QString &path)
{
    m_file.close();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = QStringLiteral("cannot write the recording %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_bytes = 0;
    m_begun = false;
    return true;
}

QJsonValue Recorder::time(const World &world) const
{
    // Milliseconds are what the clock of a replay can tell apart.
    return roundDecimals(world.elapsedSeconds() - m_t0, 3);
}

void Recorder::writeLine(const QJsonObject &line)
{
    if (!m_file.isOpen())
        return;
    QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact);
    text.append('\n');
    if (m_file.write(text) != text.size()) {
        qCWarning(lcSim, "the recording %s stops here: %s", qUtf8Printable(m_file.fileName()),
                  qUtf8Printable(m_file.errorString()));
        m_file.close();
        return;
    }
    m_bytes += text.size();
}

void Recorder::writeRoute(const World &world, const Route &route, const QJsonValue &t)
{
    QJsonObject record = world.routeRecord(route);
    record.insert(QStringLiteral("geometry"), route.geometry);
    // What a timeline answer takes from the network; the boards in it come from positions.
    const QJsonObject timeline = world.timelineData(route, true);
    QJsonArray zones;
    for (const QJsonValue &zone : timeline.value(QStringLiteral("detectors")).toArray()) {
        const QJsonObject z = zone.toObject();
        zones.append(QJsonObject{{QStringLiteral("id"), z.value(QStringLiteral("id"))},
                                 {QStringLiteral("distance_m"), z.value(QStringLiteral("distance_m"))}});
    }
    QJsonObject line{{QStringLiteral("route"), record},
                     {QStringLiteral("timeline"),
                      QJsonObject{{QStringLiteral("length_m"), timeline.value(QStringLiteral("length_m"))},
                                  {QStringLiteral("stops"), timeline.value(QStringLiteral("stops"))},
                                  {QStringLiteral("detectors"), zones}}}};
    if (!t.isUndefined())
        line.insert(QStringLiteral("t"), t);
    writeLine(line);
}

void Recorder::begin(const World &world, int periodMs)
{
    if (!m_file.isOpen() || m_begun)
        return;
    m_begun = true;
    m_t0 = world.elapsedSeconds();
    writeLine(QJsonObject{{QStringLiteral("recording"), QStringLiteral("prio-sim")},
                          {QStringLiteral("version"), 1},
                          {QStringLiteral("start"), world.now().toString(Qt::ISODateWithMs)},
                          {QStringLiteral("period_ms"), periodMs}});
    const Network &net = world.network();
    for (const Route &r : net.routes)
        writeRoute(world, r, QJsonValue::Undefined);
    for (const Detector &d : net.detectors)
        writeLine(QJsonObject{{QStringLiteral("detector"), world.detectorProperties(d)}});
    for (const TrafficLight &tl : net.trafficLights)
        writeLine(QJsonObject{{QStringLiteral("tlc"), world.trafficLightProperties(tl)}});
    for (const Board &b : net.boards) {
        QJsonObject record = world.boardRecord(b);
        record.insert(QStringLiteral("board_name"), b.name);
        // A board that sends no position still has an offset and a speed for timeline answers.
        writeLine(QJsonObject{{QStringLiteral("board"), record},
                              {QStringLiteral("motion"), QJsonObject{{QStringLiteral("offset_s"), roundDecimals(b.offsetS, 1)},
                                                                    {QStringLiteral("speed"), b.speedKmh}}}});
    }
    m_file.flush();
}

void Recorder::record(const World &world, const Notification &n)
{
    if (!m_file.isOpen() || !m_begun || n.method == Event::AllowedCommandsChanged)
        return;
    const QJsonValue t = time(world);
    // Once a tick: what a crash loses is the last tick at most.
    if (t.toDouble() != m_flushedAt) {
        m_file.flush();
        m_flushedAt = t.toDouble();
    }
    writeLine(QJsonObject{{QStringLiteral("t"), t}, {QStringLiteral("method"), n.method}, {QStringLiteral("params"), n.params}});
    if (n.method != Event::NetworkChanged)
        return;
    // The announcement names what changed; a replay needs the new geometry itself.
    const QJsonObject changed = n.params.toObject();
    for (const QJsonValue &id : changed.value(QStringLiteral("routes")).toArray()) {
        if (const Route *r = world.route(id.toInt()))
            writeRoute(world, *r, t);
        else
            writeLine(QJsonObject{{QStringLiteral("t"), t}, {QStringLiteral("route_removed"), id}});
    }
    for (const QJsonValue &id : changed.value(QStringLiteral("detectors")).toArray()) {
        if (const Detector *d = world.detector(id.toInt()))
            writeLine(QJsonObject{{QStringLiteral("t"), t}, {QStringLiteral("detector"), world.detectorProperties(*d)}});
    }
}

void Recorder::finish(const World &world)
{
    if (!m_file.isOpen())
        return;
    if (m_begun)
        writeLine(QJsonObject{{QStringLiteral("t"), time(world)}, {QStringLiteral("end"), true}});
    m_file.close();
}

} // namespace Sim
