#include <QAbstractItemModelTester>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include "kernel/roaditemmodel.h"

using Road::ItemModel;
using Road::ItemObj;

// A listed object as the map items are: rows from modelData, changes through stateChanged.
class Listed : public QObject
{
    Q_OBJECT
public:
    explicit Listed(const QString &name, QObject *parent = nullptr)
        : QObject(parent)
    {
        setObjectName(name);
    }
    Q_INVOKABLE QVariant modelData(int column, int role) const
    {
        if (role == Qt::DisplayRole)
            return column == 0 ? objectName() : column == 1 ? state : QStringLiteral("Listed");
        if (role == Qt::ToolTipRole)
            return QStringLiteral("tip of %1").arg(objectName());
        return QVariant();
    }
    QString state;
signals:
    void stateChanged();
};

class Mute : public QObject
{
    Q_OBJECT
};

class OneArgument : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE QVariant modelData(int column) const { return column; }
};

namespace {

// The tree below parent as one line: "A[B[x y] C]", column 0's display text.
QString branch(const QAbstractItemModel &model, const QModelIndex &parent = QModelIndex())
{
    QStringList parts;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        QString part = index.data().toString();
        const QString below = branch(model, index);
        if (!below.isEmpty())
            part += QLatin1Char('[') + below + QLatin1Char(']');
        parts << part;
    }
    return parts.join(QLatin1Char(' '));
}

// What the object records about its entries, with entries named e1, e2... in the order
// they were made: "e2 [e1 e2]", "e1", or "-" when nothing is recorded. A pointer to an
// entry that is no longer alive reads "dead".
QString recorded(const QObject *object, const QVector<QPointer<ItemObj>> &entries)
{
    auto label = [&](const QVariant &v) -> QString {
        QObject *p = v.value<QObject *>();
        for (int i = 0; i < entries.size(); ++i) {
            if (entries[i] && entries[i] == p)
                return QStringLiteral("e%1").arg(i + 1);
        }
        return QStringLiteral("dead");
    };
    const QVariant one = object->property("modelItemObject");
    const QVariant all = object->property("modelItemObjects");
    QString text = one.isValid() ? label(one) : QStringLiteral("-");
    if (all.isValid()) {
        QStringList labels;
        for (const QVariant &v : all.toList())
            labels << label(v);
        text += QStringLiteral(" [") + labels.join(QLatin1Char(' ')) + QLatin1Char(']');
    }
    return text;
}

} // namespace

class tst_ItemModel : public QObject
{
    Q_OBJECT

    std::unique_ptr<ItemModel> model;
    std::unique_ptr<QAbstractItemModelTester> tester;

private slots:
    void init()
    {
        model = std::make_unique<ItemModel>();
        tester = std::make_unique<QAbstractItemModelTester>(
            model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }
    void cleanup()
    {
        tester.reset();
        model.reset();
    }

    void addSection_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("tree");
        QTest::newRow("nested path makes parents") << QStringList{"A/B/C"} << "A[B[C]]";
        QTest::newRow("existing path reused") << QStringList{"A/B", "A/C", "A/B", "A"} << "A[B C]";
        QTest::newRow("empty parts ignored") << QStringList{"/A//B/"} << "A[B]";
        QTest::newRow("appended in order") << QStringList{"B", "A", "B/x"} << "B[x] A";
        QTest::newRow("empty path makes nothing") << QStringList{"", "/"} << "";
    }
    void addSection()
    {
        QFETCH(QStringList, paths);
        QFETCH(QString, tree);
        for (const QString &path : paths)
            model->addSection(path);
        QCOMPARE(branch(*model), tree);
        for (const QString &path : paths)
            QCOMPARE(model->section(path), model->addSection(path));
    }

    void addAndRemoveObjects()
    {
        QObject *a = model->addSection("A");
        Listed o1("o1"), o2("o2");
        QPointer<ItemObj> e1 = model->addObject(&o1, a);
        QVERIFY(e1);
        QCOMPARE(e1->object(), &o1);
        QCOMPARE(e1->parent(), a);
        model->addObject(&o2, a);
        QCOMPARE(branch(*model), "A[o1 o2]");

        model->removeObject(a, &o1);
        QCOMPARE(branch(*model), "A[o2]");
        QVERIFY(!e1);
        model->removeObject(a, &o1); // nothing left to remove
        QCOMPARE(branch(*model), "A[o2]");
    }

