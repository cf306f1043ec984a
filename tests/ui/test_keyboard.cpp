#include "UiTestSupport.h"

#include "ui/ImageQueuePanel.h"
#include "ui/LibraryPanel.h"
#include "ui/ParamEditors.h"
#include "ui/Sheets.h"
#include "ui/WorkflowPanel.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QListView>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

using uitest::key;
using uitest::WindowHarness;

namespace {

model::Filters steps(std::initializer_list<const char*> names) {
    model::Filters out;
    for (const char* n : names) {
        auto step = model::Filter::make(n, "CIColorInvert", "");
        step->setIsCurrent(true);
        out.push_back(step);
    }
    return out;
}

/// The panel of the window a widget belongs to.
QString panelOf(ui::MainWindow& w, QWidget* widget) {
    const std::pair<QWidget*, const char*> panels[] = {
        {w.library(), "library"},
        {w.queue(), "queue"},
        {w.workflow(), "workflow"},
        {w.params(), "params"},
        {w.mainView()->parentWidget()->parentWidget(), "preview"}};
    for (const auto& [panel, name] : panels)
        if (panel == widget || panel->isAncestorOf(widget))
            return name;
    return "elsewhere";
}

} // namespace

TEST(Keyboard, TabMovesBetweenThePanelsAndArrowsWithinTheQueue) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    auto amount = model::FilterParamValue::numeric(0.5, 0, 1);
    auto step = model::Filter::make("Amount", "CIColorInvert", "",
                                    {model::FilterParam::make("Amount", "inputAmount", "", amount, amount)});
    d.setCurrentFilters({step});
    d.setCurrentFiltersSelection(0);
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png")),
                 apptest::Harness::url(apptest::Harness::data("chelsea.png")),
                 apptest::Harness::url(apptest::Harness::data("rocket.jpg"))});
    h.settle(2.5);
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    auto* table = w.queue()->table();
    table->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(table->hasFocus());

    // The arrows move within the queue, and the preview follows at once.
    EXPECT_EQ(d.CurrentImagesSelection(), 2);
    key(Qt::Key_Up);
    EXPECT_EQ(d.CurrentImagesSelection(), 1);
    EXPECT_TRUE(d.PreviewInProgress());
    h.settle();

    // Tab leaves the table (the selection stays) and goes round every panel back to it.
    const int rendersBefore = h.queues->globalBlocks;
    QStringList visited;
    for (int i = 0; i < 40; ++i) {
        key(Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        if (focus == table)
            break;
        const QString panel = panelOf(w, focus);
        if (visited.isEmpty() || visited.back() != panel)
            visited << panel;
    }
    EXPECT_TRUE(table->hasFocus());
    EXPECT_EQ(d.CurrentImagesSelection(), 1);
    EXPECT_EQ(h.queues->globalBlocks, rendersBefore);
    for (const char* panel : {"library", "workflow", "params", "preview"})
        EXPECT_TRUE(visited.contains(panel)) << panel << " in " << visited.join(", ").toStdString();
    EXPECT_FALSE(visited.contains("elsewhere")) << visited.join(", ").toStdString();
    // In reading order: left to right, top to bottom.
    EXPECT_EQ(visited, (QStringList{"workflow", "params", "library", "preview", "queue"}));
    // The library's entries and the workflow list are stops of their own.
    w.library()->entriesView()->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Tab);
    key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(w.library()->entriesView()->hasFocus());

    // Shift+Tab leaves it backwards.
    table->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_FALSE(table->hasFocus());
    EXPECT_EQ(d.CurrentImagesSelection(), 1);

    // Delete removes the selected row after the same question as its remove mark: Cancel keeps it,
    // OK removes it; Backspace does the same.
    table->setFocus(Qt::TabFocusReason);
    h.dialogs->alertAnswers.push_back({1, false, {}});
    key(Qt::Key_Delete);
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].informativeText,
              "You are going to remove this from the current queue (the file on disk will remain intact)");
    EXPECT_EQ(d.CurrentImages().size(), 3u);
    h.dialogs->alertAnswers.push_back({0, false, {}});
    key(Qt::Key_Backspace);
    ASSERT_EQ(d.CurrentImages().size(), 2u);
    EXPECT_EQ(d.CurrentImages()[0]->filename(), "coffee.png");
    EXPECT_EQ(d.CurrentImages()[1]->filename(), "rocket.jpg");
    EXPECT_TRUE(table->hasFocus());
    h.settle(2);
}

