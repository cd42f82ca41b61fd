#include "log.h"

#include <QMessageLogger>

Q_LOGGING_CATEGORY(lcPriority, "lumen.priority", QtInfoMsg)

namespace PrioLog {

namespace {
// No file, line or function: the host's message handler gets the text alone.
QMessageLogger logger()
{
    return QMessageLogger(nullptr, 0, nullptr, lcPriority().categoryName());
}
} // namespace

void error(const QString &text)
{
    if (logLevel > 0 && lcPriority().isCriticalEnabled())
        logger().critical("[PriorityPlugin] ERROR: %s", text.toUtf8().constData());
}

void warning(const QString &text)
{
    if (logLevel > 1 && lcPriority().isWarningEnabled())
        logger().warning("[PriorityPlugin] WARN: %s", text.toUtf8().constData());
}

void info(const QString &text)
{
    if (logLevel > 2 && lcPriority().isInfoEnabled())
        logger().info("[PriorityPlugin] INFO: %s", text.toUtf8().constData());
}

} // namespace PrioLog
