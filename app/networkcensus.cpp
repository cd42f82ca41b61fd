#include "networkcensus.h"

#include <QCoreApplication>
#include <QGraphicsObject>
#include <QStringList>

#include "mapobject.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("NetworkCensus", text);
}

} // namespace

NetworkCensus NetworkCensus::take(const QVector<QObject *> &listed, const ObjectLooks &looks)
{
    NetworkCensus c;
    for (QObject *object : listed) {
        const MapObjectRef ref = MapObjectRef::of(object);
        const bool geometry = object->property("hasGeometry").toBool();
        switch (ref.kind) {
        case MapObjectRef::Route:
            ++c.routes;
            c.routesWithGeometry += geometry;
            break;
        case MapObjectRef::Detector:
            ++c.detectors;
            c.detectorsWithGeometry += geometry;
            break;
        case MapObjectRef::Board: {
            ++c.boards;
            const ObjectLooks::BoardState state = looks.boardState(object);
            ++c.boardsByState[state];
            if (state != ObjectLooks::BoardLoggedOut && state != ObjectLooks::BoardUnknown) {
                ++c.boardsLoggedIn;
                auto *item = qobject_cast<QGraphicsObject *>(object);
                c.boardsShown += item && item->isVisible();
            }
            break;
        }
        case MapObjectRef::None:
            break;
        }
    }
    return c;
}

QString NetworkCensus::loadingText() const
{
    return tr("Loading: routes %1/%2, detectors %3/%4")
        .arg(routesWithGeometry)
        .arg(routes)
        .arg(detectorsWithGeometry)
        .arg(detectors);
}

QString NetworkCensus::boardsText() const
{
    QStringList parts;
    for (int state = 0; state < ObjectLooks::BoardStateCount; ++state) {
        if (boardsByState[state] > 0)
            parts.append(QStringLiteral("%1 %2").arg(boardsByState[state]).arg(
                ObjectLooks::boardStateText(ObjectLooks::BoardState(state))));
    }
    const QString head = boards == 1 ? tr("1 board") : tr("%1 boards").arg(boards);
    return parts.isEmpty() ? head : QStringLiteral("%1: %2").arg(head, parts.join(QStringLiteral(", ")));
}

QString NetworkCensus::shownText() const
{
    return tr("%1 of %2 boards shown").arg(boardsShown).arg(boardsLoggedIn);
}
