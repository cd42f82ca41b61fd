#pragma once

#include <QElapsedTimer>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRegExp>
#include <QSet>
#include <QStringList>
#include <QVariant>

#include <deque>
#include <functional>

#include "kernel/roaditemmodel.h"
#include "model/geometrycache.h"
#include "model/listanswer.h"
#include "plugin/connectionwatch.h"

class QTimer;
class JsonRpcResponse;
class PrioRoute;
class PrioVehicle;
class PrioVDetector;

// Receives the result of a successful answer.
using ResponseCallback = std::function<void(const QVariant &)>;

// The traffic-priority plug-in object. The host drives it only through its meta-object:
// the invokables, properties and the rpcError signal below, in this order.
class PriorityPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.lumen.road.PriorityPlugin")

    Q_PROPERTY(ShowMode textShowMode READ textShowMode WRITE setTextShowMode)
    Q_PROPERTY(ShowMode emsShowMode READ emsShowMode WRITE setEmsShowMode)
    Q_PROPERTY(ShowWeightMode brdWeightShowMode READ brdWeightShowMode WRITE setBrdWeightShowMode)
    Q_PROPERTY(ShowWeightMode dtWeightShowMode READ dtWeightShowMode WRITE setDtWeightShowMode)
    Q_PROPERTY(bool showDtOnActivation READ showDtOnActivation WRITE setShowDtOnActivation)
    Q_PROPERTY(bool showDtWhenApproaching READ showDtWhenApproaching WRITE setShowDtWhenApproaching)
    Q_PROPERTY(int minVisibleZoom READ minVisibleZoom WRITE setMinVisibleZoom)
    Q_PROPERTY(bool debugMode READ debugMode WRITE setDebugMode)
    Q_PROPERTY(QString moduleVersion READ moduleVersion)

public:
    enum ShowMode { show_none = 0, show_selected = 1, show_always = 2 };
    Q_ENUM(ShowMode)
    enum ShowWeightMode { show_weight_none = 0, show_weight_always = 1, show_weight_if_valid = 2 };
    Q_ENUM(ShowWeightMode)

    explicit PriorityPlugin(QObject *parent = nullptr);
    ~PriorityPlugin() override;

    // Properties.
    ShowMode textShowMode() const { return m_textShowMode; }
    void setTextShowMode(ShowMode mode);
    ShowMode emsShowMode() const { return m_emsShowMode; }
    void setEmsShowMode(ShowMode mode);
    ShowWeightMode brdWeightShowMode() const { return m_brdWeightShowMode; }
    void setBrdWeightShowMode(ShowWeightMode mode);
    ShowWeightMode dtWeightShowMode() const { return m_dtWeightShowMode; }
    void setDtWeightShowMode(ShowWeightMode mode);
    bool showDtOnActivation() const { return m_showDtOnActivation; }
    void setShowDtOnActivation(bool show);
    bool showDtWhenApproaching() const { return m_showDtWhenApproaching; }
    void setShowDtWhenApproaching(bool show);
    int minVisibleZoom() const { return m_minVisibleZoom; }
    void setMinVisibleZoom(int zoom);
    bool debugMode() const { return m_debugMode; }
    void setDebugMode(bool on) { m_debugMode = on; }
    QString moduleVersion() const;

signals:
    void rpcError(const QString &msg);

private slots:
    void on_rpcObjectConnected(bool conn);
    void on_rpcObjectEvent(const QString &event_name, const QVariant &params);
    void on_rpcObjectRequestQueueEmpty();
    void on_JsonRpcPlugintDestroyed();
    void on_JsonRpcAllowedCommandsChanged();
    void on_vehRouteChanged();
    void on_sectionDestroyed(QObject *sect);
    void on_viewZoomChanged(int);
    void on_viewMoved(int);

