// Files, names and workflows that must fail one image cleanly, or work although they look odd:
// pipes among the photos, names that are not UTF-8, exports into the photos' own folder, links
// in the destination, and workflows that run out of memory.

#include "AppTestSupport.h"

#include "support/TestFileSystem.h"

#include "filters/Registry.h"
#include "platform/FilePath.h"
#include "platform/NotificationCenter.h"
#include "platform/WindowImage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

using apptest::Harness;

namespace {

/// A filter that runs out of memory when asked for its output.
class FailingFilter : public ci::Filter {
  public:
    ci::SetResult setValue(const std::string& key, const ci::Value&) override {
        return key == "inputImage" ? ci::SetResult::Ok : ci::SetResult::UnknownKey;
    }
    ci::Image outputImage() override { throw std::bad_alloc(); }
};

void registerFailingFilter() {
    struct Constructor : ci::FilterConstructor {
        std::shared_ptr<ci::Filter> filterWithName(const std::string&) override {
            return std::make_shared<FailingFilter>();
        }
    };
    static const bool done = [] {
        ci::FilterRegistry::registerFilterName("GWTestOutOfMemory", std::make_shared<Constructor>(),
                                               ci::Attributes::object());
        return true;
    }();
    (void)done;
}

/// A copy of a test photo under a name given as bytes.
QString copyAs(const QString& data, const QByteArray& target) {
    QFile in(data);
    EXPECT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    ::close(fd);
    return platform::decodePath(target);
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct BadInputHarness : apptest::ExportHarness {
    void exportAll() {
        run();
        queues->advance(3.0);
    }
};

} // namespace

TEST(Import, OnlyRegularFilesAndNamesOfAnyBytes) {
    BadInputHarness h;
    auto& d = h.d();
    const QString photos = h.folder("photos");
    h.copyData("coffee.png", photos + "/one.png");
    const QByteArray latin1 = platform::encodePath(photos) + "/caf\xe9.png";
    const QString cafe = copyAs(Harness::data("chelsea-small.png"), latin1);
    ASSERT_EQ(::mkfifo((photos + "/pipe.png").toUtf8().constData(), 0600), 0);
    QDir().mkpath(photos + "/sub");

    // The pipe is left out of the folder; the name that is not UTF-8 is in it, byte for byte.
    const auto expanded = app::AppDelegate::expandFolder(Harness::url(photos));
    QStringList paths;
    for (const auto& url : expanded)
        paths << platform::localPath(url);
    EXPECT_EQ(paths, (QStringList{cafe, photos + "/one.png", photos + "/sub"}));
    EXPECT_EQ(platform::encodePath(paths[0]), latin1);

    // A pipe queued on its own fails at once instead of blocking the import.
    QStringList messages;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetMessageChanged,
                     [&] { messages << d.ProgressSheetMessage(); });
    d.dropOnImageView({Harness::url(photos)});
    h.queues->drain();
    h.queue({photos + "/pipe.png", "/dev/zero"});
    ASSERT_EQ(d.CurrentImages().size(), 2u);
    EXPECT_EQ(messages.count("Error reading image..."), 3); // the sub-folder, the pipe, the device
    const auto& record = d.CurrentImages()[0];
    EXPECT_EQ(platform::encodePath(record->path()), latin1);
    EXPECT_EQ(record->pxWidth(), 120);
    EXPECT_EQ(platform::encodePath(record->filenameWithoutExtension()), "caf\xe9");
    EXPECT_TRUE(record->detailsList().isEmpty()); // the metadata tool could not repeat the name

    // It exports under its own name.
    h.exportAll();
    EXPECT_EQ(d.ProgressSheetFailures(), 0);
    EXPECT_TRUE(platform::fileKind(platform::decodePath(platform::encodePath(h.out) + "/caf\xe9.png")) ==
                platform::FileKind::Regular);
    EXPECT_TRUE(QFileInfo::exists(h.out + "/one.png"));

    // A URL of the desktop carries the name's bytes percent-encoded.
    const QUrl dropped = QUrl::fromEncoded("file://" + latin1.toPercentEncoding("/"));
    EXPECT_EQ(platform::encodePath(platform::localPath(dropped)), latin1);
    EXPECT_EQ(platform::fileUrl(cafe), dropped);
}

