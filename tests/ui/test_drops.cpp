#include "UiTestSupport.h"

#include "ui/DroppableImageView.h"
#include "ui/ImageQueuePanel.h"
#include "ui/LibraryPanel.h"
#include "ui/WorkflowPanel.h"

#include "platform/Pasteboard.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QListView>
#include <QListWidget>
#include <QToolButton>

using uitest::dropOn;
using uitest::fileDrag;
using uitest::WindowHarness;

namespace {

std::vector<std::string> names(const model::Filters& steps) {
    std::vector<std::string> out;
    for (const auto& s : steps)
        out.push_back(s->name());
    return out;
}

/// The gap before row `index` of the workflow (after the last for the row count).
QPoint gap(ui::WorkflowPanel* panel, int index) {
    const auto& rows = panel->rows();
    if (index < int(rows.size()))
        return QPoint(40, rows[size_t(index)]->geometry().top() + 3);
    return QPoint(40, rows.back()->geometry().bottom() - 3 + 6);
}

} // namespace

TEST(Drops, LibraryEntriesDropIntoTheWorkflowAndRowsReorder) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    auto* panel = w.workflow();
    auto* list = panel->list();

    // A library entry dragged onto the empty workflow becomes its only, selected step.
    auto* model = w.library()->model();
    QMimeData* mime = model->mimeData({model->index(1)}); // "Vintage 1"
    ASSERT_NE(mime, nullptr);
    EXPECT_TRUE(mime->hasFormat(platform::filterPasteboardType()));
    EXPECT_TRUE(dropOn(list, QPoint(40, 20), mime));
    delete mime;
    ASSERT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"Vintage 1"}));
    EXPECT_TRUE(d.CurrentFilters()[0]->isCurrent());
    EXPECT_EQ(d.CurrentFiltersSelection(), 0);
    QApplication::processEvents();
    ASSERT_EQ(panel->rows().size(), 1u);

    // Three more, then reorders by dragging rows (A, B, C, D as in the examples).
    d.setCurrentFilters({});
    for (const char* n : {"A", "B", "C", "D"}) {
        auto step = model::Filter::make(n, "CIColorInvert", "");
        step->setIsCurrent(true);
        auto list = d.CurrentFilters();
        list.push_back(step);
        d.setCurrentFilters(list);
    }
    QApplication::processEvents();
    w.resize(1400, 900);
    QApplication::processEvents();
    ASSERT_EQ(panel->rows().size(), 4u);

    auto dragRow = [&](int from, int to) {
        auto step = d.pasteboardWriterForItem(false, from);
        QMimeData data;
        step->writeToMimeData(data);
        EXPECT_EQ(list->dropIndexAt(gap(panel, to).y()), to);
        EXPECT_TRUE(dropOn(list, gap(panel, to), &data));
        QApplication::processEvents();
    };
    dragRow(0, 3); // A to the gap after C
    EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"B", "C", "A", "D"}));
    EXPECT_EQ(d.CurrentFiltersSelection(), 2);
    EXPECT_EQ(panel->rows()[2]->step()->name(), "A");
    dragRow(3, 0); // D to the front
    EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"D", "B", "C", "A"}));
    dragRow(1, 2); // B just after itself: unchanged
    EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"D", "B", "C", "A"}));
    dragRow(1, 4); // B to the end
    EXPECT_EQ(names(d.CurrentFilters()), (std::vector<std::string>{"D", "C", "A", "B"}));

    // Anything but a step is refused by the workflow.
    QMimeData text;
    text.setText("hello");
    EXPECT_FALSE(dropOn(list, QPoint(40, 20), &text));
    h.settle(2);
}

TEST(Drops, FilesDroppedOnTheDropZoneThePreviewAndTheTableReachTheQueue) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();

    // A folder dropped on the drop zone is expanded one level and imported in one run.
    const QString folder = h.folder("photos");
    h.copyData("coffee.png", folder + "/a.png");
    h.copyData("chelsea.png", folder + "/b.png");
    std::unique_ptr<QMimeData> mime(fileDrag({folder}));
    ASSERT_EQ(w.previewStack()->currentWidget(), w.dropZone());
    EXPECT_TRUE(dropOn(w.dropZone(), QPoint(50, 50), mime.get()));
    EXPECT_TRUE(d.CurrentlyAddingImages());
    EXPECT_EQ(d.ProgressSheetMax(), 2);
    h.settle(0.1);
    ASSERT_EQ(d.CurrentImages().size(), 2u);
    h.settle(2.5);

    // Onto the preview: appended, as from the drop zone.
    mime.reset(fileDrag({apptest::Harness::data("rocket.jpg")}));
    EXPECT_TRUE(dropOn(w.mainView(), QPoint(50, 50), mime.get()));
    h.settle(2.5);
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    EXPECT_EQ(d.CurrentImages()[2]->filename(), "rocket.jpg");

    // Onto the table: inserted where it lands; a file that is no image is skipped.
    const QString text = h.dir.filePath("notes.png");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not an image");
    }
    auto* table = w.queue()->table();
    const QRect first = table->visualRect(table->model()->index(0, 0));
    mime.reset(fileDrag({text, apptest::Harness::data("astronaut.png")}));
    EXPECT_TRUE(dropOn(table->viewport(), QPoint(first.center().x(), first.top() + 2), mime.get()));
    h.settle(0.1); // the records are read off the main queue
    ASSERT_EQ(d.CurrentImages().size(), 4u);
    EXPECT_EQ(d.CurrentImages()[0]->filename(), "astronaut.png");
    EXPECT_EQ(table->model()->rowCount(), 4);

    // A drag without files is not taken by the table.
    QMimeData plain;
    plain.setText("x");
    EXPECT_FALSE(dropOn(table->viewport(), first.center(), &plain));
    h.settle(2);
}
