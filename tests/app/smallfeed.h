#pragma once

// A GTFS feed small enough to check by hand, for the demo's tests.

#include <QFile>
#include <QString>

namespace SmallFeed {

// Two routes, one per shape, six stops on each line: worked by hand, the demo puts
// min(400, 2 routes * 2) = 4 boards and min(600, 12 stops / 3) = 4 detectors on it, and one
// emergency-call detector (a tenth of four, but at least one).
inline const char *const Routes = "route_id,route_short_name,route_long_name,route_type\r\n"
                           "R1,1,\"Harbour, North\",3\r\n"
                           "R2,2,Station,3\r\n";
inline const char *const Trips = "route_id,service_id,trip_id,shape_id,direction_id\n"
                          "R1,WK,T1,S1,0\n"
                          "R2,WK,T2,S2,0\n";
inline const char *const Shapes = "shape_id,shape_pt_lat,shape_pt_lon,shape_pt_sequence\n"
                           "S1,55.75,37.60,1\nS1,55.75,37.61,2\nS1,55.75,37.62,3\n"
                           "S1,55.75,37.63,4\nS1,55.75,37.64,5\nS1,55.75,37.65,6\n"
                           "S2,55.73,37.625,1\nS2,55.74,37.625,2\nS2,55.745,37.625,3\n"
                           "S2,55.76,37.625,4\nS2,55.77,37.625,5\nS2,55.78,37.625,6\n";
inline const char *const Stops = "stop_id,stop_name,stop_lat,stop_lon\n"
                          "A1,Pier,55.75,37.60\nA2,Market,55.75,37.61\nA3,Mill,55.75,37.62\n"
                          "A4,Bridge,55.75,37.63\nA5,School,55.75,37.64\nA6,Harbour,55.75,37.65\n"
                          "B1,Depot,55.73,37.625\nB2,Park,55.74,37.625\nB3,Square,55.745,37.625\n"
                          "B4,Church,55.76,37.625\nB5,Baths,55.77,37.625\nB6,Station,55.78,37.625\n";

inline bool writeFile(const QString &path, const char *text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == qint64(qstrlen(text));
}

inline bool write(const QString &dir)
{
    return writeFile(dir + QStringLiteral("/routes.txt"), Routes) && writeFile(dir + QStringLiteral("/trips.txt"), Trips)
           && writeFile(dir + QStringLiteral("/shapes.txt"), Shapes) && writeFile(dir + QStringLiteral("/stops.txt"), Stops);
}

} // namespace SmallFeed
