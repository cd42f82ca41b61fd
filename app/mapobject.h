#pragma once

#include <QObject>
#include <QRectF>
#include <QString>
#include <QVector>

#include <optional>

class QGraphicsItem;

namespace Road {
class ItemModel;
}

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

// Column text of one of the plug-in's rows (0: the key, 1: name or description) through
// its modelData; empty for anything else.
QString rowText(const QObject *object, int column);

// Every object the tree lists, once each, in tree order.
QVector<QObject *> listedObjects(const Road::ItemModel *model);

// Where a plug-in object is on the map (degrees); nothing when it has no geometry yet or its
// bounds are not finite. A board, drawn in pixels, is the point it stands at (a rectangle
// of size zero).
std::optional<QRectF> mapBounds(const QObject *object);
