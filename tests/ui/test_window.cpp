#include "UiTestSupport.h"

#include "ui/CustomControls.h"
#include "ui/ImageQueuePanel.h"
#include "ui/LibraryPanel.h"
#include "ui/Sheets.h"
#include "ui/WorkflowPanel.h"

#include "ui/UiDialogs.h"

#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QFile>
#include <QListView>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTextDocument>
#include <QTimer>

using uitest::WindowHarness;

namespace {

QStringList titles(const QMenu* menu) {
    QStringList out;
    for (auto* a : menu->actions())
        out << (a->isSeparator() ? QString("---") : a->text());
    return out;
}

} // namespace

TEST(MainWindow, LaunchShowsTheOverlayThenTheEffectsLibraryAndBothMenus) {
    WindowHarness h(false);
    auto& w = *h.window;
    h.d().applicationDidFinishLaunching();
    h.settle();
    ASSERT_TRUE(w.overlay()->isVisible());
    EXPECT_FALSE(w.wrapper()->isVisible());
    EXPECT_EQ(w.overlay()->actionLabel()->text(), "Starting up");
    EXPECT_EQ(w.overlay()->messageLabel()->text(), "Loading configuration...");
    EXPECT_EQ(w.overlay()->bar()->maximum(), 195);
    h.settle(0.55);
    EXPECT_EQ(w.overlay()->bar()->value(), 5);

    h.settle(5.0);
    EXPECT_FALSE(w.overlay()->isVisible());
    EXPECT_TRUE(w.wrapper()->isVisible());

    // The photo effects are shown first; their "---" category is no category of the list.
    auto* categories = w.library()->categoriesView();
    ASSERT_EQ(categories->count(), 2);
    EXPECT_EQ(categories->item(0)->text(), "Vintage");
    EXPECT_EQ(categories->item(1)->text(), "Film");
    EXPECT_EQ(w.library()->model()->rowCount(), 2);
    EXPECT_TRUE(w.library()->effectsButton()->isChecked());

    // The add-filter menus: one submenu per category, a separator for "---".
    EXPECT_EQ(titles(w.actionsMenu()), (QStringList{"Blur", "Geometry"}));
    EXPECT_EQ(titles(w.effectsMenu()), (QStringList{"Vintage", "---", "Film"}));
    QMenu* blur = w.actionsMenu()->actions()[0]->menu();
    ASSERT_NE(blur, nullptr);
    EXPECT_EQ(titles(blur), (QStringList{"Blur 0", "Blur 1", "Blur 2"}));

    // A menu item adds a copy of its entry.
    blur->actions()[1]->trigger();
    ASSERT_EQ(h.d().CurrentFilters().size(), 1u);
    EXPECT_EQ(h.d().CurrentFilters()[0]->name(), "Blur 1");
    EXPECT_NE(h.d().CurrentFilters()[0], h.d().FilterActionsLibrary()[0]->filters()[1]);
    ASSERT_EQ(w.workflow()->rows().size(), 1u);

    // The switch shows the actions library; a category click shows its entries.
    w.library()->actionsButton()->click();
    EXPECT_EQ(h.d().ActionsOrEffects(), 0);
    ASSERT_EQ(categories->count(), 2);
    EXPECT_EQ(categories->item(0)->text(), "Blur");
    categories->setCurrentRow(1);
    EXPECT_EQ(w.library()->model()->rowCount(), 2);
    EXPECT_EQ(w.library()->model()->data(w.library()->model()->index(1), Qt::DisplayRole).toString(),
              "Geometry 1");
    EXPECT_EQ(w.library()->model()->flatIndex(1), 4);

    // Selecting entries and pressing the add button appends copies in order.
    auto* view = w.library()->entriesView();
    view->selectionModel()->select(w.library()->model()->index(0), QItemSelectionModel::Select);
    view->selectionModel()->select(w.library()->model()->index(1), QItemSelectionModel::Select);
    ASSERT_TRUE(w.library()->addButton()->isEnabled());
    w.library()->addButton()->click();
    ASSERT_EQ(h.d().CurrentFilters().size(), 3u);
    EXPECT_EQ(h.d().CurrentFilters()[1]->name(), "Geometry 0");
    EXPECT_EQ(h.d().CurrentFilters()[2]->name(), "Geometry 1");
    EXPECT_EQ(w.workflow()->rows().size(), 3u);
}

