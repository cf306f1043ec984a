#include "app/AppDelegate.h"

#include "app/services/SystemServices.h"

#include "ci/core/Console.h"
#include "platform/NotificationCenter.h"

#include "catalogue/ActionsLibrary.h"
#include "catalogue/EffectsLibrary.h"
#include "filters/Registry.h"

#include <QDir>

#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QThread>
#include <algorithm>
#include <system_error>

namespace app {

namespace {

// The controller as the catalogue's per-entry tick sees it. The ticks run on the main queue, and
// once the controller has gone they change nothing.
class OverlayTarget : public model::LoadingProgressTarget {
  public:
    explicit OverlayTarget(std::weak_ptr<AppDelegate::Work> work) : work_(std::move(work)) {}
    void setProgressOverlayMessage(const QString& text) override {
        if (AppDelegate* d = delegate())
            d->setProgressOverlayMessage(text);
    }
    void setProgressOverlaySubMessage(const QString& text) override {
        if (AppDelegate* d = delegate())
            d->setProgressOverlaySubMessage(text);
    }
    qint64 ProgressOverlayCurrent() const override {
        const AppDelegate* d = delegate();
        return d ? d->ProgressOverlayCurrent() : 0;
    }
    void setProgressOverlayCurrent(qint64 value) override {
        if (AppDelegate* d = delegate())
            d->setProgressOverlayCurrent(value);
    }

  private:
    AppDelegate* delegate() const {
        const auto work = work_.lock();
        return work ? work->ownerHere() : nullptr;
    }
    std::weak_ptr<AppDelegate::Work> work_;
};

bool onMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

size_t entryCount(const Library& library) {
    size_t n = 0;
    for (const auto& category : library)
        if (category)
            n += category->filters().size();
    return n;
}

} // namespace

AppServices defaultServices(std::shared_ptr<Dialogs> dialogs) {
    AppServices services;
    services.queues = std::make_shared<QtQueues>();
    services.dialogs = std::move(dialogs);
    services.defaults = std::make_shared<SettingsDefaults>();
    services.dataFolder = userDataFolder();
    services.metadataTool = metadataToolPath();
    services.hooks.registerFilters = [] { filters::registerCustomFilters(); };
    services.hooks.buildActionsLibrary = [](WorkContext&, const auto& target) {
        return catalogue::buildActionsLibrary(target);
    };
    services.hooks.buildEffectsLibrary = [](WorkContext&, const auto& target) {
        return catalogue::buildEffectsLibrary(target);
    };
    return services;
}

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
    if (!services_.queues)
        services_.queues = std::make_shared<QtQueues>();
    work_ = std::make_shared<Work>(services_.queues, this);
    if (!services_.defaults)
        services_.defaults = std::make_shared<MemoryDefaults>();
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        try {
            fontsReading_ = std::async(std::launch::async, [] { return QFontDatabase::families(); });
        } catch (const std::system_error&) {
            // No thread to spare: read when first asked for.
        }
    }
    loadingTarget_ = std::make_shared<OverlayTarget>(work_);
    metadata_ = std::make_shared<Exif::Reader>(services_.metadataTool);
}

AppDelegate::~AppDelegate() {
    // First of all: no queued block reaches this controller any more, and the workers that run
    // end before the process goes on to tear down what they use.
    if (!work_->close(kShutdownWait))
        ci::console("AppDelegate: " + std::to_string(work_->runningWorkers()) +
                    " background task(s) still running at shutdown");
    // The metadata tool ends with the controller; a read still waiting for it gets nothing.
    metadata_->stop();
    if (observerToken_)
        platform::NotificationCenter::defaultCenter().removeObserver(observerToken_);
    if (model::loadingProgressTarget() == loadingTarget_)
        model::setLoadingProgressTarget(nullptr);
}

// ---------------------------------------------------------------- state

const QStringList& AppDelegate::AvailableFonts() const {
    if (!AvailableFonts_) {
        if (fontsReading_.valid())
            AvailableFonts_ = fontsReading_.get();
        else
            AvailableFonts_ = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                                  ? QFontDatabase::families()
                                  : QStringList();
    }
    return *AvailableFonts_;
}

void AppDelegate::setFilterActionsLibrary(const Library& library) {
    FilterActionsLibrary_ = library;
    Q_EMIT FilterActionsLibraryChanged();
}