    void subSectionsAreFoundAmongDescendants()
    {
        Listed route("r"), vehicle("v");
        ItemObj *entry = model->addObject(&route, model->addSection("T/Routes"));
        QObject *boards = model->addSubSection(&route, "Boards");
        boards->setObjectName("boards");
        model->addSubSection(&route, "Detectors")->setObjectName("detectors");
        QVERIFY(!model->addSubSection(&vehicle, "Boards")); // vehicle has no entry yet

        auto *found = entry->findChild<ItemModel::Item *>("boards");
        QCOMPARE(found, boards);
        QCOMPARE(entry->findChildren<ItemModel::Item *>().size(), 2);

        ItemObj *vehicleEntry = model->addObject(&vehicle, found);
        QCOMPARE(entry->findChildren<ItemObj *>(), {vehicleEntry});
        // Sub-sections show the name they were made with, not their object name.
        QCOMPARE(branch(*model), "T[Routes[r[Boards[v] Detectors]]]");

        // Node and index map onto each other.
        const QModelIndex index = model->indexFromItem(vehicleEntry, 2);
        QCOMPARE(index.column(), 2);
        QCOMPARE(model->itemFromIndex(index), vehicleEntry);
        QCOMPARE(model->itemFromIndex(index.parent()), found);
        QCOMPARE(vehicleEntry->parentItem(), found);
    }

