#pragma once

#include "polylineindex.h"

#include <QGraphicsObject>
#include <QIcon>
#include <QPainterPath>
#include <QPointF>
#include <QPointer>
#include <QVariantMap>
#include <QVector>

class QGraphicsScene;
class RouteLayer;

// One public-transport route: a band of fixed width in metres with direction arrows,
// on the map's "Traffic priority" layer, and the route's row in the object tree.
class PrioRoute : public QGraphicsObject
{
    Q_OBJECT
    Q_PROPERTY(bool selected READ isSelected WRITE setSelected)
    Q_PROPERTY(bool dontHide READ dontHide WRITE setDontHide)
    Q_PROPERTY(bool useSgEvents READ useSgEvents WRITE setUseSgEvents)
    Q_PROPERTY(bool locked READ isLocked)
    Q_PROPERTY(bool hasGeometry READ hasGeometry)
    Q_PROPERTY(int id READ id)

public:
    // Below this width on the screen the band is not filled: the line of the arrows (or the
    // centre line standing in for them) covers it anyway.
    static constexpr double MinBandPixels = 1.5;
    // Arrows closer than this on the screen are drawn as the route's centre line.
    static constexpr double MinArrowSpacingPixels = 4.0;
    // Lines are drawn simplified to this many pixels.
    static constexpr double SimplifyPixels = 0.25;

    PrioRoute(QObject *parent, int id, QGraphicsScene *scene);
    ~PrioRoute() override;

    int id() const { return m_id; }
    QString description() const { return m_description; }
    bool isLocked() const { return m_locked; }
    bool hasGeometry() const;
    // Whether paintContent draws anything at all.
    bool drawsLine() const;
    bool dontHide() const { return m_dontHide; }
    bool useSgEvents() const { return m_useSgEvents; }
    QString geometryHash() const { return m_geometryHash; }
    QString typeText() const { return m_typeText; }
    QColor fillColour() const { return m_fillColour; }
    double widthMetres() const { return m_widthMetres; }
    // The band and the arrows in scene coordinates. Neither is kept (together about 30 path
    // elements per point of a city route): each call makes them from the route's line.
    QPainterPath outline() const;
    QPainterPath arrows() const;

    void applyProperties(const QVariantMap &record);
    void applyCachedRecord(const QVariantMap &record);
    void setGeometry(const QString &geometry, const QString &hash);

    void setSelected(bool selected);
    void setDontHide(bool dontHide);
    void setUseSgEvents(bool use);

    Q_INVOKABLE QVariant modelData(int column, int role);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    // The shape's hit tests, answered from the part of the band near the point or path
    // instead of the whole outline: the host's cursor handling asks every route under the
    // mouse on every move.
    bool contains(const QPointF &point) const override;
    bool collidesWithPath(const QPainterPath &path, Qt::ItemSelectionMode mode = Qt::IntersectsItemShape) const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;
    // Draws the route with the pen the host left on the painter, the parts within window
    // (scene coordinates), as selected or not; the route layer's picture draws routes with
    // it.
    void paintContent(QPainter *painter, const QRectF &window, QPen pen, bool selected) const;

signals:
    void stateChanged();

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    void updateTexts();
    void setFillFromLock();
    void invalidatePicture();
    // Calls arrow(tail, tip, barb1, barb2), scene coordinates, for the arrows whose tip lies
    // on the segments between points first and last.
    template<typename Emit>
    void forEachArrow(int first, int last, Emit arrow) const;

    int m_id;
    QString m_description;
    QString m_typeText;
    QIcon m_icon;
    bool m_locked = false;
    QColor m_fillColour;
    QString m_geometryHash;
    double m_widthMetres = 2.0;
    bool m_dontHide = false;
    bool m_useSgEvents = false;
    // The route's points; the band (the outline) and the arrows are made from them, in the
    // world plane, where they are needed.
    PolylineIndex m_line;
    // Band width in world units, at the route's first point.
    double m_bandWidth = 0.0;
    int m_arrowCount = 0;
    // The outline's bounds (the band's, or a little more) and what it is, kept from the build.
    QRectF m_bounds;
    enum class Outline : quint8 { None, Point, Band };
    Outline m_outline = Outline::None;
    QPointer<RouteLayer> m_layer;
};