void AppDelegate::setFilterEffectsLibrary(const Library& library) {
    FilterEffectsLibrary_ = library;
    Q_EMIT FilterEffectsLibraryChanged();
}

void AppDelegate::setFilterLibrary(const Library& library) {
    FilterLibrary_ = library;
    Q_EMIT FilterLibraryChanged();
}

void AppDelegate::setCurrentFilters(const model::Filters& filters) {
    // The selection stays on the step it was on wherever the step moves; when that step has gone
    // the place stays selected, within the list.
    const qint64 before = CurrentFiltersSelection();
    const std::shared_ptr<model::Filter> selected =
        before >= 0 && before < qint64(CurrentFilters_.size()) ? CurrentFilters_[size_t(before)] : nullptr;
    CurrentFilters_ = filters;
    const auto kept = selected ? std::find(CurrentFilters_.begin(), CurrentFilters_.end(), selected)
                               : CurrentFilters_.end();
    if (kept != CurrentFilters_.end())
        setCurrentFiltersSelection(qint64(kept - CurrentFilters_.begin()));
    else if (CurrentFiltersSelection() >= qint64(CurrentFilters_.size()))
        setCurrentFiltersSelection(CurrentFilters_.empty() ? -1 : qint64(CurrentFilters_.size()) - 1);
    Q_EMIT CurrentFiltersChanged();
}

void AppDelegate::setCurrentImages(const ImageObjects& images) {
    // The selection stays on the image it was on, wherever insertions and removals move it; the
    // preview follows when that changes which image is selected.
    const qint64 before = CurrentImagesSelection();
    const ImageObjectPtr selected =
        before >= 0 && before < qint64(CurrentImages_.size()) ? CurrentImages_[size_t(before)] : nullptr;
    CurrentImages_ = images;
    const auto kept =
        selected ? std::find(CurrentImages_.begin(), CurrentImages_.end(), selected) : CurrentImages_.end();
    if (kept != CurrentImages_.end())
        setCurrentImagesSelection(qint64(kept - CurrentImages_.begin()));
    else if (CurrentImagesSelection() >= qint64(CurrentImages_.size()))
        setCurrentImagesSelection(CurrentImages_.empty() ? -1 : qint64(CurrentImages_.size()) - 1);
    Q_EMIT CurrentImagesChanged();
    const qint64 after = CurrentImagesSelection();
    const ImageObjectPtr now =
        after >= 0 && after < qint64(CurrentImages_.size()) ? CurrentImages_[size_t(after)] : nullptr;
    if (selected && now != selected)
        regeneratePreview();
}

void AppDelegate::setCurrentPreview(const platform::WindowImage& image, const QString& path) {
    CurrentPreview_ = image;
    CurrentPreviewPath_ = image.isValid() ? path : QString();
    Q_EMIT CurrentPreviewChanged();
}

void AppDelegate::setActionsOrEffects(const qint64& value) {
    setActionsOrEffectsValue(value);
    if (value == 1) {
        setActionsOrEffectsLabel("Photo Effects");
        setFilterLibrary(FilterEffectsLibrary_);
    } else {
        setActionsOrEffectsLabel("Actions");
        setFilterLibrary(FilterActionsLibrary_);
    }
}

void AppDelegate::setCurrentProjectUrl(const QUrl& url) {
    CurrentProjectUrl_ = url;
    Q_EMIT CurrentProjectUrlChanged();
    // Always a separate main-queue block, even on the main queue.
    work_->toOwner([url](AppDelegate& d) {
        d.setWindowSubtitle(url.isEmpty() ? QString("Untitled Project")
                                          : QFileInfo(url.toLocalFile()).fileName());
    });
}

QString AppDelegate::exportDialogQualityDescription() const {
    static const char* const names[] = {"Bad", "Poor", "Average", "Good", "Excellent"};
    const qint64 q = exportDialogQuality_;
    return q >= 1 && q <= 5 ? QString(names[q - 1]) : QString();
}

void AppDelegate::setProgressOverlayCurrent(qint64 value) {
    ProgressOverlayCurrent_ = value;
    Q_EMIT ProgressOverlayCurrentChanged();
}