    void recordedEntries_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");
        QTest::newRow("listed twice") << QStringList{"add A", "add B"} << "e2 [e1 e2]";
        QTest::newRow("twice in one section") << QStringList{"add A", "add A"} << "e2 [e1 e2]";
        QTest::newRow("newest deleted") << QStringList{"add A", "add B", "delete 2"} << "e1";
        QTest::newRow("oldest deleted") << QStringList{"add A", "add B", "delete 1"} << "e2";
        QTest::newRow("middle of three deleted")
            << QStringList{"add A", "add B", "add C", "delete 2"} << "e3 [e1 e3]";
        QTest::newRow("all deleted") << QStringList{"add A", "add B", "delete 2", "delete 1"} << "-";
        QTest::newRow("removeObject") << QStringList{"add A", "add B", "removeObject A"} << "e2";
        QTest::newRow("section removed") << QStringList{"add A/X", "add B", "removeSection A"} << "e2";
        QTest::newRow("caller clears, then deletes the entry")
            << QStringList{"add A", "clear", "delete 1"} << "-";
        QTest::newRow("caller deletes the listed entries, then clears")
            << QStringList{"add A", "add B", "delete list", "clear"} << "-";
        QTest::newRow("re-filed after deleting the list")
            << QStringList{"add A", "add B", "delete list", "clear", "add C", "add D"} << "e4 [e3 e4]";
    }
    void recordedEntries()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);
        Listed object("o");
        QVector<QPointer<ItemObj>> entries;
        for (const QString &step : steps) {
            const QString arg = step.section(' ', -1);
            if (step.startsWith("add ")) {
                entries << model->addObject(&object, model->addSection(arg));
                QVERIFY(entries.last());
            } else if (step == "delete list") {
                // What the plug-in does before filing a vehicle again.
                const QVariantList list = object.property("modelItemObjects").toList();
                QVERIFY(!list.isEmpty());
                for (const QVariant &v : list)
                    delete v.value<QObject *>();
            } else if (step.startsWith("delete ")) {
                delete entries.at(arg.toInt() - 1).data();
            } else if (step.startsWith("removeObject ")) {
                model->removeObject(model->addSection(arg), &object);
            } else if (step.startsWith("removeSection ")) {
                model->removeSection(arg);
            } else if (step == "clear") {
                object.setProperty("modelItemObjects", QVariant());
                object.setProperty("modelItemObject", QVariant());
            } else {
                QFAIL(qPrintable("unknown step " + step));
            }
        }
        QCOMPARE(recorded(&object, entries), expected);
    }

    void destroyedObjectLosesItsEntries()
    {
        auto *route = new Listed("r");
        Listed vehicle("v");
        QPointer<ItemObj> inA = model->addObject(route, model->addSection("A"));
        QPointer<ItemObj> inC = model->addObject(route, model->addSection("B/C"));
        QVector<QPointer<ItemObj>> vehicleEntries{
            model->addObject(&vehicle, model->addSubSection(route, "Boards")),
            model->addObject(&vehicle, model->addSection("B"))};
        QCOMPARE(branch(*model), "A[r] B[C[r[Boards[v]]] v]");

        delete route;
        QCOMPARE(branch(*model), "A B[C v]");
        QVERIFY(!inA && !inC && !vehicleEntries[0]);
        // The vehicle's entry under the route went with it; its other one is what is left.
        QCOMPARE(recorded(&vehicle, vehicleEntries), "e2");
    }

    void removingANodeRemovesItsSubtree_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<bool>("vehicleListed");
        QTest::newRow("removeSection") << "removeSection T/R" << "T[U[u]]" << false;
        QTest::newRow("section object deleted") << "delete T/R" << "T[U[u]]" << false;
        QTest::newRow("route entry deleted") << "delete entry" << "T[R U[u]]" << false;
        QTest::newRow("sub-section deleted") << "delete boards" << "T[R[r[Detectors]] U[u]]" << false;
        QTest::newRow("sibling section deleted") << "delete T/U" << "T[R[r[Boards[v] Detectors]]]"
                                                 << true;
        QTest::newRow("root deleted") << "delete root" << "" << false;
    }
    void removingANodeRemovesItsSubtree()
    {
        QFETCH(QString, how);
        QFETCH(QString, tree);
        QFETCH(bool, vehicleListed);
        Listed route("r"), vehicle("v"), other("u");
        QPointer<ItemObj> routeEntry = model->addObject(&route, model->addSection("T/R"));
        QPointer<QObject> boards = model->addSubSection(&route, "Boards");
        model->addSubSection(&route, "Detectors");
        QPointer<ItemObj> vehicleEntry = model->addObject(&vehicle, boards);
        model->addObject(&other, model->addSection("T/U"));
        QPersistentModelIndex vehicleIndex = model->indexFromItem(vehicleEntry);
        QVERIFY(vehicleIndex.isValid());

        if (how == "delete entry")
            delete routeEntry.data();
        else if (how == "delete boards")
            delete boards.data();
        else if (how == "delete root")
            delete model->rootItem();
        else if (how.startsWith("delete "))
            delete model->section(how.mid(7));
        else
            model->removeSection(how.section(' ', 1));

        QCOMPARE(branch(*model), tree);
        QCOMPARE(bool(vehicleEntry), vehicleListed);
        QCOMPARE(vehicleIndex.isValid(), vehicleListed);
        QCOMPARE(vehicle.property("modelItemObject").isValid(), vehicleListed);
        // The model still works after the removal.
        QVERIFY(model->addObject(&vehicle, model->addSection("T/New")));
    }

    void stateChangedUpdatesTheRow()
    {
        QObject *a = model->addSection("A");
        Listed o1("o1"), o2("o2");
        model->addObject(&o1, a);
        QPointer<ItemObj> entry = model->addObject(&o2, a);
        QSignalSpy spy(model.get(), &QAbstractItemModel::dataChanged);

        o2.state = "moving";
        emit o2.stateChanged();
        QCOMPARE(spy.count(), 1);
        const QModelIndex topLeft = spy.at(0).at(0).toModelIndex();
        const QModelIndex bottomRight = spy.at(0).at(1).toModelIndex();
        QCOMPARE(topLeft, model->index(1, 0, model->indexFromItem(entry->parentItem())));
        QCOMPARE(bottomRight, model->index(1, 2, topLeft.parent()));
        QCOMPARE(topLeft.siblingAtColumn(1).data().toString(), "moving");

        delete entry.data();
        emit o2.stateChanged();
        QCOMPARE(spy.count(), 1);
    }

    void rowData_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("role");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("name") << 0 << 0 << int(Qt::DisplayRole) << QVariant("x");
        QTest::newRow("tooltip") << 0 << 1 << int(Qt::ToolTipRole) << QVariant("tip of x");
        QTest::newRow("role it does not serve") << 0 << 0 << int(Qt::DecorationRole) << QVariant();
        QTest::newRow("no modelData") << 1 << 0 << int(Qt::DisplayRole) << QVariant();
        QTest::newRow("modelData of another shape") << 2 << 0 << int(Qt::DisplayRole) << QVariant();
    }
    void rowData()
    {
        QFETCH(int, kind);
        QFETCH(int, column);
        QFETCH(int, role);
        QFETCH(QVariant, expected);
        std::unique_ptr<QObject> object;
        if (kind == 0)
            object = std::make_unique<Listed>("x");
        else if (kind == 1)
            object = std::make_unique<Mute>();
        else
            object = std::make_unique<OneArgument>();
        ItemObj *entry = model->addObject(object.get(), model->addSection("A"));
        QCOMPARE(model->indexFromItem(entry, column).data(role), expected);
    }

    void flagsPerColumn()
    {
        Listed object("o");
        ItemObj *entry = model->addObject(&object, model->addSection("A"));
        QSignalSpy spy(model.get(), &QAbstractItemModel::dataChanged);
        entry->setFlags(0, Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        entry->setFlags(1, Qt::ItemIsEnabled);
        entry->setFlags(2, Qt::ItemIsEnabled);
        entry->setFlags(3, Qt::ItemIsEditable); // no such column
        entry->setFlags(2, Qt::ItemIsEnabled);  // unchanged
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0).at(0).toModelIndex().column(), 1);
        QCOMPARE(spy.at(1).at(0).toModelIndex().column(), 2);

        QCOMPARE(model->flags(model->indexFromItem(entry, 0)), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        QCOMPARE(model->flags(model->indexFromItem(entry, 2)), Qt::ItemIsEnabled);
        QCOMPARE(entry->flags(3), Qt::NoItemFlags);
    }

    void refusedArguments_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<bool>("withObject");
        QTest::newRow("null object") << "A" << false;
        QTest::newRow("null section") << "null" << true;
        QTest::newRow("plain QObject as section") << "plain" << true;
        QTest::newRow("entry as section") << "entry" << true;
        QTest::newRow("section of another model") << "foreign" << true;
    }
    void refusedArguments()
    {
        QFETCH(QString, section);
        QFETCH(bool, withObject);
        ItemModel foreign;
        QObject plain;
        Listed listed("l"), object("o");
        QObject *a = model->addSection("A");
        ItemObj *entry = model->addObject(&listed, a);
        QObject *target = section == "A" ? a
                          : section == "plain" ? &plain
                          : section == "entry" ? entry
                          : section == "foreign" ? foreign.addSection("A")
                                                 : nullptr;

        QVERIFY(!model->addObject(withObject ? &object : nullptr, target));
        model->removeObject(target, withObject ? &listed : nullptr);
        QCOMPARE(branch(*model), "A[l]");
        QVERIFY(!object.property("modelItemObject").isValid());
        QVERIFY(!model->addSubSection(&object, "S"));
        QVERIFY(!model->addSubSection(nullptr, "S"));
        QCOMPARE(branch(foreign), section == "foreign" ? "A" : "");
    }

    void destroyingTheModelClearsWhatItRecorded()
    {
        Listed object("o");
        auto *own = new ItemModel;
        QPointer<QObject> section = own->addSection("A/B");
        QPointer<ItemObj> first = own->addObject(&object, section);
        own->addSubSection(&object, "Boards");
        own->addObject(&object, own->addSection("C"));
        QVERIFY(object.property("modelItemObjects").isValid());

        delete own;
        QVERIFY(!section && !first);
        QVERIFY(!object.property("modelItemObject").isValid());
        QVERIFY(!object.property("modelItemObjects").isValid());
    }
};

QTEST_GUILESS_MAIN(tst_ItemModel)
#include "tst_itemmodel.moc"
