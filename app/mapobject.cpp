#include "mapobject.h"

#include <QGraphicsObject>
#include <QMetaObject>
#include <QSet>
#include <QVariant>

#include <cmath>

#include "kernel/roaditemmodel.h"

namespace {

// An int property, accepted only when present and really an integer.
bool intProperty(const QObject *object, const char *name, int *value)
{
    const QVariant v = object->property(name);
    if (!v.isValid())
        return false;
    bool ok = false;
    const int i = v.toInt(&ok);
    if (!ok)
        return false;
    *value = i;
    return true;
}

// Column 0 of the object's rows holds its key (route id, board name, detector id).
QString keyText(const QObject *object)
{
    return rowText(object, 0);
}

void collectListed(const Road::ItemModelItem *item, QSet<QObject *> &seen, QVector<QObject *> &out)
{
    for (const Road::ItemModelItem *child : item->childItems()) {
        if (auto *entry = qobject_cast<const Road::ItemObj *>(child)) {
            QObject *object = entry->object();
            if (object && !seen.contains(object)) {
                seen.insert(object);
                out.append(object);
            }
        }
        collectListed(child, seen, out);
    }
}

bool finite(const QRectF &r)
{
    return std::isfinite(r.left()) && std::isfinite(r.top()) && std::isfinite(r.width()) && std::isfinite(r.height());
}

} // namespace

QString rowText(const QObject *object, int column)
{
    QVariant text;
    if (object)
        QMetaObject::invokeMethod(const_cast<QObject *>(object), "modelData", Qt::DirectConnection,
                                  Q_RETURN_ARG(QVariant, text), Q_ARG(int, column), Q_ARG(int, Qt::DisplayRole));
    return text.toString();
}

QVector<QObject *> listedObjects(const Road::ItemModel *model)
{
    QVector<QObject *> out;
    QSet<QObject *> seen;
    if (model)
        collectListed(model->rootItem(), seen, out);
    return out;
}

std::optional<QRectF> mapBounds(const QObject *object)
{
    auto *item = qobject_cast<const QGraphicsObject *>(object);
    // A board that has not reported a position yet sits at the scene origin.
    if (!item || !object->property("hasGeometry").toBool())
        return std::nullopt;
    QRectF r = item->sceneBoundingRect();
    if (item->flags() & QGraphicsItem::ItemIgnoresTransformations)
        r = QRectF(item->scenePos(), QSizeF(0, 0));
    if (!finite(r))
        return std::nullopt;
    return r;
}

QString MapObjectRef::title() const
{
    switch (kind) {
    case Route:
        return QObject::tr("Route %1").arg(id);
    case Board:
        return QObject::tr("Board %1").arg(name);
    case Detector:
        return QObject::tr("Detector %1").arg(id);
    case None:
        break;
    }
    return QString();
}

MapObjectRef MapObjectRef::of(const QObject *object)
{
    MapObjectRef ref;
    if (!object)
        return ref;

    if (object->inherits("PrioVehicle")) {
        QString name = object->property("name").toString();
        if (name.isEmpty())
            name = keyText(object);
        if (name.isEmpty())
            return ref;
        ref.kind = Board;
        ref.name = name;
    } else if (object->inherits("PrioRoute") || object->inherits("PrioVDetector")) {
        int id = 0;
        if (!intProperty(object, "id", &id)) {
            bool ok = false;
            id = keyText(object).toInt(&ok);
            if (!ok)
                return ref;
        }
        ref.kind = object->inherits("PrioRoute") ? Route : Detector;
        ref.id = id;
        if (ref.kind == Detector) {
            intProperty(object, "tlNumber", &ref.tlNumber);
            ref.active = object->property("active").toBool();
        }
    } else {
        return ref;
    }
    ref.locked = object->property("locked").toBool();
    return ref;
}

QObject *mapObjectOfItem(const QGraphicsItem *item)
{
    for (; item; item = item->parentItem()) {
        const QVariant data = item->data(0);
        if (QObject *object = data.value<QObject *>())
            return object;
    }
    return nullptr;
}
