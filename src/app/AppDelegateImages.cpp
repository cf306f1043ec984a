// The image queue: import under the progress sheet, drops, open-file requests and removal.

#include "app/AppDelegate.h"
#include "app/FailedItem.h"

#include "ci/core/Console.h"
#include "ci/core/Memory.h"
#include "platform/FilePath.h"

#include <sys/resource.h>

#include <tbb/parallel_pipeline.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace app {

const QStringList& AppDelegate::imageFileExtensions() {
    static const QStringList extensions = {
        "3FR",  "3fr",  "ARW",  "ASTC", "ATX",   "AVCI", "AVIF",  "AVIS",  "BMP",  "CR2",  "CR3",  "CRW",
        "CUR",  "DCR",  "DDS",  "DNG",  "DXO",   "EFX",  "EPI",   "EPS",   "EPSF", "EPSI", "ERF",  "EXR",
        "FAX",  "FFF",  "G3",   "GIF",  "HDR",   "HEIC", "HEICS", "HEIF",  "HIF",  "ICNS", "ICO",  "IIQ",
        "J2C",  "J2K",  "JFAX", "JFIF", "JFX",   "JP2",  "JPE",   "JPEG",  "JPF",  "JPG",  "JPS",  "KTX",
        "KTX2", "MOS",  "MPO",  "MRW",  "NEF",   "NRW",  "ORF",   "PAM",   "PBM",  "PCT",  "PDF",  "PEF",
        "PFM",  "PGM",  "PIC",  "PICT", "PNG",   "PPM",  "PS",    "PSB",   "PSD",  "PVR",  "RAF",  "RAW",
        "RGB",  "RW2",  "RWL",  "SGI",  "SR2",   "SRF",  "SRW",   "TARGA", "TGA",  "TIF",  "TIFF", "WEBP",
        "arw",  "astc", "atx",  "avci", "avif",  "avis", "bmp",   "cr2",   "cr3",  "crw",  "cur",  "dcr",
        "dds",  "dng",  "dxo",  "efx",  "epi",   "eps",  "epsf",  "epsi",  "erf",  "exr",  "fax",  "fff",
        "g3",   "gif",  "hdr",  "heic", "heics", "heif", "hif",   "icns",  "ico",  "iiq",  "j2c",  "j2k",
        "jfax", "jfif", "jfx",  "jp2",  "jpe",   "jpeg", "jpf",   "jpg",   "jps",  "ktx",  "ktx2", "mos",
        "mpo",  "mrw",  "nef",  "nrw",  "orf",   "pam",  "pbm",   "pct",   "pdf",  "pef",  "pfm",  "pgm",
        "pic",  "pict", "png",  "ppm",  "ps",    "psb",  "psd",   "pvr",   "raf",  "raw",  "rgb",  "rw2",
        "rwl",  "sgi",  "sr2",  "srf",  "srw",   "svg",  "targa", "tga",   "tif",  "tiff", "webp"};
    return extensions;
}