TEST(Import, NamesThatBecomePipesOnAShareEndTheirImport) {
    // A share whose photos' names become named pipes after their first, second or third open: the
    // import ends, each photo imported whole or failed. Should it not end in time (an open waiting on
    // a pipe for a writer), writers are opened to end the wait and the test fails.
    Harness h;
    const QString photos = h.folder("photos");
    std::vector<std::string> options;
    QList<QUrl> urls;
    std::vector<std::string> names;
    for (int opens = 1; opens <= 3; ++opens) {
        const QString name = QString("a%1.jpg").arg(opens);
        h.copyData("rocket.jpg", photos + "/" + name);
        options.insert(options.end(),
                       {"--fifo-after-open", name.toStdString() + "=" + std::to_string(opens)});
        names.push_back(name.toStdString());
    }
    gwtest::TestFileSystem share(photos.toStdString(), options);
    if (!share.mounted())
        GTEST_SKIP() << share.why();
    for (const auto& name : names)
        urls << Harness::url(QString::fromStdString(share.file(name)));

    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::atomic<bool> blocked{false};
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, std::chrono::seconds(60) * gwtest::slowdown, [&] { return done; }))
            return;
        blocked = true;
        while (!changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; }))
            for (const auto& name : names)
                if (const int writer = ::open(share.file(name).c_str(), O_WRONLY | O_NONBLOCK); writer >= 0)
                    ::close(writer);
    });
    h.d().addImages(urls);
    h.queues->drain();
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    changed.notify_all();
    watchdog.join();
    EXPECT_FALSE(blocked) << "the import waited on a pipe";
    for (const auto& record : h.d().CurrentImages())
        EXPECT_EQ(record->pxWidth(), 640) << record->path().toStdString();
}

TEST(Import, CommandLineNamesAreFilesWhenTheyExist) {
    Harness h;
    const QString here = h.folder("cwd");
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(here));
    h.copyData("coffee.png", here + "/-dashed.png");
    const QByteArray odd = platform::encodePath(here) + "/\xff.png";
    copyAs(Harness::data("coffee.png"), odd);
    const QStringList files = platform::commandLineFiles(
        {"-dashed.png", "--verbose", "-", "plain.png", "file://" + odd.toPercentEncoding("/"), "\xff.png"});
    QDir::setCurrent(previous);
    EXPECT_EQ(files, (QStringList{here + "/-dashed.png", here + "/plain.png", platform::decodePath(odd),
                                  platform::decodePath(odd)}));

    // Handed over as the platform's open-file request, both are imported.
    h.d().applicationOpenFiles({files[0], files[2]});
    h.queues->drain();
    ASSERT_EQ(h.d().CurrentImages().size(), 2u);
    EXPECT_EQ(h.d().CurrentImages()[0]->filename(), "-dashed.png");
    EXPECT_EQ(platform::encodePath(h.d().CurrentImages()[1]->path()), odd);
}

TEST(Export, SourcesAndFilesOfTheRunAreNeverReplaced) {
    BadInputHarness h;
    auto& d = h.d();
    // Exported into their own folder in their own format, with overwriting on (the default).
    const QString photos = h.folder("photos");
    const QString a = h.copyData("coffee.png", photos + "/a.png");
    const QString aJpeg = h.copyData("rocket.jpg", photos + "/a.jpg");
    const QString b = h.copyData("chelsea-small.png", photos + "/b.png");
    const QByteArray originalA = readAll(a), originalB = readAll(b);
    h.queue({a, aJpeg, b});
    d.setExportDialogDestination(photos);
    ASSERT_TRUE(d.exportDialogDestinationDoOverwrite());
    gwtest::ConsoleCapture console;
    h.exportAll();
    EXPECT_EQ(d.ProgressSheetFailures(), 0);
    EXPECT_EQ(readAll(a), originalA);
    EXPECT_EQ(readAll(b), originalB);
    EXPECT_EQ(QDir(photos).entryList(QDir::Files, QDir::Name),
              (QStringList{"a-2.png", "a-3.png", "a.jpg", "a.png", "b-2.png", "b.png"}));
    auto second = platform::WindowImage::fromFile((photos + "/a-3.png").toStdString());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->firstRepresentation()->pixelsWide(), 640); // the JPEG's, not the PNG's
    EXPECT_TRUE(console.contains("a.png is one of the images being exported; written as a-2.png"));
    EXPECT_TRUE(console.contains("a.png is one of the images being exported; written as a-3.png"));

    // Two files of one base name from elsewhere: the second does not replace the first. Another
    // existing file is still replaced, as before.
    const QString other = h.folder("other");
    const QString c = h.copyData("coffee.png", other + "/c.png");
    const QString cJpeg = h.copyData("rocket.jpg", other + "/c.jpg");
    QFile stale(h.out + "/d.png");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("old");
    stale.close();
    const QString dJpeg = h.copyData("rocket.jpg", other + "/d.jpg");
    d.setCurrentImages({});
    h.queue({c, cJpeg, dJpeg});
    d.setExportDialogDestination(h.out);
    h.exportAll();
    EXPECT_EQ(QDir(h.out).entryList(QDir::Files, QDir::Name), (QStringList{"c-2.png", "c.png", "d.png"}));
    EXPECT_TRUE(console.contains("c.png was written earlier in this export; written as c-2.png"));
    EXPECT_GT(QFileInfo(h.out + "/d.png").size(), 3);
}

