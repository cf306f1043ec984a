// The batch export: the export dialog's settings and actions, and the run on the global queue.

#include "app/AppDelegate.h"

#include "ci/core/Console.h"
#include "model/ImageOperations.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <chrono>

namespace app {

namespace {

struct FormatEntry {
    ci::io::FileType type;
    const char* extension;
};

const FormatEntry kFormats[] = {{ci::io::FileType::PNG, ".png"},
                                {ci::io::FileType::JPEG, ".jpg"},
                                {ci::io::FileType::BMP, ".bmp"},
                                {ci::io::FileType::TIFF, ".tiff"},
                                {ci::io::FileType::GIF, ".gif"}};

} // namespace

/// Everything the worker reads, copied on the main queue: the settings when the run is asked for,
/// the queue and the workflow when it starts.
struct AppDelegate::ExportJob {
    struct Entry {
        QString path;
        QString base;
    };
    std::vector<Entry> entries;
    model::Filters steps;
    qint64 format = 0;
    qint64 quality = 5;
    QString destination;
    bool overwrite = true;
};

void AppDelegate::showExportDialog() {
    setExportDialogSelectedTab(0);
    setExportDialogVisible(true);
}

void AppDelegate::cancelExportDialog() {
    setExportDialogVisible(false);
}

void AppDelegate::exportDialogNext() {
    setExportDialogSelectedTab(std::min<qint64>(exportDialogSelectedTab() + 1, 2));
}

void AppDelegate::exportDialogBack() {
    setExportDialogSelectedTab(std::max<qint64>(exportDialogSelectedTab() - 1, 0));
}

void AppDelegate::exportDialogSelectFolder() {
    if (!services_.dialogs)
        return;
    OpenPanelRequest request;
    request.allowsMultipleSelection = false;
    request.canChooseFiles = false;
    request.canChooseDirectories = true;
    auto paths = services_.dialogs->runOpenPanel(request);
    if (paths && !paths->isEmpty())
        setExportDialogDestination(paths->front());
}

QString AppDelegate::exportFileName(const QString& folder, const QString& base, const QString& extension,
                                    bool overwrite) {
    const QDir dir(folder);
    QString name = base + extension;
    if (overwrite)
        return name;
    for (qint64 counter = 2; QFileInfo::exists(dir.filePath(name)); ++counter)
        name = base + "-" + QString::number(counter) + extension;
    return name;
}

void AppDelegate::exportDialogStartProcessing() {
    // Without a folder there is nowhere to write: the dialog stays for the user to choose one.
    if (!exportDialogCanStart())
        return;
    setExportDialogVisible(false);
    auto job = std::make_shared<ExportJob>();
    job->format = std::clamp<qint64>(exportDialogFileFormat(), 0, 4);
    job->quality = std::clamp<qint64>(exportDialogQuality(), 1, 5);
    job->destination = exportDialogDestination();
    job->overwrite = exportDialogDestinationDoOverwrite();
    enqueueRun([this, job] { startExport(job); });
}

void AppDelegate::startExport(std::shared_ptr<ExportJob> job) {
    // The queue and the workflow as they are now, when the run starts: a run that waited for an
    // import exports the images that import has added too.
    job->steps = enabledStepSnapshot();
    for (const auto& image : CurrentImages_)
        job->entries.push_back({image->path(), image->filenameWithoutExtension()});
    setProgressSheetCurrent(0);
    setProgressSheetMax(qint64(job->entries.size()));
    setProgressSheetAction("Exporting images");
    setProgressSheetMessage("Warming up...");
    setProgressSheetShowCounter(true);
    beginSheetRun(RunKind::Export);
    work_->startWorker([job](Work& work) { exportImages(work, *job); });
}

void AppDelegate::exportImages(Work& work, const ExportJob& job) {
    const FormatEntry& format = kFormats[job.format];
    const double compression = double(job.quality) * 0.2;
    qint64 failures = 0;
    for (const auto& entry : job.entries) {
        // Quitting stops the run between images; the files written so far are whole.
        if (!work.isOpen())
            return;
        const auto started = std::chrono::steady_clock::now();
        const qint64 failuresBefore = failures;
        auto report = [&] {
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
            work.toOwner([path = entry.path, ok = failures == failuresBefore, ms](AppDelegate& d) {
                Q_EMIT d.exportItemFinished(path, ok, ms);
            });
        };
        work.toOwner([path = entry.path](AppDelegate& d) {
            d.setProgressSheetCurrent(d.ProgressSheetCurrent() + 1);
            d.setProgressSheetMessage("Loading...");
            d.setProgressSheetSubMessage(path);
        });
        std::string error;
        const auto loaded = platform::WindowImage::fromFile(entry.path.toStdString(), &error);
        const platform::ImageRep* rep = loaded ? loaded->firstRepresentation() : nullptr;
        if (!rep) {
            ++failures;
            ci::console("exportImages: ⛔️ " + entry.path.toStdString() + ": " + error);
            work.toOwner([](AppDelegate& d) { d.setProgressSheetMessage("Error reading image..."); });
            report();
            continue;
        }
        work.toOwner([](AppDelegate& d) { d.setProgressSheetMessage("Processing..."); });
        model::FilterChain chain;
        for (const auto& step : job.steps)
            chain.push_back(step->parameterDictionary(rep->pixelsWide(), rep->pixelsHigh(), false));
        const auto result = model::applyFilterChain(*loaded, chain);
        work.toOwner([](AppDelegate& d) { d.setProgressSheetMessage("Converting..."); });
        const auto bytes = result ? model::encodedImageData(*result, format.type, compression) : std::nullopt;
        if (!bytes) {
            ++failures;
            ci::console("exportImages: ⛔️ " + entry.path.toStdString() +
                        ": the image could not be processed");
            report();
            continue;
        }
        // A write is not begun once quitting has started; one that has begun ends whole.
        if (!work.isOpen())
            return;
        work.toOwner([](AppDelegate& d) { d.setProgressSheetSubMessage("Writing to disk..."); });

        const QString name = exportFileName(job.destination, entry.base, format.extension, job.overwrite);
        // Written under a temporary name and renamed into place: no half-written file is left.
        QSaveFile file(QDir(job.destination).filePath(name));
        const bool written = file.open(QIODevice::WriteOnly) &&
                             file.write(reinterpret_cast<const char*>(bytes->data()),
                                        qint64(bytes->size())) == qint64(bytes->size()) &&
                             file.commit();
        if (!written) {
            ++failures;
            ci::console("Something went wrong: " + file.errorString().toStdString());
        }
        report();
    }
    const qint64 total = qint64(job.entries.size());
    work.toOwner([failures, total](AppDelegate& d) {
        if (failures == 0)
            d.runFinished();
        else
            d.runFinishedWithFailures(failures, total);
    });
}

} // namespace app
