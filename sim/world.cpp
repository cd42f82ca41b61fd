#include "world.h"

#include "jsontext.h"
#include "jsonutil.h"

#include <QJsonDocument>

#include <QSet>

#include <algorithm>
#include <cmath>

namespace Sim {

namespace {

// A step longer than this is cut: nobody simulates an hour at once on purpose.
constexpr double MaxStepS = 3600.0;
// Bound on the moves (drive, dwell, turn round) one board makes in one step.
constexpr int MaxMovesPerStep = 64;
// Mean time a board stays logged in, and stays away, when boards come and go.
constexpr double MeanOnlineS = 2.0 * 3600.0;
constexpr double MeanOfflineS = 15.0 * 60.0;
// Noise of a raw GPS position around the route position, in metres.
constexpr double GpsNoiseM = 4.0;
constexpr double SectorCellM = 250.0;
constexpr int MaxSectorRadiusM = 2000;
constexpr int MaxTextLength = 256;
constexpr double ScheduleOffsetMinS = -600.0;
constexpr double ScheduleOffsetMaxS = 1200.0;

double uniform(QRandomGenerator &rng, double lo, double hi)
{
    return lo + (hi - lo) * rng.generateDouble();
}

QString stateWord(ZoneState s)
{
    switch (s) {
    case ZoneState::Inside:
        return StateInside;
    case ZoneState::Active:
        return StateActive;
    case ZoneState::None:
        break;
    }
    return StateIdle;
}

// "active" when activated by hand or while a board is past the check-in point, "inside"
// while a board is in the zone, "idle" otherwise.
template<typename Live>
QString stateOf(const Live &live)
{
    if (live.activated)
        return StateActive;
    bool inside = false;
    for (ZoneState s : live.boards) {
        if (s == ZoneState::Active)
            return StateActive;
        inside = inside || s == ZoneState::Inside;
    }
    return inside ? StateInside : StateIdle;
}

QJsonObject objectOf(const QString &json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

struct PropRule
{
    enum Kind { Bool, Text, Int };
    const char *key;
    Kind kind;
    int min = 0;
    int max = 0;
};

// Checks every key of props against the writable properties; read-only names the keys that
// exist but cannot be written. Returns why props are refused, or an empty string.
QString checkProps(const QJsonObject &props, std::initializer_list<PropRule> rules,
                   std::initializer_list<const char *> readOnly = {})
{
    for (auto it = props.constBegin(); it != props.constEnd(); ++it) {
        const PropRule *rule = nullptr;
        for (const PropRule &s : rules) {
            if (it.key() == QLatin1String(s.key)) {
                rule = &s;
                break;
            }
        }
        if (!rule) {
            for (const char *ro : readOnly) {
                if (it.key() == QLatin1String(ro))
                    return QStringLiteral("Property '%1' cannot be changed").arg(it.key());
            }
            return QStringLiteral("Unknown property '%1'").arg(it.key());
        }
        const QJsonValue v = it.value();
        switch (rule->kind) {
        case PropRule::Bool:
            if (!v.isBool())
                return QStringLiteral("Property '%1' must be a boolean").arg(it.key());
            break;
        case PropRule::Text:
            if (!v.isString() || v.toString().size() > MaxTextLength)
                return QStringLiteral("Property '%1' must be a string of at most %2 characters")
                        .arg(it.key())
                        .arg(MaxTextLength);
            break;
        case PropRule::Int: {
            const auto n = jsonInt(v);
            if (!n || *n < rule->min || *n > rule->max)
                return QStringLiteral("Property '%1' must be an integer from %2 to %3")
                        .arg(it.key())
                        .arg(rule->min)
                        .arg(rule->max);
            break;
        }
        }
    }
    return QString();
}

} // namespace

World::World(Network network, const QDateTime &start)
    : m_net(std::move(network)),
      m_start(start.isValid() ? start.toUTC()
                              : QDateTime::fromSecsSinceEpoch(
                                        QDateTime::currentSecsSinceEpoch(), Qt::UTC)),
      m_rng(m_net.seed * 2246822519u + 3266489917u),
      m_sectors(Geo::LocalPlane(m_net.centre), SectorCellM)
{
    rebuildIndexes();
    m_detLive.resize(m_net.detectors.size());
    rebuildZones();
    for (Board &b : m_net.boards) {
        b.lastPos = boardPoint(b);
        const Route *r = route(b.drivingRoute);
        b.course = r ? int(std::lround(r->line.bearingAt(b.along))) % 360 : -1;
        b.speedKmh = r ? int(std::lround(b.cruiseKmh)) : 0;
    }
}

QDateTime World::now() const
{
    return m_start.addMSecs(qint64(std::llround(m_elapsedS * 1000.0)));
}

void World::rebuildIndexes()
{
    m_routeIndex.clear();
    m_detectorIndex.clear();
    m_boardIndex.clear();
    m_tlIndex.clear();
    for (int i = 0; i < m_net.routes.size(); ++i)
        m_routeIndex.insert(m_net.routes.at(i).id, i);
    for (int i = 0; i < m_net.detectors.size(); ++i)
        m_detectorIndex.insert(m_net.detectors.at(i).id, i);
    for (int i = 0; i < m_net.boards.size(); ++i)
        m_boardIndex.insert(m_net.boards.at(i).name, i);
    for (int i = 0; i < m_net.trafficLights.size(); ++i)
        m_tlIndex.insert(m_net.trafficLights.at(i).number, i);
}

void World::rebuildZones()
{
    m_zones.clear();
    m_sectors.clear();
    m_maxSectorRadius = 0.0;
    for (int i = 0; i < m_net.detectors.size(); ++i) {
        const Detector &d = m_net.detectors.at(i);
        if (d.emergency) {
            m_sectors.insert(i, d.pos);
            m_maxSectorRadius = std::max(m_maxSectorRadius, double(d.radius));
        } else if (d.laidOnRoute != 0) {
            m_zones[d.laidOnRoute].append({d.startAlong, d.checkinAlong, d.endAlong, i});
        }
    }
    for (auto &zones : m_zones) {
        std::sort(zones.begin(), zones.end(),
                  [](const Zone &a, const Zone &b) { return a.start < b.start; });
    }
}

const Route *World::route(int id) const
{
    const auto it = m_routeIndex.constFind(id);
    return it == m_routeIndex.cend() ? nullptr : &m_net.routes.at(*it);
}

const Detector *World::detector(int id) const
{
    const auto it = m_detectorIndex.constFind(id);
    return it == m_detectorIndex.cend() ? nullptr : &m_net.detectors.at(*it);
}

const Board *World::board(const QString &name) const
{
    const auto it = m_boardIndex.constFind(name);
    return it == m_boardIndex.cend() ? nullptr : &m_net.boards.at(*it);
}

const TrafficLight *World::trafficLight(int number) const
{
    const auto it = m_tlIndex.constFind(number);
    return it == m_tlIndex.cend() ? nullptr : &m_net.trafficLights.at(*it);
}

Route *World::routeMut(int id)
{
    const auto it = m_routeIndex.constFind(id);
    return it == m_routeIndex.cend() ? nullptr : &m_net.routes[*it];
}

Detector *World::detectorMut(int id)
{
    const auto it = m_detectorIndex.constFind(id);
    return it == m_detectorIndex.cend() ? nullptr : &m_net.detectors[*it];
}

Board *World::boardMut(const QString &name)
{
    const auto it = m_boardIndex.constFind(name);
    return it == m_boardIndex.cend() ? nullptr : &m_net.boards[*it];
}

// ---- records ---------------------------------------------------------------------------

QJsonObject World::routeRecord(const Route &r) const
{
    QJsonObject o = r.extra;
    o.insert(QStringLiteral("id"), r.id);
    o.insert(QStringLiteral("name"), r.name);
    o.insert(QStringLiteral("description"), r.description);
    o.insert(QStringLiteral("locked"), r.locked);
    o.insert(QStringLiteral("geometry_hash"), r.geometryHash);
    return o;
}

QJsonArray World::routeList() const
{
    QJsonArray a;
    for (const Route &r : m_net.routes)
        a.append(routeRecord(r));
    return a;
}

QString World::routeGeometryText(const Route &r) const
{
    JsonText out(r.geometry.size() + 128);
    out.beginObject();
    out.key(QLatin1String("geometry")).value(r.geometry);
    out.key(QLatin1String("geometry_hash")).value(r.geometryHash);
    out.key(QLatin1String("id")).value(r.id);
    out.endObject();
    return out.text();
}

QJsonObject World::routeGeometry(const Route &r) const
{
    return objectOf(routeGeometryText(r));
}

QString World::detectorState(const Detector &d) const
{
    return stateOf(m_detLive.at(m_detectorIndex.value(d.id)));
}

QMap<QString, QString> World::detectorBoards(const Detector &d) const
{
    QMap<QString, QString> out;
    const DetectorLive &live = m_detLive.at(m_detectorIndex.value(d.id));
    for (auto it = live.boards.cbegin(); it != live.boards.cend(); ++it)
        out.insert(it.key(), stateWord(it.value()));
    return out;
}

bool World::detectorActivated(const Detector &d) const
{
    return m_detLive.at(m_detectorIndex.value(d.id)).activated;
}

void World::writeDetector(JsonText &out, const Detector &d, bool withGeometry) const
{
    const DetectorLive &live = m_detLive.at(m_detectorIndex.value(d.id));
    // A board named in the record is one the detector reports active for.
    QString activeBoard;
    for (auto it = live.boards.cbegin(); it != live.boards.cend(); ++it) {
        if (it.value() == ZoneState::Active) {
            activeBoard = it.key();
            break;
        }
    }
    const bool line = withGeometry && !d.emergency;
    const bool sector = withGeometry && d.emergency;
    out.beginObject();
    out.key(QLatin1String("activated")).value(live.activated);
    if (!activeBoard.isEmpty())
        out.key(QLatin1String("board_name")).value(activeBoard);
    if (line && d.checkinLength >= 0)
        out.key(QLatin1String("checkin_length")).value(d.checkinLength);
    if (sector)
        out.key(QLatin1String("directionAngle")).value(d.directionAngle);
    out.key(QLatin1String("emergency")).value(d.emergency);
    if (line)
        out.key(QLatin1String("geometry")).value(d.geometry);
    out.key(QLatin1String("geometry_hash")).value(d.geometryHash);
    out.key(QLatin1String("id")).value(d.id);
    out.key(QLatin1String("locked")).value(d.locked);
    out.key(QLatin1String("name")).value(d.name);
    if (sector) {
        // 7 decimals (about 1 cm), as every position on the wire.
        out.key(QLatin1String("pos")).beginArray().value(roundDecimals(d.pos.x(), 7)).value(roundDecimals(d.pos.y(), 7)).endArray();
        out.key(QLatin1String("radius")).value(d.radius);
    }
    if (!d.emergency) {
        out.key(QLatin1String("routes")).beginArray();
        for (int id : d.routes)
            out.value(id);
        out.endArray();
    }
    out.key(QLatin1String("state")).value(stateOf(live));
    if (sector)
        out.key(QLatin1String("sweepAngle")).value(d.sweepAngle);
    out.key(QLatin1String("tl_number")).value(d.tlNumber);
    out.key(QLatin1String("weight")).value(d.weight);
    out.endObject();
}

QJsonObject World::detectorRecord(const Detector &d) const
{
    JsonText out;
    writeDetector(out, d, false);
    return objectOf(out.text());
}

QString World::detectorListText() const
{
    JsonText out;
    out.beginArray();
    for (const Detector &d : m_net.detectors)
        writeDetector(out, d, false);
    out.endArray();
    return out.text();
}

QJsonArray World::detectorList() const
{
    return QJsonDocument::fromJson(detectorListText().toUtf8()).array();
}

QString World::detectorGeometryText(const Detector &d) const
{
    JsonText out;
    writeDetector(out, d, true);
    return out.text();
}

QJsonObject World::detectorGeometry(const Detector &d) const
{
    return objectOf(detectorGeometryText(d));
}

QJsonObject World::detectorProperties(const Detector &d) const
{
    QJsonObject o = detectorGeometry(d);
    QJsonObject boards;
    const auto reported = detectorBoards(d);
    for (auto it = reported.cbegin(); it != reported.cend(); ++it)
        boards.insert(it.key(), it.value());
    o.insert(QStringLiteral("boards"), boards);
    if (!d.emergency)
        o.insert(QStringLiteral("length_m"), roundDecimals(Geo::Polyline(d.line).length(), 1));
    if (const TrafficLight *tl = trafficLight(d.tlNumber))
        o.insert(QStringLiteral("controller"), tl->name);
    return o;
}

QString World::lastConnectedText(const Board &b, const QString &now) const
{
    return b.loggedIn ? now : m_start.addMSecs(-qint64(b.lastConnectedAgoS * 1000.0)).toString(Qt::ISODate);
}

void World::writeBoard(JsonText &out, const Board &b, const QString &now) const
{
    out.beginObject();
    out.key(QLatin1String("allow_emergency")).value(b.allowEmergency);
    out.key(QLatin1String("description")).value(b.description);
    out.key(QLatin1String("last_connected_time")).value(lastConnectedText(b, now));
    out.key(QLatin1String("locked")).value(b.locked);
    out.key(QLatin1String("logged_in")).value(b.loggedIn);
    out.key(QLatin1String("radius")).value(b.radius);
    out.key(QLatin1String("route_id")).value(b.routeId);
    out.key(QLatin1String("sweep")).value(b.sweep);
    out.key(QLatin1String("vehicle_type")).value(b.vehicleType);
    out.endObject();
}

QJsonObject World::boardRecord(const Board &b) const
{
    JsonText out;
    writeBoard(out, b, now().toString(Qt::ISODate));
    return objectOf(out.text());
}

QString World::boardListText() const
{
    const QString time = now().toString(Qt::ISODate);
    JsonText out;
    out.beginObject();
    for (const Board &b : m_net.boards) {
        out.key(b.name);
        writeBoard(out, b, time);
    }
    out.endObject();
    return out.text();
}

QJsonObject World::boardList() const
{
    return objectOf(boardListText());
}

QJsonObject World::trafficLightProperties(const TrafficLight &tl) const
{
    QJsonArray detectors;
    for (const Detector &d : m_net.detectors) {
        if (d.tlNumber == tl.number)
            detectors.append(d.id);
    }
    return QJsonObject{{QStringLiteral("id"), tl.number},
                       {QStringLiteral("number"), tl.number},
                       {QStringLiteral("name"), tl.name},
                       {QStringLiteral("pos"), jsonLonLat(tl.pos)},
                       {QStringLiteral("mode"), tl.mode},
                       {QStringLiteral("program"), tl.program},
                       {QStringLiteral("priority_enabled"), tl.priorityEnabled},
                       {QStringLiteral("cycle_s"), tl.cycleS},
                       {QStringLiteral("detectors"), detectors}};
}

QJsonObject World::timelineData(const Route &r, bool extended) const
{
    QJsonArray stops;
    for (const Stop &s : r.stops) {
        stops.append(QJsonObject{{QStringLiteral("name"), s.name},
                                 {QStringLiteral("distance_m"), roundDecimals(s.along, 1)}});
    }
    QJsonArray boards;
    for (const Board &b : m_net.boards) {
        if (b.routeId != r.id)
            continue;
        QJsonObject e{{QStringLiteral("board_name"), b.name},
                      {QStringLiteral("offset_s"), roundDecimals(b.offsetS, 1)}};
        if (extended) {
            e.insert(QStringLiteral("logged_in"), b.loggedIn);
            e.insert(QStringLiteral("speed"), b.speedKmh);
            if (b.drivingRoute == r.id)
                e.insert(QStringLiteral("distance_m"), roundDecimals(b.along, 1));
        }
        boards.append(e);
    }
    QJsonObject o{{QStringLiteral("route_id"), r.id},
                  {QStringLiteral("stops"), stops},
                  {QStringLiteral("boards"), boards}};
    if (extended) {
        QJsonArray detectors;
        const auto zones = m_zones.constFind(r.id);
        if (zones != m_zones.cend()) {
            for (const Zone &z : *zones) {
                const Detector &d = m_net.detectors.at(z.detector);
                detectors.append(QJsonObject{{QStringLiteral("id"), d.id},
                                             {QStringLiteral("distance_m"), roundDecimals(z.end, 1)},
                                             {QStringLiteral("state"), detectorState(d)}});
            }
        }
        o.insert(QStringLiteral("name"), r.name);
        o.insert(QStringLiteral("length_m"), roundDecimals(r.line.length(), 1));
        o.insert(QStringLiteral("time"), now().toString(Qt::ISODateWithMs));
        o.insert(QStringLiteral("detectors"), detectors);
    }
    return o;
}

// ---- notifications and occupancy ---------------------------------------------------------

void World::queue(const QString &method, const QJsonValue &params)
{
    m_pending.append({method, params});
}

QVector<Notification> World::takeNotifications()
{
    QVector<Notification> out;
    out.swap(m_pending);
    return out;
}

void World::queueBoardProperties(const Board &b)
{
    QJsonObject p = boardRecord(b);
    p.insert(QStringLiteral("board_name"), b.name);
    queue(Event::BoardPropertiesChanged, p);
}

void World::queueDetectorProperties(const Detector &d)
{
    // The whole record: a client applies a missing "weight" as 0.
    queue(Event::VdtPropertiesChanged, detectorRecord(d));
}

void World::setOccupancy(Board &b, int detector, ZoneState state)
{
    int k = -1;
    for (int i = 0; i < b.occupancy.size(); ++i) {
        if (b.occupancy.at(i).detector == detector) {
            k = i;
            break;
        }
    }
    const ZoneState old = k >= 0 ? b.occupancy.at(k).state : ZoneState::None;
    if (old == state)
        return;
    DetectorLive &live = m_detLive[detector];
    if (state == ZoneState::None) {
        b.occupancy.remove(k);
        live.boards.remove(b.name);
    } else {
        if (k >= 0)
            b.occupancy[k].state = state;
        else
            b.occupancy.append({detector, state});
        live.boards.insert(b.name, state);
    }
    queue(Event::VdtStateChanged,
          QJsonObject{{QStringLiteral("state"), stateWord(state)},
                      {QStringLiteral("dt"), m_net.detectors.at(detector).id},
                      {QStringLiteral("board_name"), b.name}});
}

void World::clearOccupancy(Board &b, bool ordinary, bool emergency)
{
    const auto held = b.occupancy;
    for (const Occupancy &o : held) {
        const bool isEmergency = m_net.detectors.at(o.detector).emergency;
        if ((isEmergency && emergency) || (!isEmergency && ordinary))
            setOccupancy(b, o.detector, ZoneState::None);
    }
}

void World::clearDetector(int detector)
{
    const QStringList names = m_detLive.at(detector).boards.keys();
    for (const QString &name : names) {
        if (Board *b = boardMut(name))
            setOccupancy(*b, detector, ZoneState::None);
    }
}

// ---- commands ----------------------------------------------------------------------------

QString World::assignBoard(const QString &name, int routeId)
{
    Board *b = boardMut(name);
    if (!b)
        return QStringLiteral("Unknown board '%1'").arg(name);
    const Route *r = route(routeId);
    if (!r)
        return QStringLiteral("Unknown route %1").arg(routeId);
    if (b->routeId != routeId || b->drivingRoute != routeId) {
        clearOccupancy(*b, true, false);
        // The vehicle drives on from where it is, matched onto its new route.
        const double along = r->line.project(b->lastPos);
        b->routeId = routeId;
        b->drivingRoute = routeId;
        startTrip(*b, *r, along);
    }
    queueBoardProperties(*b);
    return QString();
}

QString World::unassignBoard(const QString &name)
{
    Board *b = boardMut(name);
    if (!b)
        return QStringLiteral("Unknown board '%1'").arg(name);
    clearOccupancy(*b, true, false);
    b->routeId = 0; // it keeps driving the same street, with no route to match it to
    queueBoardProperties(*b);
    return QString();
}

QString World::changeBoardProperties(const QString &name, const QJsonObject &props)
{
    Board *b = boardMut(name);
    if (!b)
        return QStringLiteral("Unknown board '%1'").arg(name);
    const QString error = checkProps(props,
                                     {{"locked", PropRule::Bool},
                                      {"description", PropRule::Text},
                                      {"allow_emergency", PropRule::Bool},
                                      {"radius", PropRule::Int, 0, MaxSectorRadiusM},
                                      {"sweep", PropRule::Int, 0, 360},
                                      {"route_id", PropRule::Int, 0, std::numeric_limits<int>::max()}},
                                     {"logged_in", "last_connected_time", "board_name",
                                      "vehicle_type"});
    if (!error.isEmpty())
        return error;
    if (props.contains(QStringLiteral("route_id"))) {
        const int routeId = props.value(QStringLiteral("route_id")).toInt();
        if (routeId != 0 && !route(routeId))
            return QStringLiteral("Unknown route %1").arg(routeId);
    }

    if (props.contains(QStringLiteral("route_id"))) {
        const int routeId = props.value(QStringLiteral("route_id")).toInt();
        if (routeId == 0) {
            clearOccupancy(*b, true, false);
            b->routeId = 0;
        } else if (routeId != b->routeId || routeId != b->drivingRoute) {
            clearOccupancy(*b, true, false);
            const Route *r = route(routeId);
            b->routeId = routeId;
            b->drivingRoute = routeId;
            startTrip(*b, *r, r->line.project(b->lastPos));
        }
    }
    if (props.contains(QStringLiteral("locked")))
        b->locked = props.value(QStringLiteral("locked")).toBool();
    if (props.contains(QStringLiteral("description")))
        b->description = props.value(QStringLiteral("description")).toString();
    if (props.contains(QStringLiteral("allow_emergency")))
        b->allowEmergency = props.value(QStringLiteral("allow_emergency")).toBool();
    if (props.contains(QStringLiteral("radius")))
        b->radius = props.value(QStringLiteral("radius")).toInt();
    if (props.contains(QStringLiteral("sweep")))
        b->sweep = props.value(QStringLiteral("sweep")).toInt();
    if (b->locked)
        clearOccupancy(*b, true, true); // a locked board asks for no priority
    else if (!b->allowEmergency)
        clearOccupancy(*b, false, true);
    queueBoardProperties(*b);
    return QString();
}

QString World::changeRouteProperties(int id, const QJsonObject &props)
{
    Route *r = routeMut(id);
    if (!r)
        return QStringLiteral("Unknown route %1").arg(id);
    const QString error = checkProps(props,
                                     {{"locked", PropRule::Bool},
                                      {"name", PropRule::Text},
                                      {"description", PropRule::Text}},
                                     {"id", "geometry_hash", "geometry"});
    if (!error.isEmpty())
        return error;
    if (props.contains(QStringLiteral("locked")))
        r->locked = props.value(QStringLiteral("locked")).toBool();
    if (props.contains(QStringLiteral("name")))
        r->name = props.value(QStringLiteral("name")).toString();
    if (props.contains(QStringLiteral("description")))
        r->description = props.value(QStringLiteral("description")).toString();
    queue(Event::RoutePropertiesChanged, routeRecord(*r));
    return QString();
}

QString World::changeDetectorProperties(int id, const QJsonObject &props)
{
    Detector *d = detectorMut(id);
    if (!d)
        return QStringLiteral("Unknown detector %1").arg(id);
    const QString error = checkProps(props,
                                     {{"locked", PropRule::Bool},
                                      {"name", PropRule::Text},
                                      {"weight", PropRule::Int, 0, 100},
                                      {"tl_number", PropRule::Int, 0, 1000000}},
                                     {"id", "routes", "emergency", "geometry_hash", "geometry",
                                      "state", "board_name", "activated"});
    if (!error.isEmpty())
        return error;
    if (props.contains(QStringLiteral("locked")))
        d->locked = props.value(QStringLiteral("locked")).toBool();
    if (props.contains(QStringLiteral("name")))
        d->name = props.value(QStringLiteral("name")).toString();
    if (props.contains(QStringLiteral("weight")))
        d->weight = props.value(QStringLiteral("weight")).toInt();
    if (props.contains(QStringLiteral("tl_number")))
        d->tlNumber = props.value(QStringLiteral("tl_number")).toInt();
    if (d->locked)
        clearDetector(m_detectorIndex.value(id)); // a locked detector reports nobody
    queueDetectorProperties(*d);
    return QString();
}

QString World::setDetectorActivated(int id, bool activate)
{
    const Detector *d = detector(id);
    if (!d)
        return QStringLiteral("Unknown detector %1").arg(id);
    m_detLive[m_detectorIndex.value(id)].activated = activate;
    queueDetectorProperties(*d);
    return QString();
}

QString World::changeTrafficLightProperties(int number, const QJsonObject &props)
{
    const auto it = m_tlIndex.constFind(number);
    if (it == m_tlIndex.cend())
        return QStringLiteral("Unknown traffic-light controller %1").arg(number);
    TrafficLight &tl = m_net.trafficLights[*it];
    QString error = checkProps(props,
                               {{"name", PropRule::Text},
                                {"mode", PropRule::Text},
                                {"program", PropRule::Text},
                                {"priority_enabled", PropRule::Bool},
                                {"cycle_s", PropRule::Int, 30, 300}},
                               {"id", "number", "pos", "detectors"});
    static const QStringList modes{QStringLiteral("auto"), QStringLiteral("manual"),
                                   QStringLiteral("flash"), QStringLiteral("off")};
    if (error.isEmpty() && props.contains(QStringLiteral("mode"))
        && !modes.contains(props.value(QStringLiteral("mode")).toString()))
        error = QStringLiteral("Property 'mode' must be one of %1").arg(modes.join(QStringLiteral(", ")));
    if (!error.isEmpty())
        return error;
    if (props.contains(QStringLiteral("name")))
        tl.name = props.value(QStringLiteral("name")).toString();
    if (props.contains(QStringLiteral("mode")))
        tl.mode = props.value(QStringLiteral("mode")).toString();
    if (props.contains(QStringLiteral("program")))
        tl.program = props.value(QStringLiteral("program")).toString();
    if (props.contains(QStringLiteral("priority_enabled")))
        tl.priorityEnabled = props.value(QStringLiteral("priority_enabled")).toBool();
    if (props.contains(QStringLiteral("cycle_s")))
        tl.cycleS = props.value(QStringLiteral("cycle_s")).toInt();
    return QString();
}

QStringList World::removeBoards(const QStringList &names)
{
    QStringList removed;
    QSet<QString> gone;
    for (const QString &name : names) {
        Board *b = boardMut(name);
        if (!b || gone.contains(name))
            continue;
        clearOccupancy(*b, true, true);
        gone.insert(name);
        removed.append(name);
    }
    if (removed.isEmpty())
        return removed;
    m_net.boards.erase(std::remove_if(m_net.boards.begin(), m_net.boards.end(),
                                      [&](const Board &b) { return gone.contains(b.name); }),
                       m_net.boards.end());
    m_boardIndex.clear();
    for (int i = 0; i < m_net.boards.size(); ++i)
        m_boardIndex.insert(m_net.boards.at(i).name, i);
    queue(Event::BoardsRemoved, QJsonArray::fromStringList(removed));
    return removed;
}

// ---- motion ------------------------------------------------------------------------------

QPointF World::boardPoint(const Board &b) const
{
    const Route *r = route(b.drivingRoute);
    return r ? r->line.pointAt(b.along) : b.depot;
}

bool World::triggers(const Board &b) const
{
    return b.loggedIn && !b.locked && b.routeId != 0 && b.routeId == b.drivingRoute;
}

void World::startTrip(Board &b, const Route &route, double along)
{
    clearOccupancy(b, true, false);
    b.along = std::clamp(along, 0.0, route.line.length());
    b.atTerminal = false;
    b.dwellS = 0.0;
    b.nextStop = 0;
    while (b.nextStop < route.stops.size() && route.stops.at(b.nextStop).along <= b.along)
        ++b.nextStop;
}

void World::login(Board &b, bool loggedIn)
{
    if (b.loggedIn == loggedIn)
        return;
    if (!loggedIn) {
        clearOccupancy(b, true, true);
        b.lastConnectedAgoS = -m_elapsedS; // that is: now
    }
    b.loggedIn = loggedIn;
    queue(loggedIn ? Event::BoardLoggedIn : Event::BoardDisconnected,
          QJsonObject{{QStringLiteral("board_name"), b.name}});
}

bool World::setBoardLoggedIn(const QString &name, bool loggedIn)
{
    Board *b = boardMut(name);
    if (!b)
        return false;
    login(*b, loggedIn);
    return true;
}

bool World::placeBoard(const QString &name, int routeId, double along)
{
    Board *b = boardMut(name);
    const Route *r = route(routeId);
    if (!b || !r || !std::isfinite(along))
        return false;
    const bool reassigned = b->routeId != routeId;
    b->routeId = routeId;
    b->drivingRoute = routeId;
    startTrip(*b, *r, along);
    b->lastPos = r->line.pointAt(b->along);
    if (reassigned)
        queueBoardProperties(*b);
    return true;
}

void World::advance(Board &b, const Route &route, double from, double to)
{
    if (!(to > from) || !triggers(b))
        return;
    const auto zones = m_zones.constFind(route.id);
    if (zones == m_zones.cend())
        return;
    struct Crossing
    {
        double at;
        int detector;
        ZoneState state;
    };
    QVarLengthArray<Crossing, 8> crossings;
    for (const Zone &z : *zones) {
        if (z.start > to)
            break;
        if (z.end <= from || m_net.detectors.at(z.detector).locked)
            continue;
        if (from < z.start && z.start <= to && z.checkin > z.start)
            crossings.append({z.start, z.detector, ZoneState::Inside});
        if (from < z.checkin && z.checkin <= to)
            crossings.append({z.checkin, z.detector, ZoneState::Active});
        if (from < z.end && z.end <= to)
            crossings.append({z.end, z.detector, ZoneState::None});
    }
    std::stable_sort(crossings.begin(), crossings.end(),
                     [](const Crossing &a, const Crossing &c) { return a.at < c.at; });
    for (const Crossing &c : crossings)
        setOccupancy(b, c.detector, c.state);
}

void World::checkSectors(Board &b, const QPointF &where)
{
    QVarLengthArray<Occupancy, 4> now;
    if (b.loggedIn && !b.locked && b.allowEmergency && m_maxSectorRadius > 0.0) {
        for (int i : m_sectors.near(where, m_maxSectorRadius)) {
            const Detector &d = m_net.detectors.at(i);
            if (d.locked)
                continue;
            const double dist = Geo::distanceMetres(d.pos, where);
            if (dist > d.radius)
                continue;
            if (dist > 1.0) {
                const double fromEast = Geo::normalizeDegrees(Geo::bearingDegrees(d.pos, where) - 90.0);
                double diff = Geo::normalizeDegrees(fromEast - d.directionAngle);
                if (diff > 180.0)
                    diff = 360.0 - diff;
                if (diff > d.sweepAngle * 0.5)
                    continue;
            }
            now.append({i, dist <= d.radius * 0.5 ? ZoneState::Active : ZoneState::Inside});
        }
    }
    const auto held = b.occupancy;
    for (const Occupancy &o : held) {
        if (!m_net.detectors.at(o.detector).emergency)
            continue;
        const bool still = std::any_of(now.cbegin(), now.cend(), [&](const Occupancy &n) {
            return n.detector == o.detector;
        });
        if (!still)
            setOccupancy(b, o.detector, ZoneState::None);
    }
    for (const Occupancy &n : now)
        setOccupancy(b, n.detector, n.state);
}

void World::moveBoard(Board &b, double dt)
{
    const Route *route = this->route(b.drivingRoute);
    const double noiseR = GpsNoiseM * std::sqrt(m_rng.generateDouble());
    const double noiseA = uniform(m_rng, 0.0, 2.0 * M_PI);
    b.offsetS = std::clamp(b.offsetS + uniform(m_rng, -0.5, 0.6) * std::sqrt(dt),
                           ScheduleOffsetMinS, ScheduleOffsetMaxS);
    b.weight = 1 + (b.offsetS > 60.0 ? 1 : 0) + (b.offsetS > 180.0 ? 1 : 0);
    if (!route || route->line.size() < 2 || route->line.length() <= 0.0) {
        b.speedKmh = 0;
        b.course = -1;
        b.lastPos = Geo::offsetMetres(b.depot, noiseR * std::cos(noiseA), noiseR * std::sin(noiseA));
        checkSectors(b, b.depot);
        return;
    }

    const double v = std::max(1.0, b.cruiseKmh / 3.6 * uniform(m_rng, 0.85, 1.15));
    const double length = route->line.length();
    double rem = dt;
    for (int moves = 0; rem > 1e-9 && moves < MaxMovesPerStep; ++moves) {
        if (b.dwellS > 0.0) {
            const double use = std::min(b.dwellS, rem);
            b.dwellS -= use;
            rem -= use;
            if (b.dwellS <= 1e-9) {
                b.dwellS = 0.0;
                if (b.atTerminal) {
                    startTrip(b, *route, 0.0); // turn round: the next trip starts
                    b.offsetS = std::round(uniform(m_rng, -30.0, 90.0) * 10.0) / 10.0;
                }
            }
            continue;
        }
        while (b.nextStop < route->stops.size() && route->stops.at(b.nextStop).along <= b.along)
            ++b.nextStop;
        const bool stopAhead = b.nextStop < route->stops.size()
                               && route->stops.at(b.nextStop).along < length;
        const double limit = stopAhead ? route->stops.at(b.nextStop).along : length;
        const double target = b.along + v * rem;
        if (target >= limit) {
            rem -= (limit - b.along) / v;
            advance(b, *route, b.along, limit);
            b.along = limit;
            if (stopAhead) {
                b.dwellS = uniform(m_rng, 10.0, 25.0);
                ++b.nextStop;
            } else {
                b.dwellS = uniform(m_rng, 30.0, 90.0);
                b.atTerminal = true;
            }
        } else {
            advance(b, *route, b.along, target);
            b.along = target;
            rem = 0.0;
        }
    }
    b.speedKmh = b.dwellS > 0.0 ? 0 : int(std::lround(v * 3.6));
    const QPointF onLine = route->line.pointAt(b.along);
    b.course = int(std::lround(Geo::normalizeDegrees(route->line.bearingAt(b.along)
                                                     + uniform(m_rng, -2.0, 2.0))))
               % 360;
    b.lastPos = Geo::offsetMetres(onLine, noiseR * std::cos(noiseA), noiseR * std::sin(noiseA));
    checkSectors(b, onLine);
}

void World::queuePosition(const Board &b, const QString &time)
{
    QJsonObject p{{QStringLiteral("board_name"), b.name},
                  {QStringLiteral("pos"), jsonLonLat(b.lastPos)},
                  {QStringLiteral("speed"), b.speedKmh},
                  {QStringLiteral("weight"), b.weight},
                  {QStringLiteral("time"), time},
                  {QStringLiteral("offset_s"), roundDecimals(b.offsetS, 1)}};
    if (b.course >= 0)
        p.insert(QStringLiteral("course"), b.course);
    // Only a board on its assigned route is matched onto a route line.
    if (b.routeId != 0 && b.routeId == b.drivingRoute) {
        if (const Route *r = route(b.routeId))
            p.insert(QStringLiteral("rpos"), jsonLonLat(r->line.pointAt(b.along)));
    }
    queue(Event::BoardPosition, p);
}

void World::step(double seconds, bool positions)
{
    if (!std::isfinite(seconds) || seconds < 0.0)
        return;
    const double dt = std::min(seconds, MaxStepS);
    m_elapsedS += dt;
    const QString time = now().toString(Qt::ISODateWithMs);
    for (Board &b : m_net.boards) {
        if (m_churn && dt > 0.0) {
            const double p = dt / (b.loggedIn ? MeanOnlineS : MeanOfflineS);
            if (m_rng.generateDouble() < p)
                login(b, !b.loggedIn);
        }
        if (!b.loggedIn)
            continue;
        moveBoard(b, dt);
        if (positions)
            queuePosition(b, time);
    }
}

// ---- network change ----------------------------------------------------------------------

bool World::withdrawRoute(int id)
{
    const auto it = m_routeIndex.constFind(id);
    if (it == m_routeIndex.cend())
        return false;
    m_withdrawn.append(m_net.routes.takeAt(*it));
    rebuildIndexes();
    queue(Event::NetworkChanged, QJsonObject{{QStringLiteral("routes"), QJsonArray{id}},
                                             {QStringLiteral("detectors"), QJsonArray()}});
    return true;
}

bool World::restoreRoute(int id)
{
    for (int i = 0; i < m_withdrawn.size(); ++i) {
        if (m_withdrawn.at(i).id != id)
            continue;
        m_net.routes.append(m_withdrawn.takeAt(i));
        rebuildIndexes();
        queue(Event::NetworkChanged, QJsonObject{{QStringLiteral("routes"), QJsonArray{id}},
                                                 {QStringLiteral("detectors"), QJsonArray()}});
        return true;
    }
    return false;
}

NetworkChange World::changeNetwork(int routes, int detectors)
{
    NetworkChange change;
    ++m_changeCount;
    const int routeCount = std::min(std::max(0, routes), int(m_net.routes.size()));
    for (int k = 0; k < routeCount; ++k) {
        Route &r = m_net.routes[m_changeCursorRoute++ % m_net.routes.size()];
        QVector<QPointF> pts = r.line.points();
        if (pts.size() < 2)
            continue;
        int i;
        if (pts.size() >= 3) {
            i = 1 + m_changeCount % (pts.size() - 2);
        } else {
            pts.insert(1, (pts.at(0) + pts.at(1)) * 0.5);
            i = 1;
        }
        // A vertex moves 4 m to the left of the line; a different vertex each time, so a
        // geometry never comes back to one it had.
        const double h = (Geo::bearingDegrees(pts.at(i - 1), pts.at(i + 1)) - 90.0) * M_PI / 180.0;
        pts[i] = Geo::offsetMetres(pts.at(i), 4.0 * std::sin(h), 4.0 * std::cos(h));
        r.setPoints(pts);
        change.routes.append(r.id);
    }
    const int detectorCount = std::min(std::max(0, detectors), int(m_net.detectors.size()));
    for (int k = 0; k < detectorCount; ++k) {
        Detector &d = m_net.detectors[m_changeCursorDetector++ % m_net.detectors.size()];
        if (d.emergency) {
            d.radius = d.radius + 5 > MaxSectorRadiusM ? 50 : d.radius + 5;
        } else {
            // The check-in point moves a metre on (or appears half-way), wrapping to 1 m
            // before the end of the line; either way the hash changes.
            const double len = Geo::Polyline(d.line).length();
            double checkin = d.checkinLength >= 0 ? d.checkinLength + 1.0 : std::round(len * 5.0) / 10.0;
            if (checkin >= len)
                checkin = 1.0;
            d.checkinLength = checkin;
            d.checkinAlong = d.startAlong + d.checkinLength;
        }
        d.rehash();
        change.detectors.append(d.id);
    }
    rebuildZones();
    QJsonArray routeIds;
    for (int id : change.routes)
        routeIds.append(id);
    QJsonArray detectorIds;
    for (int id : change.detectors)
        detectorIds.append(id);
    queue(Event::NetworkChanged, QJsonObject{{QStringLiteral("routes"), routeIds},
                                             {QStringLiteral("detectors"), detectorIds}});
    return change;
}

} // namespace Sim
