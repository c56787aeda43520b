#include "app/shell/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace icons {
namespace {

// A telephone handset: two ear pieces joined by a curved grip.
void DrawHandset(QPainter& p, const QRectF& box, const QColor& colour, double angle) {
    p.save();
    p.translate(box.center());
    p.rotate(angle);
    const double s = box.width() / 32.0;
    p.scale(s, s);
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

QIcon Make(const QColor& disc, const QColor& handset, double angle) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF box(1, 1, size - 2, size - 2);
        if (disc.isValid()) {
            p.setBrush(disc);
            p.setPen(Qt::NoPen);
            p.drawEllipse(box);
        }
        DrawHandset(p, box.adjusted(size / 8.0, size / 8.0, -size / 8.0, -size / 8.0), handset,
                    angle);
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

QIcon MainIcon() {
    return Make(QColor(30, 90, 170), Qt::white, 0);
}
QIcon TalkIcon() {
    return Make(QColor(), QColor(20, 150, 40), 0);
}
QIcon HangUpIcon() {
    return Make(QColor(), QColor(200, 30, 30), 135);
}
QIcon TrayPicture() {
    return Make(QColor(30, 90, 170), QColor(255, 230, 120), 0);
}

}  // namespace icons
