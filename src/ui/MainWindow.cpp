#include "ui/MainWindow.h"

#include "ui/CustomControls.h"
#include "ui/DroppableImageView.h"
#include "ui/ImageConvert.h"
#include "ui/ImageQueuePanel.h"
#include "ui/LibraryPanel.h"
#include "ui/ParamEditors.h"
#include "ui/Sheets.h"
#include "ui/WorkflowPanel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace ui {

namespace {

// Previews are shown reduced to at most this many pixels on the long side: enough for any
// screen, and cheap to scale again when the window is resized.
constexpr int previewMaxSide = 3200;

QImage reduced(QImage image) {
    if (!image.isNull() && std::max(image.width(), image.height()) > previewMaxSide)
        image = image.scaled(previewMaxSide, previewMaxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

/// The shown file's path as a link: shortened in the middle to the width it is given, so that a
/// long path never widens the window.
class PathButton : public QPushButton {
  public:
    PathButton() {
        // May be narrower than its text: the layout gives it what is left.
        setSizePolicy(QSizePolicy::Preferred, sizePolicy().verticalPolicy());
    }
    void setPath(const QString& path) {
        path_ = path;
        updateGeometry();
        elide();
    }
    const QString& path() const { return path_; }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(path_) + 2 * margin, QPushButton::sizeHint().height()};
    }
    QSize minimumSizeHint() const override { return {80, QPushButton::minimumSizeHint().height()}; }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QPushButton::resizeEvent(event);
        elide();
    }

  private:
    static constexpr int margin = 14;
    void elide() {
        setText(fontMetrics().elidedText(path_, Qt::ElideMiddle, std::max(0, width() - 2 * margin)));
    }
    QString path_;
};

} // namespace

