#include "recording.h"

#include "jsonutil.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace Sim {

namespace {

const QString KeyT = QStringLiteral("t");
const QString KeyId = QStringLiteral("id");
const QString KeyBoardName = QStringLiteral("board_name");
const QString KeyGeometry = QStringLiteral("geometry");
const QString KeyGeometryHash = QStringLiteral("geometry_hash");
const QString KeyBoards = QStringLiteral("boards");
const QString KeyState = QStringLiteral("state");
const QString KeyActivated = QStringLiteral("activated");
const QString KeyLoggedIn = QStringLiteral("logged_in");
const QString KeyLastConnected = QStringLiteral("last_connected_time");
const QString KeyRouteId = QStringLiteral("route_id");

// The keys of a detector record (World::detectorRecord); its geometry answer adds the
// rest of what is recorded but these three.
const QStringList DetectorRecordKeys{
    QStringLiteral("id"),     QStringLiteral("name"),   QStringLiteral("emergency"),     QStringLiteral("tl_number"),
    QStringLiteral("weight"), QStringLiteral("locked"), QStringLiteral("geometry_hash"), QStringLiteral("activated"),
    QStringLiteral("routes")};
const QStringList PropertiesOnlyKeys{QStringLiteral("boards"), QStringLiteral("length_m"), QStringLiteral("controller")};

QJsonObject without(QJsonObject o, const QStringList &keys)
{
    for (const QString &k : keys)
        o.remove(k);
    return o;
}

Reply unknown(const QString &what)
{
    return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: unknown ") + what);
}

std::optional<int> intParam(const QJsonValue &params, const char *key)
{
    return jsonInt(params.toObject().value(QLatin1String(key)));
}

bool isRecordId(const QJsonValue &v)
{
    const auto id = jsonInt(v);
    return id && *id != 0;
}

} // namespace

Recording Recording::load(const QString &path)
{
    Recording r;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.m_error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return r;
    }
    if (file.size() > MaxRecordingBytes) {
        r.m_error = QStringLiteral("%1 is larger than a recording may be (%2 MiB)").arg(path).arg(MaxRecordingBytes >> 20);
        return r;
    }
    if (!r.parse(file.readAll()))
        r.m_error = QStringLiteral("%1: %2").arg(path, r.m_error);
    return r;
}

Recording Recording::fromData(const QByteArray &data)
{
    Recording r;
    if (data.size() > MaxRecordingBytes)
        r.m_error = QStringLiteral("larger than a recording may be");
    else
        r.parse(data);
    return r;
}

int Recording::intern(const QString &name)
{
    const auto it = m_nameIndex.constFind(name);
    if (it != m_nameIndex.cend())
        return *it;
    m_names.append(name);
    m_nameIndex.insert(name, m_names.size() - 1);
    return m_names.size() - 1;
}

bool Recording::readNetworkLine(const QJsonObject &line, ReplayMoment &m, QString *why)
{
    if (line.contains(QLatin1String("route"))) {
        const QJsonObject route = line.value(QLatin1String("route")).toObject();
        if (!isRecordId(route.value(KeyId)) || !route.value(KeyGeometry).isString()
            || !route.value(KeyGeometryHash).isString()) {
            *why = QStringLiteral("a route needs an id, a geometry and a geometry_hash");
            return false;
        }
        if (!m.routes.contains(route.value(KeyId).toInt()) && m.routes.size() >= MaxRoutes) {
            *why = QStringLiteral("more than %1 routes").arg(MaxRoutes);
            return false;
        }
        const int id = route.value(KeyId).toInt();
        if (!m.routes.contains(id))
            m.routeOrder.append(id);
        m.routes.insert(id, route);
        m.timelines.insert(id, line.value(QLatin1String("timeline")).toObject());
        return true;
    }
    if (line.contains(QLatin1String("detector"))) {
        const QJsonObject d = line.value(QLatin1String("detector")).toObject();
        if (!isRecordId(d.value(KeyId)) || !d.value(KeyGeometryHash).isString()) {
            *why = QStringLiteral("a detector needs an id and a geometry_hash");
            return false;
        }
        const int id = d.value(KeyId).toInt();
        if (!m.detectors.contains(id) && m.detectors.size() >= MaxDetectors) {
            *why = QStringLiteral("more than %1 detectors").arg(MaxDetectors);
            return false;
        }
        QMap<QString, QString> inside;
        const QJsonObject boards = d.value(KeyBoards).toObject();
        for (auto it = boards.begin(); it != boards.end(); ++it) {
            const QString state = it.value().toString();
            if (state == StateInside || state == StateActive)
                inside.insert(it.key(), state);
        }
        m.detectors.insert(id, d);
        m.occupancy.insert(id, inside);
        return true;
    }
    if (line.contains(QLatin1String("tlc"))) {
        const QJsonObject tl = line.value(QLatin1String("tlc")).toObject();
        if (!isRecordId(tl.value(KeyId))) {
            *why = QStringLiteral("a controller needs an id");
            return false;
        }
        m.controllers.insert(tl.value(KeyId).toInt(), tl);
        return true;
    }
    if (line.contains(QLatin1String("board"))) {
        QJsonObject b = line.value(QLatin1String("board")).toObject();
        const QString name = b.value(KeyBoardName).toString();
        if (name.isEmpty()) {
            *why = QStringLiteral("a board needs a board_name");
            return false;
        }
        if (!m.boards.contains(name) && m.boards.size() >= MaxBoards) {
            *why = QStringLiteral("more than %1 boards").arg(MaxBoards);
            return false;
        }
        b.remove(KeyBoardName);
        m.boards.insert(name, b);
        m.motion.insert(name, line.value(QLatin1String("motion")).toObject());
        return true;
    }
    *why = QStringLiteral("neither a network record nor a notification");
    return false;
}

