#pragma once

#include "network.h"

namespace Sim {

// A made-up city: the same seed and sizes always give the same network.
struct GeneratorOptions
{
    quint32 seed = 1;
    int routes = 20;
    int pointsPerRoute = 60;
    int totalPoints = 0; // when positive, spread over the routes instead of pointsPerRoute
    int detectors = 100;
    int emergencyDetectors = 10;
    int boards = 60;
    double emergencyBoardShare = 0.05;
    QPointF centre{37.6, 55.75};
    double radiusMetres = 6000.0;
};

Network generateNetwork(const GeneratorOptions &options);

} // namespace Sim
