#include "AppTestSupport.h"

#include "model/Project.h"
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

using apptest::Harness;

namespace {

std::shared_ptr<model::Filter> step(const std::string& name, double scale) {
    auto f =
        model::Filter::make(name, "GWTestScale", "",
                            {model::FilterParam::make("Scale", "inputScale", "",
                                                      model::FilterParamValue::numeric(scale, 0.05, 1.5),
                                                      model::FilterParamValue::numeric(0.5, 0.05, 1.5))});
    f->setIsCurrent(true);
    return f;
}

// A step of eight inputs, as many of the actions library's have: about 550 values in 7 KB of text.
std::shared_ptr<model::Filter> largeStep(int index) {
    auto f = step("Step " + std::to_string(index), 0.25 * (index % 4));
    f->setParams(model::FilterParams(8, f->params()[0]));
    return f;
}

std::shared_ptr<model::Filter> textStep(const std::string& text) {
    auto f = model::Filter::make(
        "Text", "IMWatermarkTextAction", "",
        {model::FilterParam::make("watermark", "inputWatermark", "", model::FilterParamValue::string(text),
                                  model::FilterParamValue::string("Sample"))});
    f->setIsCurrent(true);
    return f;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
}

struct LaunchedHarness : Harness {
    LaunchedHarness() {
        apptest::registerTestFilters();
        d().applicationDidFinishLaunching();
        queues->advance(3.0);
    }
    QString preset(const QString& name) const { return delegate->mainPresetsDir() + "/" + name; }
    /// Everything in the presets folder, hidden entries included (the menu lists them all).
    QStringList presetsFolder() const {
        return QDir(delegate->mainPresetsDir())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }
    void expectCurrentPreset(const QString& name) {
        EXPECT_EQ(delegate->presetCurrent(), name);
        for (const auto& item : delegate->presetsMenu())
            EXPECT_EQ(item.checked, item.title == name) << item.title.toStdString();
    }
};

} // namespace

TEST(Presets, SaveLoadMenuAndInvalidNames) {
    LaunchedHarness h;
    auto& d = h.d();
    d.setCurrentFilters({step("A", 0.25), step("B", 1.0)});
    d.CurrentFilters()[1]->setIsEnabled(false);

    // No current preset: the save command asks for a name.
    h.dialogs->alertAnswers.push_back({0, false, "Mine"});
    d.presetSaveCurrent();
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].message, "Save Preset");
    EXPECT_EQ(h.dialogs->alerts[0].informativeText, "Choose a name for this preset");
    EXPECT_TRUE(h.dialogs->alerts[0].hasTextField);
    EXPECT_EQ(d.presetCurrent(), "Mine");
    const QByteArray saved = readAll(h.preset("Mine"));
    ASSERT_FALSE(saved.isEmpty());
    EXPECT_EQ(saved.front(), '[');
    ASSERT_EQ(d.presetsMenu().size(), 1u);
    EXPECT_TRUE(d.presetsMenu()[0].checked);

    // With a current preset the save command writes without asking.
    d.setCurrentFilters({step("C", 0.75)});
    d.presetSaveCurrent();
    EXPECT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_NE(readAll(h.preset("Mine")), saved);

    // Cancel writes nothing.
    h.dialogs->alertAnswers.push_back({1, false, "Other"});
    d.presetSaveCurrentAs();
    EXPECT_FALSE(QFileInfo::exists(h.preset("Other")));
    EXPECT_EQ(d.presetCurrent(), "Mine");

    // Names that are not a plain file name are refused with a message.
    for (const QString name : {"", ".", "..", "a/b", "../escape"}) {
        const size_t alerts = h.dialogs->alerts.size();
        h.dialogs->alertAnswers.push_back({0, false, name});
        d.presetSaveCurrentAs();
        EXPECT_EQ(h.dialogs->alerts.size(), alerts + 2) << name.toStdString();
        EXPECT_EQ(h.dialogs->alerts.back().message, "Invalid preset name");
        EXPECT_EQ(d.presetCurrent(), "Mine");
    }
    EXPECT_EQ(QDir(d.mainPresetsDir()).entryList(QDir::Files).size(), 1);
    EXPECT_FALSE(QFileInfo::exists(h.dir.filePath("data/Glimmerworks/escape")));

    // Saving under a second name, then loading the first back.
    d.setCurrentFilters({step("A", 0.25), step("B", 1.0)});
    d.CurrentFilters()[1]->setIsEnabled(false);
    h.dialogs->alertAnswers.push_back({0, false, "Second"});
    d.presetSaveCurrentAs();
    ASSERT_EQ(d.presetsMenu().size(), 2u);
    int posts = 0;
    platform::ScopedObserver observer(platform::RequiresPreviewRegeneration,
                                      [&](const std::string&) { ++posts; });
    d.loadPreset("Mine");
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "C");
    EXPECT_EQ(d.CurrentFilters()[0]->params()[0]->value()->numericV(), 0.75);
    EXPECT_EQ(posts, 1);
    for (const auto& item : d.presetsMenu())
        EXPECT_EQ(item.checked, item.title == "Mine");
    d.loadPreset("Second");
    ASSERT_EQ(d.CurrentFilters().size(), 2u);
    EXPECT_FALSE(d.CurrentFilters()[1]->isEnabled());

    // A presets folder removed behind our back is made again on saving.
    QDir(d.mainPresetsDir()).removeRecursively();
    h.dialogs->alertAnswers.push_back({0, false, "Again"});
    d.presetSaveCurrentAs();
    EXPECT_TRUE(QFileInfo::exists(h.preset("Again")));
}

