// A JSON-RPC object that has the signals but cannot take commands is rejected, and none of
// the connections made before the check may stay behind. This executable defines its own
// JsonRpcObject, without postCommand.

#include <QtTest>

#include "common/logcapture.h"
#include "plugin/priorityplugin.h"

class JsonRpcObject : public QObject
{
    Q_OBJECT
public:
    int receiverCount(const char *signal) const { return receivers(signal); }
signals:
    void connected(bool conn);
    void notification(const QString &name, const QVariant &params);
    void requestQueueEmpty();
};

class tst_StartRejected : public QObject
{
    Q_OBJECT
private slots:
    void objectWithoutPostCommandIsRejectedAndLeftAlone()
    {
        PriorityPlugin plugin;
        JsonRpcObject rpc;
        rpc.setObjectName(QStringLiteral("rejected"));
        LogCapture log;
        QVERIFY(!plugin.start(&rpc));
        // Nothing was current, so nothing is stopped.
        QCOMPARE(log.lines(), QStringList({"info: [PriorityPlugin] INFO: start",
                                           "critical: [PriorityPlugin] ERROR: Invalid 'JsonRpc' object"}));
        QVERIFY(!plugin.rpcObject());
        QCOMPARE(rpc.receiverCount(SIGNAL(connected(bool))), 0);
        QCOMPARE(rpc.receiverCount(SIGNAL(notification(QString, QVariant))), 0);
        QCOMPARE(rpc.receiverCount(SIGNAL(requestQueueEmpty())), 0);
        QCOMPARE(rpc.receiverCount(SIGNAL(destroyed())), 0);

        log.clear();
        emit rpc.connected(true);
        emit rpc.requestQueueEmpty();
        emit rpc.connected(false);
        QVERIFY(log.lines().isEmpty());
        QVERIFY(!plugin.isSubscribed());
    }
};

QTEST_MAIN(tst_StartRejected)
#include "tst_startrejected.moc"
