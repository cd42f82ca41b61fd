#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>

namespace Road {
class MapView;
}

// Drawn over the map, never in it: a scale bar, the north mark, the coordinates under the
// cursor and a line saying which board the map follows. It lies on the map view above its
// viewport and lets every mouse event through to the map.
class MapOverlay : public QWidget
{
    Q_OBJECT
public:
    explicit MapOverlay(Road::MapView *view);

    void setFollowing(const QString &text);
    // The cursor's place on the map as shown ("55.75123° N, 37.61789° E"); empty while the
    // cursor is off the map.
    QString cursorText() const;
    // The scale bar: its length in metres and in pixels at the current zoom and latitude.
    double scaleMetres() const { return m_scaleMetres; }
    int scalePixels() const { return m_scalePixels; }

    // The scale bar is at most this long.
    static constexpr int MaxScalePixels = 120;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void updateScale();

    Road::MapView *m_view;
    QPoint m_cursor;
    bool m_cursorInside = false;
    QString m_following;
    double m_scaleMetres = 0.0;
    int m_scalePixels = 0;
};

// Metres and the label of the longest 1, 2 or 5 times a power of ten that fits in maxPixels
// at metresPerPixel; 0 when nothing fits.
double niceScaleMetres(double metresPerPixel, int maxPixels);
QString scaleLabel(double metres);
