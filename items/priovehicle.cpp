#include "priovehicle.h"

#include "geo.h"
#include "guardeditems.h"
#include "itemlimits.h"
#include "itembatch.h"
#include "itemrow.h"
#include "itemsprites.h"
#include "priolayer.h"
#include "prioroute.h"
#include "recordvalue.h"
#include "kernel/roaditemmodel.h"
#include "plugin/priorityplugin.h"

#include <QCoreApplication>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QPainter>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <cmath>
#include <limits>

namespace {

const QString ActiveState = QStringLiteral("active");

// One of the ten icons, decoded once and then shared by every vehicle that shows it:
// decoding a PNG per board cost more than the rest of taking the board in.
QIcon sharedIcon(const QString &path)
{
    static QHash<QString, QIcon> icons;
    auto it = icons.find(path);
    if (it == icons.end())
        it = icons.insert(path, QIcon(path));
    return *it;
}

// Room for everything paint draws besides the marker: the weight figure's box, and half of
// a selected item's 2-pixel pen.
const QRectF WeightFigureRect = ItemSprites::FigureRect;
constexpr double PenMargin = 1.0;
// From this many device pixels per degree upwards the marker has its full size.
constexpr double FullSizeScale = 3000.0;

// Degrees reduced into (-360, 360): Qt's arc code turns the start angle into an int.
double reducedAngle(double degrees)
{
    return std::fmod(degrees, 360.0);
}

// Moved boards past which one pass of the event loop repaints the whole scene.
constexpr int FullUpdateMoves = 256;

// A view unites the old and the new rectangle of every moved item into its update region,
// and each union costs time in the rectangles already there: thousands of boards moving at
// once took a tenth of a second that way. Past FullUpdateMoves moves before the scene has
// processed them, the scene is repainted whole, which costs the same to draw and nothing to
// compute.
void noteMove(QGraphicsScene *scene)
{
    static QPointer<QGraphicsScene> counted;
    static int moves = 0;
    if (counted != scene) {
        counted = scene;
        moves = 0;
    }
    if (moves++ == 0)
        QTimer::singleShot(0, scene, [] { moves = 0; });
    if (moves == FullUpdateMoves)
        scene->update();
}

// A UTC time as local time in the text date format; positions of the same second share it.
QString localText(const QDateTime &utc)
{
    static qint64 second = std::numeric_limits<qint64>::min();
    static QString text;
    const qint64 now = utc.toSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = utc.toLocalTime().toString(Qt::TextDate);
    }
    return text;
}

// The pin turned by the course plus 180 degrees and scaled by 2, as drawn at full size.
// Every position of a moving vehicle needs one: they are made once per whole degree.
QPainterPath headingPin(int course)
{
    static QHash<int, QPainterPath> made;
    // In double: course + 180 overflows an int for extreme courses from the server.
    const int angle = int(reducedAngle(double(course) + 180.0));
    auto it = made.constFind(angle);
    if (it == made.constEnd()) {
        QTransform turn;
        turn.rotate(angle);
        turn.scale(2.0, 2.0);
        it = made.insert(angle, turn.map(ItemSprites::pin()));
    }
    return *it;
}

} // namespace

PrioVehicle::PrioVehicle(QObject *parent, const QString &name, QGraphicsScene *scene)
    : QGraphicsObject(nullptr)
    , m_name(name)
{
    // Display modes come from the plug-in; another parent (a test, a tool) gets the defaults.
    int textMode = PriorityPlugin::show_none;
    if (auto *plugin = qobject_cast<PriorityPlugin *>(parent)) {
        m_emsShowMode = plugin->emsShowMode();
        m_weightShowMode = plugin->brdWeightShowMode();
        textMode = plugin->textShowMode();
    }
    setData(0, QVariant::fromValue<QObject *>(this));
    setParent(parent);
    setFlags(ItemIsSelectable | ItemIgnoresTransformations | ItemIgnoresParentOpacity);

    if (scene) {
        joinPriorityLayer(scene, this, "Vehicle::Vehicle");
        m_batch = ItemBatch::attach(this);
    }

    updateIcon();
    setTextShowMode(textMode);
}

PrioVehicle::~PrioVehicle()
{
    if (m_batch)
        m_batch->remove(this);
    setSelected(false);
    delete m_label.data();
    delete m_sectorItem.data();
    delete m_gpsMarker.data();
}

