#pragma once

#include "itemsprites.h"

#include <QDateTime>
#include <QGraphicsObject>
#include <QIcon>
#include <QList>
#include <QPainterPath>
#include <QPointer>
#include <QVariantMap>

class QGraphicsScene;
class QGraphicsPathItem;
class QGraphicsEllipseItem;
class QGraphicsTextItem;
class GuardedPathItem;
class ItemBatch;
class GuardedEllipseItem;

// One board (a vehicle with an on-board unit): a state-coloured pin in device pixels on
// the "Traffic priority" layer, an emergency sector for emergency vehicles, and the
// board's row in the object tree.
class PrioVehicle : public QGraphicsObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name)
    Q_PROPERTY(QString remoteOwner READ remoteOwner)
    Q_PROPERTY(bool selected READ isSelected WRITE setSelected)
    Q_PROPERTY(bool locked READ isLocked)
    Q_PROPERTY(bool hasGeometry READ hasGeometry)
    Q_PROPERTY(bool isEmergency READ isEmergency)
    Q_PROPERTY(int routeId READ routeId)
    Q_PROPERTY(int evRadius READ evRadius)
    Q_PROPERTY(int evSweep READ evSweep)

public:
    // The course value that means "no course".
    static constexpr int NoCourse = -360;

    PrioVehicle(QObject *parent, const QString &name, QGraphicsScene *scene);
    ~PrioVehicle() override;

    QString name() const { return m_name; }
    QString remoteOwner() const { return m_remoteOwner; }
    QString description() const { return m_description; }
    bool isLocked() const { return m_locked; }
    bool hasGeometry() const;
    bool isEmergency() const { return m_isEmergency; }
    int routeId() const { return m_routeId; }
    int evRadius() const { return m_evRadius; }
    int evSweep() const { return m_evSweep; }
    QString priorityState() const { return m_priorityState; }
    QList<int> activeDetectors() const { return m_activeDetectors; }
    bool isLoggedIn() const { return m_loggedIn; }
    bool hasNoPosition() const { return m_noPosition; }
    bool isOnRoute() const { return m_onRoute; }
    bool isFilterAccepted() const { return m_filterAccepted; }
    int course() const { return m_course; }
    int speed() const { return m_speed; }
    int weight() const { return m_weight; }
    int textShowMode() const { return m_textShowMode; }
    int emsShowMode() const { return m_emsShowMode; }
    int weightShowMode() const { return m_weightShowMode; }
    QPointF gpsPos() const { return m_gpsPos; }
    QColor stateColour() const { return m_stateColour; }
    QIcon icon() const { return m_icon; }
    QString iconPath() const { return m_iconPath; }
    QString typeText() const
    {
        ensureTexts();
        return m_typeText;
    }
    // The tooltip as updateTexts makes it. The texts change with nearly every position (the
    // speed), and are read rarely (a tooltip, a tree row): without a label they are made when
    // read, through this, modelData, or the scene's help event (the layer's item batch makes
    // them before the scene shows a tooltip).
    QString toolTip() const
    {
        ensureTexts();
        return QGraphicsObject::toolTip();
    }
    // Makes the texts now if a change left them to be made when read.
    void ensureTexts() const
    {
        if (m_textsStale)
            const_cast<PrioVehicle *>(this)->updateTexts();
    }
    QDateTime lastConnected() const { return m_lastConnected; }
    const QPainterPath &markerPath() const { return m_markerPath; }
    // Null when never made or already deleted by the host; the raw-position ring only
    // exists while it shows.
    QGraphicsPathItem *sectorItem() const;
    QGraphicsEllipseItem *gpsMarker() const;
    QGraphicsTextItem *label() const;

    void applyProperties(const QVariantMap &record);
    void applyPosition(const QVariantMap &record);
    void setLoggedIn(bool loggedIn);
    void setPriorityState(const QString &state, int detectorId);
    // A detector that no longer exists stops counting as reporting this board active:
    // when it was the last one, the board loses its "active" state.
    void forgetDetector(int detectorId);
    void setFilterAccepted(bool accepted);
    void setTextShowMode(int mode);
    void setEmsShowMode(int mode);
    void setWeightShowMode(int mode);
    void setSelected(bool selected) { QGraphicsItem::setSelected(selected); }

    void updateIcon();
    void updateTexts();
    void setLabelShown(bool show);

    Q_INVOKABLE QVariant modelData(int column, int role);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;
    // Draws the marker at the painter's origin at scale (1: full size).
    void paintContent(QPainter *painter, double scale) const;
    // The marker's look as the layer's item batch draws it; false without a position.
    bool markerLook(ItemSprites::Look *look) const;
    // The pen a marker is drawn with: the host's, or, where that is not cosmetic, a cosmetic
    // copy, 2 pixels wide when selected.
    static QPen markerPen(const QPen &host, bool selected);
    // The marker's scale in the view that owns widget (a viewport), 1 without one.
    static double markerScale(const QWidget *widget);

signals:
    void routeChanged();
    void stateChanged();

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    Q_INVOKABLE void updateShape();
    // The raw-position ring, on the layer while shown (selected, with a position).
    void updateGpsMarker(bool shown);
    void updateSector(bool visible);
    void attachToLayer(QGraphicsItem *item);
    void applyLabelLook();
    // The texts changed: made now where a label shows them, else when read.
    void textsChanged();
    // update(), and the batch told.
    void refresh();

    QString m_name;
    QString m_description;
    QString m_typeText;
    QString m_remoteOwner;
    QIcon m_icon;
    QString m_iconPath;
    QPointF m_gpsPos;
    QPainterPath m_markerPath;
    QRectF m_bounds;
    QColor m_stateColour;
    int m_routeId = 0;
    QString m_priorityState;
    QList<int> m_activeDetectors;
    bool m_locked = false;
    bool m_filterAccepted = true;
    int m_weight = 1;
    // Items on the layer that the vehicle made and deletes; guarded, because the host may
    // clear the scene or the layer first.
    QPointer<GuardedPathItem> m_sectorItem;
    QPointer<GuardedEllipseItem> m_gpsMarker;
    int m_course = NoCourse;
    bool m_isEmergency = false;
    int m_evRadius = 0;
    int m_evSweep = 0;
    int m_emsShowMode = 0;
    int m_weightShowMode = 0;
    bool m_noPosition = true;
    bool m_loggedIn = false;
    bool m_onRoute = false;
    int m_speed = -1;
    QDateTime m_lastConnected;
    // m_lastConnected is a position's arrival, in UTC.
    bool m_lastFromPosition = false;
    QPointer<QGraphicsTextItem> m_label;
    int m_textShowMode = 0;
    bool m_textsStale = false;
    QPointer<ItemBatch> m_batch;
};