void AppDelegate::setProgressOverlaySubMessage(const QString& text) {
    setProgressOverlaySubMessageValue(text);
}

// ---------------------------------------------------------------- application life

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    Q_EMIT showWindowRequested(!hasVisibleWindows);
    return true;
}

void AppDelegate::doReopenWindow() {
    Q_EMIT showWindowRequested(true);
}

void AppDelegate::setUpDirectories() {
    QDir base(services_.dataFolder);
    setMainAppSupportDir(QDir::cleanPath(base.filePath("Glimmerworks")));
    setMainPresetsDir(QDir::cleanPath(QDir(mainAppSupportDir()).filePath("Presets")));
    // "Presets" is made whenever it is missing, so that saving a preset always has a folder.
    if (!QFileInfo(mainPresetsDir()).isDir())
        QDir().mkpath(mainPresetsDir());
    updatePresetsMenu();
}

void AppDelegate::applicationDidFinishLaunching() {
    setUpDirectories();
    if (services_.hooks.registerFilters)
        services_.hooks.registerFilters();

    observerToken_ = platform::NotificationCenter::defaultCenter().addObserver(
        platform::RequiresPreviewRegeneration, [weak = std::weak_ptr<Work>(work_)](const std::string&) {
            // Posted synchronously on the poster's thread; the debounce lives on the main queue.
            const auto work = weak.lock();
            if (!work)
                return;
            if (!onMainThread())
                work->toOwner([](AppDelegate& d) { d.requestPreviewRegeneration(); });
            else if (AppDelegate* d = work->ownerHere())
                d->requestPreviewRegeneration();
        });

    setWrapperHidden(true);
    setOverlayVisible(true);
    setProgressOverlayAction("Starting up");
    setProgressOverlayMessage("Loading configuration...");
    setProgressOverlaySubMessage("");
    setProgressOverlayCurrent(0);
    setProgressOverlayMax(195);
    setOverlayStepper(0, 10);
    stepOverlayProgress([](AppDelegate& d) { d.startLibraryLoading(); });
}

void AppDelegate::startLibraryLoading() {
    setProgressOverlayCurrent(ProgressOverlayCurrent() + 1);
    work_->startWorker([hooks = services_.hooks, target = loadingTarget_](Work& work) {
        loadFilterLibraries(work, hooks, target);
    });
}

void AppDelegate::loadFilterLibraries(Work& work, const LaunchHooks& hooks,
                                      const std::shared_ptr<model::LoadingProgressTarget>& target) {
    // Runs on the global queue. The libraries are stored before the blocks that read them are
    // queued; the window only reads them after the change signals, which come via the main queue.
    Library actions = hooks.buildActionsLibrary ? hooks.buildActionsLibrary(work, target) : Library{};
    if (!work.isOpen())
        return; // quitting: the second library would only be thrown away
    Library effects = hooks.buildEffectsLibrary ? hooks.buildEffectsLibrary(work, target) : Library{};
    const size_t a = entryCount(actions);
    const size_t e = entryCount(effects);
    work.toOwner([actions, effects](AppDelegate& d) {
        d.setFilterActionsLibrary(actions);
        d.setFilterEffectsLibrary(effects);
        d.installFilterMenus();
    });
    ci::console(std::to_string(a) + " actions found");
    ci::console(std::to_string(e) + " photo effects found");
    ci::console(std::to_string(a + e) + " filters found in total");
    work.toOwner([](AppDelegate& d) { d.beginUIInitialization(); });
}

void AppDelegate::installFilterMenus() {
    actionsMenu_ = buildFilterMenus(FilterActionsLibrary_);
    Q_EMIT actionsMenuChanged();
    effectsMenu_ = buildFilterMenus(FilterEffectsLibrary_);
    Q_EMIT effectsMenuChanged();
}

void AppDelegate::beginUIInitialization() {
    setWrapperHidden(false);
    setFilterLibrary(FilterEffectsLibrary_);
    setProgressOverlaySubMessage("");
    setProgressOverlayMessage("Initializing UI...");
    setOverlayStepper(0, 5);
    stepOverlayProgress(
        [](AppDelegate& d) { d.performOnMainQueue([](AppDelegate& d) { d.finishStartupUI(); }); });
}

void AppDelegate::finishStartupUI() {
    setOverlayVisible(false);
    Q_EMIT startupFinished();
}