QGraphicsPathItem *PrioVehicle::sectorItem() const
{
    return m_sectorItem.data();
}

QGraphicsEllipseItem *PrioVehicle::gpsMarker() const
{
    return m_gpsMarker.data();
}

QGraphicsTextItem *PrioVehicle::label() const
{
    return m_label.data();
}

bool PrioVehicle::hasGeometry() const
{
    return !m_noPosition && m_markerPath.elementCount() > 1;
}

void PrioVehicle::applyProperties(const QVariantMap &record)
{
    bool changed = false;
    bool shapeChanged = false;

    const bool locked = record.value(QStringLiteral("locked"), m_locked).toBool();
    if (locked != m_locked) {
        m_locked = locked;
        changed = true;
    }
    const int routeId = RecordValue::intValue(record, QStringLiteral("route_id"), m_routeId);
    if (routeId != m_routeId) {
        m_routeId = routeId;
        emit routeChanged();
        changed = true;
    }
    const QString description = record.value(QStringLiteral("description"), m_description).toString();
    if (description != m_description) {
        m_description = description;
        changed = true;
    }
    // A time a position set is kept in UTC and rendered in local time, as it was taken.
    const QDateTime shown = m_lastFromPosition ? m_lastConnected.toLocalTime() : m_lastConnected;
    const QString lastText = shown.isValid() ? shown.toString(Qt::ISODate) : QString();
    const QString newLastText = record.value(QStringLiteral("last_connected_time"), lastText).toString();
    if (newLastText != lastText) {
        m_lastConnected = QDateTime::fromString(newLastText, Qt::ISODate);
        m_lastFromPosition = false;
        changed = true;
    }
    const bool loggedIn = record.value(QStringLiteral("logged_in"), m_loggedIn).toBool();
    if (loggedIn != m_loggedIn) {
        m_loggedIn = loggedIn;
        setVisible(m_loggedIn && m_filterAccepted);
        if (!m_loggedIn) {
            m_speed = -1;
            m_noPosition = true;
            if (m_sectorItem)
                m_sectorItem->hide();
        }
        updateIcon();
    }
    const bool emergency = record.value(QStringLiteral("allow_emergency"), m_isEmergency).toBool();
    if (emergency != m_isEmergency) {
        m_isEmergency = emergency;
        changed = true;
        shapeChanged = true;
    }
    const int radius = RecordValue::intValue(record, QStringLiteral("radius"), m_evRadius);
    if (radius != m_evRadius) {
        m_evRadius = radius;
        shapeChanged = true;
    }
    const int sweep = RecordValue::intValue(record, QStringLiteral("sweep"), m_evSweep);
    if (sweep != m_evSweep) {
        m_evSweep = sweep;
        shapeChanged = true;
    }
    if (shapeChanged)
        updateShape();
    if (changed)
        updateIcon();
}

void PrioVehicle::applyPosition(const QVariantMap &record)
{
    bool changed = false;

    // A course that is not a usable number counts as none, like a missing one.
    const auto courseIt = record.constFind(QStringLiteral("course"));
    const int newCourse = courseIt == record.constEnd()
        ? NoCourse
        : RecordValue::toInt(courseIt.value()).value_or(NoCourse);

    // Positions outside the map (poles, NaN, beyond ±180°) count as no position.
    m_gpsPos = RecordValue::position(record, QStringLiteral("pos")).value_or(QPointF());
    QPointF display = RecordValue::position(record, QStringLiteral("rpos")).value_or(QPointF());
    const bool onRoute = !display.isNull();
    if (!onRoute)
        display = m_gpsPos;
    if (onRoute != m_onRoute) {
        m_onRoute = onRoute;
        changed = true;
    }

    if (m_gpsPos.isNull() && !m_noPosition) {
        m_speed = -1;
        m_noPosition = true;
        updateGpsMarker(false);
        if (m_label && m_label->isVisible())
            m_label->hide();
        changed = true;
    }

    const int weight = RecordValue::intValue(record, QStringLiteral("weight"), m_weight);
    if (weight != m_weight) {
        m_weight = weight;
        changed = true;
    }

    if (!display.isNull() && !(display == pos() && newCourse == m_course && !m_noPosition)) {
        // A board the batch draws adds nothing to the view's update region (the batch
        // unites where its boards were and are into one rectangle); a whole-scene update
        // would make the scene measure every item's bounds again.
        if (QGraphicsScene *s = scene(); s && !(m_batch && (flags() & ItemHasNoContents)))
            noteMove(s);
        setPos(display);
        m_course = newCourse;
        if (m_noPosition) {
            m_noPosition = false;
            if (!m_loggedIn) {
                // A position proves that the board is connected.
                m_loggedIn = true;
                setVisible(m_filterAccepted);
            }
            if (m_label && m_textShowMode == PriorityPlugin::show_selected)
                m_label->setVisible(isSelected());
            changed = true;
        }
        updateShape();
    }

    if (changed)
        updateIcon();

    // The current local time, taken in UTC: asking for local time reads the time zone file on
    // every call, which a city of boards does twenty thousand times a second.
    m_lastConnected = QDateTime::currentDateTimeUtc();
    m_lastFromPosition = true;

    const int speed = RecordValue::intValue(record, QStringLiteral("speed"), -1);
    if (speed != m_speed) {
        m_speed = speed;
        textsChanged();
    }
}

