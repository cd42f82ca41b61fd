#include "priovdetector.h"

#include "geo.h"
#include "geometrytext.h"
#include "itemlimits.h"
#include "itembatch.h"
#include "itemrow.h"
#include "itemsprites.h"
#include "priolayer.h"
#include "recordvalue.h"
#include "plugin/priorityplugin.h"

#include <QCoreApplication>
#include <QGraphicsScene>
#include <QLineF>
#include <QPainter>
#include <QPainterPathStroker>
#include <QTransform>

#include <cmath>

namespace {

const QString ActiveState = QStringLiteral("active");
const QString InsideState = QStringLiteral("inside");

// Points of a line zone closer than this to the previous kept point are dropped.
constexpr double MinSegmentMetres = 5.0;
// Centre-line vertices closer than this (world units) are skipped.
constexpr double MinCentreLineStep = 0.001;
// Degrees of longitude per world unit.
constexpr double DegreesPerWorldUnit = 360.0 / Geo::WorldSize;
// A zone with more centre-line points than this draws its band from its centre line, only
// where it is on the screen: a zone is a few points, and a hostile one of a hundred
// thousand must not cost a stroke of all of them for every frame.
constexpr int MaxPlainZonePoints = 64;
// A weight disc larger than this on the screen is drawn directly rather than kept as a
// picture.
constexpr double MaxDiscSpritePixels = 128.0;
// A zone smaller than this on the screen, both ways, is drawn as a dot of at most
// DotPixels square.
constexpr double SmallZonePixels = 4.0;
constexpr double DotPixels = 3.0;

bool isFinitePoint(const QPointF &p)
{
    return qIsFinite(p.x()) && qIsFinite(p.y());
}

bool isFiniteRect(const QRectF &rect)
{
    return isFinitePoint(rect.topLeft()) && isFinitePoint(rect.bottomRight());
}

// A world-plane square of side s around a point, as a scene rectangle.
QRectF sceneSquare(const QPointF &worldCentre, double side)
{
    const QPointF half(side * 0.5, side * 0.5);
    return QRectF(worldToGeo(worldCentre - half), worldToGeo(worldCentre + half)).normalized();
}

// The brush of a state colour: the few colours' brushes are shared by every detector
// rather than one made for each.
QBrush stateBrush(const QColor &colour)
{
    static const QBrush brushes[] = {QBrush(Qt::red), QBrush(Qt::blue), QBrush(Qt::green), QBrush(Qt::darkGray)};
    for (const QBrush &brush : brushes) {
        if (brush.color() == colour)
            return brush;
    }
    return QBrush(colour);
}

QPointF towards(const QPointF &from, const QPointF &to, double distance)
{
    const double length = QLineF(from, to).length();
    if (!(length > 0.0))
        return from;
    return from + (to - from) * (distance / length);
}

} // namespace

PrioVDetector::PrioVDetector(QObject *parent, int id, QGraphicsScene *scene, bool showOnActivation)
    : QGraphicsObject(nullptr)
    , m_id(id)
    , m_showOnActivation(showOnActivation)
{
    if (auto *plugin = qobject_cast<PriorityPlugin *>(parent))
        m_weightShowMode = plugin->dtWeightShowMode();
    setData(0, QVariant::fromValue<QObject *>(this));
    setParent(parent);
    setFlags(ItemIsSelectable | ItemIgnoresParentOpacity);
    setVisible(false);

    if (scene) {
        joinPriorityLayer(scene, this, "VDetector::VDetector");
        m_batch = ItemBatch::attach(this);
    }

    updateAppearance();
}

PrioVDetector::~PrioVDetector()
{
    if (m_batch)
        m_batch->remove(this);
}

void PrioVDetector::refresh()
{
    update();
    if (m_batch)
        m_batch->touch(this);
}

bool PrioVDetector::isActive() const
{
    return m_state == ActiveState;
}

bool PrioVDetector::hasGeometry() const
{
    return !m_pendingBandLine.isEmpty() || m_zonePath.elementCount() > 1;
}

const QPainterPath &PrioVDetector::zonePath() const
{
    makeBand();
    return m_zonePath;
}

const QPainterPath &PrioVDetector::band() const
{
    makeBand();
    return m_band;
}

