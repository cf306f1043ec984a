#include "AppTestSupport.h"

#include "platform/WindowImage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <thread>

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
        // Beside the tick, what was done rather than the last stage.
        EXPECT_EQ(d.ProgressSheetMessage(), "1 image exported");
        EXPECT_EQ(d.ProgressSheetSubMessage(), "");
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
    EXPECT_EQ(
        d.ProgressSheetFailedItems(),
        (QStringList{
            QString::fromUtf8("one.png \u2014 could not be written as one.png: No such file or directory"),
            QString::fromUtf8("two.jpg \u2014 The file does not exist"),
            QString::fromUtf8(
                "three.png \u2014 could not be written as three.png: No such file or directory")}));
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
    EXPECT_TRUE(d.ImagesPending());
    d.exportDialogStartProcessing();
    // The export's sheet comes at once, saying what it waits for and how far that has come.
    EXPECT_TRUE(d.progressSheetVisible());
    EXPECT_EQ(d.ProgressSheetAction(), "Exporting images");
    EXPECT_EQ(d.ProgressSheetMessage(), "Waiting for the import to finish");
    EXPECT_EQ(d.ProgressSheetSubMessage(), "Importing images: 0 of 2");
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

TEST(Export, ImagesAddedWhileAClosedExportRunsShowTheirSheetAtOnce) {
    ExportHarness h;
    auto& d = h.d();
    h.queue({h.copyData("coffee.png", h.dir.filePath("a.png")),
             h.copyData("chelsea.png", h.dir.filePath("b.png"))});
    h.queues->holdGlobal = true;
    d.showExportDialog();
    d.exportDialogStartProcessing();
    // Closed: the work goes on, and the window is told so.
    d.forceCloseProgressDialog();
    EXPECT_FALSE(d.progressSheetVisible());
    EXPECT_TRUE(d.ProgressSheetHidden());

    // Images added meanwhile wait for the export; their sheet comes at once and says so, and
    // the export's progress shows on its last line only.
    d.addImages({Harness::url(h.copyData("rocket.jpg", h.dir.filePath("c.jpg")))});
    EXPECT_TRUE(d.progressSheetVisible());
    EXPECT_FALSE(d.ProgressSheetHidden());
    EXPECT_TRUE(d.ImagesPending());
    EXPECT_EQ(d.ProgressSheetAction(), "Importing images");
    EXPECT_EQ(d.ProgressSheetMessage(), "Waiting for the export to finish");
    EXPECT_EQ(d.ProgressSheetSubMessage(), "Exporting images: 0 of 2");
    QStringList actions, lines;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetActionChanged,
                     [&] { actions << d.ProgressSheetAction(); });
    QObject::connect(&d, &app::AppDelegate::ProgressSheetSubMessageChanged,
                     [&] { lines << d.ProgressSheetSubMessage(); });
    h.queues->holdGlobal = false;
    h.queues->drain();
    EXPECT_TRUE(actions.isEmpty());
    EXPECT_TRUE(lines.contains("Exporting images: 2 of 2"));
    EXPECT_EQ(h.files(), (QStringList{"a.png", "b.png"}));

    // Then it runs.
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    EXPECT_EQ(d.ProgressSheetMessage(), "1 image added");
    EXPECT_FALSE(d.ImagesPending());
    h.queues->advance(2.1);
    EXPECT_FALSE(d.progressSheetVisible());
}

