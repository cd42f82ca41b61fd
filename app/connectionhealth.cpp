#include "connectionhealth.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>


#include "jsonrpc/connectionkeeper.h"

namespace {

// Whole seconds, rounded up: "next try in 1 s" until the try.
QString seconds(qint64 ms, bool up)
{
    return QString::number(up ? (ms + 999) / 1000 : ms / 1000);
}

} // namespace

ConnectionHealth::ConnectionHealth(ConnectionKeeper *keeper, QWidget *parent)
    : QWidget(parent)
    , m_keeper(keeper)
    , m_label(new QLabel(this))
    , m_reconnect(new QToolButton(this))
{
    setObjectName(QStringLiteral("connectionHealth"));
    m_label->setObjectName(QStringLiteral("connectionState"));
    m_reconnect->setObjectName(QStringLiteral("reconnectNow"));
    m_reconnect->setText(tr("Reconnect now"));
    m_reconnect->setAutoRaise(true);
    // The text grows and shrinks with the state; it must not widen the window. What does not
    // fit is in the tooltip.
    m_label->setMinimumWidth(240);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 0, 0, 0);
    layout->addWidget(m_label);
    layout->addWidget(m_reconnect);
    connect(m_reconnect, &QToolButton::clicked, this, [this] {
        m_keeper->reconnectNow();
        refresh();
    });
    connect(keeper, &ConnectionKeeper::stateChanged, this, &ConnectionHealth::refresh);
    refresh();
}

void ConnectionHealth::refresh()
{
    const QString url = m_keeper->url().toString();
    const QString problem = m_keeper->lastProblem();
    QString text;
    QString colour;
    switch (m_keeper->state()) {
    case ConnectionKeeper::Idle:
        text = tr("Not connected");
        colour = QStringLiteral("#b00000");
        break;
    case ConnectionKeeper::Connecting:
        text = tr("Connecting to %1…").arg(url);
        break;
    case ConnectionKeeper::Connected:
        text = tr("Connected to %1 · last message %2 s ago").arg(url, seconds(m_keeper->msSinceLastMessage(), false));
        break;
    case ConnectionKeeper::Silent:
        text = tr("Connected to %1, but silent for %2 s").arg(url, seconds(m_keeper->msSinceLastMessage(), false));
        colour = QStringLiteral("#a05a00");
        break;
    case ConnectionKeeper::Waiting:
        text = tr("Not connected to %1 (%2) · next try in %3 s")
                   .arg(url, problem, seconds(m_keeper->msUntilNextAttempt(), true));
        colour = QStringLiteral("#b00000");
        break;
    case ConnectionKeeper::GivenUp:
        text = tr("Not connected to %1 (%2)").arg(url, problem);
        colour = QStringLiteral("#b00000");
        break;
    }
    const qint64 heard = m_keeper->msSinceLastMessage();
    if (!m_keeper->isUp() && heard >= 0)
        text += tr(" · last message %1 s ago").arg(seconds(heard, false));
    m_label->setText(text);
    m_label->setToolTip(text);
    m_label->setStyleSheet(colour.isEmpty() ? QString() : QStringLiteral("color: %1;").arg(colour));
    const ConnectionKeeper::State s = m_keeper->state();
    m_reconnect->setVisible(s == ConnectionKeeper::Waiting || s == ConnectionKeeper::GivenUp);
}

QString ConnectionHealth::text() const
{
    return m_label->text();
}

bool ConnectionHealth::canReconnectNow() const
{
    return m_reconnect->isVisibleTo(this);
}
