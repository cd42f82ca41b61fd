#include "priolayer.h"

#include <QCoreApplication>
#include <QGraphicsObject>
#include <QMetaMethod>
#include <QMetaObject>
#include <QtDebug>

namespace {

// The invokable of that signature on objects of one class, looked up by name once per class
// rather than once per item (a list of 100 000 boards joins the layer 100 000 times).
class MethodByName
{
public:
    explicit MethodByName(const char *signature)
        : m_signature(signature)
    {
    }
    QMetaMethod of(const QObject *object)
    {
        const QMetaObject *mo = object->metaObject();
        if (mo != m_class) {
            m_class = mo;
            m_method = mo->method(mo->indexOfMethod(m_signature));
        }
        return m_method;
    }

private:
    const char *m_signature;
    const QMetaObject *m_class = nullptr;
    QMetaMethod m_method;
};

} // namespace

void joinPriorityLayer(QObject *scene, QGraphicsItem *item, const char *who)
{
    // Everything runs on the GUI thread, so one lookup serves every caller.
    static MethodByName addLayer("addLayer(QString)");
    static MethodByName addItem("addItem(QGraphicsItem*)");

    QGraphicsObject *layer = nullptr;
    const QMetaMethod addLayerMethod = addLayer.of(scene);
    const bool invoked = addLayerMethod.isValid()
                         && addLayerMethod.invoke(scene, Qt::AutoConnection, Q_RETURN_ARG(QGraphicsObject *, layer),
                                                  Q_ARG(QString, QCoreApplication::translate("PriorityPlugin", "Traffic priority")));
    if (!invoked || !layer) {
        qWarning("%s scene->addLayer failed", who);
        return;
    }
    const QMetaMethod addItemMethod = addItem.of(layer);
    if (!addItemMethod.isValid() || !addItemMethod.invoke(layer, Qt::AutoConnection, Q_ARG(QGraphicsItem *, item)))
        qWarning("%s layer->addItem failed", who);
}
