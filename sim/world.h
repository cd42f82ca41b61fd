#pragma once

#include "network.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QRandomGenerator>
#include <QStringList>
#include <QVector>

namespace Sim {

class JsonText;

// Notification names, as they go on the wire.
namespace Event {
inline const QString BoardLoggedIn = QStringLiteral("BoardsServer.boardLoggedIn");
inline const QString BoardDisconnected = QStringLiteral("BoardsServer.boardDisconnected");
inline const QString BoardPosition = QStringLiteral("BoardsServer.boardPosition");
inline const QString BoardPropertiesChanged = QStringLiteral("BoardsServer.boardPropertiesChanged");
inline const QString BoardsRemoved = QStringLiteral("BoardsServer.boardsRemoved");
inline const QString VdtStateChanged = QStringLiteral("VDTService.vdtStateChanged");
inline const QString VdtPropertiesChanged = QStringLiteral("VDTService.vdtPropertiesChanged");
inline const QString RoutePropertiesChanged = QStringLiteral("RoadNetwork.routePropertiesChanged");
inline const QString NetworkChanged = QStringLiteral("RoadNetwork.networkChanged");
inline const QString AllowedCommandsChanged = QStringLiteral("Session.allowedCommandsChanged");
} // namespace Event

// Detector state words on the wire.
inline const QString StateIdle = QStringLiteral("idle");
inline const QString StateInside = QStringLiteral("inside");
inline const QString StateActive = QStringLiteral("active");

struct Notification
{
    QString method;
    QJsonValue params;
};

struct NetworkChange
{
    QVector<int> routes;
    QVector<int> detectors;
};

// The running system: the network, the boards moving on it, the detectors reporting them,
// and the operator commands. It knows nothing of the wire: every change it makes is queued
// as a notification that the server takes and sends.
class World
{
public:
    // start: the simulated clock at elapsed 0 (default: now, whole seconds, UTC).
    explicit World(Network network, const QDateTime &start = QDateTime());

    const Network &network() const { return m_net; }
    QDateTime now() const;
    double elapsedSeconds() const { return m_elapsedS; }

    // Look-ups: nullptr for an unknown key.
    const Route *route(int id) const;
    const Detector *detector(int id) const;
    const Board *board(const QString &name) const;
    const TrafficLight *trafficLight(int number) const;

    // Records as the server sends them.
    QJsonObject routeRecord(const Route &route) const;
    QJsonArray routeList() const;
    QJsonObject routeGeometry(const Route &route) const;
    QJsonObject detectorRecord(const Detector &detector) const;
    QJsonArray detectorList() const;
    QJsonObject detectorGeometry(const Detector &detector) const;
    QJsonObject detectorProperties(const Detector &detector) const;
    QJsonObject boardRecord(const Board &board) const;
    QJsonObject boardList() const;
    // The answers that go out by the thousand, as the JSON text that goes on the wire
    // (the records above are read back from it).
    QString routeGeometryText(const Route &route) const;
    QString detectorListText() const;
    QString detectorGeometryText(const Detector &detector) const;
    QString boardListText() const;
    QJsonObject trafficLightProperties(const TrafficLight &tl) const;
    QJsonObject timelineData(const Route &route, bool extended) const;

    // The detector's state word: "active" when activated by hand or while a board is past
    // its check-in point, "inside" while a board is in it, "idle" otherwise.
    QString detectorState(const Detector &detector) const;
    // Boards a detector currently reports, with their state words.
    QMap<QString, QString> detectorBoards(const Detector &detector) const;
    bool detectorActivated(const Detector &detector) const;

    // Operator commands. Each returns an empty string on success, else why it was refused
    // (unknown object, unknown or ill-typed property); a refused command changes nothing.
    QString assignBoard(const QString &name, int routeId);
    QString unassignBoard(const QString &name);
    QString changeBoardProperties(const QString &name, const QJsonObject &props);
    QString changeRouteProperties(int id, const QJsonObject &props);
    QString changeDetectorProperties(int id, const QJsonObject &props);
    QString setDetectorActivated(int id, bool activate);
    QString changeTrafficLightProperties(int number, const QJsonObject &props);
    // Removes the named boards that exist; returns their names.
    QStringList removeBoards(const QStringList &names);

    // Advances the clock and everything on it. Positions are queued only when asked for,
    // which saves building thousands of objects nobody listens to.
    void step(double seconds, bool positions = true);

    // Boards log in and out on their own now and then unless this is off.
    void setChurnEnabled(bool on) { m_churn = on; }
    bool churnEnabled() const { return m_churn; }
    bool setBoardLoggedIn(const QString &name, bool loggedIn);
    // Assigns the board to the route and puts it at along metres, moving, no dwell.
    bool placeBoard(const QString &name, int routeId, double along);
    // Alters the geometry of some routes and detectors (new hashes) and queues
    // "RoadNetwork.networkChanged".
    NetworkChange changeNetwork(int routes, int detectors);
    // Takes a route out of the network, or brings a withdrawn one back, and queues
    // "RoadNetwork.networkChanged". Its boards stay assigned to it (standing still while it
    // is gone) and its detectors keep naming it. False for an id that is not there to move.
    bool withdrawRoute(int id);
    bool restoreRoute(int id);

    QVector<Notification> takeNotifications();
    bool hasNotifications() const { return !m_pending.isEmpty(); }

private:
    struct Zone
    {
        double start;
        double checkin;
        double end;
        int detector; // index
    };
    struct DetectorLive
    {
        bool activated = false;
        QMap<QString, ZoneState> boards;
    };

    void writeDetector(JsonText &out, const Detector &d, bool withGeometry) const;
    void writeBoard(JsonText &out, const Board &b, const QString &now) const;
    QString lastConnectedText(const Board &b, const QString &now) const;

    Route *routeMut(int id);
    Detector *detectorMut(int id);
    Board *boardMut(const QString &name);
    void rebuildIndexes();
    void rebuildZones();

    void queue(const QString &method, const QJsonValue &params);
    void queueBoardProperties(const Board &b);
    void queueDetectorProperties(const Detector &d);
    void setOccupancy(Board &b, int detector, ZoneState state);
    void clearOccupancy(Board &b, bool ordinary, bool emergency);
    void clearDetector(int detector);

    void login(Board &b, bool loggedIn);
    void moveBoard(Board &b, double dt);
    void advance(Board &b, const Route &route, double from, double to);
    void checkSectors(Board &b, const QPointF &where);
    bool triggers(const Board &b) const;
    void queuePosition(const Board &b, const QString &time);
    QPointF boardPoint(const Board &b) const;
    void startTrip(Board &b, const Route &route, double along);

    Network m_net;
    QVector<Route> m_withdrawn;
    QDateTime m_start;
    double m_elapsedS = 0.0;
    bool m_churn = true;
    QRandomGenerator m_rng;
    QHash<int, int> m_routeIndex;
    QHash<int, int> m_detectorIndex;
    QHash<QString, int> m_boardIndex;
    QHash<int, int> m_tlIndex;
    QHash<int, QVector<Zone>> m_zones; // by route id, ascending start, non-overlapping
    QVector<DetectorLive> m_detLive;
    Geo::GridIndex m_sectors;
    double m_maxSectorRadius = 0.0;
    int m_changeCursorRoute = 0;
    int m_changeCursorDetector = 0;
    int m_changeCount = 0;
    QVector<Notification> m_pending;
};

} // namespace Sim
