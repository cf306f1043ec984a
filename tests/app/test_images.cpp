#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using apptest::Harness;

namespace {

QString writeText(const QString& path) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("not an image");
    return path;
}

} // namespace

TEST(Import, CountersMessagesSkipsAndSheetEnd) {
    Harness h;
    auto& d = h.d();
    const QString a = h.copyData("coffee.png", h.dir.filePath("a.png"));
    const QString bad = writeText(h.dir.filePath("b.png"));
    const QString c = h.copyData("rocket.jpg", h.dir.filePath("c.jpg"));

    std::vector<qint64> counters;
    QStringList messages;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetCurrentChanged,
                     [&] { counters.push_back(d.ProgressSheetCurrent()); });
    QObject::connect(&d, &app::AppDelegate::ProgressSheetMessageChanged,
                     [&] { messages << d.ProgressSheetMessage(); });

    d.addImages({Harness::url(a), Harness::url(bad), Harness::url(c)});
    EXPECT_TRUE(d.CurrentlyAddingImages());
    EXPECT_TRUE(d.progressSheetVisible());
    EXPECT_EQ(d.ProgressSheetAction(), "Importing images");
    EXPECT_EQ(d.ProgressSheetMessage(), "Warming up...");
    EXPECT_EQ(d.ProgressSheetMax(), 3);
    EXPECT_TRUE(d.ProgressSheetShowCounter());

    h.queues->drain();
    EXPECT_EQ(counters, (std::vector<qint64>{0, 1, 2, 3}));
    // The file that is no image is counted at the end, as the export counts its failures.
    EXPECT_EQ(messages,
              (QStringList{"Warming up...", "Analyzing...", "Adding...", "Analyzing...",
                           "Error reading image...", "Analyzing...", "Adding...", "1 of 3 failed"}));
    EXPECT_EQ(d.ProgressSheetSubMessage(), "");
    ASSERT_EQ(d.CurrentImages().size(), 2u);
    EXPECT_EQ(d.CurrentImages()[0]->path(), a);
    EXPECT_EQ(d.CurrentImages()[1]->path(), c);
    EXPECT_EQ(d.CurrentImagesSelection(), 1);
    EXPECT_TRUE(d.hasFiles());
    EXPECT_FALSE(d.CurrentlyAddingImages());
    EXPECT_FALSE(d.ProgressSheetSuccess());
    EXPECT_EQ(d.ProgressSheetFailures(), 1);
    // The count stays until the sheet is closed.
    h.queues->advance(5);
    EXPECT_TRUE(d.progressSheetVisible());
    d.forceCloseProgressDialog();
    EXPECT_FALSE(d.progressSheetVisible());

    // All readable: marked successful, closed 2.0 s later.
    d.addImages({Harness::url(a)});
    h.queues->drain();
    EXPECT_TRUE(d.ProgressSheetSuccess());
    EXPECT_EQ(d.ProgressSheetFailures(), 0);
    EXPECT_TRUE(d.progressSheetVisible());
    h.queues->advance(1.9);
    EXPECT_TRUE(d.progressSheetVisible());
    h.queues->advance(0.2);
    EXPECT_FALSE(d.progressSheetVisible());
    EXPECT_FALSE(d.ProgressSheetSuccess());

    // An empty list: finished at once, queue unchanged.
    d.addImages({});
    EXPECT_EQ(d.ProgressSheetMax(), 0);
    h.queues->drain();
    EXPECT_TRUE(d.ProgressSheetSuccess());
    EXPECT_EQ(d.CurrentImages().size(), 3u);
    h.queues->advance(2.1);
    EXPECT_FALSE(d.progressSheetVisible());
}

