#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
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

} // namespace Bench