public:
    // Start-up.
    Q_INVOKABLE bool start(QObject *json_rpc_object);
    Q_INVOKABLE QObject *rpcObject();
    // Queries and timeline link.
    Q_INVOKABLE QObject *findRoute(int id);
    Q_INVOKABLE QObjectList getRoutes();
    // Operator commands.
    Q_INVOKABLE void setLockBoard(const QString &name, bool lock);
    Q_INVOKABLE void assignBoard(const QString &board_name, int route_id);
    Q_INVOKABLE void unassignBoard(const QString &board_name);
    Q_INVOKABLE void changeBoardProperties(const QString &board_name, const QVariantMap &props);
    Q_INVOKABLE void changeRouteProperties(int id, const QVariantMap &props);
    Q_INVOKABLE void changeVdtProperties(int id, const QVariantMap &props);
    Q_INVOKABLE void setVdtActive(int id, bool active);
    Q_INVOKABLE void changeTlcProperties(int id, const QVariantMap &props);
    Q_INVOKABLE void setLockRoute(int id, bool lock);
    Q_INVOKABLE void setLockDetector(int id, bool lock);
    // Queries.
    Q_INVOKABLE QVariantMap getVdtProperties(int id);
    Q_INVOKABLE QVariantMap getTlcProperties(int id);
    Q_INVOKABLE QVariantMap getTimelineData(int route_id);
    Q_INVOKABLE void registerTimeline(QObject *w);
    Q_INVOKABLE void removeBoardsData(const QStringList &board_names);
    Q_INVOKABLE QString getWebUrl();
    // Display settings and view binding.
    Q_INVOKABLE void setView(QGraphicsView *);
    Q_INVOKABLE void setVehicleNameFilter(const QString &name_regex);
    Q_INVOKABLE QString getVehicleNameFilter();
    Q_INVOKABLE void setVehicleDescrFilter(const QString &name_regex);
    Q_INVOKABLE QString getVehicleDescrFilter();

    // ---- Used by the plug-in's own parts (and white-box tests); not in the meta-object. ----

    // Detaches from the JSON-RPC object and the kernel and clears everything made for the
    // connection; with restart, start(remembered object) runs again 10 s later.
    void stop(bool restart);

    // Command channel. postRpcCommand returns whether the request was posted; false means
    // it was dropped or failed, and for an internal request a failure has stopped the
    // plug-in (rpcObject() is then null and every item may be gone).
    bool postRpcCommand(const QString &method, const QVariant &params, ResponseCallback callback,
                        bool userCommand);
    QVariant execRpcCommand(const QString &method, const QVariant &params, int timeout, bool userCommand);
    QVariant execRpcCommand(const QString &method, const QVariant &params, int timeout,
                            ResponseCallback onError);
    void handleResponseError(JsonRpcResponse *response, bool userCommand);

    // Registry (lookups answer null when absent).
    PrioRoute *route(int id) const;
    PrioVehicle *board(const QString &name) const;
    PrioVDetector *detector(int id) const;
    const QHash<QString, PrioVehicle *> &boardRegistry() const { return boards; }
    const QHash<int, PrioRoute *> &routeRegistry() const { return routes; }
    const QHash<int, PrioVDetector *> &detectorRegistry() const { return detectors; }
    void registerRoute(int id, PrioRoute *route);
    void registerVehicle(PrioVehicle *vehicle);
    void registerDetector(int id, PrioVDetector *detector);
    void addTreeEntry(QObject *object, QObject *section);
    void clearRegistry();
    // Restores routes and detectors from the cache file; with missingOnly, only those not
    // registered, without a warning for the others.
    void restoreFromCache(bool missingOnly = false);

    // Loaders.
    void requestNetworkLists();
    void onRouteList(const QVariant &result);
    void onRouteGeometry(const QPointer<PrioRoute> &asked, int id, const QVariantMap &record,
                         const QVariant &result);
    void onDetectorGeometry(const QPointer<PrioVDetector> &asked, int id, const QVariant &result);
    void onBoardData(const QPointer<PrioVehicle> &asked, const QString &name, const QVariant &result);
    void onDetectorList(const QVariant &result);
    void onBoardList(const QVariant &result);
    PrioVehicle *boardForEvent(const QString &eventName, const QVariantMap &params);
    void placeVehicleInTree(PrioVehicle *vehicle);

    // Geometry cache.
    QString cacheFileName() const { return cacheName; }
    QString cacheFilePath();
    void writeCacheEntry(const QString &section, const QString &key, const QVariantMap &entry);
    void removeCacheEntries(const QString &section, const QList<int> &ids);
    GeometryCache &geometryCache() { return m_cache; }

    // Display settings.
    bool vehicleAccepted(PrioVehicle *vehicle) const;
    void refreshDetectorsInView();

    // State, for the parts and for tests.
    QGraphicsScene *graphicsScene() const { return scene; }
    Road::ItemModel *treeModel() const { return itemModel; }
    QGraphicsView *mapView() const { return view; }
    QObject *routesSectionObject() const { return routesSection; }
    QObject *emergencyDetectorsSectionObject() const { return emergencyDetectorsSection; }
    bool isSubscribed() const { return subscribed; }
    bool isAwaitingPermissions() const { return awaitingPermissions; }
    bool isRestartPending() const;
    QObject *rememberedObject() const { return rememberedRpcObject; }
    const QList<QPointer<QObject>> &timelineWidgets() const { return timelines; }

    // Delay of the restart after a failed internal request.
    static constexpr int RestartDelayMs = 10000;
    // Time limit of the queries.
    static constexpr int QueryTimeoutMs = 10000;
    // Records of the lists taken in per pass of the event loop: a longer list (100 000
    // boards) goes on in the next passes instead of holding the GUI for seconds.
    static constexpr int ListSliceRecords = 1000;
    // ... and a slice of a longer list ends after this long.
    static constexpr int ListSliceMs = 20;
    // A list answer still being taken in; the subscription waits for it.
    bool isTakingInList() const;

