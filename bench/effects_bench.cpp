// Photo effects against a plain export of the same photograph: decode a JPEG, apply the effect,
// encode a JPEG at quality 0.8. The plain export (no step) is the unit every effect is given in:
// each run of an effect is timed against a plain export run just before it.
//
//     effects_bench [--megapixels N] [--runs R] [--photo FILE] [--reference DIR] [EFFECT...]
//
// Without effects it runs 1, 3, 48, 120, 231 and 278. Each effect is also run once in a process of
// its own, whose peak memory is printed in bytes per pixel. The GUI application object is created
// first, as in the application, so the processor state its start-up leaves is part of the figure.
// With --reference, each effect's 16-bit rendering is kept in DIR, or compared with the one kept
// there by an earlier run (the largest difference in 16-bit steps): a check that a change to the
// engine leaves the pictures as they were.

#include "ci/core/Context.h"
#include "ci/io/Codec.h"
#include "effects/PhotoEffect.h"
#include "filters/Registry.h"

#include <QGuiApplication>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

/// The process's own peak resident memory. Not getrusage: its figure survives exec, so a child
/// would report at least what its parent held when it was started.
double peakRssBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) * 1024.0; // kB
    return -1;
}

/// A photograph of about `megapixels` at 4:3, made from the test photo and stored as a JPEG.
bool makePhoto(const std::string& path, double megapixels) {
    auto decoded = ci::io::decodeFile(std::string(GW_TEST_DATA_DIR) + "/rocket.jpg");
    if (!decoded)
        return false;
    const double w = std::round(std::sqrt(megapixels * 1e6 * 4 / 3)), h = std::round(w * 3 / 4);
    const ci::Image big =
        decoded->image.transformed(ci::Affine::scale(w / decoded->width, h / decoded->height))
            .cropped(ci::Rect::make(0, 0, w, h));
    auto bytes = ci::io::encodeImage(big, ci::io::FileType::JPEG, 0.92);
    if (!bytes)
        return false;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), std::streamsize(bytes->size()));
    return true;
}

/// The photo through the effect (0: no step); a null image on failure.
ci::Image withEffect(const std::string& photo, int effect) {
    auto decoded = ci::io::decodeFile(photo);
    if (!decoded)
        return {};
    ci::Image image = decoded->image;
    if (effect > 0) {
        auto filter = effects::makePhotoEffect(effect);
        if (!filter)
            return {};
        filter->setValue("inputImage", image);
        image = filter->outputImage();
    }
    return image;
}

/// One export: seconds, or a negative number on failure. Effect 0 is the plain export.
double exportOnce(const std::string& photo, int effect, const std::string& out) {
    const auto start = std::chrono::steady_clock::now();
    const ci::Image image = withEffect(photo, effect);
    if (image.isNull())
        return -1;
    auto bytes = ci::io::encodeImage(image, ci::io::FileType::JPEG, 0.8);
    if (!bytes)
        return -1;
    std::ofstream(out, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), std::streamsize(bytes->size()));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// Keeps the effect's 16-bit rendering in dir, or compares it with the one kept there; returns the
/// largest difference in 16-bit steps (0 when kept), negative on failure. `over` counts the samples
/// that differ by more than one step.
int compareWithReference(const std::string& photo, int effect, const std::filesystem::path& dir,
                         size_t& over) {
    over = 0;
    const ci::Image image = withEffect(photo, effect);
    if (image.isNull())
        return -1;
    auto px = ci::Context().renderSRGB(image, image.extent(), 16);
    if (!px)
        return -1;
    const std::filesystem::path file = dir / (std::to_string(effect) + ".rgba16");
    if (!std::filesystem::exists(file)) {
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(px->data.data()), std::streamsize(px->data.size()));
        return 0;
    }
    std::vector<uint8_t> kept(px->data.size());
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(kept.data()), std::streamsize(kept.size())))
        return -1;
    int worst = 0;
    const auto* a = reinterpret_cast<const uint16_t*>(kept.data());
    const auto* b = reinterpret_cast<const uint16_t*>(px->data.data());
    for (size_t i = 0; i < kept.size() / 2; ++i) {
        const int d = std::abs(int(a[i]) - int(b[i]));
        worst = std::max(worst, d);
        over += d > 1;
    }
    return worst;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