TEST(MainWindow, SheetsAndLabelsFollowTheControllersProperties) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    EXPECT_FALSE(w.progressHost()->isVisible());

    // An export of an empty queue runs the whole sheet protocol at once.
    d.showExportDialog();
    EXPECT_TRUE(w.exportHost()->isVisible());
    auto* sheet = w.exportSheet();
    EXPECT_EQ(sheet->pages()->currentIndex(), 0);
    EXPECT_FALSE(sheet->backButton()->isEnabled());
    EXPECT_FALSE(sheet->startButton()->isVisible());
    sheet->formats()->button(3)->click(); // TIFF
    EXPECT_EQ(d.exportDialogFileFormat(), 3);
    EXPECT_FALSE(sheet->quality()->isEnabled());
    sheet->formats()->button(1)->click(); // JPEG
    EXPECT_TRUE(sheet->quality()->isEnabled());
    sheet->quality()->setValue(3);
    EXPECT_EQ(d.exportDialogQuality(), 3);
    EXPECT_EQ(sheet->qualityDescription()->text(), "Average");
    sheet->nextButton()->click();
    EXPECT_EQ(sheet->pages()->currentIndex(), 1);
    d.setExportDialogDestination(h.folder("out"));
    EXPECT_EQ(sheet->destination()->text(), QDir::toNativeSeparators(h.folder("out")));
    sheet->nextButton()->click();
    EXPECT_EQ(d.exportDialogSelectedTab(), 2);
    EXPECT_TRUE(sheet->startButton()->isVisible());
    EXPECT_TRUE(sheet->startButton()->isEnabled());
    EXPECT_FALSE(sheet->nextButton()->isVisible());
    sheet->overwrite()->click();
    EXPECT_FALSE(d.exportDialogDestinationDoOverwrite());
    sheet->startButton()->click();
    EXPECT_FALSE(w.exportHost()->isVisible());
    EXPECT_TRUE(w.progressHost()->isVisible());
    h.settle();
    auto* progress = w.progressSheet();
    EXPECT_EQ(progress->actionLabel()->text(), "Exporting images");
    EXPECT_TRUE(progress->successMark()->isVisible());
    EXPECT_EQ(progress->counterLabel()->text(), "0 of 0");
    h.settle(2.1);
    EXPECT_FALSE(w.progressHost()->isVisible());

    // The close button ends the sheet at once; the window takes no menu commands meanwhile.
    d.addImages({});
    EXPECT_TRUE(w.progressHost()->isVisible());
    EXPECT_FALSE(w.menuBar()->isEnabled());
    progress->closeButton()->click();
    EXPECT_FALSE(w.progressHost()->isVisible());
    EXPECT_TRUE(w.menuBar()->isEnabled());
    h.settle(3);
}

