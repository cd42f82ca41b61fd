#include "framequeue.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QThread>

#include "jsonframereader.h"

namespace {

// Lives on the reading thread, with a reader of its own.
class FrameReaderWorker : public QObject
{
    Q_OBJECT
public:
    void read(qulonglong seq, const QString &frame)
    {
        QString error;
        const QVariant value = m_reader.read(frame, &error);
        emit read_(seq, value, error);
    }

signals:
    void read_(qulonglong seq, const QVariant &value, const QString &error);

private:
    JsonFrameReader m_reader;
};

} // namespace

FrameQueue::FrameQueue(Handler handler, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler))
    , m_reader(std::make_unique<JsonFrameReader>())
{
}

FrameQueue::~FrameQueue()
{
    if (m_thread) {
        // A frame being read is read to the end; what it gives is not wanted any more.
        m_thread->quit();
        m_thread->wait();
        delete m_worker;
    }
}

void FrameQueue::push(const QString &frame)
{
    const bool big = frame.size() >= OffThreadChars;
    if (m_frames.empty() && !big) {
        QString error;
        const QVariant value = m_reader->read(frame, &error);
        const Handler handler = m_handler; // the handler may delete this queue
        handler(value, error);
        return;
    }
    Frame entry;
    entry.seq = m_nextSeq++;
    if (big) {
        if (!m_thread) {
            m_thread = new QThread(this);
            m_thread->setObjectName(QStringLiteral("frame reader"));
            auto *worker = new FrameReaderWorker;
            worker->moveToThread(m_thread);
            m_worker = worker;
            connect(this, &FrameQueue::readElsewhere, worker, &FrameReaderWorker::read);
            connect(worker, &FrameReaderWorker::read_, this, &FrameQueue::onRead);
            m_thread->start();
        }
        entry.text = frame;
        m_frames.push_back(std::move(entry));
        emit readElsewhere(m_frames.back().seq, frame);
        return;
    }
    entry.value = m_reader->read(frame, &entry.error);
    entry.ready = true;
    m_frames.push_back(std::move(entry));
    handOnReady(false);
}

void FrameQueue::onRead(qulonglong seq, const QVariant &value, const QString &error)
{
    // Frames read here meanwhile (handOnAll) are no longer waiting for this.
    for (Frame &frame : m_frames) {
        if (frame.seq == seq && !frame.ready) {
            frame.ready = true;
            frame.value = value;
            frame.error = error;
            frame.text.clear();
            break;
        }
    }
    handOnReady(false);
}

void FrameQueue::handOnAll()
{
    for (Frame &frame : m_frames) {
        if (!frame.ready) {
            frame.value = m_reader->read(frame.text, &frame.error);
            frame.ready = true;
            frame.text.clear();
        }
    }
    handOnReady(true);
}

void FrameQueue::handOnReady(bool all)
{
    // Frames that piled up behind a big one (thousands of geometry answers) are handed on
    // over several passes of the event loop, not in one.
    QElapsedTimer pass;
    pass.start();
    // Taken off before it is handled: a handler's nested event loop hands on the frames
    // behind it, and a handler may delete this queue.
    const QPointer<FrameQueue> self(this);
    while (self && !m_frames.empty() && m_frames.front().ready) {
        if (!all && pass.elapsed() >= HandOnPassMs) {
            if (!m_handOnQueued) {
                m_handOnQueued = true;
                QMetaObject::invokeMethod(this, [this] {
                    m_handOnQueued = false;
                    handOnReady(false);
                }, Qt::QueuedConnection);
            }
            return;
        }
        const Frame frame = std::move(m_frames.front());
        m_frames.pop_front();
        const Handler handler = m_handler;
        handler(frame.value, frame.error);
    }
}

#include "framequeue.moc"