TEST(Presets, APresetThatCannotBeReadIsNotChosenAndTheWindowSaysWhy) {
    LaunchedHarness h;
    auto& d = h.d();
    d.setCurrentFilters({step("A", 0.25), step("B", 1.0)});
    h.dialogs->alertAnswers.push_back({0, false, "Afternoon Web"});
    d.presetSaveCurrentAs();
    const QByteArray afternoon = readAll(h.preset("Afternoon Web"));
    ASSERT_GT(afternoon.size(), 100);
    // Not a preset at all; one cut short, as by a write that never finished; one gone since the
    // menu was made.
    writeAll(h.preset("Broken"), "{not json");
    writeAll(h.preset("Half"), afternoon.left(afternoon.size() / 2));
    d.updatePresetsMenu();
    const std::pair<QString, QString> failures[] = {{"Broken", "not valid JSON"},
                                                    {"Half", "the text ends too early"},
                                                    {"Gone", "No such file or directory"}};
    for (const auto& [name, reason] : failures) {
        SCOPED_TRACE(name.toStdString());
        const size_t alerts = h.dialogs->alerts.size();
        gwtest::ConsoleCapture console;
        int posts = 0;
        platform::ScopedObserver observer(platform::RequiresPreviewRegeneration,
                                          [&](const std::string&) { ++posts; });
        d.loadPreset(name);
        // The workflow, the current preset and its check mark stay as they were.
        ASSERT_EQ(d.CurrentFilters().size(), 2u);
        EXPECT_EQ(d.CurrentFilters()[0]->name(), "A");
        h.expectCurrentPreset("Afternoon Web");
        EXPECT_EQ(posts, 0);
        // The console keeps its line; the window says which preset and why.
        ASSERT_EQ(console.lines().size(), 1u);
        EXPECT_EQ(console.lines()[0].rfind("loadPreset: ⛔️ ", 0), 0u);
        ASSERT_EQ(h.dialogs->alerts.size(), alerts + 1);
        EXPECT_EQ(h.dialogs->alerts.back().message,
                  QString("The preset \"%1\" could not be read.").arg(name));
        EXPECT_TRUE(h.dialogs->alerts.back().informativeText.contains(reason))
            << h.dialogs->alerts.back().informativeText.toStdString();
        EXPECT_EQ(h.dialogs->alerts.back().buttons, QStringList{"OK"});
    }

    // The next save writes the workflow into the preset it came from, not into a file that failed.
    d.setCurrentFilters({step("D", 0.5)});
    d.presetSaveCurrent();
    EXPECT_EQ(readAll(h.preset("Broken")), "{not json");
    auto saved = model::decodePreset(readAll(h.preset("Afternoon Web")).toStdString());
    ASSERT_TRUE(saved.ok()) << saved.error();
    ASSERT_EQ(saved->size(), 1u);
    EXPECT_EQ((*saved)[0]->name(), "D");
}