TEST(MainWindow, ImportShowsTheQueueThePreviewAndTheMetadata) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    EXPECT_EQ(w.previewStack()->currentWidget(), w.dropZone());
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png")),
                 apptest::Harness::url(apptest::Harness::data("chelsea.png"))});
    h.settle();
    EXPECT_EQ(w.progressSheet()->counterLabel()->text(), "2 of 2");
    h.settle(0.5);
    ASSERT_EQ(d.CurrentImages().size(), 2u);
    EXPECT_EQ(w.previewStack()->currentWidget(), w.mainView());
    auto* table = w.queue()->table();
    ASSERT_EQ(table->model()->rowCount(), 2);
    EXPECT_EQ(table->model()->index(0, 0).data().toString(), "coffee.png");
    EXPECT_EQ(table->model()->index(1, 2).data().toString(), "451x300");
    // The last import is selected; its preview and metadata are shown.
    EXPECT_EQ(d.CurrentImagesSelection(), 1);
    EXPECT_EQ(table->selectionModel()->selectedRows().size(), 1);
    ASSERT_FALSE(w.mainView()->image().isNull());
    EXPECT_EQ(w.mainView()->image().size(), QSize(451, 300));
    EXPECT_EQ(w.convertedSizeLabel()->text(), QString::fromUtf8("\u2192  451 x 300"));
    EXPECT_GT(w.queue()->detailsTable()->rowCount(), 0);
    EXPECT_EQ(w.queue()->detailsTable()->selectionMode(), QAbstractItemView::NoSelection);

    // Sorting by name shows chelsea first; choosing that row selects it in the queue itself.
    table->sortByColumn(ui::ImageQueueModel::Name, Qt::AscendingOrder);
    EXPECT_EQ(table->model()->index(0, 0).data().toString(), "chelsea.png");
    table->selectRow(1);
    EXPECT_EQ(d.CurrentImagesSelection(), 0);
    EXPECT_TRUE(d.PreviewInProgress());
    h.settle();
    EXPECT_EQ(w.mainView()->image().size(), QSize(600, 400));
    EXPECT_FALSE(w.spinner()->isSpinning());

    // The original: the file itself, loaded on a worker.
    w.beforeButton()->click();
    EXPECT_TRUE(d.PreviewIsShown());
    EXPECT_EQ(w.previewStack()->currentWidget(), w.originalView());
    h.settle();
    EXPECT_EQ(w.originalView()->image().size(), QSize(600, 400));
    w.beforeButton()->click();
    EXPECT_EQ(w.previewStack()->currentWidget(), w.mainView());

    // The remove mark asks first (scripted: OK) and removes that entry, without selecting it.
    h.dialogs->alertAnswers.push_back({0, false, {}});
    const QRect mark = table->visualRect(table->model()->index(1, ui::ImageQueueModel::Remove)); // coffee
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, QPointF(mark.center()),
                          table->viewport()->mapToGlobal(QPointF(mark.center())), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(table->viewport(), &click);
        if (type == QEvent::MouseButtonPress) {
            EXPECT_EQ(d.CurrentImagesSelection(), 0); // chelsea stays selected
        }
    }
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].informativeText,
              "You are going to remove this from the current queue (the file on disk will remain intact)");
    ASSERT_EQ(d.CurrentImages().size(), 1u);
    EXPECT_EQ(d.CurrentImages()[0]->filename(), "chelsea.png");
    h.settle();
}

