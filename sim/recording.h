#pragma once

#include "methods.h"
#include "world.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace Sim {

// A recording is untrusted input: whatever it holds is checked, and sizes are capped here.
constexpr qint64 MaxRecordingBytes = qint64(1) << 30;
constexpr int MaxRecordingLineBytes = 64 << 20;
constexpr int MaxRecordingEntries = 50000000;
constexpr double MaxRecordingSeconds = 1.0e7;

// What a recorded server was at one moment: enough to answer every query as it would have.
struct ReplayMoment
{
    double t = 0.0;
    int next = 0; // entries applied so far
    QMap<int, QJsonObject> routes;    // route record with "geometry"
    QVector<int> routeOrder;          // as the server lists them: a route brought back comes last
    QMap<int, QJsonObject> timelines; // by route: "length_m", "stops", "detectors" [{id, distance_m}]
    QMap<int, QJsonObject> detectors; // the properties answer as last recorded
    QHash<int, QMap<QString, QString>> occupancy; // by detector: board name -> "inside" or "active"
    QMap<int, QJsonObject> controllers;
    QMap<QString, QJsonObject> boards; // board records, without "board_name"
    QHash<QString, QJsonObject> motion; // "offset_s" and "speed" at the start, for boards without a position
    QVector<int> lastPosition;         // by name index: the entry of its last position, or -1
};

// A recording file (sim/PROTOCOL.md), read and checked whole: the network it starts with and
// its entries (notifications, and the geometry that network changes brought) in time order.
// The file stays in memory; entries point into it.
class Recording
{
public:
    enum class Kind : quint8 { Notification, Route, RouteRemoved, Detector };
    struct Entry
    {
        double t = 0.0;
        qint64 offset = 0; // of its line in the file
        int length = 0;
        Kind kind = Kind::Notification;
        qint8 method = -1; // index into notificationNames()
        int name = -1;     // board name index, for board and detector state events
        int id = 0;        // detector of a state event; route or detector of a geometry line
        QString state;     // of a detector state event
    };

    // On failure ok() is false and error() names the line and what is wrong with it.
    static Recording load(const QString &path);
    static Recording fromData(const QByteArray &data);

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    QDateTime start() const { return m_start; }
    int periodMs() const { return m_periodMs; }
    double duration() const { return m_duration; }
    const QVector<Entry> &entries() const { return m_entries; }
    const ReplayMoment &initial() const { return m_initial; }
    // The entry's line, parsed.
    QJsonObject line(const Entry &entry) const;
    QString name(int index) const { return m_names.value(index); }
    // Clock time at t seconds into the recording, ISO 8601 UTC.
    QString timeText(double t, bool withMs) const;

    // Applies the entries up to until (inclusive) to m, from where it stands.
    void advance(ReplayMoment &m, double until) const;
    // Applies the one entry that comes next for m, if any.
    void applyNext(ReplayMoment &m) const;
    // The moment at t, from the start or, when it lies ahead, from m.
    ReplayMoment momentAt(const ReplayMoment &from, double t) const;

    // What the recorded server would answer at m for a method that reads the network;
    // nothing for methods it does not answer from the recording.
    std::optional<Reply> answer(const ReplayMoment &m, const QString &method, const QJsonValue &params) const;
    // The notifications that take a client who saw the server at from to the server at to,
    // as a live server would send them: network changes, properties, log-ins, positions and
    // detector states. A position is never taken back: going back before a board's first
    // position leaves it where the client had it.
    QVector<Notification> difference(const ReplayMoment &from, const ReplayMoment &to) const;

    // Records as World gives them, at m.
    QJsonObject detectorRecord(const ReplayMoment &m, int id) const;
    QJsonObject boardRecord(const ReplayMoment &m, const QString &name) const;
    static QString detectorState(const ReplayMoment &m, int id);

private:
    bool parse(const QByteArray &data);
    static bool readNetworkLine(const QJsonObject &line, ReplayMoment &m, QString *why);
    void apply(ReplayMoment &m, int index) const;
    int intern(const QString &name);

    QByteArray m_data;
    QString m_error;
    QDateTime m_start;
    int m_periodMs = 1000;
    double m_duration = 0.0;
    QVector<Entry> m_entries;
    ReplayMoment m_initial;
    QStringList m_names;
    QHash<QString, int> m_nameIndex;
};

} // namespace Sim
