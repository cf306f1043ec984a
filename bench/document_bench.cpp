// Opening and saving documents: how long the controller's main thread takes to open a preset or a
// project or to save a preset, and (run under /usr/bin/time -v) how much memory it takes to do so.
//
//   document_bench make-project FILE [--images N] [--steps N]
//   document_bench make-preset FILE [--steps N] [--cut-at F]
//   document_bench make-empty-steps FILE --megabytes M [--under-unknown-key]
//   document_bench make-long-text FILE --megabytes M [--project]
//   document_bench open-preset FILE
//   document_bench open-project FILE
//   document_bench save-preset FOLDER [--steps N]
//
// make-project writes a project as the application writes it: N images (default 100000) with
// long paths and a workflow of N steps (default 200) of eight inputs each, and prints how long
// the encoding took. make-preset writes a workflow of N such steps as a preset, cut short after
// the fraction F of its text when given (a write that never finished). make-empty-steps writes M
// megabytes of empty steps, "[{},{},...]", as a preset, or as a project with the steps under a key
// that projects do not have. make-long-text writes a preset (or a project) of one text watermark
// whose text is M megabytes. The open commands open FILE through the controller, print the time
// the call took, what was opened and any alert, and exit 0 when it was opened. save-preset saves a
// workflow of N steps as a preset in FOLDER through the controller, prints the time and any alert,
// and exits 0 when it was saved.

#include "app/AppDelegate.h"
#include "app/services/Dialogs.h"
#include "app/services/SystemServices.h"
#include "app/services/UserDefaults.h"
#include "model/Project.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

int usage(const char* message) {
    std::fprintf(stderr, "document_bench: %s\n", message);
    std::fprintf(stderr, "usage: document_bench make-project FILE [--images N] [--steps N]\n"
                         "       document_bench make-preset FILE [--steps N] [--cut-at F]\n"
                         "       document_bench make-empty-steps FILE --megabytes M [--under-unknown-key]\n"
                         "       document_bench make-long-text FILE --megabytes M [--project]\n"
                         "       document_bench open-preset FILE | open-project FILE\n"
                         "       document_bench save-preset FOLDER [--steps N]\n");
    return 2;
}

std::shared_ptr<model::Filter> largeStep(int index) {
    model::FilterParams params;
    for (int i = 0; i < 8; ++i)
        params.push_back(model::FilterParam::make(
            "Input " + std::to_string(i), "inputValue" + std::to_string(i), "How much of the effect to apply",
            model::FilterParamValue::numeric(0.25 * i, -10, 10),
            model::FilterParamValue::numeric(0, -10, 10)));
    auto step = model::Filter::make("Step " + std::to_string(index), "CIColorControls",
                                    "Adjusts saturation, brightness and contrast", std::move(params));
    step->setParent("Color Adjustment → Color Controls");
    step->setIsCurrent(true);
    return step;
}

model::Filters largeWorkflow(int steps) {
    model::Filters workflow;
    for (int i = 0; i < steps; ++i)
        workflow.push_back(largeStep(i));
    return workflow;
}

int writeText(const QString& file, const std::string& text) {
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(text.data(), qint64(text.size())) != qint64(text.size()))
        return usage("cannot write the file");
    return 0;
}

// Alerts go to the output; panels are cancelled.
class PrintedDialogs : public app::Dialogs {
  public:
    app::AlertResponse runAlert(const app::AlertRequest& request) override {
        ++alerts;
        std::printf("alert: %s %s\n", qPrintable(request.message), qPrintable(request.informativeText));
        return {0, false, {}};
    }
    std::optional<QStringList> runOpenPanel(const app::OpenPanelRequest&) override { return std::nullopt; }
    std::optional<QString> runSavePanel(const app::SavePanelRequest&) override { return std::nullopt; }

    int alerts = 0;
};

int makeProject(const QString& file, int images, int steps) {
    std::vector<std::string> paths;
    paths.reserve(size_t(images));
    for (int i = 0; i < images; ++i)
        paths.push_back("/home/photographer/Pictures/Archive/2024/2024-07-14 Summer holiday in the "
                        "mountains with the family/Day " +
                        std::to_string(i / 500 + 1) + "/Camera roll/IMG_" + std::to_string(100000 + i) +
                        ".jpeg");
    const model::Project project(std::move(paths), largeWorkflow(steps), QUrl::fromLocalFile(file));
    const auto start = std::chrono::steady_clock::now();
    auto text = model::encodeProject(project);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!text)
        return usage(text.error().c_str());
    if (int status = writeText(file, *text))
        return status;
    std::printf("%s: %.1f MB, %d images, %d steps, encoded in %.3f s\n", qPrintable(file),
                double(text->size()) / (1 << 20), images, steps, seconds);
    return 0;
}

int makePreset(const QString& file, int steps, double cutAt) {
    auto text = model::encodePreset(largeWorkflow(steps));
    if (!text)
        return usage(text.error().c_str());
    text->resize(size_t(double(text->size()) * cutAt));
    if (int status = writeText(file, *text))
        return status;
    std::printf("%s: %.1f MB, %d steps%s\n", qPrintable(file), double(text->size()) / (1 << 20), steps,
                cutAt < 1 ? ", cut short" : "");
    return 0;
}

