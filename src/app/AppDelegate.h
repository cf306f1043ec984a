#pragma once

// The controller of the main window. It owns all window state as observable properties (the
// window binds to them and calls the operations below) and runs every operation of the
// application: launch, the image queue, the preview, the export, workflow editing, presets and
// projects. It touches no widget: dialogs, the queues and the stored preferences are injected.

#include "app/ImageObject.h"
#include "app/MenuModel.h"
#include "app/services/Dialogs.h"
#include "app/services/Queues.h"
#include "app/services/UserDefaults.h"
#include "app/services/WorkContext.h"

#include "model/Filter.h"
#include "platform/WindowImage.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <vector>

namespace app {

class AppDelegate;

using Library = std::vector<std::shared_ptr<model::FilterCategory>>;

/// A library builder: runs on the global queue with the controller's work context (to post on)
/// and the start-up overlay's loading target (main queue only). It first queues its loading
/// message on the main queue, then one overlay tick per entry (the model's sample rendering does
/// that through the target).
using LibraryBuilder =
    std::function<Library(WorkContext& work, const std::shared_ptr<model::LoadingProgressTarget>& target)>;

/// What the launch calls in the layers above the model: set by the main program; an absent hook
/// is skipped (an absent library builder gives an empty library).
struct LaunchHooks {
    std::function<void()> registerFilters;
    LibraryBuilder buildActionsLibrary;
    LibraryBuilder buildEffectsLibrary;
};

struct AppServices {
    std::shared_ptr<Queues> queues;
    std::shared_ptr<Dialogs> dialogs;
    std::shared_ptr<UserDefaults> defaults;
    QString dataFolder;   ///< where the support folder "Glimmerworks" is made
    QString metadataTool; ///< the metadata tool; empty reads no metadata
    LaunchHooks hooks;
};

/// The application's own services: Qt queues, QSettings, the user's data folder, the metadata
/// tool found beside the executable or on PATH, and the registration of the own filters where
/// that layer is built. The dialogs and the library builders come from the main program.
AppServices defaultServices(std::shared_ptr<Dialogs> dialogs);

// A stored property with a getter of its own name, a setter and a change signal; moc sees the
// Q_PROPERTY and the signal, this only spares writing the bodies.
#define GW_STORED(Type, name, setter, initial)                                                               \
  public:                                                                                                    \
    const Type& name() const {                                                                               \
        return name##_;                                                                                      \
    }                                                                                                        \
    void setter(const Type& value) {                                                                         \
        if (name##_ == value)                                                                                \
            return;                                                                                          \
        name##_ = value;                                                                                     \
        Q_EMIT name##Changed();                                                                              \
    }                                                                                                        \
                                                                                                             \
  private:                                                                                                   \
    Type name##_ = initial;

class AppDelegate : public QObject {
    Q_OBJECT
    // Libraries and the workflow
    Q_PROPERTY(qint64 ActionsOrEffects READ ActionsOrEffects WRITE setActionsOrEffects NOTIFY
                   ActionsOrEffectsChanged)
    Q_PROPERTY(QString ActionsOrEffectsLabel READ ActionsOrEffectsLabel NOTIFY ActionsOrEffectsLabelChanged)
    Q_PROPERTY(bool hasFiles READ hasFiles WRITE setHasFiles NOTIFY hasFilesChanged)
    Q_PROPERTY(bool CurrentlyAddingImages READ CurrentlyAddingImages NOTIFY CurrentlyAddingImagesChanged)
    Q_PROPERTY(QString ToggleFilterTooltip READ ToggleFilterTooltip CONSTANT)
    Q_PROPERTY(QStringList AvailableFonts READ AvailableFonts CONSTANT)
    Q_PROPERTY(qint64 CurrentImagesSelection READ CurrentImagesSelection WRITE setCurrentImagesSelection
                   NOTIFY CurrentImagesSelectionChanged)
    Q_PROPERTY(qint64 CurrentFiltersSelection READ CurrentFiltersSelection WRITE setCurrentFiltersSelection
                   NOTIFY CurrentFiltersSelectionChanged)
    // Preview
    Q_PROPERTY(qint64 ActionsOrPreview READ ActionsOrPreview WRITE setActionsOrPreview NOTIFY
                   ActionsOrPreviewChanged)
    Q_PROPERTY(bool PreviewIsShown READ PreviewIsShown NOTIFY PreviewIsShownChanged)
    Q_PROPERTY(bool PreviewInProgress READ PreviewInProgress NOTIFY PreviewInProgressChanged)
    Q_PROPERTY(QString selectedOriginalImageSize READ selectedOriginalImageSize NOTIFY
                   selectedOriginalImageSizeChanged)
    Q_PROPERTY(QString selectedConvertedImageSize READ selectedConvertedImageSize NOTIFY
                   selectedConvertedImageSizeChanged)
    Q_PROPERTY(QString CurrentPreviewPath READ CurrentPreviewPath NOTIFY CurrentPreviewChanged)
    // Start-up overlay
    Q_PROPERTY(QString ProgressOverlayAction READ ProgressOverlayAction NOTIFY ProgressOverlayActionChanged)
    Q_PROPERTY(
        QString ProgressOverlayMessage READ ProgressOverlayMessage NOTIFY ProgressOverlayMessageChanged)
    Q_PROPERTY(QString ProgressOverlaySubMessage READ ProgressOverlaySubMessage NOTIFY
                   ProgressOverlaySubMessageChanged)
    Q_PROPERTY(qint64 ProgressOverlayMax READ ProgressOverlayMax NOTIFY ProgressOverlayMaxChanged)
    Q_PROPERTY(qint64 ProgressOverlayCurrent READ ProgressOverlayCurrent NOTIFY ProgressOverlayCurrentChanged)
    Q_PROPERTY(bool overlayVisible READ overlayVisible NOTIFY overlayVisibleChanged)
    Q_PROPERTY(bool wrapperHidden READ wrapperHidden NOTIFY wrapperHiddenChanged)
    // Progress sheet
    Q_PROPERTY(QString ProgressSheetAction READ ProgressSheetAction NOTIFY ProgressSheetActionChanged)
    Q_PROPERTY(QString ProgressSheetMessage READ ProgressSheetMessage NOTIFY ProgressSheetMessageChanged)
    Q_PROPERTY(
        QString ProgressSheetSubMessage READ ProgressSheetSubMessage NOTIFY ProgressSheetSubMessageChanged)
    Q_PROPERTY(qint64 ProgressSheetMax READ ProgressSheetMax NOTIFY ProgressSheetMaxChanged)
    Q_PROPERTY(qint64 ProgressSheetCurrent READ ProgressSheetCurrent NOTIFY ProgressSheetCurrentChanged)
    Q_PROPERTY(bool ProgressSheetSuccess READ ProgressSheetSuccess NOTIFY ProgressSheetSuccessChanged)
    Q_PROPERTY(
        bool ProgressSheetShowCounter READ ProgressSheetShowCounter NOTIFY ProgressSheetShowCounterChanged)
    Q_PROPERTY(qint64 ProgressSheetFailures READ ProgressSheetFailures NOTIFY ProgressSheetFailuresChanged)
    Q_PROPERTY(QStringList ProgressSheetFailedItems READ ProgressSheetFailedItems NOTIFY
                   ProgressSheetFailedItemsChanged)
    Q_PROPERTY(bool progressSheetVisible READ progressSheetVisible NOTIFY progressSheetVisibleChanged)
    Q_PROPERTY(bool ProgressSheetHidden READ ProgressSheetHidden NOTIFY ProgressSheetHiddenChanged)
    Q_PROPERTY(bool ImagesPending READ ImagesPending NOTIFY ImagesPendingChanged)
    // Export settings
    Q_PROPERTY(bool exportDialogVisible READ exportDialogVisible NOTIFY exportDialogVisibleChanged)
    Q_PROPERTY(qint64 exportDialogSelectedTab READ exportDialogSelectedTab WRITE setExportDialogSelectedTab
                   NOTIFY exportDialogSelectedTabChanged)
    Q_PROPERTY(bool exportDialogIsLastTab READ exportDialogIsLastTab NOTIFY exportDialogSelectedTabChanged)
    Q_PROPERTY(qint64 exportDialogFileFormat READ exportDialogFileFormat WRITE setExportDialogFileFormat
                   NOTIFY exportDialogFileFormatChanged)
    Q_PROPERTY(
        bool exportDialogQualityEnabled READ exportDialogQualityEnabled NOTIFY exportDialogFileFormatChanged)
    Q_PROPERTY(qint64 exportDialogQuality READ exportDialogQuality WRITE setExportDialogQuality NOTIFY
                   exportDialogQualityChanged)
    Q_PROPERTY(QString exportDialogQualityDescription READ exportDialogQualityDescription NOTIFY
                   exportDialogQualityChanged)
    Q_PROPERTY(QString exportDialogDestination READ exportDialogDestination WRITE setExportDialogDestination
                   NOTIFY exportDialogDestinationChanged)
    Q_PROPERTY(bool exportDialogDestinationDoOverwrite READ exportDialogDestinationDoOverwrite WRITE
                   setExportDialogDestinationDoOverwrite NOTIFY exportDialogDestinationDoOverwriteChanged)
    Q_PROPERTY(bool exportDialogCanStart READ exportDialogCanStart NOTIFY exportDialogDestinationChanged)
    // Presets, project, folders
    Q_PROPERTY(QString presetCurrent READ presetCurrent NOTIFY presetCurrentChanged)
    Q_PROPERTY(QUrl CurrentProjectUrl READ CurrentProjectUrl WRITE setCurrentProjectUrl NOTIFY
                   CurrentProjectUrlChanged)
    Q_PROPERTY(QString windowSubtitle READ windowSubtitle NOTIFY windowSubtitleChanged)
    Q_PROPERTY(QString mainAppSupportDir READ mainAppSupportDir NOTIFY mainAppSupportDirChanged)
    Q_PROPERTY(QString mainPresetsDir READ mainPresetsDir NOTIFY mainPresetsDirChanged)

  public:
    /// The controller's background work (see WorkContext.h for the rule every block follows).
    using Work = OwnedWork<AppDelegate>;
    /// An operation run later with the controller on the main queue, unless it has gone by then.
    using Operation = std::function<void(AppDelegate&)>;
    /// How long the destructor waits for the worker blocks that are running.
    static constexpr std::chrono::milliseconds kShutdownWait{10000};

    explicit AppDelegate(AppServices services, QObject* parent = nullptr);
    /// Closes the work context and waits (at most kShutdownWait) for running workers.
    ~AppDelegate() override;

    /// Where the window's own off-thread jobs post, under the same rule as the controller's.
    WorkContext& work() { return *work_; }

    // ---- Application life (launch sequence and delegate answers)
    void applicationDidFinishLaunching();
    void applicationWillTerminate() {}
    bool applicationSupportsSecureRestorableState() const { return true; }
    /// Closing the main window quits, as Linux desktops expect (there is no dock to come back from).
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    /// Asked before quitting: true at once while no import, export or project save runs or waits;
    /// otherwise the user is asked (the confirmation alert), and true when they confirm.
    bool applicationShouldTerminate();
    /// Brings the window back: only to the front while windows are visible, else key and front.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void doReopenWindow();
    void setUpDirectories();
    /// What the library builders hand to their loading message: this controller as the target of
    /// the start-up overlay's per-entry ticks (main queue only; inert once the controller is gone).
    const std::shared_ptr<model::LoadingProgressTarget>& loadingTarget() const { return loadingTarget_; }

    // ---- State: lists (plain accessors; each has a change signal)
    const Library& FilterActionsLibrary() const { return FilterActionsLibrary_; }
    const Library& FilterEffectsLibrary() const { return FilterEffectsLibrary_; }
    const Library& FilterLibrary() const { return FilterLibrary_; }
    void setFilterLibrary(const Library& library);
    const model::Filters& CurrentFilters() const { return CurrentFilters_; }
    void setCurrentFilters(const model::Filters& filters);
    const ImageObjects& CurrentImages() const { return CurrentImages_; }
    void setCurrentImages(const ImageObjects& images);
    /// The entries of the library view that are selected (the window keeps this current).
    void setSelectedLibraryEntries(const model::Filters& entries) { selectedLibraryEntries_ = entries; }
    /// The preview; an image without representations when there is none.
    const platform::WindowImage& CurrentPreview() const { return CurrentPreview_; }
    /// The file the preview is of (empty without a preview); with selectedOriginalImageSize and
    /// selectedConvertedImageSize it describes the preview, and changes together with it.
    const QString& CurrentPreviewPath() const { return CurrentPreviewPath_; }
    const MenuItems& presetsMenu() const { return presetsMenu_; }
    const MenuItems& actionsMenu() const { return actionsMenu_; }
    const MenuItems& effectsMenu() const { return effectsMenu_; }
    QString ToggleFilterTooltip() const { return "Click to enable/disable this filter"; }
    const QStringList& AvailableFonts() const;

    void setActionsOrEffects(const qint64& value);
    void setActionsOrPreview(const qint64& value);
    const QUrl& CurrentProjectUrl() const { return CurrentProjectUrl_; }
    void setCurrentProjectUrl(const QUrl& url);
    bool exportDialogIsLastTab() const { return exportDialogSelectedTab_ == 2; }
    bool exportDialogQualityEnabled() const {
        return exportDialogFileFormat_ == 0 || exportDialogFileFormat_ == 1;
    }
    QString exportDialogQualityDescription() const;
    bool exportDialogCanStart() const { return !exportDialogDestination_.isEmpty(); }
    qint64 ProgressOverlayCurrent() const { return ProgressOverlayCurrent_; }
    void setProgressOverlayCurrent(qint64 value);
    void setProgressOverlaySubMessage(const QString& text);

    // ---- Image queue (main queue)
    void addImages(const QList<QUrl>& urls);
    void addFile();
    void removeAllFiles();
    void removeImage(const ImageObjectPtr& image);
    void tableViewSelectionDidChange() { regeneratePreview(); }
    /// A drop of files on the images table at `row`; true when accepted.
    bool acceptImageFileDrop(const QList<QUrl>& urls, qint64 row);
    bool applicationOpenFile(const QString& path);
    void applicationOpenFiles(const QStringList& paths);
    /// A drop on one of the image drop views: folders expanded one level.
    void dropOnImageView(const QList<QUrl>& urls);
    /// A URL, or a folder's entries (one level, unfiltered, in listing order).
    static QList<QUrl> expandFolder(const QUrl& url);
    static const QStringList& imageFileExtensions();

    // ---- Preview (main queue)
    void requestPreviewRegeneration();
    void regeneratePreview();
    bool pendingGeneration() const { return pendingGeneration_; }
    static QString formatImageSize(double width, double height);

    // ---- Export (main queue)
    void showExportDialog();
    void cancelExportDialog();
    void exportDialogNext();
    void exportDialogBack();
    void exportDialogSelectFolder();
    void exportDialogStartProcessing();
    /// The export file name: base + extension, or the first free "base-N" + extension; empty when
    /// no name is free. `taken` tells whether a path has something (by default, the file system).
    static QString exportFileName(const QString& folder, const QString& base, const QString& extension,
                                  bool overwrite, const std::function<bool(const QString&)>& taken = {});

    // ---- Workflow editing (main queue)
    void addSelectedFilterToCurrent();
    void addFilterFromMenu(const MenuItem& item);
    void toggleFilterEnabled(const std::shared_ptr<model::Filter>& step);
    void enableAllFilters() { setAllFiltersEnabled(true); }
    void disableAllFilters() { setAllFiltersEnabled(false); }
    void setAllFiltersEnabled(bool enabled);
    void removeFilterFromList(const std::shared_ptr<model::Filter>& step);
    void removeAllFilters();
    /// Starts a drag from the library view (`fromLibrary`) or the workflow view: the dragged
    /// item with its `sourceIndx` set, or nullptr for an index outside the list.
    std::shared_ptr<model::Filter> pasteboardWriterForItem(bool fromLibrary, qint64 index);
    /// A drop of step data on the workflow view at index `d`; false when refused.
    bool acceptFilterDrop(const std::optional<QByteArray>& stepData, qint64 d);
    void selectImageForParam(const std::shared_ptr<model::FilterParamValue>& value);
    void pathControlClicked(const QString& path);
    static MenuItems buildFilterMenus(const Library& library);
    /// The limits of the window's split views (the window asks while a divider is dragged).
    enum class SplitView { Main, Inner, Other };
    static double splitViewMinCoordinate(SplitView view, double windowWidth, qint64 divider, double proposed);
    static double splitViewMaxCoordinate(SplitView view, double windowWidth, qint64 divider, double proposed);

    // ---- Progress (continuations get the controller on the main queue)
    void performOnMainQueue(Operation operation);
    void stepOverlayProgress(Operation continuation);
    void stepSheetProgress(Operation continuation);
    void finishProgressSheet(Operation continuation);
    void endProgressSheet();
    /// Hides the sheet; the work goes on, and ProgressSheetHidden says so while it runs or waits.
    void forceCloseProgressDialog();
    /// Brings back a sheet hidden by forceCloseProgressDialog (see ProgressSheetHidden).
    void showProgressSheet();
    void setOverlayStepper(qint64 done, qint64 times) {
        incdProgress_ = done;
        incdProgressTimes_ = times;
    }
    void setSheetStepper(qint64 done, qint64 times) {
        incdSheetProgress_ = done;
        incdSheetProgressTimes_ = times;
    }

    // ---- Confirmations
    void confirmAction(const QString& message, const QString& informative, const QString& key,
                       std::function<void()> action);

    // ---- Presets and projects
    void updatePresetsMenu();
    void loadPreset(const QString& title);
    void savePreset();
    void presetSaveCurrent();
    void presetSaveCurrentAs();
    void askPresetName();
    void newDocument();
    void openDocument();
    void loadFromDisk(const QList<QUrl>& urls);
    void saveDocument();
    void saveDocumentAs();

  Q_SIGNALS:
    void ActionsOrEffectsChanged();
    void ActionsOrEffectsLabelChanged();
    void hasFilesChanged();
    void CurrentlyAddingImagesChanged();
    void CurrentImagesSelectionChanged();
    void CurrentFiltersSelectionChanged();
    void ActionsOrPreviewChanged();
    void PreviewIsShownChanged();
    void PreviewInProgressChanged();
    void selectedOriginalImageSizeChanged();
    void selectedConvertedImageSizeChanged();
    void ProgressOverlayActionChanged();
    void ProgressOverlayMessageChanged();
    void ProgressOverlaySubMessageChanged();
    void ProgressOverlayMaxChanged();
    void ProgressOverlayCurrentChanged();
    void overlayVisibleChanged();
    void wrapperHiddenChanged();
    void ProgressSheetActionChanged();
    void ProgressSheetMessageChanged();
    void ProgressSheetSubMessageChanged();
    void ProgressSheetMaxChanged();
    void ProgressSheetCurrentChanged();
    void ProgressSheetSuccessChanged();
    void ProgressSheetShowCounterChanged();
    void ProgressSheetFailuresChanged();
    void ProgressSheetFailedItemsChanged();
    void progressSheetVisibleChanged();
    void ProgressSheetHiddenChanged();
    void ImagesPendingChanged();
    void exportDialogVisibleChanged();
    void exportDialogSelectedTabChanged();
    void exportDialogFileFormatChanged();
    void exportDialogQualityChanged();
    void exportDialogDestinationChanged();
    void exportDialogDestinationDoOverwriteChanged();
    void presetCurrentChanged();
    void CurrentProjectUrlChanged();
    void windowSubtitleChanged();
    void mainAppSupportDirChanged();
    void mainPresetsDirChanged();
    void FilterActionsLibraryChanged();
    void FilterEffectsLibraryChanged();
    void FilterLibraryChanged();
    void CurrentFiltersChanged();
    void CurrentImagesChanged();
    void CurrentPreviewChanged();
    void presetsMenuChanged();
    void actionsMenuChanged();
    void effectsMenuChanged();
    /// The window should come to the front (and become key when `makeKey`).
    void showWindowRequested(bool makeKey);
    /// The launch is over: overlay removed, split views and tables to be laid out.
    void startupFinished();
    /// One queued image has been exported (or has failed), with the time its load, chain,
    /// encoding and write took on the worker. For measuring tools; the window ignores it.
    void exportItemFinished(const QString& path, bool ok, double milliseconds);

  public:
    // Stored properties (see GW_STORED)
    GW_STORED(qint64, ActionsOrEffects, setActionsOrEffectsValue, 1)
    GW_STORED(QString, ActionsOrEffectsLabel, setActionsOrEffectsLabel, "Photo Effects")
    GW_STORED(bool, hasFiles, setHasFiles, false)
    GW_STORED(bool, CurrentlyAddingImages, setCurrentlyAddingImages, false)
    GW_STORED(qint64, CurrentImagesSelection, setCurrentImagesSelection, -1)
    GW_STORED(qint64, CurrentFiltersSelection, setCurrentFiltersSelection, -1)
    GW_STORED(qint64, ActionsOrPreview, setActionsOrPreviewValue, 0)
    GW_STORED(bool, PreviewIsShown, setPreviewIsShown, false)
    GW_STORED(bool, PreviewInProgress, setPreviewInProgress, false)
    GW_STORED(QString, selectedOriginalImageSize, setSelectedOriginalImageSize, "")
    GW_STORED(QString, selectedConvertedImageSize, setSelectedConvertedImageSize, "")
    GW_STORED(QString, ProgressOverlayAction, setProgressOverlayAction, "The action")
    GW_STORED(QString, ProgressOverlayMessage, setProgressOverlayMessage, "The message")
    GW_STORED(QString, ProgressOverlaySubMessage, setProgressOverlaySubMessageValue, "")
    GW_STORED(qint64, ProgressOverlayMax, setProgressOverlayMax, 0)
    GW_STORED(bool, overlayVisible, setOverlayVisible, false)
    GW_STORED(bool, wrapperHidden, setWrapperHidden, false)
    GW_STORED(QString, ProgressSheetAction, setProgressSheetAction, "The action")
    GW_STORED(QString, ProgressSheetMessage, setProgressSheetMessage, "The message")
    GW_STORED(QString, ProgressSheetSubMessage, setProgressSheetSubMessage, "")
    GW_STORED(qint64, ProgressSheetMax, setProgressSheetMax, 0)
    GW_STORED(qint64, ProgressSheetCurrent, setProgressSheetCurrent, 200)
    GW_STORED(bool, ProgressSheetSuccess, setProgressSheetSuccess, false)
    GW_STORED(bool, ProgressSheetShowCounter, setProgressSheetShowCounter, true)
    GW_STORED(qint64, ProgressSheetFailures, setProgressSheetFailures, 0)
    /// The items of a finished run that failed, each "name — reason".
    GW_STORED(QStringList, ProgressSheetFailedItems, setProgressSheetFailedItems, {})
    GW_STORED(bool, progressSheetVisible, setProgressSheetVisible, false)
    /// The sheet was closed while its work runs or waits, or before the failures it reports were
    /// seen: the window shows that work goes on, and showProgressSheet brings the sheet back.
    GW_STORED(bool, ProgressSheetHidden, setProgressSheetHidden, false)
    /// An import runs or waits: a run started now takes the queue as that import leaves it.
    GW_STORED(bool, ImagesPending, setImagesPending, false)
    GW_STORED(bool, exportDialogVisible, setExportDialogVisible, false)
    GW_STORED(qint64, exportDialogSelectedTab, setExportDialogSelectedTab, 0)
    GW_STORED(qint64, exportDialogFileFormat, setExportDialogFileFormat, 0)
    GW_STORED(qint64, exportDialogQuality, setExportDialogQuality, 5)
    GW_STORED(QString, exportDialogDestination, setExportDialogDestination, "")
    GW_STORED(bool, exportDialogDestinationDoOverwrite, setExportDialogDestinationDoOverwrite, true)
    GW_STORED(QString, presetCurrent, setPresetCurrent, "")
    GW_STORED(QString, windowSubtitle, setWindowSubtitle, "")
    GW_STORED(QString, mainAppSupportDir, setMainAppSupportDir, "/")
    GW_STORED(QString, mainPresetsDir, setMainPresetsDir, "/")

  private:
    struct ExportJob;
    struct ImportJob;

    void setFilterActionsLibrary(const Library& library);
    void setFilterEffectsLibrary(const Library& library);
    void setCurrentPreview(const platform::WindowImage& image, const QString& path = {});

    // Launch stages
    void startLibraryLoading();
    static void loadFilterLibraries(Work& work, const LaunchHooks& hooks,
                                    const std::shared_ptr<model::LoadingProgressTarget>& target);
    void installFilterMenus();
    void beginUIInitialization();
    void finishStartupUI();

    // Progress sheet runs: one at a time. A run asked for while another runs waits for it, and
    // the sheet says so at once.
    enum class RunKind { Import, Export, Save };
    /// What the sheet shows of the run that runs.
    struct SheetTexts {
        QString action;
        QString message;
        QString subMessage;
        qint64 current = 0;
        qint64 max = 0;
        bool showCounter = true;
    };
    struct WaitingRun {
        RunKind kind;
        QString action;
        std::function<void()> start;
    };
    void enqueueRun(RunKind kind, const QString& action, std::function<void()> start);
    /// Begins the sheet of a run with its first texts (and, for an import, the run flag).
    void beginSheetRun(RunKind kind, const SheetTexts& texts);
    /// Changes what the sheet shows of the running run; while a run waits with the sheet, only
    /// that run's line about it follows.
    void updateRunning(const std::function<void(SheetTexts&)>& change);
    /// Shows the newest waiting run, or else the running one, on the sheet's texts.
    void showSheetTexts();
    /// What the sheet's texts say now.
    SheetTexts sheetTexts() const;
    /// What the sheet shows, or would show, of the running run.
    SheetTexts runningTexts() const { return waitingRuns_.empty() ? sheetTexts() : running_; }
    /// Starts the run that has waited longest; false when none waits.
    bool startWaitingRun();
    void updateRunState();
    /// Ends a run whose items all succeeded, the sheet saying `message` and `subMessage`.
    void runFinished(const QString& message, const QString& subMessage = {});
    /// Ends a run whose items partly failed: the sheet keeps showing `message` (by default
    /// "N of M failed") and the failed items until it is closed.
    void runFinishedWithFailures(qint64 failures, qint64 total, const QString& message = {},
                                 const QStringList& failedItems = {});
    void overlayTick(Operation continuation);
    void sheetTick(Operation continuation);

    // The workers: they reach the controller only through `work` (see WorkContext.h).
    /// Appends a copy of a library entry to the workflow and selects it.
    void appendStep(const model::Filter& entry);
    /// Starts an import run; `replaceQueue` empties the queue first (a project's images).
    void startImport(QList<QUrl> urls, bool replaceQueue);
    static void importImagesWorker(Work& work, const QList<QUrl>& urls, uint64_t run,
                                   const std::shared_ptr<Exif::Reader>& metadata);
    /// Builds the records of `urls` and hands each, in list order, to `each` (nullptr for a file
    /// that is no image, with the reason; a record without the metadata that the tool could not
    /// read, with why): the files are opened in parallel, their metadata read in turn. An exception goes to
    /// the console under `where`. Stops when `work` closes.
    static void
    buildRecords(WorkContext& work, const char* where, const QList<QUrl>& urls, Exif::Reader& metadata,
                 const std::function<void(const QUrl&, const ImageObjectPtr&, const std::string& why)>& each);
    /// Ends the import's sheet: `failures` of `total` files could not be added, `withoutMetadata`
    /// were added without their metadata; `items` lists them with their reasons.
    void finishImport(qint64 failures, qint64 withoutMetadata, qint64 total, const QStringList& items);
    void startExport(std::shared_ptr<ExportJob> job);
    static void exportImages(Work& work, const ExportJob& job);
    /// Saves to CurrentProjectUrl (the queue and the workflow as they are when the save runs);
    /// a save that fails gives the project `previousUrl` back.
    void beginSavingProject(const QUrl& previousUrl);
    /// Writes the document (on a worker); false when it could not be written, with the reason in
    /// `error`.
    static bool saveToDisk(const QByteArray& data, const QString& path, std::string& error);
    /// `error`: why the document was not saved; empty when it was.
    void didSaveProject(const std::string& error, const QUrl& savedUrl, const QUrl& previousUrl);
    /// Writes the workflow as the preset `name`; false (and the user told why) when it was not.
    bool writePreset(const QString& name);
    /// Tells the user in the window that something failed, and why.
    void alertFailure(const QString& message, const std::string& reason);
    void chooseProjectToOpen(bool consent);
    void chooseProjectSaveUrl();
    void saveProject();

    static void renderPreview(Work& work, uint64_t token, const std::shared_ptr<std::atomic<bool>>& cancel,
                              const ImageObjectPtr& image, model::Filters steps);
    void endPreviewRendering(uint64_t token);
    /// Asks the running preview render, if any, to stop.
    void cancelPreviewRender();
    /// Deep copies of the enabled steps, for a worker.
    model::Filters enabledStepSnapshot() const;
    void postRegeneration();

    AppServices services_;
    std::shared_ptr<model::LoadingProgressTarget> loadingTarget_;

    Library FilterActionsLibrary_;
    Library FilterEffectsLibrary_;
    Library FilterLibrary_;
    model::Filters CurrentFilters_;
    ImageObjects CurrentImages_;
    model::Filters selectedLibraryEntries_;
    platform::WindowImage CurrentPreview_;
    QString CurrentPreviewPath_;
    /// Read on a thread of its own from the start (reading the font database takes a good part
    /// of a tenth of a second, which the start of a run need not wait for), taken when first
    /// asked for.
    mutable std::optional<QStringList> AvailableFonts_;
    mutable std::future<QStringList> fontsReading_;
    QUrl CurrentProjectUrl_;
    MenuItems presetsMenu_;
    MenuItems actionsMenu_;
    MenuItems effectsMenu_;
    qint64 ProgressOverlayCurrent_ = 0;

    qint64 incdProgress_ = 0;
    qint64 incdProgressTimes_ = 20;
    qint64 incdSheetProgress_ = 0;
    qint64 incdSheetProgressTimes_ = 20;

    // Preview
    bool pendingGeneration_ = false;
    /// A render of the present state is to follow the one that runs (at most one runs at a time).
    bool previewWanted_ = false;
    uint64_t previewToken_ = 0;
    /// A render's worker runs (perhaps cancelled); its end arrives through endPreviewRendering.
    bool previewRendering_ = false;
    std::shared_ptr<std::atomic<bool>> previewCancel_;
    /// A preview was asked for while an export ran: it is rendered when the run ends.
    bool previewAfterExport_ = false;

    // Progress sheet runs
    bool runActive_ = false;
    RunKind runKind_ = RunKind::Import;
    uint64_t runId_ = 0;
    SheetTexts running_;
    std::deque<WaitingRun> waitingRuns_;

    std::shared_ptr<Work> work_;
    /// The metadata tool, kept running between reads; shared with the workers that read.
    std::shared_ptr<Exif::Reader> metadata_;
    uint64_t observerToken_ = 0;
};

#undef GW_STORED

} // namespace app
