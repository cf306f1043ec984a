#include "Resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <vector>

namespace platform {

std::vector<std::string> resourceDirectories() {
    std::vector<std::string> dirs;
#ifdef GW_RESOURCE_DIR
    dirs.push_back(GW_RESOURCE_DIR);
#endif
    // An installed copy keeps its images beside or below the executable.
    if (QCoreApplication::instance()) {
        const QString exe = QCoreApplication::applicationDirPath();
        dirs.push_back(QDir(exe).filePath("resources").toStdString());
        dirs.push_back(QDir(exe).filePath("../share/glimmerworks/resources").toStdString());
    }
    return dirs;
}

std::string imageResourcePath(const std::string& name) {
    static const char* const extensions[] = {"png", "jpg", "jpeg", "tiff", "tif"};
    if (name.empty() || name.find('/') != std::string::npos)
        return {};
    for (const std::string& dir : resourceDirectories()) {
        for (const char* ext : extensions) {
            const QFileInfo info(QDir(QString::fromStdString(dir)), QString::fromStdString(name) + "." + ext);
            if (info.isFile())
                return info.absoluteFilePath().toStdString();
        }
    }
    return {};
}

QUrl imageResourceUrl(const std::string& name) {
    const std::string path = imageResourcePath(name);
    return path.empty() ? QUrl() : QUrl::fromLocalFile(QString::fromStdString(path));
}

} // namespace platform