TEST(Presets, ASaveThatFailsIsShownAndChangesNothing) {
    LaunchedHarness h;
    auto& d = h.d();
    d.setCurrentFilters({step("A", 0.25)});
    h.dialogs->alertAnswers.push_back({0, false, "Mine"});
    d.presetSaveCurrentAs();
    ASSERT_EQ(d.presetCurrent(), "Mine");
    const QByteArray mine = readAll(h.preset("Mine"));
    // A name that a folder has cannot be written, for the root user too.
    ASSERT_TRUE(QDir(d.mainPresetsDir()).mkpath("Taken/inside"));
    const QStringList before = h.presetsFolder();
    d.setCurrentFilters({step("B", 0.5)});
    gwtest::ConsoleCapture console;

    const auto expectFailure = [&](const QString& message, const QString& reason) {
        ASSERT_FALSE(h.dialogs->alerts.empty());
        EXPECT_EQ(h.dialogs->alerts.back().message, message);
        EXPECT_TRUE(h.dialogs->alerts.back().informativeText.contains(reason))
            << h.dialogs->alerts.back().informativeText.toStdString();
        EXPECT_EQ(console.lines().back().rfind("savePreset: ⛔️ ", 0), 0u);
        // No file, not even a hidden one, and the current preset as it was.
        EXPECT_EQ(h.presetsFolder(), before);
        EXPECT_EQ(readAll(h.preset("Mine")), mine);
        h.expectCurrentPreset("Mine");
    };
    h.dialogs->alertAnswers.push_back({0, false, "Taken"});
    d.presetSaveCurrentAs();
    ASSERT_EQ(h.dialogs->alerts.size(), 3u); // the name, then the failure
    expectFailure("The preset \"Taken\" could not be saved.", "Is a directory");

    // A text far beyond any real one is not written, and the message names the bound.
    d.setCurrentFilters({textStep(std::string(100 << 10, 'x'))});
    d.presetSaveCurrent();
    ASSERT_EQ(h.dialogs->alerts.size(), 4u);
    expectFailure("The preset \"Mine\" could not be saved.", "at most 64 KB");

    // A folder that cannot be written, for a user (to the root user every folder is writable).
    if (::geteuid() != 0) {
        d.setCurrentFilters({step("C", 0.5)});
        ASSERT_EQ(::chmod(QFile::encodeName(d.mainPresetsDir()).constData(), 0555), 0);
        h.dialogs->alertAnswers.push_back({0, false, "New"});
        d.presetSaveCurrentAs();
        ::chmod(QFile::encodeName(d.mainPresetsDir()).constData(), 0755);
        expectFailure("The preset \"New\" could not be saved.", "Permission denied");
    }
}