TEST(MainWindow, PresetsMenuListsThePresetFolderAndLoadsAnItem) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    auto step = model::Filter::make("Invert", "CIColorInvert", "");
    d.setCurrentFilters({step});
    d.presetSaveCurrentAs(); // scripted prompt: no answer cancels
    h.dialogs->alertAnswers.push_back({0, false, "Warm"});
    d.presetSaveCurrentAs();
    ASSERT_TRUE(QFile::exists(QDir(d.mainPresetsDir()).filePath("Warm")));
    QStringList items = titles(w.presetsMenu());
    ASSERT_EQ(items, (QStringList{"Warm", "---", "Save Preset", QString::fromUtf8("Save Preset As\u2026")}));
    EXPECT_TRUE(w.presetsMenu()->actions()[0]->isChecked());

    d.setCurrentFilters({});
    w.presetsMenu()->actions()[0]->trigger();
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "Invert");

    // A preset that cannot be read: the window says so, and the check mark stays where it was.
    QFile broken(QDir(d.mainPresetsDir()).filePath("Broken"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("[{\"name\":");
    broken.close();
    d.updatePresetsMenu();
    // The folder's order, whatever it is.
    const auto item = [&](const QString& title) -> QAction* {
        for (auto* action : w.presetsMenu()->actions())
            if (action->text() == title)
                return action;
        return nullptr;
    };
    ASSERT_NE(item("Broken"), nullptr);
    const size_t alerts = h.dialogs->alerts.size();
    item("Broken")->trigger();
    ASSERT_EQ(h.dialogs->alerts.size(), alerts + 1);
    EXPECT_EQ(h.dialogs->alerts.back().message, "The preset \"Broken\" could not be read.");
    EXPECT_FALSE(item("Broken")->isChecked());
    EXPECT_TRUE(item("Warm")->isChecked());
    EXPECT_EQ(d.CurrentFilters().size(), 1u);
    h.settle();
}

TEST(MainWindow, ClosingTheWindowQuitsAfterAskingWhileWorkRuns) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    int quits = 0;
    QObject::connect(&w, &ui::MainWindow::quitRequested, [&] { ++quits; });

    // While an import runs the user is asked; Cancel keeps the window and the work.
    h.queues->holdGlobal = true;
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.dialogs->alertAnswers.push_back({1, false, {}});
    QCloseEvent close;
    QApplication::sendEvent(&w, &close);
    EXPECT_FALSE(close.isAccepted());
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(w.isVisible());
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].message, "Are you sure you want to proceed?");
    EXPECT_TRUE(h.dialogs->alerts[0].informativeText.startsWith("Images are still being imported"));
    EXPECT_TRUE(h.dialogs->alerts[0].suppressionTitle.isEmpty());
    EXPECT_EQ(h.dialogs->alerts[0].buttons, (QStringList{"OK", "Cancel"}));

    // The Quit command asks the same; OK quits.
    QAction* quit = nullptr;
    for (auto* action : w.fileMenu()->actions())
        if (action->text() == "Quit")
            quit = action;
    ASSERT_NE(quit, nullptr);
    h.dialogs->alertAnswers.push_back({0, false, {}});
    quit->trigger();
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(h.dialogs->alerts.size(), 2u);
    h.queues->holdGlobal = false;
    h.settle(2.5);

    // An export and a save are named as well.
    w.show();
    d.setExportDialogDestination(h.folder("out"));
    h.queues->holdGlobal = true;
    d.exportDialogStartProcessing();
    h.dialogs->alertAnswers.push_back({1, false, {}});
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(h.dialogs->alerts.back().informativeText.startsWith("Images are still being exported"));
    h.queues->holdGlobal = false;
    h.settle(2.5);
    h.dialogs->saveAnswers.push_back(h.dir.filePath("p.gwProject"));
    h.queues->holdGlobal = true;
    d.saveDocumentAs();
    h.dialogs->alertAnswers.push_back({1, false, {}});
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(h.dialogs->alerts.back().informativeText.startsWith("The project is still being saved"));
    h.queues->holdGlobal = false;
    h.settle(4.5);
    ASSERT_EQ(h.dialogs->alerts.size(), 4u);
    EXPECT_EQ(quits, 1);

    // With nothing running the window closes and the application quits without a question.
    w.show();
    QCloseEvent idle;
    QApplication::sendEvent(&w, &idle);
    EXPECT_TRUE(idle.isAccepted());
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(h.dialogs->alerts.size(), 4u);
    EXPECT_TRUE(h.d().applicationShouldTerminateAfterLastWindowClosed());

    // A reopen request brings a hidden window back; the title names the project.
    w.hide();
    EXPECT_TRUE(h.d().applicationShouldHandleReopen(false));
    EXPECT_TRUE(w.isVisible());
    h.d().setCurrentProjectUrl(QUrl::fromLocalFile("/tmp/trip.gwProject"));
    h.settle();
    EXPECT_TRUE(w.windowTitle().startsWith("trip.gwProject"));
}

TEST(CustomControls, MenuSeparatorsAndRoundedButtonColours) {
    ui::CustomMenu menu("m");
    EXPECT_TRUE(menu.addItemWithTitle("---")->isSeparator());
    EXPECT_FALSE(menu.addItemWithTitle("----")->isSeparator());
    EXPECT_EQ(menu.actions().back()->text(), "----");
    EXPECT_FALSE(menu.addItemWithTitle(" ---")->isSeparator());
    EXPECT_TRUE(menu.insertItemWithTitle("---", 0)->isSeparator());
    EXPECT_TRUE(menu.actions().front()->isSeparator());
    EXPECT_EQ(menu.actions().size(), 4);

    ui::RoundedColorButton button;
    EXPECT_EQ(button.cornerRadius, 8.0);
    EXPECT_EQ(button.foreColor, QColor(Qt::white));
    EXPECT_EQ(button.currentBackground(), button.bgColor);
    button.setDown(true);
    EXPECT_EQ(button.currentBackground(), QColor(Qt::black));
    button.setDown(false);
    button.setEnabled(false);
    EXPECT_EQ(button.currentBackground(), QColor(Qt::black));
    button.setProperty("disabledColor", QColor(Qt::red));
    EXPECT_EQ(button.currentBackground(), QColor(Qt::red));
}

