#include "app/FailedItem.h"

namespace app {

QString failedItem(const QString& path, const std::string& why) {
    // The first line says what went wrong; a decoder may add more of the same.
    QString reason = QString::fromStdString(why).section('\n', 0, 0);
    for (const QString& form : {" (\"" + path + "\")", " \"" + path + "\"", ": " + path, " " + path, path})
        reason.replace(form, QString());
    while (reason.endsWith(':') || reason.endsWith(' ') || reason.endsWith('.'))
        reason.chop(1);
    if (reason.isEmpty())
        reason = "Not an image that can be read";
    const QString name = path.mid(path.lastIndexOf('/') + 1);
    return QString::fromUtf8("%1 \u2014 %2").arg(name.isEmpty() ? path : name, reason);
}

} // namespace app