void PrioVehicle::setLoggedIn(bool loggedIn)
{
    if (loggedIn == m_loggedIn)
        return;
    m_loggedIn = loggedIn;
    setVisible(m_loggedIn && m_filterAccepted);
    if (!m_loggedIn) {
        m_speed = -1;
        m_noPosition = true;
        if (m_sectorItem)
            m_sectorItem->hide();
    }
    updateIcon();
}

void PrioVehicle::setPriorityState(const QString &state, int detectorId)
{
    if (state == ActiveState) {
        if (!m_activeDetectors.contains(detectorId)) {
            if (m_activeDetectors.size() >= ItemLimits::MaxActiveDetectors)
                return;
            m_activeDetectors.append(detectorId);
        }
    } else {
        m_activeDetectors.removeOne(detectorId);
        // Another detector still reports "active": the board keeps its state.
        if (!m_activeDetectors.isEmpty())
            return;
    }
    if (!state.isEmpty() && state != m_priorityState) {
        m_priorityState = state;
        updateIcon();
    }
}

void PrioVehicle::forgetDetector(int detectorId)
{
    if (!m_activeDetectors.removeOne(detectorId))
        return;
    // No detector that still exists reports the board active: its priority has ended,
    // though no detector said so in words.
    if (m_activeDetectors.isEmpty() && m_priorityState == ActiveState) {
        m_priorityState.clear();
        updateIcon();
    }
}

void PrioVehicle::setFilterAccepted(bool accepted)
{
    if (accepted == m_filterAccepted)
        return;
    m_filterAccepted = accepted;
    setVisible(m_filterAccepted && m_loggedIn);
}

void PrioVehicle::setTextShowMode(int mode)
{
    if (mode == m_textShowMode)
        return;
    m_textShowMode = mode;
    switch (mode) {
    case PriorityPlugin::show_selected:
        setLabelShown(true);
        if (m_label)
            m_label->setVisible(m_loggedIn && isSelected());
        break;
    case PriorityPlugin::show_always:
        setLabelShown(true);
        if (m_label)
            m_label->show();
        break;
    default:
        setLabelShown(false);
        break;
    }
}

void PrioVehicle::setEmsShowMode(int mode)
{
    if (mode == m_emsShowMode)
        return;
    m_emsShowMode = mode;
    updateShape();
    refresh();
}

void PrioVehicle::setWeightShowMode(int mode)
{
    if (mode == m_weightShowMode)
        return;
    m_weightShowMode = mode;
    refresh();
}