QVariant PrioVDetector::modelData(int column, int role)
{
    if (role == Qt::StatusTipRole)
        return m_statusTip;
    ensureTexts();
    return ItemRow::data(column, role, m_id, m_displayName, m_typeText, m_icon, QGraphicsObject::toolTip());
}

void PrioVDetector::applyProperties(const QVariantMap &record)
{
    bool changed = false;
    const QString hash = record.value(QStringLiteral("geometry_hash")).toString();

    const bool emergency = record.value(QStringLiteral("emergency"), m_emergency).toBool();
    if (emergency != m_emergency) {
        m_emergency = emergency;
        changed = true;
    }
    const int weight = RecordValue::intValue(record, QStringLiteral("weight"), 0);
    if (weight != m_weight) {
        m_weight = weight;
        changed = true;
    }

    if (!hash.isEmpty() && hash != m_geometryHash) {
        prepareGeometryChange();
        m_geometryHash = hash;
        clearZone();
        const bool built = m_emergency ? buildSector(record) : buildLineZone(record);
        if (!built) {
            // Nothing of a failed build is kept, and the next record with any hash rebuilds.
            m_geometryHash.clear();
            clearZone();
        }
        // Repainted by updateAppearance() below, which a change always reaches.
        changed = true;
    }

    const auto routesIt = record.constFind(QStringLiteral("routes"));
    if (routesIt != record.constEnd()) {
        m_routes.clear();
        if (routesIt.value().type() == QVariant::List || routesIt.value().type() == QVariant::StringList) {
            const QVariantList ids = routesIt.value().toList();
            for (const QVariant &id : ids) {
                if (m_routes.size() >= ItemLimits::MaxDetectorRoutes)
                    break;
                m_routes.append(RecordValue::toInt(id).value_or(0));
            }
        }
        changed = true;
    }

    const bool locked = record.value(QStringLiteral("locked"), m_locked).toBool();
    if (locked != m_locked) {
        m_locked = locked;
        changed = true;
    }
    const QString name = record.value(QStringLiteral("name"), m_name).toString();
    if (name != m_name) {
        m_name = name;
        changed = true;
    }
    const int tlNumber = RecordValue::intValue(record, QStringLiteral("tl_number"), m_tlNumber);
    if (tlNumber != m_tlNumber) {
        m_tlNumber = tlNumber;
        changed = true;
    }
    const QString boardName = record.value(QStringLiteral("board_name")).toString();
    if (!boardName.isEmpty() && m_activeBoards.size() < ItemLimits::MaxActiveBoards)
        m_activeBoards.insert(boardName);

    const auto stateIt = record.constFind(QStringLiteral("state"));
    if (stateIt != record.constEnd() && stateIt.value().toString() != m_state) {
        m_state = stateIt.value().toString();
        changed = true;
    }
    if (!changed)
        return;
    updateAppearance();
    emit stateChanged();
}

void PrioVDetector::clearZone()
{
    m_zonePath = QPainterPath();
    m_startCircle = QPainterPath();
    m_checkinSquare = QPainterPath();
    m_endCircle = QPainterPath();
    m_band = QPainterPath();
    m_pendingBandLine.clear();
    m_centreLine.clear();
    m_arrowHead = QPolygonF();
    m_weightRect = QRectF();
    m_bounds = QRectF();
    m_zoneRect = QRectF();
}

