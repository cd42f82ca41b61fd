#include "geometrycache.h"

#include "plugin/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSaveFile>

#include <cmath>
#include <optional>

using namespace PrioLog;

namespace {

// Whether the JSON writer puts s out as it stands: printable ASCII without a quote or a
// backslash (ids, hashes, geometry strings, most names).
bool isPlainText(const QString &s)
{
    // A character that is escaped or not ASCII marks its block; blocks of a fixed length
    // are what the compiler makes vector code of (geometry strings are megabytes here).
    const auto marked = [](ushort u) { return ushort(u - 0x20) >= 0x60 || u == '"' || u == '\\'; };
    constexpr int Block = 32;
    const ushort *p = s.utf16();
    const int n = s.size();
    int i = 0;
    for (; i + Block <= n; i += Block) {
        int marks = 0;
        for (int j = 0; j < Block; ++j)
            marks |= marked(p[i + j]);
        if (marks)
            return false;
    }
    for (; i < n; ++i) {
        if (marked(p[i]))
            return false;
    }
    return true;
}

// Length of a string as the JSON writer quotes and escapes it.
qint64 encodedStringBytes(const QString &s)
{
    if (isPlainText(s))
        return s.size() + 2;
    // {"key":0}
    return QJsonDocument(QJsonObject{{s, 0}}).toJson(QJsonDocument::Compact).size() - 4;
}

qint64 encodedKeyBytes(const QString &key)
{
    return encodedStringBytes(key);
}

// Length of a value written by the indented JSON writer at a nesting depth: a container
// opens its line, puts each element on a line of its own indented four spaces deeper, and
// closes on a line indented as its own. Counted, not written: the cache sizes every entry.
qint64 valueBytesAtDepth(const QJsonValue &value, int depth)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return 4;
    case QJsonValue::Bool:
        return value.toBool() ? 4 : 5;
    case QJsonValue::String:
        return encodedStringBytes(value.toString());
    case QJsonValue::Double: {
        // Whole numbers are kept as integers and written as such.
        const QVariant number = value.toVariant();
        if (number.userType() == QMetaType::LongLong)
            return QByteArray::number(number.toLongLong()).size();
        // The rest as the writer spells them: whole numbers below 2^64 in full, others in
        // the shortest form that reads back the same; "null" for what is not finite.
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return 4;
        const bool whole = std::abs(d) < 18446744073709551616.0 && d == std::trunc(d);
        return QByteArray::number(d, whole ? 'f' : 'g', QLocale::FloatingPointShortest).size();
    }
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        if (array.isEmpty())
            return 2 + 4 * depth + 1;
        qint64 bytes = 2 + 4 * depth + 1 + 1 + 2 * qint64(array.size() - 1);
        for (const QJsonValue element : array)
            bytes += 4 * (depth + 1) + valueBytesAtDepth(element, depth + 1);
        return bytes;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.isEmpty())
            return 2 + 4 * depth + 1;
        qint64 bytes = 2 + 4 * depth + 1 + 1 + 2 * qint64(object.size() - 1);
        for (auto it = object.begin(); it != object.end(); ++it)
            bytes += 4 * (depth + 1) + encodedKeyBytes(it.key()) + 2 + valueBytesAtDepth(it.value(), depth + 1);
        return bytes;
    }
    case QJsonValue::Undefined:
        break;
    }
    // Anything else as the writer spells it: "[\n    value\n]\n"
    return QJsonDocument(QJsonArray{value}).toJson().size() - 9;
}

// Length of a record value as fromVariantMap converts it and the indented writer puts it out
// at a nesting depth, counted from the value itself for what answers are made of (strings,
// booleans, numbers, lists and maps of them), so that an entry is sized without converting
// it; nothing for any other value, which is sized from its conversion.
std::optional<qint64> variantBytesAtDepth(const QVariant &value, int depth)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return encodedStringBytes(value.toString());
    case QMetaType::Bool:
        return value.toBool() ? 4 : 5;
    case QMetaType::LongLong: {
        // Beyond 2^53 the writer spells whole numbers as doubles.
        const qlonglong n = value.toLongLong();
        if (n > -(1LL << 53) && n < (1LL << 53))
            return QByteArray::number(n).size();
        return valueBytesAtDepth(QJsonValue(double(n)), depth);
    }
    case QMetaType::Double:
        return valueBytesAtDepth(QJsonValue(value.toDouble()), depth);
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = value.toList();
        if (list.isEmpty())
            return 2 + 4 * depth + 1;
        qint64 bytes = 2 + 4 * depth + 1 + 1 + 2 * qint64(list.size() - 1);
        for (const QVariant &element : list) {
            const std::optional<qint64> elementBytes = variantBytesAtDepth(element, depth + 1);
            if (!elementBytes)
                return std::nullopt;
            bytes += 4 * (depth + 1) + *elementBytes;
        }
        return bytes;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        if (map.isEmpty())
            return 2 + 4 * depth + 1;
        qint64 bytes = 2 + 4 * depth + 1 + 1 + 2 * qint64(map.size() - 1);
        for (auto it = map.begin(); it != map.end(); ++it) {
            const std::optional<qint64> memberBytes = variantBytesAtDepth(it.value(), depth + 1);
            if (!memberBytes)
                return std::nullopt;
            bytes += 4 * (depth + 1) + encodedKeyBytes(it.key()) + 2 + *memberBytes;
        }
        return bytes;
    }
    default:
        return std::nullopt;
    }
}