TEST(Projects, SaveOpenRoundTripAndSheet) {
    LaunchedHarness h;
    auto& d = h.d();
    const QString png = h.copyData("coffee.png", h.dir.filePath("one.png"));
    const QString jpg = h.copyData("rocket.jpg", h.dir.filePath("two.jpg"));
    d.addImages({Harness::url(png), Harness::url(jpg)});
    h.queues->drain();
    h.queues->advance(2.1);
    d.setCurrentFilters({step("A", 0.25)});

    // Never saved: the save panel first.
    const QString file = h.dir.filePath("Trip.gwProject");
    h.dialogs->saveAnswers.push_back(file);
    std::vector<qint64> counters;
    QObject::connect(&d, &app::AppDelegate::ProgressSheetCurrentChanged,
                     [&] { counters.push_back(d.ProgressSheetCurrent()); });
    d.saveDocument();
    EXPECT_EQ(h.dialogs->savePanels.size(), 1u);
    EXPECT_EQ(h.dialogs->savePanels[0].allowedExtensions, QStringList{"gwProject"});
    EXPECT_EQ(d.ProgressSheetAction(), "Saving project");
    EXPECT_EQ(d.ProgressSheetMessage(), "Processing...");
    EXPECT_EQ(d.ProgressSheetMax(), 20);
    EXPECT_FALSE(d.ProgressSheetShowCounter());
    h.queues->drain();
    EXPECT_TRUE(QFileInfo::exists(file));
    h.queues->advance(1.95);
    EXPECT_FALSE(d.ProgressSheetSuccess());
    h.queues->advance(0.1);
    EXPECT_EQ(d.ProgressSheetCurrent(), 20);
    EXPECT_TRUE(d.ProgressSheetSuccess());
    EXPECT_EQ(counters.size(), 21u); // 0, then twenty ticks
    h.queues->advance(2.1);
    EXPECT_FALSE(d.progressSheetVisible());

    auto project = model::decodeProject(readAll(file).toStdString());
    ASSERT_TRUE(project);
    EXPECT_EQ((*project)->images(), (std::vector<std::string>{png.toStdString(), jpg.toStdString()}));
    ASSERT_TRUE((*project)->path());
    EXPECT_EQ(*(*project)->path(), QUrl::fromLocalFile(file));

    // Saved before: written again without asking.
    d.setCurrentFilters({});
    d.saveDocument();
    h.queues->advance(5.0);
    EXPECT_EQ(h.dialogs->savePanels.size(), 1u);
    EXPECT_TRUE((*model::decodeProject(readAll(file).toStdString()))->filters().empty());
    d.setCurrentFilters({step("A", 0.25)});
    d.saveDocument();
    h.queues->advance(5.0);

    // New: everything cleared, the project and preset forgotten.
    h.dialogs->alertAnswers.push_back({0, false, {}});
    d.newDocument();
    EXPECT_TRUE(d.CurrentImages().empty());
    EXPECT_TRUE(d.CurrentFilters().empty());
    EXPECT_TRUE(d.CurrentProjectUrl().isEmpty());
    EXPECT_TRUE(d.presetCurrent().isEmpty());
    EXPECT_EQ(h.dialogs->alerts.back().informativeText,
              "All of the images and actions you have added will be removed!");

    // Open: only the first chosen file; its images replace those queued, so that saving writes
    // back what it held.
    d.acceptImageFileDrop({Harness::url(jpg)}, 0);
    h.queues->drain();
    ASSERT_EQ(d.CurrentImages().size(), 1u);
    h.dialogs->alertAnswers.push_back({0, false, {}});
    h.dialogs->openAnswers.push_back(QStringList{file, h.dir.filePath("other.gwProject")});
    d.openDocument();
    EXPECT_EQ(h.dialogs->openPanels.back().allowedExtensions, QStringList{"gwProject"});
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->params()[0]->value()->numericV(), 0.25);
    EXPECT_EQ(d.CurrentProjectUrl(), QUrl::fromLocalFile(file));
    h.queues->drain();
    ASSERT_EQ(d.CurrentImages().size(), 2u);
    EXPECT_EQ(d.CurrentImages()[0]->path(), png);
    EXPECT_EQ(d.CurrentImages()[1]->path(), jpg);
    EXPECT_EQ(d.windowSubtitle(), "Trip.gwProject");
    h.queues->advance(2.1);
    d.saveDocument();
    h.queues->advance(5.0);
    EXPECT_EQ((*model::decodeProject(readAll(file).toStdString()))->images(),
              (std::vector<std::string>{png.toStdString(), jpg.toStdString()}));

    // Cancelling the confirmation opens nothing.
    h.dialogs->alertAnswers.push_back({1, false, {}});
    const size_t panels = h.dialogs->openPanels.size();
    d.openDocument();
    EXPECT_EQ(h.dialogs->openPanels.size(), panels);
}

