#include "AppTestSupport.h"

#include "platform/NotificationCenter.h"
#include "platform/Pasteboard.h"

#include <gtest/gtest.h>

using apptest::Harness;

namespace {

std::shared_ptr<model::Filter> step(const std::string& name) {
    auto f = model::Filter::make(
        name, "GWTestScale", "",
        {model::FilterParam::make("Scale", "inputScale", "", model::FilterParamValue::numeric(0.5, 0.05, 1.5),
                                  model::FilterParamValue::numeric(0.5, 0.05, 1.5))});
    f->setIsCurrent(true);
    return f;
}

std::vector<std::string> names(const model::Filters& filters) {
    std::vector<std::string> out;
    for (const auto& f : filters)
        out.push_back(f->name());
    return out;
}

std::optional<QByteArray> dragData(app::AppDelegate& d, bool fromLibrary, qint64 index) {
    auto item = d.pasteboardWriterForItem(fromLibrary, index);
    if (!item)
        return std::nullopt;
    return item->pasteboardPropertyListForType(platform::filterPasteboardType());
}

struct Posts {
    int count = 0;
    platform::ScopedObserver observer{platform::RequiresPreviewRegeneration,
                                      [this](const std::string&) { ++count; }};
};

} // namespace

TEST(Workflow, DragAndDropWithinTheWorkflow) {
    Harness h;
    auto& d = h.d();
    struct Case {
        qint64 from;
        qint64 to;
        std::vector<std::string> expected;
        qint64 selected;
    };
    const std::vector<Case> cases = {{0, 3, {"B", "C", "A", "D"}, 2}, {3, 1, {"A", "D", "B", "C"}, 1},
                                     {2, 2, {"A", "B", "C", "D"}, 2}, {2, 3, {"A", "B", "C", "D"}, 2},
                                     {0, 0, {"A", "B", "C", "D"}, 0}, {1, 4, {"A", "C", "D", "B"}, 3}};
    for (const auto& c : cases) {
        d.setCurrentFilters({step("A"), step("B"), step("C"), step("D")});
        Posts posts;
        const auto dragged = d.CurrentFilters()[size_t(c.from)];
        EXPECT_TRUE(d.acceptFilterDrop(dragData(d, false, c.from), c.to));
        EXPECT_EQ(names(d.CurrentFilters()), c.expected) << c.from << "->" << c.to;
        EXPECT_EQ(d.CurrentFiltersSelection(), c.selected);
        EXPECT_EQ(posts.count, 1);
        // The workflow holds the decoded copy in place of the dragged object.
        EXPECT_EQ(std::count(d.CurrentFilters().begin(), d.CurrentFilters().end(), dragged), 0);
    }

    // Refused: no data, a source outside the list, a target outside the list.
    d.setCurrentFilters({step("A"), step("B")});
    EXPECT_FALSE(d.acceptFilterDrop(std::nullopt, 0));
    auto stray = step("X");
    stray->setSourceIndx(7);
    EXPECT_FALSE(
        d.acceptFilterDrop(stray->pasteboardPropertyListForType(platform::filterPasteboardType()), 0));
    EXPECT_FALSE(d.acceptFilterDrop(dragData(d, false, 0), 5));
    EXPECT_FALSE(d.pasteboardWriterForItem(false, 2));
    EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"A", "B"}));

    // Data that does not decode: reported, accepted, nothing changes.
    gwtest::ConsoleCapture console;
    EXPECT_TRUE(d.acceptFilterDrop(QByteArray("garbage"), 0));
    ASSERT_EQ(console.lines().size(), 1u);
    EXPECT_EQ(console.lines()[0].rfind("Error!!> ", 0), 0u);
    EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"A", "B"}));
}

