#include "itemsprites.h"

#include <QFont>
#include <QHash>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QPen>
#include <QRect>
#include <QTransform>
#include <QVector>

#include <cmath>

namespace ItemSprites {

namespace {

// Past these the sprites are all dropped and made again as they are needed: a zoom that
// does not stop at whole levels makes a new scale for every frame.
constexpr int MaxSprites = 4096;
constexpr int MaxStyles = 16;

struct Style
{
    QPen pen;
    QFont font;
    double scale;
    qreal ratio;
    int hints;
};

enum class Kind : quint8 { Marker, Disc };

struct Key
{
    Kind kind;
    int style;
    int a;      // marker: course step; disc: width in quarter pixels
    int b;      // marker: figure shown; disc: height in quarter pixels
    QRgb colour; // marker: state colour
    int weight; // the figure, when shown
    bool operator==(const Key &o) const
    {
        return kind == o.kind && style == o.style && a == o.a && b == o.b && colour == o.colour && weight == o.weight;
    }
};

uint qHash(const Key &key, uint seed = 0)
{
    return ::qHash(quint64(key.colour) << 32 | quint64(quint16(key.a)) << 16 | quint64(quint8(key.style)) << 8
                       | quint64(key.kind) << 4 | quint64(key.b & 0xf),
                   seed)
        ^ ::qHash(key.weight, seed) ^ ::qHash(key.b, seed + 1);
}

struct Cache
{
    QVector<Style> styles;
    QHash<Key, Sprite> sprites;
    int generation = 0;
    void clear()
    {
        styles.clear();
        sprites.clear();
        ++generation;
    }
};

Cache &cache()
{
    static Cache c;
    return c;
}

int styleIndex(const QPen &pen, const QFont &font, double scale, qreal ratio, int hints)
{
    Cache &c = cache();
    for (int i = 0; i < c.styles.size(); ++i) {
        const Style &s = c.styles.at(i);
        if (s.scale == scale && s.ratio == ratio && s.hints == hints && s.pen == pen && s.font == font)
            return i;
    }
    if (c.styles.size() >= MaxStyles)
        c.clear();
    c.styles.append({pen, font, scale, ratio, hints});
    return c.styles.size() - 1;
}

Sprite makeSprite(const QRect &pixels, const Style &style)
{
    Sprite sprite;
    sprite.offset = pixels.topLeft();
    sprite.image = QImage(pixels.size() * style.ratio, QImage::Format_ARGB32_Premultiplied);
    sprite.image.setDevicePixelRatio(style.ratio);
    sprite.image.fill(Qt::transparent);
    return sprite;
}

// The sprite cut to the pixels it covers: the figure's box and the margins for the pen are
// mostly transparent, and a frame copies every pixel of thousands of sprites. At a pixel
// ratio other than 1 the picture stays whole, its corner on the device's pixels.
void trim(Sprite *sprite)
{
    QImage &image = sprite->image;
    if (image.devicePixelRatio() != 1.0 || image.isNull())
        return;
    int top = image.height();
    int bottom = -1;
    int left = image.width();
    int right = -1;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) == 0)
                continue;
            top = qMin(top, y);
            bottom = y;
            left = qMin(left, x);
            right = qMax(right, x);
        }
    }
    if (bottom < 0) {
        image = QImage();
        return;
    }
    const QRect covered(QPoint(left, top), QPoint(right, bottom));
    if (covered == image.rect())
        return;
    image = image.copy(covered);
    sprite->offset += covered.topLeft();
}

// The rows of pixels the sprite covers and covers opaquely, for images up to 64 pixels wide.
void measure(Sprite *sprite)
{
    const QImage &image = sprite->image;
    if (image.isNull() || image.devicePixelRatio() != 1.0 || image.width() > 64)
        return;
    sprite->covered.resize(image.height());
    sprite->opaque.resize(image.height());
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        quint64 covered = 0;
        quint64 opaque = 0;
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(line[x]);
            if (alpha != 0)
                covered |= quint64(1) << x;
            if (alpha == 255)
                opaque |= quint64(1) << x;
        }
        sprite->covered[y] = covered;
        sprite->opaque[y] = opaque;
    }
}

