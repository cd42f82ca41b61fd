#include "priolayer.h"

#include <QCoreApplication>
#include <QGraphicsObject>
#include <QMetaObject>
#include <QtDebug>

void joinPriorityLayer(QObject *scene, QGraphicsItem *item, const char *who)
{
    QGraphicsObject *layer = nullptr;
    const bool invoked = QMetaObject::invokeMethod(
        scene, "addLayer", Qt::AutoConnection, Q_RETURN_ARG(QGraphicsObject *, layer),
        Q_ARG(QString, QCoreApplication::translate("PriorityPlugin", "Traffic priority")));
    if (!invoked || !layer) {
        qWarning("%s scene->addLayer failed", who);
        return;
    }
    if (!QMetaObject::invokeMethod(layer, "addItem", Qt::AutoConnection, Q_ARG(QGraphicsItem *, item)))
        qWarning("%s layer->addItem failed", who);
}
