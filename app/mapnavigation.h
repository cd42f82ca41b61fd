#pragma once

#include <QObject>
#include <QRectF>

#include <functional>

namespace Road {
class MapView;
}

// Moving about the map from the keyboard and to the objects: + and − zoom, the arrows pan,
// Home shows the whole network (while the map has the focus); and the map goes to an object
// so that it can be seen.
class MapNavigation : public QObject
{
    Q_OBJECT
public:
    // network: the area the whole network covers (degrees), empty while unknown.
    MapNavigation(Road::MapView *view, std::function<QRectF()> network);

    // Centres the map on the object; a zone that would be too small to see at this zoom
    // (a detector in a city view) is zoomed to.
    void centreOn(const QObject *object);
    // Zooms to the object: a route or a detector fills the view, a board is shown at
    // street level.
    void zoomTo(const QObject *object);
    void showNetwork();
    void pan(int dx, int dy);

    // Share of the view each arrow key moves it.
    static constexpr double PanShare = 0.2;
    // Share of the view left around what is zoomed to.
    static constexpr double FitMargin = 0.15;
    // A zone smaller than this on the screen is zoomed to when centred on.
    static constexpr double MinSeenPixels = 12.0;
    // Zoom levels of a board shown alone, and the closest any zoom-to goes.
    static constexpr int BoardZoom = 17;
    static constexpr int MaxFocusZoom = 19;

private:
    void fit(const QRectF &area);

    Road::MapView *m_view;
    std::function<QRectF()> m_network;
};
