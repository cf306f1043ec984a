#pragma once

// The images shipped with the application, looked up by name without extension
// ("the_image", "placeholderImg", "metalic-roof", "createdWith").

#include <QUrl>

#include <string>
#include <vector>

namespace platform {

/// Absolute path of the image resource, or empty when there is none of that name.
std::string imageResourcePath(const std::string& name);
/// File URL of the image resource, or an empty URL.
QUrl imageResourceUrl(const std::string& name);
/// The folders searched, in order.
std::vector<std::string> resourceDirectories();

} // namespace platform
