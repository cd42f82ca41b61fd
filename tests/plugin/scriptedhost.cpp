#include "scriptedhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"

QVariant json(const QString &text)
{
    // Wrapped, so that a bare number or string is a document too.
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(('[' + text + ']').toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad JSON in a test: %s", qPrintable(text));
    return doc.array().isEmpty() ? QVariant() : doc.array().first().toVariant();
}

QString compact(const QVariant &value)
{
    const QByteArray wrapped = QJsonDocument(QJsonArray{QJsonValue::fromVariant(value)}).toJson(QJsonDocument::Compact);
    return value.isValid() ? QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2)) : "-";
}

ScriptedRpc::ScriptedRpc(QObject *parent)
    : JsonRpcObject(parent)
{
    setObjectName(QStringLiteral("fake-rpc"));
}

void ScriptedRpc::script(const QString &method, const QString &kind, const QVariant &value)
{
    if (!QStringList({"pending", "result", "error", "invoke-fails", "wrong-type"}).contains(kind))
        qFatal("no such answer: %s", qPrintable(kind));
    m_scripts.insert(method, {kind, value});
}

QObject *ScriptedRpc::postCommand(const QString &method, const QVariant &params)
{
    qDebug().noquote() << "request:" << method << compact(params);
    const auto script = m_scripts.value(method, {"pending", QVariant()});
    if (script.first == "invoke-fails" || script.first == "wrong-type") {
        responses.append(nullptr);
        return script.first == "wrong-type" ? new QObject(this) : nullptr;
    }
    // JsonRpcResponse lets any owner finish it; this object is the owner.
    auto *response = new JsonRpcResponse(method, params, this);
    responses.append(response);
    QPointer<JsonRpcResponse> guarded(response);
    if (script.first != "pending")
        QTimer::singleShot(0, this, [guarded, script] {
            if (guarded)
                script.first == "error" ? guarded->finishWithError(script.second) : guarded->finishWithResult(script.second);
        });
    return response;
}

Host::Host(bool start)
{
    QObject::connect(plugin, &PriorityPlugin::rpcError, &owner, [](const QString &text) { qDebug().noquote() << "rpcError:" << text; });
    // The suite's own test locations (named after its executable), emptied, under a home of
    // this run's own: other checkouts on the machine run the same suites at the same time.
    static QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
    QSettings().clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
    if (start) {
        QVERIFY(plugin->start(rpc));
        QCOMPARE(logged(), QStringList("INFO: start"));
    }
}

Host::~Host()
{
    // The host drops its JSON-RPC object first, which stops the plug-in while the tree is
    // still there.
    delete rpc.data();
}

void Host::run(const QStringList &steps)
{
    static const QStringList lists{"RoadNetwork.getRouteList", "VDTService.getVdtList", "BoardsServer.getBoards"};
    const QHash<QString, std::function<void(const QString &)>> simple{
        {"disconnect", [&](const QString &) { emit rpc->connected(false); }},
        {"notify", [&](const QString &rest) { notify(rest.section(' ', 0, 0), rest.section(' ', 1)); }},
        {"script", [&](const QString &rest) { rpc->script(rest.section(' ', 0, 0), rest.section(' ', 1, 1), json(rest.section(' ', 2))); }},
        {"filter", [&](const QString &rest) { plugin->setVehicleNameFilter(rest); }},
        {"delete-model", [&](const QString &) { delete kernel.itemModel(); }},
        {"delete-layer", [&](const QString &) { delete kernel.scene()->layer("Traffic priority"); }},
        {"delete-section", [&](const QString &rest) { delete kernel.itemModel()->section(rest); }},
        {"clear-scene", [&](const QString &) { kernel.scene()->clear(); }},
        {"tree", [&](const QString &) { qDebug().noquote() << "tree" << tree(); }},
        {"show", [&](const QString &) { show(); }},
        {"stop", [&](const QString &rest) { plugin->stop(rest == "restart"); }},
        {"allow", [&](const QString &) { emit owner.allowedCommandsChanged(); }},
        {"queue-empty", [&](const QString &) { emit rpc->requestQueueEmpty(); }},
        {"destroy", [&](const QString &) { delete rpc.data(); }},
        {"settle", [&](const QString &) { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); QCoreApplication::processEvents(); }},
    };
    for (const QString &step : steps) {
        const QString verb = step.section(' ', 0, 0), rest = step.section(' ', 1);
        if (simple.contains(verb)) {
            simple[verb](rest);
        } else if (verb == "connect" || verb == "load") {
            int at = log.lines().size();
            emit rpc->connected(true);
            const QStringList lines = log.lines();
            QCOMPARE(lines.value(at), QStringLiteral("info: [PriorityPlugin] INFO: RPC object 'fake-rpc' connected"));
            m_taken.insert(at);
            // In this order, with the restore's warnings before them; a connection that fails
            // stops the plug-in and asks for nothing.
            for (int i = 0; i < 3 && plugin->rpcObject(); ++i) {
                at = lines.indexOf("debug: request: " + lists[i] + " -", at + 1);
                QVERIFY2(at > 0, qPrintable(lists[i]));
                m_taken.insert(at);
            }
        } else if (verb == "answer" || verb == "fail") {
            QVERIFY2(answer(rest.section(' ', 0, 0), json(rest.section(' ', 1)), verb == "fail"), qPrintable(step));
        } else if (verb == "cache") {
            QDir().mkpath(QFileInfo(plugin->cacheFilePath()).path());
            QFile file(plugin->cacheFilePath());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(rest.toUtf8()) == rest.toUtf8().size());
        } else if (verb == "start") {
            QVERIFY(plugin->start(rpc));
        } else if (verb == "fire") {
            auto *timer = plugin->findChild<QTimer *>();
            QVERIFY(timer && timer->isActive() && timer->isSingleShot());
            QCOMPARE(timer->interval(), 10000);
            timer->start(0);
            QTRY_VERIFY(!timer->isActive());
        } else if (verb != "lists") {
            QFAIL(qPrintable("unknown step " + step));
        }
        if (verb == "lists" || verb == "load") {
            const QStringList answers = rest.split(" | ");
            for (int i = 0; i < answers.size(); ++i)
                QVERIFY2(answers[i].trimmed().isEmpty() || answer(lists[i], json(answers[i])), qPrintable(step));
        }
    }
}