TEST(Keyboard, TheWorkflowIsAListForTheKeyboard) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    d.setCurrentFilters(steps({"A", "B", "C"}));
    QApplication::processEvents();
    auto* list = w.workflow()->list();
    auto* panel = w.workflow();
    ASSERT_EQ(panel->rows().size(), 3u);
    // A step's own buttons are for the mouse: the keyboard reaches the step through the list.
    for (auto* row : panel->rows())
        for (QWidget* control :
             std::initializer_list<QWidget*>{row->enableSwitch(), row->infoButton(), row->removeButton()})
            EXPECT_EQ(control->focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(list->focusPolicy() & Qt::TabFocus);

    list->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(d.CurrentFiltersSelection(), -1);
    key(Qt::Key_Down);
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    EXPECT_EQ(w.params()->step(), d.CurrentFilters()[0]);
    key(Qt::Key_Down);
    key(Qt::Key_Down);
    key(Qt::Key_Down); // stays on the last
    EXPECT_EQ(d.CurrentFiltersSelection(), 2);
    key(Qt::Key_Home);
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    key(Qt::Key_End);
    key(Qt::Key_Up);
    EXPECT_EQ(d.CurrentFiltersSelection(), 1);
    EXPECT_EQ(w.params()->step(), d.CurrentFilters()[1]);

    // Space switches the selected step, and only it; nothing is asked.
    key(Qt::Key_Space);
    EXPECT_FALSE(d.CurrentFilters()[1]->isEnabled());
    EXPECT_TRUE(d.CurrentFilters()[0]->isEnabled());
    EXPECT_FALSE(panel->rows()[1]->enableSwitch()->isChecked());
    key(Qt::Key_Space);
    EXPECT_TRUE(d.CurrentFilters()[1]->isEnabled());
    EXPECT_TRUE(h.dialogs->alerts.empty());

    // Delete and Backspace ask as the remove button does; the focus stays with the list.
    h.dialogs->alertAnswers.push_back({1, false, {}});
    key(Qt::Key_Delete);
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].informativeText,
              "You are going to remove this action - all its custom parameters will be lost!");
    EXPECT_EQ(d.CurrentFilters().size(), 3u);
    h.dialogs->alertAnswers.push_back({0, false, {}});
    key(Qt::Key_Backspace);
    ASSERT_EQ(d.CurrentFilters().size(), 2u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "A");
    EXPECT_EQ(d.CurrentFilters()[1]->name(), "C");
    EXPECT_TRUE(list->hasFocus());
    EXPECT_EQ(h.dialogs->alerts.back().informativeText,
              "You are going to remove this action - all its custom parameters will be lost!");

    // A click on a row selects it and gives the list the keyboard.
    w.library()->entriesView()->setFocus();
    auto* row = panel->rows()[0];
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(60, 10), row->mapToGlobal(QPointF(60, 10)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(row, &press);
    EXPECT_TRUE(list->hasFocus());
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    h.settle(2);
}

