// What a picture's colour profile costs: one photograph as a JPEG without a profile, with a matrix
// profile (Adobe RGB) and with a table-based one (a 30 KB lut16 of 17 points, as scanner and vendor
// profiles are), each decoded and rendered into 8-bit sRGB as an export converts it.
//
//   profile_bench --make DIR [--megapixels M] [--grain G]
//                        writes plain.jpg, matrix.jpg and table.jpg (default 24 megapixels); with
//                        G, a grain of up to G levels like a camera's, which makes the picture as
//                        costly to decode as a photograph (the scaled-up test photo alone is
//                        smooth, and decodes several times faster)
//   profile_bench FILE...                       decodes and renders each file
//
// Prints, for each file, the process's CPU seconds (user + system) and the wall seconds it took;
// pair whole runs of one file against another to compare.

#include "ci/core/Context.h"
#include "ci/io/Codec.h"
#include "support/TableProfile.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

/// `jpeg` with `icc` in one APP2 segment right after its start marker.
Bytes withProfile(const Bytes& jpeg, const Bytes& icc) {
    static const char kMark[] = "ICC_PROFILE";
    const size_t length = 2 + sizeof(kMark) + 2 + icc.size();
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), {0xFF, 0xE2, uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), kMark, kMark + sizeof(kMark));
    out.insert(out.end(), {1, 1});
    out.insert(out.end(), icc.begin(), icc.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

/// The profile embedded in a JPEG in one segment; empty when there is none.
Bytes profileOf(const Bytes& jpeg) {
    for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;) {
        const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (jpeg[at + 1] == 0xE2 && length > 16 && at + 2 + length <= jpeg.size() &&
            std::memcmp(&jpeg[at + 4], "ICC_PROFILE", 12) == 0)
            return Bytes(jpeg.begin() + ptrdiff_t(at) + 18, jpeg.begin() + ptrdiff_t(at + 2 + length));
        at += 2 + length;
    }
    return {};
}

int make(const std::string& dir, double megapixels, int grain) {
    const std::string source = std::string(GW_TEST_DATA_DIR) + "/rocket.jpg";
    auto photo = ci::io::decodeFile(source);
    if (!photo.ok())
        return 1;
    const int width = int(std::round(std::sqrt(megapixels * 1e6 * 3.0 / 2.0)));
    const int height = width * 2 / 3;
    const ci::Affine scale = ci::Affine::scale(double(width) / photo->width, double(height) / photo->height);
    const ci::Image image =
        photo->image.clampedToExtent().transformed(scale).cropped(ci::Rect::make(0, 0, width, height));
    auto pixels = ci::Context().renderSRGB(image, image.extent());
    if (!pixels.ok())
        return 1;
    uint32_t state = 1;
    for (size_t i = 0; grain > 0 && i < pixels->data.size(); ++i)
        if (i % 4 != 3) {
            state = state * 1664525u + 1013904223u;
            const int v = int(pixels->data[i]) + int((state >> 16) % uint32_t(2 * grain + 1)) - grain;
            pixels->data[i] = uint8_t(std::clamp(v, 0, 255));
        }
    auto jpeg = ci::io::encodePixels(*pixels, ci::io::FileType::JPEG, 0.9);
    const Bytes adobe = profileOf(readFile(source)), table = gwtest::tableProfile();
    if (!jpeg.ok() || adobe.empty() || table.empty())
        return 1;
    const bool ok = writeFile(dir + "/plain.jpg", *jpeg) &&
                    writeFile(dir + "/matrix.jpg", withProfile(*jpeg, adobe)) &&
                    writeFile(dir + "/table.jpg", withProfile(*jpeg, table));
    std::printf("%d x %d; profiles of %zu (matrix) and %zu (table) bytes\n", width, height, adobe.size(),
                table.size());
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--make") == 0) {
        double megapixels = 24;
        int grain = 0;
        for (int i = 3; i + 1 < argc; i += 2)
            if (std::strcmp(argv[i], "--megapixels") == 0)
                megapixels = std::atof(argv[i + 1]);
            else if (std::strcmp(argv[i], "--grain") == 0)
                grain = std::atoi(argv[i + 1]);
        return make(argv[2], megapixels, grain);
    }
    if (argc < 2) {
        std::fprintf(
            stderr, "usage: profile_bench --make DIR [--megapixels M] [--grain G] | profile_bench FILE...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const double cpu = cpuSeconds();
        const auto started = std::chrono::steady_clock::now();
        auto decoded = ci::io::decodeFile(argv[i]);
        if (!decoded.ok()) {
            std::printf("%s: %s\n", argv[i], decoded.error().c_str());
            return 1;
        }
        auto pixels = ci::Context().renderSRGB(decoded->image, decoded->image.extent());
        if (!pixels.ok()) {
            std::printf("%s: %s\n", argv[i], pixels.error().c_str());
            return 1;
        }
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
        std::printf("%s: %d x %d, %.3f s CPU, %.3f s\n", argv[i], decoded->width, decoded->height,
                    cpuSeconds() - cpu, wall.count());
    }
    return 0;
}
