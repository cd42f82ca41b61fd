// The host's object tree as the plug-in uses it: entries for listed objects in sections and
// sub-sections, the entries an object records of itself ("modelItemObject(s)") as entries,
// sections and objects go in any order, rows that follow their object, and what it refuses.
// Every case runs under QAbstractItemModelTester.

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
    explicit Listed(const QString &name) { setObjectName(name); }
    Q_INVOKABLE QVariant modelData(int column, int role) const
    {
        if (role == Qt::ToolTipRole)
            return "tip of " + objectName();
        return role == Qt::DisplayRole ? QVariant(column == 0 ? objectName() : column == 1 ? state : "Listed") : QVariant();
    }
    QString state;
signals:
    void stateChanged();
};

namespace {

// The tree below parent as one line: "A[B[x y] C]", column 0's display text.
QString branch(const QAbstractItemModel &model, const QModelIndex &parent = QModelIndex())
{
    QStringList parts;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        const QString below = branch(model, index);
        parts << index.data().toString() + (below.isEmpty() ? QString() : '[' + below + ']');
    }
    return parts.join(' ');
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
        tester = std::make_unique<QAbstractItemModelTester>(model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }
    void cleanup()
    {
        tester.reset();
        model.reset();
    }

    // What an object records of its entries after each step, entries named e1, e2... in the
    // order made: "e2 [e1 e2]" (the newest, and all), "-" for nothing, "dead" for an entry
    // no longer alive; and the tree. The plug-in deletes an object's listed entries and
    // clears the record before filing it again.
    void recordedEntries_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");
        QTest::newRow("paths made and reused") << QStringList{"add A/B", "add A/C", "add A/B", "add /A//D/"} << "e4 [e1 e2 e3 e4] A[B[o o] C[o] D[o]]";
        QTest::newRow("newest deleted") << QStringList{"add A", "add B", "delete 2"} << "e1 A[o] B";
        QTest::newRow("middle of three deleted") << QStringList{"add A", "add B", "add C", "delete 2"} << "e3 [e1 e3] A[o] B C[o]";
        QTest::newRow("all deleted") << QStringList{"add A", "add B", "delete 2", "delete 1"} << "- A B";
        QTest::newRow("removeObject") << QStringList{"add A", "add B", "removeObject A", "removeObject A"} << "e2 A B[o]";
        QTest::newRow("section removed") << QStringList{"add A/X", "add B", "removeSection A"} << "e2 B[o]";
        QTest::newRow("section object deleted") << QStringList{"add A/X", "add B", "deleteSection A/X"} << "e2 A B[o]";
        QTest::newRow("root deleted") << QStringList{"add A", "deleteSection root"} << "- ";
        QTest::newRow("caller clears, then deletes the entry") << QStringList{"add A", "clear", "delete 1"} << "- A";
        QTest::newRow("re-filed after deleting the list") << QStringList{"add A", "add B", "delete list", "clear", "add C", "add D"} << "e4 [e3 e4] A B C[o] D[o]";
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
                QVERIFY(entries.last() && entries.last()->object() == &object && model->section(arg) == model->addSection(arg));
            } else if (step == "delete list") {
                for (const QVariant &v : object.property("modelItemObjects").toList())
                    delete v.value<QObject *>();
            } else if (step.startsWith("delete ")) {
                delete entries.at(arg.toInt() - 1).data();
            } else if (step.startsWith("deleteSection ")) {
                delete (arg == "root" ? model->rootItem() : model->section(arg));
            } else if (step.startsWith("removeObject ")) {
                model->removeObject(model->addSection(arg), &object);
            } else if (step.startsWith("removeSection ")) {
                model->removeSection(arg);
            } else {
                object.setProperty("modelItemObjects", QVariant());
                object.setProperty("modelItemObject", QVariant());
            }
        }
        const auto label = [&](const QVariant &v) {
            const auto at = std::find(entries.cbegin(), entries.cend(), v.value<QObject *>());
            return at != entries.cend() && *at ? QStringLiteral("e%1").arg(at - entries.cbegin() + 1) : QStringLiteral("dead");
        };
        const QVariant one = object.property("modelItemObject"), all = object.property("modelItemObjects");
        QStringList labels;
        for (const QVariant &v : all.toList())
            labels << label(v);
        QCOMPARE((one.isValid() ? label(one) : "-") + (all.isValid() ? " [" + labels.join(' ') + "]" : "") + ' ' + branch(*model), expected);
        QVERIFY(model->addObject(&object, model->addSection("T/New"))); // the model still works
    }

    // A route's sub-sections hold its boards; when the route goes, its entries and whatever
    // is filed under them go too, and the board keeps its other entry, until the model goes.
    void destroyedObjectLosesItsEntries()
    {
        auto *route = new Listed("r");
        Listed vehicle("v");
        model->addObject(route, model->addSection("A"));
        ItemObj *entry = model->addObject(route, model->addSection("B/C")); // the newest: sub-sections go there
        QObject *boards = model->addSubSection(route, "Boards");
        model->addSubSection(route, "Detectors");
        QVERIFY(!model->addSubSection(&vehicle, "Boards")); // no entry yet
        QPointer<ItemObj> underRoute = model->addObject(&vehicle, boards);
        QPersistentModelIndex index = model->indexFromItem(underRoute, 2);
        QVERIFY(index.column() == 2 && model->itemFromIndex(index) == underRoute && model->itemFromIndex(index.parent()) == boards);
        QCOMPARE(entry->findChildren<ItemObj *>(), {underRoute.data()});
        QPointer<ItemObj> other = model->addObject(&vehicle, model->addSection("B"));
        QCOMPARE(branch(*model), "A[r] B[C[r[Boards[v] Detectors]] v]");
        delete route;
        QCOMPARE(branch(*model), "A B[C v]");
        QVERIFY(!underRoute && !index.isValid());
        QCOMPARE(vehicle.property("modelItemObject").value<QObject *>(), other.data());
        // The model goes first: the board's record of its entries goes with it.
        QPointer<QObject> trips = model->addSubSection(&vehicle, "Trips");
        tester.reset();
        model.reset();
        QVERIFY(!other && !trips && !vehicle.property("modelItemObject").isValid() && !vehicle.property("modelItemObjects").isValid());
    }

    // A row shows what its object's modelData gives (nothing when it has none of that
    // shape), and is updated when the object says so, while it is listed.
    void rows()
    {
        Listed o1("o1"), o2("o2");
        QObject mute;
        QObject *a = model->addSection("A");
        model->addObject(&o1, a);
        QPointer<ItemObj> entry = model->addObject(&o2, a);
        const QModelIndex row = model->indexFromItem(entry, 0);
        QCOMPARE(row.data().toString() + ' ' + row.siblingAtColumn(1).data(Qt::ToolTipRole).toString(), "o2 tip of o2");
        QVERIFY(!row.data(Qt::DecorationRole).isValid());
        QVERIFY(!model->indexFromItem(model->addObject(&mute, model->addSection("B")), 0).data().isValid());
        QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);
        o2.state = "moving";
        emit o2.stateChanged();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), row);
        QCOMPARE(changed.at(0).at(1).toModelIndex(), row.siblingAtColumn(2));
        QCOMPARE(row.siblingAtColumn(1).data().toString(), "moving");
        delete entry.data();
        emit o2.stateChanged();
        QCOMPARE(changed.count(), 1);
        // Flags set as a row is listed are news to nobody; once read, their changes are.
        (entry = model->addObject(&o2, a))->setFlags(1, Qt::ItemIsEnabled);
        QCOMPARE(model->flags(model->indexFromItem(entry, 1)), Qt::ItemIsEnabled);
        entry->setFlags(1, Qt::NoItemFlags);
        QVERIFY(changed.count() == 2 && changed.at(1).at(0).toModelIndex() == model->indexFromItem(entry, 1));
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
        const QHash<QString, QObject *> targets{{"A", a}, {"plain", &plain}, {"entry", entry}, {"foreign", foreign.addSection("A")}};
        QObject *target = targets.value(section);
        QVERIFY(!model->addObject(withObject ? &object : nullptr, target));
        model->removeObject(target, withObject ? &listed : nullptr);
        model->removeObject(a, &object); // not listed there: nothing goes
        QCOMPARE(branch(*model) + " | " + branch(foreign), "A[l] | A");
        QVERIFY(!object.property("modelItemObject").isValid() && !model->addSubSection(&object, "S") && !model->addSubSection(nullptr, "S"));
    }
};

QTEST_GUILESS_MAIN(tst_ItemModel)
#include "tst_itemmodel.moc"
