#pragma once

#include <QObject>
#include <QString>

class QGraphicsItem;

// One of the plug-in's map objects as the host knows it: by class name and the properties
// it publishes. The host links none of the plug-in's classes.
struct MapObjectRef
{
    enum Kind { None, Route, Board, Detector };

    Kind kind = None;
    int id = 0;       // route or detector id
    QString name;     // board name
    int tlNumber = 0; // the detector's traffic-light controller; 0 when it has none
    bool locked = false;
    bool active = false; // detectors: the detector has been activated

    bool isValid() const { return kind != None; }
    // "Route 12", "Board 4021", "Detector 7".
    QString title() const;

    // The reference of a plug-in object; kind None for anything else or for an object whose
    // key cannot be read.
    static MapObjectRef of(const QObject *object);
};

// The plug-in object behind a scene item: the item itself or the nearest of its parents
// that carries a QObject pointer under item data key 0. Null for anything else.
QObject *mapObjectOfItem(const QGraphicsItem *item);
