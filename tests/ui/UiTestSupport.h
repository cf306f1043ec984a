#pragma once

// A main window on a controller driven by scripted services (see tests/app), with a library of
// plain entries and helpers to feed the window real drag-and-drop events.

#include "app/AppTestSupport.h"

#include "ui/CustomControls.h"
#include "ui/DroppableImageView.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QStackedWidget>
#include <QWidget>

namespace uitest {

inline app::LaunchHooks hooks() {
    app::LaunchHooks h;
    h.buildActionsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "", {{"Blur", 3}, {"Geometry", 2}});
    };
    h.buildEffectsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "", {{"Vintage", 2}, {"---", 0}, {"Film", 1}});
    };
    return h;
}

/// The controller, launched to the end, and its window.
struct WindowHarness : apptest::Harness {
    std::unique_ptr<ui::MainWindow> window;
    explicit WindowHarness(bool launch = true) : apptest::Harness(hooks()) {
        window = std::make_unique<ui::MainWindow>(d());
        window->resize(1400, 900);
        window->show();
        if (launch) {
            d().applicationDidFinishLaunching();
            queues->advance(5.0);
        }
    }
    ~WindowHarness() {
        queues->drain();
        window.reset();
    }
    /// Runs the queues and then the window's own pending events.
    void settle(double seconds = 0) {
        queues->advance(seconds);
        QApplication::processEvents();
        queues->drain();
    }
};

/// A drag over `target` at `pos` followed by a drop: true when the drop was accepted.
inline bool dropOn(QWidget* target, const QPoint& pos, QMimeData* mime,
                   Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
    QDragEnterEvent enter(pos, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDragMoveEvent move(pos, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(QPointF(pos), actions, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

inline QMimeData* fileDrag(const QStringList& paths) {
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const auto& p : paths)
        urls << QUrl::fromLocalFile(p);
    mime->setUrls(urls);
    return mime;
}

} // namespace uitest
