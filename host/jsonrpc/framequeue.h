#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <deque>
#include <functional>
#include <memory>

class JsonFrameReader;
class QThread;

// Reads the text frames of a connection as JSON values (JsonFrameReader) and hands them
// on in the order they arrived. A frame of OffThreadChars characters or more is read on a
// thread of its own, so that an answer of 100 000 records does not hold the GUI thread
// for the half second its reading takes; the frames behind it wait for it. A small frame
// with nothing waiting ahead of it is handed on before push() returns.
class FrameQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int OffThreadChars = 1 << 20;
    // Longest a pass of the event loop hands on frames that waited behind a big one.
    static constexpr int HandOnPassMs = 20;
    // The frame's value, or an invalid QVariant with error saying why it is not JSON. The
    // handler may delete the queue.
    using Handler = std::function<void(const QVariant &value, const QString &error)>;

    explicit FrameQueue(Handler handler, QObject *parent = nullptr);
    ~FrameQueue() override;

    void push(const QString &frame);
    // Hands on every frame pushed so far, reading here what is still being read elsewhere:
    // the frames that came before a connection dropped are handled before its drop.
    void handOnAll();

signals:
    void readElsewhere(qulonglong seq, const QString &frame);

private:
    struct Frame
    {
        qulonglong seq = 0;
        QString text; // until read
        bool ready = false;
        QVariant value;
        QString error;
    };
    void onRead(qulonglong seq, const QVariant &value, const QString &error);
    void handOnReady(bool all);

    Handler m_handler;
    std::unique_ptr<JsonFrameReader> m_reader;
    std::deque<Frame> m_frames;
    qulonglong m_nextSeq = 0;
    QThread *m_thread = nullptr;
    QObject *m_worker = nullptr;
    bool m_handOnQueued = false;
};
