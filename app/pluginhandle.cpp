#include "pluginhandle.h"

#include <QGraphicsView>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QMetaObject>
#include <QSet>

Q_LOGGING_CATEGORY(lcDemoPlugin, "demo.plugin")

PluginHandle::PluginHandle(QObject *plugin)
    : m_plugin(plugin)
{
}

bool PluginHandle::invoke(const char *method, QGenericReturnArgument ret, QGenericArgument a0,
                          QGenericArgument a1) const
{
    if (!m_plugin)
        return false;
    if (QMetaObject::invokeMethod(m_plugin.data(), method, Qt::DirectConnection, ret, a0, a1))
        return true;
    // One line per method: a host bound to the wrong module would otherwise flood the log.
    static QSet<QByteArray> reported;
    if (!reported.contains(method)) {
        reported.insert(method);
        qCWarning(lcDemoPlugin, "The plug-in object has no invokable '%s' with these arguments", method);
    }
    return false;
}

bool PluginHandle::start(QObject *jsonRpcObject) const
{
    bool ok = false;
    return invoke("start", Q_RETURN_ARG(bool, ok), Q_ARG(QObject *, jsonRpcObject)) && ok;
}

QObject *PluginHandle::rpcObject() const
{
    QObject *rpc = nullptr;
    invoke("rpcObject", Q_RETURN_ARG(QObject *, rpc));
    return rpc;
}

bool PluginHandle::setView(QGraphicsView *view) const
{
    return invoke("setView", QGenericReturnArgument(), Q_ARG(QGraphicsView *, view));
}

bool PluginHandle::registerTimeline(QObject *widget) const
{
    return invoke("registerTimeline", QGenericReturnArgument(), Q_ARG(QObject *, widget));
}

QObjectList PluginHandle::routes() const
{
    QObjectList list;
    invoke("getRoutes", Q_RETURN_ARG(QObjectList, list));
    return list;
}

QObject *PluginHandle::findRoute(int id) const
{
    QObject *route = nullptr;
    invoke("findRoute", Q_RETURN_ARG(QObject *, route), Q_ARG(int, id));
    return route;
}

bool PluginHandle::setLockBoard(const QString &name, bool lock) const
{
    return invoke("setLockBoard", QGenericReturnArgument(), Q_ARG(QString, name), Q_ARG(bool, lock));
}

bool PluginHandle::setLockRoute(int id, bool lock) const
{
    return invoke("setLockRoute", QGenericReturnArgument(), Q_ARG(int, id), Q_ARG(bool, lock));
}

bool PluginHandle::setLockDetector(int id, bool lock) const
{
    return invoke("setLockDetector", QGenericReturnArgument(), Q_ARG(int, id), Q_ARG(bool, lock));
}

bool PluginHandle::assignBoard(const QString &boardName, int routeId) const
{
    return invoke("assignBoard", QGenericReturnArgument(), Q_ARG(QString, boardName), Q_ARG(int, routeId));
}

bool PluginHandle::unassignBoard(const QString &boardName) const
{
    return invoke("unassignBoard", QGenericReturnArgument(), Q_ARG(QString, boardName));
}

bool PluginHandle::setVdtActive(int id, bool active) const
{
    return invoke("setVdtActive", QGenericReturnArgument(), Q_ARG(int, id), Q_ARG(bool, active));
}

bool PluginHandle::changeBoardProperties(const QString &boardName, const QVariantMap &props) const
{
    return invoke("changeBoardProperties", QGenericReturnArgument(), Q_ARG(QString, boardName),
                  Q_ARG(QVariantMap, props));
}

bool PluginHandle::changeRouteProperties(int id, const QVariantMap &props) const
{
    return invoke("changeRouteProperties", QGenericReturnArgument(), Q_ARG(int, id), Q_ARG(QVariantMap, props));
}

bool PluginHandle::changeVdtProperties(int id, const QVariantMap &props) const
{
    return invoke("changeVdtProperties", QGenericReturnArgument(), Q_ARG(int, id), Q_ARG(QVariantMap, props));
}

bool PluginHandle::changeTlcProperties(int id, const QVariantMap &props) const
{
    return invoke("changeTlcProperties", QGenericReturnArgument(), Q_ARG(int, id), Q_ARG(QVariantMap, props));
}

QVariantMap PluginHandle::vdtProperties(int id) const
{
    QVariantMap result;
    invoke("getVdtProperties", Q_RETURN_ARG(QVariantMap, result), Q_ARG(int, id));
    return result;
}

QVariantMap PluginHandle::tlcProperties(int id) const
{
    QVariantMap result;
    invoke("getTlcProperties", Q_RETURN_ARG(QVariantMap, result), Q_ARG(int, id));
    return result;
}

QVariantMap PluginHandle::timelineData(int routeId) const
{
    QVariantMap result;
    invoke("getTimelineData", Q_RETURN_ARG(QVariantMap, result), Q_ARG(int, routeId));
    return result;
}

QString PluginHandle::webUrl() const
{
    QString result;
    invoke("getWebUrl", Q_RETURN_ARG(QString, result));
    return result;
}

QVariant PluginHandle::property(const char *name) const
{
    return m_plugin ? m_plugin->property(name) : QVariant();
}

bool PluginHandle::setProperty(const char *name, const QVariant &value) const
{
    if (!m_plugin)
        return false;
    // QObject::setProperty on a name the class does not declare would quietly make a
    // dynamic property instead.
    if (m_plugin->metaObject()->indexOfProperty(name) < 0) {
        qCWarning(lcDemoPlugin, "The plug-in object has no property '%s'", name);
        return false;
    }
    return m_plugin->setProperty(name, value);
}

QString PluginHandle::vehicleNameFilter() const
{
    QString pattern;
    invoke("getVehicleNameFilter", Q_RETURN_ARG(QString, pattern));
    return pattern;
}

bool PluginHandle::setVehicleNameFilter(const QString &pattern) const
{
    return invoke("setVehicleNameFilter", QGenericReturnArgument(), Q_ARG(QString, pattern));
}

QString PluginHandle::vehicleDescrFilter() const
{
    QString pattern;
    invoke("getVehicleDescrFilter", Q_RETURN_ARG(QString, pattern));
    return pattern;
}

bool PluginHandle::setVehicleDescrFilter(const QString &pattern) const
{
    return invoke("setVehicleDescrFilter", QGenericReturnArgument(), Q_ARG(QString, pattern));
}

bool PluginHandle::connectRpcError(QObject *receiver, const char *slotSignature) const
{
    if (!m_plugin || !receiver)
        return false;
    const QMetaObject *source = m_plugin->metaObject();
    const int signalIndex = source->indexOfSignal("rpcError(QString)");
    const int slotIndex = receiver->metaObject()->indexOfMethod(slotSignature);
    if (signalIndex < 0 || slotIndex < 0)
        return false;
    return bool(QObject::connect(m_plugin.data(), source->method(signalIndex), receiver,
                                 receiver->metaObject()->method(slotIndex)));
}