/// Runs this program again for one effect and reads the peak memory it prints.
double childPeakBytes(const std::string& photo, int effect) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string e = std::to_string(effect);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const char* argv[] = {self.c_str(), "--child", photo.c_str(), e.c_str(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::atof(text.c_str()) : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    filters::registerCustomFilters();

    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        const std::string out = std::filesystem::temp_directory_path() /
                                ("gw-effects-bench-" + std::to_string(getpid()) + ".jpg");
        const double s = exportOnce(argv[2], std::atoi(argv[3]), out);
        std::filesystem::remove(out);
        if (s < 0)
            return 1;
        std::printf("%.0f\n", peakRssBytes());
        return 0;
    }

    double megapixels = 12;
    int runs = 3;
    std::string photo, reference;
    std::vector<int> list;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--megapixels" && i + 1 < argc)
            megapixels = std::atof(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--photo" && i + 1 < argc)
            photo = argv[++i];
        else if (a == "--reference" && i + 1 < argc)
            reference = argv[++i];
        else if (std::atoi(a.c_str()) >= 1 && std::atoi(a.c_str()) <= effects::photoEffectCount)
            list.push_back(std::atoi(a.c_str()));
        else {
            std::fprintf(stderr, "usage: effects_bench [--megapixels N] [--runs R] [--photo FILE] "
                                 "[--reference DIR] [EFFECT...]\n");
            return 2;
        }
    }
    if (list.empty())
        list = {1, 3, 48, 120, 231, 278};

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("gw-effects-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (photo.empty()) {
        photo = (dir / "photo.jpg").string();
        if (!makePhoto(photo, megapixels)) {
            std::fprintf(stderr, "effects_bench: cannot make the test photograph\n");
            return 1;
        }
    }
    auto probe = ci::io::decodeFile(photo);
    if (!probe) {
        std::fprintf(stderr, "effects_bench: %s\n", probe.error().c_str());
        return 1;
    }
    const double pixels = double(probe->width) * probe->height;
    probe = ci::Result<ci::io::Decoded>::failure("released");
    const std::string out = (dir / "out.jpg").string();

    if (!reference.empty()) {
        std::filesystem::create_directories(reference);
        int worst = 0;
        for (int e : list) {
            size_t over = 0;
            const int d = compareWithReference(photo, e, reference, over);
            std::printf(
                "effect %d: largest difference from the reference %d 16-bit steps, %zu samples over 1\n", e,
                d, over);
            worst = d < 0 ? 65536 : std::max(worst, d);
        }
        std::filesystem::remove_all(dir);
        return worst > 0 ? 1 : 0;
    }

    std::printf("%.1f MP photo, median of %d runs (each effect's memory from a process of its own)\n",
                pixels / 1e6, runs);
    std::printf("%-8s %9s %8s %10s\n", "effect", "time (s)", "x plain", "peak B/px");
    exportOnce(photo, 0, out); // warm-up: thread pool, codecs, tables
    std::vector<int> all = {0};
    all.insert(all.end(), list.begin(), list.end());
    int failed = 0;
    for (int e : all) {
        // Each run of an effect is paired with a plain export just before it, and the ratio is
        // the median of the pairs' ratios: it holds when the machine's load changes during the run.
        std::vector<double> times, ratios;
        for (int r = 0; r < runs; ++r) {
            const double plain = e == 0 ? 0 : exportOnce(photo, 0, out);
            const double t = exportOnce(photo, e, out);
            times.push_back(t);
            if (e == 0 || plain < 0 || t < 0)
                ratios.push_back(t < 0 || plain < 0 ? -1 : 1);
            else
                ratios.push_back(t / plain);
        }
        const double t = median(times), ratio = median(ratios);
        const double peak = childPeakBytes(photo, e);
        if (t < 0 || ratio < 0 || peak < 0) {
            std::printf("%-8s failed\n", e == 0 ? "plain" : std::to_string(e).c_str());
            ++failed;
            continue;
        }
        std::printf("%-8s %9.3f %8.2f %10.1f\n", e == 0 ? "plain" : std::to_string(e).c_str(), t, ratio,
                    peak / pixels);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(dir);
    return failed ? 1 : 0;
}
