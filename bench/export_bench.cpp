// End-to-end measurement of a batch: the controller's real import and export, headless.
//
//   export_bench --preset FILE --format png|jpeg|bmp|tiff|gif --quality 1..5 --out DIR
//                [--no-overwrite] IMAGE...
//   export_bench --make-tiffs N [--megapixels M] --out DIR
//
// The second form only writes N TIFF photographs of about M megapixels (default 12; 8-bit, LZW, as
// the export writes them) into DIR, for a batch of files that the image library reads.
//
// Nothing is selected after the import, so no preview is rendered: a batch without a window.
//
// Prints one line per image (name, ok or failed, milliseconds; for a file the import could not
// read, the reason), then
// "exported N failed M in S s, peak RSS R MB"; exits 0 when nothing failed, 1 otherwise.

#include "app/AppDelegate.h"
#include "app/services/SystemServices.h"
#include "app/services/UserDefaults.h"
#include "ci/io/Codec.h"
#include "model/Project.h"
#include "platform/WindowImage.h"

#if __has_include("filters/Registry.h")
#include "filters/Registry.h"
#define GW_HAVE_OWN_FILTERS 1
#endif

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace {

int usage(const char* message) {
    std::fprintf(stderr, "export_bench: %s\n", message);
    std::fprintf(stderr, "usage: export_bench --preset FILE --format png|jpeg|bmp|tiff|gif --quality 1..5 "
                         "--out DIR [--no-overwrite] IMAGE...\n"
                         "       export_bench --make-tiffs N [--megapixels M] --out DIR\n");
    return 2;
}

/// N copies of an opaque 4:3 TIFF photograph of about `megapixels` in `folder`; 0 when done, else 1.
int makeTiffs(const QString& folder, int count, double megapixels) {
    auto decoded = ci::io::decodeFile(GW_TEST_DATA_DIR "/rocket.jpg");
    if (!decoded)
        return 1;
    const int width = int(std::round(std::sqrt(megapixels * 1e6 * 4.0 / 3.0)));
    const int height = width * 3 / 4;
    const ci::Image scaled = decoded->image.applyingFilter(
        "CILanczosScaleTransform",
        {{"inputScale", double(height) / decoded->height},
         {"inputAspectRatio", double(width) * decoded->height / (double(height) * decoded->width)}});
    auto pixels = ci::Context().renderSRGB(scaled, ci::Rect::make(0, 0, width, height));
    if (!pixels)
        return 1;
    for (size_t i = 3; i < pixels->data.size(); i += 4)
        pixels->data[i] = 255; // the scaled edges are not quite opaque
    auto bytes = ci::io::encodePixels(*pixels, ci::io::FileType::TIFF);
    if (!bytes || !QDir().mkpath(folder))
        return 1;
    for (int i = 0; i < count; ++i) {
        QFile file(QDir(folder).filePath(QString("photo%1.tif").arg(i + 1, 2, 10, QChar('0'))));
        if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char*>(bytes->data()),
                                                           qint64(bytes->size())) != qint64(bytes->size()))
            return 1;
    }
    return 0;
}

double peakRssMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

/// Runs the event loop until `done` holds (checked after every change the controller reports
/// through `signals`).
template <class Done, class... Signals> void waitFor(app::AppDelegate& d, Done done, Signals... signals) {
    if (done())
        return;
    QEventLoop loop;
    const auto check = [&] {
        if (done())
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
    };
    std::vector<QMetaObject::Connection> connections;
    (connections.push_back(QObject::connect(&d, signals, &loop, check)), ...);
    loop.exec();
    for (const auto& connection : connections)
        QObject::disconnect(connection);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);

    QString presetPath, outDir;
    qint64 format = -1, quality = 0;
    bool overwrite = true;
    int makeCount = 0;
    double megapixels = 12;
    QStringList images;
    const QStringList args = application.arguments();
    static const std::map<QString, qint64> formats = {
        {"png", 0}, {"jpeg", 1}, {"bmp", 2}, {"tiff", 3}, {"gif", 4}};
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto next = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        if (a == "--preset")
            presetPath = next();
        else if (a == "--format") {
            auto it = formats.find(next());
            if (it == formats.end())
                return usage("unknown format");
            format = it->second;
        } else if (a == "--quality") {
            bool ok = false;
            quality = next().toLongLong(&ok);
            if (!ok || quality < 1 || quality > 5)
                return usage("quality must be 1 to 5");
        } else if (a == "--out")
            outDir = next();
        else if (a == "--no-overwrite")
            overwrite = false;
        else if (a == "--make-tiffs")
            makeCount = next().toInt();
        else if (a == "--megapixels")
            megapixels = next().toDouble();
        else if (a.startsWith("--"))
            return usage("unknown option");
        else
            images << a;
    }
    if (makeCount > 0 && !outDir.isEmpty() && megapixels > 0)
        return makeTiffs(outDir, makeCount, megapixels);
    if (presetPath.isEmpty() || outDir.isEmpty() || format < 0 || quality == 0 || images.isEmpty())
        return usage("missing arguments");

    QFile presetFile(presetPath);
    if (!presetFile.open(QIODevice::ReadOnly))
        return usage("cannot read the preset file");
    auto steps = model::decodePreset(presetFile.readAll().toStdString());
    if (!steps)
        return usage(("invalid preset: " + steps.error()).c_str());
    if (!QDir().mkpath(outDir))
        return usage("cannot make the output folder");

