#pragma once

#include <QObject>
#include <QString>

#include "roadkernel.h"

namespace Vireo {

// The application's plug-in host object; the current project is one of its children.
class ROAD_KERNEL_EXPORT Plugin : public QObject
{
    Q_OBJECT
public:
    explicit Plugin(QObject *parent = nullptr);
};

// The open project. Its base directory names the per-project caches.
class ROAD_KERNEL_EXPORT Project : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString baseDir READ baseDir WRITE setBaseDir)
public:
    explicit Project(QObject *parent = nullptr);
    QString baseDir() const { return m_baseDir; }
    void setBaseDir(const QString &dir) { m_baseDir = dir; }

private:
    QString m_baseDir;
};

} // namespace Vireo
