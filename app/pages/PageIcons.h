#pragma once

#include <QIcon>

// The small icons of the page trees: the root of a list, a buddy, a buddy who is online.
namespace PageIcons {
QIcon Root();
QIcon Buddy();
QIcon Online();
}  // namespace PageIcons
