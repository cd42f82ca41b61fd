#pragma once

#include <QGraphicsObject>
#include <QIcon>
#include <QPainterPath>
#include <QPointF>
#include <QVariantMap>
#include <QVector>

class QGraphicsScene;

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

    PrioRoute(QObject *parent, int id, QGraphicsScene *scene);
    ~PrioRoute() override;

    int id() const { return m_id; }
    QString description() const { return m_description; }
    bool isLocked() const { return m_locked; }
    bool hasGeometry() const;
    bool dontHide() const { return m_dontHide; }
    bool useSgEvents() const { return m_useSgEvents; }
    QString geometryHash() const { return m_geometryHash; }
    QString typeText() const { return m_typeText; }
    QColor fillColour() const { return m_fillColour; }
    double widthMetres() const { return m_widthMetres; }
    const QPainterPath &outline() const { return m_outline; }
    // Made on first use after a geometry change.
    const QPainterPath &arrows() const;

    void applyProperties(const QVariantMap &record);
    void applyCachedRecord(const QVariantMap &record);
    void setGeometry(const QString &geometry, const QString &hash);

    void setSelected(bool selected);
    void setDontHide(bool dontHide);
    void setUseSgEvents(bool use);

    Q_INVOKABLE QVariant modelData(int column, int role);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

signals:
    void stateChanged();

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    void updateTexts();
    void setFillFromLock();
    bool buildOutline(const QVector<QPointF> &world, const QPointF &reference);
    static int arrowCount(const QVector<QPointF> &world, double shaft);

    int m_id;
    QString m_description;
    QString m_typeText;
    QIcon m_icon;
    bool m_locked = false;
    QPainterPath m_outline;
    mutable QPainterPath m_arrows;
    void appendArrows(QPainterPath *path, const QRectF *window) const;
    QColor m_fillColour;
    QString m_geometryHash;
    double m_widthMetres = 2.0;
    bool m_dontHide = false;
    bool m_useSgEvents = false;
    QRectF m_bounds;
    // Level of detail: the centre line in scene coordinates, stroked instead of the arrows
    // when they are closer together than a pixel and would only make the same line.
    QPainterPath m_centreLine;
    double m_arrowSpacingDegrees = 0.0;
    // Width of the band in degrees of longitude, for the level of detail.
    double m_bandDegrees = 0.0;
    // The route in the world plane, the arrows' count and length: the arrows on the screen
    // are made from them for every frame.
    QVector<QPointF> m_worldLine;
    int m_arrowCount = 0;
    double m_arrowShaft = 0.0;
};
