#include "AppTestSupport.h"

#include "platform/WindowImage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

using apptest::Harness;

using apptest::ExportHarness;

TEST(Export, EveryFormatWithItsExtensionAndReadableResult) {
    ExportHarness h;
    auto& d = h.d();
    h.queue({h.copyData("coffee.png", h.dir.filePath("photo.jpeg"))});
    const char* extensions[] = {"png", "jpg", "bmp", "tiff", "gif"};
    for (int format = 0; format < 5; ++format) {
        d.setExportDialogFileFormat(format);
        EXPECT_EQ(d.exportDialogQualityEnabled(), format <= 1);
        h.run();
        const QString path = h.out + "/photo." + extensions[format];
        ASSERT_TRUE(QFileInfo::exists(path)) << extensions[format];
        auto image = platform::WindowImage::fromFile(path.toStdString());
        ASSERT_TRUE(image) << extensions[format];
        EXPECT_EQ(image->firstRepresentation()->pixelsWide(), 600);
        EXPECT_EQ(image->firstRepresentation()->pixelsHigh(), 400);
        EXPECT_TRUE(d.ProgressSheetSuccess());
        h.queues->advance(2.1);
    }
    // Nothing but the five files: no temporary file is left behind.
    EXPECT_EQ(h.files().size(), 5);

    // The enabled steps apply; the quality reaches the encoder.
    d.setCurrentFilters({model::Filter::make("Scale", "GWTestScale", "")});
    d.setExportDialogFileFormat(1);
    d.setExportDialogQuality(1);
    EXPECT_EQ(d.exportDialogQualityDescription(), "Bad");
    h.run();
    h.queues->advance(2.1);
    const auto small = QFileInfo(h.out + "/photo.jpg").size();
    auto halved = platform::WindowImage::fromFile((h.out + "/photo.jpg").toStdString());
    ASSERT_TRUE(halved);
    EXPECT_EQ(halved->firstRepresentation()->pixelsWide(), 300);
    d.setExportDialogQuality(5);
    EXPECT_EQ(d.exportDialogQualityDescription(), "Excellent");
    h.run();
    h.queues->advance(2.1);
    EXPECT_LT(small, QFileInfo(h.out + "/photo.jpg").size());
}

TEST(Export, NamingWithAndWithoutOverwriting) {
    ExportHarness h;
    auto& d = h.d();
    h.queue({h.copyData("coffee.png", h.dir.filePath("a.jpg"))});
    QFile existing(h.out + "/a.png");
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("old");
    existing.close();

    d.setExportDialogDestinationDoOverwrite(false);
    h.run();
    h.queues->advance(2.1);
    h.run();
    h.queues->advance(2.1);
    EXPECT_EQ(h.files(), (QStringList{"a-2.png", "a-3.png", "a.png"}));
    EXPECT_EQ(QFileInfo(h.out + "/a.png").size(), 3);

    d.setExportDialogDestinationDoOverwrite(true);
    h.run();
    h.queues->advance(2.1);
    EXPECT_EQ(h.files().size(), 3);
    EXPECT_GT(QFileInfo(h.out + "/a.png").size(), 3);

    EXPECT_EQ(app::AppDelegate::exportFileName(h.out, "a", ".png", false), "a-4.png");
    EXPECT_EQ(app::AppDelegate::exportFileName(h.out, "a", ".png", true), "a.png");
}