Sprite makeMarker(const Look &look, const Style &style, const QRectF &figureRect)
{
    const QPainterPath path = marker(look.step);
    QRectF area = path.boundingRect();
    if (look.figure)
        area |= figureRect;
    // Room for the pen and the antialiased edge.
    const double margin = style.pen.widthF() + 1.0;
    const QRectF scaled(area.topLeft() * style.scale, area.bottomRight() * style.scale);
    Sprite sprite = makeSprite(scaled.adjusted(-margin, -margin, margin, margin).toAlignedRect(), style);
    QPainter painter(&sprite.image);
    painter.setRenderHints(QPainter::RenderHints(style.hints));
    painter.translate(-sprite.offset);
    painter.scale(style.scale, style.scale);
    painter.setPen(style.pen);
    painter.setBrush(QColor::fromRgba(look.colour));
    painter.setFont(style.font);
    painter.drawPath(path);
    if (look.figure)
        painter.drawText(figureRect, Qt::AlignHCenter | Qt::AlignVCenter, QString::number(look.weight));
    painter.end();
    trim(&sprite);
    measure(&sprite);
    return sprite;
}

Sprite makeDisc(const QSizeF &size, int weight, const Style &style)
{
    const double margin = style.pen.widthF() + 1.0;
    const QRectF disc(QPointF(0.0, 0.0), size);
    Sprite sprite = makeSprite(disc.adjusted(-margin, -margin, margin, margin).toAlignedRect(), style);
    QPainter painter(&sprite.image);
    painter.setRenderHints(QPainter::RenderHints(style.hints));
    painter.translate(-sprite.offset);
    painter.setFont(style.font);
    QPen pen = style.pen;
    painter.setPen(pen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(disc);
    pen.setColor(Qt::darkGreen);
    painter.setPen(pen);
    painter.drawText(disc, Qt::AlignHCenter | Qt::AlignVCenter, QString::number(weight));
    painter.end();
    trim(&sprite);
    return sprite;
}

// The sprite for key, made by make on first use.
template<typename Make>
const Sprite &sprite(Key key, const QPen &pen, const QFont &font, double scale, QPainter *painter, Make make)
{
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const int hints = int(painter->renderHints());
    key.style = styleIndex(pen, font, scale, ratio, hints);
    Cache &c = cache();
    auto it = c.sprites.constFind(key);
    if (it == c.sprites.constEnd()) {
        if (c.sprites.size() >= MaxSprites) {
            c.clear();
            key.style = styleIndex(pen, font, scale, ratio, hints);
        }
        it = c.sprites.insert(key, make(c.styles.at(key.style)));
    }
    return *it;
}

// Draws the sprite with its offset at origin (device pixels, rounded to whole ones).
void blit(QPainter *painter, const Sprite &sprite, const QPointF &origin)
{
    const QTransform kept = painter->worldTransform();
    painter->setWorldTransform(QTransform::fromTranslate(std::round(origin.x()), std::round(origin.y())));
    painter->drawImage(sprite.offset, sprite.image);
    painter->setWorldTransform(kept);
}

} // namespace

const QPainterPath &pin()
{
    static const QPainterPath path = [] {
        QPainterPath p;
        p.setFillRule(Qt::WindingFill);
        p.moveTo(0.0, 7.7231);
        p.arcTo(QRectF(-15.4057, 2.3174, 15.8114, 15.8114), 18.0, 36.0);
        p.arcTo(QRectF(-5.0, -5.2769, 10.0, 10.0), 236.0, -292.0);
        p.arcTo(QRectF(-0.4057, 2.3174, 15.8114, 15.8114), 126.0, 36.0);
        return p;
    }();
    return path;
}

