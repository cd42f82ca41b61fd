#pragma once

#include <QObject>
#include <QString>
#include <QVector>

#include "objectlooks.h"

// A count of what the plug-in lists: routes and detectors with and without their geometry,
// and boards by the state they show.
struct NetworkCensus
{
    int routes = 0;
    int routesWithGeometry = 0;
    int detectors = 0;
    int detectorsWithGeometry = 0;
    int boards = 0;
    int boardsByState[ObjectLooks::BoardStateCount + 1] = {};
    // Boards logged in, and of those the ones the map shows (the vehicle filters hide the
    // others).
    int boardsLoggedIn = 0;
    int boardsShown = 0;

    static NetworkCensus take(const QVector<QObject *> &listed, const ObjectLooks &looks);

    bool geometryComplete() const
    {
        return routesWithGeometry == routes && detectorsWithGeometry == detectors;
    }
    // "routes 412/683, detectors 20/130".
    QString loadingText() const;
    // "90 boards: 61 on its route, 4 has priority, …", the states with none left out.
    QString boardsText() const;
    // "12 of 61 boards shown".
    QString shownText() const;
};