// ---------------------------------------------------------------- progress

void AppDelegate::performOnMainQueue(Operation operation) {
    work_->toOwner(std::move(operation));
}

void AppDelegate::stepOverlayProgress(Operation continuation) {
    work_->startWorkerAfter(0.1, [continuation = std::move(continuation)](Work& work) {
        work.toOwner([continuation](AppDelegate& d) { d.overlayTick(continuation); });
    });
}

void AppDelegate::overlayTick(Operation continuation) {
    setProgressOverlayCurrent(ProgressOverlayCurrent() + 1);
    ++incdProgress_;
    if (incdProgress_ < incdProgressTimes_)
        stepOverlayProgress(std::move(continuation));
    else
        continuation(*this);
}

void AppDelegate::stepSheetProgress(Operation continuation) {
    work_->startWorkerAfter(0.1, [continuation = std::move(continuation)](Work& work) {
        work.toOwner([continuation](AppDelegate& d) { d.sheetTick(continuation); });
    });
}

void AppDelegate::sheetTick(Operation continuation) {
    updateRunning([](SheetTexts& sheet) { ++sheet.current; });
    ++incdSheetProgress_;
    if (incdSheetProgress_ < incdSheetProgressTimes_)
        stepSheetProgress(std::move(continuation));
    else
        continuation(*this);
}

void AppDelegate::finishProgressSheet(Operation continuation) {
    setProgressSheetSuccess(true);
    // The wait is kept on the global queue; the continuation gets the controller on the main queue.
    work_->startWorkerAfter(
        2.0, [continuation = std::move(continuation)](Work& work) { work.toOwner(continuation); });
}

void AppDelegate::endProgressSheet() {
    // Ending a sheet that is not shown (after a force-close) changes nothing.
    setProgressSheetVisible(false);
    setProgressSheetSuccess(false);
    setProgressSheetHidden(false);
}

void AppDelegate::forceCloseProgressDialog() {
    const bool working = runActive_ || !waitingRuns_.empty();
    endProgressSheet();
    setProgressSheetHidden(working);
}

void AppDelegate::showProgressSheet() {
    if (!ProgressSheetHidden())
        return;
    setProgressSheetHidden(false);
    setProgressSheetVisible(true);
}

void AppDelegate::enqueueRun(RunKind kind, const QString& action, std::function<void()> start) {
    if (!runActive_) {
        start();
        return;
    }
    // Shown at once, so that a run that has to wait is never mistaken for one that did nothing.
    if (waitingRuns_.empty())
        running_ = sheetTexts();
    waitingRuns_.push_back({kind, action, std::move(start)});
    updateRunState();
    setProgressSheetSuccess(false);
    setProgressSheetFailures(0);
    setProgressSheetFailedItems({});
    showSheetTexts();
    setProgressSheetHidden(false);
    setProgressSheetVisible(true);
}

AppDelegate::SheetTexts AppDelegate::sheetTexts() const {
    return {ProgressSheetAction(),  ProgressSheetMessage(), ProgressSheetSubMessage(),
            ProgressSheetCurrent(), ProgressSheetMax(),     ProgressSheetShowCounter()};
}

void AppDelegate::showSheetTexts() {
    if (waitingRuns_.empty()) {
        setProgressSheetCurrent(running_.current);
        setProgressSheetMax(running_.max);
        setProgressSheetAction(running_.action);
        setProgressSheetMessage(running_.message);
        setProgressSheetSubMessage(running_.subMessage);
        setProgressSheetShowCounter(running_.showCounter);
        return;
    }
    // The run asked for last, and how far the run it waits for has come.
    const WaitingRun& waiting = waitingRuns_.back();
    setProgressSheetCurrent(0);
    setProgressSheetMax(0);
    setProgressSheetAction(waiting.action);
    switch (runKind_) {
    case RunKind::Import:
        setProgressSheetMessage("Waiting for the import to finish");
        break;
    case RunKind::Export:
        setProgressSheetMessage("Waiting for the export to finish");
        break;
    case RunKind::Save:
        setProgressSheetMessage("Waiting for the project to be saved");
        break;
    }
    setProgressSheetSubMessage(
        running_.showCounter
            ? QString("%1: %2 of %3").arg(running_.action).arg(running_.current).arg(running_.max)
            : QString("%1: %2").arg(running_.action, running_.message));
    setProgressSheetShowCounter(false);
}

