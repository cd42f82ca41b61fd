#pragma once

#include "itemsprites.h"

#include <QBitArray>
#include <QColor>
#include <QFont>
#include <QGraphicsObject>
#include <QHash>
#include <QImage>
#include <QPen>
#include <QPainterPath>
#include <QPointer>
#include <QPolygonF>
#include <QTransform>
#include <QVector>

class GuardedPathItem;
class PrioVDetector;
class PrioVehicle;

// The detectors and vehicles of one map layer drawn by one item. The view spends about a
// microsecond on every item it paints before the item draws anything (its transform, its
// bounds against the exposed region, the painter's state, the style option): for a city's
// 16 000 detectors and vehicles that alone was 16 ms a frame. The items this batch draws
// carry ItemHasNoContents, so that the view only steps over them, and the batch draws them
// in one pass: detectors, then vehicles, each in the order they were made, above the
// routes and vehicle sectors and below everything else on the layer (selection rings,
// labels). Their shapes, hit tests, selection, tooltips and rows are theirs as before.
//
// The batch belongs to the plug-in (its QObject parent) and sits on the layer; it has no
// shape and takes no events. An item that is not drawn as the batch draws it (raised,
// translucent, transformed, on another parent) draws itself. Items tell the batch when
// their look or place changes (touch), since the view no longer repaints them.
//
// Detectors rarely change while boards move under them: the batch keeps them as a picture
// the size of the view, in tiles of TilePixels square, and draws again only the tiles a
// changed detector covers, and the strip a pan uncovers; a new scale or drawing state
// draws it whole. A frame of the whole city then costs the picture and the vehicles.
//
// The emergency sectors of the vehicles lie below the routes: the batch draws them from a
// second item of its own at their z-value, each from a polygon flattened once per shape,
// where a path item would flatten its arcs, take the view's transform and add its update
// rectangles to the view's region in every frame.
class ItemBatch : public QGraphicsObject
{
    Q_OBJECT
public:
    enum { Type = UserType + 0x5042 };

    // The batch of the layer the item is on, made on first use, with the item added; null
    // when the item is on no layer.
    static ItemBatch *attach(PrioVDetector *detector);
    static ItemBatch *attach(PrioVehicle *vehicle);
    ~ItemBatch() override;
    // A vehicle's sector, on this batch's layer.
    void addSector(GuardedPathItem *sector);

    void remove(QGraphicsItem *item);
    // The item's look or place changed: repaint where it was and where it is.
    void touch(const QGraphicsItem *item);
    // Sets ItemHasNoContents on the item where the batch draws it, and clears it where not.
    void sync(QGraphicsItem *item);
    // What an item's itemChange() tells the batch: a change of look is touched, a change of
    // how it is drawn (raised, translucent, re-parented) synced.
    void itemChanged(QGraphicsItem *item, GraphicsItemChange change);

    // Whether a visible detector or vehicle of a batch in scene meets rect (scene
    // coordinates) or, for a vehicle, the same rectangle on the screen through
    // deviceTransform, as their shapes answer hit tests; for the cursor over a view.
    static bool anyItemAt(const QGraphicsScene *scene, const QRectF &rect, const QTransform &deviceTransform);

    // The side of the tiles of the detectors' picture, in pixels.
    static constexpr int TilePixels = 32;
    // The z-value of the sectors the batch draws: a vehicle's, less 0.1.
    static constexpr double SectorZ = -0.1;

    // The batch of a layer, if it has one.
    static ItemBatch *ofLayer(const QGraphicsItem *layer);
    // For the route layer, which draws the detectors' picture over its own as one picture
    // where nothing comes between them: the view's picture of the detectors, brought up to
    // date for the painter as this frame's paint() would, with the device rectangles
    // (logical pixels) drawn again since the last call (all of it when *all), and this
    // frame's detectors left out of the batch's paint(). Null where the batch would not draw
    // them from its picture of that view.
    const QImage *takePicture(QPainter *painter, QWidget *widget, QRegion *changed, bool *all);
    // The detectors are drawn by the batch again (the route layer is painted without them).
    void dropTaken() { m_taken = Taken(); }

    int type() const override { return Type; }
    QRectF boundingRect() const override;
    QPainterPath shape() const override { return QPainterPath(); }
    bool contains(const QPointF &) const override { return false; }
    bool collidesWithPath(const QPainterPath &, Qt::ItemSelectionMode) const override { return false; }
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

protected:
    // Before the scene shows a tooltip, the vehicles' texts left to be made when read are made.
    bool eventFilter(QObject *watched, QEvent *event) override;
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    ItemBatch(QObject *owner, QGraphicsItem *layer);
    static ItemBatch *forLayer(QGraphicsObject *item);
    void compact();

