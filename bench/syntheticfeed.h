#pragma once

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>
#include <QtMath>

#include <cmath>

namespace Bench {

// Writes a GTFS feed of a bus network the size of a big city's (by default 342 routes, each
// run both ways on a shape of its own, about 340 points 30 m apart, a stop every 250 m) into
// directory, for the benchmarks to load when no real feed is given. Same seed, same feed.
inline bool writeSyntheticFeed(const QString &directory, int routes = 342, int pointsPerShape = 340,
                               quint32 seed = 7)
{
    const double centreLon = -73.95;
    const double centreLat = 40.72;
    const double metresPerDegreeLat = 111320.0;
    const double metresPerDegreeLon = metresPerDegreeLat * std::cos(qDegreesToRadians(centreLat));
    QRandomGenerator rng(seed);

    QFile routesFile(QDir(directory).filePath(QStringLiteral("routes.txt")));
    QFile tripsFile(QDir(directory).filePath(QStringLiteral("trips.txt")));
    QFile shapesFile(QDir(directory).filePath(QStringLiteral("shapes.txt")));
    QFile stopsFile(QDir(directory).filePath(QStringLiteral("stops.txt")));
    for (QFile *file : {&routesFile, &tripsFile, &shapesFile, &stopsFile}) {
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
    }
    QTextStream routesOut(&routesFile), tripsOut(&tripsFile), shapesOut(&shapesFile), stopsOut(&stopsFile);
    routesOut << "route_id,route_short_name,route_long_name,route_type\n";
    tripsOut << "route_id,service_id,trip_id,direction_id,shape_id,trip_headsign\n";
    shapesOut << "shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\n";
    stopsOut << "stop_id,stop_name,stop_lat,stop_lon,location_type\n";
    shapesOut.setRealNumberNotation(QTextStream::FixedNotation);
    shapesOut.setRealNumberPrecision(6);
    stopsOut.setRealNumberNotation(QTextStream::FixedNotation);
    stopsOut.setRealNumberPrecision(6);

    int stopCount = 0;
    for (int r = 1; r <= routes; ++r) {
        const QString route = QStringLiteral("B%1").arg(r);
        routesOut << route << ',' << route << ",Avenue " << r << " Local,3\n";
        // A random walk from somewhere within 12 km of the centre, turning a little at every
        // point; the way back is the same street a few metres over.
        double east = (rng.generateDouble() * 2 - 1) * 12000.0;
        double north = (rng.generateDouble() * 2 - 1) * 12000.0;
        double heading = rng.generateDouble() * 2 * M_PI;
        QVector<QPointF> there;
        there.reserve(pointsPerShape);
        for (int i = 0; i < pointsPerShape; ++i) {
            there.append(QPointF(centreLon + east / metresPerDegreeLon, centreLat + north / metresPerDegreeLat));
            heading += (rng.generateDouble() * 2 - 1) * 0.25;
            const double step = 25.0 + rng.generateDouble() * 10.0;
            east += step * std::sin(heading);
            north += step * std::cos(heading);
        }
        for (int dir = 0; dir < 2; ++dir) {
            const QString shape = QStringLiteral("%1_%2").arg(route).arg(dir);
            tripsOut << route << ",WKD," << shape << "_T," << dir << ',' << shape << ",Terminal " << dir << '\n';
            for (int i = 0; i < pointsPerShape; ++i) {
                const QPointF p = there.at(dir == 0 ? i : pointsPerShape - 1 - i)
                                  + QPointF(dir * 4.0 / metresPerDegreeLon, 0.0);
                shapesOut << shape << ',' << p.y() << ',' << p.x() << ',' << i << '\n';
                if (i % 8 == 4) {
                    ++stopCount;
                    stopsOut << "S" << stopCount << ",Stop " << stopCount << ',' << p.y() << ',' << p.x() << ",0\n";
                }
            }
        }
    }
    for (QTextStream *out : {&routesOut, &tripsOut, &shapesOut, &stopsOut})
        out->flush();
    return routesFile.error() == QFile::NoError && tripsFile.error() == QFile::NoError
        && shapesFile.error() == QFile::NoError && stopsFile.error() == QFile::NoError;
}

} // namespace Bench
