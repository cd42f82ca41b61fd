#pragma once

#include "network.h"

// A network laid out by hand, so that tests know where everything is:
//
//   route 1 runs 1000 m due east from the centre; a stop at 500 m.
//     detector 1: zone 400..480 m along route 1, check-in 40 m after its start (440 m)
//     detector 2: zone 150..200 m, no check-in point
//     detector 3: emergency sector at 700 m, radius 100 m, opening west (towards the
//                 vehicles that come along route 1), 60 degrees wide
//   route 2 runs parallel, 500 m further north.
//   boards: B1 on route 1 at 0 m, B2 on route 2, E1 an ambulance driving route 1 unassigned
//   from 550 m, D1 standing at the depot, B3 logged out. All drive 36 km/h (10 m/s),
//   E1 54 km/h.
namespace TestNet {

inline const QPointF Centre(37.6, 55.75);

inline QPointF east(double metres, double north = 0.0)
{
    return Sim::Geo::offsetMetres(Centre, metres, north);
}

inline Sim::Network straightNetwork()
{
    Sim::Network net;
    net.centre = Centre;
    net.seed = 3;

    Sim::Route r1;
    r1.id = 1;
    r1.name = QStringLiteral("1");
    r1.description = QStringLiteral("Route 1: West - East");
    r1.setPoints({east(0), east(500), east(1000)});
    r1.stops = {{QStringLiteral("Middle"), 500.0}};
    net.routes.append(r1);

    Sim::Route r2;
    r2.id = 2;
    r2.name = QStringLiteral("2");
    r2.description = QStringLiteral("Route 2");
    r2.setPoints({east(0, 500), east(1000, 500)});
    net.routes.append(r2);

    Sim::Detector d1;
    d1.id = 1;
    d1.name = QStringLiteral("D1 Middle");
    d1.routes = {1};
    d1.tlNumber = 1;
    d1.weight = 2;
    d1.line = {east(400), east(440), east(480)};
    d1.checkinLength = 40.0;
    d1.laidOnRoute = 1;
    d1.startAlong = 400.0;
    d1.checkinAlong = 440.0;
    d1.endAlong = 480.0;
    d1.rehash();
    net.detectors.append(d1);

    Sim::Detector d2;
    d2.id = 2;
    d2.name = QStringLiteral("D2");
    d2.routes = {1};
    d2.tlNumber = 1;
    d2.line = {east(150), east(200)};
    d2.laidOnRoute = 1;
    d2.startAlong = 150.0;
    d2.checkinAlong = 150.0;
    d2.endAlong = 200.0;
    d2.rehash();
    net.detectors.append(d2);

    Sim::Detector d3;
    d3.id = 3;
    d3.name = QStringLiteral("EV3");
    d3.emergency = true;
    d3.tlNumber = 1;
    d3.weight = 4;
    d3.pos = east(700);
    d3.radius = 100;
    d3.directionAngle = 180;
    d3.sweepAngle = 60;
    d3.rehash();
    net.detectors.append(d3);

    Sim::TrafficLight tl;
    tl.number = 1;
    tl.name = QStringLiteral("Junction 1");
    tl.pos = east(500);
    net.trafficLights.append(tl);

    auto board = [&](const QString &name, int route, int driving, double along) {
        Sim::Board b;
        b.name = name;
        b.description = QStringLiteral("Bus ") + name;
        b.routeId = route;
        b.drivingRoute = driving;
        b.along = along;
        b.cruiseKmh = 36.0;
        b.depot = east(-300);
        return b;
    };
    net.boards.append(board(QStringLiteral("B1"), 1, 1, 0.0));
    net.boards.append(board(QStringLiteral("B2"), 2, 2, 100.0));
    Sim::Board e1 = board(QStringLiteral("E1"), 0, 1, 550.0);
    e1.allowEmergency = true;
    e1.radius = 150;
    e1.sweep = 60;
    e1.cruiseKmh = 54.0;
    e1.vehicleType = QStringLiteral("ambulance");
    net.boards.append(e1);
    net.boards.append(board(QStringLiteral("D1"), 0, 0, 0.0));
    Sim::Board b3 = board(QStringLiteral("B3"), 2, 2, 0.0);
    b3.loggedIn = false;
    b3.lastConnectedAgoS = 3600.0;
    net.boards.append(b3);
    return net;
}

} // namespace TestNet