TEST(Export, LinksInTheDestinationAndWriteErrors) {
    BadInputHarness h;
    auto& d = h.d();
    const QString outside = h.folder("outside");
    h.queue({h.copyData("coffee.png", h.dir.filePath("e.png"))});
    // A dangling link of the name: nothing is written where it points.
    ASSERT_EQ(::symlink((outside + "/e.png").toUtf8().constData(), (h.out + "/e.png").toUtf8().constData()),
              0);
    d.setExportDialogDestinationDoOverwrite(false);
    h.exportAll();
    EXPECT_TRUE(QFileInfo(h.out + "/e.png").isSymLink());
    EXPECT_TRUE(QFileInfo::exists(h.out + "/e-2.png"));
    d.setExportDialogDestinationDoOverwrite(true);
    h.exportAll();
    EXPECT_FALSE(QFileInfo(h.out + "/e.png").isSymLink());
    EXPECT_TRUE(QFileInfo(h.out + "/e.png").isFile());
    EXPECT_TRUE(QDir(outside).isEmpty());

    // A failed write says why, in the system's words.
    const QString notAFolder = h.copyData("coffee.png", h.dir.filePath("not-a-folder"));
    d.setExportDialogDestination(notAFolder);
    gwtest::ConsoleCapture console;
    h.exportAll();
    EXPECT_EQ(d.ProgressSheetFailures(), 1);
    ASSERT_EQ(console.lines().size(), 1u);
    EXPECT_NE(console.lines()[0].find("Something went wrong: "), std::string::npos);
    EXPECT_NE(console.lines()[0].find("Not a directory"), std::string::npos) << console.lines()[0];
    EXPECT_EQ(console.lines()[0].find("Unknown error"), std::string::npos);
}

TEST(Export, RunningOutOfMemoryFailsTheImageAndNotTheApplication) {
    BadInputHarness h;
    auto& d = h.d();
    filters::registerCustomFilters();
    registerFailingFilter();
    h.queue({h.copyData("coffee.png", h.dir.filePath("one.png")),
             h.copyData("rocket.jpg", h.dir.filePath("two.jpg"))});

    // A size typed into the Resize editor (it accepts up to a million pixels a side).
    auto resize = model::Filter::make(
        "Resize", "IMResizeAction", "",
        {model::FilterParam::make("width", "inputWidth", "", model::FilterParamValue::number(100000),
                                  model::FilterParamValue::number(100000)),
         model::FilterParam::make("height", "inputHeight", "", model::FilterParamValue::number(100000),
                                  model::FilterParamValue::number(100000)),
         model::FilterParam::make("ratio", "inputMaintainRatio", "",
                                  model::FilterParamValue::boolean(model::BooleanValue::make(false, "")),
                                  model::FilterParamValue::boolean(model::BooleanValue::make(false, "")))});
    gwtest::BudgetOf budget(int64_t(1) << 30);
    d.setCurrentFilters({resize});
    gwtest::ConsoleCapture console;
    h.exportAll();
    EXPECT_EQ(d.ProgressSheetFailures(), 2);
    ASSERT_EQ(console.lines().size(), 2u);
    EXPECT_NE(console.lines()[0].find("needs 37.3 GB, limit 1.0 GB"), std::string::npos)
        << console.lines()[0];

    // A step that throws std::bad_alloc on the worker: each image fails, the run ends.
    d.setCurrentFilters({model::Filter::make("Greedy", "GWTestOutOfMemory", "")});
    h.exportAll();
    EXPECT_EQ(d.ProgressSheetFailures(), 2);
    EXPECT_TRUE(console.contains("one.png: not enough memory"));
    EXPECT_TRUE(QDir(h.out).isEmpty());

    // The preview of the same stays empty and says why.
    d.applicationDidFinishLaunching();
    h.queues->advance(3.0);
    d.setCurrentImagesSelection(0);
    platform::NotificationCenter::defaultCenter().post(platform::RequiresPreviewRegeneration);
    h.queues->advance(1.1);
    EXPECT_FALSE(d.CurrentPreview().isValid());
    EXPECT_TRUE(console.contains("renderPreview: ⛔️ "));
    d.setCurrentFilters({resize});
    platform::NotificationCenter::defaultCenter().post(platform::RequiresPreviewRegeneration);
    h.queues->advance(1.1);
    EXPECT_FALSE(d.CurrentPreview().isValid());
    EXPECT_TRUE(console.contains("limit 1.0 GB"));
    EXPECT_FALSE(d.PreviewInProgress());
}

