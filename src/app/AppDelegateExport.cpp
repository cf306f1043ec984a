// The batch export: the export dialog's settings and actions, and the run on the global queue.

#include "app/AppDelegate.h"
#include "app/FailedItem.h"

#include "ci/core/Console.h"
#include "ci/core/Memory.h"
#include "model/ImageOperations.h"
#include "platform/FilePath.h"

#include <QSet>

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

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

/// How many names a file may try: the plain one and the numbered ones up to this count. A file
/// system that says every name is taken fails the file instead of holding the run for ever.
constexpr int kMaxNames = 10000;

/// The names one run writes. An existing file is replaced only when overwriting is on and it is
/// neither a source image of the run nor a file the run has written already; otherwise the
/// first free numbered name is taken, and taken without replacing anything: a name that another
/// program (another export into the same folder) takes meanwhile gives way to the next one. Files
/// are told apart by what they are on disk, so another name (a link) of a source is a source too.
class ExportNames {
  public:
    using Taken = std::function<bool(const QString&)>;

    ExportNames(QString folder, const std::vector<QString>& sources, Taken taken = {})
        : folder_(std::move(folder)), taken_(taken ? std::move(taken) : Taken(platform::nameTaken)) {
        for (const QString& source : sources) {
            const std::string bytes = platform::pathBytes(source);
            struct stat st {};
            if (::stat(bytes.c_str(), &st) == 0)
                sources_.insert({st.st_dev, st.st_ino});
            if (::lstat(bytes.c_str(), &st) == 0)
                sources_.insert({st.st_dev, st.st_ino});
        }
    }

    /// The name the file of `base` would be given now; empty when none is free.
    QString choose(const QString& base, const QString& extension, bool overwrite) const {
        if (overwrite && protection(base + extension).empty())
            return base + extension;
        for (int index = 0; index < kMaxNames; ++index)
            if (const QString name = candidate(base, extension, index); isFree(name))
                return name;
        return {};
    }

    /// What became of one file.
    struct Written {
        QString name;        ///< the name it was given, or the last one tried
        std::string avoided; ///< why the plain name was not used, when overwriting
        std::string error;   ///< why it was not written; empty when it was
    };

    /// Gives the staged file of `base` its name (see the class).
    Written publish(platform::StagedFile& file, const QString& base, const QString& extension,
                    bool overwrite) {
        Written w{base + extension, {}, {}};
        if (overwrite) {
            w.avoided = protection(w.name);
            if (w.avoided.empty()) {
                w.error = file.replace(path(w.name));
                if (w.error.empty())
                    written_.insert(w.name);
                return w;
            }
        }
        for (int index = 0; index < kMaxNames; ++index) {
            const QString name = candidate(base, extension, index);
            if (!isFree(name))
                continue;
            w.name = name;
            switch (file.publishNew(path(name), &w.error)) {
            case platform::StagedFile::Outcome::Published:
                written_.insert(name);
                return w;
            case platform::StagedFile::Outcome::Taken:
                continue;
            case platform::StagedFile::Outcome::Failed:
                return w;
            }
        }
        w.error = "no name from " + platform::pathBytes(base + extension) + " to " +
                  platform::pathBytes(candidate(base, extension, kMaxNames - 1)) + " is free";
        return w;
    }

    QString path(const QString& name) const { return folder_ + '/' + name; }

  private:
    static QString candidate(const QString& base, const QString& extension, int index) {
        return index == 0 ? base + extension : base + "-" + QString::number(index + 1) + extension;
    }

    bool isFree(const QString& name) const { return !written_.contains(name) && !taken_(path(name)); }

    /// Why the file of that name must not be replaced; empty when it may be.
    std::string protection(const QString& name) const {
        if (isSource(name))
            return "is one of the images being exported";
        if (written_.contains(name))
            return "was written earlier in this export";
        return {};
    }