void AppDelegate::updateRunning(const std::function<void(SheetTexts&)>& change) {
    // While no run waits the sheet shows the running one: its texts are the sheet's.
    if (waitingRuns_.empty())
        running_ = sheetTexts();
    change(running_);
    showSheetTexts();
}

void AppDelegate::updateRunState() {
    bool importing = runActive_ && runKind_ == RunKind::Import;
    for (const auto& waiting : waitingRuns_)
        importing = importing || waiting.kind == RunKind::Import;
    setImagesPending(importing);
}

void AppDelegate::beginSheetRun(RunKind kind, const SheetTexts& texts) {
    runActive_ = true;
    runKind_ = kind;
    ++runId_;
    running_ = texts;
    updateRunState();
    setProgressSheetSuccess(false);
    setProgressSheetFailures(0);
    setProgressSheetFailedItems({});
    showSheetTexts();
    if (kind == RunKind::Import)
        setCurrentlyAddingImages(true);
    setProgressSheetHidden(false);
    setProgressSheetVisible(true);
}

bool AppDelegate::startWaitingRun() {
    if (waitingRuns_.empty())
        return false;
    auto next = std::move(waitingRuns_.front().start);
    waitingRuns_.pop_front();
    next();
    return true;
}

void AppDelegate::runFinishedWithFailures(qint64 failures, qint64 total, const QString& message,
                                          const QStringList& failedItems) {
    runActive_ = false;
    updateRunState();
    if (startWaitingRun())
        return;
    setProgressSheetFailures(failures);
    setProgressSheetSuccess(false);
    updateRunning([&](SheetTexts& sheet) {
        sheet.message = message.isEmpty() ? QString("%1 of %2 failed").arg(failures).arg(total) : message;
        sheet.subMessage.clear();
    });
    setProgressSheetFailedItems(failedItems);
}

void AppDelegate::runFinished(const QString& message, const QString& subMessage) {
    runActive_ = false;
    updateRunState();
    if (startWaitingRun())
        return;
    // What the run has done, beside the tick, instead of its last stage.
    updateRunning([&](SheetTexts& sheet) {
        sheet.message = message;
        sheet.subMessage = subMessage;
    });
    // Ends this run's sheet 2.0 s later unless another run has taken the sheet over by then.
    const uint64_t run = runId_;
    finishProgressSheet([run](AppDelegate& d) {
        d.performOnMainQueue([run](AppDelegate& d) {
            if (d.runId_ == run && !d.runActive_)
                d.endProgressSheet();
        });
    });
}

bool AppDelegate::applicationShouldTerminate() {
    if (!runActive_ && waitingRuns_.empty())
        return true;
    QString informative;
    switch (runKind_) {
    case RunKind::Import:
        informative = "Images are still being imported. Quitting stops the import; the images not added "
                      "yet are left out.";
        break;
    case RunKind::Export:
        informative = "Images are still being exported. Quitting stops the export after the image being "
                      "written; the files written so far remain intact.";
        break;
    case RunKind::Save:
        informative = "The project is still being saved. Quitting waits until it is written.";
        break;
    }
    // Asked every time: there is no "don't show again" for leaving work unfinished.
    bool confirmed = false;
    confirmAction("Are you sure you want to proceed?", informative, QString(),
                  [&confirmed] { confirmed = true; });
    return confirmed;
}

// ---------------------------------------------------------------- confirmations

void AppDelegate::confirmAction(const QString& message, const QString& informative, const QString& key,
                                std::function<void()> action) {
    if (!key.isEmpty() && services_.defaults->boolForKey(key)) {
        action();
        return;
    }
    AlertRequest request;
    request.message = message;
    request.informativeText = informative;
    request.buttons = {"OK", "Cancel"};
    if (!key.isEmpty())
        request.suppressionTitle = "Don't show this message again";
    const AlertResponse response =
        services_.dialogs ? services_.dialogs->runAlert(request) : AlertResponse{1, false, {}};
    if (!key.isEmpty() && response.suppressionChecked)
        services_.defaults->setBool(key, true);
    if (response.button == 0)
        action();
}

} // namespace app