TEST(Import, FolderExpansionOpenFilesAndOverlappingImports) {
    Harness h;
    auto& d = h.d();
    const QString folder = h.folder("drop");
    h.copyData("coffee.png", folder + "/one.png");
    h.copyData("chelsea.png", folder + "/two.png");
    QDir().mkpath(folder + "/sub");
    h.copyData("rocket.jpg", folder + "/sub/deep.jpg");

    const auto expanded = app::AppDelegate::expandFolder(Harness::url(folder));
    EXPECT_EQ(expanded.size(), 3);
    EXPECT_EQ(app::AppDelegate::expandFolder(Harness::url(folder + "/one.png")),
              QList<QUrl>{Harness::url(folder + "/one.png")});
    EXPECT_TRUE(app::AppDelegate::expandFolder(Harness::url(h.dir.filePath("missing"))).size() == 1);

    QStringList messages;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetMessageChanged,
                     [&] { messages << d.ProgressSheetMessage(); });
    d.dropOnImageView({Harness::url(folder)});
    EXPECT_EQ(d.ProgressSheetMax(), 3);
    h.queues->drain();
    EXPECT_EQ(d.CurrentImages().size(), 2u); // the sub-folder is not an image
    EXPECT_EQ(messages.count("Error reading image..."), 1);

    // An open-file request while the import runs waits for it; both batches arrive, the sheet
    // and the flag stay consistent.
    h.queues->holdGlobal = true;
    d.addImages({Harness::url(folder + "/one.png")});
    EXPECT_TRUE(d.applicationOpenFile(folder + "/two.png"));
    EXPECT_EQ(d.ProgressSheetMessage(), "Waiting for the import to finish");
    h.queues->holdGlobal = false;
    h.queues->drain();
    EXPECT_EQ(d.CurrentImages().size(), 4u);
    EXPECT_EQ(d.CurrentImages()[3]->filename(), "two.png");
    EXPECT_FALSE(d.CurrentlyAddingImages());
    EXPECT_EQ(d.ProgressSheetCurrent(), d.ProgressSheetMax());
    EXPECT_TRUE(d.ProgressSheetSuccess());
    h.queues->advance(2.1);
    EXPECT_FALSE(d.progressSheetVisible());

    d.applicationOpenFiles({folder + "/one.png", folder});
    EXPECT_EQ(d.ProgressSheetMax(), 4);
    h.queues->drain();
    EXPECT_EQ(d.CurrentImages().size(), 7u);
}

TEST(Import, TableDropInsertsInOrderAndRemoval) {
    Harness h;
    auto& d = h.d();
    const QString png = h.copyData("coffee.png", h.dir.filePath("p.png"));
    const QString jpg = h.copyData("rocket.jpg", h.dir.filePath("r.jpg"));
    const QString bad = writeText(h.dir.filePath("bad.png"));

    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(d.acceptImageFileDrop({Harness::url(png)}, i));
        h.queues->drain();
    }
    ASSERT_EQ(d.CurrentImages().size(), 5u);
    EXPECT_TRUE(d.hasFiles());

    // Selected: the last of the five. It stays selected as the drop moves it down.
    d.setCurrentImagesSelection(4);
    const auto selected = d.CurrentImages()[4];
    EXPECT_TRUE(d.acceptImageFileDrop({Harness::url(jpg), Harness::url(jpg)}, 0));
    EXPECT_EQ(d.CurrentImages().size(), 5u); // read off the main queue first
    h.queues->drain();
    ASSERT_EQ(d.CurrentImages().size(), 7u);
    EXPECT_EQ(d.CurrentImages()[0]->filename(), "r.jpg");
    EXPECT_EQ(d.CurrentImages()[1]->filename(), "r.jpg");
    EXPECT_EQ(d.CurrentImages()[2]->filename(), "p.png");
    EXPECT_EQ(d.CurrentImagesSelection(), 6);

    EXPECT_TRUE(d.acceptImageFileDrop({Harness::url(bad), Harness::url(jpg)}, 7));
    h.queues->drain();
    ASSERT_EQ(d.CurrentImages().size(), 8u);
    EXPECT_EQ(d.CurrentImages()[7]->filename(), "r.jpg");
    // A folder gives nothing on the table.
    EXPECT_TRUE(d.acceptImageFileDrop({Harness::url(h.dir.path())}, 0));
    h.queues->drain();
    EXPECT_EQ(d.CurrentImages().size(), 8u);

    // Removing one entry asks first; with the flag stored it does not.
    auto first = d.CurrentImages()[0];
    h.dialogs->alertAnswers.push_back({1, false, {}});
    d.removeImage(first);
    EXPECT_EQ(d.CurrentImages().size(), 8u);
    EXPECT_EQ(h.dialogs->alerts.back().informativeText,
              "You are going to remove this from the current queue (the file on disk will remain intact)");
    h.defaults->setBool("remove-one-file-from-queue", true);
    d.removeImage(first);
    EXPECT_EQ(d.CurrentImages().size(), 7u);
    EXPECT_EQ(d.CurrentImagesSelection(), 5); // removed above it: the selection moves up with its image
    EXPECT_EQ(d.CurrentImages()[5], selected);
    d.removeImage(first); // no longer queued
    EXPECT_EQ(d.CurrentImages().size(), 7u);
    while (!d.CurrentImages().empty())
        d.removeImage(d.CurrentImages().back());
    EXPECT_FALSE(d.hasFiles());
    EXPECT_EQ(h.dialogs->alerts.size(), 1u);

    d.acceptImageFileDrop({Harness::url(png)}, 0);
    h.queues->drain();
    h.dialogs->alertAnswers.push_back({0, false, {}});
    d.removeAllFiles();
    EXPECT_TRUE(d.CurrentImages().empty());
    EXPECT_EQ(
        h.dialogs->alerts.back().informativeText,
        "You are going to remove all files from the current queue (the files on disk will remain intact)");
}

