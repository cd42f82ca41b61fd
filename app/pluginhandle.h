#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QGraphicsView;

// The traffic-priority plug-in object as a host sees it: a QObject reached only through its
// meta-object. Every call goes by name through QMetaObject::invokeMethod; a call that does not
// reach the plug-in (no object, no such method, wrong argument types) returns false, an
// empty value or null, and is logged once per method name.
class PluginHandle
{
public:
    explicit PluginHandle(QObject *plugin = nullptr);

    QObject *object() const { return m_plugin.data(); }
    bool isValid() const { return !m_plugin.isNull(); }

    // Start-up and binding.
    bool start(QObject *jsonRpcObject) const;
    QObject *rpcObject() const;
    bool setView(QGraphicsView *view) const;
    bool registerTimeline(QObject *widget) const;
    QObjectList routes() const;
    QObject *findRoute(int id) const;

    // Operator commands: true when the plug-in took the command (not that the server did).
    bool setLockBoard(const QString &name, bool lock) const;
    bool setLockRoute(int id, bool lock) const;
    bool setLockDetector(int id, bool lock) const;
    bool assignBoard(const QString &boardName, int routeId) const;
    bool unassignBoard(const QString &boardName) const;
    bool setVdtActive(int id, bool active) const;
    bool changeBoardProperties(const QString &boardName, const QVariantMap &props) const;
    bool changeRouteProperties(int id, const QVariantMap &props) const;
    bool changeVdtProperties(int id, const QVariantMap &props) const;
    bool changeTlcProperties(int id, const QVariantMap &props) const;

    // Queries: they wait for the server (up to the plug-in's time-out) while the event loop
    // runs, so anything may have changed when they return.
    QVariantMap vdtProperties(int id) const;
    QVariantMap tlcProperties(int id) const;
    QVariantMap timelineData(int routeId) const;
    QString webUrl() const;

    // Display settings.
    QVariant property(const char *name) const;
    bool setProperty(const char *name, const QVariant &value) const;
    QString vehicleNameFilter() const;
    bool setVehicleNameFilter(const QString &pattern) const;
    QString vehicleDescrFilter() const;
    bool setVehicleDescrFilter(const QString &pattern) const;

    // Connects the plug-in's rpcError(QString) to a slot of receiver given as a normalized
    // signature, e.g. "showError(QString)". False when either side lacks it.
    bool connectRpcError(QObject *receiver, const char *slotSignature) const;

private:
    bool invoke(const char *method, QGenericReturnArgument ret, QGenericArgument a0 = QGenericArgument(),
                QGenericArgument a1 = QGenericArgument()) const;

    QPointer<QObject> m_plugin;
};