TEST(MainWindow, ThePreviewShowsTheWorkflowsResult) {
    apptest::registerTestFilters();
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.settle(0.5);
    ASSERT_EQ(w.mainView()->image().size(), QSize(600, 400));
    const QColor before = w.mainView()->image().pixelColor(300, 200);

    auto half = model::Filter::make("Half", "GWTestScale", "");
    d.setCurrentFilters({half});
    d.requestPreviewRegeneration();
    h.settle(1.1);
    EXPECT_FALSE(w.previewPending());
    ASSERT_EQ(w.mainView()->image().size(), QSize(300, 200));
    EXPECT_EQ(w.convertedSizeLabel()->text(), QString::fromUtf8("\u2192  300 x 200"));
    const QColor after = w.mainView()->image().pixelColor(150, 100);
    EXPECT_NEAR(after.red(), before.red(), 40);

    // Deselecting every image empties the view.
    d.setCurrentImagesSelection(-1);
    d.tableViewSelectionDidChange();
    h.settle();
    EXPECT_TRUE(w.mainView()->image().isNull());
}

TEST(MainWindow, NamesWithAnAmpersandShowAsWrittenInTheMenus) {
    app::LaunchHooks hooks = uitest::hooks();
    hooks.buildEffectsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "", {{"Black & White", 2}, {"Film", 1}});
    };
    WindowHarness h(true, hooks);
    auto& w = *h.window;
    auto& d = h.d();
    QAction* category = w.effectsMenu()->actions()[0];
    EXPECT_EQ(category->text(), "Black && White");
    EXPECT_TRUE(QKeySequence::mnemonic(category->text()).isEmpty());
    QAction* entry = category->menu()->actions()[1];
    EXPECT_EQ(entry->text(), "Black && White 1");
    entry->trigger();
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "Black & White 1");

    // A preset's name is the user's own text.
    h.dialogs->alertAnswers.push_back({0, false, "Salt & Pepper"});
    d.presetSaveCurrentAs();
    QAction* preset = w.presetsMenu()->actions()[0];
    EXPECT_EQ(preset->text(), "Salt && Pepper");
    d.setCurrentFilters({});
    preset->trigger();
    EXPECT_EQ(d.presetCurrent(), "Salt & Pepper");
    EXPECT_EQ(d.CurrentFilters().size(), 1u);
    h.settle();
}

TEST(MainWindow, TextsDescribeWhatIsShown) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    h.settle(2.5);
    EXPECT_EQ(w.originalSizeLabel()->text(), "600 x 400");
    EXPECT_EQ(w.convertedSizeLabel()->text(), QString::fromUtf8("\u2192  600 x 400"));

    // While an import runs the preview waits for it, and says so.
    d.setCurrentImagesSelection(-1);
    d.tableViewSelectionDidChange();
    h.settle();
    QString shownDuringImport;
    auto watch = QObject::connect(&d, &app::AppDelegate::CurrentImagesSelectionChanged, [&] {
        if (d.CurrentlyAddingImages() && w.mainView()->image().isNull())
            shownDuringImport = w.mainView()->placeholderTitle();
    });
    d.addImages({apptest::Harness::url(apptest::Harness::data("chelsea.png"))});
    h.settle(0.1);
    QObject::disconnect(watch);
    EXPECT_EQ(shownDuringImport, QString::fromUtf8("Importing images\u2026"));
    EXPECT_FALSE(d.CurrentlyAddingImages());
    h.settle(2.5);

    // Once the queue is empty no size describes anything.
    h.dialogs->alertAnswers.push_back({0, false, {}});
    w.queue()->removeAllButton()->click();
    ASSERT_TRUE(d.CurrentImages().empty());
    EXPECT_TRUE(w.originalSizeLabel()->text().isEmpty());
    EXPECT_TRUE(w.convertedSizeLabel()->text().isEmpty());

    // A library entry dragged onto the photo is no file: no import, no sheet.
    auto* model = w.library()->model();
    std::unique_ptr<QMimeData> entry(model->mimeData({model->index(0)}));
    EXPECT_FALSE(uitest::dropOn(w.dropZone(), QPoint(50, 50), entry.get()));
    EXPECT_FALSE(d.progressSheetVisible());
    EXPECT_FALSE(w.progressHost()->isVisible());
    h.settle(2);
}