MainWindow::MainWindow(app::AppDelegate& delegate, QWidget* parent)
    : QMainWindow(parent), delegate_(delegate) {
    setObjectName("window");

    auto* content = new QWidget;
    content->setObjectName("content");
    setCentralWidget(content);
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);

    wrapper_ = new QWidget;
    wrapper_->setObjectName("wrapperView");
    contentLayout->addWidget(wrapper_);
    auto* wrapperLayout = new QVBoxLayout(wrapper_);
    wrapperLayout->setContentsMargins(0, 0, 0, 0);

    mainSplit_ = new QSplitter(Qt::Horizontal);
    mainSplit_->setObjectName("mainVerticalSplit");
    mainSplit_->setChildrenCollapsible(false);
    innerSplit_ = new QSplitter(Qt::Horizontal);
    innerSplit_->setObjectName("innerVerticalSplit");
    innerSplit_->setChildrenCollapsible(false);

    library_ = new LibraryPanel(delegate_);
    library_->setMinimumWidth(300);
    innerSplit_->addWidget(library_);

    auto* centre = new QSplitter(Qt::Vertical);
    centre->setChildrenCollapsible(false);
    centre->addWidget(buildPreviewArea());
    queue_ = new ImageQueuePanel(delegate_);
    queue_->setMinimumHeight(150);
    centre->addWidget(queue_);
    centre->setStretchFactor(0, 3);
    centre->setStretchFactor(1, 1);
    centre->setSizes({600, 240});
    innerSplit_->addWidget(centre);
    innerSplit_->setStretchFactor(1, 1);
    innerSplit_->setSizes({360, 760});
    mainSplit_->addWidget(innerSplit_);

    auto* right = new QSplitter(Qt::Vertical);
    right->setChildrenCollapsible(false);
    workflow_ = new WorkflowPanel(delegate_);
    workflow_->setMinimumHeight(160);
    params_ = new ParamPanel(delegate_);
    params_->setMinimumHeight(160);
    right->addWidget(workflow_);
    right->addWidget(params_);
    right->setSizes({280, 520});
    right->setMinimumWidth(300);
    right->setStyleSheet("QSplitter { background: #1b1b1d; }");
    mainSplit_->addWidget(right);
    rightColumn_ = right;
    mainSplit_->setStretchFactor(0, 1);
    mainSplit_->setSizes({1120, 320});
    wrapperLayout->addWidget(mainSplit_);

    overlay_ = new StartupOverlay(delegate_, content);
    progressSheet_ = new ProgressSheet(delegate_);
    exportSheet_ = new ExportSheet(delegate_);
    progressHost_ = new SheetHost(progressSheet_, content);
    progressHost_->setObjectName("progressDialog");
    exportHost_ = new SheetHost(exportSheet_, content);
    exportHost_->setObjectName("exportDialog");

    buildMenus();

    // Work that goes on behind a closed sheet, at the menu bar's end.
    workIndicator_ = new QWidget;
    auto* workLayout = new QHBoxLayout(workIndicator_);
    workLayout->setContentsMargins(6, 0, 10, 0);
    workLayout->setSpacing(8);
    workButton_ = new QToolButton;
    workButton_->setObjectName("workIndicator");
    workButton_->setAutoRaise(true);
    workButton_->setToolTip("Show the progress of the work that goes on");
    workButton_->setStyleSheet("#workIndicator { color: #a8c6f0; padding: 1px 6px; }");
    workBar_ = new QProgressBar;
    workBar_->setTextVisible(false);
    workBar_->setFixedSize(90, 6);
    workLayout->addWidget(workButton_);
    workLayout->addWidget(workBar_);
    menuBar()->setCornerWidget(workIndicator_, Qt::TopRightCorner);
    connect(workButton_, &QToolButton::clicked, this, [this] { delegate_.showProgressSheet(); });
    for (auto signal :
         {&app::AppDelegate::ProgressSheetHiddenChanged, &app::AppDelegate::ProgressSheetActionChanged,
          &app::AppDelegate::ProgressSheetMessageChanged, &app::AppDelegate::ProgressSheetCurrentChanged,
          &app::AppDelegate::ProgressSheetMaxChanged, &app::AppDelegate::ProgressSheetSuccessChanged,
          &app::AppDelegate::ProgressSheetShowCounterChanged,
          &app::AppDelegate::ProgressSheetFailuresChanged})
        connect(&delegate_, signal, this, [this] { updateWorkIndicator(); });
    updateWorkIndicator();

    connect(&delegate_, &app::AppDelegate::wrapperHiddenChanged, this,
            [this] { wrapper_->setVisible(!delegate_.wrapperHidden()); });
    connect(&delegate_, &app::AppDelegate::progressSheetVisibleChanged, this, [this] { sheetsChanged(); });
    connect(&delegate_, &app::AppDelegate::exportDialogVisibleChanged, this, [this] { sheetsChanged(); });
    connect(&delegate_, &app::AppDelegate::windowSubtitleChanged, this, [this] { updateTitle(); });
    connect(&delegate_, &app::AppDelegate::showWindowRequested, this,
            [this](bool makeKey) { reopen(makeKey); });
    connect(&delegate_, &app::AppDelegate::startupFinished, this, [this] {
        innerSplit_->setSizes({360, std::max(400, innerSplit_->width() - 360)});
    });
    wrapper_->setVisible(!delegate_.wrapperHidden());
    sheetsChanged();
    updateTitle();
    // The smallest window is what the panels need (the layout's minimum); the first size is a
    // roomy one that still fits the screen with its frame.
    QSize size(1440, 900);
    if (auto* screen = this->screen())
        size = size.boundedTo(screen->availableGeometry().size() - QSize(0, 40));
    resize(size.expandedTo(minimumSizeHint()));
}