int courseStep(int course, int noCourse)
{
    if (course == noCourse)
        return -1;
    const double turns = std::fmod(double(course), 360.0) / 360.0;
    const int step = int(std::lround(turns * CourseSteps)) % CourseSteps;
    return step < 0 ? step + CourseSteps : step;
}

QPainterPath marker(int step)
{
    if (step < 0) {
        QPainterPath circle;
        circle.addEllipse(QRectF(-16.0, -16.0, 32.0, 32.0));
        return circle;
    }
    QTransform turn;
    turn.rotate(step * 360.0 / CourseSteps + 180.0);
    turn.scale(2.0, 2.0);
    return turn.map(pin());
}

void drawMarker(QPainter *painter, const Look &look, const QPen &pen, double scale, const QRectF &figureRect)
{
    const Key key{Kind::Marker, 0, look.step, look.figure ? 1 : 0, look.colour, look.figure ? look.weight : 0};
    const Sprite &s = sprite(key, pen, painter->font(), scale, painter,
                             [&](const Style &style) { return makeMarker(look, style, figureRect); });
    const QTransform t = painter->worldTransform();
    blit(painter, s, QPointF(t.dx(), t.dy()));
}

MarkerSprites::MarkerSprites(QPainter *painter, const QPen &pen, double scale, const QRectF &figureRect)
    : m_pen(pen)
    , m_font(painter->font())
    , m_scale(scale)
    , m_ratio(painter->device() ? painter->device()->devicePixelRatioF() : 1.0)
    , m_hints(int(painter->renderHints()))
    , m_figureRect(figureRect)
{
}

void MarkerSprites::ensureStyle()
{
    const Cache &c = cache();
    if (m_generation != c.generation) {
        m_style = styleIndex(m_pen, m_font, m_scale, m_ratio, m_hints);
        m_generation = cache().generation;
    }
}

const Sprite &MarkerSprites::sprite(const Look &look, const Sprite *&memo, int &stamp)
{
    ensureStyle();
    if (memo && stamp == m_generation * MaxStyles + m_style)
        return *memo;
    memo = &sprite(look);
    stamp = m_generation * MaxStyles + m_style;
    return *memo;
}

const Sprite &MarkerSprites::sprite(const Look &look)
{
    Cache &c = cache();
    ensureStyle();
    Key key{Kind::Marker, m_style, look.step, look.figure ? 1 : 0, look.colour, look.figure ? look.weight : 0};
    auto it = c.sprites.constFind(key);
    if (it == c.sprites.constEnd()) {
        if (c.sprites.size() >= MaxSprites) {
            c.clear();
            key.style = m_style = styleIndex(m_pen, m_font, m_scale, m_ratio, m_hints);
            m_generation = c.generation;
        }
        it = c.sprites.insert(key, makeMarker(look, c.styles.at(key.style), m_figureRect));
    }
    return *it;
}

int generation()
{
    return cache().generation;
}

void drawMarkerAt(QPainter *painter, const QPointF &at, const Look &look, const QPen &pen, double scale,
                  const QRectF &figureRect)
{
    const Key key{Kind::Marker, 0, look.step, look.figure ? 1 : 0, look.colour, look.figure ? look.weight : 0};
    const Sprite &s = sprite(key, pen, painter->font(), scale, painter,
                             [&](const Style &style) { return makeMarker(look, style, figureRect); });
    painter->drawImage(QPointF(std::round(at.x()), std::round(at.y())) + s.offset, s.image);
}

void drawWeightDisc(QPainter *painter, const QRectF &disc, int weight, const QPen &pen, const QFont &font)
{
    const int width = int(std::lround(disc.width() * 4.0));
    const int height = int(std::lround(disc.height() * 4.0));
    const Key key{Kind::Disc, 0, width, height, 0, weight};
    const Sprite &s = sprite(key, pen, font, 1.0, painter, [&](const Style &style) {
        return makeDisc(QSizeF(width / 4.0, height / 4.0), weight, style);
    });
    blit(painter, s, disc.topLeft());
}

int count()
{
    return cache().sprites.size();
}

} // namespace ItemSprites
