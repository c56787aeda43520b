#pragma once

#include <QString>

// Starting the client with the desktop session: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/zorvo.desktop, whose Exec line starts the program hidden ("DontShow").
namespace autostart {

// Where the entry lives.
QString EntryPath();

// True when the entry exists.
bool IsOn();

// The Exec value for `program`: the path quoted as the desktop-entry rules require (so that
// spaces and other reserved characters survive) followed by " DontShow".
QString ExecLine(const QString& program);

// The whole desktop entry that starts `program`.
QString EntryText(const QString& program);

// Writes the entry for `program`, replacing an older one; false when it cannot be written.
bool Write(const QString& program);

// Removes the entry; a missing entry is no error.
void Remove();

}  // namespace autostart
