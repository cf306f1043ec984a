// Runs the whole application and quits it while one kind of work runs; scripts/quit-during-work
// calls it many times on a virtual screen and counts crashes.
//
//   quit_driver run KIND HOW DELAY_MS WORKDIR
//       KIND  launch (with the images on the command line) | import | preview | export | save |
//             sheet-end (after an import has ended, while its sheet waits to close)
//       HOW   menu (File > Quit) | signal (SIGTERM) | close (the window closed, as by the window
//             manager); a question before quitting while work runs is confirmed, except after
//             SIGTERM, which must end the program without one (exit status 4 when asked)
//       The images come from WORKDIR/in; an export writes into WORKDIR/out, a save to
//       WORKDIR/work.gwProject. The exit status is the application's.
//   quit_driver check WORKDIR
//       Exits 0 when every file in WORKDIR/out is a whole image, WORKDIR/work.gwProject, if
//       there is one, is a whole project, and no file being written (a hidden ".part" name) is
//       left in WORKDIR, WORKDIR/out or the presets folder under WORKDIR/home.

#include "ApplicationMain.h"

#include "app/AppDelegate.h"
#include "model/Project.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: quit_driver run launch|import|preview|export|save|sheet-end menu|signal|close "
                 "DELAY_MS WORKDIR\n       quit_driver check WORKDIR\n");
    return 2;
}

/// Runs `next` once `ready` holds, looking every 10 ms while `context` lives.
void when(QObject* context, std::function<bool()> ready, std::function<void()> next) {
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [context, ready = std::move(ready), next = std::move(next), poll] {
        if (!ready()) {
            QTimer::singleShot(10, context, *poll);
            return;
        }
        next();
        *poll = nullptr;
    };
    QTimer::singleShot(10, context, *poll);
}

/// Confirms the question the window asks before quitting while work runs, whenever it comes. A
/// termination request is never asked about: a question then fails the run.
void confirmQuitting(ui::MainWindow& window, bool askingFails) {
    auto timer = new QTimer(&window);
    QObject::connect(timer, &QTimer::timeout, [askingFails] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal->objectName() != "alert")
            return;
        if (askingFails) {
            std::fprintf(stderr, "quit_driver: asked before ending on a termination request\n");
            std::_Exit(4);
        }
        for (QPushButton* button : modal->findChildren<QPushButton*>())
            if (button->text() == "OK") {
                std::fprintf(stderr, "quit_driver: confirmed\n");
                button->click();
                return;
            }
    });
    timer->start(20);
}

void quit(ui::MainWindow& window, const QString& how) {
    std::fprintf(stderr, "quit_driver: quitting (%s)\n", qPrintable(how));
    confirmQuitting(window, how == "signal");
    auto menuQuit = [&window] {
        for (QAction* action : window.findChildren<QAction*>())
            if (action->text() == "Quit") {
                action->trigger();
                return;
            }
        std::fprintf(stderr, "quit_driver: no Quit command\n");
        std::_Exit(3);
    };
    if (how == "signal") {
        ::kill(::getpid(), SIGTERM);
    } else if (how == "close") {
        // As the window manager asks: the window closes, which quits.
        window.close();
    } else {
        menuQuit();
    }
}

