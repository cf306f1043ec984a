#pragma once

// What covers the window: the start-up overlay while the libraries load, and the two sheets
// (progress, export) that hang from the top of the window over a dimmed content. A sheet takes
// every click while it is shown; the controller's visibility properties show and hide them.

#include "ui/CustomControls.h"

#include "app/AppDelegate.h"

#include <QFrame>
#include <QPointer>
#include <QWidget>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QSlider;
class QCheckBox;
class QLineEdit;
class QButtonGroup;

namespace ui {

/// The panel of a sheet: what Enter and Escape press while it is up.
class SheetPanel : public QFrame {
    Q_OBJECT
  public:
    using QFrame::QFrame;
    /// Pressed by Enter unless the focus is on another push button that takes Enter itself.
    virtual QPushButton* defaultButton() const = 0;
    /// Whether Enter presses `button` while it has the focus (a command button, by default),
    /// rather than the default button.
    virtual bool takesEnter(const QPushButton* button) const { return !button->isCheckable(); }
    /// Pressed by Escape.
    virtual QPushButton* cancelButton() const = 0;
};

/// Dims the window and holds one panel centred near its top edge. While it is shown the keyboard
/// stays with the panel: Tab cycles through the panel's controls, Enter presses the default
/// button, Escape the cancel button, and focus that lands elsewhere in the window comes back.
class SheetHost : public QWidget {
    Q_OBJECT
  public:
    SheetHost(SheetPanel* panel, QWidget* parent);
    SheetPanel* panel() const { return panel_; }
    /// Follows the parent's size.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void present(bool shown);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    void place();
    /// The panel's controls that take Tab, in focus order.
    QList<QWidget*> focusables() const;
    /// Puts the focus on the default button, or else the panel's first control.
    void focusInitial();
    void focusChanged(QWidget* now);

    SheetPanel* panel_;
    QPointer<QWidget> returnFocus_;
};

class StartupOverlay : public TranslucentView {
    Q_OBJECT
  public:
    StartupOverlay(app::AppDelegate& delegate, QWidget* parent);
    bool eventFilter(QObject* watched, QEvent* event) override;
    QLabel* actionLabel() const { return action_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* subMessageLabel() const { return subMessage_; }
    QProgressBar* bar() const { return bar_; }

  private:
    app::AppDelegate& delegate_;
    QLabel* action_;
    QLabel* message_;
    QLabel* subMessage_;
    QProgressBar* bar_;
};

class ProgressSheet : public SheetPanel {
    Q_OBJECT
  public:
    explicit ProgressSheet(app::AppDelegate& delegate, QWidget* parent = nullptr);
    QPushButton* defaultButton() const override { return close_; }
    QPushButton* cancelButton() const override { return close_; }
    QLabel* actionLabel() const { return action_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* subMessageLabel() const { return subMessage_; }
    QLabel* counterLabel() const { return counter_; }
    QLabel* successMark() const { return success_; }
    QProgressBar* bar() const { return bar_; }
    QPushButton* closeButton() const { return close_; }
    /// The items of the run that failed, with why.
    QListWidget* failedList() const { return failed_; }

  private:
    void refresh();

    app::AppDelegate& delegate_;
    QLabel* action_;
    QLabel* message_;
    QLabel* subMessage_;
    QLabel* counter_;
    QLabel* success_;
    QProgressBar* bar_;
    QListWidget* failed_;
    QPushButton* close_;
};

class ExportSheet : public SheetPanel {
    Q_OBJECT
  public:
    explicit ExportSheet(app::AppDelegate& delegate, QWidget* parent = nullptr);
    /// Next on the first two pages, Start on the last.
    QPushButton* defaultButton() const override;
    /// Choose opens the folder dialog by Enter only while no folder is chosen.
    bool takesEnter(const QPushButton* button) const override;
    QPushButton* cancelButton() const override { return cancel_; }
    QStackedWidget* pages() const { return pages_; }
    QButtonGroup* formats() const { return formats_; }
    QSlider* quality() const { return quality_; }
    QLabel* qualityDescription() const { return qualityDescription_; }
    QLineEdit* destination() const { return destination_; }
    QPushButton* chooseButton() const { return choose_; }
    QCheckBox* overwrite() const { return overwrite_; }
    /// What the run will write, on the last page.
    QLabel* summary() const { return summary_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* startButton() const { return start_; }

  private:
    void refresh();

    app::AppDelegate& delegate_;
    QLabel* step_;
    QStackedWidget* pages_;
    QButtonGroup* formats_;
    QSlider* quality_;
    QLabel* qualityTitle_;
    QLabel* qualityDescription_;
    QLineEdit* destination_;
    QPushButton* choose_;
    QCheckBox* overwrite_;
    QLabel* summary_;
    QPushButton* back_;
    QPushButton* next_;
    QPushButton* start_;
    QPushButton* cancel_;
    qint64 shownTab_ = -1;
};

} // namespace ui
