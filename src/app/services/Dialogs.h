#pragma once

// Modal alerts and file panels, as an injectable service: the window layer supplies the Qt
// widget implementation, tests a scripted one. Every call blocks until the user answers.

#include <QString>
#include <QStringList>

#include <optional>

namespace app {

struct AlertRequest {
    QString message;
    QString informativeText;
    QStringList buttons;       ///< in order; the first is the default ("OK")
    QString suppressionTitle;  ///< empty: no suppression box
    bool hasTextField = false; ///< a 200 x 24 text field as accessory, initially empty
    bool darkAppearance = true;
};

struct AlertResponse {
    int button = 0; ///< index into the request's buttons
    bool suppressionChecked = false;
    QString text; ///< the text field's content
};

struct OpenPanelRequest {
    bool allowsMultipleSelection = false;
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    QStringList allowedExtensions; ///< empty: any file
};

struct SavePanelRequest {
    QStringList allowedExtensions;
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    virtual AlertResponse runAlert(const AlertRequest& request) = 0;
    /// The chosen paths in the panel's order, or nothing when cancelled.
    virtual std::optional<QStringList> runOpenPanel(const OpenPanelRequest& request) = 0;
    /// The chosen path (with the extension added), or nothing when cancelled.
    virtual std::optional<QString> runSavePanel(const SavePanelRequest& request) = 0;
    /// Shows a file in the desktop's file viewer.
    virtual void revealInFileViewer(const QString& path) { (void)path; }
};

} // namespace app
