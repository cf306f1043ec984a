#pragma once

// The window's dark appearance: one palette and one style sheet for every widget and dialog.

class QApplication;

namespace ui {

void applyDarkTheme(QApplication& app);

} // namespace ui
