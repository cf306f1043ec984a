#pragma once

// What covers the window: the start-up overlay while the libraries load, and the two sheets
// (progress, export) that hang from the top of the window over a dimmed content. A sheet takes
// every click while it is shown; the controller's visibility properties show and hide them.

#include "ui/CustomControls.h"

#include "app/AppDelegate.h"

#include <QFrame>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QSlider;
class QCheckBox;
class QLineEdit;
class QButtonGroup;

namespace ui {

/// Dims the window and holds one panel centred near its top edge.
class SheetHost : public QWidget {
    Q_OBJECT
  public:
    SheetHost(QWidget* panel, QWidget* parent);
    QWidget* panel() const { return panel_; }
    /// Follows the parent's size.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void present(bool shown);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void place();
    QWidget* panel_;
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

class ProgressSheet : public QFrame {
    Q_OBJECT
  public:
    explicit ProgressSheet(app::AppDelegate& delegate, QWidget* parent = nullptr);
    QLabel* actionLabel() const { return action_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* subMessageLabel() const { return subMessage_; }
    QLabel* counterLabel() const { return counter_; }
    QLabel* successMark() const { return success_; }
    QProgressBar* bar() const { return bar_; }
    QPushButton* closeButton() const { return close_; }

  private:
    void refresh();

    app::AppDelegate& delegate_;
    QLabel* action_;
    QLabel* message_;
    QLabel* subMessage_;
    QLabel* counter_;
    QLabel* success_;
    QProgressBar* bar_;
    QPushButton* close_;
};

class ExportSheet : public QFrame {
    Q_OBJECT
  public:
    explicit ExportSheet(app::AppDelegate& delegate, QWidget* parent = nullptr);
    QStackedWidget* pages() const { return pages_; }
    QButtonGroup* formats() const { return formats_; }
    QSlider* quality() const { return quality_; }
    QLabel* qualityDescription() const { return qualityDescription_; }
    QLineEdit* destination() const { return destination_; }
    QPushButton* chooseButton() const { return choose_; }
    QCheckBox* overwrite() const { return overwrite_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* cancelButton() const { return cancel_; }

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
};

} // namespace ui
