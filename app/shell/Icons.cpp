#include "app/shell/Icons.h"

#include <QCoreApplication>
#include <QDir>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

#ifndef ZORVO_DATA_FROM_BIN
#define ZORVO_DATA_FROM_BIN "../share"
#endif

namespace icons {
namespace {

// A telephone handset: two ear pieces joined by a curved grip, centred in `box`.
void DrawHandset(QPainter& p, const QRectF& box, const QColor& colour, double angle) {
    p.save();
    p.translate(box.center());
    p.rotate(angle);
    const double s = box.width() / 32.0;
    p.scale(s, s);
    p.translate(0, 4);  // the shape spans -10 to 2 in height
    QPainterPath path;
    path.moveTo(-12, -4);
    path.cubicTo(-6, -12, 6, -12, 12, -4);
    path.lineTo(12, 2);
    path.lineTo(6, 2);
    path.lineTo(5, -3);
    path.cubicTo(2, -5, -2, -5, -5, -3);
    path.lineTo(-6, 2);
    path.lineTo(-12, 2);
    path.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(path);
    p.restore();
}

QImage Draw(int size, const QColor& disc, const QColor& handset, double angle) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double margin = std::max(1.0, size / 32.0);
    const QRectF box(margin, margin, size - 2 * margin, size - 2 * margin);
    if (disc.isValid()) {
        p.setBrush(disc);
        p.setPen(Qt::NoPen);
        p.drawEllipse(box);
    }
    const double inset = size / 10.0;
    DrawHandset(p, box.adjusted(inset, inset, -inset, -inset), handset, angle);
    return image;
}

QIcon Make(const QColor& disc, const QColor& handset, double angle) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        icon.addPixmap(QPixmap::fromImage(Draw(size, disc, handset, angle)));
    }
    return icon;
}

const QColor kMainDisc(30, 90, 170);

}  // namespace

QImage DrawMainIcon(int size) {
    return Draw(size, kMainDisc, Qt::white, 0);
}

QIcon LoadMainIcon(const QString& hicolorRoot) {
    QIcon icon;
    for (int size : kMainIconSizes) {
        const QString file = QStringLiteral("%1/%2x%2/apps/zorvo.png").arg(hicolorRoot).arg(size);
        QPixmap pixmap;
        if (pixmap.load(file, "PNG")) {
            icon.addPixmap(pixmap);
        }
    }
    return icon;
}

QString IconThemeFolder(const QString& programDir) {
    return QDir::cleanPath(programDir + "/" ZORVO_DATA_FROM_BIN "/icons/hicolor");
}

QIcon MainIconFrom(const QString& hicolorRoot) {
    const QIcon installed = LoadMainIcon(hicolorRoot);
    if (!installed.isNull()) {
        return installed;
    }
    return Make(kMainDisc, Qt::white, 0);
}

QIcon MainIcon() {
    return MainIconFrom(IconThemeFolder(QCoreApplication::applicationDirPath()));
}
QIcon TalkIcon() {
    return Make(QColor(), QColor(20, 150, 40), 0);
}
QIcon HangUpIcon() {
    return Make(QColor(), QColor(200, 30, 30), 135);
}
QIcon TrayPicture() {
    return Make(kMainDisc, QColor(255, 230, 120), 0);
}

QPixmap LockPixmap(bool closed, const QColor& colour, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    // The shackle: an arch over the body, lifted and turned aside when open.
    QPen pen(colour, 1.8);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    QPainterPath shackle;
    const double lift = closed ? 0 : 2.5;
    shackle.moveTo(4.5, 8 - lift);
    shackle.lineTo(4.5, 5 - lift);
    shackle.arcTo(QRectF(4.5, 1.5 - lift, 7, 7), 180, -180);
    shackle.lineTo(11.5, closed ? 8 : 5 - lift);
    p.drawPath(shackle);
    // The body with its keyhole.
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(2.5, 7.5, 11, 8), 1.5, 1.5);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(8, 11), 1.2, 1.2);
    return pixmap;
}

}  // namespace icons
