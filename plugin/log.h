#pragma once

#include <QString>

// The plug-in's log: "[PriorityPlugin] ERROR: text" (critical), "... WARN: ..." (warning)
// and "... INFO: ..." (info), written through Qt's message logger in its default category and
// without file, line or function context, so that under Qt's default message pattern a line
// starts with "[PriorityPlugin]" (host log parsers key on it). The level is fixed when the
// module is built.
namespace PrioLog {

// 0 silences everything; errors need > 0, warnings > 1, info > 2.
constexpr int logLevel = 3;

void error(const QString &text);
void warning(const QString &text);
void info(const QString &text);

} // namespace PrioLog
