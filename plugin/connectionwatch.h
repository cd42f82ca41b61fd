#pragma once

#include <QObject>
#include <QPointer>

// Whether the JSON-RPC object is connected to its server. An object that offers the state
// itself (a readable bool property "isConnected") is asked; for any other the last
// connected(bool) it emitted is remembered. The watch listens on its own connection, so it
// keeps track while the plug-in is stopped and waits for its restart.
class ConnectionWatch : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts watching rpc (nothing changes when it is watched already). Until it emits
    // connected(bool), an object without the property counts as not connected.
    void watch(QObject *rpc);
    bool isConnected(QObject *rpc) const;

private slots:
    void onConnected(bool conn);

private:
    QPointer<QObject> m_watched;
    bool m_connected = false;
};