qint64 sectionMemberBytes(const QString &key, const QJsonValue &value)
{
    // 8 spaces, "key", ": ", value at depth 2
    return 8 + encodedKeyBytes(key) + 2 + valueBytesAtDepth(value, 2);
}

qint64 sectionValueBytes(qint64 memberSum, int count)
{
    // "{\n" members joined by ",\n" "\n    }", or "{\n    }" when empty
    return count > 0 ? memberSum + 2 * qint64(count) + 6 : 7;
}

qint64 rootBytes(qint64 membersBytes, int count)
{
    // "{\n" members joined by ",\n" "\n}\n", or "{\n}\n" when empty
    return count > 0 ? 2 + membersBytes + 2 * qint64(count - 1) + 3 : 4;
}

qint64 rootMemberBytes(const QString &key, qint64 valueBytes)
{
    return 4 + encodedKeyBytes(key) + 2 + valueBytes;
}

} // namespace

GeometryCache::GeometryCache(QObject *parent)
    : QObject(parent)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(FlushDelayMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &GeometryCache::flush);
}

GeometryCache::~GeometryCache()
{
    flush();
}

qint64 GeometryCache::documentSize(const QJsonObject &root)
{
    qint64 members = 0;
    for (auto it = root.begin(); it != root.end(); ++it)
        members += rootMemberBytes(it.key(), valueBytesAtDepth(it.value(), 1));
    return rootBytes(members, root.size());
}

void GeometryCache::open(const QString &directory, const QString &fileName)
{
    flush();
    m_loaded = false;
    m_root = QJsonObject();
    m_sections.clear();
    m_dir = directory;
    m_path.clear();

    // An empty name would make the directory itself the cache file, and a name longer than
    // the file system takes makes every write fail: no cache then.
    m_off = fileName.isEmpty() || fileName.toUtf8().size() > MaxFileNameBytes || fileName.contains(QLatin1Char('/'))
        || fileName == QLatin1String(".") || fileName == QLatin1String("..");
    if (m_off) {
        warning(QCoreApplication::translate("PriorityPlugin", "Cache file name '%1' is not usable, geometry cache is off").arg(fileName));
        return;
    }
    m_path = QDir(directory).absoluteFilePath(fileName);
}

QString GeometryCache::filePath()
{
    if (m_off)
        return QString();
    if (!QDir().mkpath(m_dir))
        return m_path; // opening the file will fail and say so
    const QFileInfo info(m_path);
    if (info.exists() && info.size() > MaxFileSize) {
        warning(QCoreApplication::translate("PriorityPlugin", "Cache file %1 too big. It will be romved").arg(m_path));
        QFile::remove(m_path);
    }
    return m_path;
}

QJsonObject GeometryCache::readFile()
{
    if (m_off)
        return QJsonObject();
    flush();
    // The next change reads the file again, since the size rule may just have dropped it.
    m_loaded = false;
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return QJsonObject();
    return doc.object();
}

// The first change reads the file as it is; every later change sees the document that the
// previous one left, and the size rule applies to it as it would to the file.
bool GeometryCache::beginChange()
{
    if (m_off)
        return false;
    if (!m_loaded) {
        load();
        return true;
    }
    if (currentSize() > MaxFileSize) {
        warning(QCoreApplication::translate("PriorityPlugin", "Cache file %1 too big. It will be romved").arg(m_path));
        resetToEmpty();
    }
    return true;
}

void GeometryCache::load()
{
    m_loaded = true;
    resetToEmpty();
    QFile file(filePath());
    if (file.open(QIODevice::ReadOnly) && file.size() > 0) {
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError)
            warning(QCoreApplication::translate("PriorityPlugin", "Invalid cache file format"));
        else
            m_root = doc.object();
    }
    rebuildSizes();
}

void GeometryCache::resetToEmpty()
{
    m_root = QJsonObject();
    m_sections.clear();
    m_otherRootBytes = 0;
    m_otherRootCount = 0;
}