void PrioVehicle::updateIcon()
{
    const QString base = m_isEmergency ? QStringLiteral("ecar") : QStringLiteral("bus-24");
    QString suffix;
    if (m_locked) {
        suffix = QStringLiteral("r");
        m_stateColour = Qt::red;
    } else if (!m_loggedIn) {
        suffix = QStringLiteral("u");
        m_stateColour = Qt::lightGray;
    } else if (m_noPosition) {
        suffix = QStringLiteral("nogps");
        m_stateColour = Qt::lightGray;
    } else if (m_priorityState == ActiveState) {
        suffix = QStringLiteral("p");
        m_stateColour = Qt::green;
    } else if (m_routeId != 0) {
        m_stateColour = m_onRoute ? QColor(0xC7, 0xE2, 0xF8) : QColor(0xFF, 0xB6, 0xC1);
    } else {
        m_stateColour = Qt::lightGray;
    }
    const QString path = QStringLiteral("://icons/%1%2.png").arg(base, suffix);
    if (path != m_iconPath) {
        m_iconPath = path;
        m_icon = sharedIcon(path);
    }

    if (m_sectorItem) {
        QBrush brush = m_sectorItem->brush();
        QColor colour = m_stateColour;
        colour.setAlpha(brush.color().alpha());
        brush.setColor(colour);
        m_sectorItem->setBrush(brush);
        if (m_batch)
            m_batch->touch(m_sectorItem);
    }
    emit stateChanged();
    textsChanged();
    refresh();
}

void PrioVehicle::refresh()
{
    update();
    if (m_batch)
        m_batch->touch(this);
}

void PrioVehicle::attachToLayer(QGraphicsItem *item)
{
    if (QGraphicsItem *layer = parentItem())
        item->setParentItem(layer);
    else if (scene())
        scene()->addItem(item);
}

void PrioVehicle::updateShape()
{
    prepareGeometryChange();

    if (m_gpsMarker || isSelected())
        updateGpsMarker(isSelected() && !m_noPosition);

    if (m_course == NoCourse) {
        static const QPainterPath circle = ItemSprites::marker(-1);
        m_markerPath = circle;
    } else {
        m_markerPath = headingPin(m_course);

        bool sectorVisible = m_isEmergency && isVisible();
        if (sectorVisible) {
            switch (m_emsShowMode) {
            case PriorityPlugin::show_none:
                sectorVisible = false;
                break;
            case PriorityPlugin::show_selected:
                sectorVisible = isSelected();
                break;
            default:
                break;
            }
        }
        updateSector(sectorVisible);
    }

    // The weight figure's box reaches beyond the pin; the shape stays the marker alone.
    m_bounds = m_markerPath.boundingRect().united(WeightFigureRect)
                   .adjusted(-PenMargin, -PenMargin, PenMargin, PenMargin);
    if (m_batch)
        m_batch->touch(this);
}

void PrioVehicle::updateGpsMarker(bool shown)
{
    // Made while it shows and deleted when it does not: every item on the layer costs the
    // scene a visit in every frame, shown or not, and a city of boards is rarely selected.
    if (!shown || m_gpsPos.isNull() || !scene()) {
        delete m_gpsMarker.data();
        return;
    }
    if (!m_gpsMarker) {
        auto *marker = new GuardedEllipseItem(QRectF(-2.0, -2.0, 4.0, 4.0));
        QPen pen(Qt::black, 1.0);
        pen.setCosmetic(true);
        marker->setPen(pen);
        marker->setBrush(Qt::NoBrush);
        marker->setFlag(ItemIgnoresTransformations);
        marker->setZValue(zValue() + 0.3);
        attachToLayer(marker);
        m_gpsMarker = marker;
    }
    m_gpsMarker->setPos(m_gpsPos);
}

void PrioVehicle::updateSector(bool visible)
{
    if (m_isEmergency && m_evRadius > 0 && visible) {
        const QPointF centre = pos();
        const QPointF world = geoToWorld(centre);
        const double r = metresToWorld(m_evRadius, centre);
        QPainterPath sector;
        sector.moveTo(0.0, 0.0);
        // A sweep beyond a full turn draws nothing more; the start angle is reduced so that
        // no int inside Qt's arc code overflows.
        const double sweep = qBound(-360.0, double(m_evSweep), 360.0);
        const double start = reducedAngle((90.0 - double(m_course)) - double(m_evSweep) * 0.5);
        sector.arcTo(QRectF(-r, -r, 2.0 * r, 2.0 * r), start, sweep);
        sector.closeSubpath();
        sector.translate(world);
        bool finite = true;
        for (int i = 0; i < sector.elementCount(); ++i) {
            const QPointF geo = worldToGeo(sector.elementAt(i)) - centre;
            if (!qIsFinite(geo.x()) || !qIsFinite(geo.y())) {
                finite = false;
                break;
            }
            sector.setElementPositionAt(i, geo.x(), geo.y());
        }
        if (finite) {
            if (m_sectorItem) {
                m_sectorItem->setPath(sector);
            } else if (scene()) {
                auto *item = new GuardedPathItem;
                item->setPath(sector);
                QPen pen(Qt::black, 1.0);
                pen.setCosmetic(true);
                item->setPen(pen);
                QColor fill = m_stateColour;
                fill.setAlpha(127);
                item->setBrush(fill);
                item->setZValue(zValue() - 0.1);
                attachToLayer(item);
                m_sectorItem = item;
                if (m_batch)
                    m_batch->addSector(item);
            }
            if (m_sectorItem) {
                m_sectorItem->setPos(centre);
                if (m_batch)
                    m_batch->touch(m_sectorItem);
            }
        }
    }
    if (m_sectorItem)
        m_sectorItem->setVisible(visible);
}