QWidget* MainWindow::buildPreviewArea() {
    auto* area = new QWidget;
    area->setObjectName("previewArea");
    auto* layout = new QVBoxLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    previewStack_ = new QStackedWidget;
    dropZone_ = new DroppableImageView;
    dropZone_->setObjectName("imagesDropView");
    dropZone_->setDropZoneStyle(true);
    dropZone_->setPlaceholder("Drop photos here",
                              QString::fromUtf8("or choose File \u2192 Add Images\u2026 to fill the queue"));
    mainView_ = new DroppableImageView;
    mainView_->setObjectName("imagesMainView");
    mainView_->setPlaceholder("No preview", "Select an image of the queue");
    originalView_ = new DroppableImageView;
    originalView_->setObjectName("imagesPreviewView");
    originalView_->setAcceptDrops(false);
    originalView_->setPlaceholder("Loading the original", {});
    previewStack_->addWidget(dropZone_);
    previewStack_->addWidget(mainView_);
    previewStack_->addWidget(originalView_);
    layout->addWidget(previewStack_, 1);

    auto* bar = new QWidget;
    bar->setObjectName("previewBar");
    bar->setStyleSheet("#previewBar { background: #232325; border-top: 1px solid #161618; }");
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(10, 4, 10, 4);
    barLayout->setSpacing(10);
    before_ = new QPushButton("Original");
    before_->setCheckable(true);
    before_->setToolTip("Show the selected image without the workflow");
    barLayout->addWidget(before_);
    spinner_ = new Spinner;
    // Its place is kept while it is hidden, so that the bar's smallest width (and the window's,
    // when it is at its smallest) does not change with every render.
    QSizePolicy spinnerPolicy = spinner_->sizePolicy();
    spinnerPolicy.setRetainSizeWhenHidden(true);
    spinner_->setSizePolicy(spinnerPolicy);
    barLayout->addWidget(spinner_);
    originalSize_ = new QLabel;
    originalSize_->setObjectName("selectedOriginalImageSize");
    convertedSize_ = new QLabel;
    convertedSize_->setObjectName("selectedConvertedImageSize");
    originalSize_->setToolTip("Size of the selected image");
    convertedSize_->setToolTip("Size of the preview: the image after the workflow");
    // Room for five-digit sizes, so that the window's smallest width does not follow the texts.
    originalSize_->setMinimumWidth(originalSize_->fontMetrics().horizontalAdvance("00000 x 00000"));
    convertedSize_->setMinimumWidth(
        convertedSize_->fontMetrics().horizontalAdvance(QString::fromUtf8("\u2192  00000 x 00000")));
    for (auto* l : {originalSize_, convertedSize_})
        l->setStyleSheet("color: #a8a8ad;");
    barLayout->addWidget(originalSize_);
    barLayout->addWidget(convertedSize_);
    barLayout->addStretch(1);
    path_ = new PathButton;
    path_->setObjectName("pathControl");
    path_->setFlat(true);
    path_->setCursor(Qt::PointingHandCursor);
    path_->setStyleSheet(
        "QPushButton { border: 1px solid transparent; background: transparent; color: #8fb4ea;"
        " text-align: right; padding: 2px 6px; }"
        "QPushButton:hover { text-decoration: underline; }"
        "QPushButton:focus { border-color: #8cb8ff; }");
    path_->setToolTip("Show this file in the file manager");
    barLayout->addWidget(path_, 1);
    layout->addWidget(bar);

    auto drop = [this](const QList<QUrl>& urls) { delegate_.dropOnImageView(urls); };
    dropZone_->onDrop = drop;
    mainView_->onDrop = drop;

    connect(before_, &QPushButton::toggled, this,
            [this](bool on) { delegate_.setActionsOrPreview(on ? 1 : 0); });
    connect(path_, &QPushButton::clicked, this, [this] {
        const QString path = static_cast<PathButton*>(path_)->path();
        if (!path.isEmpty())
            delegate_.pathControlClicked(path);
    });
    connect(&delegate_, &app::AppDelegate::CurrentPreviewChanged, this, [this] { previewChanged(); });
    connect(&delegate_, &app::AppDelegate::PreviewInProgressChanged, this, [this] {
        spinner_->setSpinning(delegate_.PreviewInProgress());
        updatePlaceholder();
    });
    connect(&delegate_, &app::AppDelegate::CurrentlyAddingImagesChanged, this,
            [this] { updatePlaceholder(); });
    connect(&delegate_, &app::AppDelegate::PreviewIsShownChanged, this, [this] {
        QSignalBlocker block(before_);
        before_->setChecked(delegate_.PreviewIsShown());
        imagesChanged();
    });
    connect(&delegate_, &app::AppDelegate::CurrentImagesChanged, this, [this] { imagesChanged(); });
    connect(&delegate_, &app::AppDelegate::CurrentImagesSelectionChanged, this, [this] { imagesChanged(); });
    imagesChanged();
    return area;
}

