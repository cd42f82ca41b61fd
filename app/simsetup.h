#pragma once

#include <QRectF>
#include <QString>
#include <QStringList>

#include "sim/network.h"

// The networks the demo runs its embedded simulator on.
namespace DemoNetwork {

struct Built
{
    bool ok = false;
    QString error;
    QString summary; // one line for the log: what was built
    QStringList warnings; // what was odd about the source (a feed's skipped rows)
    Sim::Network network;
};

// A made-up city of moderate size: a few dozen routes with their detectors and boards.
Built generated(quint32 seed = 1);
// Routes and stops from a GTFS feed, with detectors and boards put on them in proportion.
Built fromGtfs(const QString &directory, quint32 seed = 1);

// The area the routes cover (degrees, x longitude, y latitude); empty without routes.
QRectF bounds(const Sim::Network &network);

// Boards and detectors put on a GTFS network, at most.
constexpr int MaxGtfsBoards = 400;
constexpr int MaxGtfsDetectors = 600;

} // namespace DemoNetwork
