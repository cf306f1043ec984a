#pragma once

// The menus the controller fills (the presets menu and the two add-filter menus), as data the
// window turns into real menus.

#include <QString>

#include <memory>
#include <vector>

namespace model {
class Filter;
}

namespace app {

struct MenuItem {
    QString title;
    bool separator = false;
    bool checked = false;
    /// The step an add-filter item adds.
    std::shared_ptr<model::Filter> representedFilter;
    std::vector<MenuItem> submenu;
};

using MenuItems = std::vector<MenuItem>;

} // namespace app
