// Taking in the route, detector and board lists: whole and in the order they came, a slice
// of at most ListSliceRecords records or ListSliceMs per pass of the event loop, so that a
// list of 100 000 objects does not hold the GUI thread for seconds. Registrations, tree rows
// and requests come in the order an uninterrupted pass would make them; a list that fits in
// one slice is taken in at once.

#include "plugin/priorityplugin.h"

#include <QElapsedTimer>
#include <QTimer>

void PriorityPlugin::takeInList(ListIntake intake)
{
    // Lists of an earlier session (a stop, a disconnection) are not taken in any more.
    while (!m_intakes.empty() && m_intakes.front().session != m_session)
        m_intakes.pop_front();
    intake.session = m_session;
    m_intakes.push_back(std::move(intake));
    if (m_intakes.size() == 1)
        continueIntake();
}

bool PriorityPlugin::isTakingInList() const
{
    return !m_intakes.empty() && m_intakes.back().session == m_session;
}

void PriorityPlugin::continueIntake()
{
    if (m_intakeRunning)
        return;
    m_intakeRunning = true;
    int budget = ListSliceRecords;
    QElapsedTimer clock;
    clock.start();
    while (!m_intakes.empty()) {
        // A list handed over while this one runs queues behind it (a deque keeps this
        // reference valid).
        ListIntake &intake = m_intakes.front();
        const quint64 session = intake.session;
        if (session != m_session) {
            m_intakes.pop_front();
            continue;
        }
        if (!intake.begun) {
            intake.begun = true;
            if (intake.begin)
                intake.begin();
        }
        bool stopped = false;
        // A list longer than a slice is sliced anyway: its slices also end on time, since
        // records cost more on a loaded machine (or one with a big tree view open).
        const bool sliced = intake.count > ListSliceRecords;
        while (intake.next < intake.count && budget > 0) {
            --budget;
            if (sliced && clock.elapsed() >= ListSliceMs)
                budget = 0;
            if (!intake.take(intake.next++) || m_session != session) {
                stopped = true;
                break;
            }
        }
        if (stopped)
            continue; // its session is over: dropped above
        if (intake.next < intake.count) {
            m_intakeRunning = false;
            if (!m_intakeQueued) {
                m_intakeQueued = true;
                QTimer::singleShot(0, this, [this] {
                    m_intakeQueued = false;
                    continueIntake();
                });
            }
            return;
        }
        const std::function<void()> end = std::move(intake.end);
        m_intakes.pop_front();
        if (end)
            end();
    }
    m_intakeRunning = false;
    // The request queue ran empty while lists were still being taken in: the subscription
    // goes now, after every request they made.
    if (m_subscribeAfterIntake != 0 && m_subscribeAfterIntake == m_session) {
        m_subscribeAfterIntake = 0;
        on_rpcObjectRequestQueueEmpty();
    }
}