app::ImageObjectPtr MainWindow::selectedImage() const {
    const auto& images = delegate_.CurrentImages();
    const qint64 selected = delegate_.CurrentImagesSelection();
    return selected >= 0 && selected < qint64(images.size()) ? images[size_t(selected)] : nullptr;
}

void MainWindow::imagesChanged() {
    const bool empty = delegate_.CurrentImages().empty();
    if (empty)
        previewStack_->setCurrentWidget(dropZone_);
    else
        previewStack_->setCurrentWidget(delegate_.PreviewIsShown() ? originalView_ : mainView_);
    before_->setEnabled(!empty);
    updatePlaceholder();
    showOriginalIfAsked();
    updateLabels();
}

void MainWindow::updateLabels() {
    // The path and the sizes describe the picture on screen: while the picture of a newly
    // selected image is being prepared, the one shown stays, and so do they.
    QString path, original, converted;
    QWidget* view = previewStack_->currentWidget();
    if (view == mainView_ && !mainView_->image().isNull()) {
        path = shown_.path;
        original = shown_.original;
        converted = shown_.converted;
    } else if (view == originalView_ && !originalView_->image().isNull()) {
        path = originalPath_;
        if (originalPath_ == shown_.path) {
            original = shown_.original;
            converted = shown_.converted;
        }
    } else if (view != dropZone_) {
        // No picture: the path says which image is selected, no size describes anything.
        if (auto image = selectedImage())
            path = image->path();
    }
    static_cast<PathButton*>(path_)->setPath(path);
    path_->setEnabled(!path.isEmpty());
    originalSize_->setText(original);
    convertedSize_->setText(converted.isEmpty() ? QString() : QString::fromUtf8("\u2192  ") + converted);
}

void MainWindow::updatePlaceholder() {
    if (!selectedImage())
        mainView_->setPlaceholder("No image selected", "Select an image of the queue");
    else if (delegate_.PreviewInProgress() || previewPending_)
        mainView_->setPlaceholder(QString::fromUtf8("Rendering the preview\u2026"), {});
    else if (delegate_.CurrentlyAddingImages())
        mainView_->setPlaceholder(QString::fromUtf8("Importing images\u2026"),
                                  "The preview follows when the import is done");
    else
        mainView_->setPlaceholder("No preview", "The workflow gives no picture for this image");
}

void MainWindow::showOriginalIfAsked() {
    auto image = selectedImage();
    if (!delegate_.PreviewIsShown() || !image) {
        return;
    }
    if (image->path() == originalPath_ && !originalView_->image().isNull())
        return;
    originalPath_ = image->path();
    originalView_->setImage({});
    const uint64_t token = ++originalToken_;
    const QString path = image->path();
    runOffThread(
        delegate_.work(), this, [path] { return reduced(loadImageFile(path)); },
        [this, token](const QImage& loaded) {
            if (token != originalToken_)
                return;
            originalView_->setImage(loaded);
            updateLabels();
        });
}

void MainWindow::previewChanged() {
    const platform::WindowImage preview = delegate_.CurrentPreview();
    const uint64_t token = ++previewToken_;
    const Shown next{delegate_.CurrentPreviewPath(), delegate_.selectedOriginalImageSize(),
                     delegate_.selectedConvertedImageSize()};
    if (!preview.isValid()) {
        previewPending_ = false;
        shown_ = {};
        mainView_->setImage({});
        updatePlaceholder();
        updateLabels();
        return;
    }
    // The preview holds computed pixels; turning them into a QImage still touches every one of
    // them, so it happens on a worker too. The labels change with the picture.
    previewPending_ = true;
    runOffThread(
        delegate_.work(), this, [preview] { return reduced(toQImage(preview)); },
        [this, token, next](const QImage& image) {
            if (token != previewToken_)
                return;
            previewPending_ = false;
            shown_ = next;
            mainView_->setImage(image);
            updateLabels();
        });
}

void MainWindow::sheetsChanged() {
    const bool progress = delegate_.progressSheetVisible();
    const bool exporting = delegate_.exportDialogVisible() && !progress;
    exportHost_->present(exporting);
    progressHost_->present(progress);
    // While a sheet is up the window's commands wait, as they would behind a modal sheet.
    menuBar()->setEnabled(!progress && !exporting);
}