bool Recording::parse(const QByteArray &data)
{
    m_data = data;
    const QStringList methods = notificationNames();
    int lineNo = 0;
    bool header = false;
    bool ended = false;
    double lastT = 0.0;
    qint64 pos = 0;
    const auto fail = [&](const QString &why) {
        m_error = QStringLiteral("line %1: %2").arg(lineNo).arg(why);
        m_entries.clear();
        return false;
    };
    while (pos < m_data.size()) {
        qint64 end = m_data.indexOf('\n', pos);
        if (end < 0)
            end = m_data.size();
        const qint64 start = pos;
        const qint64 length = end - start;
        pos = end + 1;
        ++lineNo;
        if (length == 0)
            continue;
        if (length > MaxRecordingLineBytes)
            return fail(QStringLiteral("longer than %1 MiB").arg(MaxRecordingLineBytes >> 20));
        if (ended)
            return fail(QStringLiteral("after the end"));
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromRawData(m_data.constData() + start, int(length)), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return fail(QStringLiteral("not a JSON object"));
        const QJsonObject line = doc.object();

        if (!header) {
            if (line.value(QLatin1String("recording")).toString() != QLatin1String("prio-sim")
                || jsonInt(line.value(QLatin1String("version"))) != 1)
                return fail(QStringLiteral("not a prio-sim recording of version 1"));
            m_start = QDateTime::fromString(line.value(QLatin1String("start")).toString(), Qt::ISODateWithMs);
            if (!m_start.isValid())
                return fail(QStringLiteral("the start is not an ISO 8601 time"));
            m_start = m_start.toUTC();
            m_periodMs = jsonInt(line.value(QLatin1String("period_ms"))).value_or(1000);
            if (m_periodMs < 0 || m_periodMs > 3600000)
                return fail(QStringLiteral("period_ms out of range"));
            header = true;
            continue;
        }

        // Lines without a time are the network at the start, before any entry.
        if (!line.contains(KeyT)) {
            if (!m_entries.isEmpty())
                return fail(QStringLiteral("a line without a time after timed ones"));
            QString why;
            if (!readNetworkLine(line, m_initial, &why))
                return fail(why);
            if (line.contains(QLatin1String("board")))
                intern(line.value(QLatin1String("board")).toObject().value(KeyBoardName).toString());
            continue;
        }
        const QJsonValue tValue = line.value(KeyT);
        const double t = tValue.toDouble(-1.0);
        if (!tValue.isDouble() || !std::isfinite(t) || t < 0.0 || t > MaxRecordingSeconds)
            return fail(QStringLiteral("the time must be a number of seconds from 0 to %1").arg(MaxRecordingSeconds));
        if (t < lastT)
            return fail(QStringLiteral("the time goes back"));
        lastT = t;
        if (line.value(QLatin1String("end")).toBool()) {
            ended = true;
            continue;
        }
        if (m_entries.size() >= MaxRecordingEntries)
            return fail(QStringLiteral("more than %1 entries").arg(MaxRecordingEntries));

        Entry e;
        e.t = t;
        e.offset = start;
        e.length = int(length);
        if (line.contains(QLatin1String("method"))) {
            const int method = methods.indexOf(line.value(QLatin1String("method")).toString());
            const QJsonValue params = line.value(QLatin1String("params"));
            if (method < 0 || methods.at(method) == Event::AllowedCommandsChanged)
                return fail(QStringLiteral("not a notification the server sends"));
            if (!params.isObject() && !params.isArray())
                return fail(QStringLiteral("params must be an object or an array"));
            e.method = qint8(method);
            const QJsonObject p = params.toObject();
            const QJsonValue board = p.value(KeyBoardName);
            if (board.isString())
                e.name = intern(board.toString());
            if (methods.at(method) == Event::VdtStateChanged) {
                e.id = jsonInt(p.value(QLatin1String("dt"))).value_or(0);
                e.state = p.value(KeyState).toString();
            }
        } else if (line.contains(QLatin1String("route_removed"))) {
            e.kind = Kind::RouteRemoved;
            e.id = jsonInt(line.value(QLatin1String("route_removed"))).value_or(0);
        } else if (line.contains(QLatin1String("route")) || line.contains(QLatin1String("detector"))) {
            // Checked here, applied when replayed.
            ReplayMoment scratch;
            QString why;
            if (!readNetworkLine(line, scratch, &why))
                return fail(why);
            e.kind = line.contains(QLatin1String("route")) ? Kind::Route : Kind::Detector;
        } else {
            return fail(QStringLiteral("neither a notification nor a network change"));
        }
        m_entries.append(e);
    }
    if (!header) {
        ++lineNo;
        return fail(QStringLiteral("no header: not a prio-sim recording"));
    }
    m_duration = lastT;
    m_initial.lastPosition.fill(-1, m_names.size());
    // What happened at 0 is the state the recording starts in.
    advance(m_initial, 0.0);
    return true;
}

