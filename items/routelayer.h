#pragma once

#include <QElapsedTimer>
#include <QGraphicsObject>
#include <QHash>
#include <QImage>
#include <QPen>
#include <QPointer>
#include <QRegion>
#include <QSet>
#include <QTransform>
#include <QVector>

class ItemBatch;
class PrioRoute;

// The routes of one map layer drawn as one picture, the way map applications show a layer
// that rarely changes: an image of every route the size of the view, shown by this one
// item below the layer's other items, so that a frame with thousands of routes on the
// screen costs one image. The picture is made again when a route's geometry, colour,
// visibility or selection changes, or the view's scale, size or painter state does; a drag
// by whole pixels moves the picture and draws the strips it uncovers. While a view zooms
// the last picture, scaled, stands in until the new one is done, which is drawn a slice of
// routes at a time, within a frame's budget. Where the layer's batch (ItemBatch) is the next
// item drawn, its picture of the detectors is kept composed over this one, so that the two
// cost one image a frame (drawn apart while a view is dragged or anything comes between).
//
// The item belongs to the plug-in (its QObject parent) and sits on the layer; it draws
// nothing of its own, has no shape and takes no events. A route changed since the picture
// was made (up to MaxChangedOnTop of those, and any selected one) is drawn on top of it at
// once, until a picture holds it in its place among the others, as the scene stacks it (a
// selected route is not raised). A changed route stacked above every route that put pixels
// in the shown picture is drawn into it instead, which is what a new picture would show:
// routes getting their geometry in the order they were made (a network loading) cost one
// picture, not one per burst. A route that is not drawn as the layer draws it (moved,
// transformed, translucent, raised, on another parent) draws itself.
class RouteLayer : public QGraphicsObject
{
    Q_OBJECT
public:
    enum { Type = UserType + 0x5052 };
    // Time a frame spends on the next picture while an earlier one stands in, in ms.
    static constexpr int FrameBudgetMs = 8;
    // Routes changed since the shown picture that are drawn on top of it, at most; past
    // this many the next picture is made at once, at most every WholePictureMs and every
    // four times as long as the last such picture took, so that a stream of changes (routes
    // arriving) leaves most of the event loop to them (drawing a
    // city's routes all on top of the picture in every frame took a quarter of a second a
    // frame, for as long as the next picture took to make a slice at a time in such frames).
    // Meanwhile the others stand in as the shown picture has them.
    static constexpr int MaxChangedOnTop = 64;
    static constexpr int WholePictureMs = 500;

    // The picture of the layer the route is on, made on first use, with the route added to
    // it; null when the route is on no layer.
    static RouteLayer *attach(PrioRoute *route);
    ~RouteLayer() override;

    void removeRoute(PrioRoute *route);
    // A route's look or bounds changed: the pictures are made again when next shown.
    void invalidate(const PrioRoute *route);
    // Whether the layer draws the route (from its picture, or at once on top of it where the
    // picture does not show the route as it is), so that the route draws nothing itself.
    bool draws(const PrioRoute *route) const;
    // Sets ItemHasNoContents on the route where the picture draws it, and clears it where not.
    void sync(PrioRoute *route);

    // Whether a route the layer holds meets rect (scene coordinates), as the routes' shapes
    // answer hit tests; for the cursor over a view of scene.
    static bool anyRouteAt(const QGraphicsScene *scene, const QRectF &rect);

    int type() const override { return Type; }
    QRectF boundingRect() const override;
    QPainterPath shape() const override { return QPainterPath(); }
    bool contains(const QPointF &) const override { return false; }
    bool collidesWithPath(const QPainterPath &, Qt::ItemSelectionMode) const override { return false; }
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

private:
    RouteLayer(QObject *owner, QGraphicsItem *layer);
    bool eligible(const PrioRoute *route) const;
    // Whether the shown picture holds the route as it looks now.
    bool pictured(const PrioRoute *route) const;

    // What a picture was made for.
    struct Key
    {
        QTransform transform;
        QSize size;
        qreal ratio = 0.0;
        QPen pen;
        int hints = 0;
        quint64 generation = 0;
        // Everything but the transform's translation.
        bool sameLook(const Key &o) const;
        // The scene rectangle the picture shows.
        QRectF window() const { return transform.inverted().mapRect(QRectF(QPointF(0.0, 0.0), size)); }
        bool operator==(const Key &o) const { return sameLook(o) && transform == o.transform; }
    };
    struct View
    {
        QPointer<QWidget> widget;
        // The last finished picture.
        QImage shown;
        Key shownKey;
        bool hasShown = false;
        // The highest place in m_routes of a route with pixels in the shown picture.
        int shownTop = -1;
        // The picture being made: the routes before nextRoute are in it.
        QImage next;
        Key nextKey;
        int nextRoute = -1;
        int nextTop = -1;
        QSet<const PrioRoute *> nextDrawn;
        // Drawn into the shown picture since the composed picture took it (logical pixels,
        // moved with it), or all of it.
        QRegion unseen;
        bool unseenAll = true;
        // The shown picture with the detectors' picture of the layer's batch over it, made
        // for composedKey and kept up to date where either changes.
        QImage composed;
        Key composedKey;
        bool hasComposed = false;
    };
    // In a frame where nothing comes between this picture and the batch's picture of the
    // detectors (one above the other, the same whole-pixel mapping, no route drawn on top)
    // both are drawn as one: one screen-sized blend instead of two. False where the frame
    // draws them apart.
    bool paintComposed(QPainter *painter, View *view, const Key &key, QWidget *widget);
    // Whether the batch is the next item drawn after this one that draws anything.
    bool nothingBetween(const ItemBatch *batch) const;
    // Draws routes from view->nextRoute on, within budgetMs (none: all of them); true when
    // the picture is done.
    bool continuePicture(View *view, int budgetMs);
    // Moves the shown picture to key where only its translation differs, by whole pixels
    // and less than half the view, drawing the strips uncovered.
    void movePicture(View *view, const Key &key);
    // Draws the changed routes stacked above view->shownTop into the shown picture, which
    // then holds them as they are.
    void addChangedOnTop(View *view);
    // Draws a route into a picture made for key, whose window (scene) is window; true if
    // it may have put pixels there.
    static bool drawInto(QPainter *painter, const QRectF &window, const Key &key, const PrioRoute *route);

    // In the order of their making, which is the order the layer stacks them in. A route
    // that goes leaves a hole (null) until the next paint closes them all up: routes are
    // removed by the thousand when a connection is lost, and each removal from the vector
    // cost a search and a move of all after it.
    QVector<PrioRoute *> m_routes;
    QHash<const PrioRoute *, int> m_places;
    int m_holes = 0;
    void closeHoles();
    // Routes the shown pictures hold, and those changed since (they draw themselves until
    // a picture with the change is done).
    QSet<const PrioRoute *> m_drawn;
    QSet<const PrioRoute *> m_changed;
    // Since the last picture made at once for many changes, and whether a repaint waits
    // for the next one.
    QElapsedTimer m_sinceWhole;
    qint64 m_wholeMs = 0;
    bool m_wholeWaits = false;
    quint64 m_generation = 1;
    // A route left the layer since the shown picture was made: only a new one drops it, and
    // until then no route is added to the shown one.
    bool m_removedSinceShown = false;
    // One per view showing the layer; the oldest goes when a third view comes.
    QVector<View> m_views;
    mutable QRectF m_bounds;
    mutable bool m_boundsDirty = false;
};
