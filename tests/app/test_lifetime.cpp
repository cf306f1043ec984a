// The controller destroyed in the middle of each kind of background work: nothing queued for it
// may reach it afterwards, the workers it started stop, and only whole files are left. Run under
// AddressSanitizer (scripts/sanitize) and ThreadSanitizer (scripts/tsan) these catch any block
// that still reaches a dead controller.

#include "AppTestSupport.h"

#include "model/Project.h"
#include "platform/Dispatch.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImageReader>
#include <QTimer>

#include <functional>
#include <thread>

using apptest::Harness;

namespace {

// ---- Scripted queues: the workers have run, the main queue's blocks still wait.

/// One kind of work, started on a controller whose queue holds `image`.
struct Kind {
    const char* name;
    std::function<void(Harness&, const QString& image)> start;
};

void importNow(Harness& h, const QStringList& paths) {
    QList<QUrl> urls;
    for (const auto& path : paths)
        urls << Harness::url(path);
    h.d().addImages(urls);
    h.queues->drain();
}

app::LaunchHooks slowHooks() {
    app::LaunchHooks hooks;
    hooks.buildActionsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "Loading actions...", {{"Blur", 30}});
    };
    hooks.buildEffectsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "Loading photo effects...", {{"Vintage", 30}});
    };
    return hooks;
}

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> all = {
        {"import", [](Harness& h, const QString& image) { h.d().addImages({Harness::url(image)}); }},
        {"drop",
         [](Harness& h, const QString& image) { h.d().acceptImageFileDrop({Harness::url(image)}, 0); }},
        {"preview",
         [](Harness& h, const QString& image) {
             importNow(h, {image});
             h.queues->advance(2.1);
             h.d().regeneratePreview();
         }},
        {"export",
         [](Harness& h, const QString& image) {
             importNow(h, {image, image});
             h.queues->advance(2.1);
             h.d().setExportDialogDestination(h.folder("out"));
             h.d().exportDialogStartProcessing();
         }},
        {"save",
         [](Harness& h, const QString& image) {
             importNow(h, {image});
             h.d().setCurrentProjectUrl(Harness::url(h.dir.filePath("p.gwProject")));
             h.d().saveDocument();
         }},
        {"launch ticks",
         [](Harness& h, const QString&) {
             h.d().applicationDidFinishLaunching();
             h.queues->advance(0.35);
         }},
        {"catalogue loading",
         [](Harness& h, const QString&) {
             // Held as the loader is queued (the bar's 11th step), so that it runs below.
             QObject::connect(&h.d(), &app::AppDelegate::ProgressOverlayCurrentChanged, [&h] {
                 if (h.d().ProgressOverlayCurrent() == 11)
                     h.queues->holdGlobal = true;
             });
             h.d().applicationDidFinishLaunching();
             h.queues->advance(1.05);
             h.queues->holdGlobal = false;
         }},
        {"sheet end",
         [](Harness& h, const QString& image) {
             importNow(h, {image}); // finished: its sheet ends 2.0 s later
         }},
    };
    return all;
}

// ---- Real queues: the Qt event loop and the worker pool.

void pumpFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        pumpFor(2);
    return done();
}

/// A controller on the application's own queues.
struct Live {
    QTemporaryDir dir;
    std::unique_ptr<app::AppDelegate> delegate;

    explicit Live(app::LaunchHooks hooks = {}, QString tool = {}) {
        app::AppServices services;
        services.queues = std::make_shared<app::QtQueues>();
        services.defaults = std::make_shared<app::MemoryDefaults>();
        services.dataFolder = dir.filePath("data");
        services.metadataTool = tool;
        services.hooks = std::move(hooks);
        delegate = std::make_unique<app::AppDelegate>(std::move(services));
    }
    app::AppDelegate& d() { return *delegate; }

    /// `count` copies of a test image in a folder of their own.
    QStringList copies(const char* name, int count) {
        QDir().mkpath(dir.filePath("in"));
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            paths << dir.filePath(QString("in/photo%1.%2").arg(i).arg(QFileInfo(name).suffix()));
            QFile::copy(Harness::data(name), paths.back());
        }
        return paths;
    }
    void import(const QStringList& paths) {
        QList<QUrl> urls;
        for (const auto& path : paths)
            urls << Harness::url(path);
        d().addImages(urls);
        ASSERT_TRUE(pumpUntil([&] { return !d().CurrentlyAddingImages(); }));
    }

    /// Destroys the controller where it stands; afterwards no worker of it runs, and every block
    /// still queued for it (progress, the sheet's end, ticks) gets its turn to misbehave.
    void destroy() {
        delegate.reset();
        pumpFor(150);
        EXPECT_TRUE(platform::GlobalQueue::waitForDone(60000));
    }
};

/// The files of `folder`: each is a whole image of the export's own name.
QStringList wholeImages(const QString& folder) {
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const auto& name : names) {
        EXPECT_TRUE(name.startsWith("photo") && name.endsWith(".jpg")) << name.toStdString();
        QImageReader reader(QDir(folder).filePath(name));
        EXPECT_FALSE(reader.read().isNull()) << name.toStdString() << " is not a whole image";
    }
    return names;
}

} // namespace

