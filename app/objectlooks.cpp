#include "objectlooks.h"

#include <QPixmap>
#include <QVariantList>
#include <QVariantMap>

#include "jsonrpc/jsonrpcobject.h"

namespace {

// The plug-in's icon files: the vehicle kind, then the state ("r" locked, "u" not logged in,
// "nogps" no position, "p" has priority, nothing for the others).
const char *const Kinds[] = {"bus-24", "ecar"};
const char *const Suffixes[] = {"r", "u", "nogps", "p", ""};
constexpr int IconSize = 24;

QString iconPath(const QString &file)
{
    return QStringLiteral(":/icons/%1.png").arg(file);
}

QImage iconImage(const QIcon &icon)
{
    return icon.pixmap(IconSize, IconSize).toImage().convertToFormat(QImage::Format_ARGB32);
}

// A position [lon, lat] as the server sends it, not the (0, 0) that stands for none.
bool isPoint(const QVariant &value)
{
    const QVariantList list = value.toList();
    if (list.size() != 2)
        return false;
    bool okX = false, okY = false;
    const double x = list.at(0).toDouble(&okX), y = list.at(1).toDouble(&okY);
    return okX && okY && !(x == 0.0 && y == 0.0);
}

} // namespace

ObjectLooks::ObjectLooks(JsonRpcObject *client, QObject *parent)
    : QObject(parent)
{
    for (const char *kind : Kinds) {
        for (const char *suffix : Suffixes) {
            const QIcon icon(iconPath(QString::fromLatin1(kind) + QString::fromLatin1(suffix)));
            if (!icon.isNull())
                m_iconImages.append({QString::fromLatin1(suffix), iconImage(icon)});
        }
    }
    connect(client, &JsonRpcObject::notification, this, &ObjectLooks::onNotification);
    connect(client, &JsonRpcObject::connected, this, [this](bool up) {
        if (!up) {
            m_onRoute.clear();
            m_detectorState.clear();
        }
    });
}

QString ObjectLooks::iconStateOf(const QObject *board) const
{
    QVariant decoration;
    QMetaObject::invokeMethod(const_cast<QObject *>(board), "modelData", Qt::DirectConnection,
                              Q_RETURN_ARG(QVariant, decoration), Q_ARG(int, 0), Q_ARG(int, Qt::DecorationRole));
    const QIcon icon = decoration.value<QIcon>();
    if (icon.isNull())
        return QStringLiteral("?");
    const auto cached = m_iconStateByKey.constFind(icon.cacheKey());
    if (cached != m_iconStateByKey.constEnd())
        return *cached;
    const QImage image = iconImage(icon);
    QString state = QStringLiteral("?");
    for (const auto &known : m_iconImages) {
        if (known.second == image) {
            state = known.first;
            break;
        }
    }
    // Every new icon object the plug-in makes gets a new key.
    if (m_iconStateByKey.size() >= MaxTracked)
        m_iconStateByKey.clear();
    m_iconStateByKey.insert(icon.cacheKey(), state);
    return state;
}

ObjectLooks::BoardState ObjectLooks::boardState(const QObject *board) const
{
    if (!board)
        return BoardUnknown;
    const QString state = iconStateOf(board);
    if (state == QLatin1String("nogps"))
        return BoardNoPosition;
    if (state == QLatin1String("r"))
        return BoardLocked;
    if (state == QLatin1String("u"))
        return BoardLoggedOut;
    if (state == QLatin1String("p"))
        return BoardPriority;
    if (!state.isEmpty())
        return BoardUnknown;
    if (board->property("routeId").toInt() == 0)
        return BoardNoRoute;
    return m_onRoute.value(board->property("name").toString(), false) ? BoardOnRoute : BoardOffRoute;
}

bool ObjectLooks::isEmergencyBoard(const QObject *board) const
{
    return board && board->property("isEmergency").toBool();
}

ObjectLooks::DetectorState ObjectLooks::detectorState(const QObject *detector) const
{
    if (!detector)
        return DetectorUnknown;
    if (detector->property("locked").toBool())
        return DetectorLocked;
    if (detector->property("active").toBool())
        return DetectorActive;
    const auto state = m_detectorState.constFind(detector->property("id").toInt());
    if (state == m_detectorState.constEnd())
        return DetectorUnknown;
    return *state == QLatin1String("inside") ? DetectorInside : DetectorIdle;
}

QIcon ObjectLooks::boardIcon(BoardState state, bool emergency)
{
    const char *suffix = nullptr;
    switch (state) {
    case BoardLocked:
        suffix = "r";
        break;
    case BoardLoggedOut:
        suffix = "u";
        break;
    case BoardNoPosition:
        suffix = "nogps";
        break;
    case BoardPriority:
        suffix = "p";
        break;
    case BoardOnRoute:
    case BoardOffRoute:
    case BoardNoRoute:
        suffix = "";
        break;
    case BoardUnknown:
        return QIcon();
    }
    return QIcon(iconPath(QString::fromLatin1(Kinds[emergency ? 1 : 0]) + QString::fromLatin1(suffix)));
}

QString ObjectLooks::boardStateText(BoardState state)
{
    switch (state) {
    case BoardLocked:
        return tr("locked");
    case BoardPriority:
        return tr("has priority");
    case BoardOnRoute:
        return tr("on its route");
    case BoardOffRoute:
        return tr("off its route");
    case BoardNoRoute:
        return tr("no route");
    case BoardNoPosition:
        return tr("no position");
    case BoardLoggedOut:
        return tr("not logged in");
    case BoardUnknown:
        break;
    }
    return tr("unknown");
}

QString ObjectLooks::detectorStateText(DetectorState state)
{
    switch (state) {
    case DetectorLocked:
        return tr("locked");
    case DetectorActive:
        return tr("active");
    case DetectorInside:
        return tr("a vehicle inside");
    case DetectorIdle:
        return tr("idle");
    case DetectorUnknown:
        break;
    }
    return tr("unknown");
}

void ObjectLooks::onNotification(const QString &method, const QVariant &params)
{
    const QVariantMap map = params.toMap();
    if (method == QLatin1String("BoardsServer.boardPosition")) {
        const QString name = map.value(QStringLiteral("board_name")).toString();
        if (name.isEmpty())
            return;
        if (m_onRoute.size() >= MaxTracked && !m_onRoute.contains(name))
            m_onRoute.clear();
        m_onRoute.insert(name, isPoint(map.value(QStringLiteral("rpos"))));
        return;
    }
    const bool stateEvent = method == QLatin1String("VDTService.vdtStateChanged");
    if (!stateEvent && method != QLatin1String("VDTService.vdtPropertiesChanged"))
        return;
    const QString state = map.value(QStringLiteral("state")).toString();
    bool ok = false;
    const int id = map.value(stateEvent ? QStringLiteral("dt") : QStringLiteral("id")).toInt(&ok);
    if (!ok || state.isEmpty())
        return;
    if (m_detectorState.size() >= MaxTracked && !m_detectorState.contains(id))
        m_detectorState.clear();
    m_detectorState.insert(id, state);
}
