#include "splitdraw.h"

#include <QElapsedTimer>
#include <QImage>
#include <QMutex>
#include <QPaintEngine>
#include <QPainter>
#include <QRegion>
#include <QSemaphore>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace SplitDraw {

namespace {

constexpr qint64 MinImagePixels = 256 * 256;

std::atomic<bool> s_enabled{true};

// A sleeping thread takes 0.05 to 0.1 ms to wake. The painting thread, its own half drawn,
// waits this long for the second thread's half before it sleeps, yielding to any other: a
// frame has three halves, and the second thread's is done a little after its own.
constexpr qint64 JoinSpinNs = 5000000;

// Its own thread: a host's global pool may be busy with work of any length.
class Worker : public QThread
{
public:
    Worker() { start(); }
    ~Worker() override
    {
        {
            QMutexLocker locker(&m_mutex);
            m_quit = true;
            m_wake.wakeAll();
        }
        wait();
    }
    // Starts job on the thread, unless it is still on another.
    bool tryRun(std::function<void()> job)
    {
        QMutexLocker locker(&m_mutex);
        if (m_busy.load(std::memory_order_acquire) || m_quit)
            return false;
        m_busy.store(true, std::memory_order_relaxed);
        m_finished.store(false, std::memory_order_relaxed);
        m_job = std::move(job);
        m_wake.wakeOne();
        return true;
    }
    // Waits for the job tryRun started.
    void join()
    {
        QElapsedTimer waited;
        waited.start();
        while (!m_finished.load(std::memory_order_acquire) && waited.nsecsElapsed() < JoinSpinNs)
            QThread::yieldCurrentThread();
        m_done.acquire();
    }

protected:
    void run() override
    {
        for (;;) {
            std::function<void()> job;
            {
                QMutexLocker locker(&m_mutex);
                while (!m_job && !m_quit)
                    m_wake.wait(&m_mutex);
                if (m_quit)
                    return;
                job = std::move(m_job);
                m_job = nullptr;
            }
            job();
            job = nullptr;
            // Free for the next job before the caller returns from join().
            m_busy.store(false, std::memory_order_release);
            m_done.release();
            m_finished.store(true, std::memory_order_release);
        }
    }

private:
    QMutex m_mutex;
    QWaitCondition m_wake;
    std::function<void()> m_job;
    bool m_quit = false;
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_finished{false};
    QSemaphore m_done;
};

Worker &worker()
{
    static Worker thread;
    return thread;
}

} // namespace

bool paintHalves(QPainter *painter, const std::function<int(const QRect &)> &lineIn,
                 const std::function<void(QPainter *, int, int)> &paint)
{
    // On one core the halves would take turns.
    static const bool cores = QThread::idealThreadCount() > 1;
    if (!s_enabled || !cores || !painter->isActive())
        return false;
    QPaintEngine *engine = painter->paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || !engine->paintDevice()
        || engine->paintDevice()->devType() != QInternal::Image || painter->hasClipping()
        || painter->opacity() != 1.0 || painter->compositionMode() != QPainter::CompositionMode_SourceOver
        || !painter->worldTransform().isIdentity())
        return false;
    const auto *store = static_cast<const QImage *>(engine->paintDevice());
    // The painter's coordinates lie on the image's pixels, shifted by the widget's place in
    // it (a widget paints into its window's image).
    const QTransform toStore = painter->deviceTransform();
    if (toStore.type() > QTransform::TxTranslate || toStore.dx() != std::round(toStore.dx())
        || toStore.dy() != std::round(toStore.dy()) || store->depth() != 32 || store->isNull())
        return false;
    const QPoint offset(int(toStore.dx()), int(toStore.dy()));
    // The system clip is what the window repaints, in the image's pixels.
    const QRegion repainted = engine->systemClip().isEmpty() ? QRegion(store->rect()) : engine->systemClip() & store->rect();
    const QRect bounds = repainted.boundingRect().translated(-offset);
    if (bounds.isEmpty())
        return true;
    const int line = qBound(bounds.top(), lineIn(bounds), bounds.bottom() + 1);
    const int first = line + offset.y(); // the line's row in the image
    // Read here: the painter's state changes while the second thread paints.
    const QPainter::RenderHints hints = painter->renderHints();

    auto lower = [&] {
        if (first < store->height()) {
            // The rows below the line as an image of their own over the same memory: two
            // painters never share a device.
            QImage rows(const_cast<uchar *>(store->constScanLine(first)), store->width(), store->height() - first,
                        store->bytesPerLine(), store->format());
            QPainter p(&rows);
            p.setRenderHints(hints);
            p.setClipRegion(repainted.translated(0, -first));
            p.setTransform(QTransform::fromTranslate(offset.x(), -line));
            paint(&p, line, bounds.bottom() + 1);
        }
    };
    Worker &second = worker();
    if (!second.tryRun(lower))
        return false;
    painter->save();
    painter->setClipRect(QRect(bounds.left(), bounds.top(), bounds.width(), line - bounds.top()));
    paint(painter, bounds.top(), line);
    painter->restore();
    second.join();
    return true;
}

void setEnabled(bool enabled)
{
    s_enabled = enabled;
}

bool drawSplit(QPainter *painter, int count, const std::function<QRect(int)> &rect,
               const std::function<void(QPainter *, int)> &draw)
{
    return drawSplit(painter, count, rect, draw, 0.5, nullptr);
}

bool drawSplit(QPainter *painter, int count, const std::function<QRect(int)> &rect,
               const std::function<void(QPainter *, int)> &draw, double share, const std::function<void()> &ahead)
{
    if (count < MinCount)
        return false;
    // The line under the share of the things' middles.
    const int at = qBound(0, int(qBound(0.5, share, 1.0) * count), count - 1);
    auto middle = [&](const QRect &) {
        QVector<int> middles;
        middles.reserve(count);
        for (int i = 0; i < count; ++i)
            middles.append(rect(i).center().y());
        std::nth_element(middles.begin(), middles.begin() + at, middles.end());
        return middles.at(at);
    };
    auto paint = [&](QPainter *p, int top, int bottom) {
        if (p != painter && ahead)
            ahead();
        for (int i = 0; i < count; ++i) {
            const QRect r = rect(i);
            if (r.bottom() >= top && r.top() < bottom && !r.isEmpty())
                draw(p, i);
        }
    };
    return paintHalves(painter, middle, paint);
}

bool drawImageSplit(QPainter *painter, const QPoint &at, const QImage &image)
{
    if (qint64(image.width()) * image.height() < MinImagePixels)
        return false;
    return paintHalves(
        painter, [](const QRect &bounds) { return bounds.center().y(); },
        [&](QPainter *p, int, int) { p->drawImage(at, image); });
}

} // namespace SplitDraw
