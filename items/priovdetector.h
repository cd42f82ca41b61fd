#pragma once

#include "polylineindex.h"

#include <QBrush>
#include <QGraphicsObject>
#include <QFont>
#include <QIcon>
#include <QList>
#include <QPainterPath>
#include <QPen>
#include <QPointer>
#include <QPolygonF>
#include <QSet>
#include <QVariantMap>

class ItemBatch;
class QGraphicsScene;

// One virtual detector: a detection zone along a route (line zone) or, for an
// emergency-call detector, a sector around a point; and its row in the object tree.
class PrioVDetector : public QGraphicsObject
{
    Q_OBJECT
    Q_PROPERTY(int id READ id)
    Q_PROPERTY(int tlNumber READ tlNumber)
    Q_PROPERTY(bool locked READ isLocked)
    Q_PROPERTY(bool active READ isActive)
    Q_PROPERTY(bool selected READ isSelected WRITE setSelectedShown)
    Q_PROPERTY(bool hasGeometry READ hasGeometry)

public:
    PrioVDetector(QObject *parent, int id, QGraphicsScene *scene, bool showOnActivation);
    ~PrioVDetector() override;

    int id() const { return m_id; }
    int tlNumber() const { return m_tlNumber; }
    bool isLocked() const { return m_locked; }
    bool isActive() const;
    bool hasGeometry() const;
    bool isEmergency() const { return m_emergency; }
    QString name() const { return m_name; }
    QString state() const { return m_state; }
    QList<int> routes() const { return m_routes; }
    QSet<QString> activeBoards() const { return m_activeBoards; }
    QString geometryHash() const { return m_geometryHash; }
    const QPainterPath &zonePath() const;
    const QPainterPath &band() const;
    const QPainterPath &startCircle() const { return m_startCircle; }
    const QPainterPath &endCircle() const { return m_endCircle; }
    const QPainterPath &checkinSquare() const { return m_checkinSquare; }
    const QPolygonF &arrowHead() const { return m_arrowHead; }
    QRectF weightRect() const { return m_weightRect; }
    QPointF centre() const { return m_centre; }
    QColor stateColour() const { return m_stateColour; }
    int weight() const { return m_weight; }
    bool isInView() const { return m_inView; }
    bool showOnActivation() const { return m_showOnActivation; }
    QString displayName() const
    {
        ensureTexts();
        return m_displayName;
    }
    QString typeText() const
    {
        ensureTexts();
        return m_typeText;
    }
    // The tooltip as updateTexts makes it. A city's detectors are loaded and changed far
    // more often than their texts are read (a tooltip, a tree row): while the layer's item
    // batch is there, they are made when read, through these, modelData, or the scene's
    // help event (the batch makes those of the shown detectors before the scene shows a
    // tooltip).
    QString toolTip() const
    {
        ensureTexts();
        return QGraphicsObject::toolTip();
    }
    // Makes the texts now if a change left them to be made when read.
    void ensureTexts() const
    {
        if (m_textsStale)
            const_cast<PrioVDetector *>(this)->updateTexts();
    }
    int weightShowMode() const { return m_weightShowMode; }

    void applyProperties(const QVariantMap &record);
    void setState(const QString &state, const QString &boardName);
    void setShowOnActivation(bool show);
    void setInView(bool inView);
    void setWeightShowMode(int mode);
    // The selected property: shows the item first when selecting (a hidden item cannot be
    // selected).
    void setSelectedShown(bool selected);
    void updateAppearance();
    void updateTexts();

    Q_INVOKABLE QVariant modelData(int column, int role);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;
    // What every detector of a frame is drawn with: the host's pen made cosmetic (2 pixels
    // and solid when selected) and the weight figure's font, taken from the painter.
    struct PaintStyle
    {
        QPen pen;
        QPen selectedPen;
        QFont figureFont;
    };
    static PaintStyle paintStyle(const QPainter *painter);
    // Draws the zone with the painter's transform; the layer's item batch draws detectors
    // with it. Leaves the painter's pen, brush and transform changed.
    void paintContent(QPainter *painter, const PaintStyle &style, bool selected) const;
    // The zone's control-point bounds (item coordinates), for the batch.
    QRectF zoneRect() const { return m_zoneRect; }
    // Draws a zone a few pixels across (zone: its bounds in the painter's coordinates) as a
    // dot of colour; false, drawing nothing, for a larger one.
    static bool paintDot(QPainter *painter, const QRectF &zone, const QColor &colour, bool emergency);
    // The pixels of the dot a zone of device bounds device shows as; false for a larger one.
    static bool dotPixels(const QRectF &device, QRect *pixels);
    // Fills the dot's pixels (the painter's transform must be the identity).
    static void fillDot(QPainter *painter, const QRect &pixels, const QColor &colour, bool emergency);

signals:
    void stateChanged();

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    void paintBand(QPainter *painter, const QPen &pen, double bandPixels) const;
    // update(), and the batch told.
    void refresh();
    bool buildSector(const QVariantMap &record);
    bool buildLineZone(const QVariantMap &record);
    void clearZone();
    // Strokes a line zone's band and puts its zone path together, when first asked for.
    void makeBand() const;

    int m_id;
    QString m_displayName;
    QString m_typeText;
    QString m_name;
    QIcon m_icon;
    QString m_statusTip;
    bool m_locked = false;
    bool m_emergency = false;
    QString m_state;
    QList<int> m_routes;
    QSet<QString> m_activeBoards;
    QString m_geometryHash;
    // A line zone's band, and with it the zone path, are made when first drawn, hit-tested
    // or read: a city's detectors are loaded far more often than looked at closely. Until
    // then the band's centre line waits here in the world plane.
    mutable QPainterPath m_zonePath;
    QPainterPath m_startCircle;
    QPainterPath m_checkinSquare;
    QPainterPath m_endCircle;
    mutable QPainterPath m_band;
    mutable QVector<QPointF> m_pendingBandLine;
    QPolygonF m_arrowHead;
    QColor m_stateColour;
    QPointF m_centre;
    QRectF m_weightRect;
    int m_tlNumber = 0;
    int m_radius = 0;
    int m_sweepAngle = 0;
    int m_directionAngle = 0;
    int m_weight = 0;
    bool m_showOnActivation;
    bool m_inView = false;
    bool m_textsStale = false;
    int m_weightShowMode = 0;
    // zonePath's bounds and, for a line zone, the check-in square and the weight figure.
    QRectF m_bounds;
    // For drawing a line zone: its centre line in scene coordinates, and the band's and
    // the circles' widths in world units.
    PolylineIndex m_centreLine;
    QRectF m_zoneRect;
    QBrush m_stateBrush;
    double m_bandWidth = 0.0;
    double m_markWidth = 0.0;
    QPointer<ItemBatch> m_batch;
};