bool PrioVDetector::buildSector(const QVariantMap &record)
{
    const QVariantList pos = record.value(QStringLiteral("pos")).toList();
    if (pos.size() < 2)
        return false;
    const std::optional<double> lon = RecordValue::toReal(pos.at(0));
    const std::optional<double> lat = RecordValue::toReal(pos.at(1));
    if (!lon || !lat || !Geo::isValidGeo(QPointF(*lon, *lat)))
        return false;
    m_centre = QPointF(*lon, *lat);

    const std::optional<int> radius = RecordValue::toInt(record.value(QStringLiteral("radius")));
    const std::optional<int> direction = RecordValue::toInt(record.value(QStringLiteral("directionAngle")));
    const std::optional<int> sweep = RecordValue::toInt(record.value(QStringLiteral("sweepAngle")));
    if (!radius || !direction || !sweep || *radius < 0)
        return false;
    m_radius = *radius;
    m_directionAngle = *direction;
    m_sweepAngle = *sweep;

    const double r = metresToWorld(m_radius, m_centre);
    const double dot = metresToWorld(2.0, m_centre);
    const QPointF centre = geoToWorld(m_centre);
    const QRectF sector(centre.x() - r, centre.y() - r, 2.0 * r, 2.0 * r);

    // Angles in double and reduced: sums of extreme ints overflow, and Qt's arc code turns
    // the start angle into an int.
    const double start = std::fmod(double(m_sweepAngle) * 0.5 - double(m_directionAngle), 360.0);
    const double span = qBound(-360.0, -double(m_sweepAngle), 360.0);
    QPainterPath zone;
    zone.addEllipse(centre, dot, dot);
    zone.moveTo(centre);
    zone.arcTo(sector, start, span);
    zone.closeSubpath();
    for (int i = 0; i < zone.elementCount(); ++i) {
        const QPointF geo = worldToGeo(zone.elementAt(i)) - m_centre;
        if (!isFinitePoint(geo))
            return false;
        zone.setElementPositionAt(i, geo.x(), geo.y());
    }
    m_zonePath = zone;
    m_bounds = m_zonePath.boundingRect();
    m_zoneRect = m_zonePath.controlPointRect();
    setPos(m_centre);
    return isFiniteRect(m_bounds);
}

bool PrioVDetector::buildLineZone(const QVariantMap &record)
{
    // A line zone holds absolute scene coordinates: a position left over from a sector
    // would offset it.
    setPos(0.0, 0.0);

    // A check-in length that is not a finite, non-negative number counts as none.
    const std::optional<double> checkinValue = RecordValue::toReal(record.value(QStringLiteral("checkin_length")));
    const bool hasCheckin = checkinValue.has_value() && *checkinValue >= 0.0;
    const double checkin = hasCheckin ? *checkinValue : 0.0;

    QVector<QPointF> points;
    if (!GeometryText::parse(record.value(QStringLiteral("geometry")).toString(), &points))
        return false;

    QVector<QPointF> geo;
    QVector<QPointF> world;
    geo.append(points.first());
    world.append(geoToWorld(points.first()));
    double running = 0.0;
    std::optional<QPointF> checkinPoint;
    for (int i = 1; i < points.size(); ++i) {
        const QPointF g = points.at(i);
        const QPointF w = geoToWorld(g);
        const QPointF &last = world.constLast();
        const double seg = worldToMetres(QLineF(last, w).length(), g);
        running += seg;
        if (hasCheckin && !checkinPoint && running >= checkin) {
            // On a zero-length segment the check-in point is the segment's start.
            checkinPoint = towards(last, w, metresToWorld(checkin - (running - seg), g));
        }
        if (seg >= MinSegmentMetres) {
            geo.append(g);
            world.append(w);
        }
    }
    const int n = world.size();
    if (n < 2)
        return false;

    const QPointF gFirst = geo.first();
    const QPointF gPrev = geo.at(n - 2);
    const QPointF wFirst = world.first();
    const QPointF wPrev = world.at(n - 2);
    const QPointF wEnd = world.last();
    const double a = metresToWorld(2.5, gPrev) * 0.5; // half-width 1.25 m
    const double b = 4.0 * a;                          // length 5 m

    // The band stops where the arrowhead's base lies.
    const double lastLength = QLineF(wPrev, wEnd).length();
    const QPointF wShort = towards(wPrev, wEnd, qBound(0.0, lastLength - b, lastLength));
    world.last() = wShort;
    const QPointF gLast = worldToGeo(wShort);
    geo.last() = gLast;

    QVector<QPointF> bandLine{world.first()};
    QVector<QPointF> drawnLine{worldToGeo(world.first())};
    for (int i = 1; i < n; ++i) {
        if (QLineF(bandLine.constLast(), world.at(i)).length() >= MinCentreLineStep || i == n - 1) {
            bandLine.append(world.at(i));
            drawnLine.append(worldToGeo(world.at(i)));
        }
    }
    m_centreLine.build(drawnLine);

    m_bandWidth = metresToWorld(1.5, gFirst);
    m_markWidth = metresToWorld(3.0, gFirst);

    m_startCircle.addEllipse(sceneSquare(wFirst, metresToWorld(3.0, gFirst)));
    if (checkinPoint) {
        m_checkinSquare.addRect(sceneSquare(*checkinPoint, metresToWorld(3.0, gLast)));
        m_weightRect = sceneSquare(*checkinPoint, metresToWorld(12.0, gLast));
    } else {
        m_weightRect = sceneSquare(wEnd, metresToWorld(12.0, gLast));
    }
    m_endCircle.addEllipse(sceneSquare(wEnd, metresToWorld(3.0, gLast)));

    QTransform t;
    t.translate(wEnd.x(), wEnd.y());
    t.rotate(-QLineF(wPrev, wEnd).angle());
    m_arrowHead.clear();
    m_arrowHead << worldToGeo(t.map(QPointF(-b, -a))) << worldToGeo(wEnd) << worldToGeo(t.map(QPointF(-b, a)));

    // The band's bounds are those of its centre line grown by its reach, a little more than
    // the stroke: the bounds and the control-point bounds of the zone hold all of it.
    const QRectF bandBounds = m_centreLine.bandBounds(m_bandWidth);
    const QRectF arrowBounds = m_arrowHead.boundingRect();
    m_bounds = m_startCircle.boundingRect() | m_endCircle.boundingRect() | arrowBounds | bandBounds;
    m_zoneRect = m_startCircle.controlPointRect() | m_endCircle.controlPointRect() | arrowBounds | bandBounds;
    // Painting also reaches the check-in square and the weight figure.
    m_bounds = m_bounds.united(m_checkinSquare.boundingRect()).united(m_weightRect);
    if (!isFiniteRect(m_bounds))
        return false;
    m_pendingBandLine = bandLine;
    return true;
}