namespace {

/// File names in the order people count: letters without regard to case, runs of digits by
/// their value (IMG_2 before IMG_10); names that still tie, in plain order.
bool naturalNameLess(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            // By value: without leading zeros, the longer run is the larger number.
            QStringView x = QStringView(a).mid(i, ie - i), y = QStringView(b).mid(j, je - j);
            while (x.size() > 1 && x.front() == u'0')
                x = x.mid(1);
            while (y.size() > 1 && y.front() == u'0')
                y = y.mid(1);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (const int c = x.compare(y); c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        const QChar p = a[i].toCaseFolded(), q = b[j].toCaseFolded();
        if (p != q)
            return p < q;
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

/// A record, or nothing when the file cannot be read (why in `why`), also for lack of memory: one
/// bad file never ends an import.
template <class Make>
ImageObjectPtr guarded(const char* where, const QUrl& url, std::string& why, Make&& make) {
    try {
        return make();
    } catch (const std::exception& e) {
        why = ci::describeFailure(e);
        ci::console(std::string(where) + ": ⛔️ " + platform::pathBytes(platform::localPath(url)) + ": " +
                    why);
    }
    return nullptr;
}

/// The record of a file as ImageObject::open() gives it; nothing, with why in `why`, when it
/// cannot be opened. A reason that the console must hear goes into `failure` too.
ImageObjectPtr openRecord(const QUrl& url, std::string& why, std::string& failure,
                          const std::function<void()>& headerAccepted, const ci::io::PictureFile* looked) {
    // A NUL would end the name early, and the system would read another file.
    if (!platform::isValidPath(platform::localPath(url))) {
        failure = why = platform::kNotAFileName;
        return nullptr;
    }
    try {
        return ImageObject::open(url, &why, headerAccepted, looked);
    } catch (const std::exception& e) {
        failure = why = ci::describeFailure(e);
    }
    return nullptr;
}

/// How many files an import looks at ahead of the one it hands on: each look holds a descriptor
/// until then, and the system's limit on them is shared with everything else the program opens.
qsizetype lookAhead() {
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY)
        return 2048;
    return std::clamp<qsizetype>(qsizetype(descriptors.rlim_cur / 4), 16, 2048);
}

} // namespace

QList<QUrl> AppDelegate::expandFolder(const QUrl& url) {
    const QString path = platform::localPath(url);
    if (platform::fileKind(path) != platform::FileKind::Folder)
        return {url};
    // Listed by the names' bytes: a name that is not UTF-8 is still a file to import.
    auto names = platform::folderEntries(path);
    if (!names)
        return {};
    // In name order as a file manager shows it, not in the order on disk.
    std::sort(names->begin(), names->end(), naturalNameLess);
    QList<QUrl> urls;
    for (const auto& name : *names) {
        // Hidden entries and sub-folders are kept, and the import reports what is not an image;
        // pipes, devices and sockets are never files to read (one would block the import).
        const QString entry = path + '/' + name;
        if (platform::fileKind(entry) != platform::FileKind::Other)
            urls.push_back(platform::fileUrl(entry));
    }
    return urls;
}

void AppDelegate::addImages(const QList<QUrl>& urls) {
    // One run at a time; an import asked for meanwhile follows it.
    enqueueRun(RunKind::Import, "Importing images", [this, urls] { startImport(urls, false); });
}

void AppDelegate::startImport(QList<QUrl> urls, bool replaceQueue) {
    if (replaceQueue) {
        setCurrentImages({});
        setHasFiles(false);
    }
    SheetTexts sheet;
    sheet.action = "Importing images";
    sheet.message = "Warming up...";
    sheet.max = urls.size();
    beginSheetRun(RunKind::Import, sheet);
    const uint64_t run = runId_;
    work_->startWorker([urls = std::move(urls), run, metadata = metadata_](Work& work) {
        importImagesWorker(work, urls, run, metadata);
    });
}

void AppDelegate::buildRecords(
    WorkContext& work, const char* where, const QList<QUrl>& urls, Exif::Reader& metadata,
    const std::function<void(const QUrl&, const ImageObjectPtr&, const std::string& why)>& each) {
    // Opening a file (its header and a look through its data) runs in parallel; the metadata
    // tool answers one read at a time, and the records are handed on in list order. The tool is
    // given the file that the import looked at, by its descriptor: once its first bytes are seen
    // to be a picture format's signature (for a format without one, once its reader has accepted
    // its header; see Exif::Grants), and only then: the tool can read nothing that the import
    // turned away as no picture (a link to a key beside a photo), whatever a name leads to later,
    // and is started while the readers are still at work. A file that its reader then turns away
    // is taken back. The opening runs up to a few hundred files ahead of the metadata, each
    // holding only its record and its look, so that a tool is started for many of them at once.
    // Names of one file (listed again, linked) are asked about once, and share the answer.
    struct Opened {
        qsizetype index = 0;
        ImageObjectPtr record;
        std::string why;     ///< why it is no image
        std::string failure; ///< why opening it threw, said in list order
    };
    const qsizetype ahead = lookAhead();
    const size_t inFlight = size_t(std::min<qsizetype>(512, ahead));
    Exif::Grants grants(metadata, urls.size());
    // The files are looked at ahead of the opening, so that the tool is started for many of them
    // while the readers start; not further ahead of the reads than descriptors allow.
    std::atomic<qsizetype> handedOn{0};
    std::atomic<bool> scanning{true};
    const auto scans = [&] { return scanning.load() && work.isOpen(); };
    const auto pathOf = [&](qsizetype i) {
        const QString local = platform::localPath(urls[i]);
        return platform::isValidPath(local) ? platform::pathBytes(local) : std::string();
    };
    std::thread scanner([&] {
        try {
            for (qsizetype i = 0; i < urls.size() && scans(); ++i) {
                while (i - handedOn.load() > ahead && scans())
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (const std::string path = pathOf(i); !path.empty())
                    grants.scan(i, path);
            }
        } catch (const std::exception&) {
            // Out of memory: the files left are looked at as they are opened.
        }
    });
    struct Joined {
        std::atomic<bool>& scanning;
        std::thread& scanner;
        ~Joined() {
            scanning = false;
            scanner.join();
        }
    } joined{scanning, scanner};
    const auto open = [&](qsizetype i) {
        Opened opened{i, nullptr, {}, {}};
        if (work.isOpen()) {
            // Looked at before its reader opens it, should the scanner not have come this far; the
            // reader then reads the file looked at, whatever its name leads to by now.
            Exif::LookPtr look;
            if (const std::string path = pathOf(i); !path.empty())
                look = grants.scan(i, path);
            opened.record = openRecord(
                urls[i], opened.why, opened.failure, [&] { grants.headerAccepted(i); }, look.get());
        }
        if (!opened.record)
            grants.turnAway(i);
        grants.settle(i);
        return opened;
    };
    // The answers by file, for its other names.
    struct Answer {
        Exif::Metadata metadata;
        std::string failure;
    };
    std::map<std::pair<uint64_t, uint64_t>, Answer> answers;
    const auto metadataOf = [&](qsizetype i, std::string& failure) -> Exif::Metadata {
        const Exif::LookPtr file = grants.granted(i);
        if (!file)
            return {};
        const auto [known, added] = answers.try_emplace({file->identity().device, file->identity().inode});
        if (added)
            known->second.metadata = metadata.read(file, &known->second.failure);
        failure = known->second.failure;
        if (!added)
            if (const auto named = Exif::toolArgument(file->path()))
                return Exif::withNames(known->second.metadata, *named);
        return known->second.metadata;
    };
    qsizetype next = 0;
    tbb::parallel_pipeline(
        inFlight,
        tbb::make_filter<void, qsizetype>(tbb::filter_mode::serial_in_order,
                                          [&](tbb::flow_control& control) -> qsizetype {
                                              if (next >= urls.size() || !work.isOpen()) {
                                                  control.stop();
                                                  return 0;
                                              }
                                              return next++;
                                          }) &
            tbb::make_filter<qsizetype, Opened>(tbb::filter_mode::parallel, open) &
            tbb::make_filter<Opened, void>(tbb::filter_mode::serial_in_order, [&](const Opened& opened) {
                if (!work.isOpen())
                    return;
                const QUrl& url = urls[opened.index];
                if (!opened.failure.empty())
                    ci::console(std::string(where) + ": ⛔️ " +
                                platform::pathBytes(platform::localPath(url)) + ": " + opened.failure);
                std::string why = opened.why;
                const ImageObjectPtr record = guarded(where, url, why, [&]() -> ImageObjectPtr {
                    if (!opened.record)
                        return nullptr;
                    return ImageObject::complete(opened.record, metadataOf(opened.index, why));
                });
                grants.release(opened.index);
                each(url, record, why);
                handedOn = opened.index + 1;
            }));
}

void AppDelegate::importImagesWorker(Work& work, const QList<QUrl>& urls, uint64_t run,
                                     const std::shared_ptr<Exif::Reader>& metadata) {
    qint64 failures = 0, withoutMetadata = 0;
    QStringList failed;
    buildRecords(work, "importImagesWorker", urls, *metadata,
                 [&](const QUrl& url, const ImageObjectPtr& record, const std::string& why) {
                     work.toOwner([url](AppDelegate& d) {
                         d.updateRunning([&](SheetTexts& sheet) {
                             ++sheet.current;
                             sheet.message = "Analyzing...";
                             sheet.subMessage = platform::localPath(url);
                         });
                     });
                     if (!record) {
                         ++failures;
                         failed << failedItem(platform::localPath(url), why);
                         work.toOwner([](AppDelegate& d) {
                             d.updateRunning(
                                 [](SheetTexts& sheet) { sheet.message = "Error reading image..."; });
                         });
                         return;
                     }
                     if (!why.empty()) {
                         // Added, and listed with why it has no details.
                         ++withoutMetadata;
                         failed << failedItem(platform::localPath(url), "Added without its metadata: " + why);
                     }
                     work.toOwner([record](AppDelegate& d) {
                         d.updateRunning([](SheetTexts& sheet) { sheet.message = "Adding..."; });
                         auto images = d.CurrentImages_;
                         images.push_back(record);
                         d.setCurrentImages(images);
                         d.setCurrentImagesSelection(qint64(d.CurrentImages_.size()) - 1);
                         d.setHasFiles(true);
                     });
                 });
    if (!work.isOpen())
        return;
    work.toOwner([run, failures, withoutMetadata, failed, total = qint64(urls.size())](AppDelegate& d) {
        if (d.runId_ == run && d.runningTexts().current == d.runningTexts().max)
            d.finishImport(failures, withoutMetadata, total, failed);
    });
}

void AppDelegate::finishImport(qint64 failures, qint64 withoutMetadata, qint64 total,
                               const QStringList& items) {
    // Files that could not be read are counted, as the export counts its failures, and so are those
    // added without their metadata: the sheet then stays with the count and the list of them until
    // it is closed, and the run is not marked as a success.
    setCurrentlyAddingImages(false);
    regeneratePreview();
    if (failures == 0 && withoutMetadata == 0) {
        runFinished(total == 1 ? QString("1 image added") : QString("%1 images added").arg(total));
        return;
    }
    QString message;
    if (failures > 0)
        message = QString("%1 of %2 failed").arg(failures).arg(total);
    else
        message = total == 1 ? QString("1 image added") : QString("%1 images added").arg(total);
    if (withoutMetadata > 0)
        message += QString(failures > 0 ? ", %1 added without their metadata" : ", %1 without their metadata")
                       .arg(withoutMetadata);
    runFinishedWithFailures(failures + withoutMetadata, total, message, items);
}

void AppDelegate::addFile() {
    if (!services_.dialogs)
        return;
    OpenPanelRequest request;
    request.allowsMultipleSelection = true;
    request.canChooseFiles = true;
    request.canChooseDirectories = false;
    request.allowedExtensions = imageFileExtensions();
    auto paths = services_.dialogs->runOpenPanel(request);
    if (!paths)
        return;
    QList<QUrl> urls;
    for (const auto& p : *paths)
        urls.push_back(QUrl::fromLocalFile(p));
    addImages(urls);
}

void AppDelegate::dropOnImageView(const QList<QUrl>& urls) {
    QList<QUrl> expanded;
    for (const auto& url : urls)
        if (url.isLocalFile())
            expanded += expandFolder(url);
    addImages(expanded);
}

bool AppDelegate::applicationOpenFile(const QString& path) {
    addImages(expandFolder(platform::fileUrl(path)));
    return true;
}

void AppDelegate::applicationOpenFiles(const QStringList& paths) {
    QList<QUrl> urls;
    for (const auto& path : paths)
        urls += expandFolder(platform::fileUrl(path));
    addImages(urls);
}

bool AppDelegate::acceptImageFileDrop(const QList<QUrl>& urls, qint64 row) {
    QList<QUrl> files;
    for (const auto& url : urls)
        if (url.isLocalFile())
            files << url;
    if (files.isEmpty())
        return true;
    // Reading the files and their metadata takes a while: off the main queue, then the records
    // go in at the drop row together.
    work_->startWorker([files, row, metadata = metadata_](Work& work) {
        ImageObjects records;
        buildRecords(work, "acceptImageFileDrop", files, *metadata,
                     [&](const QUrl&, const ImageObjectPtr& record, const std::string&) {
                         if (record)
                             records.push_back(record);
                     });
        if (records.empty() || !work.isOpen())
            return;
        work.toOwner([records, row](AppDelegate& d) {
            auto images = d.CurrentImages_;
            const qint64 at = std::clamp<qint64>(row, 0, qint64(images.size()));
            images.insert(images.begin() + at, records.begin(), records.end());
            d.setCurrentImages(images);
            d.setHasFiles(true);
        });
    });
    return true;
}

void AppDelegate::removeAllFiles() {
    confirmAction(
        "Are you sure you want to proceed?",
        "You are going to remove all files from the current queue (the files on disk will remain intact)",
        "remove-all-files-from-queue", [this] {
            setCurrentImages({});
            setHasFiles(false);
        });
}

void AppDelegate::removeImage(const ImageObjectPtr& image) {
    confirmAction("Are you sure you want to proceed?",
                  "You are going to remove this from the current queue (the file on disk will remain intact)",
                  "remove-one-file-from-queue", [this, image] {
                      auto images = CurrentImages_;
                      auto it = std::find(images.begin(), images.end(), image);
                      if (it == images.end())
                          return;
                      images.erase(it);
                      setCurrentImages(images);
                      if (images.empty())
                          setHasFiles(false);
                  });
}

} // namespace app
