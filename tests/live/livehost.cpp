#include "livehost.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString kTop = QStringLiteral("Traffic priority system");

QString branch(const QAbstractItemModel *model, const QModelIndex &parent)
{
    QStringList parts;
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        QString text = model->data(index, Qt::DisplayRole).toString();
        if (model->rowCount(index) > 0)
            text += QLatin1Char('[') + branch(model, index) + QLatin1Char(']');
        parts << text;
    }
    return parts.join(QLatin1String(", "));
}

QModelIndex childNamed(const QAbstractItemModel *model, const QModelIndex &parent, const QString &name)
{
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        if (model->data(index, Qt::DisplayRole).toString() == name)
            return index;
    }
    return QModelIndex();
}

} // namespace

void prepareLiveSuite(const QString &applicationName)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
    QCoreApplication::setApplicationName(applicationName);
}

void resetLiveStorage()
{
    QSettings().clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
}

LiveHost::LiveHost()
    : rpc(new JsonRpcObject(&owner))
    , plugin(new PriorityPlugin(&kernel))
    , tester(std::make_unique<QAbstractItemModelTester>(kernel.model(),
                                                         QAbstractItemModelTester::FailureReportingMode::QtTest))
{
    QVERIFY(plugin->start(rpc));
}

LiveHost::~LiveHost()
{
    // The host drops its JSON-RPC object first, which stops the plug-in while the tree is
    // still there.
    delete rpc.data();
    tester.reset();
}

bool LiveHost::connectWith(const QVariantList &routes, const QVariantList &detectors, const QVariantMap &boards)
{
    rpc->answerResult(QStringLiteral("RoadNetwork.getRouteList"), routes);
    rpc->answerResult(QStringLiteral("VDTService.getVdtList"), detectors);
    rpc->answerResult(QStringLiteral("BoardsServer.getBoards"), boards);
    const int first = rpc->posted.size();
    emit rpc->connected(true);
    if (rpc->posted.size() < first + 3)
        return false;
    return QTest::qWaitFor([this, first] {
        for (int i = first; i < first + 3; ++i) {
            const PostedRequest &request = rpc->posted.at(i);
            if (!request.response || !request.response->isFinished())
                return false;
        }
        return true;
    });
}

QVariantList LiveHost::paramsOf(const QString &method) const
{
    QVariantList list;
    for (const PostedRequest &request : qAsConst(rpc->posted)) {
        if (request.method == method)
            list.append(request.params);
    }
    return list;
}

QStringList LiveHost::methods() const
{
    QStringList list;
    for (const PostedRequest &request : qAsConst(rpc->posted))
        list.append(request.method);
    return list;
}

JsonRpcResponse *LiveHost::pending(const QString &method) const
{
    for (int i = rpc->posted.size() - 1; i >= 0; --i) {
        const PostedRequest &request = rpc->posted.at(i);
        if (request.method == method)
            return request.response && !request.response->isFinished() ? request.response.data() : nullptr;
    }
    return nullptr;
}

QString LiveHost::tree() const
{
    const QAbstractItemModel *model = kernel.model();
    const QModelIndex top = childNamed(model, QModelIndex(), kTop);
    if (!top.isValid())
        return QString();
    return kTop + QLatin1Char('[') + branch(model, top) + QLatin1Char(']');
}

QString LiveHost::section(const QString &name) const
{
    const QAbstractItemModel *model = kernel.model();
    const QModelIndex index = childNamed(model, childNamed(model, QModelIndex(), kTop), name);
    return index.isValid() ? branch(model, index) : QStringLiteral("<no section>");
}

QStringList warningsIn(const LogCapture &log)
{
    return log.lines().filter(QRegularExpression(QStringLiteral("^warning: ")));
}

QStringList pluginLines(const LogCapture &log)
{
    return log.lines().filter(QStringLiteral("[PriorityPlugin]"));
}

QVariantMap routeRecord(int id)
{
    return QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("name"), QStringLiteral("R%1").arg(id)}};
}
