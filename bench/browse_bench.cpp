// Browsing the queue with a workflow, as a person does with the arrow keys: the real controller
// and window, headless, on ten 12-megapixel photos with a three-step workflow (shadows and
// highlights, noise reduction, vignette).
//
//   browse_bench [--photos DIR] [--interval SECONDS] [--count N]
//
// The photos (4000 x 3000 JPEG, made from the test photos) are written into DIR once (default: a
// folder under the system's temporary folder) and kept for later runs. After the import the first
// photo is selected, then Down is pressed N - 1 times (default 10 photos) every interval seconds
// (default 0.4). Prints the CPU seconds and wall seconds from the first selection until every
// worker is idle and the last photo's preview is shown, and the peak RSS meanwhile.

#include "app/AppDelegate.h"
#include "app/services/SystemServices.h"
#include "app/services/UserDefaults.h"
#include "platform/Dispatch.h"

#include "ui/ImageQueuePanel.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// The resident high-water mark in megabytes (VmHWM), which resetPeak() sets back to the present.
double peakRssMegabytes() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
    return -1;
}

void resetPeak() {
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

/// Ten different 12 MP photos from the four test photos, in a child process so that making them
/// leaves no trace in this process's memory figures.
QStringList makePhotos(const QString& folder, int count) {
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << QDir(folder).filePath(QString("photo-%1.jpg").arg(i, 2, 10, QChar('0')));
    bool missing = false;
    for (const auto& p : paths)
        missing = missing || !QFileInfo::exists(p);
    if (!missing)
        return paths;
    QDir().mkpath(folder);
    const pid_t child = fork();
    if (child == 0) {
        const char* sources[] = {"rocket.jpg", "coffee.png", "chelsea.png", "astronaut.png"};
        for (int i = 0; i < count; ++i) {
            QImage source(QDir(GW_TEST_DATA_DIR).filePath(sources[i % 4]));
            // A different crop and tint for each, so that no two files are the same.
            const QRect crop = source.rect().adjusted(i * 3, i * 2, -i * 2, -i * 3);
            QImage photo =
                source.copy(crop).scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            photo = photo.convertToFormat(QImage::Format_RGB32);
            for (int y = 0; y < photo.height(); y += 7)
                photo.setPixel((y * 13 + i * 101) % photo.width(), y, qRgb(i * 20, 255 - i * 20, 128));
            QImageWriter writer(paths[i], "jpg");
            writer.setQuality(92);
            if (!writer.write(photo))
                _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? paths : QStringList();
}

std::shared_ptr<model::FilterParam> number(const char* name, const char* key, double value, double min,
                                           double max) {
    auto v = model::FilterParamValue::numeric(value, min, max);
    return model::FilterParam::make(name, key, "", v, model::FilterParamValue::numeric(value, min, max));
}

/// A tone step that reads a wide neighbourhood (shadows and highlights), noise reduction, and a
/// vignette over the whole frame: three steps of a usual photo workflow.
model::Filters workflow() {
    auto tone = model::Filter::make("Shadows and Highlights", "CIHighlightShadowAdjust", "",
                                    {number("Radius", "inputRadius", 5, 0, 10),
                                     number("Shadows", "inputShadowAmount", 0.4, -1, 1),
                                     number("Highlights", "inputHighlightAmount", 0.8, 0.3, 1)});
    auto noise = model::Filter::make("Noise Reduction", "CINoiseReduction", "",
                                     {number("Noise Level", "inputNoiseLevel", 0.02, 0, 0.1),
                                      number("Sharpness", "inputSharpness", 0.4, 0, 2)});
    auto vignette = model::Filter::make(
        "Vignette", "CIVignette", "",
        {number("Intensity", "inputIntensity", 1.0, -1, 1), number("Radius", "inputRadius", 1.0, 0, 2)});
    model::Filters steps{tone, noise, vignette};
    for (const auto& s : steps)
        s->setIsCurrent(true);
    return steps;
}

/// Runs the event loop until `done` holds, checking every 20 ms.
void runUntil(const std::function<bool()>& done) {
    while (!done()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QString folder = QDir(QDir::tempPath()).filePath("glimmerworks-browse-photos");
    double interval = 0.4;
    int count = 10;
    for (int i = 1; i < argc; ++i) {
        const QString a = argv[i];
        if (a == "--photos" && i + 1 < argc)
            folder = argv[++i];
        else if (a == "--interval" && i + 1 < argc)
            interval = QString(argv[++i]).toDouble();
        else if (a == "--count" && i + 1 < argc)
            count = QString(argv[++i]).toInt();
        else {
            std::fprintf(stderr, "usage: browse_bench [--photos DIR] [--interval SECONDS] [--count N]\n");
            return 2;
        }
    }
    const QStringList photos = makePhotos(folder, count);
    if (photos.isEmpty()) {
        std::fprintf(stderr, "browse_bench: could not make the photos in %s\n", qPrintable(folder));
        return 1;
    }

    QApplication application(argc, argv);
    QTemporaryDir support;
    app::AppServices services;
    services.queues = std::make_shared<app::QtQueues>();
    services.defaults = std::make_shared<app::MemoryDefaults>();
    services.dataFolder = support.path();
    services.metadataTool = app::metadataToolPath();
    int status = 0;
    {
        app::AppDelegate d(std::move(services));
        ui::MainWindow window(d);
        window.resize(1440, 900);
        window.show();
        d.setCurrentFilters(workflow());

        QList<QUrl> urls;
        for (const auto& p : photos)
            urls << QUrl::fromLocalFile(p);
        d.addImages(urls);
        runUntil(
            [&] { return !d.CurrentlyAddingImages() && !d.PreviewInProgress() && !window.previewPending(); });
        runUntil([&] { return platform::GlobalQueue::pool().activeThreadCount() == 0; });
        std::fprintf(stderr, "imported %zu photos\n", d.CurrentImages().size());

        // The arrows, as the queue table gets them.
        auto* table = window.queue()->table();
        table->setFocus();
        const auto press = [&](int key, Qt::KeyboardModifiers modifiers) {
            QKeyEvent event(QEvent::KeyPress, key, modifiers);
            QApplication::sendEvent(table, &event);
        };
        resetPeak();
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        press(Qt::Key_Home, Qt::ControlModifier);
        for (int i = 1; i < count; ++i) {
            QElapsedTimer wait;
            wait.start();
            runUntil([&] { return wait.elapsed() >= qint64(interval * 1000); });
            press(Qt::Key_Down, Qt::NoModifier);
        }
        const qint64 last = qint64(count) - 1;
        runUntil([&] {
            return d.CurrentImagesSelection() == last && !d.PreviewInProgress() && !window.previewPending() &&
                   platform::GlobalQueue::pool().activeThreadCount() == 0;
        });
        const double seconds = wall.elapsed() / 1000.0;
        const double cpu = cpuSeconds() - cpu0;
        const bool shown = !window.previewPending() && d.selectedOriginalImageSize() == "4000 x 3000";
        std::printf("browsed %d photos: CPU %.1f s, wall %.1f s, peak RSS %.0f MB%s\n", count, cpu, seconds,
                    peakRssMegabytes(), shown ? "" : " (last preview missing)");
        std::fflush(stdout);
        status = shown ? 0 : 1;
    }
    platform::GlobalQueue::waitForDone(10000);
    return status;
}
