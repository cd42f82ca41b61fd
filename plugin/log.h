#pragma once

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcPriority)

// The plug-in's log: "[PriorityPlugin] ERROR: text" (critical), "... WARN: ..." (warning)
// and "... INFO: ..." (info), written through Qt's message logger without file, line or
// function context. The level is fixed when the module is built.
namespace PrioLog {

// 0 silences everything; errors need > 0, warnings > 1, info > 2.
constexpr int logLevel = 3;

void error(const QString &text);
void warning(const QString &text);
void info(const QString &text);

} // namespace PrioLog