void PrioVDetector::makeBand() const
{
    if (m_pendingBandLine.isEmpty())
        return;
    QPainterPath centreLine;
    centreLine.moveTo(m_pendingBandLine.first());
    for (int i = 1; i < m_pendingBandLine.size(); ++i)
        centreLine.lineTo(m_pendingBandLine.at(i));
    m_pendingBandLine.clear();
    m_pendingBandLine.squeeze();

    QPainterPathStroker stroker;
    stroker.setWidth(m_bandWidth);
    const QPainterPath stroke = stroker.createStroke(centreLine);
    m_band.setFillRule(Qt::WindingFill);
    m_band.reserve(stroke.elementCount());
    for (int i = 0; i < stroke.elementCount(); ++i) {
        const QPointF p = worldToGeo(stroke.elementAt(i));
        if (i == 0)
            m_band.moveTo(p);
        else
            m_band.lineTo(p);
    }

    m_zonePath = m_startCircle;
    m_zonePath.addPath(m_endCircle);
    m_zonePath.addPath(m_band);
    m_zonePath.addPolygon(m_arrowHead);
    m_zonePath.closeSubpath();
}

void PrioVDetector::updateAppearance()
{
    if (m_locked) {
        m_stateColour = Qt::red;
        if (!m_inView && !isSelected())
            hide();
    } else if (m_state == InsideState) {
        m_stateColour = Qt::blue;
        if (m_showOnActivation)
            show();
    } else if (m_state == ActiveState) {
        m_stateColour = Qt::green;
        if (m_showOnActivation)
            show();
    } else {
        m_stateColour = Qt::darkGray;
        if (m_showOnActivation && !m_inView && !isSelected())
            hide();
    }
    if (!isVisible() && m_inView)
        show();
    if (m_stateBrush.color() != m_stateColour)
        m_stateBrush = stateBrush(m_stateColour);
    // Without the batch nothing would make them before the scene reads the tooltip.
    if (m_batch)
        m_textsStale = true;
    else
        updateTexts();
    refresh();
}

void PrioVDetector::setState(const QString &state, const QString &boardName)
{
    if (state.isEmpty())
        return;
    if (state == ActiveState) {
        if (m_activeBoards.size() < ItemLimits::MaxActiveBoards)
            m_activeBoards.insert(boardName);
    } else if (!m_activeBoards.isEmpty()) {
        m_activeBoards.remove(boardName);
    }
    if (state == m_state)
        return;
    m_state = state;
    updateAppearance();
}

void PrioVDetector::setShowOnActivation(bool show)
{
    if (show == m_showOnActivation)
        return;
    m_showOnActivation = show;
    updateAppearance();
}

void PrioVDetector::setInView(bool inView)
{
    if (inView == m_inView)
        return;
    m_inView = inView;
    updateAppearance();
}