QJsonObject Recording::line(const Entry &entry) const
{
    return QJsonDocument::fromJson(QByteArray::fromRawData(m_data.constData() + entry.offset, entry.length)).object();
}

QString Recording::timeText(double t, bool withMs) const
{
    const QDateTime at = m_start.addMSecs(qint64(std::llround(t * 1000.0)));
    return at.toString(withMs ? Qt::ISODateWithMs : Qt::ISODate);
}

void Recording::apply(ReplayMoment &m, int index) const
{
    const Entry &e = m_entries.at(index);
    if (e.kind == Kind::RouteRemoved) {
        if (m.routes.remove(e.id))
            m.routeOrder.removeOne(e.id);
        m.timelines.remove(e.id);
        return;
    }
    if (e.kind == Kind::Route || e.kind == Kind::Detector) {
        QString why;
        readNetworkLine(line(e), m, &why);
        return;
    }
    const QString &method = notificationNames().at(e.method);
    const QString name = e.name >= 0 ? m_names.at(e.name) : QString();
    if (method == Event::BoardPosition) {
        // Every name was known before the first moment was made.
        if (e.name >= 0 && e.name < m.lastPosition.size())
            m.lastPosition[e.name] = index;
    } else if (method == Event::BoardLoggedIn || method == Event::BoardDisconnected) {
        const auto it = m.boards.find(name);
        if (it == m.boards.end())
            return;
        const bool in = method == Event::BoardLoggedIn;
        it->insert(KeyLoggedIn, in);
        if (!in)
            it->insert(KeyLastConnected, timeText(e.t, false));
    } else if (method == Event::VdtStateChanged) {
        if (!m.detectors.contains(e.id) || name.isEmpty())
            return;
        QMap<QString, QString> &boards = m.occupancy[e.id];
        if (e.state == StateInside || e.state == StateActive)
            boards.insert(name, e.state);
        else
            boards.remove(name);
    } else {
        const QJsonValue params = line(e).value(QLatin1String("params"));
        if (method == Event::BoardPropertiesChanged) {
            if (name.isEmpty() || (!m.boards.contains(name) && m.boards.size() >= MaxBoards))
                return;
            m.boards.insert(name, without(params.toObject(), {KeyBoardName}));
        } else if (method == Event::BoardsRemoved) {
            for (const QJsonValue &v : params.toArray())
                m.boards.remove(v.toString());
        } else if (method == Event::VdtPropertiesChanged || method == Event::RoutePropertiesChanged) {
            const QJsonObject record = params.toObject();
            const int id = jsonInt(record.value(KeyId)).value_or(0);
            QMap<int, QJsonObject> &records = method == Event::VdtPropertiesChanged ? m.detectors : m.routes;
            const auto it = records.find(id);
            if (it == records.end())
                return;
            // The record replaces what it names; the geometry stays.
            for (auto k = record.begin(); k != record.end(); ++k) {
                if (k.key() != KeyGeometry && k.key() != KeyBoards)
                    it->insert(k.key(), k.value());
            }
        }
    }
}