TEST(MainWindow, TheSmallestWindowFitsA1280By720ScreenWithNothingCut) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png"))});
    auto step = model::Filter::make(
        "Amount", "CIColorInvert", "",
        {model::FilterParam::make("Amount", "inputAmount", "", model::FilterParamValue::numeric(0.5, 0, 1),
                                  model::FilterParamValue::numeric(0.5, 0, 1))});
    d.setCurrentFilters({step});
    d.setCurrentFiltersSelection(0);
    h.settle(2.5);

    // The smallest window comes from its panels, and leaves room for a title bar and a desktop
    // panel on a screen of 1280 x 720 logical pixels (1366 x 768 at scale 1, 2560 x 1440 at 2).
    const QSize smallest = w.minimumSize().expandedTo(w.minimumSizeHint());
    EXPECT_LE(smallest.width(), 1280 - 20);
    EXPECT_LE(smallest.height(), 720 - 100);
    w.resize(smallest);
    QApplication::processEvents();
    ASSERT_EQ(w.size(), smallest);

    // At that size every button and label has the room it asks for (tables and the parameter
    // list scroll instead).
    int checked = 0;
    for (auto* widget : w.findChildren<QWidget*>()) {
        if (!widget->isVisible() ||
            (!qobject_cast<QAbstractButton*>(widget) && !qobject_cast<QLabel*>(widget)))
            continue;
        bool scrolled = false;
        for (QWidget* p = widget->parentWidget(); p; p = p->parentWidget())
            if (qobject_cast<QAbstractScrollArea*>(p))
                scrolled = true;
        if (scrolled)
            continue;
        ++checked;
        EXPECT_GE(widget->width(), widget->minimumSizeHint().width())
            << widget->metaObject()->className() << " \"" << widget->property("text").toString().toStdString()
            << "\"";
    }
    EXPECT_GT(checked, 15);
    h.settle(2);
}

TEST(MainWindow, AReasonThatLooksLikeMarkupIsShownAsWritten) {
    WindowHarness h;
    auto& d = h.d();
    const QString reason = "x.png \u2014 <img src=\"/etc/x\"><b>bold</b>";
    d.setProgressSheetSubMessage(reason);
    d.setProgressSheetFailedItems({reason});
    auto* sheet = h.window->progressSheet();
    // Qt renders a tooltip that might be rich text as HTML.
    auto shown = [](const QString& tip) {
        QTextDocument document;
        Qt::mightBeRichText(tip) ? document.setHtml(tip) : document.setPlainText(tip);
        return document.toPlainText().toStdString();
    };
    ASSERT_EQ(sheet->failedList()->count(), 1);
    EXPECT_EQ(shown(sheet->failedList()->item(0)->toolTip()), reason.toStdString());
    EXPECT_EQ(shown(sheet->subMessageLabel()->toolTip()), reason.toStdString());
    EXPECT_EQ(sheet->subMessageLabel()->textFormat(), Qt::PlainText);
}

TEST(MainWindow, AnImportEndsWithTheCountOfFilesItCouldNotRead) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    const QString text = h.dir.filePath("notes.png");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not an image");
    }
    d.addImages({apptest::Harness::url(apptest::Harness::data("coffee.png")), apptest::Harness::url(text),
                 apptest::Harness::url(apptest::Harness::data("truncated.jpg"))});
    h.settle(0.5);
    auto* sheet = w.progressSheet();
    ASSERT_TRUE(w.progressHost()->isVisible());
    EXPECT_EQ(sheet->messageLabel()->text(), "2 of 3 failed");
    EXPECT_EQ(sheet->counterLabel()->text(), "3 of 3");
    EXPECT_FALSE(sheet->successMark()->isVisible());
    EXPECT_EQ(d.CurrentImages().size(), 1u);
    // Which files, and why.
    ASSERT_TRUE(sheet->failedList()->isVisible());
    ASSERT_EQ(sheet->failedList()->count(), 2);
    EXPECT_EQ(sheet->failedList()->item(0)->text().toStdString(), "notes.png \u2014 Not a PNG file");
    EXPECT_EQ(sheet->failedList()->item(1)->text().toStdString(),
              "truncated.jpg \u2014 JPEG error: Premature end of JPEG file");
    EXPECT_GE(w.progressHost()->panel()->height(), w.progressHost()->panel()->sizeHint().height());
    // It stays until the user has seen it.
    h.settle(5);
    EXPECT_TRUE(w.progressHost()->isVisible());
    sheet->closeButton()->click();
    EXPECT_FALSE(w.progressHost()->isVisible());
}

