#pragma once

#include <QString>
#include <QStringList>

namespace testsupport {

// Runs `program` with `arguments` and gives its output, standard error included; waits at most
// 10 s.
QString RunTool(const QString& program, const QStringList& arguments);

// Runs amixer with `arguments` (against whatever ALSA configuration the test set up) and gives
// its output, standard error included; waits at most 10 s.
QString Amixer(const QStringList& arguments);

}  // namespace testsupport