TEST(Lifetime, BlocksLeftOnTheQueuesNeverReachADestroyedController) {
    for (const Kind& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        Harness h(slowHooks());
        const QString image = h.copyData("coffee.png", h.dir.filePath("photo.png"));
        kind.start(h, image);
        h.queues->drainWorkers();
        std::weak_ptr<app::WorkContext> work = h.d().work().weak_from_this();
        h.delegate.reset();
        // What the queues still hold keeps nothing of the controller alive, and running it now
        // (progress, results, ticks, the sheet's end) reaches nothing.
        EXPECT_TRUE(work.expired());
        h.queues->advance(10.0);
        EXPECT_EQ(h.queues->pendingTimed(), 0u);
    }
}

TEST(Lifetime, DestroyedDuringImportDropOrPreviewItsWorkersStop) {
    for (int at : {1, 3}) {
        // Import: destroyed after `at` images have been added, the metadata tool running.
        Live live({}, "/usr/bin/exiftool");
        const QStringList paths = live.copies("rocket.jpg", 8);
        QList<QUrl> urls;
        for (const auto& path : paths)
            urls << Harness::url(path);
        live.d().addImages(urls);
        ASSERT_TRUE(pumpUntil([&] { return live.d().CurrentImages().size() >= size_t(at); }));
        live.destroy();
    }
    for (int afterMs : {0, 40, 150}) {
        // A drop on the table: its worker reads every file before it reports.
        Live live({}, "/usr/bin/exiftool");
        QList<QUrl> urls;
        for (const auto& path : live.copies("coffee.png", 4))
            urls << Harness::url(path);
        live.d().acceptImageFileDrop(urls, 0);
        pumpFor(afterMs);
        live.destroy();
    }
    for (int afterMs : {0, 20, 80}) {
        // The preview: destroyed while the worker renders the selected image.
        Live live;
        live.import(live.copies("astronaut.png", 1));
        live.d().setCurrentFilters({model::Filter::make("Blur", "CIGaussianBlur", "")});
        live.d().regeneratePreview();
        ASSERT_TRUE(live.d().PreviewInProgress());
        pumpFor(afterMs);
        live.destroy();
    }
}

TEST(Lifetime, AnExportStoppedByItsControllerLeavesOnlyWholeFiles) {
    for (int at : {1, 4}) {
        Live live;
        live.import(live.copies("rocket.jpg", 12));
        live.d().setCurrentFilters({model::Filter::make("Invert", "CIColorInvert", "")});
        const QString out = live.dir.filePath("out");
        QDir().mkpath(out);
        live.d().setExportDialogDestination(out);
        live.d().setExportDialogFileFormat(1);
        int finished = 0;
        QObject::connect(&live.d(), &app::AppDelegate::exportItemFinished, [&] { ++finished; });
        live.d().exportDialogStartProcessing();
        ASSERT_TRUE(pumpUntil([&] { return finished >= at; }));
        live.delegate.reset();
        // The run stops with the controller: what is there now stays as it is, and is whole.
        const QStringList written = wholeImages(out);
        EXPECT_GE(written.size(), at);
        pumpFor(150);
        EXPECT_TRUE(platform::GlobalQueue::waitForDone(60000));
        EXPECT_EQ(wholeImages(out), written);
    }
}

TEST(Lifetime, ASaveAskedForJustBeforeTheEndIsWrittenWhole) {
    Live live;
    live.import(live.copies("coffee.png", 2));
    const QString path = live.dir.filePath("holiday.gwProject");
    live.d().setCurrentProjectUrl(Harness::url(path));
    live.d().saveDocument();
    live.destroy();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    auto project = model::decodeProject(file.readAll().toStdString());
    ASSERT_TRUE(project);
    EXPECT_EQ((*project)->images().size(), 2u);
    // No temporary file beside it.
    EXPECT_EQ(QDir(live.dir.path()).entryList({"holiday*"}, QDir::Files | QDir::Hidden).size(), 1);
}

TEST(Lifetime, DestroyedDuringLaunchTicksCatalogueLoadingOrTheSheetsEnd) {
    for (int afterMs : {0, 350}) {
        // The start-up ticks (0.1 s each) and the loader of two slow fake libraries.
        Live live(slowHooks());
        live.d().applicationDidFinishLaunching();
        pumpFor(afterMs);
        live.destroy();
    }
    {
        // The catalogue's own loader: every entry's sample rendered on the worker.
        Live live(app::defaultServices(nullptr).hooks);
        live.d().applicationDidFinishLaunching();
        ASSERT_TRUE(pumpUntil([&] { return live.d().ProgressOverlayCurrent() >= 20; }));
        live.destroy();
    }
    {
        // A finished export whose sheet ends 2.0 s later.
        Live live;
        live.import(live.copies("coffee.png", 1));
        live.d().setExportDialogDestination(live.dir.filePath("out"));
        QDir().mkpath(live.dir.filePath("out"));
        live.d().exportDialogStartProcessing();
        ASSERT_TRUE(pumpUntil([&] { return live.d().ProgressSheetSuccess(); }));
        live.destroy();
        pumpFor(2100);
    }
}
