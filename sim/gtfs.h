#pragma once

#include "network.h"

#include <QString>
#include <QStringList>

namespace Sim {

// Sizes read from a GTFS feed are capped here; a feed beyond them is refused.
constexpr qint64 MaxFeedFileBytes = qint64(1) << 30;
constexpr int MaxFeedRows = 10000000;            // rows of one file
constexpr int MaxStoredShapePoints = 5000000;    // points of the shapes that routes use
constexpr int MaxFeedStops = 1000000;
constexpr int MaxFeedTextLength = 200;           // names and ids longer than this are cut

// Sizes a feed gets when the options leave them negative.
constexpr int GtfsBoardsPerRoute = 2;
constexpr int GtfsDefaultMaxBoards = 6000;
constexpr int GtfsStopsPerDetector = 3;
constexpr int GtfsDefaultMaxDetectors = 5000;

struct GtfsStats
{
    int routes = 0;      // rows of routes.txt
    int trips = 0;       // rows of trips.txt
    int shapePoints = 0; // rows of shapes.txt
    int stops = 0;       // usable rows of stops.txt
    qint64 elapsedMs = 0;
};

struct GtfsResult
{
    bool ok = false;
    QString error; // why the feed was refused
    QStringList warnings;
    Network network;
    GtfsStats stats;
};

// Reads routes.txt, trips.txt, shapes.txt and stops.txt from directory. Each GTFS route
// gives one simulated route per direction, drawn from the shape most of its trips in that
// direction use; stops within a few metres of that line become its stops. Detectors,
// controllers and boards are then placed as options say; a negative number of detectors,
// emergency detectors or boards is sized from the feed (GtfsStopsPerDetector and so on).
GtfsResult loadGtfsFeed(const QString &directory, const PopulateOptions &options);

} // namespace Sim
