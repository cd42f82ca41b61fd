#include "mapobject.h"

#include <QGraphicsItem>
#include <QMetaObject>
#include <QVariant>

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
    QVariant key;
    QMetaObject::invokeMethod(const_cast<QObject *>(object), "modelData", Qt::DirectConnection,
                              Q_RETURN_ARG(QVariant, key), Q_ARG(int, 0), Q_ARG(int, Qt::DisplayRole));
    return key.toString();
}

} // namespace

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
