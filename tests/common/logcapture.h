#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects every message written through Qt's logger while it lives, so that a test can
// count the plug-in's log lines. Each line is the message type, ": ", and the line as Qt's
// default message pattern prints it: a named category comes first ("host.jsonrpc: ..."),
// the default category does not. Nothing is passed on to the test's own handler.
class LogCapture
{
public:
    LogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    int count(const QString &line) const { return lines().count(line); }
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        static const char *const prefixes[] = {"debug", "warning", "critical", "fatal", "info"};
        if (!s_current)
            return;
        QString line = QString::fromLatin1(prefixes[type]) + QLatin1String(": ");
        if (context.category && qstrcmp(context.category, "default") != 0)
            line += QString::fromUtf8(context.category) + QLatin1String(": ");
        QMutexLocker lock(&s_current->m_mutex);
        s_current->m_lines.append(line + message);
    }

    static inline LogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};
