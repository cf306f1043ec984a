#pragma once

// A developer's tour of the window's main states, saved as PNG files: started by the
// screenshot script through the environment, never by a user.

#include <QString>
#include <QStringList>

namespace app {
class AppDelegate;
}

namespace ui {

class MainWindow;

/// Once the launch is over: the empty window, the queue with its preview, the export sheet, the
/// progress sheet and the smallest window, each saved into `folder`; then the application quits.
void startScreenshotTour(app::AppDelegate& delegate, MainWindow& window, const QString& folder,
                         const QStringList& photos);

} // namespace ui
