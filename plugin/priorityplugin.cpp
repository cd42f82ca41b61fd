#include "priorityplugin.h"

#include "log.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QTimer>

#include "kernel/roaditemmodel.h"

using namespace PrioLog;

namespace {

// A kernel property holding a QObject pointer of any QObject type, as the QObject.
QObject *objectProperty(const QObject *object, const char *name)
{
    const QVariant value = object->property(name);
    if (!value.isValid())
        return nullptr;
    return value.value<QObject *>();
}

} // namespace

PriorityPlugin::PriorityPlugin(QObject *parent)
    : QObject(parent)
{
}

// Items are children of this object and go with it; the host's objects are never deleted.
PriorityPlugin::~PriorityPlugin() = default;

QString PriorityPlugin::moduleVersion() const
{
    return QStringLiteral("2.3.69");
}

QObject *PriorityPlugin::rpcObject()
{
    return currentRpc();
}

bool PriorityPlugin::start(QObject *json_rpc_object)
{
    info(tr("start"));

    if (!json_rpc_object || !json_rpc_object->inherits("JsonRpcObject")) {
        error(tr("JSonRpc object is NULL or invalid"));
        return false;
    }

    if (currentRpc() && currentRpc() == json_rpc_object) {
        // Already attached: keep the connections, only stop waiting for permissions.
        disconnectPermissionWait();
    } else {
        if (m_attached)
            stop(false);

        QObject *rpc = json_rpc_object;
        const bool connected =
            connect(rpc, SIGNAL(connected(bool)), this, SLOT(on_rpcObjectConnected(bool)))
            && connect(rpc, SIGNAL(notification(QString, QVariant)), this,
                       SLOT(on_rpcObjectEvent(QString, QVariant)))
            && connect(rpc, SIGNAL(requestQueueEmpty()), this, SLOT(on_rpcObjectRequestQueueEmpty()))
            && connect(rpc, SIGNAL(destroyed()), this, SLOT(on_JsonRpcPlugintDestroyed()))
            && rpc->metaObject()->indexOfMethod("postCommand(QString,QVariant)") >= 0;
        if (!connected) {
            error(tr("Invalid 'JsonRpc' object"));
            // Nothing may stay connected to a rejected object: its signals would otherwise
            // reach a plug-in that is not started.
            disconnect(rpc, nullptr, this, nullptr);
            stop(false);
            return false;
        }
        m_rpcObject = rpc;
        m_attached = true;
        m_connectionWatch.watch(rpc);
    }

    QObject *kernel = parent();
    if (!kernel || !kernel->inherits("Road::Kernel")) {
        error(tr("Parent of plugin must be Road::Kernel object"));
        stop(false);
        return false;
    }

    scene = qobject_cast<QGraphicsScene *>(objectProperty(kernel, "graphicsScene"));
    if (!scene) {
        error(tr("No graphics scene object"));
        stop(false);
        return false;
    }

    itemModel = qobject_cast<Road::ItemModel *>(objectProperty(kernel, "itemModel"));
    if (!itemModel) {
        error(tr("Kernel object not contains valid 'itemModel' property"));
        stop(false);
        return false;
    }

    // One cache file per host project: the hex form of the project's base directory.
    cacheName = QStringLiteral("lumen2");
    QObject *vireoPlugin = nullptr;
    for (QObject *child : kernel->children()) {
        if (child->inherits("Vireo::Plugin")) {
            vireoPlugin = child;
            break;
        }
    }
    if (vireoPlugin) {
        for (QObject *child : vireoPlugin->children()) {
            if (child->inherits("Vireo::Project")) {
                cacheName = QString::fromLatin1(child->property("baseDir").toString().toUtf8().toHex());
                break;
            }
        }
    }

    openCache();
    loadSettings();

    // An explicit start supersedes a pending timed restart or permission wait, which would
    // otherwise undo it later.
    cancelPendingRestart();
    awaitingPermissions = false;
    disconnectPermissionWait();

    // An object that is connected already (a restart on a connection that never went down,
    // or a host that connects before it starts its plug-ins) sends no connected(true) to
    // wait for: load now, unless this connection is loaded already.
    if (!routesSection && m_connectionWatch.isConnected(currentRpc()))
        on_rpcObjectConnected(true);
    return true;
}

void PriorityPlugin::stop(bool restart)
{
    if (!m_attached)
        return;

    info(tr("Stop"));
    ++m_session;

    QObject *rpc = m_rpcObject.data();
    if (rpc)
        disconnect(rpc, nullptr, this, nullptr);
    m_attached = false;

    if (awaitingPermissions || restart) {
        rememberedRpcObject = rpc;
        if (awaitingPermissions) {
            restart = false;
            if (!connectPermissionWait(rpc)) {
                error(tr("Invalid 'JsonRpc' object"));
                awaitingPermissions = false;
            }
        }
    } else {
        rememberedRpcObject = nullptr;
    }

    m_rpcObject = nullptr;
    scene = nullptr;
    if (itemModel) {
        disconnect(itemModel, nullptr, this, nullptr);
        itemModel = nullptr;
    }

    clearRegistry();
    m_cache.flush();

    routesSection = nullptr;
    unassignedBoardsSection = nullptr;
    assignedBoardsSection = nullptr;
    emergencyDetectorsSection = nullptr;

    if (restart)
        scheduleRestart();
}

bool PriorityPlugin::isRestartPending() const
{
    return restartTimer && restartTimer->isActive();
}

void PriorityPlugin::scheduleRestart()
{
    if (!restartTimer) {
        restartTimer = new QTimer(this);
        restartTimer->setSingleShot(true);
        // The default coarse timer may fire up to 5 % early.
        restartTimer->setTimerType(Qt::PreciseTimer);
        connect(restartTimer, &QTimer::timeout, this, [this] { start(rememberedRpcObject.data()); });
    }
    restartTimer->start(RestartDelayMs);
}

void PriorityPlugin::cancelPendingRestart()
{
    if (restartTimer)
        restartTimer->stop();
}

bool PriorityPlugin::connectPermissionWait(QObject *rpc)
{
    QObject *owner = rpc ? rpc->parent() : nullptr;
    if (!owner)
        return false;
    if (permissionConnection && permissionSource == owner)
        return true;
    disconnectPermissionWait();
    permissionConnection = connect(owner, SIGNAL(allowedCommandsChanged()), this,
                                   SLOT(on_JsonRpcAllowedCommandsChanged()));
    if (!permissionConnection)
        return false;
    permissionSource = owner;
    return true;
}

void PriorityPlugin::disconnectPermissionWait()
{
    if (permissionConnection)
        disconnect(permissionConnection);
    permissionConnection = QMetaObject::Connection();
    permissionSource = nullptr;
}

void PriorityPlugin::on_JsonRpcPlugintDestroyed()
{
    info(tr("Json-RPC plugin object destroyed"));
    awaitingPermissions = false;
    stop(false);
}

void PriorityPlugin::on_JsonRpcAllowedCommandsChanged()
{
    if (!awaitingPermissions)
        return;
    awaitingPermissions = false;
    start(rememberedRpcObject.data());
}
