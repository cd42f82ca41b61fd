#pragma once

// The plug-in object on a scripted host, shared by the plug-in's unit suites: a JSON-RPC
// object whose answers the test scripts or gives by hand, on the host layer's kernel, scene
// and project objects; the whole tree as one line, and a transcript of the log, the rpcError
// texts and the requests in the order they came. A model tester is attached for the whole
// test. The JSON-RPC classes carry the host's class names, which is all the plug-in checks.

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
#include "kernel/roadkernel.h"
#include "kernel/vireo.h"
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

// Takes requests, logs them ("request: METHOD PARAMS") and answers them as scripted, from the
// event loop; unscripted requests stay pending until the test answers them. A subscription
// is logged too.
class ScriptedRpc : public JsonRpcObject
{
    Q_OBJECT
public:
    explicit ScriptedRpc(QObject *parent = nullptr);
    Q_INVOKABLE QObject *postCommand(const QString &method, const QVariant &params);
    Q_INVOKABLE void subscribe(const QStringList &events) { qDebug().noquote() << "subscribe:" << events.join(' '); }
    // kind: pending, result, error (value is the error object), invoke-fails (postCommand
    // answers null) or wrong-type (it answers a plain QObject).
    void script(const QString &method, const QString &kind, const QVariant &value = QVariant());

    QVector<QPointer<JsonRpcResponse>> responses;

private:
    QHash<QString, QPair<QString, QVariant>> m_scripts;
};

// The JSON-RPC object's owner, which reports permission changes.
class JsonRpcOwner : public QObject
{
    Q_OBJECT
signals:
    void allowedCommandsChanged();
};

struct Host
{
    // Settings and cache start empty, in the suite's test locations; the plug-in is started
    // unless start is false.
    explicit Host(bool start = true);
    ~Host();

    // Runs steps, each a verb and its arguments, JSON where they are values:
    //   connect, disconnect           connected(true) (its log line and three list requests are
    //                                 taken from the transcript), connected(false)
    //   lists R | D | B               answers the pending route, detector and board lists in this
    //                                 order; a part left out or empty stays pending
    //   load R | D | B                connect, then lists
    //   answer METHOD JSON, fail METHOD JSON   the oldest pending request of METHOD, with a
    //                                 result or an error object
    //   notify NAME JSON              a notification
    //   script METHOD KIND [JSON]     how later requests of METHOD are answered
    //   cache TEXT                    the cache file's content
    //   filter REGEX                  the vehicle name filter
    //   delete-section PATH, delete-model, delete-layer, clear-scene   what the host may do
    //   settle                        deferred deletions and zero timers run
    //   start, stop, stop restart     the plug-in's start (which must succeed) and stop
    //   fire                          the pending ten-second restart, brought forward
    //   allow, queue-empty            the owner's allowedCommandsChanged(), the object's requestQueueEmpty()
    //   destroy                       the JSON-RPC object is deleted
    //   tree, show                    the tree, or every registered item, into the transcript:
    //                                 "route ID DESCRIPTION", "detector ID NAME STATE", "board
    //                                 NAME in|out ROUTE STATE [ACTIVE DETECTORS][ hidden]"
    void run(const QStringList &steps);
    void notify(const QString &name, const QString &params) { emit rpc->notification(name, json(params)); }
    // The whole tree as one line: "Traffic priority system[Routes[5[Boards, Detectors]], ...]"
    // ("-" without a tree). An entry whose column flags are not the plug-in's standard ones is
    // marked with "!".
    QString tree() const;
    // The transcript since the last call: a plug-in log line as "ERROR: ", "WARN: " or "INFO: "
    // and its text, an rpcError as "rpcError: " and its text, a request as "> METHOD PARAMS"
    // (compact JSON, "-" for none), a test's own debug line as it is; any other line as
    // captured.
    QStringList logged();
    // The cache file's root members with their keys, "detectors[31 9] routes[12]", or whole as
    // compact JSON; "-" without a file, "?" for a file that is no JSON object.
    QString cached(bool whole = false) const;
    // "state NAME" of the attached JSON-RPC object ("-" for none), then whether a restart
    // waits, and on what; "state deleted" without a plug-in.
    QString state() const;

    LogCapture log;
    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<ScriptedRpc> rpc = new ScriptedRpc(&owner);
    QPointer<PriorityPlugin> plugin = new PriorityPlugin(&kernel);
    QAbstractItemModelTester tester{kernel.itemModel(), QAbstractItemModelTester::FailureReportingMode::QtTest};

private:
    bool answer(const QString &method, const QVariant &value, bool error = false);
    void show() const;
    int m_seen = 0;
    QSet<int> m_taken;
};

// The tree with the plug-in's four sections holding what is given ("" for nothing).
QString sections(const QString &routes, const QString &unassigned = "", const QString &assigned = "",
                 const QString &emergency = "");