void Recording::applyNext(ReplayMoment &m) const
{
    if (m.next >= m_entries.size())
        return;
    m.t = std::max(m.t, m_entries.at(m.next).t);
    apply(m, m.next);
    ++m.next;
}

void Recording::advance(ReplayMoment &m, double until) const
{
    while (m.next < m_entries.size() && m_entries.at(m.next).t <= until)
        applyNext(m);
    m.t = std::max(m.t, until);
}

ReplayMoment Recording::momentAt(const ReplayMoment &from, double t) const
{
    ReplayMoment m = t >= from.t ? from : m_initial;
    advance(m, t);
    m.t = t;
    return m;
}

// ---- answers -------------------------------------------------------------------------------

QString Recording::detectorState(const ReplayMoment &m, int id)
{
    if (m.detectors.value(id).value(KeyActivated).toBool())
        return StateActive;
    bool inside = false;
    for (const QString &s : m.occupancy.value(id)) {
        if (s == StateActive)
            return StateActive;
        inside = inside || s == StateInside;
    }
    return inside ? StateInside : StateIdle;
}

QJsonObject Recording::detectorRecord(const ReplayMoment &m, int id) const
{
    const QJsonObject recorded = m.detectors.value(id);
    QJsonObject o;
    for (const QString &k : DetectorRecordKeys) {
        const auto v = recorded.constFind(k);
        if (v != recorded.constEnd())
            o.insert(k, *v);
    }
    o.insert(KeyState, detectorState(m, id));
    const QMap<QString, QString> boards = m.occupancy.value(id);
    for (auto it = boards.cbegin(); it != boards.cend(); ++it) {
        if (it.value() == StateActive) {
            o.insert(KeyBoardName, it.key());
            break;
        }
    }
    return o;
}

QJsonObject Recording::boardRecord(const ReplayMoment &m, const QString &name) const
{
    QJsonObject o = m.boards.value(name);
    if (o.value(KeyLoggedIn).toBool())
        o.insert(KeyLastConnected, timeText(m.t, false));
    return o;
}