    // What the batch draws of an item, kept by touch: a frame reads these packed side by
    // side instead of each item scattered in memory.
    struct DetectorEntry
    {
        PrioVDetector *item = nullptr;
        QPointF pos;
        QRectF bounds; // item coordinates
        QRectF zone;   // item coordinates
        QColor colour;
        bool emergency = false;
        bool selected = false;
        bool batched = false; // drawn by the batch, not by itself
        bool shown = false;   // visible and drawn by the batch
    };
    struct VehicleEntry
    {
        PrioVehicle *item = nullptr;
        QPointF pos;
        ItemSprites::Look look;
        bool selected = false;
        bool batched = false; // drawn by the batch, not by itself
        bool shown = false;   // visible, positioned and drawn by the batch
        // The sprite last drawn for the look (null when the look or selection changed since).
        const ItemSprites::Sprite *sprite = nullptr;
        int spriteStamp = -1;
    };
    struct SectorEntry
    {
        GuardedPathItem *item = nullptr;
        QPointF pos;
        QPainterPath path;  // item coordinates, as last flattened
        QPolygonF polygon;  // item coordinates
        QRectF bounds;      // item coordinates
        QPen pen;
        QBrush brush;
        bool batched = false; // drawn by the batch, not by itself
        bool shown = false;   // visible and drawn by the batch
    };
    class SectorPass;
    void refresh(DetectorEntry *entry);
    void refresh(VehicleEntry *entry);
    void refresh(SectorEntry *entry);
    // Repaints where a shown sector is.
    void repaintSector(const SectorEntry &entry);
    // Draws the shown sectors that meet the exposed rectangle; the second thread draws the
    // dirty tiles of widget's picture of the detectors first, if the frame will show it.
    void paintSectors(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget);
    // What a sector and a dirty tile of the detectors' picture took to draw, as the last
    // frames measured them (ns; 0 before the first): they share the two threads.
    double m_sectorNs = 0.0;
    double m_tileNs = 0.0;
    // Repaints where a shown detector is, in the view and in the detectors' pictures.
    void repaintDetector(const DetectorEntry &entry);

    // What a picture of the detectors was drawn for.
    struct PictureKey
    {
        QTransform transform;
        QSize size;
        qreal ratio = 0.0;
        QPen pen;
        QFont font;
        int hints = 0;
        // Everything but the transform's translation.
        bool sameLook(const PictureKey &o) const;
    };
    struct Picture
    {
        QPointer<QWidget> widget;
        QImage image;
        PictureKey key;
        // Tiles to draw again, row by row.
        QBitArray dirty;
        int columns = 0;
        bool anyDirty = false;
        // Device pixels outside it are transparent: the frame copies only what lies in it.
        QRect content;
        // What was drawn again since takePicture() last took it (it has moved with the
        // picture), or all of it.
        QRegion unseen;
        bool unseenAll = true;
        // The tiles a rectangle of device pixels meets are drawn again.
        void markDirty(const QRectF &device);
        bool isDirty(const QRectF &device) const;
    };
    static PictureKey pictureKey(const QPainter *painter, const QTransform &base);
    // Draws the picture's dirty tiles again, for its own mapping, and clears them.
    void redrawDirty(Picture *picture) const;
    // The view's picture if all it needs to be brought up to date for the painter, as it is
    // now, is its dirty tiles drawn again; else null.
    Picture *dirtyPicture(const QPainter *painter, const QWidget *widget);
    // Draws the detectors from the view's picture, made or brought up to date first.
    void paintDetectors(QPainter *painter, const QTransform &base, const QRectF &exposed, QWidget *widget);
    // The view's picture, made or brought up to date for the painter; null where the
    // detectors are drawn as they are (no widget, translucent, none).
    Picture *updatePicture(QPainter *painter, const QTransform &base, QWidget *widget);
    // The frame whose detectors the route layer drew: painter, device and transform.
    struct Taken
    {
        const QPainter *painter = nullptr;
        const QPaintDevice *device = nullptr;
        QTransform transform;
    };
    Taken m_taken;
    // Draws the shown detectors that meet one of windows (batch coordinates) and, given
    // picture, its dirty tiles; the device rectangle they cover.
    QRectF drawDetectors(QPainter *painter, const QTransform &base, const QVector<QRectF> &windows,
                         const Picture *picture) const;

    // Null items where an item left; compacted when holes pile up.
    QVector<DetectorEntry> m_detectors;
    QVector<VehicleEntry> m_vehicles;
    QVector<SectorEntry> m_sectors;
    QHash<const QGraphicsItem *, int> m_index;
    int m_holes = 0;
    // The pixels per degree of the views that drew the batch last, both ways: what a
    // vehicle's marker (in pixels) covers of the scene at most.
    QHash<QWidget *, QSizeF> m_scales;
    // One per view showing the batch; the oldest goes when a third view comes.
    QVector<Picture> m_pictures;
    // Draws the sectors below the routes; made with the first sector.
    QPointer<QGraphicsObject> m_sectorPass;
    // A frame's sectors to draw (places in m_sectors); kept for its memory.
    QVector<int> m_drawnSectors;

    // Draws the shown vehicles whose markers meet device (device pixels), each only as far
    // as the opaque pixels of markers drawn after it leave it to be seen.
    void paintVehicles(QPainter *painter, const QTransform &base, const QRectF &device, QWidget *widget);
    // A frame's markers in drawing order, and the opaque pixels of those above, a bit a
    // pixel, row by row: kept between frames for their memory. The sprites stay in place
    // while more are made (QHash nodes do not move), until the cache drops them.
    struct PlacedMarker
    {
        const ItemSprites::Sprite *sprite;
        QPoint corner;
        // What is drawn of it: the sprite whole, the part not hidden, or nothing; where the
        // rows are painted in two halves, in each of them (in one, the first alone).
        QRect shows[2];
    };
    QVector<PlacedMarker> m_placed;
    QVector<quint64> m_cover;
};
