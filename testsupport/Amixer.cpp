#include "testsupport/Amixer.h"

#include <QProcess>

namespace testsupport {

QString Amixer(const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("amixer", arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAll());
}

}  // namespace testsupport