    bool isSource(const QString& name) const {
        struct stat st {};
        const std::string bytes = platform::pathBytes(path(name));
        return platform::isValidPath(bytes) && ::lstat(bytes.c_str(), &st) == 0 &&
               sources_.count({st.st_dev, st.st_ino}) > 0;
    }

    QString folder_;
    Taken taken_;
    std::set<std::pair<dev_t, ino_t>> sources_;
    QSet<QString> written_;
};

/// The images of a run, read one ahead: while the present image renders, the next one is read
/// (decompressed and looked through for damage, its samples held as stored) on a thread of its
/// own. So at most two images are in flight: the present one in the working space, and the next
/// one as stored, a fraction of that (and the rows drawn from the image before, being encoded).
class SourceReader {
  public:
    /// The files the run reads, each the one that was added (see ImageObject::identity()).
    struct Source {
        std::string path;
        ci::io::FileIdentity identity;
    };
    explicit SourceReader(std::vector<Source> sources) : sources_(std::move(sources)) { startRead(); }
    ~SourceReader() {
        // A run that stops early still waits for the read it started.
        if (pending_.valid())
            pending_.wait();
    }
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    /// The picture of the next image in order, in the working space; the next image's read
    /// starts once it is there.
    std::optional<platform::WindowImage> next(std::string* error) {
        startRead();
        ci::Result<ci::io::ReadPicture> read = pending_.get();
        ++taken_;
        std::optional<platform::WindowImage> picture;
        if (read)
            picture = platform::WindowImage::fromDecoded(ci::io::decodePicture(std::move(*read)), error);
        else
            *error = read.error();
        startRead();
        return picture;
    }

    /// Image `index` is done with, whatever became of it: its read is taken (a failure before it
    /// was asked for leaves it unused) and the next one's started.
    void finished(size_t index) {
        while (taken_ <= index && taken_ < sources_.size()) {
            startRead();
            pending_.get();
            ++taken_;
        }
        startRead();
    }

  private:
    void startRead() {
        if (pending_.valid() || taken_ >= sources_.size())
            return;
        auto read = [source = sources_[taken_]]() -> ci::Result<ci::io::ReadPicture> {
            if (!platform::isValidPath(source.path))
                return ci::Result<ci::io::ReadPicture>::failure(platform::kNotAFileName);
            try {
                return ci::io::readPicture(source.path, source.identity);
            } catch (const std::exception& e) {
                return ci::Result<ci::io::ReadPicture>::failure(ci::describeFailure(e));
            }
        };
        try {
            pending_ = std::async(std::launch::async, read);
        } catch (const std::system_error&) {
            // No thread to spare: the image is read when it is asked for.
            pending_ = std::async(std::launch::deferred, read);
        }
    }

    std::vector<Source> sources_;
    size_t taken_ = 0; ///< images whose read has been taken
    std::future<ci::Result<ci::io::ReadPicture>> pending_;
};

/// The end of each image of a run (encoding, writing, reporting) on a thread of its own while the
/// next image renders; one image at a time, in order.
class ImageFinisher {
  public:
    ImageFinisher() = default;
    ~ImageFinisher() { wait(); }
    ImageFinisher(const ImageFinisher&) = delete;
    ImageFinisher& operator=(const ImageFinisher&) = delete;

    /// Starts `finish` once the image before has finished. `finish` must not throw.
    void then(std::function<void()> finish) {
        wait();
        auto shared = std::make_shared<std::function<void()>>(std::move(finish));
        try {
            pending_ = std::async(std::launch::async, [shared] { (*shared)(); });
        } catch (const std::system_error&) {
            // No thread to spare: the image finishes before the next one starts.
            (*shared)();
        }
    }

    void wait() {
        if (pending_.valid())
            pending_.get();
    }

  private:
    std::future<void> pending_;
};

} // namespace