TEST(Import, OpenPanel) {
    Harness h;
    auto& d = h.d();
    const QString png = h.copyData("coffee.png", h.dir.filePath("p.png"));
    h.dialogs->openAnswers.push_back(std::nullopt);
    d.addFile();
    EXPECT_FALSE(d.progressSheetVisible());
    ASSERT_EQ(h.dialogs->openPanels.size(), 1u);
    EXPECT_FALSE(h.dialogs->openPanels[0].canChooseDirectories);
    EXPECT_TRUE(h.dialogs->openPanels[0].allowsMultipleSelection);
    EXPECT_EQ(h.dialogs->openPanels[0].allowedExtensions.size(), 167);
    h.dialogs->openAnswers.push_back(QStringList{png});
    d.addFile();
    h.queues->drain();
    EXPECT_EQ(d.CurrentImages().size(), 1u);
}

TEST(Import, OnTheRealQueues) {
    // The same import through the Qt event loop and the worker pool, as the application runs it.
    QTemporaryDir dir;
    app::AppServices services;
    services.queues = std::make_shared<app::QtQueues>();
    services.defaults = std::make_shared<app::MemoryDefaults>();
    services.dataFolder = dir.path();
    services.metadataTool = "/usr/bin/exiftool";
    app::AppDelegate d(std::move(services));
    QList<QUrl> urls;
    for (const char* name : {"coffee.png", "truncated.jpg", "rocket.jpg", "chelsea.png"})
        urls << Harness::url(Harness::data(name));
    d.addImages(urls);
    QEventLoop loop;
    // The damaged file is counted: the run ends with the count on the sheet.
    QObject::connect(&d, &app::AppDelegate::ProgressSheetFailuresChanged, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit); // a guard against a hang, not a timing
    loop.exec();
    EXPECT_TRUE(d.progressSheetVisible());
    EXPECT_EQ(d.ProgressSheetFailures(), 1);
    EXPECT_EQ(d.ProgressSheetMessage(), "1 of 4 failed");
    ASSERT_EQ(d.CurrentImages().size(), 3u);
    EXPECT_EQ(d.CurrentImages()[1]->filename(), "rocket.jpg");
    EXPECT_EQ(d.ProgressSheetCurrent(), 4);
    EXPECT_FALSE(d.CurrentlyAddingImages());
}

TEST(Import, FoldersListTheirImagesInNameOrder) {
    Harness h;
    auto& d = h.d();
    const QString folder = h.folder("roll");
    // Made in an order of their own; the disk keeps yet another.
    const QStringList made{"IMG_10.png", "b.png", "IMG_1.png", "img_2.png", "A.png", "IMG_9.png"};
    for (const auto& name : made)
        h.copyData("chelsea-small.png", folder + "/" + name);
    QStringList names;
    for (const auto& url : app::AppDelegate::expandFolder(Harness::url(folder)))
        names << QFileInfo(url.toLocalFile()).fileName();
    const QStringList expected{"A.png", "b.png", "IMG_1.png", "img_2.png", "IMG_9.png", "IMG_10.png"};
    EXPECT_EQ(names, expected);

    // The queue gets them in that order, from a drop as from an open-file request.
    d.dropOnImageView({Harness::url(folder)});
    h.queues->drain();
    QStringList queued;
    for (const auto& image : d.CurrentImages())
        queued << image->filename();
    EXPECT_EQ(queued, expected);
    h.queues->advance(2.1);
}