void PrioVDetector::setWeightShowMode(int mode)
{
    if (mode == m_weightShowMode)
        return;
    m_weightShowMode = mode;
    refresh();
}

void PrioVDetector::setSelectedShown(bool selected)
{
    if (selected)
        show();
    setSelected(selected);
}

void PrioVDetector::updateTexts()
{
    m_textsStale = false;
    m_typeText = m_emergency ? QCoreApplication::translate("PrioVDetector", "ESC detector")
                             : QCoreApplication::translate("PrioVDetector", "Detector");
    if (m_locked)
        m_typeText += QLatin1Char(' ') + QCoreApplication::translate("PrioVDetector", "(Locked)");
    m_displayName = m_name.isEmpty() ? QString::number(m_id) : m_name;
    if (m_tlNumber > 0) {
        m_displayName += QStringLiteral(" (")
            + QCoreApplication::translate("PrioVDetector", "TL %1").arg(m_tlNumber) + QLatin1Char(')');
    }
    setToolTip(m_typeText + QLatin1Char(' ') + m_displayName);
}

QRectF PrioVDetector::boundingRect() const
{
    return m_bounds;
}

QPainterPath PrioVDetector::shape() const
{
    return zonePath();
}

PrioVDetector::PaintStyle PrioVDetector::paintStyle(const QPainter *painter)
{
    PaintStyle style;
    style.pen = painter->pen();
    style.pen.setCosmetic(true);
    style.selectedPen = style.pen;
    style.selectedPen.setStyle(Qt::SolidLine);
    style.selectedPen.setWidth(2);
    style.figureFont = painter->font();
    // A font sized in pixels has no point size.
    if (style.figureFont.pointSize() > 0)
        style.figureFont.setPointSize(style.figureFont.pointSize() * 3 / 2);
    else if (style.figureFont.pixelSize() > 0)
        style.figureFont.setPixelSize(style.figureFont.pixelSize() * 3 / 2);
    return style;
}

void PrioVDetector::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *)
{
    painter->save();
    paintContent(painter, paintStyle(painter), isSelected());
    painter->restore();
}

bool PrioVDetector::dotPixels(const QRectF &device, QRect *pixels)
{
    // A zone a few pixels across shows as a dot of its state colour, as large as the zone
    // and at most DotPixels: its circles, band and arrowhead would be a smudge of the pen
    // there, and a city of them cost most of a frame.
    if (!(device.width() < SmallZonePixels && device.height() < SmallZonePixels))
        return false;
    const int side = int(qBound(1.0, std::ceil(qMax(device.width(), device.height())), DotPixels));
    const QPointF centre = device.center();
    *pixels = QRect(qRound(centre.x() - side * 0.5), qRound(centre.y() - side * 0.5), side, side);
    return true;
}

void PrioVDetector::fillDot(QPainter *painter, const QRect &pixels, const QColor &colour, bool emergency)
{
    if (!emergency) {
        painter->fillRect(pixels, colour);
        return;
    }
    const qreal opacity = painter->opacity();
    painter->setOpacity(0.6);
    painter->fillRect(pixels, colour);
    painter->setOpacity(opacity);
}

bool PrioVDetector::paintDot(QPainter *painter, const QRectF &zone, const QColor &colour, bool emergency)
{
    const QTransform kept = painter->worldTransform();
    QRect pixels;
    if (!dotPixels(kept.mapRect(zone), &pixels))
        return false;
    painter->setWorldTransform(QTransform());
    fillDot(painter, pixels, colour, emergency);
    painter->setWorldTransform(kept);
    return true;
}

