// Display settings, vehicle filters and the binding to the host's map view.
// Every setting but the minimum zoom is written to the host's settings store when it
// changes, and read back by start.

#include "plugin/priorityplugin.h"

#include "plugin/log.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QScrollBar>
#include <QSettings>
#include <QTimerEvent>

#include "items/itemcursor.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"

using namespace PrioLog;

namespace {

const QString keyTextShow = QStringLiteral("Lumen2/text_show_value");
const QString keyEmsShow = QStringLiteral("Lumen2/ems_show_value");
const QString keyBrdWeight = QStringLiteral("Lumen2/brd_weight_show_mode_value");
const QString keyDtWeight = QStringLiteral("Lumen2/dt_weight_show_mode_value");
const QString keyShowOnActivation = QStringLiteral("Lumen2/show_dt_on_activation");
const QString keyMinZoom = QStringLiteral("Lumen2/min_zoom_for_vdt_visible");
const QString keyShowApproaching = QStringLiteral("Lumen2/show_dt_when_approaching");
const QString keyNameFilter = QStringLiteral("Lumen2/vehicle_name_filter");
const QString keyDescrFilter = QStringLiteral("Lumen2/vehicle_descr_filter");

constexpr int defaultMinVisibleZoom = 17;
constexpr int viewSettleMs = 500;

// The host's settings store: the application's organisation and name.
void writeSetting(const QString &key, const QVariant &value)
{
    QSettings().setValue(key, value);
}

} // namespace

void PriorityPlugin::loadSettings()
{
    QSettings settings;
    m_textShowMode = ShowMode(settings.value(keyTextShow, int(m_textShowMode)).toInt());
    m_emsShowMode = ShowMode(settings.value(keyEmsShow, int(m_emsShowMode)).toInt());
    m_brdWeightShowMode = ShowWeightMode(settings.value(keyBrdWeight, int(m_brdWeightShowMode)).toInt());
    m_dtWeightShowMode = ShowWeightMode(settings.value(keyDtWeight, int(m_dtWeightShowMode)).toInt());
    m_showDtOnActivation = settings.value(keyShowOnActivation, m_showDtOnActivation).toBool();
    // The minimum zoom is never written by its setter: the stored value, or else the default,
    // holds at every start.
    m_minVisibleZoom = settings.value(keyMinZoom, defaultMinVisibleZoom).toInt();
    m_showDtWhenApproaching = settings.value(keyShowApproaching, m_showDtWhenApproaching).toBool();
    nameFilter.setPattern(settings.value(keyNameFilter, nameFilter.pattern()).toString());
    descrFilter.setPattern(settings.value(keyDescrFilter, descrFilter.pattern()).toString());
}

void PriorityPlugin::setTextShowMode(ShowMode mode)
{
    if (mode == m_textShowMode)
        return;
    m_textShowMode = mode;
    for (PrioVehicle *vehicle : qAsConst(boards))
        vehicle->setTextShowMode(mode);
    writeSetting(keyTextShow, int(mode));
}

void PriorityPlugin::setEmsShowMode(ShowMode mode)
{
    if (mode == m_emsShowMode)
        return;
    m_emsShowMode = mode;
    for (PrioVehicle *vehicle : qAsConst(boards))
        vehicle->setEmsShowMode(mode);
    writeSetting(keyEmsShow, int(mode));
}

void PriorityPlugin::setBrdWeightShowMode(ShowWeightMode mode)
{
    if (mode == m_brdWeightShowMode)
        return;
    m_brdWeightShowMode = mode;
    writeSetting(keyBrdWeight, int(mode));
    for (PrioVehicle *vehicle : qAsConst(boards))
        vehicle->setWeightShowMode(mode);
}

void PriorityPlugin::setDtWeightShowMode(ShowWeightMode mode)
{
    if (mode == m_dtWeightShowMode)
        return;
    m_dtWeightShowMode = mode;
    writeSetting(keyDtWeight, int(mode));
    for (PrioVDetector *detector : qAsConst(detectors))
        detector->setWeightShowMode(mode);
}

void PriorityPlugin::setShowDtOnActivation(bool show)
{
    if (show == m_showDtOnActivation)
        return;
    m_showDtOnActivation = show;
    writeSetting(keyShowOnActivation, show);
    for (PrioVDetector *detector : qAsConst(detectors))
        detector->setShowOnActivation(show);
}

void PriorityPlugin::setShowDtWhenApproaching(bool show)
{
    if (show == m_showDtWhenApproaching)
        return;
    m_showDtWhenApproaching = show;
    writeSetting(keyShowApproaching, show);
    if (!show) {
        for (PrioVDetector *detector : qAsConst(detectors))
            detector->setInView(false);
    } else {
        refreshDetectorsInView();
    }
}

void PriorityPlugin::setMinVisibleZoom(int zoom)
{
    if (zoom == m_minVisibleZoom)
        return;
    m_minVisibleZoom = zoom;
    if (currentZoom >= zoom) {
        lastViewChange.start();
    } else {
        for (PrioVDetector *detector : qAsConst(detectors))
            detector->setInView(false);
        lastViewChange.invalidate();
    }
}

