#include "UiTestSupport.h"

#include "ui/ParamEditors.h"
#include "ui/Sheets.h"
#include "ui/WorkflowPanel.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>

using apptest::Harness;
using uitest::WindowHarness;

namespace {

std::shared_ptr<model::Filter> amountStep() {
    using V = model::FilterParamValue;
    auto step = model::Filter::make("Amount", "CIColorInvert", "",
                                    {model::FilterParam::make("Amount", "inputAmount", "",
                                                              V::numeric(0.5, 0, 1), V::numeric(0.5, 0, 1))});
    step->setIsCurrent(true);
    return step;
}

} // namespace

TEST(Work, AClosedSheetLeavesASignOfTheWorkThatGoesOn) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    d.addImages({Harness::url(Harness::data("coffee.png"))});
    h.settle(2.5);
    EXPECT_FALSE(w.workIndicator()->isVisible());

    h.queues->holdGlobal = true;
    d.setExportDialogDestination(h.folder("out"));
    d.showExportDialog();
    d.exportDialogStartProcessing();
    w.progressSheet()->closeButton()->click();
    EXPECT_FALSE(w.progressHost()->isVisible());
    ASSERT_TRUE(w.workIndicator()->isVisible());
    EXPECT_EQ(w.workIndicator()->text(), QString::fromUtf8("Exporting images \u2014 0 of 1"));

    // A click brings the sheet back; closed again, the sign comes back.
    w.workIndicator()->click();
    EXPECT_TRUE(w.progressHost()->isVisible());
    EXPECT_FALSE(w.workIndicator()->isVisible());
    w.progressSheet()->closeButton()->click();
    EXPECT_TRUE(w.workIndicator()->isVisible());

    // The end of the run is shown there too, and then the sign goes.
    h.queues->holdGlobal = false;
    h.settle();
    EXPECT_EQ(w.workIndicator()->text(), QString::fromUtf8("Exporting images \u2014 done"));
    EXPECT_FALSE(w.progressHost()->isVisible());
    h.settle(2.1);
    EXPECT_FALSE(w.workIndicator()->isVisible());
}

TEST(Work, TheExportSummaryCountsWhatTheRunWillTake) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    d.addImages({Harness::url(Harness::data("coffee.png"))});
    h.settle(2.5);
    d.setExportDialogDestination(h.folder("out"));
    QLabel* summary = w.exportSheet()->summary();
    EXPECT_TRUE(summary->text().startsWith("1 image will be written as PNG"))
        << summary->text().toStdString();

    // While an import runs, the run takes the queue as that import leaves it, and says so.
    h.queues->holdGlobal = true;
    d.addImages({Harness::url(Harness::data("chelsea.png")), Harness::url(Harness::data("rocket.jpg"))});
    w.progressSheet()->closeButton()->click();
    d.showExportDialog();
    ASSERT_TRUE(w.exportHost()->isVisible());
    EXPECT_TRUE(summary->text().startsWith("The images in the queue when the import has finished (1 so far)"))
        << summary->text().toStdString();
    h.queues->holdGlobal = false;
    h.settle();
    EXPECT_TRUE(summary->text().startsWith("3 images will be written")) << summary->text().toStdString();
    d.cancelExportDialog();
    h.settle(2.5);
}