TEST(Import, ANameWithANulIsRefusedWhereverItComesFrom) {
    BadInputHarness h;
    auto& d = h.d();
    const QString photos = h.folder("photos");
    const QString rocket = h.copyData("rocket.jpg", photos + "/rocket.jpg");
    const QString coffee = h.copyData("coffee.png", photos + "/coffee.png");
    const QString beside = h.copyData("rocket.jpg", h.out + "/rocket.jpg");
    const QByteArray original = readAll(rocket);
    // The system would read this name up to the NUL: the JPEG beside it.
    const QString nul = rocket + QChar(0) + ".x";

    // A project naming it opens with its other image; that one fails, saying why.
    const QString project = h.dir.filePath("nul.gwProject");
    QFile file(project);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"images":[")" + rocket.toUtf8() + R"(\u0000.x",")" + coffee.toUtf8() +
               R"("],"filters":[]})");
    file.close();
    gwtest::ConsoleCapture console;
    d.loadFromDisk({Harness::url(project)});
    h.queues->drain();
    EXPECT_EQ(d.ProgressSheetFailures(), 1);
    h.queues->advance(3.0);
    ASSERT_FALSE(d.CurrentImages().empty());
    EXPECT_EQ(d.CurrentImages().back()->path(), coffee);
    EXPECT_EQ(d.CurrentImages().size(), 1u);
    EXPECT_TRUE(console.contains(": not a valid file name"));

    // Exported as PNG over the name before the NUL, and into the source folder without
    // overwriting: nothing is replaced and the run ends.
    h.exportAll();
    EXPECT_TRUE(readAll(beside) == original);
    d.setExportDialogDestination(photos);
    d.setExportDialogDestinationDoOverwrite(false);
    h.exportAll();
    EXPECT_TRUE(readAll(rocket) == original);

    // Dropped on the window or the table, or asked to be opened: refused alike. A folder's name
    // with a NUL is not that folder.
    d.setCurrentImages({});
    const size_t before = console.lines().size();
    d.dropOnImageView({Harness::url(nul), Harness::url(photos + QChar(0) + "/x")});
    h.queues->advance(3.0);
    d.applicationOpenFiles({nul});
    h.queues->advance(3.0);
    d.acceptImageFileDrop({Harness::url(nul)}, 0);
    h.queues->advance(3.0);
    EXPECT_TRUE(d.CurrentImages().empty());
    EXPECT_EQ(console.lines().size() - before, 4u);
    for (size_t i = before; i < console.lines().size(); ++i)
        EXPECT_NE(console.lines()[i].find(": not a valid file name"), std::string::npos)
            << console.lines()[i];

    // The names of an export are chosen in bounded time, whatever the file system says.
    EXPECT_EQ(app::AppDelegate::exportFileName(photos, "rocket.jpg" + QString(QChar(0)), ".png", false),
              "rocket.jpg" + QString(QChar(0)) + ".png");
    EXPECT_EQ(
        app::AppDelegate::exportFileName(photos, "a", ".png", false, [](const QString&) { return true; }),
        "");
}