int makeLongText(const QString& file, double megabytes, bool project) {
    // A text watermark as the application writes it, its text then made long (the application
    // writes no such text).
    const std::string marker = "TEXT OF THE WATERMARK";
    auto step = model::Filter::make(
        "Text", "IMWatermarkTextAction", "Watermarks an image using given text",
        {model::FilterParam::make("watermark", "inputWatermark", "", model::FilterParamValue::string(marker),
                                  model::FilterParamValue::string("Sample"))});
    step->setIsCurrent(true);
    auto text = project ? model::encodeProject(model::Project({}, {step})) : model::encodePreset({step});
    if (!text)
        return usage(text.error().c_str());
    text->replace(text->find(marker), marker.size(), std::string(size_t(megabytes * (1 << 20)), 'w'));
    if (int status = writeText(file, *text))
        return status;
    std::printf("%s: a text of %.1f MB\n", qPrintable(file), megabytes);
    return 0;
}

int makeEmptySteps(const QString& file, double megabytes, bool underUnknownKey) {
    std::FILE* out = std::fopen(QFile::encodeName(file).constData(), "wb");
    if (!out)
        return usage("cannot write the file");
    const std::string head = underUnknownKey ? R"({"images":[],"filters":[],"notes":[{})" : "[{}";
    const std::string tail = underUnknownKey ? "]}" : "]";
    const size_t size = size_t(megabytes * (1 << 20));
    std::string block;
    for (int i = 0; i < 65536; ++i)
        block += ",{}";
    size_t written = std::fwrite(head.data(), 1, head.size(), out);
    while (written + block.size() + tail.size() <= size)
        written += std::fwrite(block.data(), 1, block.size(), out);
    while (written + 3 + tail.size() <= size)
        written += std::fwrite(",{}", 1, 3, out);
    written += std::fwrite(tail.data(), 1, tail.size(), out);
    std::fclose(out);
    std::printf("%s: %.1f MB of empty steps\n", qPrintable(file), double(written) / (1 << 20));
    return 0;
}

app::AppServices benchServices(const QTemporaryDir& support, const std::shared_ptr<PrintedDialogs>& dialogs) {
    app::AppServices services;
    services.queues = std::make_shared<app::QtQueues>();
    services.dialogs = dialogs;
    services.defaults = std::make_shared<app::MemoryDefaults>();
    services.dataFolder = support.path();
    return services;
}

int open(const QString& file, bool preset) {
    QTemporaryDir support;
    auto dialogs = std::make_shared<PrintedDialogs>();
    app::AppDelegate d(benchServices(support, dialogs));

    const auto start = std::chrono::steady_clock::now();
    if (preset) {
        // Presets are read from the presets folder.
        d.setMainPresetsDir(support.path());
        QFile::link(QFileInfo(file).absoluteFilePath(), QDir(support.path()).filePath("preset"));
        d.loadPreset("preset");
    } else {
        d.loadFromDisk({QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath())});
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool opened = preset ? !d.CurrentFilters().empty() : !d.CurrentProjectUrl().isEmpty();
    std::printf("%s: %s in %.3f s (%zu steps)\n", qPrintable(QFileInfo(file).fileName()),
                opened ? "opened" : "refused", seconds, d.CurrentFilters().size());
    return opened ? 0 : 1;
}

int savePreset(const QString& folder, int steps) {
    QTemporaryDir support;
    auto dialogs = std::make_shared<PrintedDialogs>();
    app::AppDelegate d(benchServices(support, dialogs));
    d.setMainPresetsDir(QFileInfo(folder).absoluteFilePath());
    d.setCurrentFilters(largeWorkflow(steps));
    d.setPresetCurrent("bench");
    const auto start = std::chrono::steady_clock::now();
    d.savePreset();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool saved = dialogs->alerts == 0;
    std::printf("%s: %s in %.3f s (%d steps)\n", qPrintable(folder), saved ? "saved" : "refused", seconds,
                steps);
    return saved ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() < 3)
        return usage("a command and a file are needed");
    const QString command = args[1], file = args[2];
    int images = 100000, steps = 200;
    double megabytes = 0, cutAt = 1;
    bool underUnknownKey = false, project = false;
    for (qsizetype i = 3; i < args.size(); ++i) {
        auto next = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        bool ok = true;
        if (args[i] == "--images")
            images = next().toInt(&ok);
        else if (args[i] == "--steps")
            steps = next().toInt(&ok);
        else if (args[i] == "--megabytes")
            megabytes = next().toDouble(&ok);
        else if (args[i] == "--cut-at")
            cutAt = next().toDouble(&ok);
        else if (args[i] == "--under-unknown-key")
            underUnknownKey = true;
        else if (args[i] == "--project")
            project = true;
        else
            return usage("unknown option");
        if (!ok || images < 0 || steps < 0 || megabytes < 0 || cutAt < 0 || cutAt > 1)
            return usage("bad number");
    }
    if (command == "make-project")
        return makeProject(file, images, steps);
    if (command == "make-preset")
        return makePreset(file, steps, cutAt);
    if (command == "make-long-text")
        return megabytes > 0 ? makeLongText(file, megabytes, project) : usage("--megabytes is needed");
    if (command == "save-preset")
        return savePreset(file, steps);
    if (command == "make-empty-steps")
        return megabytes > 0 ? makeEmptySteps(file, megabytes, underUnknownKey)
                             : usage("--megabytes is needed");
    if (command == "open-preset" || command == "open-project")
        return open(file, command == "open-preset");
    return usage("unknown command");
}
