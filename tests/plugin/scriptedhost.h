#pragma once

// The plug-in object on a scripted host, shared by the plug-in's unit suites: a JSON-RPC
// object whose answers the test scripts or gives by hand, a kernel whose scene and item model
// can be withheld, the project objects that name the cache, the whole tree as one line, the
// log captured and a model tester attached for the whole test. The classes carry the host's
// class names, which is all the plug-in checks.

#include <QAbstractItemModelTester>
#include <QGraphicsObject>
#include <QGraphicsScene>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include "common/logcapture.h"
#include "jsonrpc/response.h"
#include "kernel/roaditemmodel.h"
#include "plugin/priorityplugin.h"

// JSON text as the variant the host's JSON-RPC object hands over (whole numbers as qlonglong);
// an empty text is the invalid variant.
QVariant json(const QString &text);
// A variant as compact JSON; "-" for the invalid variant.
QString compact(const QVariant &value);

// The signals the plug-in connects to; on its own, an object that cannot take requests.
class JsonRpcObject : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
signals:
    void connected(bool conn);
    void notification(const QString &name, const QVariant &params);
    void requestQueueEmpty();
};

// Takes requests and answers them as scripted, from the event loop; unscripted requests stay
// pending until the test answers them.
class ScriptedRpc : public JsonRpcObject
{
    Q_OBJECT
public:
    enum Kind { Pending, Result, Error, InvokeFails, WrongType };
    Q_ENUM(Kind)
    explicit ScriptedRpc(QObject *parent = nullptr);

    Q_INVOKABLE QObject *postCommand(const QString &method, const QVariant &params);
    Q_INVOKABLE void subscribe(const QStringList &events) { subscriptions.append(events); }
    void script(const QString &method, Kind kind, const QVariant &value = QVariant());

    struct Request
    {
        QString method;
        QVariant params;
        QPointer<JsonRpcResponse> response;
    };
    QVector<Request> posted;
    QVector<QStringList> subscriptions;

private:
    QHash<QString, QPair<Kind, QVariant>> m_scripts;
};

// The JSON-RPC object's owner, which reports permission changes.
class JsonRpcOwner : public QObject
{
    Q_OBJECT
signals:
    void allowedCommandsChanged();
};

// A scene whose items join named layers, as the host's map does; a layer that is gone is
// made anew.
class LayeredScene : public QGraphicsScene
{
    Q_OBJECT
public:
    using QGraphicsScene::QGraphicsScene;
    Q_INVOKABLE QGraphicsObject *addLayer(const QString &name);
    QHash<QString, QPointer<QGraphicsObject>> layers;
};

class MapLayer : public QGraphicsObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void addItem(QGraphicsItem *item) { item->setParentItem(this); }
    QRectF boundingRect() const override { return QRectF(); }
    void paint(QPainter *, const QStyleOptionGraphicsItem *, QWidget *) override {}
};

namespace Road {
class Kernel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *graphicsScene READ graphicsScene)
    Q_PROPERTY(Road::ItemModel *itemModel READ itemModel)
public:
    QObject *graphicsScene() const { return withholdScene ? nullptr : scene; }
    Road::ItemModel *itemModel() const { return withholdModel ? nullptr : model.data(); }
    LayeredScene *scene = new LayeredScene(this);
    QPointer<Road::ItemModel> model = new Road::ItemModel(this);
    bool withholdScene = false;
    bool withholdModel = false;
};
} // namespace Road

namespace Vireo {
class Plugin : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};
// The base directory is a dynamic property, so that a test can leave it out.
class Project : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};
} // namespace Vireo

// Settings and cache of a suite in its own test locations.
void useTestStorage(const QString &suite);

struct Host
{
    // Settings and cache start empty; the plug-in is started unless start is false.
    explicit Host(bool start = true);
    ~Host();

    // Runs steps, each a verb and its arguments, JSON where they are values:
    //   connect | disconnect          connected(true) (its log line and three requests taken) or (false)
    //   lists R | D | B                 answers the pending route, detector and board lists in this
    //                                   order (a part left out or empty stays pending)
    //   load R | D | B                  connect, then lists
    //   answer METHOD JSON, fail METHOD JSON   the oldest pending request of METHOD, with a
    //                                   result or an error object
    //   notify NAME JSON                a notification
    //   script METHOD KIND [JSON]       how later requests of METHOD are answered: pending,
    //                                   result, error, invoke-fails or wrong-type
    //   cache TEXT                      the cache file's content
    //   delete-section PATH, delete-model   the host deletes a section of its tree, or the tree
    //   settle                          deferred deletions and zero timers run
    void run(const QStringList &steps);
    void connectWith(const QString &routes = "[]", const QString &detectors = "[]", const QString &boards = "{}")
    {
        run({"load " + routes + " | " + detectors + " | " + boards});
    }
    // Finishes the oldest pending request of method; false when none is pending.
    bool answer(const QString &method, const QVariant &value, bool error = false);
    void notify(const QString &name, const QString &params) { emit rpc->notification(name, json(params)); }
    // The requests from the from-th on, each as "method params" with the params in compact JSON;
    // those of the connect steps are left out.
    QStringList requests(int from = 0) const;
    // The whole tree as one line: "Traffic priority system[Routes[5[Boards, Detectors]], ...]"
    // ("-" without a tree).
    // An entry whose column flags are not the plug-in's standard ones is marked with "!".
    QString tree() const;
    // The log lines since the last call; a plug-in line as "ERROR: ", "WARN: " or "INFO: " and
    // its text, an rpcError of the plug-in as "rpcError: " and its text, in the order they came;
    // any other line as captured.
    QStringList logged();
    // The cache file's root members with their keys, "detectors[31 9] routes[12]", or whole as
    // compact JSON; "-" without a file, "?" for a file that is no JSON object.
    QString cached(bool whole = false) const;

    LogCapture log;
    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<ScriptedRpc> rpc = new ScriptedRpc(&owner);
    QPointer<PriorityPlugin> plugin = new PriorityPlugin(&kernel);
    QAbstractItemModelTester tester{kernel.model, QAbstractItemModelTester::FailureReportingMode::QtTest};

private:
    int m_seen = 0;
    QSet<int> m_connectRequests;
    QSet<int> m_connectLines;
};

// The tree with the plug-in's four sections holding what is given ("" for nothing).
QString sections(const QString &routes, const QString &unassigned = "", const QString &assigned = "",
                 const QString &emergency = "");
