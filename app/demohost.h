#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

#include "pluginhandle.h"

class ConnectionKeeper;
class JsonRpcObject;
class JsonRpcPlugin;
class QPluginLoader;
class QGraphicsView;

namespace Road {
class ItemModel;
class Kernel;
class MapScene;
} // namespace Road

namespace Vireo {
class Plugin;
class Project;
} // namespace Vireo

// The host side of the traffic-priority plug-in, as the map application builds it: the map
// kernel with its scene and object tree, the application's plug-in host object and project,
// the JSON-RPC service and its client, and the plug-in module loaded with QPluginLoader and
// adopted by the kernel. Widgets (map view, timelines) are the caller's; the host only hands
// them to the plug-in.
//
// Teardown order matters: the plug-in goes with the kernel, before the JSON-RPC client it
// holds a pointer to.
class DemoHost : public QObject
{
    Q_OBJECT
public:
    explicit DemoHost(QObject *parent = nullptr);
    ~DemoHost() override;

    // Loads the plug-in module and makes the kernel the parent of its object. On failure
    // returns false and errorString() says why.
    bool loadPlugin(const QString &modulePath);
    // start(jsonRpcObject) on the plug-in; its answer, or false when there is no plug-in.
    bool startPlugin();
    // Hands the map view to the plug-in (setView).
    bool setView(QGraphicsView *view);
    bool registerTimeline(QObject *timelineWidget);

    void setProjectDir(const QString &dir);
    QString projectDir() const;

    // Connects the JSON-RPC client to a ws:// or wss:// server. With a first retry above zero
    // the host keeps it connected: it opens the connection again after each loss or failed
    // attempt, first after firstRetryMs, then after longer and longer waits (ConnectionKeeper).
    void connectToServer(const QUrl &url, int firstRetryMs = 0);
    bool isConnected() const;
    QUrl serverUrl() const { return m_url; }
    ConnectionKeeper *keeper() const { return m_keeper; }

    QString errorString() const { return m_error; }

    Road::Kernel *kernel() const { return m_kernel.get(); }
    Road::MapScene *scene() const;
    Road::ItemModel *itemModel() const;
    Vireo::Project *project() const { return m_project; }
    JsonRpcPlugin *rpcService() const { return m_rpcService.get(); }
    JsonRpcObject *rpcClient() const;
    QObject *pluginObject() const { return m_plugin.data(); }
    PluginHandle plugin() const { return PluginHandle(m_plugin.data()); }

    // The client's objectName, which the plug-in's log names it by.
    static const QString RpcObjectName;

signals:
    // Emitted before the plug-in hears of it (the host listens to the client first): on a
    // loss, the map still shows what the plug-in had.
    void connectionChanged(bool connected);
    // Socket errors and answers the client could not understand.
    void connectionProblem(const QString &message);

private:
    void onConnected(bool connected);

    // Declared in teardown order, last first: the service outlives the kernel.
    std::unique_ptr<JsonRpcPlugin> m_rpcService;
    std::unique_ptr<Road::Kernel> m_kernel;
    std::unique_ptr<QPluginLoader> m_loader;
    Vireo::Plugin *m_vireoPlugin = nullptr;
    Vireo::Project *m_project = nullptr;
    QPointer<QObject> m_plugin;
    ConnectionKeeper *m_keeper = nullptr;
    QUrl m_url;
    QString m_error;
};
