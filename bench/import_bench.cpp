// Import speed: the controller's real import of photographs with their metadata, headless.
//
//   import_bench [--photos N] [--megapixels M] [--runs R] [IMAGE...]
//
// Without images it makes N JPEG photographs (default 200) of about M megapixels (default 3) from
// a test photograph, gives them camera metadata with the metadata tool (every other one turned a
// quarter by its EXIF orientation), and imports them. Each of R runs (default 3) imports with a
// new controller, so the metadata tool's start is counted. Prints one line per run, then the
// median; exits 1 when a run did not import every photograph.

#include "app/AppDelegate.h"
#include "app/services/SystemServices.h"
#include "app/services/UserDefaults.h"
#include "ci/io/Codec.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

int usage(const char* message) {
    std::fprintf(stderr, "import_bench: %s\n", message);
    std::fprintf(stderr, "usage: import_bench [--photos N] [--megapixels M] [--runs R] [IMAGE...]\n");
    return 2;
}

/// N copies of one JPEG of about `megapixels` in `folder`, with camera metadata; the paths.
QStringList makePhotographs(const QString& folder, int count, double megapixels, const QString& tool) {
    auto decoded = ci::io::decodeFile(GW_TEST_DATA_DIR "/rocket.jpg");
    if (!decoded)
        return {};
    const double width = std::round(std::sqrt(megapixels * 1e6 * 4.0 / 3.0));
    const double scale = width / decoded->width;
    const double aspect = (width * 3.0 / 4.0) / (decoded->height * scale);
    const ci::Image scaled = decoded->image.applyingFilter(
        "CILanczosScaleTransform", {{"inputScale", scale}, {"inputAspectRatio", aspect}});
    auto bytes = ci::io::encodeImage(scaled, ci::io::FileType::JPEG, 0.9);
    if (!bytes)
        return {};
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QDir(folder).filePath(QString("IMG_%1.jpg").arg(i + 1, 4, 10, QChar('0')));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char*>(bytes->data()),
                                                           qint64(bytes->size())) != qint64(bytes->size()))
            return {};
        paths << path;
    }
    if (!tool.isEmpty()) {
        // One run of the tool for all of them.
        QStringList tags{"-overwrite_original",
                         "-q",
                         "-Make=Glimmer Optics",
                         "-Model=Bench One",
                         "-DateTimeOriginal=2024:05:01 10:00:00",
                         "-ExposureTime=1/125",
                         "-FNumber=2.8",
                         "-ISO=200",
                         "-FocalLength=35",
                         "-Artist=Bench",
                         "-Copyright=Public domain"};
        app::runProcess(tool, tags + paths, 120000);
        QStringList turned;
        for (int i = 0; i < count; i += 2)
            turned << paths[i];
        app::runProcess(tool, QStringList{"-overwrite_original", "-q", "-Orientation#=6"} + turned, 120000);
    }
    return paths;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);

    int photos = 200, runs = 3;
    double megapixels = 3;
    QStringList images;
    const QStringList args = application.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto next = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        bool ok = true;
        if (a == "--photos")
            photos = next().toInt(&ok);
        else if (a == "--megapixels")
            megapixels = next().toDouble(&ok);
        else if (a == "--runs")
            runs = next().toInt(&ok);
        else if (a.startsWith("--"))
            return usage("unknown option");
        else
            images << QFileInfo(a).absoluteFilePath();
        if (!ok || photos < 1 || runs < 1 || megapixels <= 0)
            return usage("bad number");
    }

    const QString tool = app::metadataToolPath();
    if (tool.isEmpty())
        std::fprintf(stderr, "import_bench: no metadata tool found; importing without metadata\n");
    QTemporaryDir folder;
    if (images.isEmpty()) {
        images = makePhotographs(folder.path(), photos, megapixels, tool);
        if (images.isEmpty())
            return usage("cannot make the photographs");
    }
    QList<QUrl> urls;
    for (const auto& image : images)
        urls << QUrl::fromLocalFile(image);

    std::vector<double> rates;
    bool complete = true;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir support;
        app::AppServices services;
        services.queues = std::make_shared<app::QtQueues>();
        services.defaults = std::make_shared<app::MemoryDefaults>();
        services.dataFolder = support.path();
        services.metadataTool = tool;
        app::AppDelegate d(std::move(services));

        const auto start = std::chrono::steady_clock::now();
        d.addImages(urls);
        QEventLoop loop;
        QObject::connect(&d, &app::AppDelegate::CurrentlyAddingImagesChanged, &loop, [&] {
            if (!d.CurrentlyAddingImages())
                loop.quit();
        });
        if (d.CurrentlyAddingImages())
            loop.exec();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const size_t imported = d.CurrentImages().size();
        const bool withMetadata =
            tool.isEmpty() || std::all_of(d.CurrentImages().begin(), d.CurrentImages().end(),
                                          [](const auto& record) { return !record->details().empty(); });
        complete = complete && imported == size_t(urls.size()) && withMetadata;
        rates.push_back(double(imported) / seconds);
        std::printf("run %d: imported %zu of %lld%s in %.3f s, %.1f photos/s\n", run + 1, imported,
                    (long long)urls.size(), withMetadata ? " with metadata" : " (metadata missing)", seconds,
                    rates.back());
    }
    std::sort(rates.begin(), rates.end());
    std::printf("median: %.1f photos/s\n", rates[rates.size() / 2]);
    return complete ? 0 : 1;
}
