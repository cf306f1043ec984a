#include "app/services/SystemServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace app {

QString userDataFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + "/.local/share";
    return folder;
}

QString metadataToolPath() {
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + "/exif/exiftool";
        QFileInfo info(beside);
        if (info.isFile() && info.isExecutable())
            return beside;
    }
    return QStandardPaths::findExecutable("exiftool");
}

std::optional<ProcessOutput> runProcess(const QString& program, const QStringList& arguments, int timeoutMs) {
    if (program.isEmpty())
        return std::nullopt;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs))
        return std::nullopt;
    if (!process.waitForFinished(timeoutMs)) {
        // A hung tool must not hold an import forever.
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    ProcessOutput out;
    out.standardOutput = process.readAllStandardOutput();
    out.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return out;
}

} // namespace app
