// Glimmerworks: a batch photo editor. One instance per user; files given on the command line
// (or by the desktop's "open with") are queued, in the running instance if there is one.

#include "ui/MainWindow.h"
#include "ui/ScreenshotTour.h"
#include "ui/SingleInstance.h"
#include "ui/Theme.h"
#include "ui/UiDialogs.h"

#include "app/AppDelegate.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QUrl>

namespace {

/// The command line's files as absolute paths; a "file:" URL is taken as its path.
QStringList fileArguments(const QStringList& arguments) {
    QStringList paths;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument.startsWith('-'))
            continue;
        const QUrl url(argument);
        const QString path = url.isLocalFile() ? url.toLocalFile() : argument;
        paths << QFileInfo(path).absoluteFilePath();
    }
    return paths;
}

QIcon applicationIcon() {
    QIcon icon;
    const QDir icons(QStringLiteral(GW_RESOURCE_DIR "/icons"));
    for (const char* name : {"glimmerworks.svg", "glimmerworks-256.png", "glimmerworks-64.png"})
        if (icons.exists(QString(name)))
            icon.addFile(icons.filePath(QString(name)));
    return QIcon::fromTheme("glimmerworks", icon);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Glimmerworks");
    QApplication::setOrganizationName("Glimmerworks");
    QApplication::setDesktopFileName("glimmerworks");
    // Closing the window keeps the application; a later launch brings the window back.
    QApplication::setQuitOnLastWindowClosed(false);

    const QStringList paths = fileArguments(QApplication::arguments());
    const QString screenshots = qEnvironmentVariable("GLIMMERWORKS_SCREENSHOTS");

    ui::SingleInstance instance;
    if (screenshots.isEmpty() && instance.handOver(paths))
        return 0;

    ui::applyDarkTheme(application);
    QApplication::setWindowIcon(applicationIcon());

    auto dialogs = std::make_shared<ui::UiDialogs>();
    // The controller's own services, with the filters and both libraries of the application.
    app::AppServices services = app::defaultServices(dialogs);
    app::AppDelegate delegate(services);
    ui::MainWindow window(delegate);
    dialogs->setParentWidget(&window);

    if (screenshots.isEmpty()) {
        instance.listen();
        QObject::connect(&instance, &ui::SingleInstance::launched, &delegate, [&](const QStringList& files) {
            if (!files.isEmpty())
                delegate.applicationOpenFiles(files);
            delegate.applicationShouldHandleReopen(window.isVisible() && !window.isMinimized());
        });
    }

    window.show();
    delegate.applicationDidFinishLaunching();
    if (!paths.isEmpty())
        delegate.applicationOpenFiles(paths);
    if (!screenshots.isEmpty())
        ui::startScreenshotTour(
            delegate, window, screenshots,
            qEnvironmentVariable("GLIMMERWORKS_SCREENSHOT_PHOTOS").split(':', Qt::SkipEmptyParts));
    return application.exec();
}
