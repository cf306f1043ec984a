// The reader processes on files made to hurt them, and on every picture in a folder.
//
//   reader_bench hostile [--budget-gb G]
//   reader_bench decode FILE...
//   reader_bench hook NAME [--megabytes M] [--copies K] [--photos N] [--seconds S] [--uncached]
//
// The first form makes the files in a temporary folder and reads each kind: a drawing that names
// a picture of the user's, one that names a pipe, files whose readers crash followed by good ones,
// and eight readers at once that each take memory without end (reader processes started for
// tests do on demand). For each it prints the wall time, whether the files read as they should,
// and the peak memory of the reader processes together (sampled), beside the engine's budget
// (default 6 GB). The second form decodes each file and prints its size or why it failed. The third
// reads K files (default 1) of M megabytes (default 1) that ask a reader started for tests to do
// NAME (such as "threads-brief", "threads-paced 8190 1000 1000" or "slow-again"; see
// ImageLibrary.h), S seconds allowed for each reader (default 30), spread among N honest photos of
// 2 MP (default 0), a file for each processor at once, as an import reads them (with --uncached,
// those files are first dropped from the page cache, as files not read since they came to the
// disk); it prints the wall time of the whole and the CPU time that the program itself spent.

#include "ci/core/Context.h"
#include "ci/core/Memory.h"
#include "ci/io/Codec.h"
#include "ci/io/ImageLibrary.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

/// Bytes resident in the reader processes of this process now.
int64_t readersResident() {
    int64_t total = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream status(entry.path() / "status");
        std::string line, name;
        long parent = 0, rss = 0;
        while (std::getline(status, line)) {
            if (line.starts_with("Name:"))
                name = line.substr(line.find_first_not_of(" \t", 5));
            else if (line.starts_with("PPid:"))
                parent = std::stol(line.substr(5));
            else if (line.starts_with("VmRSS:"))
                rss = std::stol(line.substr(6));
        }
        if ((name == "gw_reader" || name.starts_with("gw_imagelib")) && parent == ::getpid())
            total += int64_t(rss) << 10;
    }
    return total;
}

/// Runs `work`, sampling the readers' memory meanwhile; prints one line.
template <class Work> void measure(const char* what, Work work) {
    std::atomic<bool> done{false};
    std::atomic<int64_t> peak{0};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max<int64_t>(peak, readersResident());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto start = Clock::now();
    const std::string outcome = work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    sampler.join();
    std::printf("%-44s %6.2f s  readers' peak %7.1f MB (budget %.1f GB)  %s\n", what, seconds,
                double(peak) / (1 << 20), double(ci::memory::limit()) / (1 << 30), outcome.c_str());
}

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string drawingNaming(const std::string& reference) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "width=\"64\" "
           "height=\"64\"><image width=\"64\" height=\"64\" xlink:href=\"" +
           reference + "\"/></svg>";
}

/// "blank" when the decoded drawing is transparent in its middle, "has the picture" when not.
std::string drawingOutcome(const ci::Result<ci::io::Decoded>& d) {
    if (!d.ok())
        return "failed: " + d.error();
    auto pixels = ci::Context().render(d->image);
    return pixels.ok() && pixels->pixel(32, 32)[3] < 0.01f ? "blank" : "HAS THE PICTURE";
}

int hostile(double budgetGB) {
    ci::memory::setLimit(int64_t(budgetGB * double(int64_t(1) << 30)));
    const fs::path folder = fs::temp_directory_path() / ("gw-reader-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    ci::PixelBuffer red;
    red.width = red.height = 64;
    red.data.assign(64 * 64 * 4, 0);
    for (size_t i = 0; i < red.data.size(); i += 4)
        red.data[i] = red.data[i + 3] = 255;
    auto png = ci::io::encodePixels(red, ci::io::FileType::PNG);
    auto tiff = ci::io::encodePixels(red, ci::io::FileType::TIFF);
    if (!png.ok() || !tiff.ok())
        return 1;
    write(folder / "red.png", std::string(png->begin(), png->end()));
    write(folder / "good.tif", std::string(tiff->begin(), tiff->end()));
    ::mkfifo((folder / "fifo").c_str(), 0600);
    write(folder / "local.svg", drawingNaming((folder / "red.png").string()));
    write(folder / "fifo.svg", drawingNaming((folder / "fifo").string()));

    measure("drawing naming a picture of the user's",
            [&] { return drawingOutcome(ci::io::decodeFile((folder / "local.svg").string())); });
    measure("drawing naming a pipe",
            [&] { return drawingOutcome(ci::io::decodeFile((folder / "fifo.svg").string())); });

    ci::io::imagelib::setWorkerTestHooks(true);
    for (const char* fault : {"crash", "abort", "alloc"})
        write(folder / (std::string(fault) + ".rla"), std::string("GW-WORKER-TEST:") + fault);
    measure("3 faulting readers, each followed by a good", [&] {
        int good = 0;
        for (const char* fault : {"crash", "abort", "alloc"}) {
            ci::io::decodeFile((folder / (std::string(fault) + ".rla")).string());
            good += ci::io::decodeFile((folder / "good.tif").string()).ok();
        }
        return std::to_string(good) + " of 3 good files read";
    });
    measure("8 readers at once taking memory without end", [&] {
        std::vector<std::future<bool>> reads;
        for (int i = 0; i < 8; ++i)
            reads.push_back(std::async(std::launch::async, [&] {
                return ci::io::decodeFile((folder / "alloc.rla").string()).ok();
            }));
        int failed = 0;
        for (auto& r : reads)
            failed += !r.get();
        return std::to_string(failed) + " of 8 failed";
    });
    ci::io::imagelib::setWorkerTestHooks(false);
    fs::remove_all(folder);
    return 0;
}

int decode(int count, char** files) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const auto d = ci::io::decodeFile(files[i]);
        if (d.ok())
            std::printf("%s: %s %d x %d\n", files[i], d->format.c_str(), d->width, d->height);
        else
            std::printf("%s: FAILED %s\n", files[i], d.error().c_str());
        failed += !d.ok();
    }
    return failed ? 1 : 0;
}

double ownCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int hook(const std::string& name, double megabytes, int copies, int photos, double seconds, bool uncached) {
    const fs::path folder = fs::temp_directory_path() / ("gw-reader-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::string hooked = "GW-WORKER-TEST:" + name;
    hooked.resize(std::max(hooked.size(), size_t(megabytes * (1 << 20))), ' ');
    ci::PixelBuffer photo;
    photo.width = 1600;
    photo.height = 1200;
    photo.data.resize(size_t(photo.width) * size_t(photo.height) * 4);
    for (size_t i = 0; i < photo.data.size(); ++i)
        photo.data[i] = uint8_t(i * 7 + i / 4099);
    auto tiff = ci::io::encodePixels(photo, ci::io::FileType::TIFF);
    if (!tiff.ok())
        return 1;
    // The hook's files spread among the photos, as a batch holds them.
    std::vector<std::pair<fs::path, bool>> files;
    for (int i = 0, hooks = 0; i < copies + photos; ++i) {
        const bool isHook =
            hooks < copies && (photos == 0 || i % std::max(1, (copies + photos) / copies) == 0);
        const fs::path path = folder / (isHook ? "hook" + std::to_string(hooks++) + ".rla"
                                               : "photo" + std::to_string(i) + ".tif");
        write(path, isHook ? hooked : std::string(tiff->begin(), tiff->end()));
        if (isHook && uncached) {
            // As a file that has not been read since it came to the disk.
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
        files.emplace_back(path, isHook);
    }

    ci::io::imagelib::setWorkerTestHooks(true);
    ci::io::imagelib::setWorkerLimits({seconds, seconds});
    const double cpuBefore = ownCpuSeconds();
    const auto start = Clock::now();
    std::atomic<size_t> next{0};
    std::atomic<int> good{0}, hooksRead{0};
    std::string outcome;
    std::mutex mutex;
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < std::max(4u, std::thread::hardware_concurrency()); ++w)
        workers.emplace_back([&] {
            for (size_t i; (i = next++) < files.size();) {
                const auto d = ci::io::decodeFile(files[i].first.string());
                if (!files[i].second) {
                    good += d.ok();
                    continue;
                }
                hooksRead += d.ok();
                std::lock_guard lock(mutex);
                if (!d.ok())
                    outcome = d.error();
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%d x %s (%.0f MB) among %d photos: %.2f s, the program's own CPU %.2f s; %d photos read, %d "
                "of the others; %s\n",
                copies, name.c_str(), megabytes, photos, wall, ownCpuSeconds() - cpuBefore, good.load(),
                hooksRead.load(), outcome.c_str());
    ci::io::imagelib::setWorkerTestHooks(false);
    fs::remove_all(folder);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "hostile") == 0)
        return hostile(argc >= 4 && std::strcmp(argv[2], "--budget-gb") == 0 ? std::atof(argv[3]) : 6.0);
    if (argc >= 3 && std::strcmp(argv[1], "decode") == 0)
        return decode(argc - 2, argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "hook") == 0) {
        double megabytes = 1, seconds = 30;
        int copies = 1, photos = 0;
        bool uncached = false;
        for (int i = 3; i < argc; ++i) {
            if (std::strcmp(argv[i], "--uncached") == 0) {
                uncached = true;
                continue;
            }
            if (i + 1 >= argc)
                break;
            if (std::strcmp(argv[i], "--megabytes") == 0)
                megabytes = std::atof(argv[i + 1]);
            else if (std::strcmp(argv[i], "--copies") == 0)
                copies = std::max(1, std::atoi(argv[i + 1]));
            else if (std::strcmp(argv[i], "--photos") == 0)
                photos = std::atoi(argv[i + 1]);
            else if (std::strcmp(argv[i], "--seconds") == 0)
                seconds = std::atof(argv[i + 1]);
            ++i;
        }
        return hook(argv[2], megabytes, copies, photos, seconds, uncached);
    }
    std::fprintf(
        stderr,
        "usage: reader_bench hostile [--budget-gb G] | reader_bench decode FILE... | "
        "reader_bench hook NAME [--megabytes M] [--copies K] [--photos N] [--seconds S] [--uncached]\n");
    return 2;
}