std::optional<Reply> Recording::answer(const ReplayMoment &m, const QString &method, const QJsonValue &params) const
{
    if (method == QLatin1String("RoadNetwork.getRouteList")) {
        QJsonArray list;
        for (int id : m.routeOrder)
            list.append(without(m.routes.value(id), {KeyGeometry}));
        return Reply::ok(list);
    }
    if (method == QLatin1String("RoadNetwork.getRouteGeometry")) {
        const auto id = intParam(params, "id");
        if (!id)
            return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: 'id' must be an integer"));
        const auto r = m.routes.constFind(*id);
        if (r == m.routes.cend())
            return unknown(QStringLiteral("route %1").arg(*id));
        return Reply::ok(QJsonObject{{KeyId, *id}, {KeyGeometry, r->value(KeyGeometry)}, {KeyGeometryHash, r->value(KeyGeometryHash)}});
    }
    if (method == QLatin1String("RoadNetwork.getTimelineData2") || method == QLatin1String("RoadNetwork.getTimelineData")) {
        const auto id = intParam(params, "route_id");
        if (!id)
            return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: 'route_id' must be an integer"));
        const auto r = m.routes.constFind(*id);
        if (r == m.routes.cend())
            return unknown(QStringLiteral("route %1").arg(*id));
        const bool extended = method.endsWith(QLatin1Char('2'));
        const QJsonObject timeline = m.timelines.value(*id);
        QJsonArray boards;
        for (auto b = m.boards.cbegin(); b != m.boards.cend(); ++b) {
            if (jsonInt(b->value(KeyRouteId)) != *id)
                continue;
            const int nameIndex = m_nameIndex.value(b.key(), -1);
            const int at = nameIndex >= 0 && nameIndex < m.lastPosition.size() ? m.lastPosition.at(nameIndex) : -1;
            const QJsonObject motion = at >= 0 ? line(m_entries.at(at)).value(QLatin1String("params")).toObject()
                                               : m.motion.value(b.key());
            // How far along the route a board is, a position does not say: left out.
            QJsonObject e{{KeyBoardName, b.key()}, {QStringLiteral("offset_s"), motion.value(QStringLiteral("offset_s")).toDouble()}};
            if (extended) {
                e.insert(KeyLoggedIn, b->value(KeyLoggedIn));
                e.insert(QStringLiteral("speed"), motion.value(QStringLiteral("speed")).toInt());
            }
            boards.append(e);
        }
        QJsonObject o{{KeyRouteId, *id}, {QStringLiteral("stops"), timeline.value(QStringLiteral("stops"))}, {KeyBoards, boards}};
        if (extended) {
            QJsonArray zones;
            for (const QJsonValue &z : timeline.value(QStringLiteral("detectors")).toArray()) {
                QJsonObject zone = z.toObject();
                zone.insert(KeyState, detectorState(m, zone.value(KeyId).toInt()));
                zones.append(zone);
            }
            o.insert(QStringLiteral("name"), r->value(QStringLiteral("name")));
            o.insert(QStringLiteral("length_m"), timeline.value(QStringLiteral("length_m")));
            o.insert(QStringLiteral("time"), timeText(m.t, true));
            o.insert(QStringLiteral("detectors"), zones);
        }
        return Reply::ok(o);
    }
    if (method == QLatin1String("VDTService.getVdtList")) {
        QJsonArray list;
        for (auto it = m.detectors.cbegin(); it != m.detectors.cend(); ++it)
            list.append(detectorRecord(m, it.key()));
        return Reply::ok(list);
    }
    if (method == QLatin1String("VDTService.getVdtGeometry") || method == QLatin1String("VDTService.getVdtProperties")) {
        const auto id = intParam(params, "id");
        if (!id)
            return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: 'id' must be an integer"));
        const auto d = m.detectors.constFind(*id);
        if (d == m.detectors.cend())
            return unknown(QStringLiteral("detector %1").arg(*id));
        QJsonObject o = *d;
        const QJsonObject record = detectorRecord(m, *id);
        o.remove(KeyBoardName);
        for (auto k = record.begin(); k != record.end(); ++k)
            o.insert(k.key(), k.value());
        if (method.endsWith(QLatin1String("Geometry")))
            return Reply::ok(without(o, PropertiesOnlyKeys));
        QJsonObject boards;
        const QMap<QString, QString> inside = m.occupancy.value(*id);
        for (auto it = inside.cbegin(); it != inside.cend(); ++it)
            boards.insert(it.key(), it.value());
        o.insert(KeyBoards, boards);
        return Reply::ok(o);
    }
    if (method == QLatin1String("TLService.getTlcProperties")) {
        const auto id = intParam(params, "id");
        if (!id)
            return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: 'id' must be an integer"));
        const auto tl = m.controllers.constFind(*id);
        if (tl == m.controllers.cend())
            return unknown(QStringLiteral("traffic-light controller %1").arg(*id));
        return Reply::ok(*tl);
    }
    if (method == QLatin1String("BoardsServer.getBoards")) {
        QJsonObject all;
        for (auto it = m.boards.cbegin(); it != m.boards.cend(); ++it)
            all.insert(it.key(), boardRecord(m, it.key()));
        return Reply::ok(all);
    }
    if (method == QLatin1String("BoardsServer.getBoardData")) {
        const QJsonValue name = params.toObject().value(QLatin1String("name"));
        if (!name.isString() || name.toString().isEmpty())
            return Reply::error(Rpc::InvalidParams, QStringLiteral("Invalid params: 'name' must be a non-empty string"));
        if (!m.boards.contains(name.toString()))
            return unknown(QStringLiteral("board '%1'").arg(name.toString()));
        return Reply::ok(boardRecord(m, name.toString()));
    }
    if (changesState(method))
        return Reply::error(Rpc::PermissionDenied, QStringLiteral("Permission denied: a replay cannot be changed"));
    return std::nullopt;
}

// ---- seeking -------------------------------------------------------------------------------