TEST(Export, ImagesReadAheadAreReportedInOrderAndFailAlone) {
    ExportHarness h;
    auto& d = h.d();
    const QString a = h.copyData("coffee.png", h.dir.filePath("a.png"));
    const QString b = h.copyData("rocket.jpg", h.dir.filePath("b.jpg"));
    const QString c = h.copyData("rocket.jpg", h.dir.filePath("c.jpg"));
    const QString e = h.copyData("chelsea.png", h.dir.filePath("e.png"));
    h.queue({a, b, c, e});
    ASSERT_EQ(d.CurrentImages().size(), 4u);
    // After queueing: one image gone, one damaged.
    QFile::remove(b);
    h.rewriteData("truncated.jpg", c);

    QStringList steps;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetMessageChanged,
                     [&] { steps << d.ProgressSheetMessage(); });
    QObject::connect(&d, &app::AppDelegate::ProgressSheetSubMessageChanged,
                     [&] { steps << "> " + d.ProgressSheetSubMessage(); });
    QStringList finished;
    QObject::connect(&d, &app::AppDelegate::exportItemFinished, [&](const QString& path, bool ok, double) {
        finished << QFileInfo(path).fileName() + (ok ? " ok" : " failed");
    });
    gwtest::ConsoleCapture console;
    h.run();
    // The failures are said in the order of the images, though each image is written while the
    // next one is drawn (beside, once, what the system lets the image readers have).
    std::vector<std::string> said;
    for (const std::string& line : console.lines())
        if (!line.starts_with("Image readers run without"))
            said.push_back(line);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find("b.jpg"), std::string::npos);
    EXPECT_NE(said[1].find("c.jpg"), std::string::npos);

    // Each image's stages in turn, as if it had been read when its turn came.
    const QStringList written{"Processing...", "Converting...", "> Writing to disk..."};
    const QStringList failed{"Error reading image..."};
    QStringList expected{"Warming up..."};
    for (const auto& [path, after] : {std::pair{a, written}, {b, failed}, {c, failed}, {e, written}})
        expected << "Loading..."
                 << "> " + path << after;
    expected << "2 of 4 failed"
             << "> ";
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(finished, (QStringList{"a.png ok", "b.jpg failed", "c.jpg failed", "e.png ok"}));
    EXPECT_EQ(h.files(), (QStringList{"a.png", "e.png"}));
    // The sheet says which files failed and why, as the import's does.
    EXPECT_EQ(d.ProgressSheetFailedItems(),
              (QStringList{QString::fromUtf8("b.jpg \u2014 The file does not exist"),
                           QString::fromUtf8("c.jpg \u2014 JPEG error: Premature end of JPEG file")}));

    // What was read ahead is what a plain decode gives: a lossless export of the sources matches
    // them exactly.
    for (const QString& name : {QStringLiteral("a.png"), QStringLiteral("e.png")}) {
        const auto written = platform::WindowImage::fromFile((h.out + "/" + name).toStdString());
        const auto source = platform::WindowImage::fromFile(h.dir.filePath(name).toStdString());
        ASSERT_TRUE(written && source);
        auto x = written->render(8), y = source->render(8);
        ASSERT_TRUE(x.ok() && y.ok());
        EXPECT_EQ(x->data, y->data) << name.toStdString();
    }
}

TEST(Export, AnImageIsReadFromTheFileThatWasAddedWhateverItsNameLeadsToLater) {
    ExportHarness h;
    auto& d = h.d();
    QTemporaryDir privateFolder;
    const QString secret = h.copyData("astronaut.png", privateFolder.filePath("secret.png"));
    const QString edited = h.copyData("coffee.png", h.dir.filePath("edited.png"));
    const QString linked = h.copyData("coffee.png", h.dir.filePath("linked.png"));
    const QString renamed = h.copyData("coffee.png", h.dir.filePath("renamed.png"));
    h.queue({edited, linked, renamed});
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    // Edited in place: the same file, new content. The others' names lead elsewhere now: a link to
    // a photo never added, and another file saved over the name.
    h.rewriteData("chelsea-small.png", edited);
    ASSERT_TRUE(QFile::remove(linked));
    ASSERT_TRUE(QFile::link(secret, linked));
    const QString other = h.copyData("chelsea-small.png", h.dir.filePath("other.png"));
    ASSERT_TRUE(QFile::remove(renamed));
    ASSERT_TRUE(QFile::rename(other, renamed));

    gwtest::ConsoleCapture console;
    d.setCurrentImagesSelection(1);
    d.regeneratePreview();
    h.queues->advance(1.1);
    h.queues->drain();
    EXPECT_FALSE(d.CurrentPreview().isValid());
    h.run();
    EXPECT_EQ(h.files(), QStringList{"edited.png"});
    EXPECT_EQ(
        d.ProgressSheetFailedItems(),
        (QStringList{QString::fromUtf8("linked.png \u2014 The file was replaced after it was added"),
                     QString::fromUtf8("renamed.png \u2014 The file was replaced after it was added")}));
    const auto written = platform::WindowImage::fromFile((h.out + "/edited.png").toStdString());
    const auto source = platform::WindowImage::fromFile(h.dir.filePath("edited.png").toStdString());
    ASSERT_TRUE(written && source);
    auto x = written->render(8), y = source->render(8);
    ASSERT_TRUE(x.ok() && y.ok());
    EXPECT_EQ(x->data, y->data);
    EXPECT_TRUE(std::any_of(console.lines().begin(), console.lines().end(), [](const std::string& line) {
        return line.starts_with("renderPreview: ") && line.find("was replaced") != std::string::npos;
    }));
}

