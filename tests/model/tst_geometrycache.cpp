// The geometry cache file: its format, the size rule, its failures, and that coalesced
// writing leaves exactly the file that rewriting it for every change would have left.

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
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The plain way to keep the file: read, parse, change and rewrite it for every change, and
// drop it before use when it is above a million bytes. The oracle for the coalesced cache.
void rewriteFile(const QString &path, const QString &section, const std::function<void(QJsonObject &)> &change)
{
    if (QFileInfo(path).size() > 1000000)
        QFile::remove(path);
    QJsonObject root;
    QFile in(path);
    if (in.open(QIODevice::ReadOnly) && in.size() > 0) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(in.readAll(), &error);
        if (error.error == QJsonParseError::NoError)
            root = doc.object();
    }
    in.close();
    QJsonObject sectionObject = root.value(section).toObject();
    change(sectionObject);
    root.insert(section, sectionObject);
    writeFile(path, QJsonDocument(root).toJson());
}

QJsonValue randomValue(QRandomGenerator &random, int depth)
{
    switch (random.bounded(depth > 2 ? 5 : 8)) {
    case 0: return QJsonValue(random.bounded(2) == 1);
    case 1: return QJsonValue(random.bounded(-100000, 100000));
    case 2: return QJsonValue(random.generateDouble() * 1e6 - 5e5);
    case 3: return QJsonValue();
    case 4: {
        static const QStringList samples{"", "plain", "quote \" and \\ slash", "line\nbreak\ttab", "\u00fc\u20ac\U0001F68C", "\x01\x1f"};
        return QJsonValue(samples.at(random.bounded(samples.size())));
    }
    case 5:
    case 6: {
        QJsonObject object;
        const int n = random.bounded(4);
        for (int i = 0; i < n; ++i)
            object.insert(QStringLiteral("k%1").arg(random.bounded(10)), randomValue(random, depth + 1));
        return object;
    }
    default: {
        QJsonArray array;
        const int n = random.bounded(4);
        for (int i = 0; i < n; ++i)
            array.append(randomValue(random, depth + 1));
        return array;
    }
    }
}

QVariantMap routeEntry(int id, int padBytes)
{
    return QVariantMap{{"id", id},
                       {"geometry_hash", QStringLiteral("h%1").arg(id)},
                       {"description", QStringLiteral("Line %1").arg(id)},
                       {"geometry", QString(padBytes, QLatin1Char('7'))}};
}

} // namespace