#ifdef GW_HAVE_OWN_FILTERS
    filters::registerCustomFilters();
#endif

    QTemporaryDir support; // keeps the user's own presets folder out of it
    app::AppServices services;
    services.queues = std::make_shared<app::QtQueues>();
    services.defaults = std::make_shared<app::MemoryDefaults>();
    services.dataFolder = support.path();
    services.metadataTool = app::metadataToolPath();
    app::AppDelegate d(std::move(services));
    d.setCurrentFilters(*steps);

    // Import.
    QList<QUrl> urls;
    for (const auto& image : images)
        urls << QUrl::fromLocalFile(QFileInfo(image).absoluteFilePath());
    // Headless, nothing is selected, so there is no preview to render beside the run or after it
    // (in the window, the selected image's preview renders while the export dialog is filled in).
    QObject::connect(&d, &app::AppDelegate::CurrentImagesSelectionChanged, [&d] {
        if (d.CurrentImagesSelection() != -1)
            d.setCurrentImagesSelection(-1);
    });
    const auto importStart = std::chrono::steady_clock::now();
    d.addImages(urls);
    waitFor(
        d, [&] { return !d.CurrentlyAddingImages(); }, &app::AppDelegate::CurrentlyAddingImagesChanged);
    const double importSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - importStart).count();
    std::fprintf(stderr, "imported %zu of %lld in %.3f s\n", d.CurrentImages().size(), (long long)urls.size(),
                 importSeconds);

    // Export.
    d.setExportDialogFileFormat(format);
    d.setExportDialogQuality(quality);
    d.setExportDialogDestination(QFileInfo(outDir).absoluteFilePath());
    d.setExportDialogDestinationDoOverwrite(overwrite);

    std::set<QString> queued;
    for (const auto& record : d.CurrentImages())
        queued.insert(record->path());
    const size_t expected = d.CurrentImages().size();
    size_t done = 0, ok = 0, failed = 0;
    QObject::connect(&d, &app::AppDelegate::exportItemFinished,
                     [&](const QString& path, bool success, double ms) {
                         ++done;
                         success ? ++ok : ++failed;
                         std::printf("%s %s %.1f\n", QFileInfo(path).fileName().toUtf8().constData(),
                                     success ? "ok" : "failed", ms);
                     });
    // Images the import could not read are failures too, with the decoder's reason.
    for (const auto& url : urls)
        if (!queued.count(url.toLocalFile())) {
            ++failed;
            std::string reason;
            (void)platform::WindowImage::fromFile(QFile::encodeName(url.toLocalFile()).toStdString(),
                                                  &reason);
            std::printf("%s failed 0.0 (%s)\n", QFileInfo(url.toLocalFile()).fileName().toUtf8().constData(),
                        reason.c_str());
        }

    const auto exportStart = std::chrono::steady_clock::now();
    d.showExportDialog();
    d.exportDialogStartProcessing();
    // The run is over when its end has reached the controller: the sheet marked successful, or
    // its failures counted. Only then is the controller ours to destroy.
    const auto runEnded = [&] {
        return done == expected && (d.ProgressSheetSuccess() || d.ProgressSheetFailures() > 0);
    };
    waitFor(d, runEnded, &app::AppDelegate::exportItemFinished,
            &app::AppDelegate::ProgressSheetSuccessChanged, &app::AppDelegate::ProgressSheetFailuresChanged);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - exportStart).count();

    std::printf("exported %zu failed %zu in %.3f s, peak RSS %.1f MB\n", ok, failed, seconds,
                peakRssMegabytes());
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
