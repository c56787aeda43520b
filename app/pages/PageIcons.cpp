#include "app/pages/PageIcons.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

namespace {

// A 16 x 16 head-and-shoulders figure in one colour.
QIcon Figure(const QColor& colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(160));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(5, 1, 6, 6));
    painter.drawRoundedRect(QRectF(2.5, 8.5, 11, 6.5), 3, 3);
    return QIcon(pixmap);
}

}  // namespace

namespace PageIcons {

QIcon Root() {
    return QApplication::style()->standardIcon(QStyle::SP_DirIcon);
}
QIcon Buddy() {
    return Figure(QColor(70, 110, 200));
}
QIcon Online() {
    return Figure(QColor(40, 170, 60));
}

}  // namespace PageIcons
