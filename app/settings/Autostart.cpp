#include "app/settings/Autostart.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace autostart {
namespace {

// Inside a quoted Exec argument, '"', '`', '$' and '\' take a backslash; a literal '%' is written
// '%%' everywhere in the line.
QString QuoteArgument(const QString& argument) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        }
        quoted += c;
        if (c == u'%') {
            quoted += u'%';
        }
    }
    return quoted + u'"';
}

// A string value of a desktop entry escapes backslashes and control characters once more.
QString EscapeValue(const QString& value) {
    QString escaped;
    for (const QChar c : value) {
        if (c == u'\\') {
            escaped += QStringLiteral("\\\\");
        } else if (c == u'\n') {
            escaped += QStringLiteral("\\n");
        } else if (c == u'\t') {
            escaped += QStringLiteral("\\t");
        } else if (c == u'\r') {
            escaped += QStringLiteral("\\r");
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

QString EntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/zorvo.desktop");
}

bool IsOn() {
    return QFileInfo(EntryPath()).isFile();
}

QString ExecLine(const QString& program) {
    return QuoteArgument(program) + QStringLiteral(" DontShow");
}

QString EntryText(const QString& program) {
    return QStringLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Zorvo\n"
               "Comment=Talk with your buddies over the Internet or the local network\n"
               "Exec=") +
           EscapeValue(ExecLine(program)) +
           QStringLiteral(
               "\n"
               "Icon=zorvo\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n");
}

bool Write(const QString& program) {
    const QString path = EntryPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(EntryText(program).toUtf8());
    return file.commit();
}

void Remove() {
    QFile::remove(EntryPath());
}

}  // namespace autostart
