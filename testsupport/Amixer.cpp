#include "testsupport/Amixer.h"

#include <QProcess>

namespace testsupport {

QString RunTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAll());
}

QString Amixer(const QStringList& arguments) {
    return RunTool("amixer", arguments);
}

}  // namespace testsupport