TEST(Keyboard, SheetsTakeEnterAndEscapeAndKeepTheFocus) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.settle(2.5);
    auto* table = w.queue()->table();
    table->setFocus(Qt::TabFocusReason);

    // The export sheet takes the focus, on its default button.
    w.queue()->exportButton()->click();
    auto* sheet = w.exportSheet();
    ASSERT_TRUE(w.exportHost()->isVisible());
    EXPECT_TRUE(sheet->nextButton()->hasFocus());

    // Tab and Shift+Tab go round the sheet's controls only.
    QSet<QWidget*> seen;
    for (int i = 0; i < 12; ++i) {
        key(Qt::Key_Tab);
        ASSERT_TRUE(sheet->isAncestorOf(QApplication::focusWidget()));
        seen << QApplication::focusWidget();
    }
    EXPECT_TRUE(seen.contains(sheet->quality()));
    EXPECT_TRUE(seen.contains(sheet->cancelButton()));
    EXPECT_TRUE(seen.contains(sheet->formats()->button(0)));
    for (int i = 0; i < 5; ++i) {
        key(Qt::Key_Backtab, Qt::ShiftModifier);
        ASSERT_TRUE(sheet->isAncestorOf(QApplication::focusWidget()));
    }
    // Focus sent behind the sheet comes back to it.
    table->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(sheet->isAncestorOf(QApplication::focusWidget()));

    // Enter presses the default button, also from an option (a format choice)...
    sheet->formats()->button(1)->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Return);
    EXPECT_EQ(d.exportDialogSelectedTab(), 1);
    // ... a focused command button takes Enter itself...
    sheet->backButton()->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Enter);
    EXPECT_EQ(d.exportDialogSelectedTab(), 0);
    EXPECT_TRUE(sheet->isAncestorOf(QApplication::focusWidget())); // Back went disabled
    key(Qt::Key_Return);
    key(Qt::Key_Return);
    EXPECT_EQ(d.exportDialogSelectedTab(), 2);
    // ... and Start, the last page's default, waits for a destination.
    EXPECT_TRUE(sheet->defaultButton() == sheet->startButton());
    key(Qt::Key_Return);
    EXPECT_TRUE(w.exportHost()->isVisible());

    // Escape cancels, and the focus goes back to where it was.
    key(Qt::Key_Escape);
    EXPECT_FALSE(d.exportDialogVisible());
    EXPECT_FALSE(w.exportHost()->isVisible());
    EXPECT_TRUE(table->hasFocus());

    // With a destination, Enter through the pages starts the export; Escape hides the progress.
    d.setExportDialogDestination(h.folder("out"));
    w.queue()->exportButton()->click();
    key(Qt::Key_Return);
    key(Qt::Key_Return);
    EXPECT_TRUE(sheet->startButton()->hasFocus());
    h.queues->holdGlobal = true;
    key(Qt::Key_Return);
    EXPECT_FALSE(w.exportHost()->isVisible());
    ASSERT_TRUE(w.progressHost()->isVisible());
    EXPECT_TRUE(w.progressSheet()->closeButton()->hasFocus());
    key(Qt::Key_Escape);
    EXPECT_FALSE(w.progressHost()->isVisible());
    EXPECT_TRUE(table->hasFocus());
    h.queues->holdGlobal = false;
    h.settle(3);
    EXPECT_TRUE(QFile::exists(QDir(h.folder("out")).filePath("coffee.png")));
}

TEST(Keyboard, EnterOnTheDestinationPageGoesOnOnceAFolderIsChosen) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.settle(2.5);
    auto* sheet = w.exportSheet();
    w.queue()->exportButton()->click();

    // From a format choice Enter goes to the destination page, with the keyboard on Next.
    sheet->formats()->button(1)->click();
    sheet->formats()->button(1)->setFocus(Qt::MouseFocusReason);
    key(Qt::Key_Return);
    ASSERT_EQ(d.exportDialogSelectedTab(), 1);
    EXPECT_TRUE(sheet->nextButton()->hasFocus());
    EXPECT_TRUE(h.dialogs->openPanels.empty());

    // A folder chosen with "Choose...": the next Enter goes on instead of choosing again.
    h.dialogs->openAnswers.push_back(QStringList{h.folder("out")});
    sheet->chooseButton()->setFocus(Qt::MouseFocusReason);
    sheet->chooseButton()->click();
    ASSERT_EQ(d.exportDialogDestination(), h.folder("out"));
    ASSERT_TRUE(sheet->chooseButton()->hasFocus());
    key(Qt::Key_Return);
    EXPECT_EQ(d.exportDialogSelectedTab(), 2);
    EXPECT_EQ(h.dialogs->openPanels.size(), 1u);
    EXPECT_TRUE(sheet->startButton()->hasFocus());
    key(Qt::Key_Escape);
    h.settle();
}

