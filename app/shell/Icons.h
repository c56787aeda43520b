#pragma once

#include <QIcon>

// The program's icons, drawn at run time.
namespace icons {
QIcon MainIcon();     // the program: a blue disc with a white handset
QIcon TalkIcon();     // a green handset
QIcon HangUpIcon();   // a red handset, lowered
QIcon TrayPicture();  // the tray hint's picture
}  // namespace icons
