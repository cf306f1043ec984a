#include "ui/ScreenshotTour.h"

#include "ui/LibraryPanel.h"
#include "ui/MainWindow.h"
#include "ui/WorkflowPanel.h"

#include "app/AppDelegate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QListView>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <functional>
#include <memory>

namespace ui {

namespace {

/// Polls `ready` every 100 ms, then runs `next` (also after `timeoutMs` at the latest).
void when(std::function<bool()> ready, std::function<void()> next, int timeoutMs = 60000) {
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [ready, next, clock, poll, timeoutMs] {
        if (ready() || clock->elapsed() > timeoutMs) {
            next();
            *poll = nullptr; // breaks the cycle
            return;
        }
        QTimer::singleShot(100, *poll);
    };
    QTimer::singleShot(100, *poll);
}

void save(MainWindow& window, const QString& folder, const QString& name) {
    QApplication::processEvents();
    // The whole screen, so that popups and the window frame come out as a person sees them.
    QPixmap shot;
    if (auto* screen = window.screen(); screen && QGuiApplication::platformName() == "xcb")
        shot = screen->grabWindow(0, window.x(), window.y(), window.frameGeometry().width(),
                                  window.frameGeometry().height());
    if (shot.isNull())
        shot = window.grab();
    const QString path = QDir(folder).filePath(name);
    shot.save(path);
    std::fprintf(stderr, "screenshot: %s\n", qPrintable(path));
}

} // namespace

void startScreenshotTour(app::AppDelegate& delegate, MainWindow& window, const QString& folder,
                         const QStringList& photos) {
    QDir().mkpath(folder);
    // As a person would run it on this screen: the window fills the screen.
    if (auto* screen = window.screen())
        window.setGeometry(screen->availableGeometry());
    auto exportDir = std::make_shared<QTemporaryDir>();
    app::AppDelegate* d = &delegate;
    MainWindow* w = &window;
    auto idle = [d, w] {
        return !d->overlayVisible() && !d->progressSheetVisible() && !d->PreviewInProgress() &&
               !d->pendingGeneration() && !w->previewPending();
    };
    when([d] { return !d->overlayVisible() && !d->FilterLibrary().empty(); },
         [=] {
             QTimer::singleShot(1500, [=] {
                 save(*w, folder, "1-empty.png");
                 QList<QUrl> urls;
                 for (const auto& p : photos)
                     urls << QUrl::fromLocalFile(QFileInfo(p).absoluteFilePath());
                 d->addImages(urls);
                 // One step from each library, the first of them selected with its parameters shown.
                 d->setActionsOrEffects(0);
                 for (const auto& category : d->FilterLibrary())
                     if (category && category->qName() == "Color Adjustment" &&
                         !category->filters().empty()) {
                         d->setSelectedLibraryEntries({category->filters().front()});
                         d->addSelectedFilterToCurrent();
                     }
                 d->setActionsOrEffects(1);
                 if (!d->FilterLibrary().empty() && d->FilterLibrary().front() &&
                     !d->FilterLibrary().front()->filters().empty()) {
                     d->setSelectedLibraryEntries({d->FilterLibrary().front()->filters().front()});
                     d->addSelectedFilterToCurrent();
                 }
                 d->setCurrentFiltersSelection(0);
                 when([=] { return !d->CurrentImages().empty() && idle(); },
                      [=] {
                          // The keyboard on the workflow, to show its focus ring.
                          w->activateWindow();
                          w->workflow()->list()->setFocus(Qt::TabFocusReason);
                          QTimer::singleShot(2500, [=] {
                              when(idle, [=] {
                                  save(*w, folder, "2-queue-preview.png");
                                  d->showExportDialog();
                                  d->setExportDialogFileFormat(1);
                                  d->setExportDialogQuality(4);
                                  QTimer::singleShot(500, [=] {
                                      save(*w, folder, "3-export-sheet.png");
                                      d->setExportDialogDestination(exportDir->path());
                                      d->exportDialogNext();
                                      d->exportDialogNext();
                                      d->exportDialogStartProcessing();
                                      when(
                                          [d] {
                                              return d->ProgressSheetCurrent() >= 1 &&
                                                     d->progressSheetVisible();
                                          },
                                          [=] {
                                              QTimer::singleShot(300, [=] {
                                                  save(*w, folder, "4-progress-sheet.png");
                                                  when([d] { return !d->progressSheetVisible(); },
                                                       [=] {
                                                           // The smallest window the layout allows.
                                                           w->resize(w->minimumSizeHint());
                                                           QTimer::singleShot(800, [=] {
                                                               save(*w, folder, "5-smallest.png");
                                                               exportDir->remove();
                                                               QApplication::quit();
                                                           });
                                                       });
                                              });
                                          });
                                  });
                              });
                          });
                      });
             });
         },
         20000);
}

} // namespace ui
