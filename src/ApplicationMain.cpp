#include "ApplicationMain.h"

#include "ui/MainWindow.h"
#include "ui/ScreenshotTour.h"
#include "ui/SingleInstance.h"
#include "ui/Theme.h"
#include "ui/UiDialogs.h"

#include "app/AppDelegate.h"
#include "platform/Dispatch.h"
#include "platform/FilePath.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QIcon applicationIcon() {
    QIcon icon;
    const QDir icons(QStringLiteral(GW_RESOURCE_DIR "/icons"));
    for (const char* name : {"glimmerworks.svg", "glimmerworks-256.png", "glimmerworks-64.png"})
        if (icons.exists(QString(name)))
            icon.addFile(icons.filePath(QString(name)));
    return QIcon::fromTheme("glimmerworks", icon);
}

/// A termination request (SIGTERM from the session or `kill`, SIGINT, SIGHUP) ends the program as
/// a confirmed Quit does, so that the background work ends in order and no file is left
/// half-written. Nobody is asked: the session does not wait for an answer. The handler only
/// writes to a socket; the event loop reads it.
class TerminationSignals {
  public:
    TerminationSignals() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0)
            return;
        writeEnd() = fds_[1];
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char byte = 0;
            [[maybe_unused]] const auto n = ::read(fds_[0], &byte, 1);
            // Not quit(): that closes the windows first, and the main window asks while work
            // runs. Leaving every event loop (an alert's too) goes straight to the teardown
            // that follows a confirmed Quit.
            QCoreApplication::exit(0);
        });
        struct sigaction action = {};
        action.sa_handler = [](int) {
            const char byte = 1;
            [[maybe_unused]] const auto n = ::write(writeEnd(), &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(sig, &action, nullptr);
    }

  private:
    static int& writeEnd() {
        static int fd = -1;
        return fd;
    }
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

/// The window and its controller for one run of the event loop; the exit status. On return the
/// window goes first, then the controller, which stops its background work and waits for the
/// workers that are still running.
int runApplication(QApplication& application, ui::SingleInstance& instance, const QStringList& paths,
                   const QString& screenshots, const ApplicationStarted& started) {
    auto dialogs = std::make_shared<ui::UiDialogs>();
    // The controller's own services, with the filters and both libraries of the application.
    app::AppServices services = app::defaultServices(dialogs);
    app::AppDelegate delegate(services);
    ui::MainWindow window(delegate);
    dialogs->setParentWidget(&window);
    QObject::connect(&window, &ui::MainWindow::quitRequested, &application, &QApplication::quit,
                     Qt::QueuedConnection);

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
    if (started)
        started(delegate, window);
    return application.exec();
}

} // namespace

int applicationMain(int argc, char* argv[], const ApplicationStarted& started) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Glimmerworks");
    QApplication::setOrganizationName("Glimmerworks");
    QApplication::setDesktopFileName("glimmerworks");
    // The main window quits the application itself when it is closed, after asking while work
    // runs; no other window (an alert, a panel) ends it by closing.
    QApplication::setQuitOnLastWindowClosed(false);
    TerminationSignals terminationSignals;

    // The arguments as the system gave them (Qt's own options taken out): file names are bytes.
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QByteArray(argv[i]);
    const QStringList paths = platform::commandLineFiles(arguments);
    const QString screenshots = qEnvironmentVariable("GLIMMERWORKS_SCREENSHOTS");

    ui::SingleInstance instance;
    if (screenshots.isEmpty() && instance.handOver(paths))
        return 0;

    ui::applyDarkTheme(application);
    QApplication::setWindowIcon(applicationIcon());

    const int status = runApplication(application, instance, paths, screenshots, started);
    if (!platform::GlobalQueue::waitForDone(int(app::AppDelegate::kShutdownWait.count()))) {
        // A worker that would not stop computes nothing that is kept, and every file it may have
        // begun is written atomically: leave without tearing down what it still uses.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
