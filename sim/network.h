#pragma once

#include "geo.h"

#include <QJsonObject>
#include <QPointF>
#include <QString>
#include <QVarLengthArray>
#include <QVector>

// The simulated traffic-priority system as plain values: routes, detectors, traffic-light
// controllers and boards. The generator and the GTFS loader build one; Sim::World runs it.
namespace Sim {

// Sizes a network may have, whatever the command line or a feed asks for.
constexpr int MaxRoutes = 20000;
constexpr int MaxPointsPerRoute = 100000;
constexpr int MaxDetectors = 100000;
constexpr int MaxBoards = 100000;

struct Stop
{
    QString name;
    double along = 0.0; // metres along the route
};

struct Route
{
    int id = 0;
    QString name;
    QString description;
    bool locked = false;
    Geo::Polyline line;
    QString geometry; // wire form of line
    QString geometryHash;
    QVector<Stop> stops; // ascending along
    QJsonObject extra;   // carried along in the route record (for example the GTFS ids)

    void setPoints(QVector<QPointF> points);
};

struct Detector
{
    int id = 0;
    QString name;
    bool emergency = false;
    QVector<int> routes;
    int tlNumber = 0;
    int weight = 1;
    bool locked = false;

    // Line zone of an ordinary detector, from its start to its stop point.
    QVector<QPointF> line;
    double checkinLength = -1.0; // metres from the start; negative: no check-in point
    // Where the zone lies on the route it was laid on, in metres along that route.
    int laidOnRoute = 0;
    double startAlong = 0.0;
    double checkinAlong = 0.0;
    double endAlong = 0.0;

    // Sector of an emergency-call detector.
    QPointF pos;
    int radius = 0;         // metres
    int directionAngle = 0; // degrees clockwise from east
    int sweepAngle = 0;     // degrees

    QString geometry; // wire form of line (ordinary detectors), made by rehash()
    QString geometryHash;

    void rehash(); // after any change of the zone
};

struct TrafficLight
{
    int number = 0;
    QString name;
    QPointF pos;
    QString mode = QStringLiteral("auto");
    QString program = QStringLiteral("P1");
    bool priorityEnabled = true;
    int cycleS = 90;
};

enum class ZoneState : quint8 { None, Inside, Active };

struct Occupancy
{
    int detector; // index into Network::detectors
    ZoneState state;
};

struct Board
{
    QString name;
    QString description;
    QString vehicleType = QStringLiteral("bus");
    bool locked = false;
    int routeId = 0; // assigned route; 0 = none
    bool loggedIn = true;
    double lastConnectedAgoS = 0.0; // before the world's start, for boards not logged in
    bool allowEmergency = false;
    int radius = 0;
    int sweep = 0;

    // Motion: the route whose line the vehicle drives (0: it stands at depot).
    int drivingRoute = 0;
    double along = 0.0;
    double cruiseKmh = 30.0;
    QPointF depot;

    // Live state, kept by Sim::World.
    double dwellS = 0.0;
    bool atTerminal = false;
    int nextStop = 0;
    double offsetS = 0.0;
    int speedKmh = 0;
    int course = -1; // degrees clockwise from north; negative while standing at the depot
    int weight = 1;
    QPointF lastPos;
    QVarLengthArray<Occupancy, 2> occupancy;
};

struct Network
{
    QPointF centre{37.6, 55.75};
    quint32 seed = 1;
    QVector<Route> routes;
    QVector<Detector> detectors;
    QVector<TrafficLight> trafficLights;
    QVector<Board> boards;
};

// What to put on a network that has its routes and stops: ordinary detectors before stops,
// emergency-call sectors on the routes, controllers for them, and boards.
struct PopulateOptions
{
    quint32 seed = 1;
    int detectors = 100;
    int emergencyDetectors = 10;
    int boards = 60;
    double emergencyBoardShare = 0.05;
    double unassignedBoardShare = 0.05;
    double loggedOutBoardShare = 0.08;
};

void populateNetwork(Network &network, const PopulateOptions &options);

} // namespace Sim
