#include "AppTestSupport.h"

#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QFile>

using apptest::Harness;

namespace {

void post() {
    platform::NotificationCenter::defaultCenter().post(platform::RequiresPreviewRegeneration);
}

struct PreviewHarness : Harness {
    PreviewHarness() {
        apptest::registerTestFilters();
        d().applicationDidFinishLaunching(); // observes the change signal
        queues->advance(3.0);
        d().acceptImageFileDrop({url(copyData("coffee.png", dir.filePath("coffee.png"))),
                                 url(copyData("rocket.jpg", dir.filePath("rocket.jpg")))},
                                0);
        queues->drain();
    }
};

} // namespace

TEST(Preview, BurstOfChangesGivesOneRenderAfterOneSecond) {
    PreviewHarness h;
    auto& d = h.d();
    d.setCurrentImagesSelection(0);
    int renders = 0;
    QObject::connect(&d, &app::AppDelegate::CurrentPreviewChanged, [&] { ++renders; });
    const int before = h.queues->globalBlocks;

    for (int i = 0; i < 10; ++i) {
        post();
        h.queues->advance(0.03);
    }
    EXPECT_TRUE(d.pendingGeneration());
    EXPECT_EQ(h.queues->globalBlocks, before);
    h.queues->advance(0.65); // 0.95 s after the first change
    EXPECT_EQ(h.queues->globalBlocks, before);
    h.queues->advance(0.1);
    EXPECT_EQ(h.queues->globalBlocks, before + 1);
    EXPECT_EQ(renders, 1);
    EXPECT_FALSE(d.pendingGeneration());
    EXPECT_FALSE(d.PreviewInProgress());
    EXPECT_EQ(d.selectedOriginalImageSize(), "600 x 400");
    EXPECT_EQ(d.selectedConvertedImageSize(), "600 x 400");
    ASSERT_TRUE(d.CurrentPreview().isValid());

    // The next change after the render schedules a new one.
    post();
    h.queues->advance(1.1);
    EXPECT_EQ(h.queues->globalBlocks, before + 2);
}

TEST(Preview, ChangesDuringRenderAndOvertakenResults) {
    PreviewHarness h;
    auto& d = h.d();
    d.setCurrentImagesSelection(0);
    int previews = 0;
    QObject::connect(&d, &app::AppDelegate::CurrentPreviewChanged, [&] { ++previews; });
    const int before = h.queues->globalBlocks;

    // A change that arrives while the render runs is rendered after it.
    post();
    h.queues->holdGlobal = true;
    h.queues->advance(1.0);
    EXPECT_TRUE(d.PreviewInProgress());
    post();
    post();
    h.queues->holdGlobal = false;
    h.queues->drain();
    EXPECT_EQ(h.queues->globalBlocks, before + 2);
    EXPECT_EQ(previews, 2);
    EXPECT_FALSE(d.PreviewInProgress());
    EXPECT_FALSE(d.pendingGeneration());

    // Selecting other images while a render runs: the running one is cancelled, at most one runs,
    // and the render of the image selected last follows it; nothing of the others is shown.
    QStringList sizes;
    QObject::connect(&d, &app::AppDelegate::selectedOriginalImageSizeChanged,
                     [&] { sizes << d.selectedOriginalImageSize(); });
    h.queues->holdGlobal = true;
    const int running = h.queues->globalBlocks;
    d.tableViewSelectionDidChange();
    EXPECT_EQ(h.queues->globalBlocks, running + 1);
    for (qint64 selection : {1, 0, 1}) {
        d.setCurrentImagesSelection(selection);
        d.tableViewSelectionDidChange();
    }
    EXPECT_EQ(h.queues->globalBlocks, running + 1); // the first is still running
    EXPECT_TRUE(d.PreviewInProgress());
    h.queues->holdGlobal = false;
    h.queues->drain();
    EXPECT_EQ(h.queues->globalBlocks, running + 2);
    EXPECT_EQ(previews, 3);
    EXPECT_EQ(sizes, QStringList{"640 x 427"});
    EXPECT_EQ(d.selectedOriginalImageSize(), "640 x 427");
    EXPECT_EQ(d.CurrentPreview().firstRepresentation()->pixelsWide(), 640);
    EXPECT_FALSE(d.PreviewInProgress());

    // Deselecting while a render runs clears the preview and it stays cleared.
    h.queues->holdGlobal = true;
    d.tableViewSelectionDidChange();
    d.setCurrentImagesSelection(-1);
    d.tableViewSelectionDidChange();
    EXPECT_FALSE(d.CurrentPreview().isValid());
    h.queues->holdGlobal = false;
    h.queues->drain();
    EXPECT_FALSE(d.CurrentPreview().isValid());
    EXPECT_FALSE(d.PreviewInProgress());
}

TEST(Preview, WorkflowStepsAndImportSuppression) {
    PreviewHarness h;
    auto& d = h.d();
    d.setCurrentImagesSelection(0);

    // A tile step keeps the image's size; a disabled step is skipped.
    auto tile = model::Filter::make("Tile", "GWTestTile", "");
    auto scale = model::Filter::make(
        "Scale", "GWTestScale", "",
        {model::FilterParam::make("Scale", "inputScale", "", model::FilterParamValue::numeric(0.5, 0.05, 1.5),
                                  model::FilterParamValue::numeric(0.5, 0.05, 1.5))});
    scale->setIsEnabled(false);
    d.setCurrentFilters({tile, scale});
    d.tableViewSelectionDidChange();
    h.queues->drain();
    EXPECT_EQ(d.selectedConvertedImageSize(), "600 x 400");

    scale->setIsEnabled(true);
    h.queues->advance(1.1);
    EXPECT_EQ(d.selectedOriginalImageSize(), "600 x 400");
    EXPECT_EQ(d.selectedConvertedImageSize(), "300 x 200");

    // The render worked on a copy: editing the workflow later does not reach it.
    EXPECT_EQ(d.CurrentFilters()[1], scale);

    // While an import runs the preview waits for its end.
    const int before = h.queues->globalBlocks;
    d.addImages({Harness::url(h.dir.filePath("coffee.png"))});
    d.tableViewSelectionDidChange();
    EXPECT_EQ(h.queues->globalBlocks, before + 1); // the import only
    h.queues->drain();
    EXPECT_EQ(h.queues->globalBlocks, before + 2); // the import's end renders

    // A queued file that can no longer be read: the preview does not go on showing another image.
    ASSERT_TRUE(d.CurrentPreview().isValid());
    QFile::remove(h.dir.filePath("rocket.jpg"));
    d.setCurrentImagesSelection(1);
    d.tableViewSelectionDidChange();
    h.queues->drain();
    EXPECT_FALSE(d.CurrentPreview().isValid());
    EXPECT_FALSE(d.PreviewInProgress());

    // The panel switch.
    d.setActionsOrPreview(1);
    EXPECT_TRUE(d.PreviewIsShown());
    d.setActionsOrPreview(0);
    EXPECT_FALSE(d.PreviewIsShown());
    EXPECT_EQ(app::AppDelegate::formatImageSize(640.9, 480.2), "640 x 480");
}
