#pragma once

// The main window: the library, the preview with the image queue beneath it, the workflow with
// the parameters of its selected step, the menus, the start-up overlay and the two sheets. It
// shows the controller's properties and forwards every gesture to it; it keeps no state of
// its own beyond what is on screen.

#include "app/AppDelegate.h"

#include <QMainWindow>

#include <cstdint>

class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QToolButton;
class QSplitter;
class QStackedWidget;

namespace ui {

class CustomMenu;
class DroppableImageView;
class ExportSheet;
class ImageQueuePanel;
class LibraryPanel;
class ParamPanel;
class ProgressSheet;
class SheetHost;
class Spinner;
class StartupOverlay;
class WorkflowPanel;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(app::AppDelegate& delegate, QWidget* parent = nullptr);

    app::AppDelegate& delegate() { return delegate_; }
    LibraryPanel* library() const { return library_; }
    QSplitter* mainSplit() const { return mainSplit_; }
    QSplitter* innerSplit() const { return innerSplit_; }
    WorkflowPanel* workflow() const { return workflow_; }
    ParamPanel* params() const { return params_; }
    ImageQueuePanel* queue() const { return queue_; }
    DroppableImageView* mainView() const { return mainView_; }
    DroppableImageView* originalView() const { return originalView_; }
    DroppableImageView* dropZone() const { return dropZone_; }
    QStackedWidget* previewStack() const { return previewStack_; }
    Spinner* spinner() const { return spinner_; }
    QLabel* originalSizeLabel() const { return originalSize_; }
    QLabel* convertedSizeLabel() const { return convertedSize_; }
    QPushButton* beforeButton() const { return before_; }
    QPushButton* pathControl() const { return path_; }
    StartupOverlay* overlay() const { return overlay_; }
    SheetHost* progressHost() const { return progressHost_; }
    SheetHost* exportHost() const { return exportHost_; }
    ProgressSheet* progressSheet() const { return progressSheet_; }
    ExportSheet* exportSheet() const { return exportSheet_; }
    QWidget* wrapper() const { return wrapper_; }
    CustomMenu* presetsMenu() const { return presetsMenu_; }
    CustomMenu* actionsMenu() const { return actionsMenu_; }
    CustomMenu* effectsMenu() const { return effectsMenu_; }
    QMenu* fileMenu() const { return fileMenu_; }
    /// Shown while work goes on behind a closed progress sheet; a click brings the sheet back.
    QToolButton* workIndicator() const { return workButton_; }
    /// The file whose picture the main view shows (the one the path and sizes describe).
    const QString& shownPath() const { return shown_.path; }
    /// The main view's picture is being prepared on a worker.
    bool previewPending() const { return previewPending_; }

    /// Brings the window back, as a reopen request asks.
    void reopen(bool makeKey);

  Q_SIGNALS:
    /// The window has been closed (or Quit chosen) and the user agreed: the application ends.
    void quitRequested();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void buildMenus();
    QWidget* buildPreviewArea();
    void fillMenu(CustomMenu* menu, const app::MenuItems& items);
    void rebuildPresetsMenu();
    void rebuildFilterMenu(CustomMenu* menu, const app::MenuItems& items);
    void previewChanged();
    void showOriginalIfAsked();
    void updatePlaceholder();
    void imagesChanged();
    /// The path and the sizes, for the picture on screen.
    void updateLabels();
    void sheetsChanged();
    void updateWorkIndicator();
    void updateTitle();
    void applySplitLimits();
    app::ImageObjectPtr selectedImage() const;

    app::AppDelegate& delegate_;
    QWidget* wrapper_ = nullptr;
    QSplitter* mainSplit_ = nullptr;
    QSplitter* innerSplit_ = nullptr;
    QWidget* rightColumn_ = nullptr;
    LibraryPanel* library_ = nullptr;
    WorkflowPanel* workflow_ = nullptr;
    ParamPanel* params_ = nullptr;
    ImageQueuePanel* queue_ = nullptr;
    QStackedWidget* previewStack_ = nullptr;
    DroppableImageView* dropZone_ = nullptr;
    DroppableImageView* mainView_ = nullptr;
    DroppableImageView* originalView_ = nullptr;
    Spinner* spinner_ = nullptr;
    QLabel* originalSize_ = nullptr;
    QLabel* convertedSize_ = nullptr;
    QPushButton* before_ = nullptr;
    QPushButton* path_ = nullptr;
    StartupOverlay* overlay_ = nullptr;
    ProgressSheet* progressSheet_ = nullptr;
    ExportSheet* exportSheet_ = nullptr;
    SheetHost* progressHost_ = nullptr;
    SheetHost* exportHost_ = nullptr;
    QMenu* fileMenu_ = nullptr;
    CustomMenu* presetsMenu_ = nullptr;
    CustomMenu* actionsMenu_ = nullptr;
    CustomMenu* effectsMenu_ = nullptr;
    QWidget* workIndicator_ = nullptr;
    QToolButton* workButton_ = nullptr;
    QProgressBar* workBar_ = nullptr;
    uint64_t previewToken_ = 0;
    uint64_t originalToken_ = 0;
    QString originalPath_;
    /// What the picture in the main view is of; the labels describe it.
    struct Shown {
        QString path;
        QString original;
        QString converted;
    } shown_;
    bool previewPending_ = false;
};

} // namespace ui
