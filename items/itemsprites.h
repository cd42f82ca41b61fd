#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPen>
#include <QPainterPath>
#include <QRectF>
#include <QVector>

class QPainter;

// Pre-drawn pictures of what thousands of map items draw alike: vehicle markers and the
// weight discs of detectors. One picture per look (marker and course step, state colour,
// weight figure; disc size and figure) and drawing state (pen, font, scale, pixel ratio,
// render hints) is drawn once and then copied to the screen, one image an item instead of
// a path and a text layout each.
namespace ItemSprites {

// The box of a vehicle's weight figure around its centre, full-size pixels.
constexpr QRectF FigureRect(-16.0, -16.0, 32.0, 32.0);

// Courses are drawn in steps of 360/CourseSteps degrees: the pin's tip, 15.4 pixels from its
// centre at full size, then lies less than half a pixel from where the exact course puts it.
constexpr int CourseSteps = 96;
// The course step of a course in degrees (any int); NoCourse gives -1, the circle.
int courseStep(int course, int noCourse);
// The heading pin of radius 5 with its point at (0, 7.7231), straight down.
const QPainterPath &pin();
// The marker of a course step (-1: the no-course circle) in device pixels at full size: the
// pin turned by the step's course plus 180 degrees and scaled by 2.
QPainterPath marker(int step);

struct Look
{
    int step = -1;
    QRgb colour = 0;
    // The weight figure, drawn when shown.
    bool figure = false;
    int weight = 0;
};

// A pre-drawn marker, and which of its pixels it covers, row by row (bit x of a row is pixel
// x): where a city of markers piles up, a marker whose every pixel lies under the opaque
// pixels of markers drawn after it changes nothing on the screen.
struct Sprite
{
    QImage image;
    QPoint offset; // of the image's corner from the marker's centre, device pixels
    // Empty where the image is wider than 64 pixels or not in device pixels.
    QVector<quint64> covered; // not transparent
    QVector<quint64> opaque;  // fully opaque
};

// The marker sprites of many markers drawn with one pen, font, scale and painter state, as
// drawMarkerAt draws them: the drawing state is looked up once, not for every marker.
class MarkerSprites
{
public:
    MarkerSprites(QPainter *painter, const QPen &pen, double scale, const QRectF &figureRect);
    // The look's sprite, made on first use; valid until generation() changes.
    const Sprite &sprite(const Look &look);
    // The same through a marker's memo of it: memo and stamp as an earlier call left them
    // (null at first, and null again when the marker's look changes), made again only when
    // the sprites or the drawing state have changed since.
    const Sprite &sprite(const Look &look, const Sprite *&memo, int &stamp);

private:
    QPen m_pen;
    QFont m_font;
    double m_scale;
    qreal m_ratio;
    int m_hints;
    QRectF m_figureRect;
    int m_style = -1;
    int m_generation = -1;
    void ensureStyle();
};
// Changes whenever the sprites are dropped.
int generation();

// Draws the look at the painter's origin, scaled by scale (1: full size), with pen, the
// painter's font and render hints; the figure fills figureRect (full-size pixels). The
// painter's transform must be a translation, which the position is rounded with to whole
// pixels.
void drawMarker(QPainter *painter, const Look &look, const QPen &pen, double scale, const QRectF &figureRect);
// The same with the painter's transform the identity, the marker's centre at at (device
// pixels): a city of markers is drawn without a change of transform for each.
void drawMarkerAt(QPainter *painter, const QPointF &at, const Look &look, const QPen &pen, double scale,
                  const QRectF &figureRect);

// Draws a detector's weight figure into disc (device pixels; the painter's transform must
// be the identity): a disc outlined with pen and filled white, and weight in dark green in
// font, centred in the disc and cut to it. The disc's size is taken to a quarter of a pixel
// and its corner to a whole pixel.
void drawWeightDisc(QPainter *painter, const QRectF &disc, int weight, const QPen &pen, const QFont &font);

// The sprites kept now (for tests and benchmarks).
int count();

} // namespace ItemSprites
