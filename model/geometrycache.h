#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

// The geometry cache file: the last known geometry of every route and detector, as one
// indented JSON document {"detectors": {id: entry}, "routes": {id: entry}, ...}, so that a
// reconnection asks the server for geometry only where its hash changed. Other root members
// of the file are kept.
//
// The document is kept in memory and written coalesced, atomically: the file is brought up
// to date at most FlushDelayMs after a change, and at flush(). What it holds after a burst
// of changes is byte for byte what rewriting it for every single change would have left,
// including the size rule: a file above MaxFileSize bytes is dropped before its next use
// and starts again empty. A cache that cannot have a file (no usable name) is off.
class GeometryCache : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 MaxFileSize = 1000000;
    static constexpr int FlushDelayMs = 1000;
    // Longest file name the file systems we run on accept, in bytes.
    static constexpr int MaxFileNameBytes = 255;

    explicit GeometryCache(QObject *parent = nullptr);
    ~GeometryCache() override;

    // Uses the file fileName in directory (created when missing). Pending changes of a
    // previous file are written first. An unusable name turns the cache off, with a warning.
    void open(const QString &directory, const QString &fileName);
    bool isOff() const { return m_off; }

    // The file's absolute path, after the size rule (a file that is too big is deleted).
    // Empty while the cache is off.
    QString filePath();

    // The file's root object as stored, for the restore on connection: empty when the file
    // is missing, unreadable or not valid JSON. Pending changes are written first.
    QJsonObject readFile();

    // Stores entry under key in the root member section; an empty entry removes the key.
    void writeEntry(const QString &section, const QString &key, const QVariantMap &entry);
    // Removes the members named by ids from section. An empty list does nothing at all.
    void removeEntries(const QString &section, const QList<int> &ids);

    // Writes pending changes now.
    void flush();

    // Figures for the benchmark.
    int fileWrites() const { return m_fileWrites; }
    qint64 bytesWritten() const { return m_bytesWritten; }

    // Size in bytes of root as QJsonDocument(root).toJson() writes it; exposed for tests.
    static qint64 documentSize(const QJsonObject &root);

private:
    struct Section
    {
        QHash<QString, qint64> memberBytes; // "key": value, indented as in the file
        qint64 sum = 0;
        QHash<QString, QVariantMap> pending; // entries not converted to JSON yet
    };

    bool beginChange();
    QJsonObject takeSection(const QString &section);
    void load();
    void resetToEmpty();
    void rebuildSizes();
    qint64 sectionBytes(const QString &name) const;
    qint64 currentSize() const;
    void scheduleFlush();
    void convertPending();

    QString m_dir;
    QString m_path;
    bool m_off = true;
    bool m_loaded = false;
    bool m_dirty = false;
    QJsonObject m_root;
    QHash<QString, Section> m_sections; // size bookkeeping of "routes" and "detectors"
    qint64 m_otherRootBytes = 0;        // root members other than the two sections
    int m_otherRootCount = 0;
    QTimer m_flushTimer;
    int m_fileWrites = 0;
    qint64 m_bytesWritten = 0;
};
