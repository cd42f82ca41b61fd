#pragma once

// The plug-in started on the scripted host, with the helpers the live suites share: a
// connection whose three list answers the test gives, the tree printed as one line, and
// timeline widgets that record what they are handed.

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>
#include <memory>

#include "common/logcapture.h"
#include "plugin/fakehost.h"
#include "plugin/priorityplugin.h"

// Keeps a suite's settings and geometry cache in its own test locations, emptied before
// every test function.
void prepareLiveSuite(const QString &applicationName);
void resetLiveStorage();

struct LiveHost
{
    LiveHost();
    ~LiveHost();

    // Scripts the route list, the detector list and the board list as answers, emits
    // connected(true) and waits until the three answers have been handled.
    bool connectWith(const QVariantList &routes = {}, const QVariantList &detectors = {},
                     const QVariantMap &boards = {});

    void notify(const QString &name, const QVariant &params) { emit rpc->notification(name, params); }

    // The requests posted so far for one method, their params in order.
    QVariantList paramsOf(const QString &method) const;
    int countOf(const QString &method) const { return paramsOf(method).size(); }
    QStringList methods() const;
    // The last pending response of a method, to be finished by the test.
    JsonRpcResponse *pending(const QString &method) const;

    // The plug-in's whole branch of the tree, "Traffic priority system[Routes[...], ...]".
    QString tree() const;
    // The entries of one of the four sections, "B1, B2".
    QString section(const QString &name) const;

    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<JsonRpcObject> rpc;
    QPointer<PriorityPlugin> plugin;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

// What the plug-in logged: its warnings only, or every line of its own.
QStringList warningsIn(const LogCapture &log);
QStringList pluginLines(const LogCapture &log);

// A list record of a route; no hash, so that no geometry is asked for.
QVariantMap routeRecord(int id);

struct TimelineCall
{
    QString board;
    QString route;
    QDateTime time;
    qreal offset;
    bool active;
};

// What the plug-in takes for a timeline widget is the class name; this one lacks the
// method, as a widget of an older host would.
class TimelineWidget : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};

class RecordingTimeline : public TimelineWidget
{
    Q_OBJECT
public:
    using TimelineWidget::TimelineWidget;

    Q_INVOKABLE void putBoardData(const QString &boardName, const QString &routeId, const QDateTime &time,
                                  qreal offsetSeconds, bool hasPriority)
    {
        calls.append({boardName, routeId, time, offsetSeconds, hasPriority});
        if (onCall)
            onCall();
    }

    QVector<TimelineCall> calls;
    // Runs inside putBoardData, after the call was recorded.
    std::function<void()> onCall;
};

// Has the method but is no timeline widget.
class LookAlikeWidget : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    Q_INVOKABLE void putBoardData(const QString &, const QString &, const QDateTime &, qreal, bool) { ++calls; }
    int calls = 0;
};