TEST(Export, ThePreviewWaitsForTheRun) {
    ExportHarness h;
    auto& d = h.d();
    h.queue({h.copyData("coffee.png", h.dir.filePath("a.png")),
             h.copyData("chelsea.png", h.dir.filePath("b.png"))});
    QStringList events;
    QObject::connect(&d, &app::AppDelegate::CurrentPreviewChanged, [&] { events << "preview"; });
    QObject::connect(&d, &app::AppDelegate::exportItemFinished, [&] { events << "exported"; });

    // A preview render waits for a worker when the export starts: it is given up, and the preview
    // comes after the run, of the image selected during it.
    h.queues->holdGlobal = true;
    d.setCurrentImagesSelection(0);
    d.regeneratePreview();
    EXPECT_TRUE(d.PreviewInProgress());
    d.showExportDialog();
    d.exportDialogStartProcessing();
    bool selected = false;
    QObject::connect(&d, &app::AppDelegate::exportItemFinished, [&] {
        if (!std::exchange(selected, true)) {
            d.setCurrentImagesSelection(1);
            d.regeneratePreview();
        }
    });
    h.queues->holdGlobal = false;
    h.queues->drain();
    EXPECT_EQ(events, (QStringList{"exported", "exported", "preview"}));
    EXPECT_FALSE(d.PreviewInProgress());
    EXPECT_EQ(d.selectedConvertedImageSize(), "451 x 300"); // the image selected last
    ASSERT_TRUE(d.CurrentPreview().firstRepresentation());
}

TEST(Export, TwoRunsIntoOneFolderKeepEveryFile) {
    // Two windows' exports of the same photos into one folder at once, without overwriting: each
    // file takes a name nothing has, even when the other run takes it meanwhile.
    ExportHarness first, second;
    QStringList photos;
    for (int i = 0; i < 24; ++i)
        photos << first.copyData("chelsea-small.png", first.dir.filePath(QString("p%1.png").arg(i)));
    first.queue(photos);
    second.queue(photos);
    second.d().setExportDialogDestination(first.out);
    int written[2] = {0, 0};
    ExportHarness* runs[2] = {&first, &second};
    for (int r = 0; r < 2; ++r) {
        auto& d = runs[r]->d();
        d.setExportDialogDestinationDoOverwrite(false);
        QObject::connect(&d, &app::AppDelegate::exportItemFinished,
                         [&written, r](const QString&, bool ok, double) { written[r] += ok; });
        runs[r]->queues->holdGlobal = true;
        d.showExportDialog();
        d.exportDialogStartProcessing();
        runs[r]->queues->drain();
        runs[r]->queues->holdGlobal = false;
    }
    std::thread other([&] { second.queues->drainWorkers(); });
    first.queues->drainWorkers();
    other.join();
    for (auto* run : runs) {
        run->queues->drain();
        EXPECT_EQ(run->d().ProgressSheetFailures(), 0);
        EXPECT_TRUE(run->d().ProgressSheetSuccess());
    }
    EXPECT_EQ(written[0], 24);
    EXPECT_EQ(written[1], 24);
    EXPECT_EQ(first.files().size(), 48);
}
