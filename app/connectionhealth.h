#pragma once

#include <QWidget>

class ConnectionKeeper;
class QLabel;
class QToolButton;

// The connection as the status bar shows it: up (and how long since the server's last
// message), up but silent, being made, or lost (why, and the countdown to the next try),
// with "Reconnect now" while it is down. refresh() brings it up to date; the countdown and
// the silence move with time alone, so the window calls it on its status timer.
class ConnectionHealth : public QWidget
{
    Q_OBJECT
public:
    explicit ConnectionHealth(ConnectionKeeper *keeper, QWidget *parent = nullptr);

    void refresh();
    QString text() const;
    bool canReconnectNow() const;

private:
    ConnectionKeeper *m_keeper;
    QLabel *m_label;
    QToolButton *m_reconnect;
};