TEST(Work, ThePictureAndItsLabelsChangeTogether) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    const QString coffee = Harness::data("coffee.png"), chelsea = Harness::data("chelsea.png");
    d.addImages({Harness::url(coffee), Harness::url(chelsea)});
    h.settle(2.5);
    ASSERT_EQ(w.mainView()->image().size(), QSize(451, 300));
    EXPECT_EQ(w.shownPath(), chelsea);

    // A newly selected image is being rendered: the picture shown, its path and its sizes stay
    // together until the new picture is there, then change together.
    const QString pathText = w.pathControl()->text();
    h.queues->holdGlobal = true;
    d.setCurrentImagesSelection(0);
    d.tableViewSelectionDidChange();
    h.settle();
    EXPECT_EQ(w.mainView()->image().size(), QSize(451, 300));
    EXPECT_EQ(w.pathControl()->text(), pathText);
    EXPECT_EQ(w.originalSizeLabel()->text(), "451 x 300");
    h.queues->holdGlobal = false;
    h.settle();
    EXPECT_EQ(w.mainView()->image().size(), QSize(600, 400));
    EXPECT_EQ(w.shownPath(), coffee);
    EXPECT_NE(w.pathControl()->text(), pathText);
    EXPECT_EQ(w.originalSizeLabel()->text(), "600 x 400");

    // The same while an import selects each new image and the preview waits for its end.
    h.queues->holdGlobal = true;
    d.addImages({Harness::url(chelsea)});
    h.queues->drainWorkers();
    h.settle();
    EXPECT_EQ(d.CurrentImagesSelection(), 2);
    EXPECT_EQ(w.shownPath(), coffee);
    EXPECT_EQ(w.originalSizeLabel()->text(), "600 x 400");
    h.queues->holdGlobal = false;
    h.settle(2.5);
    EXPECT_EQ(w.shownPath(), chelsea);
    EXPECT_EQ(w.originalSizeLabel()->text(), "451 x 300");
}

TEST(Work, TheWindowKeepsItsSizeWhileThePreviewRenders) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    // A photo deep in folders: its path is far wider than the window.
    QString deep = h.dir.path();
    for (int i = 0; i < 12; ++i)
        deep += QString("/a-folder-with-a-rather-long-name-%1").arg(i);
    QDir().mkpath(deep);
    const QString photo = h.copyData("coffee.png", deep + "/coffee.png");
    d.setCurrentFilters({amountStep()});
    d.setCurrentFiltersSelection(0);
    h.settle();
    const QSize smallest = w.minimumSizeHint();
    w.resize(smallest);
    h.settle();

    d.addImages({Harness::url(photo)});
    h.settle(2.5);
    ASSERT_EQ(w.shownPath(), photo);
    EXPECT_EQ(w.minimumSizeHint(), smallest);
    // A render in progress shows the spinner, in a place kept for it.
    h.queues->holdGlobal = true;
    d.regeneratePreview();
    h.settle();
    ASSERT_TRUE(w.spinner()->isSpinning());
    EXPECT_EQ(w.minimumSizeHint(), smallest);
    EXPECT_EQ(w.size(), smallest);
    h.queues->holdGlobal = false;
    h.settle(1);
}

TEST(Work, ASlidersKeysMoveByAHundredthAndATenthOfItsRange) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    auto step = amountStep();
    d.setCurrentFilters({step});
    d.setCurrentFiltersSelection(0);
    h.settle();
    auto* slider = w.params()->editorsHost()->findChild<QSlider*>();
    ASSERT_NE(slider, nullptr);
    slider->setFocus(Qt::TabFocusReason);
    const auto value = [&] { return step->params()[0]->value()->numericV(); };
    uitest::key(Qt::Key_Right);
    EXPECT_NEAR(value(), 0.51, 1e-9);
    uitest::key(Qt::Key_PageUp);
    EXPECT_NEAR(value(), 0.61, 1e-9);
    uitest::key(Qt::Key_Left);
    EXPECT_NEAR(value(), 0.60, 1e-9);
    h.settle(2);
}

TEST(Work, ANewStepIsScrolledIntoView) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    model::Filters steps;
    for (int i = 0; i < 30; ++i)
        steps.push_back(amountStep());
    d.setCurrentFilters(steps);
    d.setCurrentFiltersSelection(0);
    h.settle();
    h.settle();
    auto* scroll = w.workflow()->findChild<QScrollArea*>("workflowScroll");
    ASSERT_NE(scroll, nullptr);
    ASSERT_GT(scroll->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);

    w.actionsMenu()->actions()[0]->menu()->actions()[0]->trigger();
    ASSERT_EQ(d.CurrentFilters().size(), 31u);
    auto* row = w.workflow()->rows().back();
    const QRect shown(row->mapTo(scroll->viewport(), QPoint(0, 0)), row->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(shown))
        << shown.y() << " in " << scroll->viewport()->height();
    h.settle(2);
}