TEST(Projects, BrokenDocumentsAndFailedSaves) {
    LaunchedHarness h;
    auto& d = h.d();
    d.setCurrentFilters({step("A", 0.25)});

    // Without "path" it opens; without "images" it does not.
    const QString noPath = h.dir.filePath("nopath.gwProject");
    writeAll(noPath, R"({"images":[],"filters":[]})");
    d.loadFromDisk({Harness::url(noPath)});
    EXPECT_TRUE(d.CurrentFilters().empty());
    EXPECT_EQ(d.CurrentProjectUrl(), Harness::url(noPath));
    h.queues->advance(2.1);

    d.setCurrentFilters({step("A", 0.25)});
    const QString noImages = h.dir.filePath("noimages.gwProject");
    writeAll(noImages, R"({"filters":[]})");
    gwtest::ConsoleCapture console;
    d.loadFromDisk({Harness::url(noImages)});
    d.loadFromDisk({Harness::url(h.dir.filePath("missing.gwProject"))});
    d.loadFromDisk({});
    EXPECT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentProjectUrl(), Harness::url(noPath));
    ASSERT_EQ(console.lines().size(), 2u);
    for (const auto& line : console.lines())
        EXPECT_EQ(line.rfind("loadFromDisk: ⛔️ ", 0), 0u);
    // The user is told, with the file's name and the reason.
    ASSERT_EQ(h.dialogs->alerts.size(), 2u);
    EXPECT_EQ(h.dialogs->alerts[0].message, "The project \"noimages.gwProject\" could not be opened.");
    EXPECT_FALSE(h.dialogs->alerts[0].informativeText.isEmpty());
    EXPECT_EQ(h.dialogs->alerts[0].buttons, QStringList{"OK"});
    EXPECT_EQ(h.dialogs->alerts[1].message, "The project \"missing.gwProject\" could not be opened.");

    // Text that is not JSON: the alert says where and what, in words.
    const QString broken = h.dir.filePath("broken.gwProject");
    writeAll(broken, "{\"images\": [],\n \"filters\": [1,}");
    d.loadFromDisk({Harness::url(broken)});
    ASSERT_EQ(h.dialogs->alerts.size(), 3u);
    EXPECT_EQ(
        h.dialogs->alerts[2].informativeText,
        QString::fromUtf8("The given data was not valid JSON: at line 2, column 16, \u201c}\u201d is out of "
                          "place; a value was expected."));

    // A save that cannot be written still runs the bar, then shows the failure; the project
    // (and the window's title) stays the one it was.
    h.dialogs->saveAnswers.push_back(h.dir.filePath("no/such/folder/x.gwProject"));
    d.saveDocumentAs();
    h.queues->advance(2.5);
    EXPECT_EQ(d.ProgressSheetCurrent(), 20);
    EXPECT_FALSE(d.ProgressSheetSuccess());
    EXPECT_EQ(d.ProgressSheetFailures(), 1);
    EXPECT_EQ(d.ProgressSheetMessage(), "The project could not be saved");
    ASSERT_EQ(d.ProgressSheetFailedItems().size(), 1);
    EXPECT_TRUE(d.ProgressSheetFailedItems()[0].contains("No such file or directory"))
        << d.ProgressSheetFailedItems()[0].toStdString();
    EXPECT_EQ(console.lines().back().rfind("saveToDisk: ⛔️ ", 0), 0u);
    EXPECT_EQ(d.CurrentProjectUrl(), Harness::url(noPath));
    EXPECT_EQ(d.windowSubtitle(), "nopath.gwProject");
    d.forceCloseProgressDialog();

    // A project that could not be opened again is not written, and the sheet names the bound.
    d.setCurrentFilters({textStep(std::string(100 << 10, 'x'))});
    const QString refused = h.dir.filePath("refused.gwProject");
    h.dialogs->saveAnswers.push_back(refused);
    d.saveDocumentAs();
    h.queues->advance(2.5);
    EXPECT_EQ(d.ProgressSheetMessage(), "The project could not be saved");
    ASSERT_EQ(d.ProgressSheetFailedItems().size(), 1);
    EXPECT_TRUE(d.ProgressSheetFailedItems()[0].contains("a text of a document is at most 64 KB"))
        << d.ProgressSheetFailedItems()[0].toStdString();
    EXPECT_FALSE(QFileInfo::exists(refused));
    EXPECT_EQ(d.CurrentProjectUrl(), Harness::url(noPath));
    d.forceCloseProgressDialog();

    // A cancelled save panel changes nothing.
    h.dialogs->saveAnswers.push_back(std::nullopt);
    d.saveDocumentAs();
    EXPECT_EQ(d.CurrentProjectUrl(), Harness::url(noPath));
}