void PrioVehicle::textsChanged()
{
    // Without the batch nothing would make them before the scene reads the tooltip.
    if (m_label || !m_batch)
        updateTexts();
    else
        m_textsStale = true;
}

void PrioVehicle::updateTexts()
{
    m_textsStale = false;
    static const QString noPositionText = QCoreApplication::translate("PrioVehicle", "No position data");
    static const QString lockedText = QCoreApplication::translate("PrioVehicle", "Locked");
    static const QString priorityText = QCoreApplication::translate("PrioVehicle", "Has priority");

    const QString title = m_isEmergency ? QCoreApplication::translate("PrioVehicle", "EV")
                                        : QCoreApplication::translate("PrioVehicle", "Vehicle");
    QString tip = title + QLatin1Char(' ') + (m_name.isEmpty() ? QStringLiteral("?") : m_name);
    m_typeText = title;
    if (!m_description.isEmpty())
        tip += QLatin1Char('\n') + m_description;
    if (m_speed >= 0)
        tip += QLatin1Char('\n') + QCoreApplication::translate("PrioVehicle", "Speed: %1 km/h").arg(m_speed);
    if (m_noPosition) {
        tip += QLatin1Char('\n') + noPositionText;
        m_typeText += QLatin1Char('(') + noPositionText + QLatin1Char(')');
    }
    if (m_locked) {
        tip += QLatin1Char('\n') + lockedText;
        m_typeText += QLatin1Char('(') + lockedText + QLatin1Char(')');
    } else if (m_priorityState == ActiveState) {
        tip += QLatin1Char('\n') + priorityText;
        m_typeText += QLatin1Char('(') + priorityText + QLatin1Char(')');
    }

    // Listed under a route's sub-section: entry -> sub-section -> the route's entry.
    if (auto *entry = property("modelItemObject").value<QObject *>()) {
        QObject *subSection = entry->parent();
        auto *routeEntry = subSection ? qobject_cast<Road::ItemObj *>(subSection->parent()) : nullptr;
        if (auto *route = routeEntry ? qobject_cast<PrioRoute *>(routeEntry->object()) : nullptr) {
            QString routeText = route->modelData(1, Qt::DisplayRole).toString();
            if (routeText.isEmpty())
                routeText = route->modelData(0, Qt::DisplayRole).toString();
            tip += QLatin1Char('\n') + QCoreApplication::translate("PrioVehicle", "Route")
                + QLatin1Char(' ') + routeText;
        }
    }
    if (m_lastConnected.isValid()) {
        tip += QLatin1Char('\n') + QCoreApplication::translate("PrioVehicle", "Last time was on connection")
            + QLatin1Char(' ') + (m_lastFromPosition ? localText(m_lastConnected) : m_lastConnected.toString(Qt::TextDate));
    }

    setToolTip(tip);
    if (m_label) {
        m_label->setPlainText(tip);
        applyLabelLook();
        m_label->adjustSize();
    }
}

void PrioVehicle::applyLabelLook()
{
    // Plain text replaces the document's formats, so the outline goes on after every text.
    QTextCursor cursor(m_label->document());
    cursor.select(QTextCursor::Document);
    QTextCharFormat format;
    QPen outline(Qt::black);
    outline.setCosmetic(true);
    format.setTextOutline(outline);
    cursor.mergeCharFormat(format);
    m_label->setTextCursor(cursor);
}