class tst_GeometryCache : public QObject
{
    Q_OBJECT

private slots:
    void sizeOfDocumentIsPredictedExactly_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed = 1; seed <= 40; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }
    void sizeOfDocumentIsPredictedExactly()
    {
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        QJsonObject root;
        const int members = random.bounded(5);
        for (int i = 0; i < members; ++i) {
            QJsonObject section;
            const int entries = random.bounded(6);
            for (int e = 0; e < entries; ++e)
                section.insert(QString::number(random.bounded(1000)), randomValue(random, 1));
            root.insert(i % 2 ? QStringLiteral("routes") : QStringLiteral("x\"%1").arg(i),
                        i % 3 == 2 ? randomValue(random, 1) : QJsonValue(section));
        }
        QCOMPARE(GeometryCache::documentSize(root), qint64(QJsonDocument(root).toJson().size()));
    }

    void writesTheDocumentedFormat()
    {
        QTemporaryDir dir;
        GeometryCache cache;
        cache.open(dir.path(), QStringLiteral("433a2f70"));
        cache.writeEntry("routes", "12", QVariantMap{{"id", 12}, {"geometry_hash", "h7"}, {"description", "Line 12"},
                                                     {"geometry", "10.5,50.25 10.51,50.26"}});
        cache.writeEntry("detectors", "5", QVariantMap{{"id", 5}, {"geometry_hash", "d1"}, {"emergency", false},
                                                       {"routes", QVariantList{"12"}}});
        cache.flush();
        const QByteArray expected = "{\n"
                                    "    \"detectors\": {\n"
                                    "        \"5\": {\n"
                                    "            \"emergency\": false,\n"
                                    "            \"geometry_hash\": \"d1\",\n"
                                    "            \"id\": 5,\n"
                                    "            \"routes\": [\n"
                                    "                \"12\"\n"
                                    "            ]\n"
                                    "        }\n"
                                    "    },\n"
                                    "    \"routes\": {\n"
                                    "        \"12\": {\n"
                                    "            \"description\": \"Line 12\",\n"
                                    "            \"geometry\": \"10.5,50.25 10.51,50.26\",\n"
                                    "            \"geometry_hash\": \"h7\",\n"
                                    "            \"id\": 12\n"
                                    "        }\n"
                                    "    }\n"
                                    "}\n";
        QCOMPARE(readAll(dir.filePath("433a2f70")), expected);
        QCOMPARE(cache.fileWrites(), 1);
    }

    // Bursts of changes, crossing the size limit several times, leave the same bytes as the
    // plain rewrite-per-change file.
    void burstEqualsOneRewritePerChange_data()
    {
        QTest::addColumn<int>("changes");
        QTest::addColumn<int>("padBytes");
        QTest::newRow("small, no limit") << 50 << 100;
        QTest::newRow("crosses the limit") << 90 << 60000;
        QTest::newRow("crosses it twice") << 120 << 45000;
    }
    void burstEqualsOneRewritePerChange()
    {
        QFETCH(int, changes);
        QFETCH(int, padBytes);
        QTemporaryDir dir;
        const QString plain = dir.filePath("plain");
        const QString coalescedDir = dir.filePath("cache");
        // Both start from a file with a foreign member and a few routes.
        const QByteArray start = QJsonDocument(QJsonObject{{"version", 2}, {"routes", QJsonObject{{"1", QJsonObject{{"id", 1}}}}}}).toJson();
        writeFile(plain, start);
        QDir().mkpath(coalescedDir);
        writeFile(coalescedDir + "/c", start);

        GeometryCache cache;
        cache.open(coalescedDir, "c");
        LogCapture log;
        QRandomGenerator random(7);
        for (int i = 0; i < changes; ++i) {
            const int id = 1 + random.bounded(40);
            const int what = random.bounded(10);
            const QString section = what < 8 ? QStringLiteral("routes") : QStringLiteral("detectors");
            if (what == 9) {
                const QList<int> ids{id, id + 1, 999};
                cache.removeEntries(section, ids);
                rewriteFile(plain, section, [&](QJsonObject &s) {
                    for (int removed : ids)
                        s.remove(QString::number(removed));
                });
            } else {
                const QVariantMap entry = routeEntry(id, padBytes + random.bounded(1000));
                cache.writeEntry(section, QString::number(id), entry);
                rewriteFile(plain, section, [&](QJsonObject &s) { s.insert(QString::number(id), QJsonObject::fromVariantMap(entry)); });
            }
        }
        cache.flush();
        const QByteArray expected = readAll(plain);
        const QByteArray actual = readAll(coalescedDir + "/c");
        QCOMPARE(actual.size(), expected.size());
        QVERIFY(actual == expected);
        QCOMPARE(cache.fileWrites(), 1);
        const bool crossed = padBytes > 10000;
        QCOMPARE(log.lines().filter("too big").isEmpty(), !crossed);
    }

    void changesReachTheFileWithinASecond()
    {
        QTemporaryDir dir;
        GeometryCache cache;
        cache.open(dir.path(), "c");
        QElapsedTimer clock;
        clock.start();
        for (int i = 1; i <= 200; ++i)
            cache.writeEntry("routes", QString::number(i), routeEntry(i, 10));
        QCOMPARE(cache.fileWrites(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(cache.fileWrites(), 1, 2000);
        QVERIFY(clock.elapsed() <= 1500);
        const QJsonObject routes = QJsonDocument::fromJson(readAll(dir.filePath("c"))).object().value("routes").toObject();
        QCOMPARE(routes.size(), 200);
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
        const int bare = QJsonDocument(root).toJson().size();
        root.insert("pad", QString(size - bare, QLatin1Char('x')));
        const QByteArray text = QJsonDocument(root).toJson();
        QCOMPARE(text.size(), size);
        writeFile(dir.filePath("c"), text);

        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture log;
        const QJsonObject read = cache.readFile();
        QCOMPARE(read.contains("routes"), kept);
        QCOMPARE(QFile::exists(dir.filePath("c")), kept);
        QCOMPARE(log.lines(), kept ? QStringList()
                                   : QStringList("warning: [PriorityPlugin] WARN: Cache file " + dir.filePath("c")
                                                 + " too big. It will be romved"));
    }

    void corruptFileIsIgnoredThenReplaced()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("c"), "{\"routes\": {\"1\": ");
        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture log;
        QVERIFY(cache.readFile().isEmpty());
        QVERIFY(log.lines().isEmpty());
        cache.writeEntry("detectors", "5", QVariantMap{{"id", 5}});
        cache.flush();
        QCOMPARE(log.lines(), QStringList("warning: [PriorityPlugin] WARN: Invalid cache file format"));
        const QJsonObject root = QJsonDocument::fromJson(readAll(dir.filePath("c"))).object();
        QCOMPARE(root.keys(), QStringList("detectors"));
    }

    void otherRootMembersAreKept()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("c"), QJsonDocument(QJsonObject{{"version", 3}, {"meta", QJsonObject{{"a", QJsonArray{1, 2}}}},
                                                               {"routes", QJsonObject{{"7", QJsonObject{{"id", 7}}}}}})
                                         .toJson());
        GeometryCache cache;
        cache.open(dir.path(), "c");
        cache.writeEntry("detectors", "5", QVariantMap{{"id", 5}});
        cache.flush();
        const QJsonObject root = QJsonDocument::fromJson(readAll(dir.filePath("c"))).object();
        QCOMPARE(root.keys(), QStringList({"detectors", "meta", "routes", "version"}));
        QCOMPARE(root.value("routes").toObject().keys(), QStringList("7"));
        QCOMPARE(root.value("meta").toObject().value("a").toArray(), QJsonArray({1, 2}));
    }

    void removingNothingTouchesNothing()
    {
        QTemporaryDir dir;
        const QByteArray oversized(1000001, ' ');
        writeFile(dir.filePath("c"), oversized);
        GeometryCache cache;
        cache.open(dir.path(), "c");
        LogCapture log;
        cache.removeEntries("routes", {});
        cache.flush();
        QCOMPARE(readAll(dir.filePath("c")), oversized);
        QVERIFY(log.lines().isEmpty());
    }

    void removingAbsentIdsStillRewrites()
    {
        QTemporaryDir dir;
        GeometryCache cache;
        cache.open(dir.path(), "c");
        cache.writeEntry("routes", "1", QVariantMap{{"id", 1}});
        cache.flush();
        const QByteArray before = readAll(dir.filePath("c"));
        cache.removeEntries("routes", {42});
        cache.flush();
        QCOMPARE(cache.fileWrites(), 2);
        QCOMPARE(readAll(dir.filePath("c")), before);
    }

    void emptyEntryRemovesTheKey()
    {
        QTemporaryDir dir;
        GeometryCache cache;
        cache.open(dir.path(), "c");
        cache.writeEntry("routes", "1", QVariantMap{{"id", 1}});
        cache.writeEntry("routes", "1", QVariantMap());
        cache.flush();
        QCOMPARE(QJsonDocument::fromJson(readAll(dir.filePath("c"))).object(), QJsonObject({{"routes", QJsonObject()}}));
    }

    void missingDirectoryIsCreated()
    {
        QTemporaryDir dir;
        const QString nested = dir.filePath("a/b/c");
        GeometryCache cache;
        cache.open(nested, "c");
        QCOMPARE(cache.filePath(), nested + "/c");
        QVERIFY(QFileInfo(nested).isDir());
    }

    void unusableNameTurnsTheCacheOff_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty (a project without a base directory)") << QString();
        QTest::newRow("longer than a file name may be") << QString(300, QLatin1Char('a'));
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
        QVERIFY(cache.readFile().isEmpty());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().startsWith("warning: [PriorityPlugin] WARN: "));
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
        const QStringList warnings = log.lines().filter("open error");
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().startsWith("warning: [PriorityPlugin] WARN: Cache file " + dir.filePath("c") + " open error "));
        QVERIFY(QFileInfo(dir.filePath("c")).isDir());
    }
};

QTEST_MAIN(tst_GeometryCache)
#include "tst_geometrycache.moc"
