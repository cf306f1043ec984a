// Workflow editing: adding steps from the library and the menus, drag and drop within the
// workflow, enabling, removing, and the add-filter menus.

#include "app/AppDelegate.h"

#include "ci/core/Console.h"
#include "platform/NotificationCenter.h"
#include "platform/Pasteboard.h"

namespace app {

void AppDelegate::postRegeneration() {
    platform::NotificationCenter::defaultCenter().post(platform::RequiresPreviewRegeneration);
}

void AppDelegate::appendStep(const model::Filter& entry) {
    // An independent copy: editing the step never touches the library entry. The new step is
    // selected, so that its parameters are shown, whichever way it was added.
    auto step = entry.copy();
    step->setIsCurrent(true);
    auto filters = CurrentFilters_;
    filters.push_back(step);
    setCurrentFilters(filters);
    setCurrentFiltersSelection(qint64(CurrentFilters_.size()) - 1);
    postRegeneration();
}

void AppDelegate::addSelectedFilterToCurrent() {
    for (const auto& entry : selectedLibraryEntries_)
        if (entry)
            appendStep(*entry);
}

void AppDelegate::addFilterFromMenu(const MenuItem& item) {
    if (item.representedFilter)
        appendStep(*item.representedFilter);
}

void AppDelegate::toggleFilterEnabled(const std::shared_ptr<model::Filter>& step) {
    if (step)
        step->setIsEnabled(!step->isEnabled());
}

void AppDelegate::setAllFiltersEnabled(bool enabled) {
    for (const auto& step : CurrentFilters_)
        step->setIsEnabled(enabled);
}

void AppDelegate::removeFilterFromList(const std::shared_ptr<model::Filter>& step) {
    confirmAction("Are you sure you want to proceed?",
                  "You are going to remove this action - all its custom parameters will be lost!",
                  "remove-one-action-from-queue", [this, step] {
                      auto filters = CurrentFilters_;
                      auto it = std::find(filters.begin(), filters.end(), step);
                      if (it == filters.end())
                          return;
                      filters.erase(it);
                      setCurrentFilters(filters);
                      postRegeneration();
                  });
}

void AppDelegate::removeAllFilters() {
    confirmAction("Are you sure you want to proceed?",
                  "You are going to remove all actions from the current queue",
                  "remove-all-filters-from-queue", [this] {
                      setCurrentFilters({});
                      postRegeneration();
                  });
}

std::shared_ptr<model::Filter> AppDelegate::pasteboardWriterForItem(bool fromLibrary, qint64 index) {
    std::shared_ptr<model::Filter> item;
    if (fromLibrary) {
        // The library view lists the entries of the library shown, category after category.
        qint64 i = index;
        for (const auto& category : FilterLibrary_) {
            const auto& entries = category->filters();
            if (i >= 0 && i < qint64(entries.size())) {
                item = entries[size_t(i)];
                break;
            }
            i -= qint64(entries.size());
        }
    } else if (index >= 0 && index < qint64(CurrentFilters_.size())) {
        item = CurrentFilters_[size_t(index)];
    }
    if (item)
        item->setSourceIndx(index);
    return item;
}

bool AppDelegate::acceptFilterDrop(const std::optional<QByteArray>& stepData, qint64 d) {
    if (!stepData)
        return false;
    std::shared_ptr<model::Filter> step;
    try {
        auto object = platform::propertyListObject(*stepData);
        if (!object)
            throw model::CodingError(model::CodingError::Kind::DataCorrupted,
                                     "The data couldn't be read because it isn't in the correct format.");
        step = model::Filter::decode(model::KeyedContainer(*object, ""));
    } catch (const std::exception& e) {
        ci::console(std::string("Error!!> ") + e.what());
        return true;
    }
    auto filters = CurrentFilters_;
    if (step->isCurrent()) {
        const qint64 s = step->sourceIndx();
        if (s < 0 || s >= qint64(filters.size()))
            return false;
        if (s < d)
            --d;
        filters.erase(filters.begin() + s);
    } else {
        step->setIsCurrent(true);
    }
    if (d < 0 || d > qint64(filters.size()))
        return false;
    filters.insert(filters.begin() + d, step);
    setCurrentFilters(filters);
    setCurrentFiltersSelection(d);
    postRegeneration();
    return true;
}

void AppDelegate::selectImageForParam(const std::shared_ptr<model::FilterParamValue>& value) {
    if (!value || !services_.dialogs)
        return;
    OpenPanelRequest request;
    request.allowsMultipleSelection = true;
    request.canChooseFiles = true;
    request.canChooseDirectories = false;
    request.allowedExtensions = imageFileExtensions();
    auto paths = services_.dialogs->runOpenPanel(request);
    if (!paths || paths->isEmpty())
        return;
    value->imageV()->setU(QUrl::fromLocalFile(paths->front()));
}

void AppDelegate::pathControlClicked(const QString& path) {
    if (!path.isEmpty() && services_.dialogs)
        services_.dialogs->revealInFileViewer(path);
}

double AppDelegate::splitViewMinCoordinate(SplitView view, double windowWidth, qint64 divider,
                                           double proposed) {
    if (view == SplitView::Main)
        return windowWidth / 2.0;
    return divider == 0 ? 360.0 : proposed;
}

double AppDelegate::splitViewMaxCoordinate(SplitView view, double windowWidth, qint64, double proposed) {
    return view == SplitView::Inner ? windowWidth / 2.0 - 179.0 : proposed;
}

MenuItems AppDelegate::buildFilterMenus(const Library& library) {
    MenuItems menu;
    for (const auto& category : library) {
        MenuItem item;
        item.title = category->qName();
        if (category->name() == "---") {
            item.separator = true;
            item.title.clear();
            menu.push_back(std::move(item));
            continue;
        }
        for (const auto& filter : category->filters()) {
            MenuItem entry;
            entry.title = filter->qName();
            entry.representedFilter = filter;
            item.submenu.push_back(std::move(entry));
        }
        menu.push_back(std::move(item));
    }
    return menu;
}

} // namespace app