bool Host::answer(const QString &method, const QVariant &value, bool error)
{
    for (JsonRpcResponse *response : qAsConst(rpc->responses)) {
        if (response && response->requestMethod() == method && !response->isFinished()) {
            error ? response->finishWithError(value) : response->finishWithResult(value);
            return true;
        }
    }
    return false;
}

static QString branch(const QAbstractItemModel *model, const QModelIndex &parent)
{
    QStringList parts;
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        // An entry has a type text; its first column alone is selectable.
        const bool entry = !index.siblingAtColumn(2).data().toString().isEmpty();
        const bool standard = model->flags(index) == (Qt::ItemIsSelectable | Qt::ItemIsEnabled)
            && model->flags(index.siblingAtColumn(1)) == Qt::ItemIsEnabled && model->flags(index.siblingAtColumn(2)) == Qt::ItemIsEnabled;
        const QString children = model->rowCount(index) > 0 ? '[' + branch(model, index) + ']' : QString();
        parts << index.data().toString() + (entry && !standard ? "!" : "") + children;
    }
    return parts.join(QLatin1String(", "));
}

QString Host::tree() const
{
    return kernel.itemModel() ? branch(kernel.itemModel(), QModelIndex()) : "-";
}

void Host::show() const
{
    auto text = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
    QStringList lines;
    for (PrioRoute *route : plugin->routeRegistry())
        lines << QStringLiteral("route %1 %2").arg(route->id()).arg(text(route->description()));
    for (PrioVDetector *d : plugin->detectorRegistry())
        lines << QStringLiteral("detector %1 %2 %3").arg(d->id()).arg(text(d->name()), text(d->state()));
    for (PrioVehicle *v : plugin->boardRegistry()) {
        QStringList ids;
        for (int id : v->activeDetectors())
            ids << QString::number(id);
        ids.sort();
        lines << QStringLiteral("board %1 %2 %3 %4 [%5]%6")
                     .arg(v->name(), v->isLoggedIn() ? "in" : "out", QString::number(v->routeId()), text(v->priorityState()), ids.join(' '),
                          v->isFilterAccepted() ? "" : " hidden");
    }
    lines.sort();
    for (const QString &line : qAsConst(lines))
        qDebug().noquote() << line;
}

QStringList Host::logged()
{
    static const QStringList prefixes{"critical: [PriorityPlugin] ERROR: ", "warning: [PriorityPlugin] WARN: ", "info: [PriorityPlugin] INFO: ",
                                      "debug: "};
    const QStringList lines = log.lines();
    QStringList texts;
    for (; m_seen < lines.size(); ++m_seen) {
        QString text = lines.at(m_seen);
        for (const QString &prefix : prefixes) {
            if (text.startsWith(prefix))
                text = text.mid(prefix == "debug: " ? 7 : prefix.indexOf("] ") + 2);
        }
        if (!m_taken.contains(m_seen))
            texts << (text.startsWith("request: ") ? "> " + text.mid(9) : text);
    }
    return texts;
}

QString Host::cached(bool whole) const
{
    plugin->geometryCache().flush();
    QFile file(plugin->cacheFilePath());
    const QJsonDocument doc = QJsonDocument::fromJson(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    if (!file.isOpen() || !doc.isObject())
        return file.isOpen() ? "?" : "-";
    QStringList members;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it)
        members << it.key() + '[' + it.value().toObject().keys().join(' ') + ']';
    return whole ? QString::fromUtf8(doc.toJson(QJsonDocument::Compact)) : members.join(' ');
}

QString Host::state() const
{
    if (!plugin)
        return "state deleted";
    return "state " + (plugin->rpcObject() ? plugin->rpcObject()->objectName() : "-") + (plugin->isRestartPending() ? ", restart pending" : "")
        + (plugin->isAwaitingPermissions() ? ", awaiting permissions" : "");
}

QString sections(const QString &routes, const QString &unassigned, const QString &assigned, const QString &emergency)
{
    auto part = [](const char *name, const QString &children) { return children.isEmpty() ? QString(name) : name + ('[' + children + ']'); };
    return "Traffic priority system[" + part("Routes", routes) + ", " + part("Not assigned boards", unassigned) + ", "
        + part("Assigned boards", assigned) + ", " + part("Emergency call detectors", emergency) + ']';
}
