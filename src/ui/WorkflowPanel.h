#pragma once

// The workflow: one 33-pixel row per step (name, enable switch, information button, remove
// button), reordered by dragging rows and filled by dragging library entries onto it, with the
// enable all / disable all / remove all commands above.

#include "ui/CustomControls.h"

#include "app/AppDelegate.h"

#include <QFrame>
#include <QPointer>
#include <QWidget>

#include <vector>

class QLabel;
class QToolButton;
class QVBoxLayout;
class QScrollArea;

namespace ui {

class WorkflowPanel;

class WorkflowRow : public FilterViewController {
    Q_OBJECT
  public:
    WorkflowRow(WorkflowPanel& panel, std::shared_ptr<model::Filter> step, int index);

    const std::shared_ptr<model::Filter>& step() const { return step_; }
    int index() const { return index_; }
    void setSelected(bool selected);
    ToggleSwitch* enableSwitch() const { return switch_; }
    QToolButton* infoButton() const { return info_; }
    QToolButton* removeButton() const { return remove_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void refresh();

    WorkflowPanel& panel_;
    std::shared_ptr<model::Filter> step_;
    int index_;
    bool selected_ = false;
    QPoint pressPos_;
    bool pressed_ = false;
    QLabel* name_;
    ToggleSwitch* switch_;
    QToolButton* info_;
    QToolButton* remove_;
};

/// The rows' container and the drop target of steps. For the keyboard it is one list: the arrow
/// keys, Home and End select a step, Space switches the selected step on or off, and Delete or
/// Backspace removes it (after the same question as its remove button).
class WorkflowList : public QWidget {
    Q_OBJECT
  public:
    explicit WorkflowList(WorkflowPanel& panel);
    /// The gap a drop at `y` goes into: 0 before the first row, the row count after the last.
    int dropIndexAt(int y) const;
    int indicator() const { return indicator_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    WorkflowPanel& panel_;
    int indicator_ = -1;
};

class WorkflowPanel : public QWidget {
    Q_OBJECT
  public:
    explicit WorkflowPanel(app::AppDelegate& delegate, QWidget* parent = nullptr);

    app::AppDelegate& delegate() { return delegate_; }
    const std::vector<WorkflowRow*>& rows() const { return rows_; }
    WorkflowList* list() const { return list_; }
    QToolButton* enableAllButton() const { return enableAll_; }
    QToolButton* disableAllButton() const { return disableAll_; }
    QToolButton* removeAllButton() const { return removeAll_; }
    /// The information popover (shown beside a row's information button).
    QFrame* popover() const { return popover_; }
    QLabel* popoverLabel() const { return popoverLabel_; }

    void startDrag(int index);
    void select(int index);
    void showPopover(QWidget* anchor, const QString& text);
    /// The list's focus ring follows its keyboard focus.
    void listFocusChanged();

  private:
    void rebuild();
    void selectionChanged();

    app::AppDelegate& delegate_;
    QLabel* count_;
    QToolButton* enableAll_;
    QToolButton* disableAll_;
    QToolButton* removeAll_;
    QScrollArea* scroll_;
    WorkflowList* list_;
    QVBoxLayout* rowsLayout_;
    std::vector<WorkflowRow*> rows_;
    QFrame* popover_;
    QLabel* popoverLabel_;
    bool dragging_ = false;
    bool rebuildPending_ = false;
};

} // namespace ui