TEST(Projects, EveryProjectTheApplicationSavesOpensAgain) {
    LaunchedHarness h;
    auto& d = h.d();
    gwtest::ConsoleCapture console;

    // 5,000 steps of eight inputs: 36 MB and 2.7 million values (a little more or less with the
    // length of the program's folder, which the placeholder image's address holds), beyond both the
    // size (32 MB) and the number of values (a million) that documents were once refused for; 1,900
    // such steps were already too many.
    model::Filters workflow;
    for (int i = 0; i < 5000; ++i)
        workflow.push_back(largeStep(i));
    d.setCurrentFilters(workflow);
    const QString file = h.dir.filePath("Steps.gwProject");
    h.dialogs->saveAnswers.push_back(file);
    d.saveDocument();
    h.queues->drain();
    h.queues->advance(2.1);
    EXPECT_TRUE(d.ProgressSheetSuccess());
    EXPECT_GT(QFileInfo(file).size(), qint64(32) << 20);
    h.queues->advance(2.1);
    d.setCurrentFilters({});
    d.loadFromDisk({Harness::url(file)});
    ASSERT_EQ(d.CurrentFilters().size(), 5000u);
    EXPECT_EQ(d.CurrentFilters()[4999]->encode(), workflow[4999]->encode());
    EXPECT_EQ(d.CurrentProjectUrl(), Harness::url(file));
    EXPECT_TRUE(h.dialogs->alerts.empty());
    for (const auto& line : console.lines())
        EXPECT_EQ(line.find("⛔️"), std::string::npos) << line;

    // 220,000 images with long paths and 200 steps, as the save writes them: 32 MB.
    std::vector<std::string> images;
    for (int i = 0; i < 220'000; ++i)
        images.push_back(
            "/home/photographer/Pictures/Archive/2024/2024-07-14 Summer holiday in the mountains "
            "with the family/Day " +
            std::to_string(i / 500 + 1) + "/Camera roll/IMG_" + std::to_string(100000 + i) + ".jpeg");
    workflow.resize(200);
    auto text = model::encodeProject(model::Project(images, workflow, std::nullopt));
    ASSERT_TRUE(text.ok()) << text.error();
    EXPECT_GT(text->size(), size_t(32) << 20);
    auto project = model::decodeProject(*text);
    ASSERT_TRUE(project.ok()) << project.error();
    EXPECT_EQ((*project)->images(), images);
    EXPECT_EQ((*project)->filters().size(), 200u);
}

TEST(Projects, DocumentsFarBeyondARealOneAreRefusedBeforeTheyCostMuch) {
    LaunchedHarness h;
    auto& d = h.d();
    d.setCurrentFilters({step("A", 0.25)});
    gwtest::ConsoleCapture console;
    // Empty steps take a few bytes of text each but tens of bytes in memory: 200 MB of them once
    // took 5 GB and 10 seconds of the main thread.
    const auto emptySteps = [](size_t bytes) {
        std::string text = "[{}";
        text.reserve(bytes);
        while (text.size() + 4 <= bytes)
            text += ",{}";
        return text + "]";
    };

    // A preset of them is refused as soon as it holds more values than its text allows.
    writeAll(h.preset("Empty"), QByteArray::fromStdString(emptySteps(8 << 20)));
    d.loadPreset("Empty");
    ASSERT_EQ(console.lines().size(), 1u);
    EXPECT_EQ(console.lines()[0],
              "loadPreset: ⛔️ The data holds more values than its text allows: a document "
              "holds at most 1000000 values and one more for every 8 bytes of its text.");

    // A file larger than any document is not read at all.
    {
        QFile huge(h.preset("Huge"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize((qint64(1) << 30) + 1)); // sparse: no disk is used
    }
    d.loadPreset("Huge");
    EXPECT_EQ(console.lines().back(),
              "loadPreset: ⛔️ The file \"Huge\" couldn't be opened: it is too large to be "
              "a document (a document has at most 1 GB)");
    QFile::remove(h.preset("Huge"));

    // So are empty steps under a key that projects do not have, and an object with more members
    // than any of the application's.
    std::string members;
    for (int i = 0; i < 1000; ++i)
        members += (i ? ",\"" : "{\"") + std::to_string(i) + "\":0";
    members += "}";
    const std::pair<std::string, std::string> hostile[] = {
        {emptySteps(8 << 20), "more values than its text allows"}, {members, "more than 128 members"}};
    for (const auto& [notes, reason] : hostile) {
        const QString path = h.dir.filePath("notes.gwProject");
        writeAll(path, QByteArray::fromStdString(R"({"images":[],"filters":[],"notes":)" + notes + "}"));
        const size_t alerts = h.dialogs->alerts.size();
        d.loadFromDisk({Harness::url(path)});
        ASSERT_EQ(h.dialogs->alerts.size(), alerts + 1) << reason;
        EXPECT_TRUE(h.dialogs->alerts.back().informativeText.contains(QString::fromStdString(reason)))
            << h.dialogs->alerts.back().informativeText.toStdString();
        EXPECT_EQ(console.lines().back().rfind("loadFromDisk: ⛔️ ", 0), 0u);
    }
    EXPECT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_TRUE(d.CurrentProjectUrl().isEmpty());
}

TEST(Projects, ATextFarBeyondARealOneIsRefusedQuickly) {
    LaunchedHarness h;
    auto& d = h.d();
    d.setCurrentFilters({step("A", 0.25)});
    // A watermark's text of 30 MB once stalled the window for half a minute when its step was
    // shown.
    EXPECT_FALSE(model::encodePreset({textStep(std::string(30 << 20, 'w'))}).ok()); // never written
    // Made by hand: the step as it is written, its text then made long.
    auto written = model::encodePreset({textStep("TEXT")});
    ASSERT_TRUE(written.ok());
    const std::string text = written->replace(written->find("TEXT"), 4, std::string(30 << 20, 'w'));
    writeAll(h.preset("Long"), QByteArray::fromStdString(text));
    writeAll(h.dir.filePath("long.gwProject"),
             QByteArray::fromStdString(R"({"images":[],"filters":)" + text + "}"));
    QElapsedTimer timer;
    timer.start();
    d.loadPreset("Long");
    d.loadFromDisk({Harness::url(h.dir.filePath("long.gwProject"))});
    EXPECT_LT(timer.elapsed(), 10'000);
    ASSERT_EQ(h.dialogs->alerts.size(), 2u);
    EXPECT_EQ(h.dialogs->alerts[0].message, "The preset \"Long\" could not be read.");
    EXPECT_EQ(h.dialogs->alerts[1].message, "The project \"long.gwProject\" could not be opened.");
    for (const auto& alert : h.dialogs->alerts)
        EXPECT_EQ(alert.informativeText, "The data holds a text of 30 MB; a text is at most 64 KB.");
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "A");
    EXPECT_TRUE(d.presetCurrent().isEmpty());
    EXPECT_TRUE(d.CurrentProjectUrl().isEmpty());
}