int check(const QString& workdir) {
    const int argc = 1;
    char name[] = "quit_driver";
    char* argv[] = {name, nullptr};
    int count = argc;
    QGuiApplication application(count, argv);
    int bad = 0;
    const QDir out(QDir(workdir).filePath("out"));
    for (const QString& file : out.entryList(QDir::Files | QDir::Hidden)) {
        QImageReader reader(out.filePath(file));
        if (!file.endsWith(".jpg") || reader.read().isNull()) {
            std::fprintf(stderr, "quit_driver: %s is not a whole export\n", qPrintable(file));
            ++bad;
        }
    }
    // An atomic write that never ended leaves its hidden temporary file beside the target.
    QDirIterator all(workdir, {"*.part"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (all.hasNext()) {
        std::fprintf(stderr, "quit_driver: %s was left half-written\n", qPrintable(all.next()));
        ++bad;
    }
    for (const QString& file : QDir(workdir).entryList({"work.gwProject*"}, QDir::Files | QDir::Hidden)) {
        QFile project(QDir(workdir).filePath(file));
        if (file != "work.gwProject" || !project.open(QIODevice::ReadOnly) ||
            !model::decodeProject(project.readAll().toStdString())) {
            std::fprintf(stderr, "quit_driver: %s is not a whole project\n", qPrintable(file));
            ++bad;
        }
    }
    return bad == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && QString(argv[1]) == "check")
        return check(argv[2]);
    if (argc != 6 || QString(argv[1]) != "run")
        return usage();
    const QString kind = argv[2];
    const QString how = argv[3];
    const int delay = QString(argv[4]).toInt();
    const QString workdir = argv[5];

    QList<QUrl> images;
    const QDir in(QDir(workdir).filePath("in"));
    for (const QString& file : in.entryList(QDir::Files, QDir::Name))
        images << QUrl::fromLocalFile(in.filePath(file));

    // The application sees no arguments of the driver's; launched with files, it gets the images.
    std::vector<QByteArray> names;
    if (kind == "launch")
        for (const QUrl& image : images)
            names.push_back(QFile::encodeName(image.toLocalFile()));
    std::vector<char*> appArgv{argv[0]};
    for (QByteArray& name : names)
        appArgv.push_back(name.data());
    int appArgc = int(appArgv.size());
    appArgv.push_back(nullptr);
    return applicationMain(appArgc, appArgv.data(), [=](app::AppDelegate& d, ui::MainWindow& window) {
        auto quitLater = [&window, how, delay] {
            std::fprintf(stderr, "quit_driver: work started\n");
            QTimer::singleShot(delay, &window, [&window, how] { quit(window, how); });
        };
        if (kind == "launch") {
            quitLater();
            return;
        }
        auto idle = [&d, &window] {
            return !d.overlayVisible() && !d.progressSheetVisible() && !d.CurrentlyAddingImages() &&
                   !d.PreviewInProgress() && !d.pendingGeneration() && !window.previewPending();
        };
        auto importFirst = [&d, &window, images, idle](std::function<void()> then) {
            when(
                &window, [&d] { return !d.overlayVisible(); },
                [&d, &window, images, idle, then] {
                    d.addImages(images);
                    when(&window, idle, then);
                });
        };
        if (kind == "import") {
            when(
                &window, [&d] { return !d.overlayVisible(); },
                [&d, images, quitLater] {
                    d.addImages(images);
                    quitLater();
                });
        } else if (kind == "preview") {
            importFirst([&d, quitLater] {
                // The largest image under a photo effect: the longest render of the queue.
                d.setCurrentFilters({model::Filter::make("Effect", "GWPhotoEffect42", "")});
                d.setCurrentImagesSelection(0);
                d.regeneratePreview();
                quitLater();
            });
        } else if (kind == "export") {
            importFirst([&d, workdir, quitLater] {
                d.setCurrentFilters({model::Filter::make("Effect", "GWPhotoEffect42", "")});
                QDir().mkpath(QDir(workdir).filePath("out"));
                d.showExportDialog();
                d.setExportDialogFileFormat(1);
                d.setExportDialogDestination(QDir(workdir).filePath("out"));
                d.exportDialogStartProcessing();
                quitLater();
            });
        } else if (kind == "save") {
            importFirst([&d, workdir, quitLater] {
                d.setCurrentProjectUrl(QUrl::fromLocalFile(QDir(workdir).filePath("work.gwProject")));
                d.saveDocument();
                quitLater();
            });
        } else if (kind == "sheet-end") {
            // Quits once the import has ended, in the time its sheet is still shown.
            when(
                &window, [&d] { return !d.overlayVisible(); },
                [&d, &window, images, quitLater] {
                    d.addImages(images);
                    when(
                        &window, [&d] { return d.ProgressSheetSuccess(); }, quitLater);
                });
        } else {
            std::fprintf(stderr, "quit_driver: unknown kind\n");
            std::_Exit(2);
        }
    });
}