void PriorityPlugin::setVehicleNameFilter(const QString &name_regex)
{
    if (name_regex == nameFilter.pattern())
        return;
    nameFilter.setPattern(name_regex);
    for (PrioVehicle *vehicle : qAsConst(boards))
        vehicle->setFilterAccepted(vehicleAccepted(vehicle));
    writeSetting(keyNameFilter, name_regex);
}

QString PriorityPlugin::getVehicleNameFilter()
{
    return nameFilter.pattern();
}

void PriorityPlugin::setVehicleDescrFilter(const QString &name_regex)
{
    if (name_regex == descrFilter.pattern())
        return;
    descrFilter.setPattern(name_regex);
    for (PrioVehicle *vehicle : qAsConst(boards))
        vehicle->setFilterAccepted(vehicleAccepted(vehicle));
    writeSetting(keyDescrFilter, name_regex);
}

QString PriorityPlugin::getVehicleDescrFilter()
{
    return descrFilter.pattern();
}

bool PriorityPlugin::vehicleAccepted(PrioVehicle *vehicle) const
{
    if (!vehicle)
        return true;
    // exactMatch is not const on QRegExp; the filters are matched on copies.
    if (!nameFilter.pattern().isEmpty()) {
        QRegExp filter(nameFilter);
        if (!filter.exactMatch(vehicle->modelData(0, Qt::DisplayRole).toString()))
            return false;
    }
    if (!descrFilter.pattern().isEmpty()) {
        QRegExp filter(descrFilter);
        if (!filter.exactMatch(vehicle->modelData(1, Qt::DisplayRole).toString()))
            return false;
    }
    return true;
}

void PriorityPlugin::setView(QGraphicsView *newView)
{
    if (newView == view.data())
        return;
    if (!newView) {
        if (view) {
            error(tr("null 'view' object"));
            return;
        }
        // The previous view was destroyed while set: nothing to keep.
    }

    if (QGraphicsView *old = view.data()) {
        disconnect(old, nullptr, this, nullptr);
        disconnect(old->horizontalScrollBar(), nullptr, this, nullptr);
        disconnect(old->verticalScrollBar(), nullptr, this, nullptr);
    }
    // One view timer at a time.
    if (viewTimerId) {
        killTimer(viewTimerId);
        viewTimerId = 0;
    }

    view = newView;
    // The arrow over the plug-in's items on this view (they carry no cursor of their own).
    ItemCursor::bind(this, newView);
    if (!newView)
        return;
    connect(newView, SIGNAL(zoomChanged(int)), this, SLOT(on_viewZoomChanged(int)));
    connect(newView->horizontalScrollBar(), SIGNAL(valueChanged(int)), this, SLOT(on_viewMoved(int)));
    connect(newView->verticalScrollBar(), SIGNAL(valueChanged(int)), this, SLOT(on_viewMoved(int)));
    viewTimerId = startTimer(viewSettleMs, Qt::CoarseTimer);

    // A view that reached its zoom before it was handed over reports no change of it: take
    // the level it offers (host views name it "zoom") as the current zoom.
    bool ok = false;
    const int zoom = newView->property("zoom").toInt(&ok);
    if (ok)
        on_viewZoomChanged(zoom);
}

void PriorityPlugin::on_viewZoomChanged(int zoom)
{
    if (zoom == currentZoom)
        return;
    currentZoom = zoom;
    if (zoom >= m_minVisibleZoom) {
        lastViewChange.start();
    } else {
        for (PrioVDetector *detector : qAsConst(detectors))
            detector->setInView(false);
        lastViewChange.invalidate();
    }
}

void PriorityPlugin::on_viewMoved(int)
{
    if (currentZoom >= m_minVisibleZoom)
        lastViewChange.start();
}

void PriorityPlugin::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != viewTimerId || viewTimerId == 0) {
        QObject::timerEvent(event);
        return;
    }
    if (lastViewChange.isValid() && lastViewChange.elapsed() >= viewSettleMs) {
        lastViewChange.invalidate();
        refreshDetectorsInView();
    }
}

void PriorityPlugin::refreshDetectorsInView()
{
    QGraphicsView *v = view.data();
    if (!m_showDtWhenApproaching || !v || !scene || detectors.isEmpty())
        return;
    // Below the minimum zoom (or before the view has reported one) nothing is in view.
    const bool zoomedIn = currentZoom >= 0 && currentZoom >= m_minVisibleZoom;
    const QRectF visible = zoomedIn ? v->mapToScene(v->rect()).boundingRect() : QRectF();
    for (PrioVDetector *detector : qAsConst(detectors)) {
        const QRectF bounds = detector->sceneBoundingRect();
        detector->setInView(zoomedIn && !bounds.isNull() && bounds.intersects(visible));
    }
}