TEST(Workflow, AddingFromLibraryAndMenusMakesIndependentSteps) {
    Harness h;
    auto& d = h.d();
    auto entry = model::Filter::make(
        "Scale", "GWTestScale", "",
        {model::FilterParam::make("Scale", "inputScale", "", model::FilterParamValue::numeric(0.5, 0.05, 1.5),
                                  model::FilterParamValue::numeric(0.5, 0.05, 1.5))});
    auto category = model::FilterCategory::make("Geometry", {});
    category->setFilters({entry});
    d.setFilterLibrary({category});

    // A library drag into an empty workflow.
    Posts posts;
    EXPECT_TRUE(d.acceptFilterDrop(dragData(d, true, 0), 0));
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_TRUE(d.CurrentFilters()[0]->isCurrent());
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    EXPECT_FALSE(entry->isCurrent());

    d.setSelectedLibraryEntries({entry});
    d.addSelectedFilterToCurrent();
    d.addSelectedFilterToCurrent();
    ASSERT_EQ(d.CurrentFilters().size(), 3u);
    EXPECT_EQ(posts.count, 3);
    auto first = d.CurrentFilters()[1];
    auto second = d.CurrentFilters()[2];
    EXPECT_NE(first, second);
    EXPECT_NE(first->params()[0]->value(), second->params()[0]->value());
    first->params()[0]->value()->setNumericV(1.25);
    EXPECT_EQ(second->params()[0]->value()->numericV(), 0.5);
    EXPECT_EQ(entry->params()[0]->value()->numericV(), 0.5);
    EXPECT_FALSE(entry->isCurrent());

    // Menus: a separator for "---", a submenu per category, the step as represented object.
    auto empty = model::FilterCategory::make("Empty", {});
    auto separator = model::FilterCategory::make("---", {});
    const auto menu = app::AppDelegate::buildFilterMenus({category, separator, empty});
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[0].title, "Geometry");
    ASSERT_EQ(menu[0].submenu.size(), 1u);
    EXPECT_EQ(menu[0].submenu[0].title, "Scale");
    EXPECT_TRUE(menu[1].separator);
    EXPECT_TRUE(menu[2].submenu.empty());
    EXPECT_FALSE(menu[2].separator);
    d.addFilterFromMenu(menu[0].submenu[0]);
    d.addFilterFromMenu(menu[0]); // no step attached: nothing
    EXPECT_EQ(d.CurrentFilters().size(), 4u);
    EXPECT_NE(d.CurrentFilters()[3], entry);
}

TEST(Workflow, EnablingAndRemovingPostOncePerChange) {
    Harness h;
    auto& d = h.d();
    {
        Posts posts;
        d.disableAllFilters(); // empty workflow
        EXPECT_EQ(posts.count, 0);
    }
    d.setCurrentFilters({step("A"), step("B"), step("C")});
    {
        Posts posts;
        d.disableAllFilters();
        EXPECT_EQ(posts.count, 3);
        for (const auto& f : d.CurrentFilters())
            EXPECT_FALSE(f->isEnabled());
        d.toggleFilterEnabled(d.CurrentFilters()[1]);
        EXPECT_TRUE(d.CurrentFilters()[1]->isEnabled());
        EXPECT_EQ(posts.count, 4);
        d.enableAllFilters();
        EXPECT_EQ(posts.count, 7);
    }
    {
        Posts posts;
        h.defaults->setBool("remove-one-action-from-queue", true);
        d.removeFilterFromList(d.CurrentFilters()[0]);
        EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"B", "C"}));
        EXPECT_EQ(posts.count, 1);
        EXPECT_TRUE(h.dialogs->alerts.empty());

        h.dialogs->alertAnswers.push_back({1, false, {}});
        d.removeAllFilters();
        EXPECT_EQ(d.CurrentFilters().size(), 2u);
        EXPECT_EQ(h.dialogs->alerts.back().informativeText,
                  "You are going to remove all actions from the current queue");
        h.dialogs->alertAnswers.push_back({0, false, {}});
        d.removeAllFilters();
        EXPECT_TRUE(d.CurrentFilters().empty());
        EXPECT_EQ(posts.count, 2);
    }
}

TEST(Workflow, ImageParameterPanel) {
    Harness h;
    auto& d = h.d();
    auto value = model::FilterParamValue::image(model::ImageValue::make(QUrl::fromLocalFile("/old.png")));
    h.dialogs->openAnswers.push_back(std::nullopt);
    d.selectImageForParam(value);
    EXPECT_EQ(value->imageV()->u(), QUrl::fromLocalFile("/old.png"));
    h.dialogs->openAnswers.push_back(QStringList{"/new/a.png", "/new/b.png"});
    Posts posts;
    d.selectImageForParam(value);
    EXPECT_EQ(value->imageV()->u(), QUrl::fromLocalFile("/new/a.png"));
    EXPECT_EQ(posts.count, 1);
    EXPECT_FALSE(h.dialogs->openPanels.back().canChooseDirectories);
}

TEST(Workflow, SplitViewLimits) {
    using S = app::AppDelegate::SplitView;
    EXPECT_EQ(app::AppDelegate::splitViewMinCoordinate(S::Main, 1200, 1, 10), 600);
    EXPECT_EQ(app::AppDelegate::splitViewMinCoordinate(S::Inner, 1200, 0, 10), 360);
    EXPECT_EQ(app::AppDelegate::splitViewMinCoordinate(S::Inner, 1200, 1, 10), 10);
    EXPECT_EQ(app::AppDelegate::splitViewMaxCoordinate(S::Inner, 1200, 0, 900), 421);
    EXPECT_EQ(app::AppDelegate::splitViewMaxCoordinate(S::Main, 1200, 0, 900), 900);
}
