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
#include <QTimer>
#include <QtTest>

QVariant json(const QString &text)
{
    if (text.isEmpty())
        return QVariant();
    // Wrapped, so that a bare number or string is a document too.
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(('[' + text + ']').toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad JSON in a test: %s", qPrintable(text));
    return doc.array().first().toVariant();
}

QString compact(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("-");
    const QByteArray wrapped = QJsonDocument(QJsonArray{QJsonValue::fromVariant(value)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

ScriptedRpc::ScriptedRpc(QObject *parent)
    : JsonRpcObject(parent)
{
    setObjectName(QStringLiteral("fake-rpc"));
}

void ScriptedRpc::script(const QString &method, Kind kind, const QVariant &value)
{
    m_scripts.insert(method, {kind, value});
}

QObject *ScriptedRpc::postCommand(const QString &method, const QVariant &params)
{
    const auto script = m_scripts.value(method, {Pending, QVariant()});
    if (script.first == InvokeFails || script.first == WrongType) {
        posted.append({method, params, nullptr});
        return script.first == WrongType ? new QObject(this) : nullptr;
    }
    // JsonRpcResponse lets any owner finish it; this object is the owner.
    auto *response = new JsonRpcResponse(method, params, this);
    posted.append({method, params, response});
    if (script.first != Pending) {
        QPointer<JsonRpcResponse> guarded(response);
        QTimer::singleShot(0, this, [guarded, script] {
            if (guarded && script.first == Error)
                guarded->finishWithError(script.second);
            else if (guarded)
                guarded->finishWithResult(script.second);
        });
    }
    return response;
}

QGraphicsObject *LayeredScene::addLayer(const QString &name)
{
    QPointer<QGraphicsObject> &layer = layers[name];
    if (!layer) {
        layer = new MapLayer;
        addItem(layer);
    }
    return layer;
}

void useTestStorage(const QString &suite)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
    QCoreApplication::setApplicationName(suite);
}

Host::Host(bool start)
{
    QObject::connect(plugin, &PriorityPlugin::rpcError, &owner,
                     [](const QString &text) { qDebug().noquote() << "rpcError:" << text; });
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
    for (const QString &step : steps) {
        const QString verb = step.section(' ', 0, 0);
        const QString rest = step.section(' ', 1);
        if (verb == "connect" || verb == "load") {
            const int first = rpc->posted.size();
            const int line = log.lines().size();
            emit rpc->connected(true);
            QCOMPARE(log.lines().value(line), QStringLiteral("info: [PriorityPlugin] INFO: RPC object 'fake-rpc' connected"));
            m_connectLines.insert(line);
            // A connection that fails stops the plug-in and asks for nothing.
            if (plugin->rpcObject())
                QCOMPARE(requests(first), QStringList({lists[0] + " -", lists[1] + " -", lists[2] + " -"}));
            for (int i = first; i < rpc->posted.size(); ++i)
                m_connectRequests.insert(i);
        } else if (verb == "disconnect") {
            emit rpc->connected(false);
        } else if (verb == "answer" || verb == "fail") {
            QVERIFY2(answer(rest.section(' ', 0, 0), json(rest.section(' ', 1)), verb == "fail"), qPrintable(step));
        } else if (verb == "notify") {
            notify(rest.section(' ', 0, 0), rest.section(' ', 1));
        } else if (verb == "script") {
            static const QStringList kinds{"pending", "result", "error", "invoke-fails", "wrong-type"};
            QVERIFY2(kinds.contains(rest.section(' ', 1, 1)), qPrintable(step));
            rpc->script(rest.section(' ', 0, 0), ScriptedRpc::Kind(kinds.indexOf(rest.section(' ', 1, 1))),
                        json(rest.section(' ', 2)));
        } else if (verb == "cache") {
            QDir().mkpath(QFileInfo(plugin->cacheFilePath()).path());
            QFile file(plugin->cacheFilePath());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(rest.toUtf8());
        } else if (verb == "delete-model") {
            delete kernel.model.data();
        } else if (verb == "delete-section") {
            delete kernel.model->section(rest);
        } else if (verb == "settle") {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
        } else if (verb != "lists") {
            QFAIL(qPrintable("unknown step " + step));
        }
        if (verb == "lists" || verb == "load") {
            const QStringList answers = rest.split(" | ");
            for (int i = 0; i < answers.size(); ++i) {
                if (!answers.at(i).trimmed().isEmpty())
                    QVERIFY2(answer(lists.at(i), json(answers.at(i))), qPrintable(step));
            }
        }
    }
}

bool Host::answer(const QString &method, const QVariant &value, bool error)
{
    for (const ScriptedRpc::Request &request : qAsConst(rpc->posted)) {
        if (request.method == method && request.response && !request.response->isFinished()) {
            if (error)
                request.response->finishWithError(value);
            else
                request.response->finishWithResult(value);
            return true;
        }
    }
    return false;
}

QStringList Host::requests(int from) const
{
    QStringList list;
    for (int i = from; i < rpc->posted.size(); ++i) {
        if (!m_connectRequests.contains(i))
            list << rpc->posted.at(i).method + ' ' + compact(rpc->posted.at(i).params);
    }
    return list;
}

QString Host::cached(bool whole) const
{
    plugin->geometryCache().flush();
    QFile file(plugin->cacheFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return "-";
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject())
        return "?";
    if (whole)
        return QString::fromUtf8(doc.toJson(QJsonDocument::Compact));
    QStringList members;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it)
        members << it.key() + '[' + it.value().toObject().keys().join(' ') + ']';
    return members.join(' ');
}

static QString branch(const QAbstractItemModel *model, const QModelIndex &parent)
{
    QStringList parts;
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        QString text = index.data().toString();
        // An entry has a type text; its first column alone is selectable.
        const bool standard = model->flags(index) == (Qt::ItemIsSelectable | Qt::ItemIsEnabled)
            && model->flags(index.siblingAtColumn(1)) == Qt::ItemIsEnabled
            && model->flags(index.siblingAtColumn(2)) == Qt::ItemIsEnabled;
        if (!index.siblingAtColumn(2).data().toString().isEmpty() && !standard)
            text += '!';
        if (model->rowCount(index) > 0)
            text += '[' + branch(model, index) + ']';
        parts << text;
    }
    return parts.join(QLatin1String(", "));
}

QString Host::tree() const
{
    return kernel.model ? branch(kernel.model, QModelIndex()) : "-";
}

QStringList Host::logged()
{
    static const QStringList prefixes{"critical: [PriorityPlugin] ERROR: ", "warning: [PriorityPlugin] WARN: ",
                                      "info: [PriorityPlugin] INFO: ", "debug: rpcError: "};
    const QStringList lines = log.lines();
    QStringList texts;
    for (; m_seen < lines.size(); ++m_seen) {
        const QString &line = lines.at(m_seen);
        if (m_connectLines.contains(m_seen))
            continue;
        QString text = line;
        for (const QString &prefix : prefixes) {
            if (line.startsWith(prefix))
                text = line.mid(prefix.lastIndexOf(' ', prefix.size() - 2) + 1);
        }
        texts << text;
    }
    return texts;
}

QString sections(const QString &routes, const QString &unassigned, const QString &assigned, const QString &emergency)
{
    auto part = [](const char *name, const QString &children) {
        return children.isEmpty() ? QString(name) : name + ('[' + children + ']');
    };
    return "Traffic priority system[" + part("Routes", routes) + ", " + part("Not assigned boards", unassigned) + ", "
        + part("Assigned boards", assigned) + ", " + part("Emergency call detectors", emergency) + ']';
}
