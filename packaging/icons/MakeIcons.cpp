// zorvo-make-icons: writes the program icon as PNG files into an icon theme folder,
// <folder>/<size>x<size>/apps/zorvo.png for every size the client loads, drawn by the same code
// the client falls back to when it finds no icon file.

#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstring>

#include "app/shell/Icons.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "usage: zorvo-make-icons FOLDER\n"
            "Writes the Zorvo program icon as FOLDER/<size>x<size>/apps/zorvo.png.\n");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zorvo-make-icons %s\n", ZORVO_VERSION);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
        std::fprintf(stderr,
                     "zorvo-make-icons: give the icon theme folder to write (see --help)\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int size : icons::kMainIconSizes) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString file = folder + "/zorvo.png";
        if (!QDir().mkpath(folder) || !icons::DrawMainIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "zorvo-make-icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