/// Everything the worker reads, copied on the main queue: the settings when the run is asked for,
/// the queue and the workflow when it starts.
struct AppDelegate::ExportJob {
    struct Entry {
        QString path;
        QString base;
        ci::io::FileIdentity identity;
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
                                    bool overwrite, const std::function<bool(const QString&)>& taken) {
    return ExportNames(folder, {}, taken).choose(base, extension, overwrite);
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
    enqueueRun(RunKind::Export, "Exporting images", [this, job] { startExport(job); });
}

void AppDelegate::startExport(std::shared_ptr<ExportJob> job) {
    // The queue and the workflow as they are now, when the run starts: a run that waited for an
    // import exports the images that import has added too.
    job->steps = enabledStepSnapshot();
    for (const auto& image : CurrentImages_)
        job->entries.push_back({image->path(), image->filenameWithoutExtension(), image->identity()});
    SheetTexts sheet;
    sheet.action = "Exporting images";
    sheet.message = "Warming up...";
    sheet.max = qint64(job->entries.size());
    beginSheetRun(RunKind::Export, sheet);
    // A preview render still running would hold a second image beside the export's: it stops, and
    // the preview is rendered when the run is over.
    if (previewRendering_) {
        cancelPreviewRender();
        previewWanted_ = true;
    }
    work_->startWorker([job](Work& work) { exportImages(work, *job); });
}

void AppDelegate::exportImages(Work& work, const ExportJob& job) {
    const FormatEntry& format = kFormats[job.format];
    const double compression = double(job.quality) * 0.2;
    std::vector<QString> sources;
    for (const auto& entry : job.entries)
        sources.push_back(entry.path);
    ExportNames names(job.destination, sources);
    // Gathered on the finisher alone: every image ends there, in order. The console hears
    // `line` (by default the source and the reason); the sheet lists the file and the reason.
    QStringList failed;
    auto fail = [&](const QString& source, const std::string& reason, const std::string& line = {}) {
        failed << failedItem(source, reason);
        ci::console(line.empty() ? "exportImages: ⛔️ " + platform::pathBytes(source) + ": " + reason
                                 : line);
        return false;
    };

    std::vector<SourceReader::Source> read;
    for (const auto& entry : job.entries)
        read.push_back({platform::pathBytes(entry.path), entry.identity});
    SourceReader reader(read);

    using Shown = std::vector<std::function<void(AppDelegate&)>>;
    /// What one image has drawn on this worker, for the finisher.
    struct Drawn {
        Shown shown;                           ///< its stages up to the drawing, shown when it finishes
        std::optional<ci::PixelBuffer> pixels; ///< nothing when it failed
        std::string failure;                   ///< why it failed
    };

    // The first part of one image, on this worker: load, apply the steps and draw. Its stages
    // are held back, so that the sheet shows each image's stages in turn while the image before
    // is still being written.
    auto drawOne = [&](const ExportJob::Entry& entry, Drawn& drawn) {
        drawn.shown.push_back([path = entry.path](AppDelegate& d) {
            d.updateRunning([&](SheetTexts& sheet) {
                ++sheet.current;
                sheet.message = "Loading...";
                sheet.subMessage = path;
            });
        });
        std::string error;
        auto loaded = reader.next(&error);
        const platform::ImageRep* rep = loaded ? loaded->firstRepresentation() : nullptr;
        if (!rep) {
            drawn.shown.push_back([](AppDelegate& d) {
                d.updateRunning([](SheetTexts& sheet) { sheet.message = "Error reading image..."; });
            });
            drawn.failure = error;
            return;
        }
        drawn.shown.push_back([](AppDelegate& d) {
            d.updateRunning([](SheetTexts& sheet) { sheet.message = "Processing..."; });
        });
        model::FilterChain chain;
        for (const auto& step : job.steps)
            chain.push_back(step->parameterDictionary(rep->pixelsWide(), rep->pixelsHigh(), false));
        const auto result = model::applyFilterChain(*loaded, chain);
        std::string why = "the workflow gives no image";
        drawn.pixels = result ? model::drawnForEncoding(*result, &why) : std::nullopt;
        if (!drawn.pixels)
            drawn.failure = "the image could not be processed: " + why;
    };

    // The end of one image, on the finisher: encode and write. False when it failed (and said
    // why).
    auto writeOne = [&](const ExportJob::Entry& entry, const Drawn& drawn) {
        for (const auto& show : drawn.shown)
            work.toOwner(show);
        if (!drawn.pixels)
            return fail(entry.path, drawn.failure);
        work.toOwner([](AppDelegate& d) {
            d.updateRunning([](SheetTexts& sheet) { sheet.message = "Converting..."; });
        });
        std::string why;
        const auto bytes = model::encodedPixels(*drawn.pixels, format.type, compression, &why);
        if (!bytes)
            return fail(entry.path, "the image could not be processed: " + why);
        // A write is not begun once quitting has started; one that has begun ends whole.
        if (!work.isOpen())
            return false;
        work.toOwner([](AppDelegate& d) {
            d.updateRunning([](SheetTexts& sheet) { sheet.subMessage = "Writing to disk..."; });
        });

        // Written under a temporary name and then given its name: no half-written file is left,
        // and a link of that name is replaced, never written through. The encoded bytes are
        // written where they are, not copied first.
        const QByteArray data =
            QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()), qsizetype(bytes->size()));
        platform::StagedFile file(names.path(entry.base + format.extension), data);
        const auto written = names.publish(file, entry.base, format.extension, job.overwrite);
        // The sheet's list is told the name in the folder, not the path: it takes the source's
        // path out of a reason, and a folder's path may begin with it.
        if (!written.error.empty())
            return fail(entry.path,
                        "could not be written as " + platform::pathBytes(written.name) + ": " + written.error,
                        "Something went wrong: " + platform::pathBytes(names.path(written.name)) +
                            " could not be written: " + written.error);
        if (!written.avoided.empty())
            ci::console("exportImages: " + platform::pathBytes(entry.base + format.extension) + " " +
                        written.avoided + "; written as " + platform::pathBytes(written.name));
        return true;
    };

    // Declared last: it waits for the image it is finishing before anything it uses goes.
    ImageFinisher finisher;
    for (size_t index = 0; index < job.entries.size(); ++index) {
        // Quitting stops the run between images; the files written so far are whole.
        if (!work.isOpen())
            return;
        const auto started = std::chrono::steady_clock::now();
        auto drawn = std::make_shared<Drawn>();
        // Whatever goes wrong with one image, running out of memory included, fails that image
        // and the run goes on.
        try {
            drawOne(job.entries[index], *drawn);
        } catch (const std::exception& e) {
            drawn->pixels.reset();
            drawn->failure = ci::describeFailure(e);
        }
        reader.finished(index);
        finisher.then([&, index, drawn, started] {
            const auto& entry = job.entries[index];
            bool ok = false;
            try {
                ok = writeOne(entry, *drawn);
            } catch (const std::exception& e) {
                ok = fail(entry.path, ci::describeFailure(e));
            }
            drawn->pixels.reset();
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
            work.toOwner(
                [path = entry.path, ok, ms](AppDelegate& d) { Q_EMIT d.exportItemFinished(path, ok, ms); });
        });
    }
    finisher.wait();
    const qint64 total = qint64(job.entries.size());
    work.toOwner([failed, total](AppDelegate& d) {
        if (failed.isEmpty())
            d.runFinished(total == 1 ? QString("1 image exported")
                                     : QString("%1 images exported").arg(total));
        else
            d.runFinishedWithFailures(failed.size(), total, {}, failed);
        // The preview waited for the run (see regeneratePreview).
        if (std::exchange(d.previewAfterExport_, false))
            d.regeneratePreview();
    });
}

} // namespace app
