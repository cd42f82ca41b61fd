#include "connectionwatch.h"

#include <QMetaProperty>

void ConnectionWatch::watch(QObject *rpc)
{
    if (rpc == m_watched.data())
        return;
    if (m_watched)
        disconnect(m_watched.data(), nullptr, this, nullptr);
    m_watched = rpc;
    m_connected = false;
    if (rpc)
        connect(rpc, SIGNAL(connected(bool)), this, SLOT(onConnected(bool)));
}

bool ConnectionWatch::isConnected(QObject *rpc) const
{
    if (!rpc)
        return false;
    const QMetaObject *meta = rpc->metaObject();
    const int index = meta->indexOfProperty("isConnected");
    if (index >= 0) {
        const QMetaProperty property = meta->property(index);
        if (property.isReadable() && property.userType() == QMetaType::Bool)
            return property.read(rpc).toBool();
    }
    return rpc == m_watched.data() && m_connected;
}

void ConnectionWatch::onConnected(bool conn)
{
    if (sender() == m_watched.data())
        m_connected = conn;
}
