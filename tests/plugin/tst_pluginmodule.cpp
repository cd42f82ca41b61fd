// The plug-in as the host loads it: through QPluginLoader, seen only through its metadata
// and its meta-object.

#include <QJsonObject>
#include <QMetaEnum>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QtTest>

class tst_PluginModule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_loader.setFileName(QStringLiteral(PLUGIN_PATH));
        QVERIFY2(m_loader.load(), qPrintable(m_loader.errorString()));
    }

    void metadata()
    {
        const QJsonObject meta = m_loader.metaData();
        const QString iid = meta.value(QStringLiteral("IID")).toString();
        const QStringList parts = iid.split(QLatin1Char('.'));
        QVERIFY2(parts.size() >= 3, qPrintable(iid));
        QCOMPARE(parts.mid(parts.size() - 2), QStringList({"road", "PriorityPlugin"}));
        QCOMPARE(meta.value(QStringLiteral("className")).toString(), QStringLiteral("PriorityPlugin"));
        QVERIFY(meta.value(QStringLiteral("MetaData")).toObject().isEmpty());
    }

    void oneInstanceAtATime()
    {
        QPointer<QObject> first = m_loader.instance();
        QVERIFY(first);
        QCOMPARE(m_loader.instance(), first.data());
        QVERIFY(first->inherits("PriorityPlugin"));
        delete first.data();
        QObject *second = m_loader.instance();
        QVERIFY(second);
        QVERIFY(first.isNull());
        QCOMPARE(m_loader.instance(), second);
    }

    void methods_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QString>("names");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("access");
        QTest::addColumn<QString>("returnType");

        const int sig = QMetaMethod::Signal, slot = QMetaMethod::Slot, method = QMetaMethod::Method;
        const int priv = QMetaMethod::Private, pub = QMetaMethod::Public;
        const struct
        {
            const char *signature, *names;
            int type, access;
            const char *ret;
        } table[] = {
            {"rpcError(QString)", "msg", sig, pub, "void"},
            {"on_rpcObjectConnected(bool)", "conn", slot, priv, "void"},
            {"on_rpcObjectEvent(QString,QVariant)", "event_name,params", slot, priv, "void"},
            {"on_rpcObjectRequestQueueEmpty()", "", slot, priv, "void"},
            {"on_JsonRpcPlugintDestroyed()", "", slot, priv, "void"},
            {"on_JsonRpcAllowedCommandsChanged()", "", slot, priv, "void"},
            {"on_vehRouteChanged()", "", slot, priv, "void"},
            {"on_sectionDestroyed(QObject*)", "sect", slot, priv, "void"},
            {"on_viewZoomChanged(int)", "", slot, priv, "void"},
            {"on_viewMoved(int)", "", slot, priv, "void"},
            {"start(QObject*)", "json_rpc_object", method, pub, "bool"},
            {"rpcObject()", "", method, pub, "QObject*"},
            {"findRoute(int)", "id", method, pub, "QObject*"},
            {"getRoutes()", "", method, pub, "QObjectList"},
            {"setLockBoard(QString,bool)", "name,lock", method, pub, "void"},
            {"assignBoard(QString,int)", "board_name,route_id", method, pub, "void"},
            {"unassignBoard(QString)", "board_name", method, pub, "void"},
            {"changeBoardProperties(QString,QVariantMap)", "board_name,props", method, pub, "void"},
            {"changeRouteProperties(int,QVariantMap)", "id,props", method, pub, "void"},
            {"changeVdtProperties(int,QVariantMap)", "id,props", method, pub, "void"},
            {"setVdtActive(int,bool)", "id,active", method, pub, "void"},
            {"changeTlcProperties(int,QVariantMap)", "id,props", method, pub, "void"},
            {"setLockRoute(int,bool)", "id,lock", method, pub, "void"},
            {"setLockDetector(int,bool)", "id,lock", method, pub, "void"},
            {"getVdtProperties(int)", "id", method, pub, "QVariantMap"},
            {"getTlcProperties(int)", "id", method, pub, "QVariantMap"},
            {"getTimelineData(int)", "route_id", method, pub, "QVariantMap"},
            {"registerTimeline(QObject*)", "w", method, pub, "void"},
            {"removeBoardsData(QStringList)", "board_names", method, pub, "void"},
            {"getWebUrl()", "", method, pub, "QString"},
            {"setView(QGraphicsView*)", "", method, pub, "void"},
            {"setVehicleNameFilter(QString)", "name_regex", method, pub, "void"},
            {"getVehicleNameFilter()", "", method, pub, "QString"},
            {"setVehicleDescrFilter(QString)", "name_regex", method, pub, "void"},
            {"getVehicleDescrFilter()", "", method, pub, "QString"},
        };
        int index = 0;
        for (const auto &row : table) {
            QTest::addRow("%d %s", index, row.signature)
                << index << row.signature << row.names << row.type << row.access << row.ret;
            ++index;
        }
    }
    void methods()
    {
        QFETCH(int, index);
        QFETCH(QString, signature);
        QFETCH(QString, names);
        QFETCH(int, type);
        QFETCH(int, access);
        QFETCH(QString, returnType);

        const QMetaObject *meta = m_loader.instance()->metaObject();
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 35);
        const QMetaMethod m = meta->method(meta->methodOffset() + index);
        QCOMPARE(QString::fromLatin1(m.methodSignature()), signature);
        QStringList parameterNames;
        for (const QByteArray &name : m.parameterNames())
            parameterNames << QString::fromLatin1(name);
        QCOMPARE(parameterNames.join(QLatin1Char(',')), names);
        QCOMPARE(int(m.methodType()), type);
        QCOMPARE(int(m.access()), access);
        QCOMPARE(QString::fromLatin1(m.typeName()), returnType);
    }

    void properties_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("typeName");
        QTest::addColumn<bool>("writable");
        const struct
        {
            const char *name, *type;
            bool writable;
        } table[] = {
            {"textShowMode", "ShowMode", true},          {"emsShowMode", "ShowMode", true},
            {"brdWeightShowMode", "ShowWeightMode", true}, {"dtWeightShowMode", "ShowWeightMode", true},
            {"showDtOnActivation", "bool", true},        {"showDtWhenApproaching", "bool", true},
            {"minVisibleZoom", "int", true},             {"debugMode", "bool", true},
            {"moduleVersion", "QString", false},
        };
        int index = 0;
        for (const auto &row : table) {
            QTest::newRow(row.name) << index << row.name << row.type << row.writable;
            ++index;
        }
    }
    void properties()
    {
        QFETCH(int, index);
        QFETCH(QString, name);
        QFETCH(QString, typeName);
        QFETCH(bool, writable);
        QObject *plugin = m_loader.instance();
        const QMetaObject *meta = plugin->metaObject();
        QCOMPARE(meta->propertyCount() - meta->propertyOffset(), 9);
        const QMetaProperty p = meta->property(meta->propertyOffset() + index);
        QCOMPARE(QString::fromLatin1(p.name()), name);
        QVERIFY(QString::fromLatin1(p.typeName()).endsWith(typeName));
        QVERIFY(p.isReadable());
        QCOMPARE(p.isWritable(), writable);
        QVERIFY(p.isDesignable() && p.isScriptable() && p.isStored());
        QVERIFY(!p.hasNotifySignal());
    }

    void enumerations()
    {
        const QMetaObject *meta = m_loader.instance()->metaObject();
        QCOMPARE(meta->enumeratorCount() - meta->enumeratorOffset(), 2);
        const QMetaEnum show = meta->enumerator(meta->indexOfEnumerator("ShowMode"));
        const QMetaEnum weight = meta->enumerator(meta->indexOfEnumerator("ShowWeightMode"));
        QVERIFY(show.isValid() && weight.isValid());
        QCOMPARE(show.keyCount(), 3);
        QCOMPARE(show.keyToValue("show_none"), 0);
        QCOMPARE(show.keyToValue("show_selected"), 1);
        QCOMPARE(show.keyToValue("show_always"), 2);
        QCOMPARE(weight.keyCount(), 3);
        QCOMPARE(weight.keyToValue("show_weight_none"), 0);
        QCOMPARE(weight.keyToValue("show_weight_always"), 1);
        QCOMPARE(weight.keyToValue("show_weight_if_valid"), 2);
    }

    void iconsAreEmbedded_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *base : {"bus-24", "ecar"}) {
            for (const char *suffix : {"", "nogps", "p", "r", "u"}) {
                const QString path = QStringLiteral("://icons/%1%2.png").arg(QLatin1String(base), QLatin1String(suffix));
                QTest::newRow(qPrintable(path)) << path;
            }
        }
    }
    void iconsAreEmbedded()
    {
        QFETCH(QString, path);
        QVERIFY(m_loader.instance());
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QCOMPARE(image.size(), QSize(24, 24));
        QVERIFY(image.hasAlphaChannel());
    }

private:
    QPluginLoader m_loader;
};

QTEST_MAIN(tst_PluginModule)
#include "tst_pluginmodule.moc"