void GeometryCache::rebuildSizes()
{
    m_sections.clear();
    m_otherRootBytes = 0;
    m_otherRootCount = 0;
    for (auto it = m_root.begin(); it != m_root.end(); ++it) {
        if (it.value().isObject()) {
            Section &section = m_sections[it.key()];
            const QJsonObject object = it.value().toObject();
            for (auto member = object.begin(); member != object.end(); ++member) {
                const qint64 bytes = sectionMemberBytes(member.key(), member.value());
                section.memberBytes.insert(member.key(), bytes);
                section.sum += bytes;
            }
        } else {
            m_otherRootBytes += rootMemberBytes(it.key(), valueBytesAtDepth(it.value(), 1));
            ++m_otherRootCount;
        }
    }
}

qint64 GeometryCache::sectionBytes(const QString &name) const
{
    const Section &section = m_sections[name];
    return rootMemberBytes(name, sectionValueBytes(section.sum, section.memberBytes.size()));
}

qint64 GeometryCache::currentSize() const
{
    qint64 members = m_otherRootBytes;
    for (auto it = m_sections.begin(); it != m_sections.end(); ++it)
        members += sectionBytes(it.key());
    return rootBytes(members, m_otherRootCount + m_sections.size());
}

QJsonObject GeometryCache::takeSection(const QString &section)
{
    // Taken out, so that the caller's object is the only one that holds the section and
    // changes it in place: a copy still in the root would make every change copy the
    // whole section (10 000 detectors: a quadratic load). It goes back with insert().
    QJsonValue sectionValue = m_root.take(section);
    // A section member that is no object is replaced by one.
    if (!sectionValue.isObject() && !sectionValue.isUndefined()) {
        m_otherRootBytes -= rootMemberBytes(section, valueBytesAtDepth(sectionValue, 1));
        --m_otherRootCount;
    }
    QJsonObject sectionObject = sectionValue.toObject();
    sectionValue = QJsonValue();
    return sectionObject;
}

void GeometryCache::writeEntry(const QString &section, const QString &key, const QVariantMap &entry)
{
    if (!beginChange())
        return;

    QJsonObject sectionObject = takeSection(section);
    Section &sizes = m_sections[section];

    sizes.sum -= sizes.memberBytes.take(key);
    sizes.pending.remove(key);
    sectionObject.remove(key);
    if (!entry.isEmpty()) {
        // Most entries of a big network are dropped by the size rule before the file is next
        // written: an entry that can be sized as it stands is converted only when it is.
        const std::optional<qint64> valueBytes = variantBytesAtDepth(entry, 2);
        qint64 bytes = 0;
        if (valueBytes) {
            bytes = 8 + encodedKeyBytes(key) + 2 + *valueBytes;
            sizes.pending.insert(key, entry);
        } else {
            const QJsonObject value = QJsonObject::fromVariantMap(entry);
            sectionObject.insert(key, value);
            bytes = sectionMemberBytes(key, value);
        }
        sizes.memberBytes.insert(key, bytes);
        sizes.sum += bytes;
    }
    m_root.insert(section, sectionObject);
    scheduleFlush();
}

void GeometryCache::convertPending()
{
    for (auto it = m_sections.begin(); it != m_sections.end(); ++it) {
        Section &sizes = it.value();
        if (sizes.pending.isEmpty())
            continue;
        QJsonObject sectionObject = takeSection(it.key());
        for (auto entry = sizes.pending.cbegin(); entry != sizes.pending.cend(); ++entry)
            sectionObject.insert(entry.key(), QJsonObject::fromVariantMap(entry.value()));
        sizes.pending.clear();
        m_root.insert(it.key(), sectionObject);
    }
}

void GeometryCache::removeEntries(const QString &section, const QList<int> &ids)
{
    if (ids.isEmpty() || !beginChange())
        return;

    QJsonObject sectionObject = takeSection(section);
    Section &sizes = m_sections[section];
    for (int id : ids) {
        const QString key = QString::number(id);
        sizes.sum -= sizes.memberBytes.take(key);
        sizes.pending.remove(key);
        sectionObject.remove(key);
    }
    m_root.insert(section, sectionObject);
    // Unchanged content is still written, as a rewrite of the file would.
    scheduleFlush();
}

void GeometryCache::scheduleFlush()
{
    m_dirty = true;
    // Not restarted by later changes: the file is never more than FlushDelayMs behind.
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void GeometryCache::flush()
{
    m_flushTimer.stop();
    if (!m_dirty || m_off)
        return;
    m_dirty = false;

    convertPending();
    QDir().mkpath(m_dir);
    const QByteArray text = QJsonDocument(m_root).toJson();
    // Written beside the old file and renamed over it: a crash or a full disk leaves the
    // old file, never a torn one.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        warning(QCoreApplication::translate("PriorityPlugin", "Cache file %1 open error %2").arg(m_path, file.errorString()));
        return;
    }
    ++m_fileWrites;
    m_bytesWritten += text.size();
}
