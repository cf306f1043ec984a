#pragma once

// The application's life from start to exit: the main window and its controller, the launch, the
// event loop and an orderly end (the Quit command and SIGTERM, SIGINT or SIGHUP alike: the
// background work stops, running workers are waited for, no file is left half-written).

#include <functional>

namespace app {
class AppDelegate;
}
namespace ui {
class MainWindow;
}

/// Called once the window is shown and the launch has begun (a driver that tests the application
/// as a whole starts its work here).
using ApplicationStarted = std::function<void(app::AppDelegate&, ui::MainWindow&)>;

/// Runs the application with its command line; the process's exit status.
int applicationMain(int argc, char* argv[], const ApplicationStarted& started = {});
