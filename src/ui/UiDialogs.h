#pragma once

// The controller's dialogs on Qt widgets, parented to the main window once it exists, with the
// file viewer reached through the desktop's file-manager interface.

#include "app/services/WidgetDialogs.h"

#include <QDBusConnection>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace ui {

class UiDialogs : public app::Dialogs {
  public:
    void setParentWidget(QWidget* parent) {
        parent_ = parent;
        inner_ = std::make_unique<app::WidgetDialogs>(parent);
    }

    /// An alert of the window's own: the text field sits under the texts and has the focus.
    app::AlertResponse runAlert(const app::AlertRequest& request) override;
    std::optional<QStringList> runOpenPanel(const app::OpenPanelRequest& request) override {
        return inner().runOpenPanel(request);
    }
    std::optional<QString> runSavePanel(const app::SavePanelRequest& request) override {
        return inner().runSavePanel(request);
    }
    /// Asks the file manager to show the item selected; opens its folder when nobody answers.
    void revealInFileViewer(const QString& path) override;

    /// How the folder is opened when the file manager cannot be asked (replaceable for tests).
    std::function<void(const QString& folder)> openFolder;

  private:
    app::WidgetDialogs& inner() {
        if (!inner_)
            inner_ = std::make_unique<app::WidgetDialogs>(nullptr);
        return *inner_;
    }
    std::unique_ptr<app::WidgetDialogs> inner_;
    QPointer<QWidget> parent_;
};

/// Asks the file manager on `bus` to show `path` selected; `fallback` runs when that fails.
/// Does not block.
void revealWithFileManager(QDBusConnection bus, const QString& path, std::function<void()> fallback);

} // namespace ui
