// The geometry cache file: coalesced writing leaves exactly the file that rewriting it for
// every change would have left, the size rule, its failures. (Its format through the plug-in:
// tst_registry.)

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "common/logcapture.h"
#include "model/geometrycache.h"

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QJsonValue randomValue(QRandomGenerator &random, int depth)
{
    static const QStringList samples{"", "plain", "quote \" and \\ slash", "line\nbreak\ttab", "\u00fc\u20ac\U0001F68C", "\x01\x1f"};
    const int kind = random.bounded(depth > 2 ? 5 : 7);
    if (kind < 5)
        return QJsonArray{random.bounded(2) == 1, random.bounded(-100000, 100000), random.generateDouble() * 1e6 - 5e5, QJsonValue(),
                          samples.at(random.bounded(samples.size()))}[kind];
    QJsonObject object;
    QJsonArray array;
    for (int i = random.bounded(4); i > 0; --i) {
        object.insert(QStringLiteral("k%1").arg(random.bounded(10)), randomValue(random, depth + 1));
        array.append(randomValue(random, depth + 1));
    }
    return kind == 5 ? QJsonValue(object) : QJsonValue(array);
}

} // namespace

class tst_GeometryCache : public QObject
{
    Q_OBJECT

private slots:
    // Whatever the file and the changes hold (foreign members, sections that are no objects and
    // become objects by a write or a removal, empty entries, absent keys, escapes, nesting),
    // one coalesced write leaves the bytes that rewriting the file for every change would
    // have left; a document of exactly 1 000 000 bytes, as Qt's writer writes it, is kept at
    // the next change and one of 1 000 001 is dropped, with its warning.
    void coalescedWritesAndTheSizeRule()
    {
        for (int shape = 0; shape < 12; ++shape) {
            const bool over = shape % 2, removeFirst = shape / 2 % 2;
            QRandomGenerator random(shape);
            QJsonObject root{{"routes", QJsonArray{randomValue(random, 2), 1}}, {"detectors", randomValue(random, 1)}, {"x\"y", randomValue(random, 1)}};
            QTemporaryDir dir;
            writeFile(dir.filePath("c"), QJsonDocument(root).toJson());
            GeometryCache cache;
            cache.open(dir.path(), "c");
            for (int i = 0; i < 12; ++i) {
                const QString section = i == 0 || random.bounded(2) ? "routes" : "detectors", key = QString::number(random.bounded(9));
                QJsonObject object = root.value(section).toObject();
                const int change = i == 0 ? 2 * !removeFirst : random.bounded(5); // removal, empty entry, entry
                const QVariantMap entry = change == 1 ? QVariantMap() : QVariantMap{{"v", randomValue(random, 2).toVariant()}};
                if (change == 0)
                    cache.removeEntries(section, {key.toInt()});
                else
                    cache.writeEntry(section, key, entry);
                change < 2 ? object.remove(key) : void(object.insert(key, QJsonObject::fromVariantMap(entry)));
                root.insert(section, object);
            }
            QJsonObject detectors = root.value("detectors").toObject();
            detectors.insert("pad", QJsonObject{{"g", ""}});
            root.insert("detectors", detectors);
            const QString pad(1000000 + over - QJsonDocument(root).toJson().size(), 'x');
            cache.writeEntry("detectors", "pad", QVariantMap{{"g", pad}});
            detectors.insert("pad", QJsonObject{{"g", pad}});
            root.insert("detectors", detectors);
            cache.flush();
            QVERIFY(readAll(dir.filePath("c")) == QJsonDocument(root).toJson());
            QCOMPARE(cache.fileWrites(), 1);
            QCOMPARE(QFileInfo(dir.filePath("c")).size(), 1000000 + over);
            LogCapture log;
            cache.writeEntry("routes", "new", QVariantMap{{"id", 1}});
            cache.flush();
            QCOMPARE(log.lines(), over ? QStringList("warning: [PriorityPlugin] WARN: Cache file " + dir.filePath("c") + " too big. It will be romved")
                                       : QStringList());
            QJsonObject routes = over ? QJsonObject() : root.value("routes").toObject();
            routes.insert("new", QJsonObject{{"id", 1}});
            root = over ? QJsonObject() : root;
            root.insert("routes", routes);
            QVERIFY(readAll(dir.filePath("c")) == QJsonDocument(root).toJson());
        }
    }

