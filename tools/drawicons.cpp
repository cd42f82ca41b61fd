// Draws the ten 24x24 vehicle icons of the tree (front views of a bus and of an emergency
// car in the state colours) into the directory given on the command line. The PNGs are kept
// in resources/icons; run this again after changing the artwork.

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

namespace {

constexpr int IconSize = 24;

const QColor LightBlue(0x6f, 0xbf, 0xf0);
const QColor Grey(0x9a, 0x9a, 0x9a);
const QColor Green(0x3c, 0xb8, 0x3c);
const QColor Red(0xe0, 0x2a, 0x2a);
const QColor Outline(0x30, 0x30, 0x30);
const QColor Glass(0xdd, 0xee, 0xf6);
const QColor Lamp(0xff, 0xf2, 0xa8);
const QColor Tyre(0x22, 0x22, 0x22);

void drawBus(QPainter &p, const QColor &body)
{
    p.setPen(QPen(Outline, 1.0));
    // Wheels below the body.
    p.setBrush(Tyre);
    p.drawRect(QRectF(4.5, 19.5, 3.0, 3.0));
    p.drawRect(QRectF(16.5, 19.5, 3.0, 3.0));
    // Body: a tall box with a rounded roof.
    p.setBrush(body);
    p.drawRoundedRect(QRectF(3.5, 1.5, 17.0, 19.0), 3.0, 3.0);
    // Destination sign, windscreen, lamps and bumper.
    p.setBrush(Outline);
    p.drawRect(QRectF(7.5, 3.0, 9.0, 1.5));
    p.setBrush(Glass);
    p.drawRect(QRectF(5.5, 6.0, 13.0, 7.0));
    p.setBrush(Lamp);
    p.drawEllipse(QRectF(5.0, 15.0, 3.0, 3.0));
    p.drawEllipse(QRectF(16.0, 15.0, 3.0, 3.0));
    p.setBrush(Outline);
    p.drawRect(QRectF(9.5, 16.0, 5.0, 1.0));
}

void drawCar(QPainter &p, const QColor &body, bool beacon)
{
    p.setPen(QPen(Outline, 1.0));
    p.setBrush(Tyre);
    p.drawRect(QRectF(3.5, 19.5, 3.0, 3.0));
    p.drawRect(QRectF(17.5, 19.5, 3.0, 3.0));
    // Cabin on top of a wide body.
    QPainterPath cabin;
    cabin.moveTo(6.5, 12.0);
    cabin.lineTo(8.0, 6.5);
    cabin.lineTo(16.0, 6.5);
    cabin.lineTo(17.5, 12.0);
    cabin.closeSubpath();
    p.setBrush(body);
    p.drawPath(cabin);
    p.drawRoundedRect(QRectF(1.5, 11.5, 21.0, 9.0), 2.5, 2.5);
    // Windscreen, lamps and grille.
    QPainterPath screen;
    screen.moveTo(8.0, 11.5);
    screen.lineTo(9.0, 8.0);
    screen.lineTo(15.0, 8.0);
    screen.lineTo(16.0, 11.5);
    screen.closeSubpath();
    p.setBrush(Glass);
    p.drawPath(screen);
    p.setBrush(Lamp);
    p.drawEllipse(QRectF(3.0, 13.5, 3.5, 3.0));
    p.drawEllipse(QRectF(17.5, 13.5, 3.5, 3.0));
    p.setBrush(Outline);
    p.drawRect(QRectF(9.0, 15.0, 6.0, 2.0));
    if (beacon) {
        p.setBrush(Red);
        p.drawRoundedRect(QRectF(9.5, 2.5, 5.0, 4.0), 1.5, 1.5);
    }
}

void drawQuestionMark(QPainter &p)
{
    QFont font;
    font.setPixelSize(16);
    font.setBold(true);
    p.setFont(font);
    // A white halo keeps the mark readable on the grey body.
    p.setPen(QPen(Qt::white, 3.0));
    QPainterPath mark;
    mark.addText(QPointF(7.0, 18.0), font, QStringLiteral("?"));
    p.setBrush(Qt::NoBrush);
    p.drawPath(mark);
    p.setPen(Qt::NoPen);
    p.setBrush(Red);
    p.drawPath(mark);
}

enum class Kind { Bus, Car };

QImage icon(Kind kind, const QColor &body, bool questionMark)
{
    QImage image(IconSize, IconSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (kind == Kind::Bus)
        drawBus(p, body);
    else
        drawCar(p, body, !questionMark);
    if (questionMark)
        drawQuestionMark(p);
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        err << "usage: drawicons OUTPUT_DIRECTORY\n";
        return 2;
    }
    QDir dir(args.at(1));
    if (!dir.mkpath(QStringLiteral("."))) {
        err << "cannot create " << args.at(1) << '\n';
        return 1;
    }

    struct Entry {
        const char *file;
        Kind kind;
        QColor body;
        bool questionMark;
    };
    const Entry entries[] = {
        {"bus-24.png", Kind::Bus, LightBlue, false},
        {"bus-24nogps.png", Kind::Bus, Grey, true},
        {"bus-24p.png", Kind::Bus, Green, false},
        {"bus-24r.png", Kind::Bus, Red, false},
        {"bus-24u.png", Kind::Bus, Grey, false},
        {"ecar.png", Kind::Car, LightBlue, false},
        {"ecarnogps.png", Kind::Car, Grey, true},
        {"ecarp.png", Kind::Car, Green, false},
        // The red car keeps a darker body so that its red beacon still shows.
        {"ecarr.png", Kind::Car, QColor(0xc0, 0x18, 0x18), false},
        {"ecaru.png", Kind::Car, Grey, false},
    };
    for (const Entry &entry : entries) {
        const QString path = dir.filePath(QString::fromLatin1(entry.file));
        if (!icon(entry.kind, entry.body, entry.questionMark).save(path, "PNG")) {
            err << "cannot write " << path << '\n';
            return 1;
        }
    }
    return 0;
}