void MainWindow::updateWorkIndicator() {
    const bool shown = delegate_.ProgressSheetHidden();
    workIndicator_->setVisible(shown);
    if (!shown)
        return;
    const qint64 max = delegate_.ProgressSheetMax();
    const qint64 current = std::clamp<qint64>(delegate_.ProgressSheetCurrent(), 0, std::max<qint64>(max, 0));
    QString state;
    if (delegate_.ProgressSheetSuccess())
        state = "done";
    else if (delegate_.ProgressSheetFailures() > 0 || !delegate_.ProgressSheetShowCounter())
        state = delegate_.ProgressSheetMessage();
    else
        state = QString("%1 of %2").arg(current).arg(max);
    workButton_->setText(QString::fromUtf8("%1 \u2014 %2").arg(delegate_.ProgressSheetAction(), state));
    // A run that waits, or one with no count yet, shows as busy.
    const bool counted = max > 0 || delegate_.ProgressSheetSuccess();
    workBar_->setRange(0, counted ? int(std::max<qint64>(max, 1)) : 0);
    workBar_->setValue(counted ? int(delegate_.ProgressSheetSuccess() ? std::max<qint64>(max, 1) : current)
                               : 0);
    workBar_->setVisible(delegate_.ProgressSheetFailures() == 0);
}

void MainWindow::updateTitle() {
    const QString subtitle = delegate_.windowSubtitle();
    setWindowTitle(subtitle.isEmpty() ? QString("Glimmerworks")
                                      : QString::fromUtf8("%1 \u2014 Glimmerworks").arg(subtitle));
}

void MainWindow::reopen(bool makeKey) {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    if (makeKey)
        activateWindow();
}

void MainWindow::applySplitLimits() {
    // The controller's limits, as sizes: the main divider stays right of the window's middle,
    // the library at least 360 wide and no wider than half the window less 179.
    using app::AppDelegate;
    const double w = width();
    const double mainMin = AppDelegate::splitViewMinCoordinate(AppDelegate::SplitView::Main, w, 0, 0);
    rightColumn_->setMaximumWidth(std::max(rightColumn_->minimumWidth(), int(w - mainMin)));
    const double innerMin = AppDelegate::splitViewMinCoordinate(AppDelegate::SplitView::Inner, w, 0, 0);
    const double innerMax = AppDelegate::splitViewMaxCoordinate(AppDelegate::SplitView::Inner, w, 0, w);
    library_->setMinimumWidth(int(innerMin));
    library_->setMaximumWidth(std::max(int(innerMin), int(innerMax)));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    applySplitLimits();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing the window quits the application, as Linux desktops expect; an import, export or
    // save that still runs is asked about first.
    if (!delegate_.applicationShouldTerminateAfterLastWindowClosed()) {
        hide();
        event->ignore();
        return;
    }
    if (!delegate_.applicationShouldTerminate()) {
        event->ignore();
        return;
    }
    event->accept();
    Q_EMIT quitRequested();
}

// ---------------------------------------------------------------- menus

