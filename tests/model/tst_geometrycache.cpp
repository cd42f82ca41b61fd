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

// The plain way to keep the file, the oracle for the coalesced cache: read, change and
// rewrite it for every change, and drop it first when it is above a million bytes. Whether it
// was dropped.
bool rewriteFile(const QString &path, const QString &section, const std::function<void(QJsonObject &)> &change)
{
    const bool drop = QFileInfo(path).size() > 1000000;
    if (drop)
        QFile::remove(path);
    QJsonObject root = QJsonDocument::fromJson(readAll(path)).object();
    QJsonObject sectionObject = root.value(section).toObject();
    change(sectionObject);
    root.insert(section, sectionObject);
    writeFile(path, QJsonDocument(root).toJson());
    return drop;
}

QJsonValue randomValue(QRandomGenerator &random, int depth)
{
    static const QStringList samples{"", "plain", "quote \" and \\ slash", "line\nbreak\ttab", "\u00fc\u20ac\U0001F68C", "\x01\x1f"};
    switch (random.bounded(depth > 2 ? 5 : 8)) {
    case 0: return random.bounded(2) == 1;
    case 1: return random.bounded(-100000, 100000);
    case 2: return random.generateDouble() * 1e6 - 5e5;
    case 3: return QJsonValue();
    case 4: return samples.at(random.bounded(samples.size()));
    case 5:
    case 6: {
        QJsonObject object;
        for (int i = random.bounded(4); i > 0; --i)
            object.insert(QStringLiteral("k%1").arg(random.bounded(10)), randomValue(random, depth + 1));
        return object;
    }
    default: {
        QJsonArray array;
        for (int i = random.bounded(4); i > 0; --i)
            array.append(randomValue(random, depth + 1));
        return array;
    }
    }
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
                root.insert(i % 2 ? QStringLiteral("routes") : QStringLiteral("x\"%1").arg(i),
                            i % 3 == 2 ? randomValue(random, 1) : QJsonValue(section));
            }
            QCOMPARE(GeometryCache::documentSize(root), qint64(QJsonDocument(root).toJson().size()));
        }
    }

    // Bursts of changes, crossing the size limit, leave the bytes of the plain
    // rewrite-per-change file, in one write.
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
        QTest::newRow("sections that are no objects") << QByteArray(R"({"routes": [1, 2, 3, [4, 5]], "detectors": "x"})") << 60
                                                      << 30000 << true;
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
            } else {
                // An empty entry removes the key.
                const QVariantMap entry = what == 8 ? QVariantMap()
                                                    : QVariantMap{{"id", id.toInt()}, {"geometry_hash", "h" + id},
                                                                  {"geometry", QString(padBytes + random.bounded(1000), '7')}};
                cache.writeEntry(section, id, entry);
                drops += rewriteFile(plain, section, [&](QJsonObject &s) {
                    if (entry.isEmpty())
                        s.remove(id);
                    else
                        s.insert(id, QJsonObject::fromVariantMap(entry));
                });
            }
        }
        cache.flush();
        QVERIFY(readAll(dir.filePath("c")) == readAll(plain));
        QCOMPARE(cache.fileWrites(), 1);
        QCOMPARE(log.lines().filter("too big").size(), drops);
        QCOMPARE(drops > 0, crosses);
    }

    // A document one byte over the limit after a section that was no object became one: the
    // next change drops it, as a rewrite would.
    void replacedSectionCountsExactly()
    {
        QTemporaryDir dir;
        const QJsonObject start{{"routes", QJsonArray{1}}, {"pad", QString()}};
        const QVariantMap entry{{"id", 1}};
        QJsonObject after = start;
        after.insert("routes", QJsonObject{{"1", QJsonObject::fromVariantMap(entry)}});
        const int pad = 1000001 - QJsonDocument(after).toJson().size();
        QJsonObject padded = start;
        padded.insert("pad", QString(pad, 'x'));
        writeFile(dir.filePath("c"), QJsonDocument(padded).toJson());
        GeometryCache cache;
        cache.open(dir.path(), "c");
        cache.writeEntry("routes", "1", entry);
        cache.flush();
        QCOMPARE(QFileInfo(dir.filePath("c")).size(), 1000001);
        LogCapture log;
        cache.writeEntry("detectors", "5", entry);
        cache.flush();
        QCOMPARE(readAll(dir.filePath("c")), QJsonDocument(QJsonObject{{"detectors", QJsonObject{{"5", QJsonObject{{"id", 1}}}}}}).toJson());
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

    void sizeLimit_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly 1 000 000 bytes is used") << 1000000 << true;
        QTest::newRow("1 000 001 bytes is dropped") << 1000001 << false;
    }
    void sizeLimit()
    {
        QFETCH(int, size);
        QFETCH(bool, kept);
        QTemporaryDir dir;
        QJsonObject root{{"routes", QJsonObject{{"12", QJsonObject{{"id", 12}}}}}, {"pad", QString()}};
        root.insert("pad", QString(size - QJsonDocument(root).toJson().size(), 'x'));
        writeFile(dir.filePath("c"), QJsonDocument(root).toJson());
        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture log;
        QCOMPARE(cache.readFile().contains("routes"), kept);
        QCOMPARE(QFile::exists(dir.filePath("c")), kept);
        QCOMPARE(log.lines(), kept ? QStringList()
                                   : QStringList("warning: [PriorityPlugin] WARN: Cache file " + dir.filePath("c")
                                                 + " too big. It will be romved"));
    }

    // Operations on a file: its content before, what happens, the file and the log after.
    void fileCases_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("writes");
        const QByteArray oversized(1000001, ' ');
        QTest::newRow("corrupt: read as empty, silently") << QByteArray(R"({"routes": {"1": )") << "read"
                                                          << QByteArray(R"({"routes": {"1": )") << QStringList() << 0;
        QTest::newRow("corrupt: replaced at the first write")
            << QByteArray(R"({"routes": {"1": )") << "write" << QByteArray("{\n    \"detectors\": {\n        \"5\": {\n            \"id\": 5\n        }\n    }\n}\n")
            << QStringList("warning: [PriorityPlugin] WARN: Invalid cache file format") << 1;
        QTest::newRow("removing nothing touches nothing") << oversized << "remove none" << oversized << QStringList() << 0;
        QTest::newRow("removing absent ids still rewrites") << QByteArray(R"({"routes":{"1":{"id":1}}})") << "remove 42"
                                                            << QByteArray("{\n    \"routes\": {\n        \"1\": {\n            \"id\": 1\n        }\n    }\n}\n")
                                                            << QStringList() << 1;
    }
    void fileCases()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, operation);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, log);
        QFETCH(int, writes);
        QTemporaryDir dir;
        writeFile(dir.filePath("c"), before);
        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture captured;
        if (operation == "read")
            QVERIFY(cache.readFile().isEmpty());
        else if (operation == "write")
            cache.writeEntry("detectors", "5", QVariantMap{{"id", 5}});
        else
            cache.removeEntries("routes", operation == "remove none" ? QList<int>() : QList<int>{42});
        cache.flush();
        QCOMPARE(readAll(dir.filePath("c")), after);
        QCOMPARE(captured.lines(), log);
        QCOMPARE(cache.fileWrites(), writes);
    }

    void missingDirectoryIsCreated()
    {
        QTemporaryDir dir;
        GeometryCache cache;
        cache.open(dir.filePath("a/b"), "c");
        QCOMPARE(cache.filePath(), dir.filePath("a/b/c"));
        QVERIFY(QFileInfo(dir.filePath("a/b")).isDir());
    }

    void unusableNameTurnsTheCacheOff_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty (a project without a base directory)") << QString();
        QTest::newRow("longer than a file name may be") << QString(300, 'a');
        QTest::newRow("a path") << "a/b";
    }
    void unusableNameTurnsTheCacheOff()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        GeometryCache cache;
        LogCapture log;
        cache.open(dir.path(), name);
        QVERIFY(cache.isOff());
        cache.writeEntry("routes", "1", QVariantMap{{"id", 1}});
        cache.removeEntries("routes", {1});
        cache.flush();
        QVERIFY(cache.readFile().isEmpty() && cache.filePath().isEmpty());
        QCOMPARE(log.lines(), QStringList("warning: [PriorityPlugin] WARN: Cache file name '" + name
                                          + "' is not usable, geometry cache is off"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void failedWriteIsReported()
    {
        QTemporaryDir dir;
        // A directory where the file should be: no file can be written there.
        QVERIFY(QDir().mkpath(dir.filePath("c")));
        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture log;
        cache.writeEntry("routes", "1", QVariantMap{{"id", 1}});
        cache.flush();
        QCOMPARE(cache.fileWrites(), 0);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().startsWith("warning: [PriorityPlugin] WARN: Cache file " + dir.filePath("c") + " open error "),
                 qPrintable(log.lines().first()));
        QVERIFY(QFileInfo(dir.filePath("c")).isDir());
    }
};

QTEST_MAIN(tst_GeometryCache)
#include "tst_geometrycache.moc"