TEST(Export, FailuresAreCountedAndTheBatchGoesOn) {
    ExportHarness h;
    auto& d = h.d();
    const QString one = h.copyData("coffee.png", h.dir.filePath("one.png"));
    const QString two = h.copyData("rocket.jpg", h.dir.filePath("two.jpg"));
    const QString three = h.copyData("chelsea.png", h.dir.filePath("three.png"));
    h.queue({one, two, three});
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    QFile::remove(two);

    QStringList messages;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetMessageChanged,
                     [&] { messages << d.ProgressSheetMessage(); });
    gwtest::ConsoleCapture console;
    h.run();
    EXPECT_EQ(h.files(), (QStringList{"one.png", "three.png"}));
    EXPECT_EQ(d.ProgressSheetCurrent(), 3);
    EXPECT_EQ(d.ProgressSheetMax(), 3);
    EXPECT_TRUE(messages.contains("Error reading image..."));
    EXPECT_EQ(d.ProgressSheetFailures(), 1);
    EXPECT_FALSE(d.ProgressSheetSuccess());
    EXPECT_EQ(d.ProgressSheetMessage(), "1 of 3 failed");
    EXPECT_EQ(console.lines().size(), 1u);
    // The count stays on the sheet until the user closes it.
    h.queues->advance(3.0);
    EXPECT_TRUE(d.progressSheetVisible());
    d.forceCloseProgressDialog();
    EXPECT_FALSE(d.progressSheetVisible());

    // A destination that cannot be written: every write fails and is reported.
    d.setExportDialogDestination(h.dir.filePath("no/such/folder"));
    gwtest::ConsoleCapture writes;
    h.run();
    EXPECT_EQ(d.ProgressSheetFailures(), 3);
    int wentWrong = 0;
    for (const auto& line : writes.lines())
        wentWrong += line.rfind("Something went wrong: ", 0) == 0;
    EXPECT_EQ(wentWrong, 2); // the deleted file fails before writing
}

TEST(Export, EmptyQueueNoDestinationAndDialogPages) {
    ExportHarness h;
    auto& d = h.d();
    d.showExportDialog();
    EXPECT_TRUE(d.exportDialogVisible());
    EXPECT_EQ(d.exportDialogSelectedTab(), 0);
    d.exportDialogNext();
    d.exportDialogNext();
    EXPECT_TRUE(d.exportDialogIsLastTab());
    d.exportDialogNext();
    EXPECT_EQ(d.exportDialogSelectedTab(), 2);
    d.exportDialogBack();
    EXPECT_FALSE(d.exportDialogIsLastTab());

    d.exportDialogStartProcessing();
    EXPECT_FALSE(d.exportDialogVisible());
    EXPECT_EQ(d.ProgressSheetAction(), "Exporting images");
    EXPECT_EQ(d.ProgressSheetMax(), 0);
    h.queues->drain();
    EXPECT_TRUE(d.ProgressSheetSuccess());
    h.queues->advance(2.1);
    EXPECT_FALSE(d.progressSheetVisible());

    // Without a destination the run does not start and the dialog stays.
    d.setExportDialogDestination("");
    EXPECT_FALSE(d.exportDialogCanStart());
    d.showExportDialog();
    d.exportDialogStartProcessing();
    EXPECT_TRUE(d.exportDialogVisible());
    EXPECT_FALSE(d.progressSheetVisible());

    h.dialogs->openAnswers.push_back(QStringList{h.out});
    d.exportDialogSelectFolder();
    EXPECT_EQ(d.exportDialogDestination(), h.out);
    EXPECT_TRUE(h.dialogs->openPanels.back().canChooseDirectories);
    EXPECT_FALSE(h.dialogs->openPanels.back().canChooseFiles);
    d.cancelExportDialog();
    EXPECT_FALSE(d.exportDialogVisible());
}

TEST(Export, ARunThatWaitedForAnImportTakesTheImagesItAdded) {
    ExportHarness h;
    auto& d = h.d();
    h.queue({h.copyData("coffee.png", h.dir.filePath("a.png"))});

    // Files arrive (an open-file request) while the export dialog is up; Start is pressed while
    // they are being imported.
    d.showExportDialog();
    h.queues->holdGlobal = true;
    d.applicationOpenFiles({h.copyData("chelsea.png", h.dir.filePath("b.png")),
                            h.copyData("rocket.jpg", h.dir.filePath("c.jpg"))});
    EXPECT_TRUE(d.CurrentlyAddingImages());
    d.exportDialogStartProcessing();
    EXPECT_EQ(d.ProgressSheetAction(), "Importing images");
    h.queues->holdGlobal = false;
    h.queues->drain();

    // The run starts after the import, with the queue as it is then: all three are written.
    EXPECT_EQ(d.ProgressSheetAction(), "Exporting images");
    EXPECT_EQ(d.ProgressSheetMax(), 3);
    EXPECT_EQ(d.ProgressSheetCurrent(), 3);
    EXPECT_TRUE(d.ProgressSheetSuccess());
    EXPECT_EQ(h.files(), (QStringList{"a.png", "b.png", "c.png"}));
    h.queues->advance(2.1);
}