    // A file (or, with "dir", a directory in its place), a cache file name and one operation;
    // the file and the log after. PATH stands for the file's path.
    void fileCases_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("log");
        const QByteArray corrupt = R"({"routes": {"1": )", routes12 = R"({"routes": {"12": {"id": 12}}})";
        const QString tooBig = "warning: [PriorityPlugin] WARN: Cache file PATH too big. It will be romved";
        auto row = [](const char *tag, const QByteArray &before, const QString &name, const QString &operation, const QByteArray &after,
                      const QStringList &log) { QTest::newRow(tag) << before << name << operation << after << log; };
        row("exactly 1 000 000 bytes is used", routes12 + QByteArray(1000000 - routes12.size(), ' '), "c", "read 12", "same", {});
        row("1 000 001 bytes is dropped", routes12 + QByteArray(1000001 - routes12.size(), ' '), "c", "read", "<none>", {tooBig});
        row("corrupt: replaced at the first write", corrupt, "c", "write", QJsonDocument(QJsonObject{{"detectors", QJsonObject{{"5", QJsonObject{{"id", 5}}}}}}).toJson(),
            {"warning: [PriorityPlugin] WARN: Invalid cache file format"});
        row("removing nothing touches nothing", QByteArray(1000001, ' '), "c", "remove none", "same", {});
        row("missing directories are made", "", "a/b/c", "write", QJsonDocument(QJsonObject{{"detectors", QJsonObject{{"5", QJsonObject{{"id", 5}}}}}}).toJson(), {});
        for (const QString &name : {QString(), QString(300, 'a'), QString("a/b")})
            row(qPrintable("unusable name " + name.left(5)), "", name, "write", "",
                {"warning: [PriorityPlugin] WARN: Cache file name '" + name + "' is not usable, geometry cache is off"});
        row("a directory in the file's place", "dir", "c", "write", "dir", {"warning: [PriorityPlugin] WARN: Cache file PATH open error "});
    }
    void fileCases()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, name);
        QFETCH(QString, operation);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, log);
        QTemporaryDir dir;
        const bool nested = name.startsWith("a/b/"), off = log.value(0).contains("is not usable");
        const QString path = dir.filePath(name);
        if (before == "dir")
            QVERIFY(QDir().mkpath(path));
        else if (!before.isEmpty())
            writeFile(path, before);
        GeometryCache cache;
        LogCapture captured;
        cache.open(nested ? dir.filePath("a/b") : dir.path(), nested ? "c" : name);
        if (operation.startsWith("read"))
            QCOMPARE(cache.readFile().value("routes").toObject().keys(), operation.mid(5).split(' ', Qt::SkipEmptyParts));
        else if (operation == "write")
            cache.writeEntry("detectors", "5", QVariantMap{{"id", 5}});
        else
            cache.removeEntries("routes", {});
        cache.flush();
        QCOMPARE(cache.isOff(), off);
        if (off)
            QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        else if (before == "dir")
            QVERIFY(QFileInfo(path).isDir());
        else
            QCOMPARE(readAll(path), after == "same" ? before : after);
        // What follows "open error" is Qt's text.
        QCOMPARE(captured.lines().replaceInStrings(path, "PATH").replaceInStrings(QRegularExpression("open error .*"), "open error "), log);
        QCOMPARE(cache.fileWrites(), int(!off && before != "dir" && operation == "write"));
    }
};

QTEST_MAIN(tst_GeometryCache)
#include "tst_geometrycache.moc"
