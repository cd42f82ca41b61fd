#include "lastknownpicture.h"

#include <QEvent>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QPainter>

#include "kernel/mapview.h"

namespace {

// Above everything on the map; it is only there while the plug-in's items are not.
constexpr qreal PictureZ = 1e6;
// How much of the white veil lies over the picture.
constexpr int VeilAlpha = 150;

} // namespace

LastKnownPicture::LastKnownPicture(Road::MapView *view)
    : QObject(view)
    , m_view(view)
    , m_label(new QLabel(view))
{
    m_label->setObjectName(QStringLiteral("lastKnownPicture"));
    m_label->setStyleSheet(QStringLiteral("background: rgba(60, 60, 60, 220); color: white; padding: 4px 10px;"
                                          "border-radius: 4px;"));
    m_label->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_label->hide();
    view->viewport()->installEventFilter(this);
}

LastKnownPicture::~LastKnownPicture()
{
    release();
}

void LastKnownPicture::freeze(const QDateTime &lostAt, const QDateTime &positionsAsOf)
{
    if (m_item || !m_view->scene())
        return;
    QPixmap picture = m_view->viewport()->grab();
    {
        QPainter veil(&picture);
        veil.fillRect(picture.rect(), QColor(255, 255, 255, VeilAlpha));
    }
    m_item = new QGraphicsPixmapItem(picture);
    m_item->setZValue(PictureZ);
    m_item->setAcceptedMouseButtons(Qt::NoButton);
    m_item->setTransformationMode(Qt::SmoothTransformation);
    // From the picture's pixels (device pixels of the viewport) to the scene the view showed.
    const qreal ratio = picture.devicePixelRatio();
    m_item->setTransform(QTransform::fromScale(1.0 / ratio, 1.0 / ratio) * m_view->viewportTransform().inverted());
    QGraphicsScene *scene = m_view->scene();
    scene->addItem(m_item);
    // The scene deletes its items when it goes first.
    connect(scene, &QObject::destroyed, this, [this] {
        m_item = nullptr;
        m_label->hide();
    }, Qt::UniqueConnection);

    const QString lost = lostAt.toString(QStringLiteral("HH:mm:ss"));
    m_label->setText(positionsAsOf.isValid()
                         ? tr("Connection lost at %1 — positions as of %2").arg(lost, positionsAsOf.toString(QStringLiteral("HH:mm:ss")))
                         : tr("Connection lost at %1 — no positions had come").arg(lost));
    m_label->adjustSize();
    place();
    m_label->show();
    m_label->raise();
}

void LastKnownPicture::release()
{
    m_label->hide();
    delete m_item;
    m_item = nullptr;
}

QString LastKnownPicture::text() const
{
    return m_label->isVisibleTo(m_view) ? m_label->text() : QString();
}

void LastKnownPicture::place()
{
    const QRect area = m_view->viewport()->geometry();
    m_label->move(area.left() + (area.width() - m_label->width()) / 2, area.bottom() - m_label->height() - 40);
}

bool LastKnownPicture::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize)
        place();
    return QObject::eventFilter(watched, event);
}
