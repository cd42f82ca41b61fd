// The geometry cache file: the size rule, its failures, and that coalesced writing leaves
// exactly the file that rewriting it for every change would have left. (Its format through
// the plug-in: tst_registry.)

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

QByteArray indented(const QJsonObject &root)
{
    return QJsonDocument(root).toJson();
}

// The plain way to keep the file, the oracle for the coalesced cache: drop it when it is above
// a million bytes, then read, change and rewrite it. Whether it was dropped.
bool rewriteFile(const QString &path, const QString &section, const std::function<void(QJsonObject &)> &change)
{
    const bool drop = QFileInfo(path).size() > 1000000;
    if (drop)
        QFile::remove(path);
    QJsonObject root = QJsonDocument::fromJson(readAll(path)).object();
    QJsonObject sectionObject = root.value(section).toObject();
    change(sectionObject);
    root.insert(section, sectionObject);
    writeFile(path, indented(root));
    return drop;
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
    // The size the cache reckons with is the size Qt's JSON writer gives.
    void sizeOfDocumentIsPredictedExactly()
    {
        for (quint32 seed = 1; seed <= 40; ++seed) {
            QRandomGenerator random(seed);
            QJsonObject root;
            for (int i = random.bounded(5); i > 0; --i) {
                QJsonObject section;
                for (int e = random.bounded(6); e > 0; --e)
                    section.insert(QString::number(random.bounded(1000)), randomValue(random, 1));
                root.insert(i % 2 ? QStringLiteral("routes") : QStringLiteral("x\"%1").arg(i), i % 3 == 2 ? randomValue(random, 1) : section);
            }
            QCOMPARE(GeometryCache::documentSize(root), qint64(indented(root).size()));
        }
    }

    // Bursts of changes, crossing the size limit, leave the bytes of the plain
    // rewrite-per-change file, in one write, with a warning for every file dropped.
    void burstEqualsOneRewritePerChange_data()
    {
        QTest::addColumn<QByteArray>("start");
        QTest::addColumn<int>("changes");
        QTest::addColumn<int>("padBytes");
        QTest::addColumn<bool>("crosses");
        const QByteArray start = R"({"version": 2, "routes": {"1": {"id": 1}}})";
        QTest::newRow("small, no limit") << start << 50 << 100 << false;
        QTest::newRow("crosses the limit") << start << 90 << 60000 << true;
        QTest::newRow("crosses it twice") << start << 120 << 45000 << true;
        QTest::newRow("sections that are no objects") << QByteArray(R"({"routes": [1, 2, 3, [4, 5]], "detectors": "x"})") << 60 << 30000
                                                      << true;
    }
    void burstEqualsOneRewritePerChange()
    {
        QFETCH(QByteArray, start);
        QFETCH(int, changes);
        QFETCH(int, padBytes);
        QFETCH(bool, crosses);
        QTemporaryDir dir;
        const QString plain = dir.filePath("plain");
        writeFile(plain, start);
        writeFile(dir.filePath("c"), start);
        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture log;
        QRandomGenerator random(7);
        int drops = 0;
        for (int i = 0; i < changes; ++i) {
            const QString id = QString::number(1 + random.bounded(40));
            const int what = random.bounded(10);
            const QString section = what < 7 ? QStringLiteral("routes") : QStringLiteral("detectors");
            if (what == 9) {
                const QList<int> ids{id.toInt(), id.toInt() + 1, 999};
                cache.removeEntries(section, ids);
                drops += rewriteFile(plain, section, [&](QJsonObject &s) {
                    for (int removed : ids)
                        s.remove(QString::number(removed));
                });
                continue;
            }
            // An empty entry removes the key.
            const QVariantMap entry = what == 8 ? QVariantMap()
                                                : QVariantMap{{"id", id.toInt()}, {"geometry", QString(padBytes + random.bounded(1000), '7')}};
            cache.writeEntry(section, id, entry);
            drops += rewriteFile(plain, section, [&](QJsonObject &s) {
                entry.isEmpty() ? s.remove(id) : void(s.insert(id, QJsonObject::fromVariantMap(entry)));
            });
        }
        cache.flush();
        QVERIFY(readAll(dir.filePath("c")) == readAll(plain));
        QCOMPARE(cache.fileWrites(), 1);
        QCOMPARE(log.lines().filter("too big").size(), drops);
        QCOMPARE(drops > 0, crosses);
    }

    // A section that was no object becomes one, by a write or a removal; a later write leaves
    // the document one byte over the limit: the next change drops it, as a rewrite would.
    void replacedSectionCountsExactly_data()
    {
        QTest::addColumn<bool>("byRemoval");
        QTest::newRow("written") << false;
        QTest::newRow("removed from") << true;
    }
    void replacedSectionCountsExactly()
    {
        QFETCH(bool, byRemoval);
        QTemporaryDir dir;
        const QJsonObject full{{"routes", byRemoval ? QJsonObject() : QJsonObject{{"1", QJsonObject{{"id", 1}}}}},
                               {"detectors", QJsonObject{{"5", QJsonObject{{"g", ""}}}}}};
        const int fill = 1000001 - indented(full).size();
        writeFile(dir.filePath("c"), indented(QJsonObject{{"routes", QJsonArray{1}}}));
        GeometryCache cache;
        cache.open(dir.path(), "c");
        byRemoval ? cache.removeEntries("routes", {7}) : cache.writeEntry("routes", "1", QVariantMap{{"id", 1}});
        cache.writeEntry("detectors", "5", QVariantMap{{"g", QString(fill, 'x')}});
        cache.flush();
        QCOMPARE(QFileInfo(dir.filePath("c")).size(), 1000001);
        LogCapture log;
        cache.writeEntry("detectors", "6", QVariantMap{{"id", 1}});
        cache.flush();
        QCOMPARE(readAll(dir.filePath("c")), indented(QJsonObject{{"detectors", QJsonObject{{"6", QJsonObject{{"id", 1}}}}}}));
        QCOMPARE(log.lines(), QStringList("warning: [PriorityPlugin] WARN: Cache file " + dir.filePath("c") + " too big. It will be romved"));
    }

    void changesReachTheFileWithinASecond()
    {
        QTemporaryDir dir;
        GeometryCache cache;
        cache.open(dir.path(), "c");
        for (int i = 1; i <= 200; ++i)
            cache.writeEntry("routes", QString::number(i), QVariantMap{{"id", i}});
        QCOMPARE(cache.fileWrites(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(cache.fileWrites(), 1, 1500);
        QCOMPARE(QJsonDocument::fromJson(readAll(dir.filePath("c"))).object().value("routes").toObject().size(), 200);
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
        row("corrupt: read as empty, silently", corrupt, "c", "read", corrupt, {});
        row("corrupt: replaced at the first write", corrupt, "c", "write", indented(QJsonObject{{"detectors", QJsonObject{{"5", QJsonObject{{"id", 5}}}}}}),
            {"warning: [PriorityPlugin] WARN: Invalid cache file format"});
        row("removing nothing touches nothing", QByteArray(1000001, ' '), "c", "remove none", "same", {});
        row("removing absent ids still rewrites", R"({"routes":{"1":{"id":1}}})", "c", "remove 42", indented(QJsonObject{{"routes", QJsonObject{{"1", QJsonObject{{"id", 1}}}}}}), {});
        row("missing directories are made", "", "a/b/c", "write", indented(QJsonObject{{"detectors", QJsonObject{{"5", QJsonObject{{"id", 5}}}}}}), {});
        for (const QString &name : {QString(), QString(300, 'a'), QString("a/"), QString("..")})
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
            cache.removeEntries("routes", operation == "remove none" ? QList<int>() : QList<int>{42});
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
        QCOMPARE(cache.fileWrites(), int(!off && before != "dir" && (operation == "write" || operation == "remove 42")));
    }
};

QTEST_MAIN(tst_GeometryCache)
#include "tst_geometrycache.moc"