void MainWindow::buildMenus() {
    auto* bar = menuBar();
    fileMenu_ = bar->addMenu("&File");
    auto add = [this](QMenu* menu, const QString& title, const QKeySequence& keys, auto&& slot) {
        QAction* action = menu->addAction(title);
        if (!keys.isEmpty())
            action->setShortcut(keys);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    add(fileMenu_, "New", QKeySequence::New, [this] { delegate_.newDocument(); });
    add(fileMenu_, QString::fromUtf8("Open\u2026"), QKeySequence::Open, [this] { delegate_.openDocument(); });
    fileMenu_->addSeparator();
    add(fileMenu_, "Save", QKeySequence::Save, [this] { delegate_.saveDocument(); });
    add(fileMenu_, QString::fromUtf8("Save As\u2026"), QKeySequence::SaveAs,
        [this] { delegate_.saveDocumentAs(); });
    fileMenu_->addSeparator();
    add(fileMenu_, QString::fromUtf8("Add Images\u2026"), QKeySequence("Ctrl+I"),
        [this] { delegate_.addFile(); });
    add(fileMenu_, QString::fromUtf8("Export\u2026"), QKeySequence("Ctrl+E"), [this] {
        if (!delegate_.CurrentImages().empty())
            delegate_.showExportDialog();
    });
    fileMenu_->addSeparator();
    // Quitting is closing the window: the same question while work runs. The window holds the
    // command too, so that its keys still work while a sheet has put the menu bar out of reach.
    // Ctrl+Q by name: some platform themes bind no key to the standard Quit.
    addAction(add(fileMenu_, "Quit", QKeySequence("Ctrl+Q"), [this] { close(); }));

    presetsMenu_ = new CustomMenu("&Presets", this);
    bar->addMenu(presetsMenu_);
    actionsMenu_ = new CustomMenu("&Actions", this);
    bar->addMenu(actionsMenu_);
    effectsMenu_ = new CustomMenu("Photo &Effects", this);
    bar->addMenu(effectsMenu_);

    auto* windowMenu = bar->addMenu("&Window");
    add(windowMenu, "Minimize", QKeySequence("Ctrl+M"), [this] { showMinimized(); });
    add(windowMenu, "Glimmerworks", QKeySequence(), [this] { delegate_.doReopenWindow(); });

    connect(&delegate_, &app::AppDelegate::presetsMenuChanged, this, [this] { rebuildPresetsMenu(); });
    connect(&delegate_, &app::AppDelegate::presetCurrentChanged, this, [this] { rebuildPresetsMenu(); });
    connect(&delegate_, &app::AppDelegate::actionsMenuChanged, this,
            [this] { rebuildFilterMenu(actionsMenu_, delegate_.actionsMenu()); });
    connect(&delegate_, &app::AppDelegate::effectsMenuChanged, this,
            [this] { rebuildFilterMenu(effectsMenu_, delegate_.effectsMenu()); });
    rebuildPresetsMenu();
    rebuildFilterMenu(actionsMenu_, delegate_.actionsMenu());
    rebuildFilterMenu(effectsMenu_, delegate_.effectsMenu());
}

void MainWindow::rebuildPresetsMenu() {
    presetsMenu_->clear();
    for (const auto& item : delegate_.presetsMenu()) {
        QAction* action = presetsMenu_->addItemWithTitle(item.title);
        if (action->isSeparator())
            continue;
        action->setCheckable(true);
        action->setChecked(item.checked);
        const QString title = item.title;
        connect(action, &QAction::triggered, this, [this, title] { delegate_.loadPreset(title); });
    }
    if (!delegate_.presetsMenu().empty())
        presetsMenu_->addSeparator();
    QAction* save = presetsMenu_->addAction("Save Preset");
    connect(save, &QAction::triggered, this, [this] { delegate_.presetSaveCurrent(); });
    QAction* saveAs = presetsMenu_->addAction(QString::fromUtf8("Save Preset As\u2026"));
    connect(saveAs, &QAction::triggered, this, [this] { delegate_.presetSaveCurrentAs(); });
}

void MainWindow::fillMenu(CustomMenu* menu, const app::MenuItems& items) {
    for (const auto& item : items) {
        if (item.separator) {
            menu->addSeparator();
            continue;
        }
        if (!item.submenu.empty() || !item.representedFilter) {
            auto* sub = new CustomMenu(item.title, menu);
            fillMenu(sub, item.submenu);
            QAction* action = menu->addItemWithTitle(item.title);
            if (!action->isSeparator())
                action->setMenu(sub);
            continue;
        }
        QAction* action = menu->addItemWithTitle(item.title);
        if (action->isSeparator())
            continue;
        action->setToolTip(item.representedFilter->qTooltip());
        app::MenuItem copy = item;
        connect(action, &QAction::triggered, this, [this, copy] { delegate_.addFilterFromMenu(copy); });
    }
}

void MainWindow::rebuildFilterMenu(CustomMenu* menu, const app::MenuItems& items) {
    menu->clear();
    fillMenu(menu, items);
    menu->setToolTipsVisible(true);
    menu->menuAction()->setEnabled(!items.empty());
}

} // namespace ui
