#pragma once

#include <QImage>
#include <QRect>

#include <functional>

class QPainter;

// Paints many small things onto a painter's screen on two threads: the rows below a line on
// a second thread, straight into the same pixels, while the painter paints the rows above.
// A whole city's markers and sectors cost a frame more in blending and rasterising than
// anything else on it, and the second core is otherwise idle while the view paints.
namespace SplitDraw {

// Calls draw(p, i) for i in [0, count), in order, on a painter p of each half that the
// rectangle rect(i) (device pixels) meets, p clipped to its half and mapped as painter is
// with its world transform the identity; draw sets on p what it needs (pen, brush), the
// render hints are painter's. The pixels come out as draw on painter alone would make them.
// False, and nothing drawn, where the painter's pixels cannot be shared with a second thread
// (no raster image, a clip of the painter's own, opacity, a composition mode, a scaled or
// fractional mapping to its device), for a few things, or while the second thread is busy:
// the caller draws them itself.
bool drawSplit(QPainter *painter, int count, const std::function<QRect(int)> &rect,
               const std::function<void(QPainter *, int)> &draw);
// The same with the line where the painter's thread draws about share (0.5 to 1) of the
// things, and ahead, if given, called on the second thread before it draws: work that
// touches nothing the things' drawing does. ahead is not called where the line leaves the
// second thread no rows.
bool drawSplit(QPainter *painter, int count, const std::function<QRect(int)> &rect,
               const std::function<void(QPainter *, int)> &draw, double share, const std::function<void()> &ahead);

// Below this many things the second thread costs more than it saves.
constexpr int MinCount = 128;

// Calls paint(p, top, bottom) for the rows [top, bottom) (painter's coordinates) above a line
// on this thread, p being painter, and for those below it on the second thread at the same
// time, p painting over the same pixels, mapped as painter is; each p is clipped to its rows.
// line(bounds) picks the line among the rows repainted, bounds. False, and nothing painted,
// where drawSplit cannot (but for the count), or where painter's world transform is not the
// identity.
bool paintHalves(QPainter *painter, const std::function<int(const QRect &)> &line,
                 const std::function<void(QPainter *, int, int)> &paint);

// Draws the image at at (device pixels) as painter->drawImage(at, image) would, its halves on
// two threads; false where drawSplit cannot.
bool drawImageSplit(QPainter *painter, const QPoint &at, const QImage &image);

// Whether drawSplit draws on two threads (on by default); the tests and benchmarks compare.
void setEnabled(bool enabled);

} // namespace SplitDraw
