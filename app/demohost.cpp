#include "demohost.h"

#include <QDir>
#include <QLoggingCategory>
#include <QPluginLoader>

#include "jsonrpc/connectionkeeper.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/roadkernel.h"
#include "kernel/roaditemmodel.h"
#include "kernel/vireo.h"

Q_LOGGING_CATEGORY(lcDemoHost, "demo.host")

const QString DemoHost::RpcObjectName = QStringLiteral("prio-server");

DemoHost::DemoHost(QObject *parent)
    : QObject(parent)
    , m_rpcService(std::make_unique<JsonRpcPlugin>())
    , m_kernel(std::make_unique<Road::Kernel>())
{
    m_vireoPlugin = new Vireo::Plugin(m_kernel.get());
    m_project = new Vireo::Project(m_vireoPlugin);
    // The plug-in names its geometry cache after the project; with no project named, the
    // directory the host runs in is the project.
    m_project->setBaseDir(QDir::currentPath());

    JsonRpcObject *client = m_rpcService->client();
    client->setObjectName(RpcObjectName);
    connect(client, &JsonRpcObject::connected, this, &DemoHost::onConnected);
    connect(client, &JsonRpcObject::protocolError, this, &DemoHost::connectionProblem);
    m_keeper = new ConnectionKeeper(client, this);
}

DemoHost::~DemoHost()
{
    // The kernel deletes its children, the plug-in among them, before its scene and tree.
    m_kernel.reset();
    m_rpcService.reset();
    // The module stays mapped: Qt unloads plug-in libraries itself at exit, and unloading it
    // here would pull the code from under objects that other hosts in the process still use.
    m_loader.reset();
}

bool DemoHost::loadPlugin(const QString &modulePath)
{
    m_error.clear();
    if (m_plugin) {
        m_error = tr("A plug-in is already loaded");
        return false;
    }
    m_loader = std::make_unique<QPluginLoader>(modulePath);
    QObject *instance = m_loader->instance();
    if (!instance) {
        m_error = tr("Cannot load the plug-in '%1': %2").arg(modulePath, m_loader->errorString());
        return false;
    }
    if (!instance->inherits("PriorityPlugin")) {
        m_error = tr("'%1' is a %2, not the traffic-priority plug-in")
                          .arg(modulePath, QString::fromLatin1(instance->metaObject()->className()));
        return false;
    }
    // The module hands out one object at a time; while another host holds it, it is not ours.
    if (instance->parent() && instance->parent() != m_kernel.get()) {
        m_error = tr("The plug-in object already belongs to another host");
        return false;
    }
    instance->setParent(m_kernel.get());
    m_plugin = instance;
    return true;
}

bool DemoHost::startPlugin()
{
    if (!m_plugin) {
        m_error = tr("No plug-in is loaded");
        return false;
    }
    if (!plugin().start(m_rpcService->client())) {
        m_error = tr("The plug-in did not start");
        return false;
    }
    return true;
}

bool DemoHost::setView(QGraphicsView *view)
{
    return plugin().setView(view);
}

bool DemoHost::registerTimeline(QObject *timelineWidget)
{
    return plugin().registerTimeline(timelineWidget);
}

void DemoHost::setProjectDir(const QString &dir)
{
    m_project->setBaseDir(dir);
}

QString DemoHost::projectDir() const
{
    return m_project->baseDir();
}

void DemoHost::connectToServer(const QUrl &url, int firstRetryMs)
{
    m_url = url;
    Backoff::Options backoff;
    backoff.firstMs = qMax(0, firstRetryMs);
    m_keeper->setBackoff(backoff);
    qCInfo(lcDemoHost, "Connecting to %s", qUtf8Printable(url.toString()));
    m_keeper->start(url);
}

bool DemoHost::isConnected() const
{
    return m_rpcService && m_rpcService->client()->isConnected();
}

Road::MapScene *DemoHost::scene() const
{
    return m_kernel->scene();
}

Road::ItemModel *DemoHost::itemModel() const
{
    return m_kernel->itemModel();
}

JsonRpcObject *DemoHost::rpcClient() const
{
    return m_rpcService->client();
}

void DemoHost::onConnected(bool connected)
{
    qCInfo(lcDemoHost, "%s %s", connected ? "Connected to" : "Lost the connection to",
           qUtf8Printable(m_url.toString()));
    emit connectionChanged(connected);
}
