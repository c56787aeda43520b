#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

// The program's icons. The program icon (window and tray) comes from the icon files installed
// with the program (share/icons/hicolor/<size>x<size>/apps/zorvo.png beside the program's bin
// folder, in the build tree as after an install); the drawing below is used where no file is
// found, and it is also what the icon files are made from.
namespace icons {
QIcon MainIcon();     // the program: a blue disc with a white handset
QIcon TalkIcon();     // a green handset
QIcon HangUpIcon();   // a red handset, lowered
QIcon TrayPicture();  // the tray hint's picture

// The in-call display's padlock, `size` pixels square: closed (an encrypted call) or open (a
// plain one), in `colour`.
QPixmap LockPixmap(bool closed, const QColor& colour, int size);

// The sizes the program icon is made and installed at.
inline constexpr int kMainIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The program icon drawn at `size` x `size` pixels.
QImage DrawMainIcon(int size);

// The program icon from the PNG files of an icon theme folder (`hicolorRoot`/<size>x<size>/apps/
// zorvo.png for every size of kMainIconSizes); a null icon when none of them can be read.
QIcon LoadMainIcon(const QString& hicolorRoot);

// The program icon from the files under `hicolorRoot`, or drawn when none can be read.
QIcon MainIconFrom(const QString& hicolorRoot);

// The icon theme folder that belongs to a program in `programDir`: <programDir>/<data>/icons/
// hicolor, where <data> is the data folder as seen from the program's folder ("../share").
QString IconThemeFolder(const QString& programDir);
}  // namespace icons
