#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QtGlobal>

#include <functional>

namespace Bench {

// Runs the event loop until done() holds or timeoutMs has passed; false on time-out.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The benchmarks need a GUI application for the scene, never a window on a display.
inline void useOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// The machine's load average over the last minute, printed with the figures: the cores are
// shared, and figures taken under load are not comparable.
inline double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return -1.0;
    return file.readAll().split(' ').value(0).toDouble();
}

} // namespace Bench
