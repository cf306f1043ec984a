#pragma once

// A main window on a controller driven by scripted services (see tests/app), with a library of
// plain entries and helpers to feed the window real drag-and-drop events.

#include "app/AppTestSupport.h"

#include "ui/CustomControls.h"
#include "ui/DroppableImageView.h"
#include "ui/MainWindow.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDropEvent>
#include <QKeyEvent>
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
    explicit WindowHarness(bool launch = true, app::LaunchHooks launchHooks = hooks())
        : apptest::Harness(std::move(launchHooks)) {
        // The application's own look: its sizes and focus rings come from the theme.
        static const bool themed = [] {
            ui::applyDarkTheme(*qApp);
            return true;
        }();
        (void)themed;
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

/// Makes the window the active one, so that its widgets take the keyboard focus.
inline bool activate(QWidget& window) {
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    QApplication::processEvents();
    return QApplication::activeWindow() == &window;
}

/// A key press and release as the keyboard sends them: to the widget with the focus.
inline void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget();
    if (!target)
        target = QApplication::activeWindow();
    if (!target)
        return;
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(target, &press);
    if (QWidget* now = QApplication::focusWidget())
        target = now;
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(target, &release);
    QApplication::processEvents();
}

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