TEST(Keyboard, EveryControlShowsWhereTheFocusIs) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    using V = model::FilterParamValue;
    auto step = model::Filter::make(
        "Everything", "CIColorInvert", "",
        {model::FilterParam::make("Amount", "inputAmount", "", V::numeric(0.5, 0, 1), V::numeric(0.5, 0, 1)),
         model::FilterParam::make("Tint", "inputTint", "", V::color(model::ColorValue::make(10, 20, 30, 40)),
                                  V::color(model::ColorValue::make(10, 20, 30, 40))),
         model::FilterParam::make(
             "Where", "inputWhere", "",
             V::point(model::PointValue::make(3, 4, model::GravityValue::make(4)), false),
             V::point(model::PointValue::make(3, 4, model::GravityValue::make(4)), false)),
         model::FilterParam::make("Flag", "inputFlag", "",
                                  V::boolean(model::BooleanValue::make(false, "Sharp")),
                                  V::boolean(model::BooleanValue::make(false, "Sharp"))),
         model::FilterParam::make("Text", "inputText", "", V::string("Hi"), V::string("Hi"))});
    step->setIsCurrent(true);
    d.setCurrentFilters({step});
    d.setCurrentFiltersSelection(0);
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.settle(2.5);
    w.library()->entriesView()->setCurrentIndex(w.library()->model()->index(0));

    // Every control that Tab reaches looks different while it has the focus.
    QList<QWidget*> controls;
    for (auto* widget : w.findChildren<QWidget*>())
        if (widget->isVisible() && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus) &&
            !widget->focusProxy())
            controls << widget;
    ASSERT_GT(controls.size(), 15);
    w.setFocus();
    for (auto* control : controls) {
        w.setFocus();
        QApplication::processEvents();
        const QImage without = control->grab().toImage();
        control->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        ASSERT_TRUE(control->hasFocus()) << control->metaObject()->className();
        const QImage with = control->grab().toImage();
        EXPECT_NE(with, without) << control->metaObject()->className() << " "
                                 << control->objectName().toStdString();
    }
    h.settle(2);
}

TEST(Keyboard, QuitKeysWorkWhateverSheetIsUpAndAskTheSameQuestion) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    int quits = 0;
    QObject::connect(&w, &ui::MainWindow::quitRequested, [&] { ++quits; });
    ASSERT_TRUE(uitest::activate(w));
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.settle(2.5);

    // The progress sheet of a running export: asked as from the menu; Cancel keeps everything.
    d.setExportDialogDestination(h.folder("out"));
    h.queues->holdGlobal = true;
    d.showExportDialog();
    d.exportDialogStartProcessing();
    ASSERT_TRUE(w.progressHost()->isVisible());
    ASSERT_FALSE(w.menuBar()->isEnabled());
    h.dialogs->alertAnswers.push_back({1, false, {}});
    key(Qt::Key_Q, Qt::ControlModifier);
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].message, "Are you sure you want to proceed?");
    EXPECT_TRUE(h.dialogs->alerts[0].informativeText.startsWith("Images are still being exported"));
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(w.isVisible());
    h.dialogs->alertAnswers.push_back({0, false, {}});
    key(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(h.dialogs->alerts.size(), 2u);
    EXPECT_EQ(quits, 1);
    h.queues->holdGlobal = false;
    h.settle(3);

    // The export sheet, nothing running: it quits at once.
    w.show();
    ASSERT_TRUE(uitest::activate(w));
    d.showExportDialog();
    ASSERT_TRUE(w.exportHost()->isVisible());
    key(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(h.dialogs->alerts.size(), 2u);
}
