// The object tree's order: entries in natural order, sections as the plug-in made them.

#include <QAbstractItemModelTester>
#include <QFont>
#include <QtTest>

#include <memory>

#include "kernel/roaditemmodel.h"
#include "treesortmodel.h"

namespace {

// A listed object whose row shows key in column 0.
class Listed : public QObject
{
    Q_OBJECT
public:
    explicit Listed(const QString &key, QObject *parent = nullptr)
        : QObject(parent)
        , key(key)
    {
    }
    QString key;
    Q_INVOKABLE QVariant modelData(int column, int role)
    {
        return column == 0 && role == Qt::DisplayRole ? QVariant(key) : QVariant();
    }
signals:
    void stateChanged();
};

// A board as the tree lists it: the class name is what the demo looks for.
class PrioVehicle : public Listed
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name)
public:
    using Listed::Listed;
    QString name() const { return key; }
};

// Column 0 of parent's rows, in the proxy's order, joined by spaces.
QString rows(const QAbstractItemModel &model, const QModelIndex &parent = QModelIndex())
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(parent); ++row)
        texts.append(model.index(row, 0, parent).data().toString());
    return texts.join(QLatin1Char(' '));
}

} // namespace

class tst_TreeSortModel : public QObject
{
    Q_OBJECT

private slots:
    void order_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("expected");
        QTest::newRow("route ids") << QStringList{"10", "2", "1", "24", "3"} << "1 2 3 10 24";
        QTest::newRow("board names") << QStringList{"B10", "B9", "b11", "A100"} << "A100 B9 B10 b11";
    }
    void order()
    {
        QFETCH(QStringList, keys);
        QFETCH(QString, expected);
        Road::ItemModel items;
        TreeSortModel sorted(&items);
        QAbstractItemModelTester tester(&sorted, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QObject *section = items.addSection(QStringLiteral("Traffic priority system/Routes"));
        QObject owner;
        for (const QString &key : keys)
            QVERIFY(items.addObject(new Listed(key, &owner), section));
        const QModelIndex top = sorted.index(0, 0);
        const QModelIndex routes = sorted.index(0, 0, top);
        QCOMPARE(rows(sorted, routes), expected);
    }

    void naturalCompare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("sign");
        QTest::newRow("numbers by value") << "9" << "10" << -1;
        QTest::newRow("equal") << "B12" << "B12" << 0;
        QTest::newRow("case does not count") << "b12" << "B12" << 0;
        QTest::newRow("leading zeros") << "007" << "8" << -1;
        QTest::newRow("same value, zeros") << "B007x" << "B7y" << -1;
        QTest::newRow("prefix first") << "B1" << "B1a" << -1;
        QTest::newRow("long numbers") << "123456789012345678901" << "123456789012345678902" << -1;
        QTest::newRow("empty") << "" << "1" << -1;
    }
    void naturalCompare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, sign);
        const auto signOf = [](int v) { return (v > 0) - (v < 0); };
        QCOMPARE(signOf(::naturalCompare(a, b)), sign);
        // Antisymmetric.
        QCOMPARE(signOf(::naturalCompare(b, a)), -sign);
    }

    // Sections stay in the order they were made: the plug-in's order is deliberate.
    void sectionsKeepTheirOrder()
    {
        Road::ItemModel items;
        TreeSortModel sorted(&items);
        QAbstractItemModelTester tester(&sorted, QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (const char *name : {"Routes", "Not assigned boards", "Assigned boards", "Emergency detectors"})
            items.addSection(QStringLiteral("Top/") + QLatin1String(name));
        QCOMPARE(rows(sorted, sorted.index(0, 0)),
                 QStringLiteral("Routes Not assigned boards Assigned boards Emergency detectors"));
    }

    // A row that changes its key moves to its new place.
    void renamedEntryMoves()
    {
        Road::ItemModel items;
        TreeSortModel sorted(&items);
        QAbstractItemModelTester tester(&sorted, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QObject *section = items.addSection(QStringLiteral("S"));
        QObject owner;
        auto *a = new Listed(QStringLiteral("1"), &owner);
        items.addObject(a, section);
        items.addObject(new Listed(QStringLiteral("5"), &owner), section);
        QCOMPARE(rows(sorted, sorted.index(0, 0)), QStringLiteral("1 5"));
        a->key = QStringLiteral("7");
        emit a->stateChanged();
        QCOMPARE(rows(sorted, sorted.index(0, 0)), QStringLiteral("5 7"));
    }

    // A board whose last position is older than the update period (and a quarter for
    // jitter) is grey and italic, and its tooltip says how old the position is.
    void staleBoards_data()
    {
        QTest::addColumn<qint64>("age");
        QTest::addColumn<bool>("stale");
        QTest::newRow("no position yet") << qint64(-1) << false;
        QTest::newRow("late within the jitter") << qint64(1250) << false;
        QTest::newRow("older than period and jitter") << qint64(1300) << true;
    }
    void staleBoards()
    {
        QFETCH(qint64, age);
        QFETCH(bool, stale);
        Road::ItemModel items;
        TreeSortModel sorted(&items);
        QObject *section = items.addSection(QStringLiteral("Boards"));
        QObject owner;
        items.addObject(new PrioVehicle(QStringLiteral("B7"), &owner), section);
        items.addObject(new Listed(QStringLiteral("R1"), &owner), section);
        sorted.setPositionAge([age](const QString &board) { return board == QLatin1String("B7") ? age : qint64(99999); }, 1000);

        const QModelIndex sectionIndex = sorted.index(0, 0);
        const QModelIndex board = sorted.index(0, 2, sectionIndex);
        const QModelIndex other = sorted.index(1, 0, sectionIndex);
        QCOMPARE(sorted.index(0, 0, sectionIndex).data().toString(), QStringLiteral("B7"));
        QCOMPARE(sorted.isStale(board), stale);
        QCOMPARE(board.data(Qt::FontRole).value<QFont>().italic(), stale);
        QCOMPARE(board.data(Qt::ToolTipRole).toString().contains(QStringLiteral("Last position")), stale);
        // Only boards go stale: not other entries, not sections.
        QVERIFY(!sorted.isStale(other));
        QVERIFY(!sorted.isStale(sectionIndex));
    }
};

QTEST_MAIN(tst_TreeSortModel)
#include "tst_treesortmodel.moc"
