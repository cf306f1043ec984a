#pragma once

// The editors of the selected step's parameters: one kind per parameter value type. Each editor
// shows the model value and writes the user's edits straight into it; the model's setters post
// the change signal that regenerates the preview.

#include "app/AppDelegate.h"

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace ui {

/// The editor of one parameter, or nullptr for an unset value.
QWidget* makeParamEditor(app::AppDelegate& delegate, const std::shared_ptr<model::FilterParam>& param,
                         QWidget* parent = nullptr);

class ParamPanel : public QWidget {
    Q_OBJECT
  public:
    explicit ParamPanel(app::AppDelegate& delegate, QWidget* parent = nullptr);
    /// The step whose parameters are shown, or nullptr.
    const std::shared_ptr<model::Filter>& step() const { return step_; }
    QWidget* editorsHost() const { return host_; }

  private:
    void refresh();

    app::AppDelegate& delegate_;
    std::shared_ptr<model::Filter> step_;
    QLabel* title_;
    QLabel* subtitle_;
    QWidget* host_;
    QVBoxLayout* editors_;
};

} // namespace ui
