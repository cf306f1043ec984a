#include "UiTestSupport.h"

#include "ui/LibraryPanel.h"
#include "ui/ParamEditors.h"
#include "ui/WorkflowPanel.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QToolButton>

using uitest::key;
using uitest::WindowHarness;

TEST(Library, DoubleClickOrEnterOnAnEntryAddsIt) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    auto* view = w.library()->entriesView();
    auto* model = w.library()->model();
    QApplication::processEvents();

    const QRect second = view->visualRect(model->index(1));
    ASSERT_TRUE(second.isValid());
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                      QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, QPointF(second.center()),
                          view->viewport()->mapToGlobal(QPointF(second.center())), Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &click);
    }
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "Vintage 1");

    view->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Left);
    EXPECT_EQ(view->currentIndex().row(), 0);
    key(Qt::Key_Return);
    ASSERT_EQ(d.CurrentFilters().size(), 2u);
    EXPECT_EQ(d.CurrentFilters()[1]->name(), "Vintage 0");
    EXPECT_NE(d.CurrentFilters()[1], d.FilterEffectsLibrary()[0]->filters()[0]);
    h.settle(2);
}

TEST(Library, ThumbnailsAreDrawnInTheScreensOwnPixels) {
    QImage sample(150, 100, QImage::Format_RGB32);
    for (int y = 0; y < sample.height(); ++y)
        for (int x = 0; x < sample.width(); ++x)
            sample.setPixelColor(x, y, (x / 3 + y / 3) % 2 ? Qt::white : Qt::black);
    for (double ratio : {1.0, 1.5, 2.0}) {
        const QImage thumb = ui::libraryThumbnail(sample, ratio);
        EXPECT_EQ(thumb.size(), (QSizeF(96, 64) * ratio).toSize()) << ratio;
        EXPECT_DOUBLE_EQ(thumb.devicePixelRatio(), ratio);
        EXPECT_EQ(thumb.deviceIndependentSize(), QSizeF(96, 64));
    }
    EXPECT_TRUE(ui::libraryThumbnail(QImage(), 2).isNull());

    // The window's thumbnails follow the ratio of the screen they are on.
    WindowHarness h;
    h.settle(0.1);
    auto* view = h.window->library()->entriesView();
    const QPixmap shown = h.window->library()->model()->index(0).data(Qt::DecorationRole).value<QPixmap>();
    EXPECT_DOUBLE_EQ(shown.devicePixelRatio(), view->devicePixelRatioF());
    EXPECT_EQ(shown.deviceIndependentSize(), QSizeF(96, 64));
}

TEST(Workflow, EveryWayOfAddingSelectsTheNewStepAndTheSelectionFollowsItsStep) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    auto selectedName = [&] { return w.params()->step() ? w.params()->step()->name() : std::string(); };

    // A menu item.
    w.actionsMenu()->actions()[0]->menu()->actions()[2]->trigger();
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    EXPECT_EQ(selectedName(), "Blur 2");

    // The add button, with two entries selected: the last one added is selected.
    auto* view = w.library()->entriesView();
    auto* model = w.library()->model();
    view->selectionModel()->select(model->index(0), QItemSelectionModel::ClearAndSelect);
    view->selectionModel()->select(model->index(1), QItemSelectionModel::Select);
    w.library()->addButton()->click();
    ASSERT_EQ(d.CurrentFilters().size(), 3u);
    EXPECT_EQ(d.CurrentFiltersSelection(), 2);
    EXPECT_EQ(selectedName(), "Vintage 1");

    // Enter on an entry.
    view->setCurrentIndex(model->index(0));
    view->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(view, &enter);
    ASSERT_EQ(d.CurrentFilters().size(), 4u);
    EXPECT_EQ(d.CurrentFiltersSelection(), 3);
    EXPECT_EQ(selectedName(), "Vintage 0");

    // Removing steps above the selected one keeps the selection (and the parameters) on it.
    d.setCurrentFiltersSelection(2); // "Vintage 1"
    auto kept = d.CurrentFilters()[2];
    h.dialogs->alertAnswers.push_back({0, false, {}});
    w.workflow()->rows()[0]->removeButton()->click();
    QApplication::processEvents();
    ASSERT_EQ(d.CurrentFilters().size(), 3u);
    EXPECT_EQ(d.CurrentFiltersSelection(), 1);
    EXPECT_EQ(d.CurrentFilters()[1], kept);
    EXPECT_EQ(w.params()->step(), kept);

    // Removing the selected step selects the one that takes its place, or the last.
    h.dialogs->alertAnswers.push_back({0, false, {}});
    d.removeFilterFromList(kept);
    ASSERT_EQ(d.CurrentFilters().size(), 2u);
    EXPECT_EQ(d.CurrentFiltersSelection(), 1);
    EXPECT_EQ(selectedName(), "Vintage 0");
    h.dialogs->alertAnswers.push_back({0, false, {}});
    d.removeFilterFromList(d.CurrentFilters()[1]);
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    h.dialogs->alertAnswers.push_back({0, false, {}});
    d.removeAllFilters();
    EXPECT_EQ(d.CurrentFiltersSelection(), -1);
    EXPECT_EQ(w.params()->step(), nullptr);
    h.settle(2);
}