QVector<Notification> Recording::difference(const ReplayMoment &from, const ReplayMoment &to) const
{
    QVector<Notification> out;
    const auto note = [&out](const QString &method, const QJsonValue &params) { out.append({method, params}); };

    // Geometry and membership first: the client reloads its lists, answered as of to.
    QJsonArray routes, detectors;
    for (auto it = to.routes.cbegin(); it != to.routes.cend(); ++it) {
        const auto old = from.routes.constFind(it.key());
        if (old == from.routes.cend() || old->value(KeyGeometryHash) != it->value(KeyGeometryHash))
            routes.append(it.key());
    }
    for (auto it = from.routes.cbegin(); it != from.routes.cend(); ++it) {
        if (!to.routes.contains(it.key()))
            routes.append(it.key());
    }
    for (auto it = to.detectors.cbegin(); it != to.detectors.cend(); ++it) {
        const auto old = from.detectors.constFind(it.key());
        if (old == from.detectors.cend() || old->value(KeyGeometryHash) != it->value(KeyGeometryHash))
            detectors.append(it.key());
    }
    if (!routes.isEmpty() || !detectors.isEmpty())
        note(Event::NetworkChanged, QJsonObject{{QStringLiteral("routes"), routes}, {QStringLiteral("detectors"), detectors}});

    for (auto it = to.routes.cbegin(); it != to.routes.cend(); ++it) {
        const auto old = from.routes.constFind(it.key());
        if (old != from.routes.cend() && *old != *it)
            note(Event::RoutePropertiesChanged, without(*it, {KeyGeometry}));
    }

    // Boards: gone, changed, logged in or out, moved.
    QJsonArray removed;
    for (auto it = from.boards.cbegin(); it != from.boards.cend(); ++it) {
        if (!to.boards.contains(it.key()))
            removed.append(it.key());
    }
    if (!removed.isEmpty())
        note(Event::BoardsRemoved, removed);
    QStringList loggingIn, loggingOut;
    for (auto it = to.boards.cbegin(); it != to.boards.cend(); ++it) {
        const auto old = from.boards.constFind(it.key());
        const QStringList volatileKeys{KeyLoggedIn, KeyLastConnected};
        if (old == from.boards.cend() || without(*old, volatileKeys) != without(*it, volatileKeys)) {
            QJsonObject record = boardRecord(to, it.key());
            record.insert(KeyBoardName, it.key());
            note(Event::BoardPropertiesChanged, record);
        }
        const bool wasIn = old != from.boards.cend() && old->value(KeyLoggedIn).toBool();
        const bool isIn = it->value(KeyLoggedIn).toBool();
        if (isIn && !wasIn)
            loggingIn << it.key();
        else if (!isIn && (wasIn || old == from.boards.cend()))
            loggingOut << it.key();
    }
    for (const QString &name : qAsConst(loggingIn))
        note(Event::BoardLoggedIn, QJsonObject{{KeyBoardName, name}});
    // Positions of the boards logged in, as a live server sends none for the others.
    for (int i = 0; i < to.lastPosition.size(); ++i) {
        const int at = to.lastPosition.at(i);
        if (at >= 0 && at != from.lastPosition.value(i, -1)
            && to.boards.value(m_names.at(i)).value(KeyLoggedIn).toBool())
            note(Event::BoardPosition, line(m_entries.at(at)).value(QLatin1String("params")));
    }
    for (const QString &name : qAsConst(loggingOut))
        note(Event::BoardDisconnected, QJsonObject{{KeyBoardName, name}});

    // Detector states, one notification per board as a live server sends them: the boards
    // that left go idle, then the ones inside, those it reports active last, so that the
    // detector ends in its own state whatever the client saw before.
    for (auto it = to.detectors.cbegin(); it != to.detectors.cend(); ++it) {
        const int id = it.key();
        const QMap<QString, QString> before = from.occupancy.value(id);
        const QMap<QString, QString> now = to.occupancy.value(id);
        if (before == now && now.isEmpty())
            continue;
        for (auto b = before.cbegin(); b != before.cend(); ++b) {
            if (!now.contains(b.key()))
                note(Event::VdtStateChanged, QJsonObject{{KeyState, StateIdle}, {QStringLiteral("dt"), id}, {KeyBoardName, b.key()}});
        }
        for (const QString &state : {StateInside, StateActive}) {
            for (auto b = now.cbegin(); b != now.cend(); ++b) {
                if (b.value() == state)
                    note(Event::VdtStateChanged, QJsonObject{{KeyState, state}, {QStringLiteral("dt"), id}, {KeyBoardName, b.key()}});
            }
        }
    }
    for (auto it = to.detectors.cbegin(); it != to.detectors.cend(); ++it) {
        const auto old = from.detectors.constFind(it.key());
        if (old == from.detectors.cend())
            continue;
        const QStringList derived{KeyBoards, KeyState, KeyBoardName};
        if (without(*old, derived) != without(*it, derived))
            note(Event::VdtPropertiesChanged, detectorRecord(to, it.key()));
    }
    return out;
}

} // namespace Sim