namespace {

/// This process's children that run the metadata tool (collected ones are gone from /proc); with
/// `ended`, also those that have ended and are still to be collected.
std::vector<int> metadataTools(bool ended = true) {
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream statFile(entry.path() / "stat");
        std::string stat;
        std::getline(statFile, stat);
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        int parent = 0;
        rest >> state >> parent;
        std::ifstream commFile(entry.path() / "comm");
        std::string comm;
        std::getline(commFile, comm);
        if (parent == ::getpid() && comm == "exiftool" && (ended || state != 'Z'))
            found.push_back(std::stoi(name));
    }
    return found;
}

} // namespace

TEST(Import, ManyFilesAreReadTogetherAndArriveInOrder) {
    auto h = std::make_unique<Harness>();
    auto& d = h->d();
    QList<QUrl> urls;
    QStringList good, expected{"Warming up..."};
    for (int i = 0; i < 24; ++i) {
        const QString base = h->dir.filePath(QString("f%1").arg(i, 2, 10, QChar('0')));
        switch (i % 4) {
        case 0:
            urls << Harness::url(writeText(base + ".png"));
            break;
        case 1:
            good << h->copyData("coffee.png", base + ".png");
            urls << Harness::url(good.back());
            break;
        case 2:
            good << h->copyData("rocket.jpg", base + ".jpg");
            urls << Harness::url(good.back());
            break;
        case 3:
            urls << Harness::url(h->copyData("truncated.jpg", base + ".jpg"));
            break;
        }
        expected << "Analyzing..." << (i % 4 == 1 || i % 4 == 2 ? "Adding..." : "Error reading image...");
    }
    expected << "12 of 24 failed";
    QStringList messages, subMessages;
    std::vector<qint64> counters;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetMessageChanged,
                     [&] { messages << d.ProgressSheetMessage(); });
    QObject::connect(&d, &app::AppDelegate::ProgressSheetSubMessageChanged,
                     [&] { subMessages << d.ProgressSheetSubMessage(); });
    d.addImages(urls);
    h->queues->drain();

    // Each file's steps in list order, as if they had been read one after another.
    EXPECT_EQ(messages, expected);
    QStringList paths;
    for (const auto& url : urls)
        paths << url.toLocalFile();
    EXPECT_EQ(subMessages, paths << "");
    QStringList queued;
    for (const auto& record : d.CurrentImages()) {
        queued << record->path();
        EXPECT_FALSE(record->details().empty()) << "metadata read";
    }
    EXPECT_EQ(queued, good);
    EXPECT_EQ(d.CurrentImages()[1]->dimensions(), "640x427");
    EXPECT_EQ(d.CurrentImagesSelection(), 11);

    // One tool read them all (one that was started for the first files may be ending), and the
    // tools go with the controller.
    EXPECT_EQ(metadataTools(false).size(), 1u);
    h.reset();
    EXPECT_TRUE(metadataTools().empty());

    // Without the tool the upright size comes from the file: a photo turned by its orientation.
    Harness plain(app::LaunchHooks{}, QString());
    const QString turned = plain.dir.filePath("turned.jpg");
    ASSERT_EQ(std::system(
                  ("exiftool -q -n -Orientation=6 -o '" + turned + "' '" + Harness::data("rocket.jpg") + "'")
                      .toLocal8Bit()
                      .constData()),
              0);
    plain.d().addImages({Harness::url(turned)});
    plain.queues->drain();
    ASSERT_EQ(plain.d().CurrentImages().size(), 1u);
    EXPECT_EQ(plain.d().CurrentImages()[0]->dimensions(), "427x640");
    EXPECT_EQ(plain.d().CurrentImages()[0]->pxWidth(), 427);
}
