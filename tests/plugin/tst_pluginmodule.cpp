// The plug-in as the host loads it: through QPluginLoader, seen only through its metadata
// and its meta-object.

#include <QJsonObject>
#include <QMetaEnum>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QtTest>

namespace {

// The meta-object's own public part, in order: methods as "kind access return signature names",
// properties as "property name type access", enumerations as "enum name key=value ...".
const char *const kInterface = R"(
signal public void rpcError(QString) msg
method public bool start(QObject*) json_rpc_object
method public QObject* rpcObject() -
method public QObject* findRoute(int) id
method public QObjectList getRoutes() -
method public void setLockBoard(QString,bool) name,lock
method public void assignBoard(QString,int) board_name,route_id
method public void unassignBoard(QString) board_name
method public void changeBoardProperties(QString,QVariantMap) board_name,props
method public void changeRouteProperties(int,QVariantMap) id,props
method public void changeVdtProperties(int,QVariantMap) id,props
method public void setVdtActive(int,bool) id,active
method public void changeTlcProperties(int,QVariantMap) id,props
method public void setLockRoute(int,bool) id,lock
method public void setLockDetector(int,bool) id,lock
method public QVariantMap getVdtProperties(int) id
method public QVariantMap getTlcProperties(int) id
method public QVariantMap getTimelineData(int) route_id
method public void registerTimeline(QObject*) w
method public void removeBoardsData(QStringList) board_names
method public QString getWebUrl() -
method public void setView(QGraphicsView*) -
method public void setVehicleNameFilter(QString) name_regex
method public QString getVehicleNameFilter() -
method public void setVehicleDescrFilter(QString) name_regex
method public QString getVehicleDescrFilter() -
property textShowMode ShowMode read-write
property emsShowMode ShowMode read-write
property brdWeightShowMode ShowWeightMode read-write
property dtWeightShowMode ShowWeightMode read-write
property showDtOnActivation bool read-write
property showDtWhenApproaching bool read-write
property minVisibleZoom int read-write
property debugMode bool read-write
property moduleVersion QString read
enum ShowMode show_none=0 show_selected=1 show_always=2
enum ShowWeightMode show_weight_none=0 show_weight_always=1 show_weight_if_valid=2
)";

} // namespace

class tst_PluginModule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_loader.setFileName(QStringLiteral(PLUGIN_PATH));
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
    }

    // The metadata the host recognises the plug-in by, and its instance.
    void metadata()
    {
        const QJsonObject meta = m_loader.metaData();
        const QStringList iid = meta.value("IID").toString().split('.');
        QVERIFY(iid.size() >= 3);
        QCOMPARE(iid.mid(iid.size() - 2), QStringList({"road", "PriorityPlugin"}));
        QCOMPARE(meta.value("className").toString(), QStringLiteral("PriorityPlugin"));
        QVERIFY(meta.value("MetaData").toObject().isEmpty());
        QVERIFY(m_loader.instance() && m_loader.instance()->inherits("PriorityPlugin"));
    }

    void metaObject()
    {
        const QMetaObject *meta = m_loader.instance()->metaObject();
        static const char *const kinds[] = {"method", "signal", "slot"};
        static const char *const accesses[] = {"private", "protected", "public"};
        QStringList listed;
        // Private slots are the plug-in's own business.
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod m = meta->method(i);
            if (m.access() != QMetaMethod::Public)
                continue;
            const QString names = m.parameterNames().join(',');
            listed << QStringLiteral("%1 %2 %3 %4 %5")
                           .arg(kinds[m.methodType()], accesses[m.access()], m.typeName(), m.methodSignature(),
                                names.isEmpty() ? "-" : names);
        }
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QMetaProperty p = meta->property(i);
            QVERIFY(p.isReadable() && p.isDesignable() && p.isScriptable() && p.isStored() && !p.hasNotifySignal());
            listed << QStringLiteral("property %1 %2 %3").arg(p.name(), p.typeName(), p.isWritable() ? "read-write" : "read");
        }
        for (int i = meta->enumeratorOffset(); i < meta->enumeratorCount(); ++i) {
            const QMetaEnum e = meta->enumerator(i);
            QString text = QStringLiteral("enum ") + e.name();
            for (int k = 0; k < e.keyCount(); ++k)
                text += QStringLiteral(" %1=%2").arg(e.key(k)).arg(e.value(k));
            listed << text;
        }
        QCOMPARE(listed, QString(kInterface).split('\n', Qt::SkipEmptyParts));
    }

private:
    QPluginLoader m_loader;
};

QTEST_MAIN(tst_PluginModule)
#include "tst_pluginmodule.moc"
