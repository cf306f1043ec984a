#pragma once

// How a run's sheet lists a file that failed: the import's and the export's alike.

#include <QString>

#include <string>

namespace app {

/// A failed file as the sheet lists it: its name and why ("photo.jpg — Not a PNG file"), the reason
/// without the path the decoder put in it (the name says which file it is).
QString failedItem(const QString& path, const std::string& why);

} // namespace app