void PrioVDetector::paintContent(QPainter *painter, const PaintStyle &style, bool selected) const
{
    if (paintDot(painter, m_zoneRect, m_stateColour, m_emergency))
        return;
    const QTransform kept = painter->worldTransform();

    QPen pen = selected ? style.selectedPen : style.pen;
    painter->setBrush(m_stateBrush);
    painter->setPen(pen);

    if (m_emergency) {
        const qreal opacity = painter->opacity();
        painter->setOpacity(0.6);
        painter->drawPath(m_zonePath);
        painter->setOpacity(opacity);
        return;
    }

    // Parts under a pixel are left to the line of the band, which the pen draws there.
    const double pixelsPerWorldUnit = std::hypot(kept.m11(), kept.m12()) * DegreesPerWorldUnit;
    const double bandPixels = m_bandWidth * pixelsPerWorldUnit;
    const bool marksShown = m_markWidth * pixelsPerWorldUnit >= 1.0;
    if (m_centreLine.size() > MaxPlainZonePoints) {
        paintBand(painter, pen, bandPixels);
    } else if (bandPixels < 1.0) {
        painter->drawPolyline(m_centreLine.points().constData(), m_centreLine.size());
    } else {
        makeBand();
        painter->drawPath(m_band);
        painter->fillPath(m_band, m_stateBrush);
    }
    if (marksShown) {
        painter->drawPath(m_startCircle);
        if (!m_checkinSquare.isEmpty())
            painter->drawPath(m_checkinSquare);
        painter->drawPath(m_endCircle);
        painter->drawPolygon(m_arrowHead, Qt::OddEvenFill);
    }

    const bool figure = m_weightShowMode == PriorityPlugin::show_weight_always
        || (m_weightShowMode == PriorityPlugin::show_weight_if_valid && m_weight >= 1);
    const QRectF disc = kept.mapRect(m_weightRect);
    // A disc under a pixel shows nothing of the figure's text: it is not laid out.
    if (figure && (disc.width() >= 1.0 || disc.height() >= 1.0)) {
        painter->setTransform(QTransform());
        if (disc.width() <= MaxDiscSpritePixels && disc.height() <= MaxDiscSpritePixels) {
            ItemSprites::drawWeightDisc(painter, disc, m_weight, pen, style.figureFont);
        } else {
            painter->setBrush(QBrush(Qt::white));
            painter->setFont(style.figureFont);
            painter->drawEllipse(disc);
            pen.setColor(Qt::darkGreen);
            painter->setPen(pen);
            painter->drawText(disc, Qt::AlignHCenter | Qt::AlignVCenter, QString::number(m_weight));
        }
    }
}

// The band of a long zone, or one under a pixel wide: drawn along its centre line, only
// where it is on the screen and simplified to the scale, as the pen's line where it is
// thinner than a pixel and else as the pen's outline around the state colour.
void PrioVDetector::paintBand(QPainter *painter, const QPen &pen, double bandPixels) const
{
    const QTransform &transform = painter->worldTransform();
    const double pixelsPerDegree = std::hypot(transform.m11(), transform.m12());
    if (!(pixelsPerDegree > 0.0) || !qIsFinite(pixelsPerDegree))
        return;
    const QRectF window = transform.inverted().mapRect(QRectF(painter->viewport()));
    const double reach = m_bandWidth * DegreesPerWorldUnit + (pen.widthF() + 2.0) / pixelsPerDegree;
    const double tolerance = 0.25 / (pixelsPerDegree * DegreesPerWorldUnit);
    QVector<QPointF> points;
    QVector<QLineF> segments;
    const QRectF cut = window.adjusted(-reach, -reach, reach, reach);
    // The outline and the fill take half the budget each, so that they cover the same part.
    auto stroke = [&](const QPen &linePen) {
        painter->setPen(linePen);
        double budget = ItemLimits::MaxLinePixels / 2.0;
        m_centreLine.forEachRun(window, QSizeF(reach, reach), [&](int first, int last) {
            points.clear();
            m_centreLine.appendSimplified(first, last, tolerance, &points);
            PolylineIndex::clip(points, cut, transform, &budget, [&](const QVector<QPointF> &piece) {
                PolylineIndex::drawPiece(painter, piece, &segments);
            });
        });
    };
    painter->setBrush(Qt::NoBrush);
    if (bandPixels < 1.0) {
        stroke(pen);
    } else {
        const double penWidth = qMax(1.0, pen.widthF());
        QPen outline(pen.brush(), bandPixels + penWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
        outline.setCosmetic(true);
        stroke(outline);
        if (bandPixels > penWidth) {
            QPen fill(QBrush(m_stateColour), bandPixels - penWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
            fill.setCosmetic(true);
            stroke(fill);
        }
    }
    painter->setPen(pen);
    painter->setBrush(m_stateBrush);
}

QVariant PrioVDetector::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (change == ItemSelectedChange && !value.toBool() && !m_inView)
        hide();
    if (m_batch)
        m_batch->itemChanged(this, change);
    return QGraphicsObject::itemChange(change, value);
}