TEST(MainWindow, AnExportEndsWithTheFilesThatFailedAndWhy) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    const QString gone = h.copyData("coffee.png", h.dir.filePath("gone.png"));
    const QString cut = h.copyData("rocket.jpg", h.dir.filePath("cut.jpg"));
    d.addImages({apptest::Harness::url(apptest::Harness::data("chelsea.png")), apptest::Harness::url(gone),
                 apptest::Harness::url(cut)});
    h.settle(2.5);
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    // Moved away and cut short on disk after the import.
    ASSERT_TRUE(QFile::remove(gone));
    h.rewriteData("truncated.jpg", cut);

    d.setExportDialogDestination(h.folder("out"));
    d.showExportDialog();
    d.exportDialogStartProcessing();
    h.settle();
    auto* sheet = w.progressSheet();
    ASSERT_TRUE(w.progressHost()->isVisible());
    EXPECT_EQ(sheet->messageLabel()->text(), "2 of 3 failed");
    ASSERT_TRUE(sheet->failedList()->isVisible());
    ASSERT_EQ(sheet->failedList()->count(), 2);
    EXPECT_EQ(sheet->failedList()->item(0)->text().toStdString(), "gone.png \u2014 The file does not exist");
    EXPECT_EQ(sheet->failedList()->item(1)->text().toStdString(),
              "cut.jpg \u2014 JPEG error: Premature end of JPEG file");
    EXPECT_GE(w.progressHost()->panel()->height(), w.progressHost()->panel()->sizeHint().height());
}

TEST(MainWindow, ThePreviewShowsTheWholePictureWhileAnAlertIsOpen) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    // Four quadrants of their own colour: a crop or an enlargement shows in the wrong place.
    QImage picture(1600, 1000, QImage::Format_RGB32);
    const QColor quadrants[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
    for (int q = 0; q < 4; ++q)
        for (int y = 0; y < 500; ++y)
            for (int x = 0; x < 800; ++x)
                picture.setPixelColor(x + 800 * (q % 2), y + 500 * (q / 2), quadrants[q]);
    const QString path = h.dir.filePath("quadrants.png");
    ASSERT_TRUE(picture.save(path));
    d.addImages({apptest::Harness::url(path)});
    h.settle(2.5);
    ASSERT_EQ(w.mainView()->image().size(), picture.size());

    // Where each quadrant's centre is drawn: the picture fitted into the view.
    auto colours = [&](const QImage& shot) {
        const double dpr = shot.devicePixelRatio();
        const QRect area = QRect(QPoint(), w.mainView()->size()).adjusted(12, 12, -12, -12);
        const QSize fitted = picture.size().scaled(area.size(), Qt::KeepAspectRatio);
        const QRect r(area.x() + (area.width() - fitted.width()) / 2,
                      area.y() + (area.height() - fitted.height()) / 2, fitted.width(), fitted.height());
        std::vector<QColor> seen;
        for (int q = 0; q < 4; ++q) {
            const QPointF at(r.x() + r.width() * (0.25 + 0.5 * (q % 2)),
                             r.y() + r.height() * (0.25 + 0.5 * (q / 2)));
            seen.push_back(shot.pixelColor((at * dpr).toPoint()));
        }
        return seen;
    };
    const std::vector<QColor> expected(std::begin(quadrants), std::end(quadrants));
    ASSERT_EQ(colours(w.mainView()->grab().toImage()), expected);

    // Real modal alerts over the window; each is looked at while open and then cancelled.
    ui::UiDialogs alerts;
    alerts.setParentWidget(&w);
    std::vector<std::vector<QColor>> behind;
    h.dialogs->realAlert = [&](const app::AlertRequest& request) {
        QTimer::singleShot(50, [&] {
            QWidget* alert = QApplication::activeModalWidget();
            QApplication::processEvents();
            behind.push_back(colours(w.mainView()->grab().toImage()));
            if (alert)
                alert->close();
        });
        return alerts.runAlert(request);
    };
    d.removeAllFiles();
    d.setCurrentFilters({model::Filter::make("Invert", "CIColorInvert", "")});
    d.removeFilterFromList(d.CurrentFilters().front());
    d.openDocument();
    ASSERT_EQ(behind.size(), 3u);
    for (const auto& seen : behind)
        EXPECT_EQ(seen, expected);
    EXPECT_EQ(d.CurrentImages().size(), 1u); // every alert was cancelled
}