void PrioVehicle::setLabelShown(bool show)
{
    if (m_label) {
        if (!show) {
            delete m_label.data();
            m_label.clear();
        }
        return;
    }
    if (!show || !scene())
        return;
    auto *label = new QGraphicsTextItem(toolTip(), this);
    label->setDefaultTextColor(Qt::cyan);
    label->setFlags(ItemIgnoresTransformations);
    QFont font = label->font();
    font.setBold(true);
    font.setWeight(QFont::Black);
    font.setPointSize(10);
    label->setFont(font);
    label->setPos(10.0, 0.0);
    m_label = label;
    applyLabelLook();
    label->adjustSize();
}

QVariant PrioVehicle::modelData(int column, int role)
{
    ensureTexts();
    return ItemRow::data(column, role, m_name, m_description, m_typeText, m_icon, toolTip());
}

QRectF PrioVehicle::boundingRect() const
{
    return m_bounds;
}

QPainterPath PrioVehicle::shape() const
{
    return m_markerPath;
}

void PrioVehicle::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *widget)
{
    paintContent(painter, markerScale(widget));
}

double PrioVehicle::markerScale(const QWidget *widget)
{
    // Rendered into an image or printed there is no view (widget is null): full size. The
    // length of the transform's first row is the view's scale also when it is rotated or
    // mirrored; a degenerate view (scale 0) must not make the marker vanish.
    const auto *view = widget ? qobject_cast<const QGraphicsView *>(widget->parent()) : nullptr;
    if (view) {
        const QTransform t = view->transform();
        const double viewScale = std::hypot(t.m11(), t.m12());
        if (qIsFinite(viewScale) && viewScale > 0.0 && viewScale < FullSizeScale)
            return viewScale / FullSizeScale;
    }
    return 1.0;
}

QPen PrioVehicle::markerPen(const QPen &host, bool selected)
{
    // Kept for the next vehicle: a city of them is drawn with the same pen, and each copy
    // made cosmetic would be a new one.
    static QPen last;
    static QPen plain;
    static QPen chosen;
    if (host.isCosmetic())
        return host;
    if (!(host == last)) {
        last = host;
        plain = host;
        plain.setCosmetic(true);
        chosen = plain;
        chosen.setWidth(2);
    }
    return selected ? chosen : plain;
}

bool PrioVehicle::markerLook(ItemSprites::Look *look) const
{
    if (m_noPosition)
        return false;
    look->step = ItemSprites::courseStep(m_course, NoCourse);
    look->colour = m_stateColour.rgba();
    look->figure = m_weightShowMode == PriorityPlugin::show_weight_always
        || (m_weightShowMode == PriorityPlugin::show_weight_if_valid && m_weight >= 2);
    look->weight = m_weight;
    return true;
}

void PrioVehicle::paintContent(QPainter *painter, double scale) const
{
    ItemSprites::Look look;
    if (!markerLook(&look))
        return;
    // The pen as the host left it, or the cosmetic copy (2 pixels wide when selected) that is
    // set when the host's pen was not cosmetic.
    const QPen pen = markerPen(painter->pen(), isSelected());

    // Where the painter only moves (the item ignores the view's transformations), the
    // marker is a shared picture.
    if (painter->worldTransform().type() <= QTransform::TxTranslate) {
        ItemSprites::drawMarker(painter, look, pen, scale, WeightFigureRect);
        return;
    }

    painter->save();
    painter->setPen(pen);
    painter->setBrush(QBrush(m_stateColour));
    if (scale < 1.0)
        painter->scale(scale, scale);
    painter->drawPath(m_markerPath);
    if (look.figure)
        painter->drawText(WeightFigureRect, Qt::AlignHCenter | Qt::AlignVCenter, QString::number(m_weight));
    painter->restore();
}

QVariant PrioVehicle::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (change == ItemSelectedChange) {
        const bool selected = value.toBool() && !m_noPosition;
        if (m_label && m_textShowMode == PriorityPlugin::show_selected)
            m_label->setVisible(m_loggedIn && selected);
        updateGpsMarker(selected);
        // The sector's visibility follows the selection, which is not set yet.
        QMetaObject::invokeMethod(this, "updateShape", Qt::QueuedConnection);
    }
    if (m_batch)
        m_batch->itemChanged(this, change);
    return QGraphicsObject::itemChange(change, value);
}
