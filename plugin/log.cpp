#include "log.h"

#include <QMessageLogger>

namespace PrioLog {

namespace {
// No file, line, function or category: the host's message handler gets the text alone.
QMessageLogger logger()
{
    return QMessageLogger(nullptr, 0, nullptr);
}
} // namespace

void error(const QString &text)
{
    if (logLevel > 0)
        logger().critical("[PriorityPlugin] ERROR: %s", text.toUtf8().constData());
}

void warning(const QString &text)
{
    if (logLevel > 1)
        logger().warning("[PriorityPlugin] WARN: %s", text.toUtf8().constData());
}

void info(const QString &text)
{
    if (logLevel > 2)
        logger().info("[PriorityPlugin] INFO: %s", text.toUtf8().constData());
}

} // namespace PrioLog
