#include "mapnavigation.h"

#include <QAction>
#include <QKeySequence>

#include <algorithm>

#include "kernel/mapview.h"
#include "mapobject.h"

MapNavigation::MapNavigation(Road::MapView *view, std::function<QRectF()> network)
    : QObject(view)
    , m_view(view)
    , m_network(std::move(network))
{
    const auto add = [this](const char *name, const QList<QKeySequence> &keys, auto &&slot) {
        auto *action = new QAction(m_view);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcuts(keys);
        // Only while the map has the focus: the tree and the fields keep their own keys.
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, slot);
        m_view->addAction(action);
    };
    add("zoomIn", {QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal), QKeySequence::ZoomIn},
        [this] { m_view->setZoom(m_view->zoom() + 1); });
    add("zoomOut", {QKeySequence(Qt::Key_Minus), QKeySequence::ZoomOut}, [this] { m_view->setZoom(m_view->zoom() - 1); });
    add("panLeft", {QKeySequence(Qt::Key_Left)}, [this] { pan(-1, 0); });
    add("panRight", {QKeySequence(Qt::Key_Right)}, [this] { pan(1, 0); });
    add("panUp", {QKeySequence(Qt::Key_Up)}, [this] { pan(0, -1); });
    add("panDown", {QKeySequence(Qt::Key_Down)}, [this] { pan(0, 1); });
    add("showNetwork", {QKeySequence(Qt::Key_Home)}, [this] { showNetwork(); });
}

void MapNavigation::pan(int dx, int dy)
{
    const QRect viewport = m_view->viewport()->rect();
    const QPoint shifted = viewport.center()
        + QPoint(int(dx * viewport.width() * PanShare), int(dy * viewport.height() * PanShare));
    m_view->centreOn(m_view->mapToScene(shifted));
}

void MapNavigation::showNetwork()
{
    const QRectF network = m_network ? m_network() : QRectF();
    if (!network.isEmpty())
        m_view->showRect(network.marginsAdded(QMarginsF(network.width() * 0.05, network.height() * 0.05,
                                                        network.width() * 0.05, network.height() * 0.05)));
}

void MapNavigation::fit(const QRectF &area)
{
    m_view->showRect(area.marginsAdded(
        QMarginsF(area.width() * FitMargin, area.height() * FitMargin, area.width() * FitMargin, area.height() * FitMargin)));
    if (m_view->zoom() > MaxFocusZoom)
        m_view->setZoom(MaxFocusZoom);
}

void MapNavigation::centreOn(const QObject *object)
{
    const std::optional<QRectF> bounds = mapBounds(object);
    if (!bounds)
        return;
    const double pixels = std::max(bounds->width(), bounds->height()) * Road::MapView::pixelsPerDegree(m_view->zoom());
    if (!bounds->isNull() && pixels < MinSeenPixels)
        fit(*bounds);
    else
        m_view->centreOn(bounds->center());
}

void MapNavigation::zoomTo(const QObject *object)
{
    const std::optional<QRectF> bounds = mapBounds(object);
    if (!bounds)
        return;
    if (bounds->isNull()) {
        // Zoom first: the view centres to a whole pixel, which is metres on a city view.
        if (m_view->zoom() < BoardZoom)
            m_view->setZoom(BoardZoom);
        m_view->centreOn(bounds->center());
        return;
    }
    fit(*bounds);
}