protected:
    void timerEvent(QTimerEvent *event) override;
    // Registry entries of items that someone else destroyed (the host clearing its scene or
    // deleting the layer) are dropped at once; the lost items are then loaded again.
    void childEvent(QChildEvent *event) override;

private:
    void dispatchBoardPosition(const QVariantMap &params);
    void dispatchDetectorState(const QVariantMap &params);
    // The JSON-RPC object while one is attached. Null while stopped, and also while the
    // attached object is being destroyed (its destroyed() handler stops the plug-in).
    QObject *currentRpc() const { return m_attached ? m_rpcObject.data() : nullptr; }
    void scheduleRestart();
    void cancelPendingRestart();
    bool connectPermissionWait(QObject *rpc);
    void disconnectPermissionWait();
    void loadSettings();
    void deleteTreeEntries(QObject *object);
    bool hasLiveTreeEntry(QObject *object) const;
    void openCache();
    void forgetDetectorInBoards(int detectorId);
    void scheduleReload();
    void reloadLostItems();
    // After a route list: boards and detectors naming one of the routes it registered are
    // filed under them.
    void fileUnderNewRoutes(const ListAnswer::IdSet &newRoutes);
    // The end of a route list: the routes it no longer names go, and boards and detectors
    // naming the routes it added are filed under them.
    void removeUnlistedRoutes(const QList<int> &stale, const ListAnswer::IdSet &added);
    void removeUnlistedDetectors(const QList<int> &stale);
    // One record of a list; false when the plug-in stopped meanwhile.
    bool takeDetectorRecord(const QVariantMap &record, ListAnswer::IdSet *listed);
    bool takeBoardRecord(const QString &name, const QVariantMap &record);
    // One list answer, taken in record by record (listintake.cpp). Lists are taken in
    // whole and in the order they came; a list of at most ListSliceRecords that finds no
    // other waiting is taken in at once, within the call that hands it over.
    struct ListIntake
    {
        quint64 session = 0;
        int count = 0;
        int next = 0;
        bool begun = false;
        std::function<void()> begin;
        std::function<bool(int)> take; // false: the plug-in stopped meanwhile
        std::function<void()> end;
    };
    void takeInList(ListIntake intake);
    void continueIntake();

    QPointer<QObject> m_rpcObject;
    bool m_attached = false;
    QPointer<QGraphicsScene> scene;
    QPointer<QGraphicsView> view;
    QPointer<Road::ItemModel> itemModel;
    QPointer<QObject> routesSection;
    QPointer<QObject> unassignedBoardsSection;
    QPointer<QObject> assignedBoardsSection;
    QPointer<QObject> emergencyDetectorsSection;
    QHash<QString, PrioVehicle *> boards;
    QHash<int, PrioRoute *> routes;
    QHash<int, PrioVDetector *> detectors;
    bool subscribed = false;
    bool awaitingPermissions = false;
    QPointer<QObject> rememberedRpcObject;
    ShowMode m_textShowMode = show_none;
    ShowMode m_emsShowMode = show_none;
    ShowWeightMode m_brdWeightShowMode = show_weight_none;
    ShowWeightMode m_dtWeightShowMode = show_weight_none;
    bool m_showDtOnActivation = true;
    QList<QPointer<QObject>> timelines;
    QString cacheName;
    int viewTimerId = 0;
    QElapsedTimer lastViewChange;
    int currentZoom = -1;
    int m_minVisibleZoom = 17;
    bool m_showDtWhenApproaching = true;
    QRegExp nameFilter;
    QRegExp descrFilter;
    bool m_debugMode = false;

    // Restart after a failed internal request; a successful start cancels it.
    QTimer *restartTimer = nullptr;
    // The connection from the JSON-RPC object's parent's allowedCommandsChanged(); made
    // once, however many refusals come.
    QMetaObject::Connection permissionConnection;
    QPointer<QObject> permissionSource;
    // The tree entries this plug-in made, by listed object, so that it never deletes one the
    // host already did; one node per entry, the newest first.
    QMultiHash<QObject *, QPointer<QObject>> treeEntries;
    GeometryCache m_cache;
    ConnectionWatch m_connectionWatch;
    // Advances with every change of the connection and every stop: an answer to a request
    // posted in an earlier session is dropped.
    quint64 m_session = 0;
    bool m_reloadQueued = false;
    std::deque<ListIntake> m_intakes;
    bool m_intakeQueued = false;
    bool m_intakeRunning = false;
    // The session whose subscription waits for the lists being taken in (0: none).
    quint64 m_subscribeAfterIntake = 0;
    // The registry key of every item registered, by item, for childEvent().
    struct RegisteredKey
    {
        enum Kind : quint8 { Route, Detector, Board } kind;
        int id;
        QString name;
    };
    QHash<const QObject *, RegisteredKey> m_registeredItems;
};
